#include "capturestats.h"

#include "core/timing.h"
#include "core/trafficformat.h"

#include <algorithm>

namespace CaptureStats {

namespace {

constexpr double kCharMs = 10.0 / 9.6;

QString kindOf(const QByteArray &command)
{
    // Block commands by their mnemonic alone; the others are whole words ("SB1", "GTS").
    static const QList<QByteArray> twoLetters{"WB", "WP", "RB", "RP"};
    const QByteArray head = command.left(2);
    return QString::fromLatin1(twoLetters.contains(head) ? head : command.left(3));
}

struct Pending {
    qint64 us = 0;
    int kind = 0;
    QByteArray answer;
    bool answered = false;
    bool buzzer = false;
};

class Reader {
public:
    Stats stats;

    void send(qint64 us, const QByteArray &bytes)
    {
        close();
        const QByteArray command = bytes.trimmed();
        const QString name = kindOf(command);
        auto it = std::find_if(stats.kinds.begin(), stats.kinds.end(),
                               [&](const Kind &k) { return k.name == name; });
        if (it == stats.kinds.end()) {
            Kind k;
            k.name = name;
            it = stats.kinds.insert(stats.kinds.end(), k);
        }
        ++it->sent;
        m_pending = Pending{us, int(it - stats.kinds.begin()), {}, false, command == "SB1"};
        if (m_pending->buzzer)
            buzzer(us);
    }

    void receive(qint64 us, const QByteArray &bytes)
    {
        const bool lineEnd = bytes.endsWith('\n');
        if (!m_pending || m_pending->answered) {
            if (lineEnd && bytes.trimmed().size() > 0)
                m_lastReportUs = us;
            return;
        }
        m_pending->answer += bytes;
        if (!lineEnd)
            return;
        m_pending->answered = true;
        Kind &k = stats.kinds[m_pending->kind];
        const double ms = double(us - m_pending->us) / 1000.0;
        k.answerMs << ms;
        k.boxMs << qMax(0.0, ms - double(m_pending->answer.size()) * kCharMs);
        if (m_pending->buzzer)
            return;
        m_tag.answersMs += ms;
        ++m_tag.commands;
        if (k.name.startsWith(QLatin1String("WP")) || k.name.startsWith(QLatin1String("WU")))
            ++m_tag.ticked;
    }

    // The port closed or opened again: what was awaited is not answered.
    void linkEvent()
    {
        close();
        m_buzzerUs.reset();
        m_tag = {};
    }

    void close()
    {
        if (m_pending && !m_pending->answered)
            ++stats.kinds[m_pending->kind].unanswered;
        m_pending.reset();
        // The next tag's report came since the buzzer: the finished tag's account is whole.
        if (m_closing && m_lastReportUs > m_closing->us) {
            m_closing->tag.conveyorMs = double(m_lastReportUs - m_closing->us) / 1000.0;
            stats.tags << m_closing->tag;
            m_closing.reset();
        }
    }

private:
    void buzzer(qint64 us)
    {
        // A tag is counted from one buzzer to the next: the first ran with the start-up.
        if (m_buzzerUs) {
            m_tag.periodMs = double(us - *m_buzzerUs) / 1000.0;
            m_closing = Closing{us, m_tag};
        }
        m_buzzerUs = us;
        m_tag = {};
    }

    struct Closing {
        qint64 us = 0;
        Tag tag;
    };
    std::optional<Pending> m_pending;
    std::optional<qint64> m_buzzerUs;
    std::optional<Closing> m_closing;
    qint64 m_lastReportUs = 0;
    Tag m_tag;
};

QString figures(const QList<double> &values)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    return QStringLiteral("%1 / %2").arg(median(values), 0, 'f', 1).arg(worst(values), 0, 'f', 1);
}

QString rate(const QList<double> &periods)
{
    const double m = median(periods);
    return QStringLiteral("%1 ms a tag, %2 tags a minute")
        .arg(m, 0, 'f', 0)
        .arg(m > 0 ? 60000.0 / m : 0.0, 0, 'f', 1);
}

} // namespace

