// Runs the production loop against a virtual box in conveyor mode and prints how fast it
// goes, next to the floor that the fixed intervals, the wire and the box allow.

#include "benchsupport.h"
#include "box/boxengine.h"
#include "box/virtualbox.h"
#include "core/timing.h"
#include "gui/link/portpanel.h"
#include "gui/tagops/blockpanel.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/statusline.h"
#include "station/link/portscanner.h"
#include "station/link/readerlink.h"
#include "station/record/productionrecord.h"
#include "station/session/session.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <cstdio>

namespace {

double charsMs(int count)
{
    return count * double(VirtualBox::kCharNs) / 1e6;
}

// The shortest period per tag for Auto Set UID, blocks 3-6, password and lock: every
// interval the loop waits for, back to back, with nothing else costing time. The box paces
// its replies like a 9600-baud line; the tool's commands reach it through the pseudo-
// terminal at once.
double floorMs(const BoxEngine::Delays &d, int gapMs, int stepMs, int firstMs)
{
    const double reply = charsMs(12) + Timing::kQuietLineMs;
    const double blockWrite = d.write + reply;
    double ms = firstMs;
    ms += d.uid + reply;
    ms += stepMs;
    ms += 5 * blockWrite;
    ms += blockWrite;
    // After the buzzer: the tag leaves, the gap, the next tag is reported.
    const double nextArrival = VirtualBox::kConveyorLeaveMs + gapMs + d.read + charsMs(12);
    ms += std::max<double>(Timing::kNoPresentPauseMs, nextArrival) + Timing::kQuietLineMs;
    return ms;
}

double percentile(QList<double> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[qsizetype(p * double(v.size() - 1))];
}

// What the record adds to a tag, measured on its own: the reservation before the UID write,
// the row when the tag starts and its outcome when it ends.
int timeRecording(const QString &location)
{
    ProductionRecord record(location);
    if (!record.isWritable()) {
        std::fprintf(stderr, "%s\n", qPrintable(record.problem()));
        return 1;
    }
    ProductionRecord::Batch station;
    station.station = QStringLiteral("bench");
    station.port = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString batch = *record.beginBatch(station);
    QList<double> reserve;
    QList<double> total;
    const qint64 first = QDateTime::currentMSecsSinceEpoch() % 1000000 * 1000;
    for (int i = 0; i < 200; ++i) {
        AutoLoop::TagOutcome t;
        t.uidAsked = QStringLiteral("%1").arg(first + i, 10, 16, QChar(u'0')).toUpper();
        t.uidRead = t.uidAsked;
        t.uidConfirmed = true;
        t.startMs = QDateTime::currentMSecsSinceEpoch();
        t.endMs = t.startMs + 1500;
        QElapsedTimer one;
        one.start();
        record.reserve(t.uidAsked, true, station, batch);
        reserve << double(one.nsecsElapsed()) / 1e6;
        record.endTag(*record.beginTag(batch, t), batch, t);
        total << double(one.nsecsElapsed()) / 1e6;
    }
    record.endBatch(batch);
    std::printf("record (%s): reservation median %.2f / worst %.2f ms; reservation + tag "
                "start + outcome median %.2f / worst %.2f ms per tag\n",
                record.isShared() ? "server" : "file", percentile(reserve, 0.5),
                percentile(reserve, 1.0), percentile(total, 0.5), percentile(total, 1.0));
    return 0;
}

} // namespace

// What the virtual box spends on a command before its answer starts, by its kind.
int boxMs(const BoxEngine::Delays &d, const QString &command)
{
    if (command.startsWith(QLatin1String("WU")))
        return d.uid;
    if (command.startsWith(u'W'))
        return d.write;
    if (command.startsWith(u'R') && !command.startsWith(QLatin1String("RU")))
        return d.read;
    return command == QLatin1String("GTS") ? d.read : d.settings;
}

struct Run {
    int tags = 0;
    int gap = 0;
    AutoLoop::Options::Pace pace = AutoLoop::Options::Pace::Ticks;
    bool uidOnly = false;
    int stepMs = Timing::kAutoStepMs;
    int firstMs = 2 * Timing::kAutoStepMs;
    // Each run writes its own UIDs: the record refuses a UID written before.
    QString firstUid = QStringLiteral("0000000001");
    bool details = true;
};

