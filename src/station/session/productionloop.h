#pragma once

#include "core/autoloop.h"
#include "core/sessionstate.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

class ReaderLink;

// The production loop without a window: feeds the engine with the box's replies and its own
// timers (Timer_Auto and the hold after a finished tag), sends the commands it answers with,
// and reports the rest. The window and the command line each show the reports their way.
class ProductionLoop : public QObject {
    Q_OBJECT
public:
    // Asked at every event: the window reads its panels, the command line its job.
    using OptionsSource = std::function<AutoLoop::Options()>;

    ProductionLoop(SessionState &state, ReaderLink &link, OptionsSource source,
                   QObject *parent = nullptr);

    const AutoLoop::Engine &engine() const { return m_engine; }
    AutoLoop::Options options() const { return m_options(); }
    bool running() const { return m_engine.AutoWriteRunning(); }

    // Only on a connected link.
    void start();
    void stop();
    // The work is done before the loop switched on (a used-up UID list): said as a run's end.
    void finishBeforeStart(const QString &why);
    // The next UID to write is another (a run that goes on after the recorded ones): shown in
    // the UID field and logged with why.
    void carryOnAt(const QString &uid, const QString &why);
    // Every gathered reply, once, after what the reply itself shows.
    void onReply(const Reply::Parsed &reply);
    // The link was closed: the loop switches itself off.
    void onLinkClosed();
    // The record answered what the guard or the lookup said was pending.
    void recordAnswered() { apply(m_engine.recordAnswered(options())); }

    // Asked before each UID write with "Auto inc (UID+)": where the UID already sits, if it does.
    void setUidGuard(std::function<AutoLoop::Engine::UidVerdict(const QString &uid)> guard)
    {
        m_engine.uidGuard = std::move(guard);
    }
    // Asked before the loop switches on; false: not yet (whoever said so starts it when it may).
    void setStartGate(std::function<bool()> gate) { m_startGate = std::move(gate); }
    // Asked when a tag reports its ID: where the record holds it as written, if it does.
    void
    setRecordedLookup(std::function<AutoLoop::Engine::Recorded(const QString &uid, bool hex)> f)
    {
        m_engine.recordedAt = std::move(f);
    }

    // Sets the loop's state at once; fuzzing explores states that no run reaches quickly.
    void restore(const AutoLoop::Engine::State &s) { m_engine.restore(s); }

    QTimer &Timer_Auto() { return m_timerAuto; }
    QTimer &hold() { return m_hold; }
    // When Timer_Auto was last started, on the steady clock (for timing figures).
    qint64 stepTimerStartedNs() const { return m_timerStartedNs; }

signals:
    // What the operator is shown of a step (block 0, the next UID, log lines, messages, beeps),
    // before its command leaves.
    void shown(const AutoLoop::Actions &actions);
    // The loop was switched on (a batch begins) or off, by the operator or by itself.
    void switched(bool on);
    // A tag's first command went out.
    void tagStarted(const AutoLoop::TagOutcome &tag);
    // A tag's cycle ended, however it ended.
    void tagEnded(const AutoLoop::TagOutcome &outcome);
    // The loop stopped rather than write a UID that is already on a tag.
    void uidRefused(const QString &why);
    // The loop stopped itself after Options::stopAfterFailures failed or stalled tags in a
    // row: why, with those tags, in words.
    void failuresStopped(const QString &why);
    // The loop stopped itself because its work is done: the UID list is used up.
    void finished(const QString &why);

private:
    void apply(const AutoLoop::Actions &a);
    // Counts failed and stalled tags in a row; true when the loop must stop for them.
    bool countFailure(const AutoLoop::TagOutcome &tag);

    SessionState &m_state;
    ReaderLink &m_link;
    OptionsSource m_options;
    std::function<bool()> m_startGate;
    AutoLoop::Engine m_engine;
    QTimer m_timerAuto;
    QTimer m_hold;
    qint64 m_timerStartedNs = 0;
    // The failed or stalled tags since the last complete one, in words.
    QStringList m_failedInRow;
    // A command of the engine is going out (not a question from elsewhere).
    bool m_applying = false;
};
