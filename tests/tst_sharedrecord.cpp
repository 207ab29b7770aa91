#include "boxfixture.h"
#include "gui/record/recordswindow.h"
#include "gui/ui/recordstatus.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/widgets/maskedfield.h"
#include "pgserver.h"
#include "station/record/productionrecord.h"
#include "station/record/recorder.h"
#include "stationprocess.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QSqlQueryModel>
#include <QTimer>

namespace {

// A server with the record set up by the README's script and two station logins.
bool sharedRecord(PgServer &server)
{
    QString output;
    if (!server.start(&output)) {
        qWarning("%s", qPrintable(output));
        return false;
    }
    if (!server.psql(PgServer::kAdmin, QStringLiteral(RECORD_SQL), true, &output)
        || !server.psql(PgServer::kAdmin,
                        "CREATE ROLE station1 LOGIN IN ROLE kestrel_station; "
                        "CREATE ROLE station2 LOGIN IN ROLE kestrel_station;",
                        false, &output)) {
        qWarning("%s", qPrintable(output));
        return false;
    }
    return true;
}

#define SKIP_WITHOUT_POSTGRESQL()                                                                  \
    if (PgServer::binDir().isEmpty())                                                              \
    QSKIP("the PostgreSQL server is not installed (Debian package postgresql-15)")

} // namespace

// The production record shared by several stations on a PostgreSQL server that each test
// starts for itself.
class TestSharedRecord : public QObject {
    Q_OBJECT
private slots:
    void twoStationsOnOneServerShareOneNumbering();
    void serverAwayStopsBeforeTheNextUidAndLosesNothing();
    void frozenOrReadOnlyServerStopsTheLoopAndTheWindowAnswers_data();
    void frozenOrReadOnlyServerStopsTheLoopAndTheWindowAnswers();
    void olderServerIsRefusedUntilItsOwnerUpgradesIt();
};

