// Runs the production loop against a virtual box in conveyor mode and prints how fast it
// goes, next to the floor that the fixed intervals, the wire and the box allow.

#include "benchsupport.h"
#include "box/boxengine.h"
#include "box/virtualbox.h"
#include "core/timing.h"
#include "link/portpanel.h"
#include "link/portscanner.h"
#include "link/readerlink.h"
#include "record/productionrecord.h"
#include "tagops/blockpanel.h"
#include "ui/mainwindow.h"
#include "uid/autopanel.h"
#include "uid/autowriter.h"
#include "widgets/maskedfield.h"
#include "widgets/statusline.h"

#include "record/productionrecord.h"
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
double floorMs(const BoxEngine::Delays &d, int gapMs)
{
    const double reply = charsMs(12) + Timing::kQuietLineMs;
    const double blockWrite = d.write + reply;
    double ms = 2 * Timing::kAutoStepMs;
    ms += d.uid + reply;
    ms += Timing::kAutoStepMs;
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
    parser.addOptions({tagsOption, gapOption, recordOption});
    parser.process(app);
    if (parser.isSet(recordOption))
        ProductionRecord::setConfiguredPath(parser.value(recordOption));
    const int tags = parser.value(tagsOption).toInt();
    const int gap = parser.value(gapOption).toInt();

    BoxProcess box;
    if (!box.start())
        return 1;
    MainWindow w;
    if (!startProductionRun(w))
        return 1;

    QList<double> latencies;
    QList<qint64> completions;
    QList<double> cycles;
    QElapsedTimer clock;
    clock.start();
    const auto nowNs = [] {
        return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
    };
    QObject::connect(&w.link(), &ReaderLink::replyGathered, &w, [&] {
        const double ms = double(nowNs() - w.link().lastReceiveNs()) / 1e6 - Timing::kQuietLineMs;
        latencies.append(ms);
    });
    QObject::connect(&w.autoWriter(), &AutoWriter::tagEnded, &w,
                     [&](const AutoLoop::TagOutcome &t) {
                         completions.append(clock.elapsed());
                         cycles.append(double(t.endMs - t.startMs));
                     });
    // Each command of the loop against the end of the interval that gated it: the quiet
    // line after the reply it follows, or a Timer_Auto tick, whichever ended last.
    QMap<QString, QList<double>> stepDelays;
    QObject::connect(&w.link(), &ReaderLink::commandSent, &w, [&](const QString &command) {
        const qint64 now = nowNs();
        const qint64 quietEnd = w.link().lastReceiveNs() + qint64(Timing::kQuietLineMs) * 1000000;
        const qint64 tickEnd
            = w.autoWriter().stepTimerStartedNs() + qint64(Timing::kAutoStepMs) * 1000000;
        const bool tick = tickEnd <= now && tickEnd > quietEnd;
        const qint64 gateEnd = tick ? tickEnd : quietEnd;
        const QString kind
            = command.left(3)
              + (tick ? QStringLiteral(" after a tick") : QStringLiteral(" after the quiet line"));
        stepDelays[kind].append(double(now - gateEnd) / 1e6);
    });

    box.command(QStringLiteral("conveyor on %1").arg(gap));
    // A plain event loop: QTest::qWaitFor sleeps 10 ms between turns, which would be measured.
    QEventLoop loop;
    QTimer::singleShot(tags * 10000 + 10000, &loop, &QEventLoop::quit);
    QObject::connect(&w.autoWriter(), &AutoWriter::tagEnded, &loop, [&] {
        if (completions.size() >= tags)
            loop.quit();
    });
    loop.exec();
    const bool done = completions.size() >= tags;
    w.autoPanel().autoButton()->click();
    if (!done || completions.size() < 2) {
        std::fprintf(stderr, "only %lld tags were completed\n", qlonglong(completions.size()));
        return 1;
    }

    const double periodMs
        = double(completions.last() - completions.first()) / double(completions.size() - 1);
    double meanCycle = 0;
    for (double c : cycles)
        meanCycle += c;
    meanCycle /= double(cycles.size());
    const double floor = floorMs(BoxEngine::Delays{}, gap);
    std::printf("tags written            %lld (Auto Set UID + inc, blocks 3-6, password, lock)\n",
                qlonglong(completions.size()));
    std::printf("tags per minute         %.1f\n", 60000.0 / periodMs);
    std::printf("period per tag          %.0f ms (floor %.0f ms, measured/floor %.2f)\n", periodMs,
                floor, periodMs / floor);
    std::printf("mean cycle per tag      %.0f ms (from the tag's report to completion)\n",
                meanCycle);
    std::printf("reply interpretation    median %.2f ms, worst %.2f ms (after the quiet line)\n",
                percentile(latencies, 0.5), percentile(latencies, 1.0));
    std::printf("step delay after its gating interval (median / worst, ms):\n");
    for (auto it = stepDelays.cbegin(); it != stepDelays.cend(); ++it)
        std::printf("  %-32s %6.2f / %6.2f  (%lld sent)\n", qPrintable(it.key()),
                    percentile(it.value(), 0.5), percentile(it.value(), 1.0),
                    qlonglong(it.value().size()));
    if (parser.isSet(recordOption))
        return timeRecording(parser.value(recordOption));
    return 0;
}
