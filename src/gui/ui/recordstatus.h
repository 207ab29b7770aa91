#pragma once

#include <QObject>
#include <QPointer>
#include <QProgressDialog>

class QLabel;

class QStatusBar;
class QToolButton;
class LineStrip;
class Recorder;

// What the status bar shows of the production record: the batch's counts, a warning while the
// record is off (its driver's words in the tooltip), and the button that opens the Records
// window; and, while a UID list is made ready for a batch, how far it is, with Cancel.
class RecordStatus : public QObject {
    Q_OBJECT
public:
    RecordStatus(Recorder &recorder, QStatusBar *statusBar, QObject *parent = nullptr);

    QLabel *summaryLabel() const { return m_summary; }
    QLabel *warningLabel() const { return m_warning; }
    LineStrip *lineStrip() const { return m_line; }
    // Shown while a list takes longer than half a second; nothing otherwise.
    QProgressDialog *listProgress() const { return m_listProgress; }

signals:
    void recordsRequested();

private:
    void showWarning();
    void showListProgress(const QString &what, qint64 done, qint64 total);

    Recorder &m_recorder;
    QLabel *m_summary;
    QLabel *m_warning;
    QToolButton *m_recordsButton;
    LineStrip *m_line;
    QWidget *m_window;
    QPointer<QProgressDialog> m_listProgress;
    QString m_listWhat;
    int m_listPermille = 0;
};