std::optional<Stats> analyse(const QByteArray &capture, QString *error)
{
    Reader r;
    const QList<QByteArray> raw = capture.split('\n');
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QByteArray &text = raw[i];
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        QString why;
        const std::optional<TrafficFormat::Line> line = TrafficFormat::parseLine(text, &why);
        if (!line) {
            // A capture cut off mid-line (a full disk, a kill) is read up to there.
            if (i == raw.size() - 1)
                break;
            *error = QStringLiteral("line %1 %2").arg(i + 1).arg(why);
            return std::nullopt;
        }
        ++r.stats.lines;
        if (line->direction == '>')
            r.send(line->us, line->bytes);
        else if (line->direction == '<')
            r.receive(line->us, line->bytes);
        else if (line->bytes.startsWith("open") || line->bytes.startsWith("close"))
            r.linkEvent();
    }
    r.close();
    if (r.stats.lines == 0) {
        *error = QStringLiteral("it holds no line of a traffic capture");
        return std::nullopt;
    }
    return r.stats;
}

double periodMs(const Tag &tag, AutoLoop::Options::Pace pace, int firstCommandMs)
{
    const double link = tag.answersMs + tag.conveyorMs + firstCommandMs;
    if (pace == AutoLoop::Options::Pace::Replies)
        return link;
    // The quiet line after the report and each answer, and a tick after an unlock or a UID.
    return link + double(Timing::kQuietLineMs) * (tag.commands + 1)
           + double(Timing::kAutoStepMs) * tag.ticked;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double worst(const QList<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.cbegin(), values.cend());
}

QString report(const Stats &stats, int repliesFirstCommandMs)
{
    QStringList out;
    int commands = 0;
    for (const Kind &k : stats.kinds)
        commands += k.sent;
    out << QStringLiteral("%1 lines, %2 commands, %3 tags from one \"SB1\" to the next")
               .arg(stats.lines)
               .arg(commands)
               .arg(stats.tags.size());
    out << QStringLiteral("%1 %2 %3  %4  %5")
               .arg(QStringLiteral("command"), -8)
               .arg(QStringLiteral("sent"), 6)
               .arg(QStringLiteral("no answer"), 10)
               .arg(QStringLiteral("answer ms (median / worst)"), -28)
               .arg(QStringLiteral("box ms (median / worst)"));
    for (const Kind &k : stats.kinds)
        out << QStringLiteral("%1 %2 %3  %4  %5")
                   .arg(k.name, -8)
                   .arg(k.sent, 6)
                   .arg(k.unanswered, 10)
                   .arg(figures(k.answerMs), -28)
                   .arg(figures(k.boxMs));
    out << QStringLiteral("(answer: from the command leaving to its answer's line end; box: the "
                          "same less the answer's characters at 9600 baud; no answer: the next "
                          "command left first, as in the connect sequence)");
    if (stats.tags.isEmpty()) {
        out << QStringLiteral("No tag was finished and followed by the next one's report: the "
                              "capture tells no line rate.");
        return out.join(u'\n') + u'\n';
    }
    QList<double> conveyor, captured, ticks, replies;
    for (const Tag &t : stats.tags) {
        conveyor << t.conveyorMs;
        if (t.periodMs)
            captured << *t.periodMs;
        ticks << periodMs(t, AutoLoop::Options::Pace::Ticks, 2 * Timing::kAutoStepMs);
        replies << periodMs(t, AutoLoop::Options::Pace::Replies, repliesFirstCommandMs);
    }
    out << QStringLiteral("conveyor      %1 ms (median / worst; from \"SB1\" to the next tag's "
                          "report)")
               .arg(figures(conveyor));
    out << QStringLiteral("as captured   %1").arg(rate(captured));
    out << QStringLiteral("pace ticks    %1 (the default: the first command 600 ms after "
                          "the report, a 300 ms tick after each unlock and UID write, 20 ms of "
                          "quiet line after each reply)")
               .arg(rate(ticks));
    out << QStringLiteral("pace replies  %1 (the first command %2 ms after the report, each "
                          "other as soon as the answer before it is in)")
               .arg(rate(replies))
               .arg(repliesFirstCommandMs);
    return out.join(u'\n') + u'\n';
}

} // namespace CaptureStats