// Two stations start from the same UID on one server: each UID goes to exactly one tag. The
// stations' login reads everything but deletes nothing and changes only its own rows.
void TestSharedRecord::twoStationsOnOneServerShareOneNumbering()
{
    SKIP_WITHOUT_POSTGRESQL();
    PgServer server;
    QVERIFY(sharedRecord(server));
    Station first;
    Station second;
    first.start(server.uri("station1"), QStringLiteral("0000006000"), 30);
    second.start(server.uri("station2"), QStringLiteral("0000006000"), 30);
    QVERIFY(first.process.waitForFinished(180000));
    QVERIFY(second.process.waitForFinished(180000));
    QVERIFY2(first.process.exitCode() == 0, first.said().constData());
    QVERIFY2(second.process.exitCode() == 0, second.said().constData());

    QString out;
    QVERIFY2(server.psql("station1",
                         "SELECT count(*), count(DISTINCT uid_read), count(DISTINCT login) FROM "
                         "tag WHERE result = 'complete' AND uid_confirmed = 1",
                         false, &out),
             qPrintable(out));
    QCOMPARE(out.trimmed(), QStringLiteral("60|60|2"));
    // A row completed or sent twice uses up no id.
    QVERIFY(
        server.psql("station1", "SELECT max(id) - min(id) + 1 = count(*) FROM tag", false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("t"));
    // Every written UID was reserved by the station that wrote it.
    QVERIFY(server.psql("station1",
                        "SELECT count(*) FROM tag t JOIN reservation r ON r.uid = t.uid_read "
                        "AND r.login = t.login WHERE t.uid_confirmed = 1",
                        false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("60"));

    QVERIFY(!server.psql("station1", "DELETE FROM tag", false, &out));
    QVERIFY(out.contains(QStringLiteral("permission denied")));
    QVERIFY(!server.psql("station1", "DROP TABLE reservation", false, &out));
    QVERIFY(server.psql("station1", "UPDATE tag SET result = 'x' WHERE login = 'station2'", false,
                        &out));
    QVERIFY(server.psql("station1", "SELECT count(*) FROM tag WHERE result = 'x'", false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("0"));

    // The export reads the server as it reads a file, and quotes as the file's export does.
    QVERIFY(server.psql("station1",
                        R"(UPDATE tag SET detail = E'a,b \"c\"\nd' WHERE id = (SELECT min(id) )"
                        R"(FROM tag WHERE login = 'station1'))",
                        false, &out));
    QTemporaryDir dir;
    QProcess tool;
    tool.start(QStringLiteral(KESTREL_TOOL_PATH),
               {"--record", server.uri("station1"), "--export-records", dir.filePath("all.csv")});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);
    QFile csv(dir.filePath("all.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray all = csv.readAll();
    QCOMPARE(all.count("\r\n"), 61);
    QVERIFY(all.contains(",complete," + csvField(QStringLiteral("a,b \"c\"\nd")).toUtf8() + ","));
}

// The server goes away mid-run: the loop stops before its next UID write, the outcomes that
// could not be sent wait on this PC, and arrive once when the server is back.
void TestSharedRecord::serverAwayStopsBeforeTheNextUidAndLosesNothing()
{
    SKIP_WITHOUT_POSTGRESQL();
    PgServer server;
    QVERIFY(sharedRecord(server));
    BoxedWindow run;
    QVERIFY(run.begin(server.uri("station1")));
    MainWindow &w = *run.w;
    ProductionRecord record(server.uri("station1"));
    QVERIFY2(record.isWritable(), qPrintable(record.problem()));
    run.stepUidsFrom(QStringLiteral("0000007000"));
    AutoPanel &a = w.autoPanel();
    QStringList uidWrites;
    QObject::connect(&w.link(), &ReaderLink::commandSent, &w, [&](const QString &command) {
        if (command.startsWith(QLatin1String("WUX")))
            uidWrites << command.mid(3);
    });
    a.autoButton()->click();
    // A written tag leaves well after the buzzer's answer (see the frozen server's test).
    run.box.setConveyor(true, 150, 400);
    QTRY_VERIFY_WITH_TIMEOUT(run.box.departed().size() >= 2, 30000);
    server.beginStop();
    QTRY_VERIFY2_WITH_TIMEOUT(!loop(w).AutoWriteRunning, qPrintable(w.log().text().right(1500)),
                              30000);
    run.box.setConveyor(false, 30);
    QTRY_VERIFY(!run.dialogs.boxes.isEmpty());
    QCOMPARE(run.dialogs.boxes.size(), 1);
    QCOMPARE(run.dialogs.boxes[0].title, QStringLiteral("Production record"));
    QVERIFY(run.dialogs.boxes[0].text.startsWith(QStringLiteral("Production record is off: ")));
    QVERIFY(run.dialogs.boxes[0].text.contains(QStringLiteral("the loop stopped")));
    QCOMPARE(run.dialogs.boxes[0].kind, QStringLiteral("warning: Run without a record"));
    QVERIFY(!w.recordStatus().warningLabel()->isHidden());
    QTRY_VERIFY(w.recorder().spooled() > 0);
    const int written = int(uidWrites.size());

    QString out;
    QVERIFY2(server.resume(&out), qPrintable(out));
    // The record retries on its own; the spool empties and the warning goes.
    QTRY_VERIFY_WITH_TIMEOUT(w.recorder().spooled() == 0 && w.recorder().problem().isEmpty(),
                             15000);
    QTRY_VERIFY(w.recordStatus().warningLabel()->isHidden());
    QVERIFY(server.psql("station1",
                        "SELECT count(*), count(DISTINCT uuid), sum(uid_confirmed), "
                        "count(*) FILTER (WHERE result = 'in progress') FROM tag",
                        false, &out));
    const QStringList counts = out.trimmed().split(u'|');
    QCOMPARE(counts.size(), 4);
    QCOMPARE(counts[0], counts[1]);
    QCOMPARE(counts[2].toInt(), written);
    QCOMPARE(counts[3], QStringLiteral("0"));
    // No UID went out that was not reserved first.
    QVERIFY(server.psql("station1", "SELECT string_agg(uid, ',' ORDER BY uid) FROM reservation",
                        false, &out));
    const QStringList reserved = out.trimmed().split(u',');
    for (const QString &uid : uidWrites)
        QVERIFY2(reserved.contains(uid), qPrintable(uid));
    QVERIFY(
        server.psql("station1", "SELECT count(*) FROM batch WHERE stopped IS NULL", false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("0"));
    // The Records window lists the server's tags as it lists a file's.
    RecordsWindow *records = w.showRecords();
    QTRY_COMPARE(records->tagModel()->rowCount(), counts[0].toInt());
    records->close();
}

void TestSharedRecord::frozenOrReadOnlyServerStopsTheLoopAndTheWindowAnswers_data()
{
    QTest::addColumn<bool>("frozen");
    QTest::newRow("frozen") << true;
    QTest::newRow("readOnly") << false;
}

// A server that hangs (every process stopped) or takes no changes: the window goes on
// answering, the loop stops before a UID it cannot reserve, and all comes back by itself.
void TestSharedRecord::frozenOrReadOnlyServerStopsTheLoopAndTheWindowAnswers()
{
    SKIP_WITHOUT_POSTGRESQL();
    QFETCH(bool, frozen);
    PgServer server;
    QVERIFY(sharedRecord(server));
    BoxedWindow run;
    QVERIFY(run.begin(server.uri("station1")));
    MainWindow &w = *run.w;
    run.stepUidsFrom(QStringLiteral("0000008000"));
    QStringList uidWrites;
    QObject::connect(&w.link(), &ReaderLink::commandSent, &w, [&](const QString &command) {
        if (command.startsWith(QLatin1String("WUX")))
            uidWrites << command.mid(3);
    });
    w.autoPanel().autoButton()->click();
    // A written tag leaves well after the buzzer's answer: on a starved event loop the two
    // would be read as one reply, the departure missed, and no next UID asked for.
    run.box.setConveyor(true, 150, 400);
    QTRY_VERIFY_WITH_TIMEOUT(run.box.departed().size() >= 2, 30000);

    // How long the window's event loop went without running a 10 ms timer.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longestGap = qMax(longestGap, sinceTick.restart()); });
    QString out;
    if (frozen) {
        QVERIFY(server.freeze(true));
    } else {
        QVERIFY2(server.psql(PgServer::kAdmin,
                             "ALTER SYSTEM SET default_transaction_read_only = on", false, &out,
                             true),
                 qPrintable(out));
        QVERIFY(server.psql(PgServer::kAdmin, "SELECT pg_reload_conf()", false, &out, true));
    }
    sinceTick.start();
    tick.start();
    QTRY_VERIFY2_WITH_TIMEOUT(!loop(w).AutoWriteRunning, qPrintable(w.log().text().right(1500)),
                              30000);
    run.box.setConveyor(false, 30);
    QTRY_VERIFY(!run.dialogs.boxes.isEmpty());
    QVERIFY2(run.dialogs.boxes[0].text.startsWith(QStringLiteral("Production record is off: ")),
             qPrintable(run.dialogs.boxes[0].text));
    QTRY_VERIFY(!w.recordStatus().warningLabel()->isHidden());
    if (!frozen)
        QTRY_VERIFY2(w.recorder().problem().contains(QStringLiteral("read-only")),
                     qPrintable(w.recorder().problem()));
    // The Records window reads on its own thread: it opens, and says it waits.
    RecordsWindow *records = w.showRecords();
    if (frozen)
        QTRY_VERIFY2(records->statusLabel()->text().contains(QStringLiteral("Waiting for the "
                                                                            "production record")),
                     qPrintable(records->statusLabel()->text()));
    QTest::qWait(1500);
    tick.stop();
    qInfo("longest time the window did not answer: %lld ms", longestGap);
    QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));

    if (frozen) {
        QVERIFY(server.freeze(false));
    } else {
        QVERIFY(server.psql(PgServer::kAdmin, "ALTER SYSTEM RESET default_transaction_read_only",
                            false, &out));
        QVERIFY(server.psql(PgServer::kAdmin, "SELECT pg_reload_conf()", false, &out));
    }
    QTRY_VERIFY_WITH_TIMEOUT(w.recorder().spooled() == 0 && w.recorder().problem().isEmpty(),
                             20000);
    QTRY_VERIFY(w.recordStatus().warningLabel()->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(records->tagModel()->rowCount() >= 2, 20000);
    records->close();
    // Every tag once; no UID written twice, none written that was not reserved first.
    QVERIFY(server.psql("station1",
                        "SELECT count(*) = count(DISTINCT uuid), count(*) FILTER (WHERE result = "
                        "'in progress') FROM tag",
                        false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("t|0"));
    QCOMPARE(QSet<QString>(uidWrites.cbegin(), uidWrites.cend()).size(), uidWrites.size());
    QVERIFY(server.psql("station1", "SELECT string_agg(uid, ',') FROM reservation", false, &out));
    const QStringList reserved = out.trimmed().split(u',');
    for (const QString &uid : std::as_const(uidWrites))
        QVERIFY2(reserved.contains(uid), qPrintable(uid));
}

// A server's record of the version before is refused, naming the script that upgrades it;
// upgraded, it keeps a tag's traffic, and no station adds traffic as another login.
void TestSharedRecord::olderServerIsRefusedUntilItsOwnerUpgradesIt()
{
    SKIP_WITHOUT_POSTGRESQL();
    PgServer server;
    QVERIFY(sharedRecord(server));
    QString out;
    QVERIFY2(
        server.psql(PgServer::kAdmin,
                    "DROP TABLE uid_list_id; DROP TABLE uid_list; DROP INDEX tag_ended; UPDATE "
                    "meta SET value = '5' WHERE key = 'schema_version'",
                    false, &out),
        qPrintable(out));
    {
        ProductionRecord old(server.uri("station1"));
        QVERIFY(!old.isWritable());
        QVERIFY2(old.problem().contains(QStringLiteral("version 5; this tool writes version 6 "
                                                       "(its owner upgrades it with "
                                                       "record-postgresql-upgrade-6.sql)")),
                 qPrintable(old.problem()));
    }
    QVERIFY2(server.psql(PgServer::kAdmin, QStringLiteral(RECORD_UPGRADE_SQL), true, &out),
             qPrintable(out));
    // Run twice, it changes nothing.
    QVERIFY(!server.psql(PgServer::kAdmin, QStringLiteral(RECORD_UPGRADE_SQL), true, &out));
    QVERIFY2(out.contains(QStringLiteral("not of version 5")), qPrintable(out));

    ProductionRecord record(server.uri("station1"));
    QVERIFY2(record.isWritable(), qPrintable(record.problem()));
    ProductionRecord::Batch station;
    station.station = QStringLiteral("one");
    const std::optional<QString> batch = record.beginBatch(station);
    QVERIFY(batch);
    AutoLoop::TagOutcome tag;
    tag.startMs = QDateTime::currentMSecsSinceEpoch();
    const std::optional<QString> row = record.beginTag(*batch, tag);
    QVERIFY(row);
    const QByteArray lines("1.000000 > RB1\\r\\n\n1.060000 < R111223344\\r\\n\n");
    record.keepTraffic(*batch, *row, lines);
    QVERIFY(server.psql("station1", "SELECT id FROM tag", false, &out));
    QCOMPARE(record.tagTraffic(out.trimmed().toLongLong()), std::optional<QByteArray>(lines));
    QVERIFY(!server.psql("station2",
                         "INSERT INTO traffic (uuid, batch_uuid, lines, login) VALUES ('x', 'y', "
                         "'z', 'station1')",
                         false, &out));
    QVERIFY2(out.contains(QStringLiteral("row-level security")), qPrintable(out));

    // Upgraded, it takes a UID list once, whichever station opens it first.
    QString error;
    const std::optional<UidList> list
        = UidList::parse("0000004000\n0000004001\n0000004002\n", 1, true, &error);
    QVERIFY2(list, qPrintable(error));
    const std::optional<QList<int>> free = record.openList(*list, station);
    QVERIFY2(free, qPrintable(record.problem() + u' ' + record.problemDetail()));
    QCOMPARE(*free, QList<int>({0, 1, 2}));
    ProductionRecord other(server.uri("station2"));
    QCOMPARE(other.openList(*list, station), std::optional<QList<int>>({0, 1, 2}));
    QVERIFY(server.psql("station1", "SELECT count(*) FROM uid_list_id", false, &out));
    QCOMPARE(out.trimmed(), QStringLiteral("3"));
}

KESTREL_TEST_MAIN(TestSharedRecord)
#include "tst_sharedrecord.moc"
