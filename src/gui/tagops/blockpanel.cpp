#include "blockpanel.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace {

void setTextColour(QWidget *w, quint32 colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(colour));
    p.setColor(QPalette::ButtonText, Palette::toColor(colour));
    w->setPalette(p);
}

QPushButton *button(const QString &caption, const QString &name, const QString &tooltip,
                    QWidget *parent)
{
    auto *b = new QPushButton(caption, parent);
    nameControl(b, name, caption);
    b->setToolTip(tooltip);
    return b;
}

QPushButton *smallButton(QPushButton *b)
{
    b->setMaximumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 16);
    return b;
}

} // namespace

BlockPanel::BlockPanel(QWidget *parent)
    : QGroupBox(QStringLiteral("T5557 RFID Tag info "), parent)
{
    nameControl(this, QStringLiteral("Frame5"), QStringLiteral("T5557 RFID Tag info"));

    auto *config = new QLabel(QStringLiteral("Configuration :"), this);
    nameControl(config, QStringLiteral("Label4"), QStringLiteral("Configuration :"));
    setTextColour(config, Palette::ColorBlue);
    m_pwd = new QCheckBox(QStringLiteral("Lock Re-Write Blocks"), this);
    nameControl(m_pwd, QStringLiteral("PWD"), m_pwd->text());
    setTextColour(m_pwd, Palette::ColorBlue);
    m_aor = new QCheckBox(QStringLiteral("Lock UID (AOR)"), this);
    nameControl(m_aor, QStringLiteral("AOR"), m_aor->text());
    setTextColour(m_aor, Palette::ColorMagenta);
    m_aor->setEnabled(false);
    m_aor->setVisible(false);
    m_reset = button(QStringLiteral("Reset B0"), QStringLiteral("cm_reset"),
                     QStringLiteral("Set Default Confiruration"), this);
    m_default = button(QStringLiteral("Standard"), QStringLiteral("cm_default"),
                       QStringLiteral("Set Standard Confiruration"), this);

    auto *grid = new QGridLayout(this);
    grid->setVerticalSpacing(2);
    auto *head = new QHBoxLayout;
    head->addWidget(config);
    head->addWidget(m_pwd);
    head->addWidget(m_aor);
    head->addStretch();
    head->addWidget(m_reset);
    head->addWidget(m_default);
    grid->addLayout(head, 0, 0, 1, 5);
    auto *line = new QFrame(this);
    line->setObjectName(QStringLiteral("Line1"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    grid->addWidget(line, 1, 0, 1, 5);

    for (int n = 0; n < kBlocks; ++n) {
        const QString initial = n == 0 ? QStringLiteral("00148040") : QStringLiteral("00000000");
        m_fields[n] = new MaskedField(QStringLiteral("XXXXXXXX"), initial, this);
        nameControl(m_fields[n], indexedName("tx_Block", n),
                    n == 7 ? QStringLiteral("Password Block 7")
                           : QStringLiteral("Block Data %1").arg(n));
        m_fields[n]->setToolTip(QStringLiteral("Data value: (0-9) , (A-F)"));
        m_read[n] = button(QStringLiteral("Read"), indexedName("cm_Read", n), QString(), this);
        m_write[n] = button(QStringLiteral("Write"), indexedName("cm_Write", n), QString(), this);
        if (n < kBlocks - 1) {
            m_options[n] = new QCheckBox(this);
            nameControl(m_options[n], indexedName("CB", n),
                        QStringLiteral("Auto-write block %1").arg(n));
            m_options[n]->setEnabled(false);
        }
    }
    m_write[0]->setText(QStringLiteral("Write Config"));
    m_write[0]->setToolTip(QStringLiteral("Write Configuration Block"));
    m_read[7]->setToolTip(QStringLiteral("Read password Block"));
    m_write[7]->setToolTip(QStringLiteral("Write Password Block"));

    for (int n = 0; n < kBlocks - 1; ++n) {
        QLabel *label = new QLabel(n == 0 ? QStringLiteral("Config Block 0")
                                          : QStringLiteral("Block Data %1 :").arg(n),
                                   this);
        nameControl(label, indexedName("Label5", n), label->text());
        setTextColour(label, n == 0 ? Palette::ColorBlue : Palette::ColorDarkGrey);
        const int row = n + 2;
        grid->addWidget(label, row, 0);
        grid->addWidget(m_fields[n], row, 1);
        grid->addWidget(m_options[n], row, 2);
        grid->addWidget(m_read[n], row, 3);
        grid->addWidget(m_write[n], row, 4);
    }

    m_lpass = new QLabel(this);
    nameControl(m_lpass, QStringLiteral("Lpass"), QStringLiteral("Password block label"));
    setPasswordPresentation(false);
    m_hide = button(QStringLiteral("Lock"), QStringLiteral("cm_hide"),
                    QStringLiteral("Lock Read and Write Blocks"), this);
    m_lock = button(QStringLiteral("Hide"), QStringLiteral("cm_Lock"),
                    QStringLiteral("Lock & Hide UID Code"), this);
    m_unlock = button(QStringLiteral("Unlock"), QStringLiteral("cm_Unlock"),
                      QStringLiteral("UnLock With valid Password"), this);
    m_hide->setEnabled(false);
    m_lock->setEnabled(false);
    auto *last = new QHBoxLayout;
    last->addWidget(m_fields[7], 1);
    last->addWidget(smallButton(m_read[7]));
    last->addWidget(smallButton(m_write[7]));
    last->addWidget(smallButton(m_hide));
    last->addWidget(smallButton(m_lock));
    last->addWidget(m_unlock);
    grid->addWidget(m_lpass, kBlocks + 1, 0);
    grid->addLayout(last, kBlocks + 1, 1, 1, 4);
}

QString BlockPanel::block(int n) const
{
    return (n >= 0 && n < kBlocks) ? m_fields[n]->text() : QString();
}

void BlockPanel::setBlock(int n, const QString &text)
{
    if (n >= 0 && n < kBlocks)
        m_fields[n]->setText(text);
}

void BlockPanel::setProtectionButtonsEnabled(bool enabled)
{
    m_hide->setEnabled(enabled);
    m_lock->setEnabled(enabled);
}

void BlockPanel::setPasswordPresentation(bool emphasised)
{
    m_passwordEmphasised = emphasised;
    QFont font = m_lpass->font();
    if (emphasised) {
        m_lpass->setContentsMargins(0, 0, 0, 4);
        setTextColour(m_lpass, Palette::ColorOrangeRed);
        m_lpass->setText(QStringLiteral("Password:"));
        font.setPointSize(13);
    } else {
        m_lpass->setText(QStringLiteral("B7- Password :"));
        setTextColour(m_lpass, Palette::ColorRed);
        m_lpass->setContentsMargins(4, 4, 0, 0);
        font.setPointSize(8);
    }
    m_lpass->setFont(font);
    m_fields[7]->setTextColour(emphasised ? Palette::ColorOrangeRed : Palette::ColorSteel);
}
