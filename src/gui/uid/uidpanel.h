#pragma once

#include <QGroupBox>

class MaskedField;
class QPushButton;
class QRadioButton;

// The " UID Setting " frame: the number base of UIDs, the UID field and the manual
// UID write.
class UidPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit UidPanel(QWidget *parent = nullptr);

    MaskedField *uidField() const { return m_uid; }
    QRadioButton *hexButton() const { return m_hex; }
    QRadioButton *decButton() const { return m_dec; }
    QPushButton *incrementToggle() const { return m_inc; }
    QPushButton *writeButton() const { return m_write; }

    void setUidColour(quint32 colour);

private:
    QRadioButton *m_hex;
    QRadioButton *m_dec;
    MaskedField *m_uid;
    QPushButton *m_inc;
    QPushButton *m_write;
};
