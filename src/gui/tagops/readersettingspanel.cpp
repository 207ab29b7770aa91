#include "readersettingspanel.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace {

struct ButtonSpec {
    const char *name;
    const char *caption;
    const char *tooltip;
};

constexpr ButtonSpec kButtons[] = {
    {"cm_RUX", "RUX", "Read UID Hex Mode"},
    {"cm_RUD", "RUD", "Read UID Decimal Mode"},
    {"cm_GTS", "GTS", "Get Tag status"},
    {"cm_SBA", "SBA", "Set Buzzer Active when tag re"},
    {"cm_SBD", "SBD", "Set Buzzer De-active when tag read"},
    {"cm_SB1", "SB1", "Set Buzzer for 500ms"},
    {"cm_ARE", "AOR Enable", "AOR Read Mode Enable"},
    {"cm_ARD", "Disable", "AOR Read Mode Disable"},
    {"cm_SM0", "SM0", "Exclusive Mode Disable"},
    {"cm_SM1", "SM1:", "Exclusive Mode Enable"},
};

QLabel *label(const char *name, const char *text, QWidget *parent)
{
    auto *l = new QLabel(QString::fromLatin1(text), parent);
    nameControl(l, QString::fromLatin1(name), QString::fromLatin1(text));
    return l;
}

QLabel *heading(const char *name, const char *text, QWidget *parent)
{
    QLabel *l = label(name, text, parent);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(Palette::ColorDodgerBlue));
    l->setPalette(p);
    return l;
}

QFrame *separator(const char *name, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setObjectName(QString::fromLatin1(name));
    return line;
}

} // namespace

ReaderSettingsPanel::ReaderSettingsPanel(QWidget *parent)
    : QGroupBox(QStringLiteral(" Device Setting "), parent)
    , m_are(new MaskedField(QStringLiteral("XXXXXXXX"), QStringLiteral("00000000"), this))
    , m_sm1(new MaskedField(QStringLiteral("XXXXXXXXXX"), QStringLiteral("0000000000"), this))
{
    nameControl(this, QStringLiteral("Frame2"), QStringLiteral("Device Setting"));
    for (const ButtonSpec &spec : kButtons) {
        auto *b = new QPushButton(QString::fromLatin1(spec.caption), this);
        nameControl(b, QString::fromLatin1(spec.name), QString::fromLatin1(spec.caption));
        b->setToolTip(QString::fromLatin1(spec.tooltip));
    }
    nameControl(m_are, QStringLiteral("tx_ARE"), QStringLiteral("AOR read password"));
    m_are->setToolTip(QStringLiteral("Password: (0-9) , (A-F)"));
    nameControl(m_sm1, QStringLiteral("tx_SM1"), QStringLiteral("Exclusive ID"));
    m_sm1->setToolTip(QStringLiteral("Data value: (0-9) , (A-F)"));

    auto *grid = new QGridLayout(this);
    grid->setVerticalSpacing(3);
    grid->addWidget(button("cm_RUX"), 0, 0);
    grid->addWidget(button("cm_RUD"), 0, 1);
    grid->addWidget(button("cm_GTS"), 0, 2);
    grid->addWidget(button("cm_SBA"), 1, 0);
    grid->addWidget(button("cm_SBD"), 1, 1);
    grid->addWidget(button("cm_SB1"), 1, 2);
    grid->addWidget(heading("Label8", "AOR Read Setting", this), 2, 0, 1, 3);
    grid->addWidget(separator("Line5", this), 3, 0, 1, 3);
    grid->addWidget(label("Label6", "Password :", this), 4, 0);
    grid->addWidget(m_are, 4, 1, 1, 2);
    grid->addWidget(button("cm_ARE"), 5, 0, 1, 2);
    grid->addWidget(button("cm_ARD"), 5, 2);
    grid->addWidget(heading("Label9", "Exclusive Relay Output", this), 6, 0, 1, 3);
    grid->addWidget(separator("Line6", this), 7, 0, 1, 3);
    QLabel *code = label("Label7", "Relay turn-on Code", this);
    QPalette grey = code->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    code->setPalette(grey);
    grid->addWidget(code, 8, 0, 1, 2);
    grid->addWidget(button("cm_SM0"), 8, 2);
    grid->addWidget(button("cm_SM1"), 9, 0);
    grid->addWidget(m_sm1, 9, 1, 1, 2);
}

QPushButton *ReaderSettingsPanel::button(const QString &name) const
{
    return findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
}
