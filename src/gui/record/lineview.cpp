#include "lineview.h"

#include "station/dialogs.h"

#include "core/settingsstore.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

namespace {

constexpr int kRedrawMs = 1000;
// Causes beyond these are too rare to chart; the CSV has them all.
constexpr int kCharted = 8;
constexpr int kStripMinutes = 20;

QChartView *chartView(const QString &name, QWidget *parent)
{
    auto *view = new QChartView(new QChart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    view->setAccessibleName(name);
    view->chart()->setTitle(name);
    view->setMinimumHeight(180);
    return view;
}

} // namespace

LineView::LineView(Dialogs &dialogs, QWidget *parent)
    : QWidget(parent)
    , m_dialogs(dialogs)
    , m_scope(new QComboBox(this))
    , m_shiftField(new QLineEdit(this))
    , m_yield(new QLabel(this))
    , m_rate(chartView(QStringLiteral("Tags per minute"), this))
    , m_causes(chartView(QStringLiteral("Failures by cause"), this))
    , m_png(new QPushButton(QStringLiteral("Save Picture..."), this))
    , m_csv(new QPushButton(QStringLiteral("Save Figures..."), this))
    , m_redraw(new QTimer(this))
{
    setObjectName(QStringLiteral("LineView"));
    m_scope->addItems({QStringLiteral("Latest batch"), QStringLiteral("Last shift (8 h)")});
    m_scope->setCurrentIndex(1);
    m_scope->setAccessibleName(QStringLiteral("Show"));
    m_shiftField->setObjectName(QStringLiteral("tx_ShiftStarts"));
    m_shiftField->setPlaceholderText(QStringLiteral("e.g. 06:00 14:00 22:00"));
    m_shiftField->setToolTip(QStringLiteral("The clock times your shifts start at. Empty: the "
                                            "last 8 hours count as the shift."));
    m_shiftField->setMaximumWidth(180);
    {
        QString error;
        const QString kept
            = SettingsStore::open()->value(QStringLiteral("line/shiftStarts")).toString();
        // Nonsense in the settings is dropped: the rolling 8 hours stand in.
        if (const auto starts = LineFigures::shiftStarts(kept, &error)) {
            m_shiftStarts = *starts;
            m_shiftField->setText(kept.simplified());
        }
    }
    nameShiftEntry();
    connect(m_shiftField, &QLineEdit::editingFinished, this, &LineView::takeShiftStarts);
    m_yield->setObjectName(QStringLiteral("lb_Line_Yield"));
    m_yield->setTextFormat(Qt::PlainText);
    m_yield->setWordWrap(true);
    m_redraw->setSingleShot(true);
    connect(m_redraw, &QTimer::timeout, this, &LineView::draw);
    connect(m_scope, &QComboBox::currentIndexChanged, this, &LineView::scopeChanged);
    const auto saveAs
        = [this](QPushButton *button, const QString &title, const QString &name,
                 const QString &filter, bool (LineView::*save)(const QString &, QString *)) {
              connect(button, &QPushButton::clicked, this, [=, this] {
                  const QString file = QFileDialog::getSaveFileName(this, title, name, filter);
                  QString error;
                  if (!file.isEmpty() && !(this->*save)(file, &error))
                      m_dialogs.warning(title, error);
              });
          };
    saveAs(m_png, QStringLiteral("Save Picture"), QStringLiteral("line.png"),
           QStringLiteral("PNG images (*.png)"), &LineView::savePng);
    saveAs(m_csv, QStringLiteral("Save Figures"), QStringLiteral("line.csv"),
           QStringLiteral("CSV files (*.csv)"), &LineView::saveCsv);
    auto *top = new QHBoxLayout;
    auto *scopeLabel = new QLabel(QStringLiteral("S&how:"), this);
    scopeLabel->setBuddy(m_scope);
    top->addWidget(scopeLabel);
    top->addWidget(m_scope);
    auto *shiftLabel = new QLabel(QStringLiteral("Shi&fts start:"), this);
    shiftLabel->setBuddy(m_shiftField);
    top->addSpacing(12);
    top->addWidget(shiftLabel);
    top->addWidget(m_shiftField);
    top->addStretch();
    top->addWidget(m_png);
    top->addWidget(m_csv);
    auto *charts = new QHBoxLayout;
    charts->addWidget(m_rate, 1);
    charts->addWidget(m_causes, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_yield);
    layout->addLayout(charts, 1);
    draw();
}

LineView::Scope LineView::scope() const
{
    return m_scope->currentIndex() == 0 ? Scope::LatestBatch : Scope::LastShift;
}

qint64 LineView::shiftSinceMs(const QDateTime &now) const
{
    const QDateTime began = LineFigures::shiftBegan(m_shiftStarts, now);
    return began.isValid() ? began.toMSecsSinceEpoch()
                           : now.toMSecsSinceEpoch() - LineFigures::kShiftMs;
}

void LineView::takeShiftStarts()
{
    QString error;
    const std::optional<QList<QTime>> starts
        = LineFigures::shiftStarts(m_shiftField->text(), &error);
    if (!starts) {
        m_dialogs.warning(QStringLiteral("Shifts start"),
                          error + QStringLiteral("\nThe shifts stay as they were."));
        // The field shows what counts, not the text that was refused.
        QStringList kept;
        for (const QTime &t : m_shiftStarts)
            kept << t.toString(QStringLiteral("HH:mm"));
        m_shiftField->setText(kept.join(u' '));
        return;
    }
    if (*starts == m_shiftStarts)
        return;
    m_shiftStarts = *starts;
    SettingsStore::open()->setValue(QStringLiteral("line/shiftStarts"),
                                    m_shiftField->text().simplified());
    nameShiftEntry();
    if (scope() == Scope::LastShift)
        emit scopeChanged();
}

void LineView::nameShiftEntry()
{
    // The shift under way changes as the clock passes a start, so it is named anew each read.
    const QDateTime began = LineFigures::shiftBegan(m_shiftStarts, QDateTime::currentDateTime());
    m_scope->setItemText(
        1,
        began.isValid()
            ? QStringLiteral("This shift (since %1)").arg(began.toString(QStringLiteral("HH:mm")))
            : QStringLiteral("Last shift (8 h)"));
}

void LineView::setFigures(const LineFigures &figures)
{
    nameShiftEntry();
    m_figures = figures;
    m_yield->setText(yieldText());
    if (m_redraw->isActive())
        return;
    // Not more than once a second: the charts are rebuilt whole.
    const qint64 since = m_drawn.isValid() ? m_drawn.elapsed() : kRedrawMs;
    m_redraw->start(int(qMax<qint64>(0, kRedrawMs - since)));
}

QString LineView::yieldText() const
{
    const auto line = [](const QString &name, const LineFigures::Station &s) {
        const double y = s.firstPassYield();
        return QStringLiteral("%1: %2 tags, %3 complete (%4 at the first try), %5 failed, %6 "
                              "stalled; first-pass yield %7; %8 tags/min")
            .arg(name)
            .arg(s.tags)
            .arg(s.complete)
            .arg(s.firstPass)
            .arg(s.failed)
            .arg(s.stalled)
            .arg(y < 0 ? QStringLiteral("-") : QString::number(100 * y, 'f', 1) + " %")
            .arg(s.rateText());
    };
    if (m_figures.total().tags == 0)
        return QStringLiteral("No tag ended in this time.");
    QStringList lines;
    if (m_figures.stations().size() > 1) {
        for (auto it = m_figures.stations().cbegin(); it != m_figures.stations().cend(); ++it)
            lines << line(QStringLiteral("Station ") + it.key(), it.value());
    }
    lines << line(QStringLiteral("All stations"), m_figures.total());
    return lines.join(u'\n');
}

void LineView::draw()
{
    m_drawn.start();
    QChart *rate = m_rate->chart();
    rate->removeAllSeries();
    // A removed axis is no longer the chart's: it is deleted here, or each redraw leaks two.
    for (QAbstractAxis *axis : rate->axes()) {
        rate->removeAxis(axis);
        delete axis;
    }
    auto *time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("HH:mm"));
    auto *tags = new QValueAxis;
    tags->setLabelFormat(QStringLiteral("%d"));
    tags->setTitleText(QStringLiteral("tags"));
    rate->addAxis(time, Qt::AlignBottom);
    rate->addAxis(tags, Qt::AlignLeft);
    int most = 1;
    qint64 first = QDateTime::currentMSecsSinceEpoch();
    qint64 last = first;
    bool any = false;
    for (auto it = m_figures.stations().cbegin(); it != m_figures.stations().cend(); ++it) {
        auto *series = new QLineSeries;
        series->setName(it.key());
        for (auto m = it->perMinute.cbegin(); m != it->perMinute.cend(); ++m) {
            series->append(double(m.key()), m.value());
            most = qMax(most, m.value());
            first = any ? qMin(first, m.key()) : m.key();
            last = any ? qMax(last, m.key()) : m.key();
            any = true;
        }
        rate->addSeries(series);
        series->attachAxis(time);
        series->attachAxis(tags);
    }
    const LineFigures::Ticks minutes = LineFigures::minuteTicks(first, last);
    time->setRange(QDateTime::fromMSecsSinceEpoch(minutes.from),
                   QDateTime::fromMSecsSinceEpoch(minutes.to));
    time->setTickCount(minutes.count);
    const LineFigures::Ticks counts = LineFigures::countTicks(most);
    tags->setRange(0, double(counts.to));
    tags->setTickCount(counts.count);
    rate->legend()->setVisible(m_figures.stations().size() > 1);

