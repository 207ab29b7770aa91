#pragma once

#include <QLineEdit>

// A fixed-length entry field: 'X' positions take one hexadecimal digit, '9' positions one
// decimal digit, '_' shows an empty position, and typed letters become upper case.
class MaskedField : public QLineEdit {
    Q_OBJECT
public:
    MaskedField(const QString &mask, const QString &initial, QWidget *parent = nullptr);

    void setTextColour(quint32 bgr);
    quint32 textColour() const { return m_colour; }

signals:
    void focused();

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    quint32 m_colour = 0;
};
