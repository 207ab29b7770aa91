#include "protection.h"

#include "blockpanel.h"
#include "core/configword.h"
#include "gui/widgets/emphasis.h"
#include "station/link/readerlink.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

Protection::Protection(BlockPanel &blocks, ReaderLink &link, SessionState &state,
                       Emphasis &emphasis, QObject *parent)
    : QObject(parent)
    , m_blocks(blocks)
    , m_link(link)
    , m_state(state)
    , m_emphasis(emphasis)
{
    // toggled fires for the operator's clicks and for the program's real changes alike,
    // and not when a box is set to the state it already has.
    connect(m_blocks.pwdBox(), &QCheckBox::toggled, this, &Protection::pwdRule);
    connect(m_blocks.aorBox(), &QCheckBox::toggled, this, &Protection::aorRule);
    connect(m_blocks.hideButton(), &QPushButton::clicked, this,
            [this] { m_link.SendCommand(QStringLiteral("WB0") + ConfigWord::kWithPwd); });
    connect(m_blocks.lockButton(), &QPushButton::clicked, this,
            [this] { m_link.SendCommand(QStringLiteral("WB0") + ConfigWord::kWithPwdAor); });
    connect(m_blocks.unlockButton(), &QPushButton::clicked, this, &Protection::unlock);
    connect(m_blocks.resetButton(), &QPushButton::clicked, this, &Protection::reset);
    connect(m_blocks.standardButton(), &QPushButton::clicked, this, &Protection::standard);
}

void Protection::emphasiseConfigWrite(bool focus)
{
    QPushButton *write = m_blocks.writeButton(0);
    m_emphasis.emphasise(write);
    if (focus)
        write->setFocus();
}

void Protection::pwdRule()
{
    const bool pwd = m_blocks.pwdBox()->isChecked();
    m_blocks.passwordLabel()->hide();
    m_blocks.setPasswordPresentation(pwd);
    m_blocks.setBlock(0, ConfigWord::withPwd(m_blocks.block(0), pwd));
    if (!pwd)
        m_blocks.aorBox()->setChecked(false);
    m_blocks.writeButton(0)->setText(pwd ? QStringLiteral("Write Lock")
                                         : QStringLiteral("Write Config"));
    m_blocks.passwordLabel()->show();
    // AOR is offered only while PWD is set; hidden otherwise so it never looks usable.
    m_blocks.aorBox()->setEnabled(pwd);
    m_blocks.aorBox()->setVisible(pwd);
    emphasiseConfigWrite(true);
}

void Protection::aorRule()
{
    m_blocks.setBlock(0, ConfigWord::withAor(m_blocks.block(0), m_blocks.aorBox()->isChecked()));
    emphasiseConfigWrite(true);
}

void Protection::unlock()
{
    m_blocks.setBlock(0, ConfigWord::unlocked(m_blocks.block(0)));
    m_state.UnlockPending = true;
    m_link.SendCommand(QStringLiteral("WP0") + m_blocks.block(7) + m_blocks.block(0));
}

void Protection::reset()
{
    m_blocks.pwdBox()->setChecked(false);
    m_blocks.setBlock(0, ConfigWord::kDefault);
    m_link.SendCommand(QStringLiteral("WB0") + m_blocks.block(0));
    emphasiseConfigWrite(true);
}

void Protection::standard()
{
    m_blocks.pwdBox()->setChecked(false);
    m_blocks.setBlock(0, ConfigWord::kStandard);
    m_link.SendCommand(QStringLiteral("WB0") + m_blocks.block(0));
    emphasiseConfigWrite(false);
    m_link.SendCommand(QStringLiteral("GTS"));
    m_blocks.writeButton(0)->setFocus();
}
