#pragma once

#include <QString>

class QWidget;

// Modal message boxes go through here so tests can record them instead of blocking.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void information(const QString &title, const QString &text) = 0;
    virtual void warning(const QString &title, const QString &text) = 0;
    // Yes or No; No is the safe answer and the default.
    virtual bool question(const QString &title, const QString &text) = 0;
    // A warning with one more way out than OK; true when that button was chosen. OK is the
    // default.
    virtual bool warningWithChoice(const QString &title, const QString &text, const QString &choice)
        = 0;
};

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
