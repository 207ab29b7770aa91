#include "statusline.h"

#include "controlnames.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QAccessible>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

static void colourLabel(QLabel *label, quint32 colour)
{
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(colour));
    label->setPalette(p);
}

// Assistive technology learns of a new result or card state as a name change of the label.
static void setAnnounced(QLabel *label, const QString &text)
{
    if (label->text() == text)
        return;
    label->setText(text);
    QAccessibleEvent event(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

static QLabel *statusLabel(const QString &text, quint32 colour, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    QFont f(QStringLiteral("Arial"), 12);
    f.setBold(true);
    label->setFont(f);
    colourLabel(label, colour);
    return label;
}

static QString cardCaption(StatusLine::Card state)
{
    switch (state) {
    case StatusLine::Card::Searching:
        return QStringLiteral("Searching...");
    case StatusLine::Card::OutOfRange:
        return QStringLiteral("Card is out of range.");
    case StatusLine::Card::NoCard:
    case StatusLine::Card::Reported:
        break;
    }
    return QStringLiteral("No is card.");
}

StatusLine::StatusLine(QWidget *parent)
    : QWidget(parent)
    , m_messageColour(Palette::ColorOrangeRed)
    , m_cardColour(Palette::ColorOrangeRed)
{
    auto *title = statusLabel(QStringLiteral("Tag Statuse:"), Palette::ColorDodgerBlue, this);
    nameControl(title, QStringLiteral("Label3"), QStringLiteral("Tag Statuse:"));
    m_card = statusLabel(cardCaption(Card::NoCard), m_cardColour, this);
    nameControl(m_card, QStringLiteral("Lc"), QStringLiteral("Card status"));
    m_copy = new QPushButton(QStringLiteral("Copy UID"), this);
    nameControl(m_copy, QStringLiteral("cm_Copy"), QStringLiteral("Copy UID"));
    m_copy->setVisible(false);
    m_message = statusLabel(QString(), m_messageColour, this);
    nameControl(m_message, QStringLiteral("Lp"), QStringLiteral("Command result"));
    // A long result (a compare's differences) is cut at the window's edge, never widening it;
    // the tool tip holds all of it.
    m_message->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(title);
    row->addWidget(m_card);
    row->addWidget(m_copy);
    row->addSpacing(12);
    row->addWidget(m_message, 1);
}

void StatusLine::showMessage(const QString &text, quint32 colour)
{
    setMessageColour(colour);
    setAnnounced(m_message, text);
    m_message->setToolTip(text);
    emit messageShown(text);
}

void StatusLine::setMessageColour(quint32 colour)
{
    m_messageColour = colour;
    colourLabel(m_message, colour);
}

void StatusLine::clearMessage()
{
    setAnnounced(m_message, QString());
    m_message->setToolTip(QString());
}

QString StatusLine::message() const
{
    return m_message->text();
}

void StatusLine::showCard(const QString &text, quint32 colour)
{
    m_cardColour = colour;
    colourLabel(m_card, colour);
    m_cardState = Card::Reported;
    setAnnounced(m_card, text);
}

void StatusLine::showCard(Card state)
{
    m_cardState = state;
    setAnnounced(m_card, cardCaption(state));
}

void StatusLine::showCard(Card state, quint32 colour)
{
    m_cardColour = colour;
    colourLabel(m_card, colour);
    showCard(state);
}

QString StatusLine::card() const
{
    return m_card->text();
}

void StatusLine::setCopyVisible(bool visible)
{
    m_copy->setVisible(visible);
}
