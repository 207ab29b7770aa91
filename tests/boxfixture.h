#pragma once

#include "boxonport.h"
#include "fakes.h"
#include "gui/link/portpanel.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autopanel.h"
#include "gui/widgets/maskedfield.h"
#include "station/link/portscanner.h"
#include "station/link/readerlink.h"
#include "station/link/serialtransport.h"
#include "station/record/productionrecord.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <optional>

// The tool's main window connected to a virtual box on a real pseudo-terminal, both on
// this event loop.
struct BoxedWindow {
    QTemporaryDir dir;
    VirtualBox box{dir.path(), 1};
    RecordingDialogs dialogs;
    std::unique_ptr<MainWindow> w;

    // Records into a file of its own unless told another record (a file or a server); a tag
    // in the field from the start is reported before the tool opens the port.
    bool begin(const QString &record = {}, const std::optional<T5557::Tag> &inField = {})
    {
        qputenv("KESTREL_PORTS_DIR", dir.path().toLocal8Bit());
        QString error;
        if (!box.start(&error))
            return false;
        if (inField) {
            box.present(*inField);
            if (!QTest::qWaitFor([this] { return box.idle(); }, 3000))
                return false;
        }
        ProductionRecord::setConfiguredPath(
            record.isEmpty() ? dir.filePath(QStringLiteral("production.sqlite")) : record);
        w = std::make_unique<MainWindow>(nullptr, &dialogs);
        w->show();
        w->start();
        if (!QTest::qWaitFor([this] { return !w->ports().scanner().isScanning(); }, 3000))
            return false;
        w->ports().connectButton()->click();
        // Done once the box has answered the connect sequence and the tool has read it all.
        return QTest::qWaitFor(
                   [this] {
                       return !w->state().QuietStart && box.idle() && !w->link().Tr1().isActive()
                              && w->link().replyBuffer().isEmpty();
                   },
                   3000)
               && w->state().PortConnected;
    }

    // "Auto Set UID" with "Auto inc (UID+)" from the given UID, the box answering at once.
    void stepUidsFrom(const QString &uid)
    {
        box.engine().delays = {};
        AutoPanel &a = w->autoPanel();
        a.setUidBox()->click();
        a.autoIncBox()->click();
        a.setUidField()->setText(uid);
    }
};

// The first column of a query on an SQLite record, read on a connection of its own.
inline QStringList records(const QString &path, const QString &sql)
{
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "records");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(sql, db);
            while (q.next())
                out << q.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("records"));
    return out;
}