    QChart *causes = m_causes->chart();
    causes->removeAllSeries();
    // A removed axis is no longer the chart's: it is deleted here, or each redraw leaks two.
    for (QAbstractAxis *axis : causes->axes()) {
        causes->removeAxis(axis);
        delete axis;
    }
    const QList<std::pair<QString, int>> all = m_figures.causes();
    auto *set = new QBarSet(QStringLiteral("Tags"));
    QStringList names;
    int worst = 1;
    for (int i = qMin(kCharted, int(all.size())) - 1; i >= 0; --i) {
        // The kind of failure under the result, so the label keeps its width.
        names << QString(all[i].first).replace(QStringLiteral(": "), QStringLiteral(":\n"));
        *set << all[i].second;
        worst = qMax(worst, all[i].second);
    }
    auto *bars = new QHorizontalBarSeries;
    bars->append(set);
    causes->addSeries(bars);
    auto *which = new QBarCategoryAxis;
    which->append(names.isEmpty() ? QStringList{QStringLiteral("none")} : names);
    auto *count = new QValueAxis;
    const LineFigures::Ticks failures = LineFigures::countTicks(worst);
    count->setRange(0, double(failures.to));
    count->setTickCount(failures.count);
    count->setLabelFormat(QStringLiteral("%d"));
    causes->addAxis(which, Qt::AlignLeft);
    causes->addAxis(count, Qt::AlignBottom);
    bars->attachAxis(which);
    bars->attachAxis(count);
    causes->legend()->setVisible(false);
}

