// Fills a production record with many tags and prints what the record costs: a tag's row
// as the loop writes it, the duplicate lookup, opening the Records window, a CSV export.

#include "benchsupport.h"
#include "core/uidlist.h"
#include "gui/record/recordswindow.h"
#include "station/record/linefigures.h"
#include "station/record/listloader.h"
#include "station/record/productionrecord.h"
#include "station/record/recorder.h"
#include "station/record/recordthread.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>

namespace {

AutoLoop::TagOutcome typicalTag(qint64 uid)
{
    AutoLoop::TagOutcome t;
    t.serial = int(uid);
    t.result = AutoLoop::TagOutcome::Result::Complete;
    t.uidAsked = t.uidRead = QStringLiteral("%1").arg(uid, 10, 10, QLatin1Char('0'));
    t.uidConfirmed = true;
    for (int n = 3; n <= 7; ++n) {
        AutoLoop::Write w;
        w.step = n == 7 ? AutoLoop::Step::Password : AutoLoop::Step(n + 3);
        w.block = n;
        w.sent = w.readBack = QString(8, QChar(u'0' + n));
        w.answered = w.ok = true;
        t.writes << w;
    }
    t.startMs = t.endMs = QDateTime::currentMSecsSinceEpoch();
    return t;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// A UID list of n IDs made ready as a batch makes it ready (loaded in steps on the record's
// thread, then its free IDs found), while the record's thread is asked something every 100 ms
// as a running loop asks it: how long the list takes, and how long those answers waited.
int listFigures(int n)
{
    QTemporaryDir dir;
    const QString listFile = dir.filePath(QStringLiteral("ids.csv"));
    {
        QFile f(listFile);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QByteArray text;
        text.reserve(qsizetype(n) * 11);
        for (int i = 0; i < n; ++i)
            text += QByteArray::number(0x1000000000ULL + quint64(i) * 3, 16).toUpper() + '\n';
        f.write(text);
    }
    QElapsedTimer clock;
    clock.start();
    QString error;
    // Past the size a list file may have, the IDs are read from memory.
    const bool fits = QFileInfo(listFile).size() <= UidList::kMaxBytes;
    std::optional<UidList> parsed = UidList::load(listFile, 1, true, &error);
    if (!fits) {
        QFile f(listFile);
        parsed = f.open(QIODevice::ReadOnly) ? UidList::parse(f.readAll(), 1, true, &error)
                                             : std::nullopt;
    }
    if (!parsed) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("UID list                %d IDs (%.1f MB) read in %.1f s%s\n", n,
                QFileInfo(listFile).size() / 1e6, clock.elapsed() / 1000.0,
                fits ? "" : " (from memory: larger than a list file may be)");
    const auto list = std::make_shared<const UidList>(std::move(*parsed));

    RecordThread writer(dir.filePath(QStringLiteral("production.sqlite")));
    ListLoader loader(writer);
    ProductionRecord::Batch station;
    station.station = QStringLiteral("bench");
    station.port = QStringLiteral("/dev/ttyUSB0");
    QList<double> waits;
    QTimer ping;
    ping.setInterval(100);
    QObject::connect(&ping, &QTimer::timeout, &writer, [&] {
        QElapsedTimer asked;
        asked.start();
        writer.ask<bool>([](ProductionRecord &) { return true; },
                         [&waits, asked](bool) { waits << asked.nsecsElapsed() / 1e6; });
    });
    const auto ready = [&](const char *what) {
        waits.clear();
        qint64 loadedMs = -1;
        QString failed;
        bool done = false;
        const QMetaObject::Connection p = QObject::connect(&loader, &ListLoader::progress, &writer,
                                                           [&](const QString &, qint64 at, qint64) {
                                                               if (loadedMs < 0 && at >= n)
                                                                   loadedMs = clock.elapsed();
                                                           });
        const QMetaObject::Connection f
            = QObject::connect(&loader, &ListLoader::finished, &writer, [&](const QString &e) {
                  failed = e;
                  done = true;
              });
        clock.restart();
        ping.start();
        loader.load(list, station);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ping.stop();
        QObject::disconnect(p);
        QObject::disconnect(f);
        if (!failed.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(failed));
            return false;
        }
        std::printf("%s loaded in %.1f s, free IDs found in %.1f s more (%lld free)\n", what,
                    qMax<qint64>(loadedMs, 0) / 1000.0, (clock.elapsed() - loadedMs) / 1000.0,
                    loader.freeCount());
        std::printf("  the record's answers to a running loop meanwhile: median %.1f ms, "
                    "worst %.1f ms (%lld asked; the loop waits %d ms)\n",
                    median(waits),
                    waits.isEmpty() ? 0 : *std::max_element(waits.begin(), waits.end()),
                    qint64(waits.size()), Recorder::kAnswerMs);
        return true;
    };
    if (!ready("first time           ") || !ready("again (already in)   "))
        return 1;
    // The batch's first UID: reserved and marked, as the guard asks before the first write.
    const std::optional<QList<int>> free = loader.take(*list, station.port);
    const QString first = list->ids()[free->first()].text;
    bool answered = false;
    clock.restart();
    writer.ask<bool>(
        [first, station](ProductionRecord &r) {
            return r.reserve(first, true, station, QStringLiteral("bench")).kind
                       == ProductionRecord::Reservation::Kind::Reserved
                   && r.arm(first, QStringLiteral("bench"));
        },
        [&answered](bool) { answered = true; });
    while (!answered)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("first tag's UID         reserved and marked %.1f ms after the list was ready\n",
                clock.nsecsElapsed() / 1e6);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchApplication bench(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Rows to fill."),
                                        QStringLiteral("n"), QStringLiteral("100000"));
    parser.addOption(tagsOption);
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("Make a UID list of n IDs ready instead."),
                                        QStringLiteral("n"));
    parser.addOption(listOption);
    parser.process(*bench.app);
    if (parser.isSet(listOption))
        return listFigures(parser.value(listOption).toInt());
    const int tags = parser.value(tagsOption).toInt();

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("production.sqlite"));
    ProductionRecord record(file);
    if (!record.isWritable()) {
        std::fprintf(stderr, "%s\n", qPrintable(record.problem()));
        return 1;
    }
    ProductionRecord::Batch info;
    info.station = QStringLiteral("bench");
    info.port = QStringLiteral("/dev/ttyUSB0");
    // The filled tags are an earlier batch that stopped, as a year of a line's batches are.
    const QString earlier = *record.beginBatch(info);
    QSqlQuery id(record.database());
    id.prepare(QStringLiteral("SELECT id FROM batch WHERE uuid = ?"));
    id.addBindValue(earlier);
    if (!id.exec() || !id.next())
        return 1;
    const qint64 batchId = id.value(0).toLongLong();
    QElapsedTimer clock;
    clock.start();
    // Filled in one statement; the loop's own way of writing a tag is timed below.
    QSqlQuery fill(record.database());
    fill.prepare(QStringLiteral(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < ?) "
        "INSERT INTO tag (batch_id, started, ended, uid_asked, uid_read, uid_confirmed, base, "
        "writes, password_written, password_fingerprint, locked, retries, result, detail) "
        "SELECT ?, '2026-12-07T10:00:00.000Z', '2026-12-07T10:00:01.500Z', "
        "printf('%010d', i), printf('%010d', i), 1, 'HEX', "
        "'3:33333333=33333333 4:44444444=44444444 7:(password)=ok', 1, '1A2B3C4D', 1, 0, "
        "'complete', '' FROM n"));
    fill.addBindValue(tags);
    fill.addBindValue(batchId);
    if (!fill.exec()) {
        std::fprintf(stderr, "%s\n", qPrintable(fill.lastError().text()));
        return 1;
    }
    record.endBatch(earlier);
    std::printf("filled                  %d tags in %.1f s\n", tags, clock.elapsed() / 1000.0);
    const QString batch = *record.beginBatch(info);

    // As the loop writes them: a row when the first command leaves, completed at the end.
    QList<double> perTag;
    for (int i = 0; i < 200; ++i) {
        const AutoLoop::TagOutcome t = typicalTag(tags + i);
        QElapsedTimer one;
        one.start();
        record.endTag(*record.beginTag(batch, t), batch, t);
        perTag << one.nsecsElapsed() / 1e6;
    }
    std::printf("recording one tag       median %.2f ms, worst %.2f ms (two commits)\n",
                median(perTag), *std::max_element(perTag.begin(), perTag.end()));

    // Half of the UIDs are on a tag already (found, nothing written), half are new (held).
    QList<double> lookups;
    for (int i = 0; i < 200; ++i) {
        const QString uid = QStringLiteral("%1").arg((i * 7919) % (2 * tags), 10, 10, QChar(u'0'));
        QElapsedTimer one;
        one.start();
        record.reserve(uid, false, info, batch);
        lookups << one.nsecsElapsed() / 1e6;
    }
    std::printf("UID reservation         median %.3f ms, worst %.3f ms\n", median(lookups),
                *std::max_element(lookups.begin(), lookups.end()));

    // The Line tab asks this every 5 s while shown: the shift by when tags ended, on its
    // index, however many tags older shifts left.
    clock.restart();
    const LineFigures shift
        = LineFigures::read(record, QDateTime::currentMSecsSinceEpoch() - LineFigures::kShiftMs);
    std::printf("Line tab, last shift    %lld ms (%d tags of %d)\n", clock.elapsed(),
                shift.total().tags, tags + 200);

    clock.restart();
    RecordsWindow window(record.path());
    window.show();
    const auto settle = [&window] {
        while (window.reading())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    settle();
    std::printf("Records window          open and filled in %lld ms (%d tags listed lazily)\n",
                clock.elapsed(), window.tagModel()->rowCount());
    clock.restart();
    window.uidField()->setText(QStringLiteral("%1").arg(tags / 2, 10, 10, QChar(u'0')));
    settle();
    std::printf("  finding a whole UID   %lld ms (%d tag)\n", clock.elapsed(),
                window.tagModel()->rowCount());
    window.uidField()->clear();
    settle();
    // Every row in memory is what scrolling to the end costs; past a million it is not tried.
    if (tags <= 1000000) {
        clock.restart();
        while (window.tagModel()->canFetchMore({})) {
            window.tagModel()->fetchMore({});
            settle();
        }
        std::printf("  scrolled to the end   %lld ms more (%d tags)\n", clock.elapsed(),
                    window.tagModel()->rowCount());
    }

    clock.restart();
    QString error;
    if (!record.exportCsv(dir.filePath(QStringLiteral("all.csv")), {}, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const qint64 exportMs = qMax<qint64>(1, clock.elapsed());
    std::printf("CSV export              %d tags in %lld ms (%.1f MB, %.0f rows a second)\n",
                tags + 200, exportMs,
                QFileInfo(dir.filePath(QStringLiteral("all.csv"))).size() / 1e6,
                (tags + 200) * 1000.0 / double(exportMs));
    return 0;
}