// One run of `tags` tags; how many ended other than complete, or nothing when it could not run.
std::optional<int> runOnce(const Run &r, double *perMinute)
{
    BoxProcess box;
    if (!box.start())
        return std::nullopt;
    MainWindow w;
    w.autoWriter().setTiming(r.stepMs, r.firstMs, r.pace);
    if (!startProductionRun(w, r.firstUid, r.uidOnly))
        return std::nullopt;

    QList<double> latencies;
    // When each tag ended, on the steady clock.
    QList<qint64> completions;
    QList<double> cycles;
    int unclean = 0;
    QElapsedTimer clock;
    clock.start();
    const auto nowNs = [] {
        return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    };
    const bool replies = r.pace == AutoLoop::Options::Pace::Replies;
    // Taken at the line end, or after the quiet line.
    const double gatheredAfterMs = replies ? 0.0 : Timing::kQuietLineMs;
    // What went over the link, with when: the floor is what it needed, the rest the tool's.
    struct Sent {
        qint64 at = 0;
        QString command;
        // Since the last character before it came: the tool's own wait.
        qint64 waitNs = 0;
    };
    QList<Sent> sent;
    QList<std::pair<qint64, qsizetype>> received;
    QObject::connect(&w.link(), &ReaderLink::replyGathered, &w, [&] {
        const double ms = double(nowNs() - w.link().lastReceiveNs()) / 1e6 - gatheredAfterMs;
        latencies.append(ms);
    });
    QObject::connect(&w.link(), &ReaderLink::bytesReceived, &w, [&](const QByteArray &bytes) {
        received.append({nowNs(), bytes.size()});
    });
    // A departing tag's report comes while the conveyor brings the next one: not in the floor.
    QList<qint64> departures;
    QObject::connect(&w.session(), &Session::arrived, &w,
                     [&](const QString &, const Reply::Parsed &reply) {
                         if (reply.kind == Reply::Kind::Message && reply.code == Reply::kOutOfRange)
                             departures.append(nowNs());
                     });
    // The reply that let a command go is the last one in when it goes (its handler sends it).
    QObject::connect(&w.link(), &ReaderLink::commandSent, &w, [&](const QString &command) {
        const qint64 now = nowNs();
        const qint64 replyEnd = w.link().lastReceiveNs();
        sent.append({now, command, replyEnd ? now - replyEnd : 0});
    });
    QObject::connect(&w.autoWriter(), &AutoWriter::tagEnded, &w,
                     [&](const AutoLoop::TagOutcome &t) {
                         completions.append(nowNs());
                         cycles.append(double(t.endMs - t.startMs));
                         if (t.result != AutoLoop::TagOutcome::Result::Complete)
                             ++unclean;
                     });
    // Each command of the loop against the end of the interval that gated it: the quiet
    // line after the reply it follows, or a Timer_Auto tick, whichever ended last.
    QMap<QString, QList<double>> stepDelays;
    QObject::connect(&w.link(), &ReaderLink::commandSent, &w, [&](const QString &command) {
        const qint64 now = nowNs();
        const qint64 quietEnd = w.link().lastReceiveNs() + qint64(gatheredAfterMs * 1e6);
        const qint64 tickEnd = w.autoWriter().stepTimerStartedNs()
                               + qint64(w.autoWriter().loop().Timer_Auto().interval()) * 1000000;
        const bool tick = tickEnd <= now && tickEnd > quietEnd;
        const qint64 gateEnd = tick ? tickEnd : quietEnd;
        const QString kind = command.left(3)
                             + (tick      ? QStringLiteral(" after a tick")
                                : replies ? QStringLiteral(" after the reply's line end")
                                          : QStringLiteral(" after the quiet line"));
        stepDelays[kind].append(double(now - gateEnd) / 1e6);
    });

    box.command(QStringLiteral("conveyor on %1").arg(r.gap));
    // A plain event loop: QTest::qWaitFor sleeps 10 ms between turns, which would be measured.
    QEventLoop loop;
    QTimer::singleShot(r.tags * 10000 + 10000, &loop, &QEventLoop::quit);
    QObject::connect(&w.autoWriter(), &AutoWriter::tagEnded, &loop, [&] {
        if (completions.size() >= r.tags)
            loop.quit();
    });
    // The loop may stop itself (failures in a row): the run ends there.
    QObject::connect(&w.autoWriter().loop(), &ProductionLoop::switched, &loop, [&](bool on) {
        if (!on)
            loop.quit();
    });
    loop.exec();
    if (w.autoWriter().loop().running())
        w.autoPanel().autoButton()->click();
    if (completions.size() < 2)
        return r.tags;
    unclean += int(r.tags - completions.size());

    const double periodMs
        = double(completions.last() - completions.first()) / 1e6 / double(completions.size() - 1);
    *perMinute = 60000.0 / periodMs;
    if (!r.details)
        return qMax(unclean, 0);
    // Within the measured tags: what the box did, what the wire carried, what the tool waited.
    const qint64 from = completions.first();
    const qint64 to = completions.last();
    const auto inside = [&](qint64 at) {
        return at > from && at <= to;
    };
    const double measured = double(completions.size() - 1);
    const BoxEngine::Delays delays;
    double boxTotalMs = 0;
    double commandChars = 0;
    double waitMs = 0;
    // The conveyor starts when the box hears "SB1": its answer goes while the tag leaves.
    int buzzers = 0;
    for (const Sent &c : sent) {
        if (!inside(c.at))
            continue;
        if (c.command == QLatin1String("SB1"))
            ++buzzers;
        else
            boxTotalMs += boxMs(delays, c.command);
        commandChars += double(c.command.size() + 2);
        waitMs += double(c.waitNs) / 1e6;
    }
    double answerChars = 0;
    for (const auto &[at, size] : received) {
        if (inside(at))
            answerChars += double(size);
    }
    // Each departure's report and each answer to "SB1" (ten characters and a line end).
    const auto departed = std::count_if(departures.cbegin(), departures.cend(), inside);
    answerChars -= 12.0 * double(departed + buzzers);
    // The conveyor takes a finished tag away and brings the next; the box reads its ID.
    const double conveyorMs = VirtualBox::kConveyorLeaveMs + r.gap + delays.read;
    const double linkFloorMs = (boxTotalMs + charsMs(int(answerChars))) / measured + conveyorMs;
    const double commandsMs = charsMs(int(commandChars)) / measured;
    double meanCycle = 0;
    for (double c : cycles)
        meanCycle += c;
    meanCycle /= double(cycles.size());
    std::printf("tags written            %lld (%s)\n", qlonglong(completions.size()),
                r.uidOnly ? "Auto Set UID + inc"
                          : "Auto Set UID + inc, blocks 3-6, password, lock");
    std::printf("pace                    %s: tick %d ms, first command %d ms after the report\n",
                AutoLoop::paceName(r.pace), r.stepMs, r.firstMs);
    std::printf("tags per minute         %.1f\n", *perMinute);
    if (!replies && !r.uidOnly) {
        const double floor = floorMs(BoxEngine::Delays{}, r.gap, r.stepMs, r.firstMs);
        std::printf("period per tag          %.0f ms (the fixed intervals' floor %.0f ms, "
                    "measured/floor %.2f)\n",
                    periodMs, floor, periodMs / floor);
    } else {
        std::printf("period per tag          %.0f ms\n", periodMs);
    }
    std::printf("link floor              %.0f ms (measured/floor %.2f): the box's processing of "
                "the commands sent %.0f ms, the answers' characters at 9600 baud %.0f ms, the "
                "conveyor %.0f ms (from \"SB1\": departure, gap, the next tag's report)\n",
                linkFloorMs, periodMs / linkFloorMs, boxTotalMs / measured,
                charsMs(int(answerChars)) / measured, conveyorMs);
    std::printf("the tool's own waits    %.0f ms a tag (before each command, since the reply "
                "before it was complete)\n",
                waitMs / measured);
    std::printf("a 9600-baud reader      adds the commands' characters, %.0f ms a tag (the "
                "virtual box hears a command at once): floor %.0f ms, %.1f tags a minute\n",
                commandsMs, linkFloorMs + commandsMs, 60000.0 / (linkFloorMs + commandsMs));
    std::printf("mean cycle per tag      %.0f ms (from the tag's report to completion)\n",
                meanCycle);
    std::printf("reply interpretation    median %.2f ms, worst %.2f ms (after %s)\n",
                percentile(latencies, 0.5), percentile(latencies, 1.0),
                replies ? "its line end" : "the quiet line");
    std::printf("step delay after its gating interval (median / worst, ms):\n");
    for (auto it = stepDelays.cbegin(); it != stepDelays.cend(); ++it)
        std::printf("  %-32s %6.2f / %6.2f  (%lld sent)\n", qPrintable(it.key()),
                    percentile(it.value(), 0.5), percentile(it.value(), 1.0),
                    qlonglong(it.value().size()));
    return qMax(unclean, 0);
}

