#include "autowriter.h"

#include "autopanel.h"
#include "core/configword.h"
#include "core/palette.h"
#include "core/timing.h"
#include "core/uid.h"
#include "link/readerlink.h"
#include "tagops/blockpanel.h"
#include "ui/dialogs.h"
#include "ui/emphasis.h"
#include "ui/maskedfield.h"
#include "ui/statusline.h"
#include "uid/uidoperations.h"
#include "uidpanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

namespace {

constexpr int kUnlock = 2;
constexpr int kUid = 3;
constexpr int kFirstBlock = 4;
constexpr int kLastBlock = 9;
constexpr int kPassword = 10;
constexpr int kLock = 11;
constexpr int kComplete = 12;

} // namespace

AutoWriter::AutoWriter(SessionState &state, Parts parts, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_p(parts)
{
    m_timerAuto.setSingleShot(true);
    m_timerAuto.setInterval(Timing::kAutoStepMs);
    m_flash.setInterval(Timing::kFlashMs);
    connect(&m_timerAuto, &QTimer::timeout, this, &AutoWriter::step);
    connect(&m_flash, &QTimer::timeout, this, &AutoWriter::blink);
    connect(m_p.autoPanel.autoButton(), &QPushButton::clicked, this, &AutoWriter::toggle);
    connect(&m_p.link, &ReaderLink::replyTimedOut, this, &AutoWriter::onReplyTimedOut);
}

void AutoWriter::startStepTimer()
{
    m_timerAuto.start();
}

void AutoWriter::stopStepTimer()
{
    m_timerAuto.stop();
}

void AutoWriter::toggle()
{
    if (!m_state.PortConnected) {
        m_p.dialogs.information(
            QStringLiteral("Connection Error!"),
            QStringLiteral("Pleas Select Port-Number And Click the Connect Button. "));
        return;
    }
    if (m_state.AutoWriteRunning)
        stop();
    else
        start();
}

void AutoWriter::start()
{
    m_state.AutoWriteRunning = true;
    m_p.blocks.setBlock(0, ConfigWord::kStandard);
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Stop"));
    if (m_p.status.card() == QLatin1String("No is card."))
        m_p.status.setCardText(QStringLiteral("Searching..."));
    m_flash.start();
}

void AutoWriter::stop()
{
    m_state.AutoWriteRunning = false;
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Auto Wite"));
    if (m_p.status.card() == QLatin1String("Searching..."))
        m_p.status.setCardText(QStringLiteral("No is card."));
    m_flash.stop();
    m_state.AutoStep = 0;
    m_timerAuto.stop();
}

void AutoWriter::onLinkClosed()
{
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Auto Wite"));
    m_flash.stop();
    m_state.AutoWriteRunning = false;
}

void AutoWriter::blink()
{
    if (!m_state.AutoWriteRunning)
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

void AutoWriter::onReplyTimedOut()
{
    // A UID write whose answer never came may or may not have reached the tag.
    if (m_uidWriteOutstanding)
        m_uidUncertain = true;
    m_uidWriteOutstanding = false;
}

void AutoWriter::sendUidWrite()
{
    MaskedField &setUid = *m_p.autoPanel.setUidField();
    // Never give a second tag the UID that may already sit on a tag pulled mid-write.
    if (m_uidUncertain && m_p.autoPanel.autoIncBox()->isChecked()) {
        const qint64 k = Uid::leadingNumber(m_p.autoPanel.incField()->text());
        if (!UidOperations::stepField(setUid, k, m_p.status)) {
            stop();
            return;
        }
    }
    m_uidUncertain = false;
    m_state.ExpectedUID = setUid.text();
    QString mnemonic;
    if (m_p.uid.hexButton()->isChecked())
        mnemonic = QStringLiteral("WUX");
    else if (m_p.uid.decButton()->isChecked())
        mnemonic = QStringLiteral("WUD");
    else
        return;
    m_uidWriteOutstanding = true;
    m_p.link.SendCommand(mnemonic + setUid.text());
}

void AutoWriter::step()
{
    m_timerAuto.stop();
    m_state.UnlockPending = false;
    AutoPanel &a = m_p.autoPanel;
    BlockPanel &b = m_p.blocks;
    for (;;) {
        const int s = m_state.AutoStep;
        if (s == 1) {
            m_state.AutoStep = kUnlock;
            m_timerAuto.start();
            return;
        }
        if (s == kUnlock && a.autoUnlockBox()->isChecked()) {
            b.setBlock(0, ConfigWord::unlocked(b.block(0)));
            m_p.link.SendCommand(QStringLiteral("WP0") + b.block(7) + b.block(0));
            return;
        }
        if (s == kUid) {
            m_state.ExpectedUID = a.setUidField()->text();
            if (a.setUidBox()->isChecked()) {
                sendUidWrite();
                return;
            }
            if (!a.autoUnlockBox()->isChecked()) {
                m_p.link.SendCommand(QStringLiteral("WB0") + ConfigWord::kStandard);
                return;
            }
        }
        if (s >= kFirstBlock && s <= kLastBlock && b.blockOption(s - 3)->isChecked()) {
            const int n = s - 3;
            m_p.link.SendCommand(QStringLiteral("WB%1").arg(n) + b.block(n));
            return;
        }
        if (s == kPassword && a.writePasswordBox()->isChecked()) {
            m_p.link.SendCommand(QStringLiteral("WB7") + b.block(7));
            return;
        }
        if (s == kLock && a.lockBox()->isChecked()) {
            m_p.link.SendCommand(QStringLiteral("WB0") + ConfigWord::kWithPwdAor);
            return;
        }
        if (s == kComplete) {
            complete(true);
            return;
        }
        if (s < kUnlock || s > kComplete)
            return;
        m_state.AutoStep = s + 1;
    }
}

void AutoWriter::complete(bool pause)
{
    m_p.status.showMessage(QStringLiteral(" Auto Write Complete!\r\n"), Palette::ColorGreen);
    m_p.link.stopReplyTimeout();
    m_state.SuppressSuccessText = true;
    QApplication::beep();
    m_state.AutoStep = 0;
    m_state.TagHandled = true;
    m_p.link.SendCommand(QStringLiteral("SB1"));
    if (pause) {
        // The box sounds its buzzer; nothing else of the loop may go out meanwhile.
        QThread::msleep(m_pauseMs);
    } else {
        m_timerAuto.stop();
        m_state.AutoStep = 0;
    }
    if (!m_stopAfterTag)
        return;
    m_stopAfterTag = false;
    stop();
    m_p.status.showMessage(QStringLiteral("UID out of range! Auto Write stopped."),
                           Palette::ColorOrangeRed);
}
