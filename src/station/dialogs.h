#pragma once

#include <QString>

// The questions and warnings a front end must answer or show: message boxes in the window,
// the terminal for a command, a recording fake in tests.
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
