#pragma once

#include "core/reply.h"
#include "core/sessionstate.h"
#include "productionloop.h"
#include "station/link/readerlink.h"
#include "station/link/trafficcapture.h"
#include "station/link/transport.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

// The link to the box, its replies and the production loop wired together without a widget.
// The window and the command line are its front ends: each reply is read once here, shown by
// the front end, then given to the loop, so both behave alike because they run this code.
class Session : public QObject {
    Q_OBJECT
public:
    // Without a transport the real serial port is used.
    explicit Session(Transport *transport = nullptr, QObject *parent = nullptr);
    ~Session() override;

    SessionState &state() { return m_state; }
    Transport &transport() { return m_transport; }
    ReaderLink &link() { return m_link; }
    // Keeps every byte of the link in `path` from now on.
    bool keepTraffic(const QString &path, QString *error)
    {
        return m_capture.start(m_link, path, error);
    }
    TrafficCapture &capture() { return m_capture; }
    ProductionLoop &loop() { return m_loop; }
    // The run's options, as the front end holds them (the window's panels, the command
    // line's job); the next UID and block 0 follow the loop as the window's fields do.
    const AutoLoop::Options &options() const { return m_options; }
    void setOptions(const AutoLoop::Options &options) { m_options = options; }
    QString device() const { return m_device; }

    // Opens the port and runs the connect sequence ("SBA", "SB1", the quiet start); returns
    // once the line has settled.
    bool connectPort(const QString &device, QString *reason);
    void disconnectPort();
    // Sends one command and waits for its reply: the first that answers says so (a report of
    // the box that crossed the command does not). Nothing when none came within kAskMs, or
    // the port failed (see failure()).
    using Answers = std::function<bool(const Reply::Parsed &reply)>;
    static constexpr int kAskMs = 3000;
    std::optional<QString> ask(const QString &command, const Answers &answers);
    // An answer to a command about the tag: the kind it asks for, or an error.
    static Answers kindOrError(Reply::Kind kind, int block = -1);
    // Why the port failed; empty while it works.
    QString failure() const { return m_failure; }

    // The gathered reply, once: shown, given to the loop, then reported. Called as the line
    // goes quiet; fuzzing calls it directly.
    void takeReply();
    // The blocking pause after "No Precent!"; only fuzzing shortens it.
    void setNoPresentPauseMs(int ms) { m_pauseMs = ms; }

signals:
    // A reply, before the loop has it: what the reply itself shows.
    void arrived(const QString &head, const Reply::Parsed &reply);
    // Every reply, after the loop had it.
    void replied(const QString &head, const Reply::Parsed &reply);
    // The open port failed. Right after its front ends heard it, the session closes the link
    // and switches the loop off.
    void portFailed(const QString &reason);

private:
    SessionState m_state;
    AutoLoop::Options m_options;
    std::unique_ptr<Transport> m_ownTransport;
    Transport &m_transport;
    ReaderLink m_link;
    TrafficCapture m_capture;
    ProductionLoop m_loop;
    QString m_device;
    QString m_failure;
    int m_pauseMs;
};
