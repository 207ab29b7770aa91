#pragma once

#include "core/autoloop.h"
#include "core/sessionstate.h"
#include "notices.h"
#include "station/session/productionloop.h"

#include <QObject>
#include <QTimer>
#include <memory>

class AutoPanel;
class BlockPanel;
class Dialogs;
class Emphasis;
class Session;
class StatusLine;
class TrafficLog;
class UidPanel;
class Job;

// The production loop in the window: the panels are the session's options (kept as they
// change, not read at every step), and what the loop shows goes to the log, the status line
// and the block and UID fields. Owns the blinking T_Flash of the "Auto Wite" button.
class AutoWriter : public QObject {
    Q_OBJECT
public:
    struct Parts {
        AutoPanel &autoPanel;
        BlockPanel &blocks;
        UidPanel &uid;
        StatusLine &status;
        TrafficLog &log;
        Dialogs &dialogs;
        Emphasis &emphasis;
    };

    AutoWriter(Session &session, Parts parts, QObject *parent = nullptr);

    ProductionLoop &loop() { return m_loop; }
    const AutoLoop::Engine &engine() const { return m_loop.engine(); }
    // What the panels hold, as the loop runs it.
    AutoLoop::Options options() const { return m_loop.options(); }
    // The panels read now; the loop's options are kept equal to it.
    AutoLoop::Options panels() const;

    // The panels' run as a job file, and a job file into the panels (not while the loop runs).
    bool saveJob(const QString &file, QString *error) const;
    bool openJob(const QString &file, QString *error);
    // The loop's timing, which only a job (or a benchmark) changes.
    void setTiming(int stepMs, int firstCommandMs,
                   AutoLoop::Options::Pace pace = AutoLoop::Options::Pace::Ticks)
    {
        m_stepMs = stepMs;
        m_firstCommandMs = firstCommandMs;
        m_pace = pace;
        takeOptions();
        emit jobChanged();
    }
    // The password list "Auto Unlock" tries after the job's password (not while the loop
    // runs); a job brings its own.
    bool useUnlockList(const QString &file, QString *error);
    void dropUnlockList();
    // Switches the loop on or off, as the "Auto Wite" / "Stop" button does.
    void toggle();
    // The link was closed: the loop switches itself off.
    void onLinkClosed();

    // Sets the loop's state at once; fuzzing explores states that no run reaches quickly.
    void restoreLoopState(const AutoLoop::Engine::State &s) { m_loop.restore(s); }

    QTimer &Timer_Auto() { return m_loop.Timer_Auto(); }
    QTimer &T_Flash() { return m_flash; }
    QTimer &hold() { return m_loop.hold(); }
    bool FlashPhase = false;
    qint64 stepTimerStartedNs() const { return m_loop.stepTimerStartedNs(); }

signals:
    // The loop was switched on (a batch begins) or off, by the operator or by itself.
    void switched(bool on);
    void tagStarted(const AutoLoop::TagOutcome &tag);
    void tagEnded(const AutoLoop::TagOutcome &outcome);
    void uidRefused(const QString &why);
    // A job (or a benchmark) changed the loop's timing or pace, or the unlock list changed.
    void jobChanged();

private:
    // The panels into the session's options; on every change of a control the loop reads.
    void takeOptions();
    void show(const AutoLoop::Actions &a);
    void showLines(const Notices::Shown &shown);
    void onSwitched(bool on);
    void blink();

    Session &m_session;
    SessionState &m_state;
    Parts m_p;
    ProductionLoop &m_loop;
    int m_stepMs = AutoLoop::Options{}.stepMs;
    int m_firstCommandMs = AutoLoop::Options{}.firstCommandMs;
    AutoLoop::Options::Pace m_pace = AutoLoop::Options::Pace::Ticks;
    // The UID list of the job opened last; none: "Auto inc" steps.
    std::shared_ptr<const UidList> m_list;
    // The password list for tags the job's password does not open ("Auto Unlock" only).
    std::shared_ptr<const PasswordList::List> m_unlockList;
    void useList(const Job &job);
    QTimer m_flash;
    // The link closed: the card label is the link's to reset.
    bool m_linkClosing = false;
};
