#pragma once

#include "station/dialogs.h"

#include <QString>

class QWidget;

// The prompts as modal message boxes over the window.
class MessageBoxDialogs : public Dialogs {
public:
    explicit MessageBoxDialogs(QWidget *parent)
        : m_parent(parent)
    {
    }
    void information(const QString &title, const QString &text) override;
    void warning(const QString &title, const QString &text) override;
    bool question(const QString &title, const QString &text) override;
    bool warningWithChoice(const QString &title, const QString &text,
                           const QString &choice) override;

private:
    QWidget *m_parent;
};
