#include "readerlink.h"

#include "core/reply.h"
#include "core/timing.h"
#include "transport.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <utility>

static void setupOneShot(QTimer &timer, int intervalMs)
{
    timer.setSingleShot(true);
    timer.setInterval(intervalMs);
    timer.setTimerType(Qt::PreciseTimer);
}

ReaderLink::ReaderLink(SessionState &state, Transport &transport, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_transport(transport)
{
    setupOneShot(m_tr1, Timing::kQuietLineMs);
    setupOneShot(m_timout, Timing::kReplyTimeoutMs);
    setupOneShot(m_timout2, Timing::kStatusClearMs);
    setupOneShot(m_tcr1, Timing::kLogSettleMs);
    connect(&m_transport, &Transport::received, this, &ReaderLink::onReceived);
    connect(&m_transport, &Transport::failed, this, &ReaderLink::portFailed);
    connect(&m_tr1, &QTimer::timeout, this, &ReaderLink::onQuiet);
    connect(&m_timout, &QTimer::timeout, this, &ReaderLink::onTimout);
    connect(&m_timout2, &QTimer::timeout, this, &ReaderLink::onTimout2);
    connect(&m_tcr1, &QTimer::timeout, this, &ReaderLink::onTcr1);
    m_watch.setInterval(Timing::kPortWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &ReaderLink::onWatch);
}

void ReaderLink::SendCommand(const QString &command)
{
    if (!m_state.QuietStart)
        emit commandLogged(command);
    if (!m_state.PortConnected)
        emit notConnected(command);
    else if (const QByteArray bytes = command.toLatin1() + "\r\n"; m_transport.write(bytes))
        emit bytesSent(bytes);
    else
        emit sendFailed(command);
    m_sentDuringReply = true;
    m_timout.start();
    emit commandSent(command);
}

bool ReaderLink::openPort(const QString &device, QString *reason)
{
    stopWatching();
    if (!m_transport.open(device, reason))
        return false;
    m_device = device;
    m_serialNumber = QSerialPortInfo(device).serialNumber();
    emit portOpened(device);
    return true;
}

void ReaderLink::watchForReturn()
{
    if (!m_device.isEmpty())
        m_watch.start();
}

void ReaderLink::stopWatching()
{
    m_watch.stop();
}

void ReaderLink::onWatch()
{
    QString device = m_device;
    if (!QFileInfo::exists(device) && !m_serialNumber.isEmpty()) {
        // Plugged into another socket, the adapter comes back under another name.
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
            if (info.serialNumber() == m_serialNumber)
                device = info.systemLocation();
        }
    }
    if (!QFileInfo::exists(device))
        return;
    // It may exist before it can be opened (udev still setting it up): the next tick tries
    // again.
    if (!m_transport.open(device, nullptr))
        return;
    m_watch.stop();
    m_device = device;
    emit portOpened(device);
    emit portReturned(device);
}

void ReaderLink::closePort()
{
    if (m_transport.isOpen())
        emit portClosed();
    m_transport.close();
}

bool ReaderLink::isPortOpen() const
{
    return m_transport.isOpen();
}

void ReaderLink::startConnectSequence(bool keepLog)
{
    m_keepLog = keepLog;
    beginQuietStart();
    SendCommand(QStringLiteral("SBA"));
    SendCommand(QStringLiteral("SB1"));
    m_askFieldWhenSettled = true;
    startLogSettle();
}

void ReaderLink::beginQuietStart()
{
    m_state.QuietStart = true;
}

void ReaderLink::startLogSettle()
{
    m_tcr1.start();
}

QString ReaderLink::takeReplyHead()
{
    m_tr1.stop();
    const QString head = QString::fromLatin1(m_replyBuffer.left(Reply::kHeadLength));
    m_timout2.start();
    m_timout.stop();
    // Replies end with a line break: what followed it is the box's next reply, which reached
    // the port within the same quiet line (a tag leaving just after the buzzer's answer).
    const qsizetype end = m_gathered.indexOf("\r\n");
    m_following = end >= 0 ? m_gathered.mid(end + 2) : QByteArray();
    if (m_following.trimmed().isEmpty())
        m_following.clear();
    m_replyBuffer.clear();
    m_gathered.clear();
    m_sentDuringReply = false;
    return head;
}

void ReaderLink::flushOutput()
{
    m_transport.flush();
}

void ReaderLink::endReply()
{
    if (!m_sentDuringReply)
        m_timout.stop();
    if (m_following.isEmpty())
        return;
    // Gathered as if it had just arrived; anything arriving meanwhile joins it.
    const QByteArray next = std::exchange(m_following, {});
    m_gathered = next;
    m_gatherStartNs = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    m_replyBuffer = next.left(Reply::kHeadLength);
    m_tr1.start();
    // Not from inside the interpreter that is ending: the next reply gets a run of its own.
    if (lineComplete())
        QTimer::singleShot(0, this, [this] {
            if (lineComplete()) {
                m_tr1.stop();
                emit replyGathered();
            }
        });
}

void ReaderLink::setCompleteAtLineEnd(bool on)
{
    m_completeAtLineEnd = on;
}

bool ReaderLink::lineComplete() const
{
    if (!m_completeAtLineEnd)
        return false;
    const qsizetype end = m_gathered.indexOf("\r\n");
    return end > 0 && Reply::gathered(m_gathered.left(end)) != Reply::Gathered::LineEnd;
}

void ReaderLink::stopReplyTimeout()
{
    m_timout.stop();
}

void ReaderLink::clearReplyBuffer()
{
    m_replyBuffer.clear();
    m_gathered.clear();
    m_following.clear();
}

void ReaderLink::onReceived()
{
    m_lastReceiveNs = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    if (m_gathered.isEmpty())
        m_gatherStartNs = m_lastReceiveNs;
    const QByteArray data = m_transport.readAll();
    emit bytesReceived(data);
    // Only the first ten characters are ever interpreted; a device that streams without
    // pausing must not make the buffer grow.
    const qsizetype room = Reply::kHeadLength - m_replyBuffer.size();
    if (room > 0)
        m_replyBuffer.append(data.left(room));
    // A few replies' worth is kept, so one that follows the first is not lost.
    const qsizetype keep = kGatherLimit - m_gathered.size();
    if (keep > 0)
        m_gathered.append(data.left(keep));
    if (lineComplete()) {
        m_tr1.stop();
        emit replyGathered();
        return;
    }
    m_tr1.start();
}

void ReaderLink::onQuiet()
{
    switch (Reply::gathered(m_gathered)) {
    case Reply::Gathered::LineEnd:
        // Interpreted, it would stop the time-out of a command that is still unanswered.
        m_replyBuffer.clear();
        m_gathered.clear();
        return;
    case Reply::Gathered::Fragment:
        if (QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs() - m_gatherStartNs
            < qint64(Timing::kFragmentWaitMs) * 1000000) {
            m_tr1.start();
            return;
        }
        break;
    case Reply::Gathered::Reply:
        break;
    }
    emit replyGathered();
}

void ReaderLink::onTimout()
{
    m_timout.stop();
    emit replyTimedOut();
    m_timout2.start();
}

void ReaderLink::onTimout2()
{
    m_timout2.stop();
    emit statusExpired();
}

void ReaderLink::onTcr1()
{
    m_tcr1.stop();
    emit logSettled();
    m_keepLog = false;
    m_state.QuietStart = false;
    if (std::exchange(m_askFieldWhenSettled, false) && m_state.PortConnected)
        SendCommand(QStringLiteral("GTS"));
}
