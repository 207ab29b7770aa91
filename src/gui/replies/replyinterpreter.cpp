#include "replyinterpreter.h"

#include "core/configword.h"
#include "core/trafficformat.h"
#include "gui/link/trafficlog.h"
#include "gui/tagops/blockpanel.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "station/link/readerlink.h"
#include "station/session/session.h"

#include <QCheckBox>
#include <QPushButton>

using namespace Palette;

namespace {

bool namesBlockField(int n)
{
    return n >= 0 && n < BlockPanel::kBlocks;
}

} // namespace

ReplyInterpreter::ReplyInterpreter(Session &session, ReplyTargets targets, QObject *parent)
    : QObject(parent)
    , m_state(session.state())
    , m_link(session.link())
    , m_loop(session.loop())
    , m_t(targets)
{
    connect(&session, &Session::arrived, this, &ReplyInterpreter::interpret);
    connect(&session, &Session::replied, this, &ReplyInterpreter::exitSequence);
}

void ReplyInterpreter::interpret(const QString &head, const Reply::Parsed &reply)
{
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
}

void ReplyInterpreter::exitSequence(const QString &head)
{
    if (!m_state.QuietStart) {
        m_t.log.setInsertionSize(9);
        if (head.size() == Reply::kHeadLength)
            // Block 7 is the password: it never shows, as in a capture.
            m_t.log.insert(QStringLiteral("Recive: ")
                           + QString::fromLatin1(TrafficFormat::masked(head.toLatin1(), false))
                           + QStringLiteral("\r\n"));
        m_t.log.moveToEnd();
    }
    if (running())
        m_t.autoPanel.autoButton()->setFocus();
    // Keeps the keyboard in the window without raising it over what the operator works in.
    if (m_t.window.isActiveWindow())
        m_t.window.activateWindow();
}

bool ReplyInterpreter::running() const
{
    return m_loop.engine().AutoWriteRunning();
}

void ReplyInterpreter::onError(int code)
{
    const QString text = Reply::errorText(code);
    if (!text.isEmpty())
        m_t.status.showMessage(text, ColorOrangeRed);
    switch (code) {
    case Reply::kNoTag:
        adjustConfigField();
        blankFailedRead();
        break;
    case Reply::kNoPassword:
    case Reply::kPasswordWrong:
        blankFailedRead();
        break;
    case Reply::kHexBaseId:
        m_t.status.showCard(QStringLiteral("The ID is the HEX base!"), ColorDeepPink);
        m_t.status.setCopyVisible(false);
        break;
    default:
        break;
    }
}

void ReplyInterpreter::onMessage(int code)
{
    switch (code) {
    case Reply::kSuccess:
        if (m_loop.engine().showsFailure())
            break;
        if (m_loop.engine().SuppressSuccessText())
            m_t.status.setMessageColour(ColorGreen);
        else
            m_t.status.showMessage(QStringLiteral("Command Successfully!"), ColorGreen);
        break;
    case Reply::kNotPresent:
        m_t.status.showMessage(QStringLiteral("No Precent!"), ColorGreen);
        showTagAbsentLook();
        break;
    case Reply::kNotConfigured:
        m_t.status.showCard(QStringLiteral("Ready - Not Config"), ColorBlue);
        showTagAbsentLook();
        m_t.uid.writeButton()->setFocus();
        break;
    case Reply::kNoUid:
        m_t.status.showCard(QStringLiteral("Ready - No UID"), ColorGreen);
        showTagAbsentLook();
        m_t.uid.writeButton()->setFocus();
        break;
    case Reply::kOutOfRange:
        m_t.status.showCard(StatusLine::Card::OutOfRange, ColorOrangeRed);
        showTagAbsentLook();
        m_t.status.clearMessage();
        m_t.blocks.setProtectionButtonsEnabled(false);
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
    if (m_state.LastReadBlock < 1 || m_state.LastReadBlock > 7 || running())
        return;
    m_t.blocks.setBlock(m_state.LastReadBlock, QStringLiteral("00000000"));
    m_state.LastReadBlock = 0;
}

void ReplyInterpreter::onBlockRead(const Reply::Parsed &reply)
{
    // A corrupted reply must not put a wrong value into a field that may be written back, and
    // the loop's own read-back of a tag is no value for the next one.
    if (!namesBlockField(reply.block) || !Reply::isBlockValue(reply.payload)
        || m_loop.engine().readingBack())
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
    // While the loop runs, its engine confirms the write against what it sent.
    if (!running()) {
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
}
