#include "linefigures.h"

#include "productionrecord.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTimeZone>

#include <algorithm>

namespace {

constexpr qint64 kMinuteMs = 60 * 1000;

void count(LineFigures::Station &s, const LineFigures::Tag &t)
{
    ++s.tags;
    ++s.perMinute[t.endedMs - t.endedMs % kMinuteMs];
    s.firstMs = s.firstMs < 0 ? t.endedMs : qMin(s.firstMs, t.endedMs);
    s.lastMs = qMax(s.lastMs, t.endedMs);
    if (t.result == QLatin1String("complete")) {
        ++s.complete;
        s.firstPass += t.retries == 0;
    } else if (t.result == QLatin1String("failed")) {
        ++s.failed;
    } else if (t.result == QLatin1String("stalled")) {
        ++s.stalled;
    }
}

QString percent(double ratio)
{
    return ratio < 0 ? QStringLiteral("-") : QString::number(100 * ratio, 'f', 1);
}

} // namespace

double LineFigures::Station::tagsPerMinute() const
{
    // n tags that ended over a span are n - 1 intervals: a pace, even under a minute.
    if (tags < 2 || lastMs <= firstMs)
        return -1;
    return (tags - 1) / (double(lastMs - firstMs) / kMinuteMs);
}

QString LineFigures::Station::rateText() const
{
    const double rate = tagsPerMinute();
    if (rate < 0)
        return QStringLiteral("-");
    return (rateIsEstimate() ? QStringLiteral("\u2248") : QString())
           + QString::number(rate, 'f', 1);
}

LineFigures::Ticks LineFigures::minuteTicks(qint64 firstMs, qint64 lastMs)
{
    const qint64 from = firstMs - firstMs % kMinuteMs;
    const qint64 minutes = qMax<qint64>(1, (qMax(lastMs, from) - from + kMinuteMs - 1) / kMinuteMs);
    // Beyond six minutes, seven ticks at least a minute apart still read apart.
    return {from, from + minutes * kMinuteMs, int(qMin<qint64>(minutes, 6)) + 1};
}

LineFigures::Ticks LineFigures::countTicks(int most)
{
    // Up to five, a tick for each count; beyond, a step of 1, 2 or 5 times a power of ten
    // that gives at most six steps.
    const int top = qMax(1, most);
    if (top <= 5)
        return {0, top, top + 1};
    qint64 step = 1;
    for (qint64 power = 1;; power *= 10) {
        const qint64 steps[] = {power, 2 * power, 5 * power};
        const auto fits = std::find_if(std::begin(steps), std::end(steps),
                                       [top](qint64 s) { return (top + s - 1) / s <= 6; });
        if (fits != std::end(steps)) {
            step = *fits;
            break;
        }
    }
    const qint64 end = (top + step - 1) / step * step;
    return {0, end, int(end / step) + 1};
}

double LineFigures::Station::firstPassYield() const
{
    const int judged = complete + failed + stalled;
    return judged == 0 ? -1 : double(firstPass) / judged;
}

void LineFigures::add(const Tag &tag)
{
    count(m_total, tag);
    count(m_stations[tag.station], tag);
    if (tag.result == QLatin1String("failed") || tag.result == QLatin1String("stalled"))
        ++m_causes[causeOf(tag.result, tag.detail)];
}

QString LineFigures::causeOf(const QString &result, const QString &detail)
{
    // Values (UIDs, block contents, counts) differ from tag to tag; the kind of failure does not.
    static const QRegularExpression values(QStringLiteral("\\b[0-9A-Fa-f]*[0-9][0-9A-Fa-f]*\\b"));
    QString kind = detail.section(u';', 0, 0).trimmed();
    static const QRegularExpression block(QStringLiteral("^block (\\d)"));
    const QString which = block.match(kind).captured(1);
    kind.replace(values, QStringLiteral("\u2026"));
    if (!which.isEmpty())
        kind.replace(0, 7, QStringLiteral("block ") + which);
    if (kind.size() > 80)
        kind = kind.left(79) + QStringLiteral("\u2026");
    return kind.isEmpty() ? result : result + QStringLiteral(": ") + kind;
}

QList<std::pair<QString, int>> LineFigures::causes() const
{
    QList<std::pair<QString, int>> list;
    for (auto it = m_causes.cbegin(); it != m_causes.cend(); ++it)
        list.append({it.key(), it.value()});
    std::stable_sort(list.begin(), list.end(),
                     [](const auto &a, const auto &b) { return a.second > b.second; });
    return list;
}

