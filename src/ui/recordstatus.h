#pragma once

#include <QObject>

class QLabel;
class QStatusBar;
class QToolButton;
class LineStrip;
class Recorder;

// What the status bar shows of the production record: the batch's counts, a warning while the
// record is off (its driver's words in the tooltip), and the button that opens the Records
// window.
class RecordStatus : public QObject {
    Q_OBJECT
public:
    RecordStatus(Recorder &recorder, QStatusBar *statusBar, QObject *parent = nullptr);

    QLabel *summaryLabel() const { return m_summary; }
    QLabel *warningLabel() const { return m_warning; }
    LineStrip *lineStrip() const { return m_line; }

signals:
    void recordsRequested();

private:
    void showWarning();

    Recorder &m_recorder;
    QLabel *m_summary;
    QLabel *m_warning;
    QToolButton *m_recordsButton;
    LineStrip *m_line;
};
