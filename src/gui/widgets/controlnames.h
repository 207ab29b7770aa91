#pragma once

#include <QString>

class QWidget;

// Gives a control its system name (object name and accessible description, arrays as
// "name(index)"), and a control without visible text a readable accessible name, so tests,
// screen readers and UI automation find every control the same way. A control that shows
// text is named by its text.
void nameControl(QWidget *widget, const QString &name, const QString &accessibleName);
QString indexedName(const char *name, int index);
