#pragma once

#include "core/autoloop.h"

#include <QGroupBox>

class MaskedField;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The " Automatically " frame: what the production loop does to every tag, the UID it
// writes and steps, and the button that switches the loop on and off.
class AutoPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit AutoPanel(QWidget *parent = nullptr);

    QCheckBox *notConfigBox() const { return m_notConfig; }
    QCheckBox *noUidBox() const { return m_noUid; }
    QCheckBox *withIdBox() const { return m_withId; }
    QCheckBox *autoUnlockBox() const { return m_autoUnlock; }
    QCheckBox *setUidBox() const { return m_setUid; }
    QCheckBox *autoIncBox() const { return m_autoInc; }
    QCheckBox *writeBlocksBox() const { return m_writeBlocks; }
    QCheckBox *writePasswordBox() const { return m_writePassword; }
    QCheckBox *lockBox() const { return m_lock; }
    QCheckBox *rewriteRecordedBox() const { return m_rewriteRecorded; }
    // The box of one of the loop's yes-or-no options (AutoLoop::kFlags).
    QCheckBox *box(bool AutoLoop::Options::*flag) const;
    // Failed or stalled tags in a row that stop the loop (0: never), and how often a block
    // write that read back wrong is sent again.
    QSpinBox *stopAfterField() const { return m_stopAfter; }
    QSpinBox *retriesField() const { return m_retries; }
    // Who runs the batches; empty: the login, shown as its placeholder.
    QLineEdit *operatorField() const { return m_operator; }
    MaskedField *setUidField() const { return m_setUidField; }
    MaskedField *incField() const { return m_incField; }
    QPushButton *stepSetUidButton() const { return m_stepSetUid; }
    // Beside "Auto Unlock": the password list it tries after the job's password, chosen or
    // dropped from the button's menu.
    QPushButton *unlockListButton() const { return m_unlockList; }
    QAction *chooseUnlockListAction() const { return m_chooseUnlockList; }
    QAction *dropUnlockListAction() const { return m_dropUnlockList; }
    QPushButton *autoButton() const { return m_auto; }
    QPushButton *saveJobButton() const { return m_saveJob; }
    QPushButton *openJobButton() const { return m_openJob; }
    // The UID list a job brought ("List: ids.csv, 200 IDs"); hidden while UIDs step.
    QLabel *listLabel() const { return m_listLabel; }

private:
    QCheckBox *m_notConfig;
    QCheckBox *m_noUid;
    QCheckBox *m_withId;
    QCheckBox *m_autoUnlock;
    QCheckBox *m_setUid;
    QPushButton *m_stepSetUid;
    QPushButton *m_unlockList;
    QAction *m_chooseUnlockList;
    QAction *m_dropUnlockList;
    MaskedField *m_setUidField;
    QCheckBox *m_autoInc;
    MaskedField *m_incField;
    QLabel *m_listLabel;
    QCheckBox *m_writeBlocks;
    QCheckBox *m_writePassword;
    QCheckBox *m_lock;
    QCheckBox *m_rewriteRecorded;
    QSpinBox *m_stopAfter;
    QSpinBox *m_retries;
    QLineEdit *m_operator;
    QPushButton *m_auto;
    QPushButton *m_saveJob;
    QPushButton *m_openJob;
};
