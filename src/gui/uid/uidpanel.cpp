#include "uidpanel.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/maskedfield.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

UidPanel::UidPanel(QWidget *parent)
    : QGroupBox(QStringLiteral(" UID Setting "), parent)
    , m_hex(new QRadioButton(QStringLiteral("HEX"), this))
    , m_dec(new QRadioButton(QStringLiteral("DEC"), this))
    , m_uid(new MaskedField(QStringLiteral("XXXXXXXXXX"), QStringLiteral("0000000000"), this))
    , m_inc(new QPushButton(QStringLiteral("+1"), this))
    , m_write(new QPushButton(QStringLiteral("Write"), this))
{
    nameControl(this, QStringLiteral("Frame3"), QStringLiteral("UID Setting"));
    auto *label = new QLabel(QStringLiteral("Set UID"), this);
    nameControl(label, QStringLiteral("Label2"), QStringLiteral("Set UID"));
    nameControl(m_hex, QStringLiteral("op_HEX"), QStringLiteral("HEX"));
    nameControl(m_dec, QStringLiteral("op_DEC"), QStringLiteral("DEC"));
    nameControl(m_uid, QStringLiteral("tx_UID"), QStringLiteral("UID"));
    nameControl(m_inc, QStringLiteral("cm_inc_UID"), QStringLiteral("+1"));
    nameControl(m_write, QStringLiteral("cm_Write_UID"), QStringLiteral("Write"));
    m_hex->setChecked(true);
    m_uid->setToolTip(QStringLiteral("Data value: (0-9) , (A-F)"));
    m_inc->setCheckable(true);
    m_inc->setToolTip(QStringLiteral("Auto increment"));
    m_inc->setMaximumWidth(m_inc->fontMetrics().horizontalAdvance(QStringLiteral("+1")) + 24);
    m_write->setToolTip(QStringLiteral("Write UID"));

    auto *row = new QHBoxLayout(this);
    row->addWidget(label);
    row->addWidget(m_hex);
    row->addWidget(m_dec);
    row->addWidget(m_uid, 1);
    row->addWidget(m_inc);
    row->addWidget(m_write);
}

void UidPanel::setUidColour(quint32 colour)
{
    m_uid->setTextColour(colour);
}
