#include "session.h"

#include "core/timing.h"
#include "station/link/serialtransport.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {
Transport *ownedOr(Transport *given, std::unique_ptr<Transport> &own)
{
    if (!given)
        own = std::make_unique<SerialTransport>();
    return given ? given : own.get();
}
} // namespace

Session::Session(Transport *transport, QObject *parent)
    : QObject(parent)
    , m_transport(*ownedOr(transport, m_ownTransport))
    , m_link(m_state, m_transport)
    , m_loop(m_state, m_link, [this] { return m_options; })
    , m_pauseMs(Timing::kNoPresentPauseMs)
{
    connect(&m_loop, &ProductionLoop::shown, this, [this](const AutoLoop::Actions &a) {
        if (a.block0)
            m_options.blockTexts[0] = *a.block0;
        if (a.setUid)
            m_options.setUidText = *a.setUid;
    });
    connect(&m_link, &ReaderLink::replyGathered, this, &Session::takeReply);
    connect(&m_link, &ReaderLink::portFailed, this, [this](const QString &reason) {
        if (!m_state.PortConnected)
            return;
        m_failure = reason;
        // The front end first: the window switches its panels off and watches for the port.
        emit portFailed(reason);
        m_state.PortConnected = false;
        m_link.closePort();
        m_loop.onLinkClosed();
    });
}

Session::~Session()
{
    disconnectPort();
}

bool Session::connectPort(const QString &device, QString *reason)
{
    if (!m_link.openPort(device, reason))
        return false;
    m_device = device;
    m_failure.clear();
    m_state.PortConnected = true;
    // The answers to the connect sequence come after whatever the box said before the port
    // was open, and the answer to its "GTS" after them: none of it answers anything asked
    // later, so all of it is drained here.
    int connectAnswers = 0;
    QEventLoop drain;
    connect(this, &Session::replied, &drain, [&](const QString &head, const Reply::Parsed &r) {
        if (connectAnswers < 2) {
            connectAnswers += head == QLatin1String("MsgCode:01");
            return;
        }
        if (Reply::isFieldReport(r))
            drain.quit();
    });
    connect(this, &Session::portFailed, &drain, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &drain, &QEventLoop::quit);
    // The deadline counts from the "GTS", which leaves when the log has settled.
    connect(&m_link, &ReaderLink::logSettled, &deadline,
            [&deadline] { deadline.start(Timing::kReplyTimeoutMs); });
    m_link.startConnectSequence();
    if (m_state.PortConnected)
        drain.exec();
    return m_state.PortConnected;
}

void Session::disconnectPort()
{
    if (!m_state.PortConnected)
        return;
    m_state.PortConnected = false;
    m_loop.onLinkClosed();
    m_link.closePort();
}

Session::Answers Session::kindOrError(Reply::Kind kind, int block)
{
    return [kind, block](const Reply::Parsed &r) {
        return r.kind == Reply::Kind::Error || (r.kind == kind && (block < 0 || r.block == block));
    };
}

std::optional<QString> Session::ask(const QString &command, const Answers &answers)
{
    if (!m_state.PortConnected)
        return std::nullopt;
    std::optional<QString> answer;
    QEventLoop wait;
    // Longer than the window's time-out: a script waits, and a loaded machine is slow.
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &wait, &QEventLoop::quit);
    connect(this, &Session::replied, &wait, [&](const QString &head, const Reply::Parsed &reply) {
        if (!answers(reply))
            return;
        answer = head;
        wait.quit();
    });
    connect(this, &Session::portFailed, &wait, &QEventLoop::quit);
    m_link.SendCommand(command);
    deadline.start(kAskMs);
    wait.exec();
    disconnect(this, nullptr, &wait, nullptr);
    return answer;
}

void Session::takeReply()
{
    const QString head = m_link.takeReplyHead();
    const Reply::Parsed reply = Reply::classify(head);
    emit arrived(head, reply);
    m_loop.onReply(reply);
    // The box needs a moment after losing the tag. A tag the loop just finished gets that
    // moment from the loop's hold, which blocks nothing: replies to the buzzer and the next
    // tag's report then arrive one by one instead of merging during a blocking pause.
    if (reply.kind == Reply::Kind::Error && reply.code == Reply::kNoTag
        && !m_loop.hold().isActive()) {
        m_link.flushOutput();
        QThread::msleep(m_pauseMs);
    }
    m_link.endReply();
    emit replied(head, reply);
}