QString LineFigures::brief() const
{
    if (m_total.tags == 0)
        return QStringLiteral("Line: no tag yet");
    const double yield = m_total.firstPassYield();
    return QStringLiteral("Line: %1 tags/min, first pass %2")
        .arg(m_total.rateText())
        .arg(yield < 0 ? QStringLiteral("-") : QString::number(qRound(100 * yield)) + " %");
}

QString LineFigures::glance() const
{
    if (m_total.tags == 0)
        return QStringLiteral("Line: -");
    const double yield = m_total.firstPassYield();
    return QStringLiteral("%1/min, %2")
        .arg(m_total.rateText(),
             yield < 0 ? QStringLiteral("-") : QString::number(qRound(100 * yield)) + " %");
}

QByteArray LineFigures::csv() const
{
    QStringList lines{QStringLiteral("station,tags,complete,first_pass,failed,stalled,"
                                     "first_pass_yield_percent,tags_per_minute")};
    const auto station = [&](const QString &name, const Station &s) {
        lines << QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8")
                     .arg(csvField(name))
                     .arg(s.tags)
                     .arg(s.complete)
                     .arg(s.firstPass)
                     .arg(s.failed)
                     .arg(s.stalled)
                     .arg(percent(s.firstPassYield()))
                     .arg(s.tagsPerMinute() < 0 ? QStringLiteral("")
                                                : QString::number(s.tagsPerMinute(), 'f', 2));
    };
    for (auto it = m_stations.cbegin(); it != m_stations.cend(); ++it)
        station(it.key(), it.value());
    station(QStringLiteral("all stations"), m_total);
    lines << QString() << QStringLiteral("minute_utc,station,tags");
    for (auto it = m_stations.cbegin(); it != m_stations.cend(); ++it) {
        for (auto m = it->perMinute.cbegin(); m != it->perMinute.cend(); ++m)
            lines << QStringLiteral("%1,%2,%3")
                         .arg(
                             QDateTime::fromMSecsSinceEpoch(m.key(), Qt::UTC).toString(Qt::ISODate),
                             csvField(it.key()))
                         .arg(m.value());
    }
    lines << QString() << QStringLiteral("cause,tags");
    for (const auto &[cause, n] : causes())
        lines << QStringLiteral("%1,%2").arg(csvField(cause)).arg(n);
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

LineFigures LineFigures::read(ProductionRecord &record, qint64 sinceMs, qint64 batch,
                              QString *error)
{
    LineFigures f;
    if (!record.isOpen()) {
        if (error)
            *error = record.problem();
        return f;
    }
    QSqlQuery q(record.database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT t.ended, b.station, b.port, t.result, t.retries, t.detail "
                             "FROM tag t JOIN batch b ON b.id = t.batch_id WHERE b.manual = 0 "
                             "AND t.ended IS NOT NULL AND t.ended >= ? AND t.result <> "
                             "'in progress'")
              + (batch >= 0 ? QStringLiteral(" AND b.id = ?") : QString()));
    q.addBindValue(QDateTime::fromMSecsSinceEpoch(sinceMs, Qt::UTC).toString(Qt::ISODateWithMs));
    if (batch >= 0)
        q.addBindValue(batch);
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return f;
    }
    while (q.next()) {
        const QDateTime ended = QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs);
        const QString port = q.value(2).toString();
        f.add({ended.isValid() ? ended.toMSecsSinceEpoch() : sinceMs,
               port.isEmpty() ? q.value(1).toString()
                              : QStringLiteral("%1 %2").arg(q.value(1).toString(), port),
               q.value(3).toString(), q.value(4).toInt(), q.value(5).toString()});
    }
    return f;
}

std::optional<QList<QTime>> LineFigures::shiftStarts(const QString &text, QString *error)
{
    QList<QTime> starts;
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
    for (const QString &part : text.split(separators, Qt::SkipEmptyParts)) {
        const QTime t = QTime::fromString(part, QStringLiteral("H:mm"));
        if (!t.isValid()) {
            *error = QStringLiteral("\"%1\" is not a time of day (hours:minutes, such as 06:00).")
                         .arg(part.left(20));
            return std::nullopt;
        }
        if (!starts.contains(t))
            starts << t;
    }
    if (starts.size() > 24) {
        *error = QStringLiteral("At most 24 shifts a day.");
        return std::nullopt;
    }
    std::sort(starts.begin(), starts.end());
    return starts;
}

QDateTime LineFigures::shiftBegan(const QList<QTime> &starts, const QDateTime &now)
{
    QDateTime began;
    for (int daysBack = 0; daysBack <= 1 && !began.isValid(); ++daysBack) {
        const QDate day = now.date().addDays(-daysBack);
        for (const QTime &t : starts) {
            const QDateTime at(day, t, now.timeZone());
            if (at <= now && (!began.isValid() || at > began))
                began = at;
        }
    }
    return began;
}
