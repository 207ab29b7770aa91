#include "productionloop.h"

#include "core/timing.h"
#include "station/link/readerlink.h"

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
    // Manual commands keep the quiet line.
    connect(this, &ProductionLoop::switched, this, [this](bool on) {
        if (!on)
            m_link.setCompleteAtLineEnd(false);
    });
    connect(&m_timerAuto, &QTimer::timeout, this, [this] { apply(m_engine.tick(options())); });
    connect(&m_hold, &QTimer::timeout, this, [this] { apply(m_engine.holdEnded(options())); });
    connect(&m_link, &ReaderLink::replyTimedOut, this, [this] { apply(m_engine.replyTimedOut()); });
    // The reader settings' buttons change the base the box reports IDs in, also mid-run.
    connect(&m_link, &ReaderLink::commandSent, this, [this](const QString &command) {
        if (command == QLatin1String("RUX") || command == QLatin1String("RUD"))
            m_engine.boxReports(command == QLatin1String("RUX"));
        // The loop's own questions are its to answer.
        if (command == QLatin1String("GTS") && !m_applying)
            m_engine.fieldAsked();
    });
}

void ProductionLoop::start()
{
    if (running() || !m_state.PortConnected || (m_startGate && !m_startGate()))
        return;
    m_failedInRow.clear();
    const AutoLoop::Options o = options();
    m_link.setCompleteAtLineEnd(o.pace == AutoLoop::Options::Pace::Replies);
    apply(m_engine.start(o));
    emit switched(true);
    // A tag already on the antenna was reported before the loop listened, and the box reports
    // a tag only as it arrives: asked, it says again what is there.
    if (running() && m_engine.state().AutoStep == AutoLoop::Step::Idle)
        m_link.SendCommand(QStringLiteral("GTS"));
}

void ProductionLoop::finishBeforeStart(const QString &why)
{
    AutoLoop::Actions a;
    a.notices.append({.kind = AutoLoop::Notice::Kind::RunDone, .text = why});
    a.finished = why;
    apply(a);
}

void ProductionLoop::carryOnAt(const QString &uid, const QString &why)
{
    AutoLoop::Actions a;
    a.setUid = uid;
    a.notices.append({.kind = AutoLoop::Notice::Kind::CarryOn, .text = why});
    apply(a);
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
    if (a.command) {
        m_applying = true;
        m_link.SendCommand(*a.command);
        m_applying = false;
    }
    if (a.started)
        emit tagStarted(*a.started);
    if (a.timer == StepTimer::Start || a.timer == StepTimer::Wait) {
        m_timerAuto.setInterval(
            AutoLoop::stepIntervalMs(options(), m_engine.state().AutoStep, a.timer));
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
    if (a.finished)
        emit finished(*a.finished);
    if (!a.outcome || !countFailure(*a.outcome) || !running())
        return;
    const QString why = QStringLiteral("%1 tags in a row failed or stalled (%2). Check the tags "
                                       "and the antenna, then start the loop again.")
                            .arg(m_failedInRow.size())
                            .arg(m_failedInRow.join(QStringLiteral("; ")));
    // After the tag's own actions: the finished tag is moved on as usual, then the loop stops.
    apply(m_engine.stop());
    emit switched(false);
    emit failuresStopped(why);
}

bool ProductionLoop::countFailure(const AutoLoop::TagOutcome &tag)
{
    using Result = AutoLoop::TagOutcome::Result;
    if (tag.result == Result::Complete) {
        m_failedInRow.clear();
        return false;
    }
    // A tag taken away early or stopped by the operator says nothing of the tags.
    if (tag.result != Result::Failed && tag.result != Result::Stalled)
        return false;
    const QString uid = tag.uidRead.isEmpty() ? tag.uidAsked : tag.uidRead;
    m_failedInRow << QStringLiteral("%1 %2%3").arg(
        uid.isEmpty() ? QStringLiteral("a tag") : QStringLiteral("UID ") + uid,
        AutoLoop::resultName(tag.result),
        tag.detail.isEmpty() ? QString() : QStringLiteral(": ") + tag.detail);
    const int limit = qBound(0, options().stopAfterFailures, AutoLoop::kMaxStopAfterFailures);
    if (limit == 0)
        m_failedInRow.clear();
    return limit > 0 && m_failedInRow.size() >= limit;
}
