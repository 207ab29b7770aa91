#pragma once

#include "core/sessionstate.h"
#include "core/timing.h"

#include <QObject>
#include <QTimer>

class AutoPanel;
class BlockPanel;
class Dialogs;
class Emphasis;
class ReaderLink;
class StatusLine;
class UidPanel;

// The production loop's own side: the start/stop button and its blinking, and the step
// handler that sends each step's command. The reply interpreter moves the steps on.
class AutoWriter : public QObject {
    Q_OBJECT
public:
    struct Parts {
        AutoPanel &autoPanel;
        BlockPanel &blocks;
        UidPanel &uid;
        StatusLine &status;
        ReaderLink &link;
        Dialogs &dialogs;
        Emphasis &emphasis;
    };

    AutoWriter(SessionState &state, Parts parts, QObject *parent = nullptr);

    void startStepTimer();
    void stopStepTimer();
    // The step handler, run by Timer_Auto and directly by the reply interpreter. It stops
    // Timer_Auto first, so a pending tick never runs the same step twice.
    void step();

    // The cycle is over: " Auto Write Complete!", beeps, sounds the box's buzzer. The step
    // handler pauses afterwards; the reply side stops Timer_Auto instead.
    void complete(bool pause);

    // The blocking pause after a completed tag; only fuzzing shortens it.
    void setCompletionPauseMs(int ms) { m_pauseMs = ms; }

    // Switches the loop on or off, as the "Auto Wite" / "Stop" button does.
    void toggle();
    // The link was closed: the loop switches itself off.
    void onLinkClosed();

    // The UID written last was answered (read back or refused): the tag's UID is known.
    void uidWriteAnswered() { m_uidWriteOutstanding = false; }
    // The set UID cannot step any further: finish this tag, then switch the loop off.
    void stopAfterThisTag() { m_stopAfterTag = true; }

    QTimer &Timer_Auto() { return m_timerAuto; }
    QTimer &T_Flash() { return m_flash; }
    bool FlashPhase = false;

private:
    void start();
    void stop();
    void blink();
    void onReplyTimedOut();
    void sendUidWrite();

    SessionState &m_state;
    Parts m_p;
    QTimer m_timerAuto;
    QTimer m_flash;
    bool m_uidWriteOutstanding = false;
    bool m_uidUncertain = false;
    bool m_stopAfterTag = false;
    int m_pauseMs = Timing::kNoPresentPauseMs;
};
