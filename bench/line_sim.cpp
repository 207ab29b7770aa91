// Runs the line simulation for any number of tags and prints what happened: tags per second,
// simulated time, each outcome and fault, and the promises broken (with the shortest script).

#include "linesim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The production loop on a simulated line."));
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Tags in all."),
                                        QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("First seed."),
                                        QStringLiteral("s"), QStringLiteral("1"));
    const QCommandLineOption seedsOption(
        QStringList{QStringLiteral("seeds")},
        QStringLiteral("Runs this many seeds of --tags tags each: the seed, then the seed plus "
                       "1000000, plus 2000000, and so on, so no two share a line."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption faultOption(QStringLiteral("faults"),
                                         QStringLiteral("Share of answers with a fault."),
                                         QStringLiteral("rate"), QStringLiteral("0.05"));
    parser.addOptions({tagsOption, seedOption, seedsOption, faultOption});
    parser.process(app);
    const int tags = parser.value(tagsOption).toInt();
    const quint64 seed = parser.value(seedOption).toULongLong();
    const double rate = parser.value(faultOption).toDouble();
    const int seeds = qMax(1, parser.value(seedsOption).toInt());
    // Lines of 10,000 tags, each with its own seed, options and record file.
    constexpr int kLine = 10000;
    QTemporaryDir dir;
    LineSim::Result total;
    int violations = 0;
    // Per pace: tags, simulated milliseconds, broken promises.
    struct PaceTotal {
        int tags = 0;
        qint64 ms = 0;
        int violations = 0;
    };
    QMap<QString, PaceTotal> paces;
    QElapsedTimer clock;
    clock.start();
    for (int k = 0; k < seeds; ++k) {
        const quint64 first = seed + quint64(k) * 1000000;
        std::printf("seed %llu, %d tags\n", first, tags);
        std::fflush(stdout);
        for (int done = 0, n = 0; done < tags; done += kLine, ++n) {
            LineSim::Config c;
            c.seed = first + quint64(n);
            c.tags = qMin(kLine, tags - done);
            c.faultRate = rate;
            c.recordPath = dir.filePath(QStringLiteral("line.sqlite"));
            const LineSim::Result r = LineSim::run(c);
            total.tags += r.tags;
            total.simulatedMs += r.simulatedMs;
            PaceTotal &p = paces[r.pace];
            p.tags += r.tags;
            p.ms += r.simulatedMs;
            p.violations += r.violation.isEmpty() ? 0 : 1;
            for (auto it = r.outcomes.cbegin(); it != r.outcomes.cend(); ++it)
                total.outcomes[it.key()] += it.value();
            for (auto it = r.faults.cbegin(); it != r.faults.cend(); ++it)
                total.faults[it.key()] += it.value();
            total.unlockedFromList += r.unlockedFromList;
            total.unlockListFailed += r.unlockListFailed;
            if (r.violation.isEmpty())
                continue;
            ++violations;
            // The whole line, to replay with LINESIM_SCRIPT if the shortest hides too much.
            const QString kept = QStringLiteral("line_sim-seed%1.script").arg(c.seed);
            if (QFile f(kept); f.open(QIODevice::WriteOnly))
                f.write(r.script.join(u'\n').toUtf8() + '\n');
            std::printf("seed %llu: %s (the whole line is in %s)\nshortest script:\n%s\n", c.seed,
                        qPrintable(r.violation), qPrintable(kept),
                        qPrintable(LineSim::shrink(r.script, c.recordPath).join(u'\n')));
            std::fflush(stdout);
        }
    }
    const double seconds = double(clock.elapsed()) / 1000.0;
    std::printf("tags                %d in %.1f s: %.0f tags a second\n", total.tags, seconds,
                total.tags / seconds);
    std::printf("simulated time      %.1f h: %.0f simulated seconds a second, %.2f tags a "
                "simulated second\n",
                double(total.simulatedMs) / 3.6e6, double(total.simulatedMs) / 1000.0 / seconds,
                total.tags / (double(total.simulatedMs) / 1000.0));
    for (auto it = total.outcomes.cbegin(); it != total.outcomes.cend(); ++it)
        std::printf("outcome %-20s %d\n", qPrintable(it.key()), it.value());
    for (auto it = total.faults.cbegin(); it != total.faults.cend(); ++it)
        std::printf("fault %-22s %d\n", qPrintable(it.key()), it.value());
    std::printf("incoming            %d protected tags opened by the unlock list, %d by no "
                "entry of it\n",
                total.unlockedFromList, total.unlockListFailed);
    for (auto it = paces.cbegin(); it != paces.cend(); ++it)
        std::printf("pace %-8s %8d tags, %.2f tags a simulated second, %d broken promises\n",
                    qPrintable(it.key()), it->tags, it->tags / (double(it->ms) / 1000.0),
                    it->violations);
    std::printf("lines with a broken promise: %d\n", violations);
    return violations == 0 ? 0 : 1;
}
