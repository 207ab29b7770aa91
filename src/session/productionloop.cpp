#include "productionloop.h"

#include "core/timing.h"
#include "link/readerlink.h"

#include <QDeadlineTimer>

using AutoLoop::StepTimer;

ProductionLoop::ProductionLoop(SessionState &state, ReaderLink &link, OptionsSource source,
                               QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_link(link)
    , m_options(std::move(source))
{
    // These intervals gate the protocol: a coarse timer fires up to 5 % early.
    m_timerAuto.setSingleShot(true);
    m_timerAuto.setInterval(Timing::kAutoStepMs);
    m_timerAuto.setTimerType(Qt::PreciseTimer);
    m_hold.setSingleShot(true);
    m_hold.setInterval(Timing::kNoPresentPauseMs);
    m_hold.setTimerType(Qt::PreciseTimer);
    connect(&m_timerAuto, &QTimer::timeout, this, [this] { apply(m_engine.tick(options())); });
    connect(&m_hold, &QTimer::timeout, this, [this] { apply(m_engine.holdEnded(options())); });
    connect(&m_link, &ReaderLink::replyTimedOut, this, [this] { apply(m_engine.replyTimedOut()); });
}

void ProductionLoop::start()
{
    if (running() || !m_state.PortConnected)
        return;
    apply(m_engine.start());
    emit switched(true);
}

void ProductionLoop::stop()
{
    if (!running())
        return;
    apply(m_engine.stop());
    emit switched(false);
}

void ProductionLoop::onReply(const Reply::Parsed &reply)
{
    apply(m_engine.reply(reply, options()));
}

void ProductionLoop::onLinkClosed()
{
    const bool wasRunning = running();
    apply(m_engine.linkClosed());
    if (wasRunning)
        emit switched(false);
}

void ProductionLoop::apply(const AutoLoop::Actions &a)
{
    if (a.ranStep)
        m_state.UnlockPending = false;
    emit shown(a);
    if (a.stopReplyTimeout)
        m_link.stopReplyTimeout();
    if (a.command)
        m_link.SendCommand(*a.command);
    if (a.started)
        emit tagStarted(*a.started);
    if (a.timer == StepTimer::Start) {
        m_timerAuto.start();
        m_timerStartedNs = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    } else if (a.timer == StepTimer::Stop) {
        m_timerAuto.stop();
    }
    if (a.hold)
        m_hold.start();
    if (a.outcome)
        emit tagEnded(*a.outcome);
    if (a.switchedOff)
        emit switched(false);
    if (a.uidRefused)
        emit uidRefused(*a.uidRefused);
}
