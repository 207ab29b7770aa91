#pragma once

#include "core/autoloop.h"
#include "core/sessionstate.h"

#include <QObject>
#include <QTimer>

class AutoPanel;
class BlockPanel;
class Dialogs;
class Emphasis;
class ReaderLink;
class StatusLine;
class TrafficLog;
class UidPanel;

// The production loop in the window: reads the options from the panels, feeds the loop
// engine, and carries out what it answers. Owns Timer_Auto, the blinking T_Flash and the
// hold after a finished tag.
class AutoWriter : public QObject {
    Q_OBJECT
public:
    struct Parts {
        AutoPanel &autoPanel;
        BlockPanel &blocks;
        UidPanel &uid;
        StatusLine &status;
        ReaderLink &link;
        TrafficLog &log;
        Dialogs &dialogs;
        Emphasis &emphasis;
    };

    AutoWriter(SessionState &state, Parts parts, QObject *parent = nullptr);

    const AutoLoop::Engine &engine() const { return m_engine; }
    AutoLoop::Options options() const;

    // Every gathered reply, once, after the interpreter's own effects of its class.
    void onReply(const Reply::Parsed &reply);
    // Switches the loop on or off, as the "Auto Wite" / "Stop" button does.
    void toggle();
    // The link was closed: the loop switches itself off.
    void onLinkClosed();

    // Sets the loop's state at once; fuzzing explores states that no run reaches quickly.
    void restoreLoopState(const AutoLoop::Engine::State &s) { m_engine.restore(s); }

    QTimer &Timer_Auto() { return m_timerAuto; }
    QTimer &T_Flash() { return m_flash; }
    QTimer &hold() { return m_hold; }
    bool FlashPhase = false;
    // When Timer_Auto was last started, on the steady clock (for timing figures).
    qint64 stepTimerStartedNs() const { return m_timerStartedNs; }

    // Asked before each UID write with "Auto inc (UID+)": where the UID already sits, if it does.
    void setUidGuard(std::function<AutoLoop::Engine::UidVerdict(const QString &uid)> guard)
    {
        m_engine.uidGuard = std::move(guard);
    }

    // Asked when a tag reports its ID: where the record holds it as written, if it does.
    void
    setRecordedLookup(std::function<AutoLoop::Engine::Recorded(const QString &uid, bool hex)> f)
    {
        m_engine.recordedAt = std::move(f);
    }
    // The record answered what the guard or the lookup said was pending.
    void recordAnswered() { apply(m_engine.recordAnswered(options())); }

signals:
    // The loop was switched on (a batch begins) or off, by the operator or by itself.
    void switched(bool on);
    // A tag's first command went out.
    void tagStarted(const AutoLoop::TagOutcome &tag);
    // A tag's cycle ended, however it ended.
    void tagEnded(const AutoLoop::TagOutcome &outcome);
    // The loop stopped rather than write a UID that is already on a tag.
    void uidRefused(const QString &why);

private:
    void apply(const AutoLoop::Actions &a);
    void showSwitchedOff();
    void blink();

    SessionState &m_state;
    Parts m_p;
    AutoLoop::Engine m_engine;
    QTimer m_timerAuto;
    QTimer m_flash;
    QTimer m_hold;
    qint64 m_timerStartedNs = 0;
};
