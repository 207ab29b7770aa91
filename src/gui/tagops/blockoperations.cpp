#include "blockoperations.h"

#include "blockpanel.h"
#include "core/commands.h"
#include "gui/widgets/maskedfield.h"
#include "protection.h"
#include "station/link/readerlink.h"

#include <QCheckBox>
#include <QPushButton>

BlockOperations::BlockOperations(BlockPanel &blocks, Protection &protection, ReaderLink &link,
                                 SessionState &state, MaskedField &aorPassword, QObject *parent)
    : QObject(parent)
    , m_blocks(blocks)
    , m_protection(protection)
    , m_link(link)
    , m_state(state)
{
    for (int n = 0; n < BlockPanel::kBlocks; ++n) {
        connect(m_blocks.readButton(n), &QPushButton::clicked, this, [this, n] { read(n); });
        connect(m_blocks.writeButton(n), &QPushButton::clicked, this, [this, n] { write(n); });
        // The AOR read password follows the tag password, whichever block field changed.
        connect(m_blocks.field(n), &MaskedField::textChanged, &aorPassword,
                [this, &aorPassword] { aorPassword.setText(m_blocks.block(7)); });
    }
}

void BlockOperations::read(int n)
{
    m_state.LastReadBlock = n;
    const QString digit = QString::number(n);
    if (m_blocks.pwdBox()->isChecked())
        m_link.SendCommand(QStringLiteral("RP") + digit + m_blocks.block(7));
    else
        m_link.SendCommand(QStringLiteral("RB") + digit);
}

void BlockOperations::write(int n)
{
    // Without a port the write goes nowhere, and says so, as every command does.
    if ((n == 1 || n == 2) && m_idGuard && m_state.PortConnected)
        m_idGuard(n);
    else
        send(n);
}

void BlockOperations::send(int n)
{
    if (!m_blocks.pwdBox()->isChecked()) {
        m_link.SendCommand(Commands::writeBlock(n, m_blocks.block(n)));
        return;
    }
    m_protection.aorRule();
    m_link.SendCommand(Commands::writeBlock(n, m_blocks.block(n), m_blocks.block(7)));
}
