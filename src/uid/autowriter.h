#pragma once

#include "core/sessionstate.h"

#include <QObject>
#include <QTimer>

class AutoPanel;

// The production loop's own side: the step handler run by Timer_Auto (and directly by the
// reply interpreter), and the blinking of the auto-write button.
class AutoWriter : public QObject {
    Q_OBJECT
public:
    AutoWriter(SessionState &state, AutoPanel &panel, QObject *parent = nullptr);

    void startStepTimer();
    void stopStepTimer();
    // The step handler; stops Timer_Auto first so a pending tick never repeats a step.
    void step();

    // The link was closed: the loop switches itself off.
    void onLinkClosed();

    QTimer &Timer_Auto() { return m_timerAuto; }
    QTimer &T_Flash() { return m_flash; }

private:
    SessionState &m_state;
    AutoPanel &m_panel;
    QTimer m_timerAuto;
    QTimer m_flash;
};
