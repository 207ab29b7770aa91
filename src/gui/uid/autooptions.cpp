#include "autooptions.h"

#include "autopanel.h"
#include "gui/tagops/blockpanel.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/maskedfield.h"

#include <QCheckBox>
#include <QPushButton>

AutoOptions::AutoOptions(AutoPanel &panel, BlockPanel &blocks, Emphasis &emphasis, QObject *parent)
    : QObject(parent)
    , m_panel(panel)
    , m_blocks(blocks)
    , m_emphasis(emphasis)
{
    connect(m_panel.setUidBox(), &QCheckBox::toggled, this, &AutoOptions::onSetUid);
    connect(m_panel.autoIncBox(), &QCheckBox::toggled, this, &AutoOptions::onAutoInc);
    connect(m_panel.autoUnlockBox(), &QCheckBox::toggled, this, &AutoOptions::onAutoUnlock);
    connect(m_panel.writeBlocksBox(), &QCheckBox::toggled, this, &AutoOptions::onWriteBlocks);
    connect(m_panel.writePasswordBox(), &QCheckBox::toggled, this, &AutoOptions::onWritePassword);
    connect(m_panel.lockBox(), &QCheckBox::toggled, this, [this] { focusAutoButton(true); });
}

void AutoOptions::focusAutoButton(bool makeDefault)
{
    m_panel.autoButton()->setFocus();
    if (makeDefault)
        m_emphasis.setDefault(m_panel.autoButton());
}

void AutoOptions::onSetUid(bool checked)
{
    m_panel.setUidField()->setEnabled(checked);
    m_panel.autoIncBox()->setEnabled(checked);
    // Every change of "Auto Set UID" switches stepping off; it has to be chosen again.
    m_panel.autoIncBox()->setChecked(false);
    m_panel.incField()->setEnabled(false);
    focusAutoButton(false);
}

void AutoOptions::onAutoInc(bool checked)
{
    m_panel.incField()->setEnabled(checked);
    if (checked)
        focusAutoButton(false);
}

void AutoOptions::onAutoUnlock(bool checked)
{
    for (QCheckBox *box : {m_panel.setUidBox(), m_panel.writeBlocksBox(),
                           m_panel.writePasswordBox(), m_panel.lockBox()})
        box->setEnabled(!checked);
    focusAutoButton(false);
    m_blocks.setPasswordPresentation(checked);
}

void AutoOptions::onWriteBlocks(bool checked)
{
    for (int n = 1; n <= 6; ++n) {
        m_blocks.blockOption(n)->setEnabled(checked);
        m_blocks.blockOption(n)->setChecked(checked);
    }
    // Blocks 1 and 2 hold the ID frame: preselecting them would overwrite the UID.
    m_blocks.blockOption(1)->setChecked(false);
    m_blocks.blockOption(2)->setChecked(false);
    focusAutoButton(false);
}

void AutoOptions::onWritePassword(bool checked)
{
    m_blocks.setPasswordPresentation(checked);
    if (!checked) {
        focusAutoButton(true);
        return;
    }
    m_blocks.field(7)->setFocus();
    m_blocks.field(7)->setCursorPosition(0);
}
