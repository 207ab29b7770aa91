#pragma once

#include <QGroupBox>

class MaskedField;
class QCheckBox;
class QLabel;
class QPushButton;

// The "T5557 RFID Tag info " frame: the eight blocks of a tag with their Read and Write
// buttons, the protection check boxes and the configuration buttons. Its fields are the
// tag's data model for the rest of the tool.
class BlockPanel : public QGroupBox {
    Q_OBJECT
public:
    static constexpr int kBlocks = 8;

    explicit BlockPanel(QWidget *parent = nullptr);

    QString block(int n) const;
    void setBlock(int n, const QString &text);

    MaskedField *field(int n) const { return m_fields[n]; }
    QPushButton *readButton(int n) const { return m_read[n]; }
    QPushButton *writeButton(int n) const { return m_write[n]; }
    // The auto-write option box beside block n (0..6).
    QCheckBox *blockOption(int n) const { return m_options[n]; }

    QCheckBox *pwdBox() const { return m_pwd; }
    QCheckBox *aorBox() const { return m_aor; }
    QLabel *passwordLabel() const { return m_lpass; }
    QPushButton *hideButton() const { return m_hide; }
    QPushButton *lockButton() const { return m_lock; }
    QPushButton *unlockButton() const { return m_unlock; }
    QPushButton *resetButton() const { return m_reset; }
    QPushButton *standardButton() const { return m_default; }

    // cm_Lock and cm_hide are usable only after a password was written to block 7.
    void setProtectionButtonsEnabled(bool enabled);

    // The password label and block 7 field: emphasised (the password matters now) or plain.
    void setPasswordPresentation(bool emphasised);
    bool passwordEmphasised() const { return m_passwordEmphasised; }

private:
    MaskedField *m_fields[kBlocks];
    QPushButton *m_read[kBlocks];
    QPushButton *m_write[kBlocks];
    QCheckBox *m_options[kBlocks - 1];
    QCheckBox *m_pwd;
    QCheckBox *m_aor;
    QLabel *m_lpass;
    QPushButton *m_hide;
    QPushButton *m_lock;
    QPushButton *m_unlock;
    QPushButton *m_reset;
    QPushButton *m_default;
    bool m_passwordEmphasised = false;
};
