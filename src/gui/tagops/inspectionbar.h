#pragma once

#include <QToolBar>

class QLabel;
class QToolButton;

// Tag inspection above the specified frames: Read All, Save Tag, Restore Tag, Compare with
// File, Find Password, Wipe Tag, and what block 0 and blocks 1-2 mean.
class InspectionBar : public QToolBar {
    Q_OBJECT
public:
    explicit InspectionBar(QWidget *parent = nullptr);

    QToolButton *readAllButton() const { return m_readAll; }
    QToolButton *saveButton() const { return m_save; }
    QToolButton *restoreButton() const { return m_restore; }
    QToolButton *compareButton() const { return m_compare; }
    // "Find Password..."; "Cancel" while the search runs.
    QToolButton *findPasswordButton() const { return m_findPassword; }
    QToolButton *wipeButton() const { return m_wipe; }
    // What block 0 and blocks 1-2 mean, on a row of their own below the buttons: a T5577's
    // extended configuration takes most of a line.
    QToolBar *decodeBar() const { return m_decode; }
    QLabel *configInfo() const { return m_config; }
    QLabel *idInfo() const { return m_id; }
    // The outcome of the last whole-tag action, kept until the next one starts; the window
    // places it.
    QLabel *resultInfo() const { return m_result; }
    void showResult(const QString &text, quint32 colour);

private:
    QToolButton *m_readAll;
    QToolButton *m_save;
    QToolButton *m_restore;
    QToolButton *m_compare;
    QToolButton *m_findPassword;
    QToolButton *m_wipe;
    QToolBar *m_decode;
    QLabel *m_config;
    QLabel *m_id;
    QLabel *m_result;
};
