// A whole shift in minutes: the production loop over many tags with the box's processing
// delays at zero, printing resident memory as it goes, and the cost of one log line at a
// small and at a large traffic log.

#include "benchsupport.h"
#include "gui/link/portpanel.h"
#include "gui/link/trafficlog.h"
#include "gui/tagops/blockpanel.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autopanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "station/link/portscanner.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <cstdio>

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Microseconds to append one reply line, and let the window show it, once `lines` lines were
// written. Events are processed as the running tool does between replies; without that,
// pending repaint regions pile up and measure the benchmark instead of the log.
double appendMicros(TrafficLog &log, int lines)
{
    log.clear();
    log.setInsertionColour(Palette::ColorGreen);
    for (int i = 0; i < lines; ++i) {
        log.insert(QStringLiteral("Recive: MsgCode:01\r\n"));
        if (i % 20 == 0)
            QCoreApplication::processEvents();
    }
    constexpr int kSamples = 300;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kSamples; ++i) {
        log.insert(QStringLiteral("Recive: 1122334455\r\n"));
        log.moveToEnd();
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    return double(clock.nsecsElapsed()) / 1e3 / kSamples;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchApplication bench(argc, argv);
    QApplication &app = *bench.app;
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Tags to write."),
                                        QStringLiteral("n"), QStringLiteral("1000"));
    parser.addOption(tagsOption);
    parser.process(app);
    const int tags = parser.value(tagsOption).toInt();

    MainWindow w;
    w.show();
    const double small = appendMicros(w.log(), 100);
    const double large = appendMicros(w.log(), 20000);
    std::printf("log line append         %.1f us at 100 lines, %.1f us at 20000 lines (x%.2f)\n",
                small, large, large / small);
    std::fflush(stdout);
    bool withinBounds = large <= 2 * small;
    w.log().clear();
    if (tags <= 0)
        return withinBounds ? 0 : 2;

    BoxProcess box;
    if (!box.start({QStringLiteral("delay settings 0"), QStringLiteral("delay read 0"),
                    QStringLiteral("delay write 0"), QStringLiteral("delay uid 0")}))
        return 1;
    if (!startProductionRun(w))
        return 1;
    // The next tag arrives after the tool's 180 ms pause at the end of a tag, as on a line.
    box.command(QStringLiteral("conveyor on 300"));

    int done = 0;
    long rssAt100 = 0;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&w.status(), &StatusLine::messageShown, &w, [&](const QString &text) {
        if (!text.startsWith(QLatin1String(" Auto Write Complete!")))
            return;
        ++done;
        if (done == 100)
            rssAt100 = residentKb();
        if (done % 100 == 0) {
            std::printf("%5d tags  %6.0f s  resident %ld kB  log %d lines\n", done,
                        double(clock.elapsed()) / 1000, residentKb(),
                        w.log().view()->document()->blockCount());
            std::fflush(stdout);
        }
    });
    const bool finished = QTest::qWaitFor([&] { return done >= tags; }, tags * 10000);
    w.autoPanel().autoButton()->click();
    if (!finished) {
        std::fprintf(stderr, "only %d tags were completed\n", done);
        return 1;
    }
    const long rssEnd = residentKb();
    if (rssAt100 > 0) {
        const double growth = 100.0 * double(rssEnd - rssAt100) / double(rssAt100);
        std::printf("resident memory         %ld kB after 100 tags, %ld kB after %d (%+.1f%%)\n",
                    rssAt100, rssEnd, done, growth);
        withinBounds = withinBounds && growth <= 10.0;
    }
    std::printf("%s\n", withinBounds ? "within bounds" : "OUT OF BOUNDS");
    return withinBounds ? 0 : 2;
}
