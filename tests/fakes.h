#pragma once

#include "link/transport.h"
#include "ui/dialogs.h"

#include <QHash>
#include <QStringList>

// An in-memory serial line: records what the tool writes, delivers what a test injects.
class FakeTransport : public Transport {
    Q_OBJECT
public:
    using Transport::Transport;

    bool open(const QString &device, QString *reason) override;
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool write(const QByteArray &data) override;
    QByteArray readAll() override;
    QByteArray readWithin(int waitMs) override;

    // Characters arrive from the box: they wait in the port and a notification follows.
    void inject(const QByteArray &data);
    // The line breaks while open, as when the adapter is pulled.
    void breakLine(const QString &reason);

    // Devices that open; a device maps to what it answers to the probe.
    QHash<QString, QByteArray> devices;
    QStringList opened;
    QByteArray written;
    QString device;

private:
    bool m_open = false;
    QByteArray m_input;
};

// Records message boxes instead of showing them.
class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString kind;
        QString title;
        QString text;
    };
    void information(const QString &title, const QString &text) override {
        boxes.append({QStringLiteral("information"), title, text});
    }
    void warning(const QString &title, const QString &text) override {
        boxes.append({QStringLiteral("warning"), title, text});
    }
    QList<Box> boxes;
};