bool LineView::savePng(const QString &file, QString *error)
{
    if (m_redraw->isActive()) {
        m_redraw->stop();
        draw();
    }
    if (!grab().save(file, "PNG")) {
        *error = QStringLiteral("%1 cannot be written").arg(file);
        return false;
    }
    return true;
}

bool LineView::saveCsv(const QString &file, QString *error)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(m_figures.csv()) < 0 || !out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

LineStrip::LineStrip(QWidget *parent)
    : QWidget(parent)
    , m_redraw(new QTimer(this))
{
    setObjectName(QStringLiteral("lb_Line_Strip"));
    m_redraw->setSingleShot(true);
    m_redraw->setInterval(kRedrawMs);
    connect(m_redraw, &QTimer::timeout, this, [this] {
        m_text = m_figures.brief();
        m_shown = m_figures.glance();
        m_bars.clear();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 minute = now - now % 60000;
        for (int i = kStripMinutes - 1; i >= 0; --i)
            m_bars << m_figures.total().perMinute.value(minute - 60000 * qint64(i));
        setAccessibleName(m_text);
        setToolTip(
            m_text
            + QStringLiteral("\nBars: tags in each of the last %1 minutes").arg(kStripMinutes));
        updateGeometry();
        update();
    });
    m_text = m_figures.brief();
    m_shown = m_figures.glance();
    setAccessibleName(m_text);
}

void LineStrip::setFigures(const LineFigures &figures)
{
    m_figures = figures;
    if (!m_redraw->isActive())
        m_redraw->start();
}

QSize LineStrip::sizeHint() const
{
    return {fontMetrics().horizontalAdvance(m_shown) + 3 * kStripMinutes + 12,
            fontMetrics().height() + 4};
}

// Never squeezed below its figures: the status bar cuts other texts first.
QSize LineStrip::minimumSizeHint() const
{
    return sizeHint();
}

void LineStrip::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const int barsWidth = 3 * kStripMinutes;
    const int most
        = std::max(1, m_bars.isEmpty() ? 1 : *std::max_element(m_bars.cbegin(), m_bars.cend()));
    const int h = height() - 4;
    for (int i = 0; i < m_bars.size(); ++i) {
        const int bar = m_bars[i] * h / most;
        p.fillRect(i * 3, height() - 2 - bar, 2, bar, palette().color(QPalette::Highlight));
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect().adjusted(barsWidth + 6, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, m_shown);
}
