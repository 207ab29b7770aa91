#include "replyinterpreter.h"

#include "core/configword.h"
#include "core/palette.h"
#include "core/timing.h"
#include "core/uid.h"
#include "link/readerlink.h"
#include "link/trafficlog.h"
#include "tagops/blockpanel.h"
#include "ui/maskedfield.h"
#include "ui/statusline.h"
#include "uid/autopanel.h"
#include "uid/autowriter.h"
#include "uid/uidoperations.h"
#include "uid/uidpanel.h"

#include <QCheckBox>
#include <QPushButton>
#include <QThread>

using namespace Palette;

namespace {

constexpr int kUidRetryLimit = 5;

bool isBlockValue(const QString &text)
{
    if (text.size() != 8)
        return false;
    for (QChar c : text) {
        if (!(c >= u'0' && c <= u'9') && !(c >= u'A' && c <= u'F') && !(c >= u'a' && c <= u'f'))
            return false;
    }
    return true;
}

bool namesBlockField(int n)
{
    return n >= 0 && n < BlockPanel::kBlocks;
}

} // namespace

ReplyInterpreter::ReplyInterpreter(SessionState &state, ReaderLink &link, ReplyTargets targets,
                                   QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_link(link)
    , m_t(targets)
{
    connect(&m_link, &ReaderLink::replyGathered, this, &ReplyInterpreter::interpret);
}

void ReplyInterpreter::interpret()
{
    const QString head = m_link.takeReplyHead();
    const Reply::Parsed reply = Reply::classify(head);
    switch (reply.kind) {
    case Reply::Kind::Error:
        m_t.log.setInsertionColour(ColorOrangeRed);
        onError(reply.code);
        break;
    case Reply::Kind::Message:
        m_t.log.setInsertionColour(ColorGreen);
        onMessage(reply.code);
        break;
    case Reply::Kind::BlockRead:
        m_t.log.setInsertionColour(ColorBlue);
        onBlockRead(reply);
        break;
    case Reply::Kind::BlockWrite:
        onBlockWrite(head, reply);
        break;
    case Reply::Kind::Identifier:
        m_t.log.setInsertionColour(ColorDeepPink);
        onIdentifier(reply.payload);
        break;
    case Reply::Kind::Other:
        break;
    }
    exitSequence(head);
}

void ReplyInterpreter::exitSequence(const QString &head)
{
    if (!m_state.QuietStart) {
        m_t.log.setInsertionSize(9);
        if (head.size() == Reply::kHeadLength)
            m_t.log.insert(QStringLiteral("Recive: ") + head + QStringLiteral("\r\n"));
        m_t.log.moveToEnd();
    }
    if (m_state.AutoWriteRunning)
        m_t.autoPanel.autoButton()->setFocus();
    m_link.stopReplyTimeout();
    // Activates the window without taking the focus from the field being edited.
    m_t.window.activateWindow();
}

void ReplyInterpreter::onError(int code)
{
    switch (code) {
    case 1:
        m_t.status.showMessage(QStringLiteral("Length of the command is incorrect!"),
                               ColorOrangeRed);
        break;
    case 2:
        m_t.status.showMessage(QStringLiteral("Command is wrong!"), ColorOrangeRed);
        break;
    case 3:
        m_t.status.showMessage(QStringLiteral("No Precent!"), ColorOrangeRed);
        adjustConfigField();
        completionCheck();
        blankFailedRead();
        // The box needs a moment after losing the tag; characters wait in the port.
        QThread::msleep(m_pauseMs);
        break;
    case 4:
        m_t.status.showMessage(QStringLiteral("No is Password!"), ColorOrangeRed);
        blankFailedRead();
        break;
    case 5:
        m_t.status.showMessage(QStringLiteral("Password Error!"), ColorOrangeRed);
        blankFailedRead();
        break;
    case 6:
        m_t.status.showCard(QStringLiteral("The ID is the HEX base!"), ColorDeepPink);
        m_t.status.setCopyVisible(false);
        automaticStartCheck(m_t.autoPanel.withIdBox(), m_state.TagHandled);
        break;
    case 7:
        m_t.status.showMessage(QStringLiteral("Lock error!"), ColorOrangeRed);
        break;
    default:
        break;
    }
}

void ReplyInterpreter::onMessage(int code)
{
    switch (code) {
    case 1:
        if (m_state.SuppressSuccessText)
            m_t.status.setMessageColour(ColorGreen);
        else
            m_t.status.showMessage(QStringLiteral("Command Successfully!"), ColorGreen);
        m_state.SuppressSuccessText = false;
        break;
    case 2:
        m_t.status.showMessage(QStringLiteral("No Precent!"), ColorGreen);
        showTagAbsentLook();
        break;
    case 3:
        m_t.status.showCard(QStringLiteral("Ready - Not Config"), ColorBlue);
        showTagAbsentLook();
        m_t.uid.writeButton()->setFocus();
        automaticStartCheck(m_t.autoPanel.notConfigBox(), m_state.UidWriteConfirmed);
        m_state.UidWriteConfirmed = false;
        break;
    case 4:
        m_t.status.showCard(QStringLiteral("Ready - No UID"), ColorGreen);
        showTagAbsentLook();
        m_t.uid.writeButton()->setFocus();
        automaticStartCheck(m_t.autoPanel.noUidBox(), m_state.TagHandled);
        break;
    case 5:
        m_t.status.showCard(QStringLiteral("Card is out of range."), ColorOrangeRed);
        showTagAbsentLook();
        m_state.TagHandled = false;
        m_state.UidRetryCount = 0;
        m_t.status.clearMessage();
        m_t.blocks.setProtectionButtonsEnabled(false);
        uidRetryOnCardOut();
        break;
    default:
        break;
    }
}

void ReplyInterpreter::showTagAbsentLook()
{
    m_t.status.setCopyVisible(false);
    m_t.uid.setUidColour(ColorDodgerBlue);
}

void ReplyInterpreter::adjustConfigField()
{
    m_t.blocks.setBlock(0, ConfigWord::afterNoPresent(m_t.blocks.block(0),
                                                      m_t.blocks.pwdBox()->isChecked(),
                                                      m_t.blocks.aorBox()->isChecked()));
}

void ReplyInterpreter::blankFailedRead()
{
    if (m_state.LastReadBlock < 1 || m_state.LastReadBlock > 7 || m_state.AutoWriteRunning)
        return;
    m_t.blocks.setBlock(m_state.LastReadBlock, QStringLiteral("00000000"));
    m_state.LastReadBlock = 0;
}

void ReplyInterpreter::automaticStartCheck(const QCheckBox *option, bool blocked)
{
    if (!option->isChecked() || blocked || !m_state.AutoWriteRunning)
        return;
    m_state.AutoStep = 1;
    m_t.autoWriter.startStepTimer();
}

void ReplyInterpreter::onBlockRead(const Reply::Parsed &reply)
{
    // A corrupted reply must not put a wrong value into a field that may be written back.
    if (!namesBlockField(reply.block) || !isBlockValue(reply.payload))
        return;
    m_t.blocks.setBlock(reply.block, reply.payload.toUpper());
    m_t.status.showMessage(QStringLiteral("Read Ok!"), ColorDodgerBlue);
}

void ReplyInterpreter::onBlockWrite(const QString &head, const Reply::Parsed &reply)
{
    const bool unlockConfirmed = head == QLatin1String("W000014804")
                                 || (head == QLatin1String("W000148040") && m_state.UnlockPending);
    if (unlockConfirmed) {
        m_t.blocks.pwdBox()->setChecked(false);
        m_state.UnlockPending = false;
        m_link.SendCommand(QStringLiteral("GTS"));
    }
    m_t.log.setInsertionColour(ColorPurple);
    const QString &value = reply.payload;
    if (m_state.AutoWriteRunning) {
        autoWriteConfirmation(reply);
    } else {
        const int n = reply.block;
        const QString field = namesBlockField(n) ? m_t.blocks.block(n) : QString();
        const bool ok = (namesBlockField(n) && value == field && value != QLatin1String("02468ACF"))
                        || value == QLatin1String("00014804") || value == QLatin1String("00014805");
        if (ok) {
            m_t.status.showMessage(QStringLiteral("Write Ok! "), ColorDeepPink);
            if (n == 7)
                m_t.blocks.setProtectionButtonsEnabled(true);
        } else {
            m_t.status.showMessage(QStringLiteral("Write Error! (no password)"), ColorOrangeRed);
        }
    }
    if (value == QLatin1String("00014805"))
        m_t.blocks.setProtectionButtonsEnabled(false);
}

void ReplyInterpreter::onIdentifier(const QString &uid)
{
    m_t.status.showCard(QStringLiteral("ID: ") + uid, ColorDeepPink);
    m_t.status.setCopyVisible(true);
    m_state.LastUID = uid;
    if (m_state.AutoStep == 3) {
        uidReadBackCheck();
        return;
    }
    m_state.AutoStep = 1;
    if (m_state.AutoWriteRunning)
        m_t.autoWriter.startStepTimer();
}

void ReplyInterpreter::autoWriteConfirmation(const Reply::Parsed &reply)
{
    const int step = m_state.AutoStep;
    if (step == 2 || step == 3) {
        m_state.AutoStep = step + 1;
        m_t.autoWriter.startStepTimer();
        return;
    }
    if (step >= 4 && step <= 10) {
        const bool ok
            = namesBlockField(reply.block) && m_t.blocks.block(reply.block) == reply.payload;
        if (ok)
            m_t.status.showMessage(QStringLiteral("Write Ok! "), ColorDeepPink);
        else
            m_t.status.showMessage(QStringLiteral("Write Error! "), ColorOrangeRed);
        m_state.AutoStep = step + 1;
        m_t.autoWriter.step();
        return;
    }
    if (step == 11) {
        m_state.AutoStep = 12;
        m_t.autoWriter.step();
    }
}

void ReplyInterpreter::completionCheck()
{
    if (m_state.AutoStep == 11)
        m_t.autoWriter.complete(false);
}

void ReplyInterpreter::uidReadBackCheck()
{
    const QString setUid = m_t.autoPanel.setUidField()->text();
    const bool prefixForm = !Uid::isDecimal(setUid) || Uid::leadingNumber(setUid.left(4)) > 0;
    m_t.autoWriter.uidWriteAnswered();
    const QString &read = m_state.LastUID;
    const QString &expected = m_state.ExpectedUID;
    const bool match = read == expected || (prefixForm && read.mid(4, 6) == expected.mid(4, 6));
    if (match) {
        m_state.UidWriteConfirmed = true;
        const qint64 k = Uid::leadingNumber(m_t.autoPanel.incField()->text());
        if (m_t.autoPanel.autoIncBox()->isChecked()
            && !UidOperations::stepField(*m_t.autoPanel.setUidField(), k, m_t.status))
            m_t.autoWriter.stopAfterThisTag();
        m_state.UidRetryCount = 0;
        m_t.log.moveToEnd();
        m_t.log.setInsertionSize(9);
        m_state.AutoStep = 4;
        m_t.autoWriter.startStepTimer();
        return;
    }
    m_state.UidWriteConfirmed = false;
    m_state.AutoStep = 3;
    m_state.TagHandled = false;
    m_t.autoWriter.startStepTimer();
    if (++m_state.UidRetryCount < kUidRetryLimit)
        return;
    m_t.log.setInsertionSize(16);
    m_t.log.setInsertionColour(ColorOrangeRed);
    m_t.log.insert(QStringLiteral("Error - can not Write UID!"));
    m_t.log.insert(QStringLiteral("   ID: ") + read + QStringLiteral("\r\n"));
    m_t.log.moveToEnd();
    m_t.log.setInsertionSize(9);
    m_t.autoWriter.stopStepTimer();
    m_state.AutoStep = 0;
    m_state.TagHandled = true;
    m_state.UidRetryCount = 0;
}

void ReplyInterpreter::uidRetryOnCardOut()
{
    const bool retry = m_state.AutoWriteRunning && m_state.AutoStep == 3
                       && m_state.LastUID == m_state.ExpectedUID && !m_state.UidWriteConfirmed;
    if (retry) {
        m_state.AutoStep = 3;
        m_state.TagHandled = false;
        m_t.autoWriter.startStepTimer();
        m_state.UidRetryCount = 1;
    }
    m_state.UidWriteConfirmed = false;
}
