#pragma once

#include <QList>
#include <QPointer>
#include <QPushButton>

// The window's default button (the one Enter presses; QMainWindow has none of its own)
// and the highlight that marks the button belonging to the field being edited.
class Emphasis {
public:
    void setDefault(QPushButton *button);
    void clearDefault(QPushButton *button);
    QPushButton *defaultButton() const { return m_default; }

    void setHighlight(QPushButton *button, bool on);
    static bool isHighlighted(const QPushButton *button);

    // Default and highlight together, as a focused field gives them to its button.
    void emphasise(QPushButton *button);

    void setClearedByReset(const QList<QPushButton *> &buttons) { m_resetSet = buttons; }
    void ClearButtonHighlights();

private:
    QPointer<QPushButton> m_default;
    QList<QPushButton *> m_resetSet;
};
