#pragma once

#include "box/virtualbox.h"
#include "station/link/serialtransport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

// A virtual box with the tool's serial layer open on its port, recording what arrives and
// when (nanoseconds since open()).
struct BoxOnPort {
    QTemporaryDir dir;
    VirtualBox box{dir.path(), 1};
    SerialTransport port;
    QByteArray got;
    QList<qint64> arrivalsNs;
    QElapsedTimer clock;

    bool open()
    {
        QString error;
        if (!box.start(&error) || !port.open(box.portPath(), &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        clock.start();
        QObject::connect(&port, &Transport::received, &port, [this] {
            const QByteArray data = port.readAll();
            for (qsizetype i = 0; i < data.size(); ++i)
                arrivalsNs.append(clock.nsecsElapsed());
            got += data;
        });
        return true;
    }

    void forget()
    {
        got.clear();
        arrivalsNs.clear();
    }
};
