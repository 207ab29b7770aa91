#pragma once

#include "station/record/linefigures.h"

#include <QElapsedTimer>
#include <QWidget>

class Dialogs;
class QChartView;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// The line at a glance: tags per minute over time and failures by cause as charts, first-pass
// yield per station, for the latest batch or the last shift. Redrawn at most once a second
// however often new figures come.
class LineView : public QWidget {
    Q_OBJECT
public:
    enum class Scope { LatestBatch, LastShift };

    explicit LineView(Dialogs &dialogs, QWidget *parent = nullptr);

    Scope scope() const;
    // Where the shift shown begins: at the last shift start set ("Shifts start"), otherwise
    // kShiftMs before now.
    qint64 shiftSinceMs(const QDateTime &now) const;
    QLineEdit *shiftField() const { return m_shiftField; }
    void setFigures(const LineFigures &figures);
    const LineFigures &figures() const { return m_figures; }
    bool savePng(const QString &file, QString *error);
    bool saveCsv(const QString &file, QString *error);
    // What the yield line shows, as text.
    QString yieldText() const;

signals:
    void scopeChanged();

private:
    void draw();
    // The shift times typed in: kept and shown when they read, refused with why otherwise.
    void takeShiftStarts();
    void nameShiftEntry();

    Dialogs &m_dialogs;

    QComboBox *m_scope;
    QLineEdit *m_shiftField;
    QList<QTime> m_shiftStarts;
    QLabel *m_yield;
    QChartView *m_rate;
    QChartView *m_causes;
    QPushButton *m_png;
    QPushButton *m_csv;
    QTimer *m_redraw;
    QElapsedTimer m_drawn;
    LineFigures m_figures;
};

// The running batch in the status bar: its rate and first-pass yield, and its last minutes as
// small bars.
class LineStrip : public QWidget {
    Q_OBJECT
public:
    explicit LineStrip(QWidget *parent = nullptr);
    // Shown within a second; more often is not redrawn.
    void setFigures(const LineFigures &figures);
    QString text() const { return m_text; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer *m_redraw;
    LineFigures m_figures;
    QString m_text;
    // What is painted: the figures in short; m_text is the tooltip and the accessible name.
    QString m_shown;
    QList<int> m_bars;
};
