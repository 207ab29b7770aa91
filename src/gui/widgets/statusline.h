#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The tag status row: the card label Lc (presence and state of the tag), the message
// label Lp (result of the last command) and the Copy UID button.
class StatusLine : public QWidget {
    Q_OBJECT
public:
    explicit StatusLine(QWidget *parent = nullptr);

    void showMessage(const QString &text, quint32 colour);
    void setMessageColour(quint32 colour);
    void clearMessage();
    QString message() const;
    quint32 messageColour() const { return m_messageColour; }

    // What the card label shows: one of its own states, or a text the box reported.
    enum class Card { NoCard, Searching, OutOfRange, Reported };
    void showCard(const QString &text, quint32 colour);
    // A state with its fixed caption; the label keeps its colour unless one is given.
    void showCard(Card state);
    void showCard(Card state, quint32 colour);
    Card cardState() const { return m_cardState; }
    QString card() const;
    quint32 cardColour() const { return m_cardColour; }

    void setCopyVisible(bool visible);
    QPushButton *copyButton() const { return m_copy; }

signals:
    // A new text went onto the message label.
    void messageShown(const QString &text);

private:
    QLabel *m_card;
    QLabel *m_message;
    QPushButton *m_copy;
    quint32 m_messageColour;
    quint32 m_cardColour;
    Card m_cardState = Card::NoCard;
};
