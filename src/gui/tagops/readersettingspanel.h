#pragma once

#include <QGroupBox>

class MaskedField;
class QPushButton;

// The " Device Setting " frame: buttons that set the box's UID report format, buzzer,
// relay mode and AOR read mode, or ask for the tag status.
class ReaderSettingsPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit ReaderSettingsPanel(QWidget *parent = nullptr);

    MaskedField *areField() const { return m_are; }
    MaskedField *sm1Field() const { return m_sm1; }
    QPushButton *button(const QString &name) const;

private:
    MaskedField *m_are;
    MaskedField *m_sm1;
};
