#include "hints.h"

#include "gui/widgets/controlnames.h"

#include <QEvent>
#include <QLabel>
#include <QStatusBar>

Hints::Hints(QStatusBar *bar, QObject *parent)
    : QObject(parent)
    , m_panel(new QLabel(bar))
{
    nameControl(bar, QStringLiteral("Rp1"), QStringLiteral("Hints"));
    m_panel->setObjectName(QStringLiteral("Rp1.panel"));
    bar->addWidget(m_panel, 1);
    m_panel->installEventFilter(this);
}

void Hints::ShowHint(const QString &text)
{
    m_panel->setText(text);
}

QString Hints::current() const
{
    return m_panel->text();
}

void Hints::add(QWidget *widget, const QString &text)
{
    add(widget, [text] { return text; });
}

void Hints::add(QWidget *widget, Text text)
{
    m_texts.insert(widget, std::move(text));
    widget->setMouseTracking(true);
    widget->installEventFilter(this);
    connect(widget, &QObject::destroyed, this, [this, widget] { m_texts.remove(widget); });
}

bool Hints::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_panel && event->type() == QEvent::MouseButtonPress) {
        ShowHint(QStringLiteral(" Clear: Double Click!"));
        return false;
    }
    if (event->type() != QEvent::Enter && event->type() != QEvent::MouseMove)
        return false;
    const auto it = m_texts.constFind(watched);
    if (it != m_texts.constEnd())
        ShowHint((*it)());
    return false;
}
