#include "emphasis.h"

#include <QPalette>

static const char *const kHighlightProperty = "kestrelHighlight";

void Emphasis::setDefault(QPushButton *button)
{
    if (m_default == button)
        return;
    if (m_default)
        m_default->setDefault(false);
    m_default = button;
    if (button)
        button->setDefault(true);
}

void Emphasis::clearDefault(QPushButton *button)
{
    if (m_default != button)
        return;
    button->setDefault(false);
    m_default = nullptr;
}

void Emphasis::setHighlight(QPushButton *button, bool on)
{
    if (!button || isHighlighted(button) == on)
        return;
    button->setProperty(kHighlightProperty, on);
    if (!on) {
        button->setPalette(QPalette());
        return;
    }
    QPalette p = button->palette();
    p.setColor(QPalette::Button, QColor(255, 236, 150));
    button->setPalette(p);
}

bool Emphasis::isHighlighted(const QPushButton *button)
{
    return button && button->property(kHighlightProperty).toBool();
}

void Emphasis::emphasise(QPushButton *button)
{
    setDefault(button);
    setHighlight(button, true);
}

void Emphasis::ClearButtonHighlights()
{
    for (QPushButton *b : m_resetSet)
        setHighlight(b, false);
}
