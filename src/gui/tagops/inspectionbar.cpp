#include "inspectionbar.h"

#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QLabel>
#include <QToolButton>

static QToolButton *button(const QString &text, const QString &name, const QString &tip,
                           QWidget *parent)
{
    auto *b = new QToolButton(parent);
    b->setText(text);
    b->setObjectName(name);
    b->setAccessibleDescription(name);
    b->setToolTip(tip);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return b;
}

static QLabel *info(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setAccessibleDescription(name);
    label->setTextFormat(Qt::PlainText);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(Palette::ColorDodgerBlue));
    label->setPalette(p);
    return label;
}

InspectionBar::InspectionBar(QWidget *parent)
    : QToolBar(QStringLiteral("Tag inspection"), parent)
    , m_readAll(button(QStringLiteral("Read All"), QStringLiteral("cm_Read_All"),
                       QStringLiteral("Read blocks 0 to 7 one after another"), this))
    , m_save(button(QStringLiteral("Save Tag..."), QStringLiteral("cm_Dump"),
                    QStringLiteral("Save the blocks read from this tag to a file"), this))
    , m_restore(button(QStringLiteral("Restore Tag..."), QStringLiteral("cm_Restore"),
                       QStringLiteral("Write a saved tag to the tag in the field"), this))
    , m_compare(button(QStringLiteral("Compare with File..."), QStringLiteral("cm_Compare"),
                       QStringLiteral("Compare the tag in the field with a saved tag, block by "
                                      "block"),
                       this))
    , m_findPassword(button(QStringLiteral("Find Password..."), QStringLiteral("cm_Find_Password"),
                            QStringLiteral("Try the well-known passwords, then a list, on the "
                                           "protected tag in the field"),
                            this))
    , m_wipe(button(QStringLiteral("Wipe Tag..."), QStringLiteral("cm_Wipe"),
                    QStringLiteral("Put the tag in the field back to the blank state: blocks 1-7 "
                                   "zero, then block 0"),
                    this))
    , m_decode(new QToolBar(QStringLiteral("Tag decode"), parent))
    , m_config(info(QStringLiteral("lb_Config_Info"), m_decode))
    , m_id(info(QStringLiteral("lb_EM_Info"), m_decode))
    , m_result(info(QStringLiteral("lb_Inspect_Result"), this))
{
    setObjectName(QStringLiteral("tb_Inspection"));
    // On the status bar: cut at its edge rather than widening the window.
    m_result->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // The tool bar sizes its items once; the texts change with every read.
    const QFontMetrics metrics(m_config->font());
    m_config->setMinimumWidth(metrics.horizontalAdvance(
        QStringLiteral("B0: RF/128, Manchester, MaxBlock 7, PWD off, AOR off, ST off")));
    m_id->setMinimumWidth(
        metrics.horizontalAdvance(QStringLiteral("B1-B2: EM4100 ID 1122334455 (0573785173)")));
    setMovable(false);
    setFloatable(false);
    addWidget(m_readAll);
    addWidget(m_save);
    addWidget(m_restore);
    addWidget(m_compare);
    addWidget(m_findPassword);
    addWidget(m_wipe);
    m_decode->setObjectName(QStringLiteral("tb_Decode"));
    m_decode->setMovable(false);
    m_decode->setFloatable(false);
    m_decode->addWidget(m_config);
    m_decode->addSeparator();
    m_decode->addWidget(m_id);
}

void InspectionBar::showResult(const QString &text, quint32 colour)
{
    QPalette p = m_result->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(colour));
    m_result->setPalette(p);
    m_result->setText(text);
    m_result->setToolTip(text);
}
