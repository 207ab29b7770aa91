#pragma once

#include "core/reply.h"
#include "core/sessionstate.h"
#include "link/readerlink.h"
#include "link/serialtransport.h"
#include "link/trafficcapture.h"
#include "productionloop.h"

#include <QObject>
#include <functional>
#include <optional>

// The link to the box, its replies and the production loop wired together without a widget:
// what the command line runs. Replies go to the loop while it runs, and to whoever asked a
// single command otherwise.
class Session : public QObject {
    Q_OBJECT
public:
    // The run's options; the next UID and block 0 follow the loop as the window's fields do.
    explicit Session(const AutoLoop::Options &options = {}, QObject *parent = nullptr);
    ~Session() override;

    SessionState &state() { return m_state; }
    ReaderLink &link() { return m_link; }
    // Keeps every byte of the link in `path` from now on.
    bool keepTraffic(const QString &path, QString *error)
    {
        return m_capture.start(m_link, path, error);
    }
    TrafficCapture &capture() { return m_capture; }
    ProductionLoop &loop() { return m_loop; }
    const AutoLoop::Options &options() const { return m_options; }
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

signals:
    // Every reply, after the loop had it.
    void replied(const QString &head, const Reply::Parsed &reply);
    void portFailed(const QString &reason);

private:
    void onReply();

    SessionState m_state;
    AutoLoop::Options m_options;
    SerialTransport m_transport;
    ReaderLink m_link;
    TrafficCapture m_capture;
    ProductionLoop m_loop;
    QString m_device;
    QString m_failure;
};
