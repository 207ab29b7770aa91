#include "dialogs.h"

#include <QMessageBox>
#include <QPushButton>

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

bool MessageBoxDialogs::warningWithChoice(const QString &title, const QString &text,
                                          const QString &choice)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, m_parent);
    QPushButton *other = box.addButton(choice, QMessageBox::DestructiveRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() == other;
}
