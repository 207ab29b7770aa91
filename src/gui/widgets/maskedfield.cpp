#include "maskedfield.h"

#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QFocusEvent>

static QString qtMask(const QString &mask)
{
    QString out = QStringLiteral(">");
    for (QChar c : mask)
        out += (c == u'X') ? u'H' : u'9';
    return out + QStringLiteral(";_");
}

MaskedField::MaskedField(const QString &mask, const QString &initial, QWidget *parent)
    : QLineEdit(parent)
{
    setInputMask(qtMask(mask));
    setText(initial);
    QFont f = font();
    f.setPointSize(9);
    setFont(f);
    setMinimumWidth(fontMetrics().horizontalAdvance(QString(mask.size() + 2, u'W')));
}

void MaskedField::setTextColour(quint32 bgr)
{
    m_colour = bgr;
    QPalette p = palette();
    p.setColor(QPalette::Text, Palette::toColor(bgr));
    setPalette(p);
}

void MaskedField::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    emit focused();
}
