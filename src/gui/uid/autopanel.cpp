#include "autopanel.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include "core/autoloop.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QCheckBox *option(const QString &caption, const char *name, bool checked, quint32 colour,
                  QWidget *parent)
{
    auto *box = new QCheckBox(caption, parent);
    QString shown = caption;
    nameControl(box, QString::fromLatin1(name),
                shown.replace(QStringLiteral("&&"), QStringLiteral("&")));
    box->setChecked(checked);
    QPalette p = box->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(colour));
    box->setPalette(p);
    return box;
}

QFrame *separator(const char *name, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

AutoPanel::AutoPanel(QWidget *parent)
    : QGroupBox(QStringLiteral(" Automatically "), parent)
{
    nameControl(this, QStringLiteral("Frame4"), QStringLiteral("Automatically"));
    const quint32 blue = Palette::ColorRoyalBlue;
    m_notConfig = option(QStringLiteral("Not configration"), "ch_Not_Config", true, blue, this);
    m_noUid = option(QStringLiteral("Not UID Tag"), "ch_No_UID", true, blue, this);
    m_withId = option(QStringLiteral("With identifier"), "ch_With_ID", true, blue, this);
    m_autoUnlock = option(QStringLiteral("Auto Unlock"), "ch_Auto_Unlock", false, blue, this);
    m_unlockList = new QPushButton(QStringLiteral("List..."), this);
    m_unlockList->setObjectName(QStringLiteral("cm_Unlock_List"));
    m_unlockList->setAccessibleDescription(QStringLiteral("cm_Unlock_List"));
    m_unlockList->setToolTip(QStringLiteral("A password list \"Auto Unlock\" tries on tags the "
                                            "password in block 7 does not open"));
    auto *unlockMenu = new QMenu(m_unlockList);
    m_chooseUnlockList = unlockMenu->addAction(QStringLiteral("Choose Unlock List..."));
    m_dropUnlockList = unlockMenu->addAction(QStringLiteral("Unlock Without a List"));
    m_dropUnlockList->setEnabled(false);
    m_unlockList->setMenu(unlockMenu);
    m_unlockList->setMaximumWidth(m_unlockList->sizeHint().width());
    m_setUid = option(QStringLiteral("Auto Set UID"), "ch_Auto_SteUID", false, blue, this);
    m_stepSetUid = new QPushButton(QStringLiteral("+1"), this);
    nameControl(m_stepSetUid, QStringLiteral("cm_inc_sUID"), QStringLiteral("+1"));
    m_stepSetUid->setMaximumWidth(m_stepSetUid->fontMetrics().horizontalAdvance("+1") + 20);
    m_setUidField
        = new MaskedField(QStringLiteral("XXXX999999"), QStringLiteral("0000000000"), this);
    nameControl(m_setUidField, QStringLiteral("tx_Set_UID"), QStringLiteral("UID to write"));
    m_autoInc = option(QStringLiteral("Auto inc (UID+)"), "ch_Auto_inc", false, blue, this);
    m_autoInc->setEnabled(false);
    m_incField = new MaskedField(QStringLiteral("9999999999"), QStringLiteral("0000000001"), this);
    nameControl(m_incField, QStringLiteral("tx_inc_UID"), QStringLiteral("UID step"));
    m_writeBlocks = option(QStringLiteral("Write Block (B1-B6)"), "ch_WB1", false, blue, this);
    m_writePassword = option(QStringLiteral("Write Password (B7)"), "ch_WB7", false,
                             Palette::ColorOrangeRed, this);
    m_lock = option(QStringLiteral("Lock UID && Block's "), "ch_WB0", false, Palette::ColorMagenta,
                    this);
    m_rewriteRecorded
        = option(QStringLiteral("Rewrite recorded tags"), "ch_Rewrite_Recorded", false, blue, this);
    m_rewriteRecorded->setToolTip(
        QStringLiteral("A tag that already carries a UID of the production record is written "
                       "again instead of being moved on"));
    m_stopAfter = new QSpinBox(this);
    m_stopAfter->setObjectName(QStringLiteral("tx_Stop_After"));
    m_stopAfter->setRange(0, AutoLoop::kMaxStopAfterFailures);
    m_stopAfter->setValue(AutoLoop::Options{}.stopAfterFailures);
    m_stopAfter->setSpecialValueText(QStringLiteral("never"));
    m_stopAfter->setToolTip(QStringLiteral("The loop stops after this many failed or stalled tags "
                                           "in a row: a reel of bad tags or a detuned antenna"));
    m_retries = new QSpinBox(this);
    m_retries->setObjectName(QStringLiteral("tx_Retries"));
    m_retries->setRange(0, AutoLoop::kMaxBlockRetries);
    m_retries->setToolTip(QStringLiteral("A block write that reads back wrong is sent again this "
                                         "many times before the tag fails"));
    m_operator = new QLineEdit(this);
    m_operator->setObjectName(QStringLiteral("tx_Operator"));
    m_operator->setMaxLength(64);
    m_operator->setToolTip(QStringLiteral("Who runs the batches, as the record keeps it; empty: "
                                          "the login"));
    m_auto = new QPushButton(QStringLiteral("Auto Wite"), this);
    nameControl(m_auto, QStringLiteral("cm_auto"), QStringLiteral("Auto Wite"));
    m_auto->setMinimumHeight(48);
    // A run's settings as a file the command line's "produce" runs.
    m_saveJob = new QPushButton(QStringLiteral("Save Job..."), this);
    m_saveJob->setObjectName(QStringLiteral("cm_Save_Job"));
    m_saveJob->setAccessibleDescription(QStringLiteral("cm_Save_Job"));
    m_openJob = new QPushButton(QStringLiteral("Open Job..."), this);
    m_openJob->setObjectName(QStringLiteral("cm_Open_Job"));
    m_openJob->setAccessibleDescription(QStringLiteral("cm_Open_Job"));

    m_listLabel = new QLabel(this);
    m_listLabel->setObjectName(QStringLiteral("lb_Uid_List"));
    m_listLabel->setWordWrap(true);
    m_listLabel->hide();

    auto *column = new QVBoxLayout(this);
    column->setSpacing(3);
    column->addWidget(m_notConfig);
    column->addWidget(m_noUid);
    column->addWidget(m_withId);
    column->addWidget(separator("Line3", this));
    auto *unlockRow = new QHBoxLayout;
    unlockRow->addWidget(m_autoUnlock);
    unlockRow->addWidget(m_unlockList);
    column->addLayout(unlockRow);
    auto *setUidRow = new QHBoxLayout;
    setUidRow->addWidget(m_setUid);
    setUidRow->addWidget(m_stepSetUid);
    column->addLayout(setUidRow);
    column->addWidget(m_setUidField);
    column->addWidget(m_autoInc);
    column->addWidget(m_incField);
    column->addWidget(m_listLabel);
    column->addWidget(separator("Line4", this));
    column->addWidget(m_writeBlocks);
    column->addWidget(m_writePassword);
    column->addWidget(m_lock);
    column->addWidget(m_rewriteRecorded);
    column->addWidget(separator("Line5", this));
    auto *policy = new QFormLayout;
    policy->setContentsMargins(0, 0, 0, 0);
    policy->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    policy->addRow(QStringLiteral("Stop after &failures:"), m_stopAfter);
    policy->addRow(QStringLiteral("Write &retries:"), m_retries);
    policy->addRow(QStringLiteral("O&perator:"), m_operator);
    column->addLayout(policy);
    column->addStretch();
    auto *jobRow = new QHBoxLayout;
    jobRow->addWidget(m_openJob);
    jobRow->addWidget(m_saveJob);
    column->addLayout(jobRow);
    column->addWidget(m_auto);
}

QCheckBox *AutoPanel::box(bool AutoLoop::Options::*flag) const
{
    using O = AutoLoop::Options;
    const std::pair<bool O::*, QCheckBox *> boxes[] = {
        {&O::autoUnlock, m_autoUnlock},
        {&O::setUid, m_setUid},
        {&O::autoInc, m_autoInc},
        {&O::writePassword, m_writePassword},
        {&O::lock, m_lock},
        {&O::notConfig, m_notConfig},
        {&O::noUid, m_noUid},
        {&O::withId, m_withId},
        {&O::rewriteRecorded, m_rewriteRecorded},
    };
    for (const auto &[member, box] : boxes) {
        if (member == flag)
            return box;
    }
    return nullptr;
}
