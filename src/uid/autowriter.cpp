#include "autowriter.h"

#include "autopanel.h"
#include "core/timing.h"
#include "link/readerlink.h"
#include "link/trafficlog.h"
#include "tagops/blockpanel.h"
#include "uidpanel.h"
#include "widgets/dialogs.h"
#include "widgets/emphasis.h"
#include "widgets/maskedfield.h"
#include "widgets/statusline.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QRadioButton>

using AutoLoop::StepTimer;

AutoWriter::AutoWriter(SessionState &state, Parts parts, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_p(parts)
{
    // These intervals gate the protocol: a coarse timer fires up to 5 % early.
    m_timerAuto.setSingleShot(true);
    m_timerAuto.setInterval(Timing::kAutoStepMs);
    m_timerAuto.setTimerType(Qt::PreciseTimer);
    m_hold.setSingleShot(true);
    m_hold.setInterval(Timing::kNoPresentPauseMs);
    m_hold.setTimerType(Qt::PreciseTimer);
    m_flash.setInterval(Timing::kFlashMs);
    connect(&m_timerAuto, &QTimer::timeout, this, [this] { apply(m_engine.tick(options())); });
    connect(&m_hold, &QTimer::timeout, this, [this] { apply(m_engine.holdEnded(options())); });
    connect(&m_flash, &QTimer::timeout, this, &AutoWriter::blink);
    connect(m_p.autoPanel.autoButton(), &QPushButton::clicked, this, &AutoWriter::toggle);
    connect(&m_p.link, &ReaderLink::replyTimedOut, this,
            [this] { apply(m_engine.replyTimedOut()); });
}

AutoLoop::Options AutoWriter::options() const
{
    const AutoPanel &a = m_p.autoPanel;
    const BlockPanel &b = m_p.blocks;
    AutoLoop::Options o;
    o.autoUnlock = a.autoUnlockBox()->isChecked();
    o.setUid = a.setUidBox()->isChecked();
    o.autoInc = a.autoIncBox()->isChecked();
    for (int n = 1; n <= 6; ++n)
        o.blocks[size_t(n)] = b.blockOption(n)->isChecked();
    o.writePassword = a.writePasswordBox()->isChecked();
    o.lock = a.lockBox()->isChecked();
    o.withId = a.withIdBox()->isChecked();
    o.noUid = a.noUidBox()->isChecked();
    o.notConfig = a.notConfigBox()->isChecked();
    o.rewriteRecorded = a.rewriteRecordedBox()->isChecked();
    for (int n = 0; n < BlockPanel::kBlocks; ++n)
        o.blockTexts[size_t(n)] = b.block(n);
    o.setUidText = a.setUidField()->text();
    o.incText = a.incField()->text();
    if (m_p.uid.hexButton()->isChecked())
        o.base = AutoLoop::Options::Base::Hex;
    else if (m_p.uid.decButton()->isChecked())
        o.base = AutoLoop::Options::Base::Dec;
    else
        o.base = AutoLoop::Options::Base::None;
    return o;
}

void AutoWriter::onReply(const Reply::Parsed &reply)
{
    apply(m_engine.reply(reply, options()));
}

void AutoWriter::toggle()
{
    if (!m_state.PortConnected) {
        m_p.dialogs.information(
            QStringLiteral("Connection Error!"),
            QStringLiteral("Pleas Select Port-Number And Click the Connect Button. "));
        return;
    }
    if (m_engine.AutoWriteRunning()) {
        apply(m_engine.stop());
        showSwitchedOff();
        return;
    }
    apply(m_engine.start());
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Stop"));
    if (m_p.status.cardState() == StatusLine::Card::NoCard)
        m_p.status.showCard(StatusLine::Card::Searching);
    m_flash.start();
    emit switched(true);
}

void AutoWriter::showSwitchedOff()
{
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Auto Wite"));
    if (m_p.status.cardState() == StatusLine::Card::Searching)
        m_p.status.showCard(StatusLine::Card::NoCard);
    m_flash.stop();
    emit switched(false);
}

void AutoWriter::onLinkClosed()
{
    const bool wasRunning = m_engine.AutoWriteRunning();
    apply(m_engine.linkClosed());
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Auto Wite"));
    m_flash.stop();
    if (wasRunning)
        emit switched(false);
}

void AutoWriter::blink()
{
    if (!m_engine.AutoWriteRunning())
        return;
    FlashPhase = !FlashPhase;
    QPushButton *button = m_p.autoPanel.autoButton();
    if (FlashPhase) {
        m_p.emphasis.clearDefault(button);
        m_p.emphasis.setHighlight(button, false);
    } else {
        m_p.emphasis.emphasise(button);
    }
}

void AutoWriter::apply(const AutoLoop::Actions &a)
{
    if (a.ranStep)
        m_state.UnlockPending = false;
    if (a.block0)
        m_p.blocks.setBlock(0, *a.block0);
    if (a.setUid)
        m_p.autoPanel.setUidField()->setText(*a.setUid);
    for (const AutoLoop::LogLine &line : a.log) {
        m_p.log.setInsertionSize(line.size);
        m_p.log.setInsertionColour(line.colour);
        m_p.log.insert(line.text);
        m_p.log.moveToEnd();
        m_p.log.setInsertionSize(9);
    }
    for (const AutoLoop::Message &m : a.messages)
        m_p.status.showMessage(m.text, m.colour);
    if (a.stopReplyTimeout)
        m_p.link.stopReplyTimeout();
    for (int i = 0; i < a.beeps; ++i)
        QApplication::beep();
    if (a.command)
        m_p.link.SendCommand(*a.command);
    if (a.started)
        emit tagStarted(*a.started);
    if (a.timer == StepTimer::Start) {
        m_timerAuto.start();
        m_timerStartedNs = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    } else if (a.timer == StepTimer::Stop)
        m_timerAuto.stop();
    if (a.hold)
        m_hold.start();
    if (a.outcome)
        emit tagEnded(*a.outcome);
    if (a.switchedOff)
        showSwitchedOff();
    if (a.uidRefused)
        emit uidRefused(*a.uidRefused);
}
