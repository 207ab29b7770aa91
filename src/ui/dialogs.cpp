#include "dialogs.h"

#include <QMessageBox>

void MessageBoxDialogs::information(const QString &title, const QString &text)
{
    QMessageBox::information(m_parent, title, text);
}

void MessageBoxDialogs::warning(const QString &title, const QString &text)
{
    QMessageBox::warning(m_parent, title, text);
}
