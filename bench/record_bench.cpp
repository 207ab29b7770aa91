// Fills a production record with many tags and prints what the record costs: a tag's row
// as the loop writes it, the duplicate lookup, opening the Records window, a CSV export.

#include "benchsupport.h"
#include "record/linefigures.h"
#include "record/productionrecord.h"
#include "record/recordswindow.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTemporaryDir>
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

} // namespace

int main(int argc, char *argv[])
{
    BenchApplication bench(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption tagsOption(QStringLiteral("tags"), QStringLiteral("Rows to fill."),
                                        QStringLiteral("n"), QStringLiteral("100000"));
    parser.addOption(tagsOption);
    parser.process(*bench.app);
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
