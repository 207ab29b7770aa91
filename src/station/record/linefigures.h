#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTime>
#include <optional>

class ProductionRecord;

// How a line is doing, from the tags that ended: tags per minute, first-pass yield and what
// the failures were, per station and for all of them. Fed tag by tag (the running batch) or
// read from the record (a batch, the last shift).
class LineFigures {
public:
    struct Tag {
        qint64 endedMs = 0;
        QString station;
        QString result;
        int retries = 0;
        QString detail;
    };

    struct Station {
        int tags = 0;
        int complete = 0;
        // Complete at the first try: no write sent again.
        int firstPass = 0;
        int failed = 0;
        int stalled = 0;
        // Tags ended in each minute (milliseconds of the minute's start).
        QMap<qint64, int> perMinute;
        qint64 firstMs = -1;
        qint64 lastMs = -1;

        // The pace between the first tag's end and the last's; -1 until two tags have ended
        // apart. Under a minute of them it is an estimate.
        double tagsPerMinute() const;
        bool rateIsEstimate() const { return lastMs - firstMs < 60 * 1000; }
        // "14.2", "≈12.5" under a minute, "-" before there is a pace.
        QString rateText() const;
        // Of the tags the line judged (complete, failed or stalled); -1 when there are none.
        double firstPassYield() const;
    };

    // The last shift when no shift times are set: tags that ended this long ago at most.
    static constexpr qint64 kShiftMs = 8 * 3600 * 1000;
    // The clock times shifts start at, as a supervisor types them ("06:00 14:00 22:00");
    // nothing, with why, when a time cannot be read. Empty text: no shift times.
    static std::optional<QList<QTime>> shiftStarts(const QString &text, QString *error);
    // When the shift under way at `now` began: the latest start not after it, yesterday's
    // last when today's first is still to come. Invalid without starts.
    static QDateTime shiftBegan(const QList<QTime> &starts, const QDateTime &now);

    void add(const Tag &tag);
    // The record's tags that ended from sinceMs on, of one batch (its number) or of all.
    static LineFigures read(ProductionRecord &record, qint64 sinceMs, qint64 batch = -1,
                            QString *error = nullptr);

    const QMap<QString, Station> &stations() const { return m_stations; }
    const Station &total() const { return m_total; }
    // Failed and stalled tags by what went wrong, most frequent first.
    QList<std::pair<QString, int>> causes() const;
    // The figures as CSV: per station, per minute, per cause.
    QByteArray csv() const;
    // "Line: 14.2 tags/min, first pass 96 %"
    QString brief() const;
    // As little as a crowded status bar holds whole: "14.2/min, 96 %".
    QString glance() const;

    // Axes with ticks that read apart: the minutes from firstMs to lastMs as a range that
    // ends on whole minutes, with one tick a minute up to six; the tag counts up to `most`
    // on whole numbers.
    struct Ticks {
        // Milliseconds since the epoch, or counts.
        qint64 from = 0;
        qint64 to = 0;
        int count = 2;
    };
    static Ticks minuteTicks(qint64 firstMs, qint64 lastMs);
    static Ticks countTicks(int most);

    // A failure's cause without the values that differ from tag to tag: "failed: block 3
    // written …, read back …".
    static QString causeOf(const QString &result, const QString &detail);

private:
    QMap<QString, Station> m_stations;
    Station m_total;
    QMap<QString, int> m_causes;
};
