#include "autowriter.h"

#include "autopanel.h"
#include "core/timing.h"

#include <QPushButton>

AutoWriter::AutoWriter(SessionState &state, AutoPanel &panel, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_panel(panel) {
    m_timerAuto.setSingleShot(true);
    m_timerAuto.setInterval(Timing::kAutoStepMs);
    m_flash.setInterval(Timing::kFlashMs);
    connect(&m_timerAuto, &QTimer::timeout, this, &AutoWriter::step);
}

void AutoWriter::startStepTimer() {
    m_timerAuto.start();
}

void AutoWriter::stopStepTimer() {
    m_timerAuto.stop();
}

void AutoWriter::step() {
    m_timerAuto.stop();
    m_state.UnlockPending = false;
}

void AutoWriter::onLinkClosed() {
    m_panel.autoButton()->setText(QStringLiteral("Auto Wite"));
    m_flash.stop();
    m_state.AutoWriteRunning = false;
}
