// One job run twice against a virtual box in conveyor mode, by the window and by
// "kestrel-rfid produce", and how fast each goes; and how soon the command line's first
// command reaches the box.

#include "benchsupport.h"
#include "gui/uid/autowriter.h"
#include "station/link/readerlink.h"
#include "station/record/productionrecord.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

const QByteArray kJob = R"({ "format": "kestrel-rfid-job", "version": 1,
  "uid": { "write": true, "first": "0000000001", "step": "0000000001", "base": "hex",
           "increment": true },
  "blocks": { "3": "33333333", "4": "44444444", "5": "55555555", "6": "66666666" },
  "password": { "write": true }, "lock": true })";
const QString kPassword = QStringLiteral("5EC12E7A");

double perMinute(const QList<qint64> &endsMs)
{
    if (endsMs.size() < 2)
        return 0;
    return 60000.0 * double(endsMs.size() - 1) / double(endsMs.last() - endsMs.first());
}

// The window's run: the job opened in its Automatically frame.
std::optional<double> windowRun(const QString &job, int tags)
{
    BoxProcess box;
    if (!box.start())
        return std::nullopt;
    MainWindow w;
    w.show();
    w.start();
    if (!QTest::qWaitFor([&] { return !w.ports().scanner().isScanning(); }, 5000))
        return std::nullopt;
    w.ports().connectButton()->click();
    if (!QTest::qWaitFor([&] { return !w.state().QuietStart; }, 5000) || !w.state().PortConnected)
        return std::nullopt;
    QString error;
    if (!w.autoWriter().openJob(job, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return std::nullopt;
    }
    w.blocks().setBlock(7, kPassword);
    QList<qint64> ends;
    QEventLoop loop;
    QObject::connect(&w.autoWriter(), &AutoWriter::tagEnded, &loop,
                     [&](const AutoLoop::TagOutcome &t) {
                         ends << t.endMs;
                         if (ends.size() >= tags)
                             loop.quit();
                     });
    QTimer::singleShot(tags * 10000 + 10000, &loop, &QEventLoop::quit);
    box.command(QStringLiteral("conveyor on"));
    w.autoPanel().autoButton()->click();
    loop.exec();
    w.autoPanel().autoButton()->click();
    if (ends.size() < tags)
        return std::nullopt;
    return perMinute(ends);
}

struct HeadlessFigures {
    double tagsPerMinute = 0;
    qint64 firstCommandMs = 0;
    // Tags complete, each UID read back as written and every write confirmed.
    int verified = 0;
};

// The command line's run of the same job, the box's own log telling when the first command
// arrived.
std::optional<HeadlessFigures> headlessRun(const QString &job, int tags, const QString &record)
{
    QTemporaryDir ports;
    QProcess box;
    box.start(QStringLiteral(KESTREL_BOX_PATH),
              {"--ports-dir", ports.path(), "--run", "conveyor on"});
    if (!box.waitForStarted()
        || !QTest::qWaitFor([&] { return QFile::exists(ports.filePath("COM1")); }, 5000))
        return std::nullopt;
    QElapsedTimer clock;
    qint64 firstCommandMs = -1;
    QByteArray boxLog;
    QObject::connect(&box, &QProcess::readyReadStandardOutput, &box, [&] {
        boxLog += box.readAllStandardOutput();
        if (firstCommandMs < 0 && boxLog.contains("<- "))
            firstCommandMs = clock.elapsed();
    });
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTREL_PORTS_DIR"), ports.path());
    env.insert(QStringLiteral("KESTREL_PASSWORD"), kPassword);
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    tool.setProcessEnvironment(env);
    clock.start();
    tool.start(QStringLiteral(KESTREL_TOOL_PATH),
               {"produce", "--port", "01", "--job", job, "--count", QString::number(tags),
                "--record", record, "--events", "-"});
    if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; },
                         tags * 10000 + 10000))
        qWarning("produce did not end within %d s", tags * 10 + 10);
    box.write("quit\n");
    box.waitForFinished(3000);
    QList<qint64> ends;
    int verified = 0;
    for (const QByteArray &line : tool.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o[QStringLiteral("event")].toString() != QLatin1String("tag"))
            continue;
        ends << QDateTime::fromString(o[QStringLiteral("ended")].toString(), Qt::ISODateWithMs)
                    .toMSecsSinceEpoch();
        const QJsonArray writes = o[QStringLiteral("writes")].toArray();
        const bool allOk = std::all_of(writes.begin(), writes.end(), [](const QJsonValue &w) {
            return w.toObject()[QStringLiteral("ok")].toBool();
        });
        if (o[QStringLiteral("result")].toString() == QLatin1String("complete")
            && o[QStringLiteral("uidConfirmed")].toBool() && allOk && !writes.isEmpty())
            ++verified;
    }
    if (ends.size() < tags) {
        std::fprintf(stderr, "the command line ended %lld tags: %s\n", qlonglong(ends.size()),
                     tool.readAllStandardError().constData());
        return std::nullopt;
    }
    return HeadlessFigures{perMinute(ends), firstCommandMs, verified};
}

} // namespace

int main(int argc, char *argv[])
{
    BenchApplication bench(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Tags per run."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption paceOption(QStringLiteral("pace"),
                                        QStringLiteral("The job's timing.pace: ticks or replies."),
                                        QStringLiteral("pace"), QStringLiteral("ticks"));
    parser.addOptions({tagsOption, paceOption});
    parser.process(*bench.app);
    const QString pace = parser.value(paceOption);
    if (!AutoLoop::paceNamed(pace)) {
        std::fprintf(stderr, "--pace is ticks or replies\n");
        return 2;
    }
    const int tags = qMax(2, parser.value(tagsOption).toInt());
    QTemporaryDir dir;
    const QString job = dir.filePath(QStringLiteral("job.json"));
    QFile out(job);
    QByteArray text = kJob;
    text.insert(text.lastIndexOf('}'), R"(, "timing": {"pace": ")" + pace.toLatin1() + "\"}");
    if (!out.open(QIODevice::WriteOnly) || out.write(text) < 0)
        return 1;
    out.close();
    ProductionRecord::setConfiguredPath(dir.filePath(QStringLiteral("window.sqlite")));
    const std::optional<double> window = windowRun(job, tags);
    const std::optional<HeadlessFigures> headless
        = headlessRun(job, tags, dir.filePath(QStringLiteral("headless.sqlite")));
    if (!window || !headless) {
        std::fprintf(stderr, "a run did not finish\n");
        return 1;
    }
    std::printf("tags per run            %d (Auto Set UID + inc, blocks 3-6, password, lock), "
                "pace %s\n",
                tags, qPrintable(pace));
    std::printf("window                  %.1f tags per minute\n", *window);
    std::printf("produce                 %.1f tags per minute (%+.2f %%)\n",
                headless->tagsPerMinute, 100.0 * (headless->tagsPerMinute / *window - 1.0));
    std::printf("first command           %lld ms after produce started (target < 300 ms)\n",
                headless->firstCommandMs);
    std::printf("produce verified        %d of %d tags (complete, UID read back, every write "
                "confirmed)\n",
                headless->verified, tags);
    return headless->verified == tags ? 0 : 1;
}
