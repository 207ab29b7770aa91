#include "controlnames.h"

#include <QWidget>

void nameControl(QWidget *widget, const QString &name, const QString &accessibleName)
{
    widget->setObjectName(name);
    widget->setAccessibleDescription(name);
    widget->setAccessibleName(accessibleName);
}

QString indexedName(const char *name, int index)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}
