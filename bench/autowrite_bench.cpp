// Runs the production loop against a virtual box in conveyor mode and prints how fast it
// goes, next to the floor that the fixed intervals, the wire and the box allow.

#include "benchsupport.h"
#include "box/boxengine.h"
#include "box/virtualbox.h"
#include "core/timing.h"
#include "link/portpanel.h"
#include "link/portscanner.h"
#include "link/readerlink.h"
#include "tagops/blockpanel.h"
#include "ui/mainwindow.h"
#include "ui/maskedfield.h"
#include "ui/statusline.h"
#include "uid/autopanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

namespace {

double charsMs(int count)
{
    return count * double(VirtualBox::kCharNs) / 1e6;
}

// The shortest period per tag for Auto Set UID, blocks 3-6, password and lock: every
// interval the loop waits for, back to back, with nothing else costing time.
double floorMs(const BoxEngine::Delays &d, int gapMs)
{
    const double reply = charsMs(12) + Timing::kQuietLineMs;
    const double blockWrite = charsMs(13) + d.write + reply;
    double ms = 2 * Timing::kAutoStepMs;
    ms += charsMs(15) + d.uid + reply;
    ms += Timing::kAutoStepMs;
    ms += 5 * blockWrite;
    ms += blockWrite;
    const double nextArrival = charsMs(5) + 50 + gapMs + d.read + charsMs(12);
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
    parser.addOptions({tagsOption, gapOption});
    parser.process(app);
    const int tags = parser.value(tagsOption).toInt();
    const int gap = parser.value(gapOption).toInt();

    BoxProcess box;
    if (!box.start())
        return 1;
    MainWindow w;
    if (!startProductionRun(w))
        return 1;

    QList<double> latencies;
    QList<double> latenciesNoPause;
    QList<double> cycles;
    QList<qint64> completions;
    qint64 cycleStart = -1;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&w.link(), &ReaderLink::replyGathered, &w, [&] {
        const qint64 now = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
        const double ms = double(now - w.link().lastReceiveNs()) / 1e6 - Timing::kQuietLineMs;
        latencies.append(ms);
        if (w.status().message() != QLatin1String("No Precent!")
            && !w.status().message().startsWith(QLatin1String(" Auto")))
            latenciesNoPause.append(ms);
        if (w.state().AutoStep == 1 && cycleStart < 0)
            cycleStart = clock.elapsed();
        if (w.state().TagHandled && cycleStart >= 0) {
            cycles.append(double(clock.elapsed() - cycleStart));
            completions.append(clock.elapsed());
            cycleStart = -1;
        }
    });

    box.command(QStringLiteral("conveyor on %1").arg(gap));
    const bool done
        = QTest::qWaitFor([&] { return completions.size() >= tags; }, tags * 10000 + 10000);
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
    std::printf("  without the 180 ms no-tag pause: median %.2f ms, worst %.2f ms\n",
                percentile(latenciesNoPause, 0.5), percentile(latenciesNoPause, 1.0));
    return 0;
}
