#include "controlnames.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QWidget>

// A control that shows text is known by that text, and follows it when it changes: a fixed
// name would have a screen reader say "Connect" while the button reads "Disconnect".
static bool showsText(const QWidget *widget)
{
    if (qobject_cast<const QLabel *>(widget) || qobject_cast<const QGroupBox *>(widget))
        return true;
    const auto *button = qobject_cast<const QAbstractButton *>(widget);
    return button && !button->text().isEmpty();
}

void nameControl(QWidget *widget, const QString &name, const QString &accessibleName)
{
    widget->setObjectName(name);
    widget->setAccessibleDescription(name);
    if (!showsText(widget))
        widget->setAccessibleName(accessibleName);
}

QString indexedName(const char *name, int index)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}
