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

bool MessageBoxDialogs::question(const QString &title, const QString &text)
{
    return QMessageBox::question(m_parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No)
           == QMessageBox::Yes;
}