// The defaults, then ever shorter ticks (the first command two ticks after the report), until
// a run of `tags` no longer completes every tag.
int findShortest(Run r)
{
    const QList<int> steps{Timing::kAutoStepMs, 200, 150, 100, 75, 50};
    std::optional<std::pair<Run, double>> shortest;
    int next = 1;
    for (int step : steps) {
        r.stepMs = step;
        r.firstMs = 2 * step;
        r.details = false;
        r.firstUid = QStringLiteral("%1").arg(next, 10, 10, QChar(u'0'));
        next += r.tags + 100;
        double perMinute = 0;
        const std::optional<int> unclean = runOnce(r, &perMinute);
        if (!unclean)
            return 1;
        std::printf("tick %4d ms, first command %4d ms: %6.1f tags per minute, %d of %d tags "
                    "not complete\n",
                    r.stepMs, r.firstMs, perMinute, *unclean, r.tags);
        std::fflush(stdout);
        if (*unclean > 0)
            break;
        shortest = std::make_pair(r, perMinute);
    }
    if (!shortest)
        return 1;
    std::printf("shortest clean setting: tick %d ms, first command %d ms, %.1f tags per minute\n",
                shortest->first.stepMs, shortest->first.firstMs, shortest->second);
    return 0;
}

int main(int argc, char *argv[])
{
    BenchApplication bench(argc, argv);
    QApplication &app = *bench.app;
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Tags to write."),
                                        QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption gapOption(QStringLiteral("gap"),
                                       QStringLiteral("Conveyor gap between tags in ms."),
                                       QStringLiteral("ms"), QStringLiteral("100"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Production record to use (a file or postgresql://...); also times "
                       "reserving and recording tags on it directly."),
        QStringLiteral("file|uri"));
    const QCommandLineOption stepOption(QStringLiteral("step-ms"),
                                        QStringLiteral("The loop's tick (a job's timing.stepMs)."),
                                        QStringLiteral("ms"), QString::number(Timing::kAutoStepMs));
    const QCommandLineOption firstOption(
        QStringLiteral("first-ms"),
        QStringLiteral("From a tag's report to its first command (timing.firstCommandMs); "
                       "default two ticks."),
        QStringLiteral("ms"));
    const QCommandLineOption paceOption(
        QStringLiteral("pace"),
        QStringLiteral("The loop's pace (a job's timing.pace): ticks or replies; at replies the "
                       "first command comes 100 ms after the report unless --first-ms says."),
        QStringLiteral("pace"), QStringLiteral("ticks"));
    const QCommandLineOption uidOnlyOption(QStringLiteral("uid-only"),
                                           QStringLiteral("Write the UID alone."));
    const QCommandLineOption shortestOption(
        QStringLiteral("shortest"),
        QStringLiteral("Run the defaults and ever shorter ticks, --tags tags each, and name the "
                       "shortest that completes every tag."));
    parser.addOptions({tagsOption, gapOption, recordOption, stepOption, firstOption, paceOption,
                       uidOnlyOption, shortestOption});
    parser.process(app);
    if (parser.isSet(recordOption))
        ProductionRecord::setConfiguredPath(parser.value(recordOption));
    Run r;
    r.tags = parser.value(tagsOption).toInt();
    r.gap = parser.value(gapOption).toInt();
    r.stepMs = parser.value(stepOption).toInt();
    const std::optional<AutoLoop::Options::Pace> pace
        = AutoLoop::paceNamed(parser.value(paceOption));
    if (!pace) {
        std::fprintf(stderr, "--pace is ticks or replies\n");
        return 2;
    }
    r.pace = *pace;
    r.uidOnly = parser.isSet(uidOnlyOption);
    const int defaultFirst = r.pace == AutoLoop::Options::Pace::Replies
                                 ? AutoLoop::kRepliesFirstCommandMs
                                 : 2 * r.stepMs;
    r.firstMs = parser.isSet(firstOption) ? parser.value(firstOption).toInt() : defaultFirst;
    if (parser.isSet(shortestOption))
        return findShortest(r);
    double perMinute = 0;
    const std::optional<int> unclean = runOnce(r, &perMinute);
    if (!unclean || *unclean > 0) {
        std::fprintf(stderr, "%d of %d tags were not completed\n", unclean.value_or(r.tags),
                     r.tags);
        return 1;
    }
    if (parser.isSet(recordOption))
        return timeRecording(parser.value(recordOption));
    return 0;
}
