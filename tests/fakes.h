#pragma once

#include "box/boxengine.h"
#include "station/dialogs.h"
#include "station/link/transport.h"

#include <QElapsedTimer>
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
    // Called with every write, e.g. to let a box engine answer.
    std::function<void(const QByteArray &)> onWrite;

private:
    bool m_open = false;
    QByteArray m_input;
};

// A box engine answering on the in-memory port, one reply per command line, without
// pacing: for tests of what the tool sends, not of timing.
class EngineResponder : public QObject {
    Q_OBJECT
public:
    explicit EngineResponder(FakeTransport &transport);
    void present(const T5557::Tag &tag);
    void remove();

    BoxEngine engine;
    // Commands seen, in order, without line ends.
    QList<QByteArray> commands;

private:
    void answer(const QByteArray &text);
    FakeTransport &m_transport;
    QElapsedTimer m_clock;
    qint64 m_lastAnswerAt = 0;
};

// Records message boxes instead of showing them.
class RecordingDialogs : public Dialogs {
public:
    struct Box {
        QString kind;
        QString title;
        QString text;
    };
    void information(const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("information"), title, text});
    }
    void warning(const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("warning"), title, text});
    }
    bool question(const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("question"), title, text});
        return answer;
    }
    bool warningWithChoice(const QString &title, const QString &text,
                           const QString &choice) override
    {
        boxes.append({QStringLiteral("warning: ") + choice, title, text});
        return choose;
    }
    QList<Box> boxes;
    bool answer = true;
    // The extra button of a warning is the unsafe way, never taken unless a test says so.
    bool choose = false;
};
