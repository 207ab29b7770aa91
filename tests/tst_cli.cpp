#include "box/t5557.h"
#include "box/virtualbox.h"
#include "cli/cli.h"
#include "core/em4100.h"
#include "core/job.h"
#include "core/uid.h"
#include "station/record/productionrecord.h"
#include "testmain.h"
#if KESTREL_GUI
#include "boxfixture.h"
#include "gui/record/recordswindow.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"

#include <QSpinBox>
#else
#include "boxonport.h"
#endif

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

// The tool runs in a process of its own: a loaded machine may hold it longer than the quiet
// line, and a tag leaving then would merge with the buzzer's answer.
constexpr int kGapMs = 150;

const QByteArray kJob = R"({ "format": "kestrel-rfid-job", "version": 1,
  "uid": { "write": true, "first": "0000002000", "step": "0000000001", "base": "hex",
           "increment": true },
  "blocks": { "3": "33333333", "4": "44444444" } })";

} // namespace

// The tool's commands, run as a script runs them: the executable with no display, against a
// virtual box on a pseudo-terminal on this test's event loop.
class TestCli : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void jobFileIsReadStrictly_data();
    void jobFileIsReadStrictly();
    void commandsReadAndWriteTheTagInTheField();
    void incomingStockIsOpenedWipedAndChecked();
    void everyCommandIsDocumentedAndCompleted();
    void unusableInputSendsNothingToTheBox();
    void produceReportsEachTagAsTheBoxHoldsIt();
    void everyStopClosesTheBatch_data();
    void everyStopClosesTheBatch();
    void badReelStopsTheLoopUnlessARetryTakes_data();
    void badReelStopsTheLoopUnlessARetryTakes();
    void captureKeepsEveryByteButThePassword();
    void lineAtPaceRepliesVerifiesEveryTagAndItsCaptureTellsTheRate();
    void portThatVanishesMidTagExits4();
    void jobOfTheWindowRunsTheSameCommandsHeadless();
    void secondRunOfAJobCarriesOn();
    void uidListRunsOnTwoStationsToItsEnd();
    void largeUidListLoadsBeforeTheBatchStarts();
    void seededRunsKeepTheLinesPromises_data();
    void seededRunsKeepTheLinesPromises();

private:
    QProcessEnvironment environment() const;
    // Runs the tool to its end; the box answers meanwhile.
    int tool(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr,
             const std::function<void(QProcess &)> &during = {});
    QStringList commandsReceived() const;
    QString file(const QString &name, const QByteArray &content);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualBox> m_box;
    QStringList m_events;
};

void TestCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_box = std::make_unique<VirtualBox>(m_dir->path(), 7);
    m_events.clear();
    connect(m_box.get(), &VirtualBox::event, this, [this](const QString &e) { m_events << e; });
    QString error;
    QVERIFY2(m_box->start(&error), qPrintable(error));
}

void TestCli::cleanup()
{
    m_box.reset();
    m_dir.reset();
}

int TestCli::tool(const QStringList &arguments, QByteArray *out, QByteArray *err,
                  const std::function<void(QProcess &)> &during)
{
    QProcess p;
    p.setProcessEnvironment(environment());
    // "-c": a shell line around the tool, for pipes.
    const bool shell = arguments.value(0) == QLatin1String("-c");
    p.start(shell ? QStringLiteral("/bin/bash") : QStringLiteral(KESTREL_TOOL_PATH), arguments);
    if (!p.waitForStarted())
        return -1;
    if (during)
        during(p);
    if (!QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, 60000))
        p.kill();
    p.waitForFinished();
    if (out)
        *out = p.readAllStandardOutput();
    const QByteArray said = p.readAllStandardError();
    // A run that had to be stopped says where it was.
    if (p.exitStatus() != QProcess::NormalExit)
        qInfo("%s\n%s", said.constData(),
              qPrintable(m_events.mid(m_events.size() - 16).join(u'\n')));
    if (err)
        *err = said;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

QProcessEnvironment TestCli::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KESTREL_PASSWORD"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("KESTREL_PORTS_DIR"), m_dir->path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir->filePath(QStringLiteral("data")));
    return env;
}

QStringList TestCli::commandsReceived() const
{
    QStringList got;
    for (const QString &e : m_events) {
        if (e.startsWith(QLatin1String("<- ")))
            got << e.mid(3);
    }
    return got;
}

QString TestCli::file(const QString &name, const QByteArray &content)
{
    const QString path = m_dir->filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

void TestCli::jobFileIsReadStrictly_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("refusal");
    const QByteArray head = R"({"format": "kestrel-rfid-job", "version": 1)";
    QTest::newRow("only the format") << head + "}" << QString();
    QTest::newRow("the example") << kJob << QString();
    QFile shipped(QStringLiteral(EXAMPLE_JOB));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QTest::newRow("the example that ships") << shipped.readAll() << QString();
    QTest::newRow("not JSON") << QByteArray("{\"format\": ") << QStringLiteral("not JSON");
    QTest::newRow("another program's file")
        << QByteArray(R"({"format": "label-job", "version": 1})") << QStringLiteral("not a job");
    QTest::newRow("a newer version")
        << QByteArray(R"({"format": "kestrel-rfid-job", "version": 5})")
        << QStringLiteral("version 5");
    static QTemporaryDir lists;
    const auto listed = [&](const char *name, const QByteArray &ids, const QByteArray &uid) {
        QFile f(lists.filePath(QString::fromLatin1(name)));
        f.open(QIODevice::WriteOnly);
        f.write(ids);
        return head + R"(, "uid": {"write": true, "list": {"file": ")" + f.fileName().toUtf8()
               + "\"" + uid + "}}";
    };
    QTest::newRow("a UID list") << listed("ids.csv", "id;lot\n0000003000;7\n0000003001;7\n",
                                          R"(, "column": 1})")
                                << QString();
    QTest::newRow("a list with a first UID")
        << listed("ids2.csv", "0000003000\n", R"(}, "first": "0000001000")")
        << QStringLiteral("\"uid.first\" cannot be given with \"uid.list\"");
    QTest::newRow("a list with bad lines")
        << listed("ids3.csv", "0000003000\nnonsense\n0000003000\n", "}")
        << QStringLiteral("line 2 \"nonsense\" is not ten hexadecimal digits; line 3 repeats "
                          "the ID of line 1");
    QTest::newRow("a list that is not there")
        << head + R"(, "uid": {"write": true, "list": {"file": "/nowhere/ids.csv"}}})"
        << QStringLiteral("\"uid.list.file\" names a list that cannot be used");
    QTest::newRow("a list not written")
        << head + R"(, "uid": {"list": {"file": "/nowhere/ids.csv"}}})"
        << QStringLiteral("\"uid.list\" needs \"uid.write\"");
    const auto unlocking
        = [&](const char *name, const QByteArray &passwords, const QByteArray &password) {
              QFile f(lists.filePath(QString::fromLatin1(name)));
              f.open(QIODevice::WriteOnly);
              f.write(passwords);
              return head + R"(, "password": {)" + password + R"("unlockList": ")"
                     + f.fileName().toUtf8() + "\"}}";
          };
    QTest::newRow("an unlock list")
        << unlocking("returns.txt", "# returns\n0BADCAFE\nnonsense\n", R"("unlock": true, )")
        << QString();
    QTest::newRow("an unlock list without unlocking")
        << unlocking("returns2.txt", "0BADCAFE\n", "")
        << QStringLiteral("\"password.unlockList\" needs \"password.unlock\"");
    QTest::newRow("an unlock list that is no text")
        << unlocking("returns3.txt", QByteArray("0BADCAFE\0", 9), R"("unlock": true, )")
        << QStringLiteral("\"password.unlockList\" names a list that cannot be used: ");
    QTest::newRow("a failure policy")
        << head + R"(, "failures": {"stopAfter": 0, "retries": 5}})" << QString();
    QTest::newRow("retries beyond five")
        << head + R"(, "failures": {"retries": 6}})" << QStringLiteral("\"failures.retries\"");
    QTest::newRow("a faster line")
        << head + R"(, "timing": {"stepMs": 100, "firstCommandMs": 150}})" << QString();
    QTest::newRow("a tick the box cannot follow")
        << head + R"(, "timing": {"stepMs": 20}})"
        << QStringLiteral("\"timing.stepMs\" must be a whole number from 50 to 1000");
    QTest::newRow("a first command before the first tick")
        << head + R"(, "timing": {"stepMs": 200, "firstCommandMs": 100}})"
        << QStringLiteral("\"timing.firstCommandMs\" must be at least");
    QTest::newRow("a line at the pace of its replies")
        << head + R"(, "timing": {"pace": "replies"}})" << QString();
    QTest::newRow("the first command at once, at that pace")
        << head + R"(, "timing": {"pace": "replies", "firstCommandMs": 0}})" << QString();
    QTest::newRow("the first command at once, on ticks")
        << head + R"(, "timing": {"firstCommandMs": 0}})"
        << QStringLiteral("\"timing.firstCommandMs\" must be a whole number from 50");
    QTest::newRow("a pace nobody knows")
        << head + R"(, "timing": {"pace": "fast"}})"
        << QStringLiteral("\"timing.pace\" must be \"ticks\" or \"replies\"");
    QTest::newRow("a fraction of a failure")
        << head + R"(, "failures": {"stopAfter": 2.5}})"
        << QStringLiteral("\"failures.stopAfter\" must be a whole number from 0 to 1000");
    QTest::newRow("carrying on without stepping")
        << head + R"(, "uid": {"write": true, "increment": false, "continue": true}})"
        << QStringLiteral("\"uid.continue\" needs \"uid.increment\"");
    QTest::newRow("a number beyond any count")
        << head + R"(, "failures": {"stopAfter": 2.2e76}})"
        << QStringLiteral("\"failures.stopAfter\" must be a whole number from 0 to 1000");
    QTest::newRow("an unknown member")
        << head + R"(, "uid": {"stepp": "0000000001"}})" << QStringLiteral("\"uid.stepp\"");
    QTest::newRow("a wrong type") << head + R"(, "lock": "yes"})" << QStringLiteral("\"lock\"");
    QTest::newRow("block 7 holds the password")
        << head + R"(, "blocks": {"7": "12345678"}})" << QStringLiteral("\"blocks.7\"");
    QTest::newRow("a block of seven digits")
        << head + R"(, "blocks": {"3": "3333333"}})" << QStringLiteral("\"blocks.3\"");
    QTest::newRow("a decimal ID beyond 32 bits")
        << head + R"(, "uid": {"first": "4294967296", "base": "dec"}})"
        << QStringLiteral("\"uid.first\"");
    QTest::newRow("a UID the field does not take")
        << head + R"(, "uid": {"first": "00000A0000"}})" << QStringLiteral("\"uid.first\"");
    QTest::newRow("stepping without writing")
        << head + R"(, "uid": {"increment": true}})" << QStringLiteral("\"uid.increment\"");
}

void TestCli::jobFileIsReadStrictly()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, refusal);
    QString error;
    const std::optional<Job> job = Job::parse(json, &error);
    QCOMPARE(bool(job), refusal.isEmpty());
    if (!job) {
        QVERIFY2(error.contains(refusal), qPrintable(error));
        return;
    }
    // What the window saves opens as the same run.
    const std::optional<Job> again = Job::parse(Job::fromOptions(job->options()).toJson(), &error);
    QVERIFY2(again, qPrintable(error));
    QCOMPARE(again->toJson(), job->toJson());
}

void TestCli::commandsReadAndWriteTheTagInTheField()
{
    m_box->execute(QStringLiteral("present id 1122334455"));
    QByteArray out;
    QByteArray err;
    QCOMPARE(tool({"ports", "--json"}, &out, &err), 0);
    const QJsonArray ports = QJsonDocument::fromJson(out).array();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports[0].toObject()[QStringLiteral("port")].toString(), QStringLiteral("07"));
    QCOMPARE(ports[0].toObject()[QStringLiteral("state")].toString(), QStringLiteral("free"));

    QCOMPARE(tool({"write", "--port", "07", "--block", "3", "--data", "0badcafe"}, &out, &err), 0);
    QCOMPARE(m_box->engine().tag().blocks[3], 0x0BADCAFEu);
    QCOMPARE(tool({"write-uid", "--port", "7", "--uid", "0000000256", "--dec"}, &out, &err), 0);
    QCOMPARE(m_box->engine().tag().id(), std::optional<quint64>(256));
    // The record heard of it: written again only when the operator says so.
    QCOMPARE(tool({"write-uid", "--port", "7", "--uid", "0000000100"}, &out, &err),
             int(Cli::kTagFailed));
    QVERIFY2(err.contains("UID 0000000100 was already written") && err.contains("--rewrite"),
             err.constData());
    QCOMPARE(commandsReceived().filter(QStringLiteral("WU")).size(), 1);
    QCOMPARE(tool({"write-uid", "--port", "7", "--uid", "0000000100", "--rewrite"}, &out, &err), 0);

    QCOMPARE(tool({"read", "--port", m_box->portPath(), "--all", "--json"}, &out, &err), 0);
    const QJsonObject read = QJsonDocument::fromJson(out).object();
    const QJsonObject blocks = read[QStringLiteral("blocks")].toObject();
    for (int n = 0; n < 7; ++n)
        QCOMPARE(blocks[QString::number(n)].toString(),
                 QStringLiteral("%1")
                     .arg(m_box->engine().tag().blocks[n], 8, 16, QChar(u'0'))
                     .toUpper());
    QCOMPARE(blocks[QStringLiteral("7")].toString(), QStringLiteral("(password)"));
    QCOMPARE(read[QStringLiteral("id")].toString(), QStringLiteral("0000000100"));
    QVERIFY(read[QStringLiteral("config")].toString().startsWith(QStringLiteral("RF/64")));

    // Saved, then written back onto a blank tag: block 0 last, each block read back.
    const QString saved = m_dir->filePath(QStringLiteral("tag.json"));
    const mode_t umask = ::umask(022);
    QCOMPARE(tool({"save", "--port", "07", saved}, &out, &err), 0);
    ::umask(umask);
    // It holds block 7, the password: no other user of the PC may read it.
    QCOMPARE(QFileInfo(saved).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    const std::array<quint32, 8> original = m_box->engine().tag().blocks;
    m_box->execute(QStringLiteral("remove"));
    m_box->execute(QStringLiteral("present blank"));
    // The file's blocks 1 and 2 carry a UID the record holds: a copy needs --rewrite.
    QCOMPARE(tool({"restore", "--port", "07", saved}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(err.contains("already written"), err.constData());
    QCOMPARE(m_box->engine().tag().blocks[1], 0u);
    QCOMPARE(tool({"restore", "--port", "07", saved, "--rewrite"}, &out, &err), 0);
    for (int n = 0; n < 7; ++n)
        QCOMPARE(m_box->engine().tag().blocks[n], original[n]);
    const QStringList restored = commandsReceived();
    QVERIFY(restored.last().startsWith(QLatin1String("WB0")));
    // The copy is checked against the file; block 7 only with the password.
    QCOMPARE(tool({"verify", "--port", "07", saved}, &out, &err), 0);
    QVERIFY2(out.contains("equal: blocks 0,1,2,3,4,5,6 as in"), out.constData());
    QCOMPARE(tool({"write", "--port", "07", "--block", "3", "--data", "0BADF00D"}, &out, &err), 0);
    QCOMPARE(tool({"verify", "--port", "07", saved}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(out.contains("block 3 differs: file 0BADCAFE, tag 0BADF00D"), out.constData());
    QVERIFY2(out.contains("1 of 7 blocks differ"), out.constData());
    QCOMPARE(tool({"verify", "--port", "07", file(QStringLiteral("no.json"), "{}")}, &out, &err),
             int(Cli::kUsage));
    // A tag file without a block is refused before the port is opened.
    const qsizetype sent = commandsReceived().size();
    QCOMPARE(tool({"verify", "--port", "07",
                   file(QStringLiteral("empty.json"),
                        R"({"format": "kestrel-rfid-tag", "version": 1, "blocks": )"
                        R"([null, null, null, null, null, null, null, null]})")},
                  &out, &err),
             int(Cli::kUsage));
    QVERIFY2(err.contains("holds no block to compare"), err.constData());
    QCOMPARE(commandsReceived().size(), sent);

    // Block 1 alone makes a recorded ID with the tag's block 2 (the two IDs differ in two
    // nibbles of block 1 only): the ID is guarded as any UID.
    m_box->execute(QStringLiteral("remove"));
    m_box->execute(QStringLiteral("present id 3300000100"));
    QCOMPARE(Em4100::encode(0x3300000100).second, Em4100::encode(0x100).second);
    const QString block1
        = QStringLiteral("%1").arg(Em4100::encode(0x100).first, 8, 16, QChar(u'0'));
    const QStringList writeBlock1{"write", "--port", "07", "--block", "1", "--data", block1};
    QCOMPARE(tool(writeBlock1, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(err.contains("UID 0000000100 was already written"), err.constData());
    QCOMPARE(m_box->engine().tag().id(), std::optional<quint64>(0x3300000100));
    QVERIFY(!commandsReceived().constLast().startsWith(QLatin1String("WB1")));
    QCOMPARE(tool(writeBlock1 + QStringList{"--rewrite"}, &out, &err), 0);
    QCOMPARE(m_box->engine().tag().id(), std::optional<quint64>(0x100));

    m_box->execute(QStringLiteral("remove"));
    QCOMPARE(tool({"read", "--port", "07", "--uid"}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(err.contains("No Precent!"), err.constData());

    // A run from a UID written by hand stops before it writes it onto a second tag.
    m_box->execute(QStringLiteral("present blank"));
    QByteArray job = kJob;
    job.replace("0000002000", "0000000100");
    QCOMPARE(tool({"produce", "--port", "07", "--job", file(QStringLiteral("from.json"), job),
                   "--count", "1"},
                  &out, &err),
             int(Cli::kTagFailed));
    QVERIFY2(out.contains("UID 0000000100 was already written"), out.constData());
    QCOMPARE(commandsReceived().filter(QStringLiteral("WUX0000000100")).size(), 1);
}

// Tags that arrive protected or configured for another system: the password found from a list
// (and shown only when asked), the tag wiped to the blank state, the record told of a UID that
// leaves a tag, and no password in any output.
void TestCli::incomingStockIsOpenedWipedAndChecked()
{
    QByteArray out;
    QByteArray err;
    const QString capture = m_dir->filePath(QStringLiteral("find.log"));
    const QString list = file(QStringLiteral("list.txt"),
                              "# returns from the north site\n0badf00d\nnot hex\n0BADCAFE # ours\n"
                              "12345678\n");
    m_box->execute(QStringLiteral("present foreign 603E1040 0BADCAFE"));
    QCOMPARE(tool({"find-password", "--port", "07", "--dictionary", list, "--capture", capture},
                  &out, &err),
             0);
    QVERIFY2(out.contains("found: line 4 of") && !out.contains("0BADCAFE"), out.constData());
    QVERIFY2(err.contains("line 3: not eight hexadecimal digits, skipped"), err.constData());
    QFile kept(capture);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    const QByteArray traffic = kept.readAll();
    QVERIFY2(traffic.contains("RP7") && !traffic.contains("0BADCAFE")
                 && !traffic.contains("51243648"),
             traffic.constData());
    QCOMPARE(tool({"find-password", "--port", "07", "--dictionary", list, "--reveal"}, &out, &err),
             0);
    QVERIFY2(out.contains("password: 0BADCAFE"), out.constData());
    // A duplicator's default is in the built-in list; a password in no list is not found.
    m_box->execute(QStringLiteral("remove"));
    m_box->execute(QStringLiteral("present protected 51243648"));
    QCOMPARE(tool({"find-password", "--port", "07"}, &out, &err), 0);
    QVERIFY2(out.contains("built-in entry 2 (handheld duplicator default)"), out.constData());
    m_box->execute(QStringLiteral("remove"));
    m_box->execute(QStringLiteral("present aor 7E57AB1E"));
    QCOMPARE(tool({"find-password", "--port", "07", "--dictionary", list}, &out, &err),
             int(Cli::kTagFailed));
    QVERIFY2(err.contains("none of 8 passwords opens the tag"), err.constData());
    // A list that is no text sends nothing.
    const qsizetype sent = commandsReceived().size();
    QCOMPARE(tool({"find-password", "--port", "07", "--dictionary",
                   file(QStringLiteral("list.bin"), QByteArray("0BADCAFE\n\0\x01", 11))},
                  &out, &err),
             int(Cli::kUsage));
    QVERIFY2(err.contains("not a text file"), err.constData());
    QCOMPARE(commandsReceived().size(), sent);

    // The password opens it for the wipe: blocks 1-7 zero, then block 0 to the blank word.
    const QString password = file(QStringLiteral("password"), "7E57AB1E\n");
    QCOMPARE(tool({"wipe", "--port", "07"}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(err.contains("nothing was wiped") && err.contains("find-password"), err.constData());
    QCOMPARE(m_box->engine().tag().blocks[7], 0x7E57AB1Eu);
    QCOMPARE(tool({"wipe", "--port", "07", "--password-file", password}, &out, &err), 0);
    QCOMPARE(m_box->engine().tag().blocks[0], 0x00088040u);
    for (int n = 1; n < 8; ++n)
        QCOMPARE(m_box->engine().tag().blocks[n], 0u);
    QVERIFY(commandsReceived().constLast().startsWith(QLatin1String("WP000000000")));
    QCOMPARE(tool({"find-password", "--port", "07"}, &out, &err), 0);
    QVERIFY2(out.contains("not protected"), out.constData());

    // A tag the record holds as written keeps its UID unless the operator says so; then the
    // record says where the UID went. A block write that breaks the ID's frame is held alike.
    const QString record = m_dir->filePath(QStringLiteral("incoming.sqlite"));
    QCOMPARE(
        tool({"write-uid", "--port", "07", "--uid", "00000000C8", "--record", record}, &out, &err),
        0);
    const qsizetype before = commandsReceived().size();
    QCOMPARE(tool({"wipe", "--port", "07", "--record", record}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(err.contains("UID 00000000C8 was written to this tag") && err.contains("--rewrite"),
             err.constData());
    QCOMPARE(
        tool({"write", "--port", "07", "--block", "2", "--data", "FFFFFFFF", "--record", record},
             &out, &err),
        int(Cli::kTagFailed));
    QVERIFY(
        commandsReceived().mid(before).filter(QRegularExpression(QStringLiteral("^W"))).isEmpty());
    QCOMPARE(tool({"wipe", "--port", "07", "--record", record, "--rewrite"}, &out, &err), 0);
    QCOMPARE(m_box->engine().tag().id(), std::nullopt);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "incoming");
        db.setDatabaseName(record);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT uid_confirmed, detail FROM tag WHERE uid_asked = '00000000C8'"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 0);
        QVERIFY2(q.value(1).toString().contains(QLatin1String("UID left this tag: blocks 1-2 "
                                                              "overwritten")),
                 qPrintable(q.value(1).toString()));
        QVERIFY(q.exec("SELECT t.writes, t.detail FROM tag t JOIN batch b ON b.id = t.batch_id "
                       "WHERE b.options = 'wipe'"));
        QVERIFY(q.next());
        QVERIFY2(
            q.value(0).toString().endsWith(QLatin1String("7:(password)=ok 0:00088040=00088040")),
            qPrintable(q.value(0).toString()));
        QVERIFY(q.value(1).toString().startsWith(QLatin1String("wiped with --rewrite")));
        QVERIFY(!q.next());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("incoming"));

    // A signal stops a wipe between two writes: block 0, written last, is as it was.
    m_box->execute(QStringLiteral("remove"));
    m_box->execute(QStringLiteral("present id 3300000300"));
    m_box->execute(QStringLiteral("delay write 300"));
    const auto firstWrites = [this] {
        return commandsReceived().count(QStringLiteral("WB100000000"));
    };
    const qsizetype wipedBefore = firstWrites();
    QCOMPARE(tool({"wipe", "--port", "07", "--record", record}, &out, &err,
                  [&](QProcess &p) {
                      QVERIFY(QTest::qWaitFor([&] { return firstWrites() > wipedBefore; }, 30000));
                      ::kill(pid_t(p.processId()), SIGTERM);
                  }),
             int(Cli::kTagFailed));
    QVERIFY2(err.contains("wipe stopped by a signal before block"), err.constData());
    QCOMPARE(m_box->engine().tag().blocks[0], 0x00148040u);
    m_box->execute(QStringLiteral("delay write 40"));

    // A mixed batch runs unattended: each tag written or failed with its reason, as the box's
    // memory holds it, and no tag's password in any output.
    m_box->execute(QStringLiteral("remove"));
    for (const char *tag : {"blank", "protected 51243648", "protected 0BADCAFE 0000000777",
                            "protected DEADBEEF", "new"})
        QVERIFY(m_box->execute(QStringLiteral("queue ") + QLatin1String(tag)).isEmpty());
    QByteArray job = kJob;
    job.replace(R"("version": 1)", R"("version": 4)");
    job.replace(R"( "blocks")",
                R"( "password": {"unlock": true, "unlockList": "list.txt"}, "blocks")");
    const QString jobFile = file(QStringLiteral("incoming.json"), job);
    const QString jobPassword = file(QStringLiteral("jobpw"), "1A2B3C4D\n");
    const QString line = m_dir->filePath(QStringLiteral("line.log"));
    const qsizetype gone = m_box->departed().size();
    m_box->setConveyor(true, kGapMs, kGapMs);
    QCOMPARE(tool({"produce", "--port", "07", "--job", jobFile, "--count", "5", "--record", record,
                   "--password-file", jobPassword, "--events", "-", "--capture", line},
                  &out, &err),
             int(Cli::kTagFailed));
    // The last tag leaves on its "SB1", after the tool ended.
    QTRY_COMPARE(m_box->departed().size(), gone + 5);
    m_box->setConveyor(false, kGapMs, kGapMs);
    QList<QJsonObject> tags;
    for (const QByteArray &l : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(l).object();
        if (o[QStringLiteral("event")] == QStringLiteral("tag"))
            tags << o;
    }
    QCOMPARE(tags.size(), 5);
    const QStringList expected{
        QString(), QStringLiteral("unlocked with list entry 2 (built-in entry 2"),
        QStringLiteral("unlocked with list entry 8 (line 4 of"),
        QStringLiteral("no entry of the unlock list opens the tag (8 tried)"), QString()};
    const QList<T5557::Tag> left = m_box->departed().mid(gone);
    for (int i = 0; i < 5; ++i) {
        const QString detail = tags[i][QStringLiteral("detail")].toString();
        QVERIFY2(expected[i].isEmpty() ? detail.isEmpty() : detail.startsWith(expected[i]),
                 qPrintable(detail));
        const bool written = i != 3;
        QCOMPARE(tags[i][QStringLiteral("result")].toString(),
                 written ? QStringLiteral("complete") : QStringLiteral("failed"));
        // The UIDs step over the failed tag, which keeps its own ID.
        QCOMPARE(left[i].id(),
                 std::optional<quint64>(written ? 0x2000 + i - (i > 3) : 0x1122334455));
        QCOMPARE(left[i].pwd(), !written);
        if (written)
            QCOMPARE(left[i].blocks[3], 0x33333333u);
    }
    QCOMPARE(left[3].blocks[7], 0xDEADBEEFu);
    QFile lineCapture(line);
    QVERIFY(lineCapture.open(QIODevice::ReadOnly));
    const QByteArray everything = out + err + lineCapture.readAll();
    for (const char *secret : {"51243648", "0BADCAFE", "DEADBEEF", "1A2B3C4D"})
        QVERIFY2(!everything.contains(secret), secret);

    // A tag that is in the field before the run starts is asked for and written.
    m_box->execute(QStringLiteral("present id 3300000200"));
    QCOMPARE(tool({"produce", "--port", "07", "--job", file(QStringLiteral("plain.json"), kJob),
                   "--count", "1", "--record", record, "--first", "0000002100"},
                  &out, &err),
             0);
    QCOMPARE(m_box->engine().tag().id(), std::optional<quint64>(0x2100));
}

// The table of commands is the one list: help, the man page and the completion follow it.
void TestCli::everyCommandIsDocumentedAndCompleted()
{
    QByteArray out;
    QCOMPARE(tool({"--help"}, &out), 0);
    QVERIFY2(out.contains(Cli::commands().join(QStringLiteral(", ")).toLatin1()), out.constData());
    const QDir data = QFileInfo(QStringLiteral(EXAMPLE_JOB)).dir().filePath(QStringLiteral(".."));
    QFile man(data.filePath(QStringLiteral("man/kestrel-rfid.1")));
    QVERIFY(man.open(QIODevice::ReadOnly));
    const QByteArray page = man.readAll();
    QFile completion(data.filePath(QStringLiteral("kestrel-rfid.bash-completion")));
    QVERIFY(completion.open(QIODevice::ReadOnly));
    const QByteArray completes = completion.readAll();
    QVERIFY2(completes.contains("commands=\"" + Cli::commands().join(u' ').toLatin1() + '"'),
             completes.constData());
    for (const QString &command : Cli::commands()) {
        const QByteArray roff = command.toLatin1().replace("-", "\\-");
        QVERIFY2(page.contains(".BI \"" + roff) || page.contains(".BR \"" + roff),
                 roff.constData());
    }
}

void TestCli::unusableInputSendsNothingToTheBox()
{
    const QString bad = file(QStringLiteral("bad.json"), R"({"format": "kestrel-rfid-job",
        "version": 1, "lock": 1})");
    const QString job = file(QStringLiteral("job.json"), kJob);
    QByteArray err;
    QCOMPARE(tool({"produce", "--port", "07", "--job", bad}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("\"lock\""), err.constData());
    QCOMPARE(tool({"produce", "--port", "09", "--job", job}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("there is no port 09"), err.constData());
    QCOMPARE(tool({"produce", "--port", "07", "--job", job, "--operator", "a\tb"}, nullptr, &err),
             int(Cli::kUsage));
    QVERIFY2(err.contains("--operator"), err.constData());
    QCOMPARE(tool({"write", "--port", "07", "--block", "7", "--data", "12345678"}, nullptr, &err),
             int(Cli::kUsage));
    QCOMPARE(tool({"read", "--port", "07", "--all", "--password", "12345678"}, nullptr, &err),
             int(Cli::kUsage));
    // A file that would protect the tag is written only when the question is answered.
    const QString locking = file(QStringLiteral("tag.json"),
                                 R"({"format": "kestrel-rfid-tag", "version": 1, "blocks":
        ["00148050", null, null, null, null, null, null, "1A2B3C4D"]})");
    QCOMPARE(tool({"restore", "--port", "07", locking}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("--yes") && !err.contains("1A2B3C4D"), err.constData());
    // A record that cannot be written: nothing reaches the box either.
    QCOMPARE(tool({"produce", "--port", "07", "--job", job, "--record", "/dev/null/r.sqlite"},
                  nullptr, &err),
             int(Cli::kRecordFailed));
    QVERIFY2(err.contains("production record is off"), err.constData());
    // A mistyped command word, no command where there is no display, a port that is a file.
    QCOMPARE(tool({"prodcue", "--port", "07"}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("there is no command \"prodcue\"") && err.contains("produce"),
             err.constData());
    QCOMPARE(tool({}, nullptr, &err), int(Cli::kUsage));
#if KESTREL_GUI
    QVERIFY2(err.contains("no display"), err.constData());
#else
    QVERIFY2(err.contains("no window"), err.constData());
#endif
    QCOMPARE(tool({"read", "--port", job, "--uid"}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("not a serial port"), err.constData());
    QCOMPARE(commandsReceived(), QStringList());
}

void TestCli::produceReportsEachTagAsTheBoxHoldsIt()
{
    m_box->setConveyor(true, kGapMs, kGapMs);
    // The first UID write reads back in the other base: the same UID is written to the same
    // tag again.
    bool misread = false;
    connect(m_box.get(), &VirtualBox::event, this, [&](const QString &e) {
        if (!misread && e.startsWith(QLatin1String("<- WUX"))) {
            misread = true;
            m_box->engine().reportHex = false;
        } else if (e.startsWith(QLatin1String("-> "))) {
            m_box->engine().reportHex = true;
        }
    });
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    QByteArray out;
    QByteArray err;
    const QString capture = m_dir->filePath(QStringLiteral("batch.capture"));
    // A run that writes the password: the capture masks it, and its replay below still
    // plays every tag the same.
    QByteArray job = kJob;
    job.insert(job.lastIndexOf('}'), R"(, "password": {"write": true})");
    const QString password = file(QStringLiteral("password"), "5EC12E7A\n");
    QCOMPARE(tool({"produce", "--port", "07", "--job", file(QStringLiteral("job.json"), job),
                   "--password-file", password, "--count", "10", "--record", record, "--events",
                   "-", "--capture", capture, "--operator", "Anna K"},
                  &out, &err),
             0);
    QList<QJsonObject> tags;
    QStringList kinds;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(line, &e).object();
        QVERIFY2(e.error == QJsonParseError::NoError, line.constData());
        kinds << o[QStringLiteral("event")].toString();
        if (kinds.last() == QLatin1String("tag"))
            tags << o;
    }
    QCOMPARE(kinds.first(), QStringLiteral("batch"));
    QCOMPARE(QJsonDocument::fromJson(out.left(out.indexOf('\n')))
                 .object()[QStringLiteral("operator")]
                 .toString(),
             QStringLiteral("Anna K"));
    QCOMPARE(kinds.mid(kinds.size() - 2), (QStringList{"stopped", "summary"}));
    QCOMPARE(tags.size(), 10);
    // The last tag leaves once its buzzer has sounded.
    QTRY_VERIFY(m_box->departed().size() >= 10);
    const QList<T5557::Tag> &left = m_box->departed();
    for (int i = 0; i < 10; ++i) {
        const QJsonObject &t = tags[i];
        QCOMPARE(t[QStringLiteral("result")].toString(), QStringLiteral("complete"));
        const QString uid = QStringLiteral("%1").arg(2000 + i, 10, 10, QChar(u'0'));
        QCOMPARE(t[QStringLiteral("uidRead")].toString(), uid);
        QCOMPARE(left[i].id(), std::optional<quint64>(uid.toULongLong(nullptr, 16)));
        QCOMPARE(left[i].blocks[3], 0x33333333u);
        const QJsonArray writes = t[QStringLiteral("writes")].toArray();
        QCOMPARE(writes.size(), 3);
        QCOMPARE(writes[1].toObject()[QStringLiteral("readBack")].toString(),
                 QStringLiteral("44444444"));
        // The password, never its value.
        QCOMPARE(writes[2].toObject()[QStringLiteral("readBack")].toString(),
                 QStringLiteral("(password)"));
        QCOMPARE(left[i].blocks[7], 0x5EC12E7Au);
    }
    QVERIFY(misread);
    QCOMPARE(tags[0][QStringLiteral("retries")].toInt(), 1);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "cli");
        db.setDatabaseName(record);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT count(*), count(DISTINCT uid_read) FROM tag WHERE result = "
                       "'complete' AND uid_confirmed = 1"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 10);
        QCOMPARE(q.value(1).toInt(), 10);
        // The record keeps each tag's traffic, and the batch's, as the capture has it: none
        // lost, none twice.
        QVERIFY(q.exec("SELECT count(DISTINCT tag_uuid) FROM traffic"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 10);
        QVERIFY(q.exec("SELECT lines FROM traffic ORDER BY id"));
        QByteArray kept;
        while (q.next())
            kept += q.value(0).toByteArray();
        QFile captured(capture);
        QVERIFY(captured.open(QIODevice::ReadOnly));
        QVERIFY(kept.count('\n') > 100);
        QVERIFY(captured.readAll().contains(kept));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("cli"));
    const QString csv = m_dir->filePath(QStringLiteral("tags.csv"));
    QCOMPARE(tool({"export-records", csv, "--record", record}), 0);
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const QByteArray rows = exported.readAll();
    QCOMPARE(rows.count("\r\n"), 11);
    QCOMPARE(rows.count(",Anna K\r\n"), 10);
    // A batch the record does not hold is wrong use, not an empty export.
    err.clear();
    QCOMPARE(tool({"export-records", csv, "--record", record, "--batch", "99"}, nullptr, &err), 2);
    QVERIFY(err.contains("there is no batch 99"));
    // The record, its journal, the spool, a link to the record, a folder and any other
    // database are never replaced by an export; a CSV that cannot be written is an output.
    const QByteArray before = [&record] {
        QFile f(record);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    QFile::link(record, m_dir->filePath(QStringLiteral("link.sqlite")));
    for (const QString &target :
         {record, record + QStringLiteral("-wal"), m_dir->filePath(QStringLiteral("link.sqlite")),
          m_dir->filePath(QStringLiteral("data/kestrel-rfid/record-spool.sqlite")), m_dir->path(),
          m_dir->filePath(QStringLiteral("again.sqlite"))}) {
        if (target.endsWith(QLatin1String("again.sqlite")))
            QFile::copy(record, target);
        err.clear();
        QCOMPARE(tool({"export-records", target, "--record", record}, nullptr, &err),
                 int(Cli::kUsage));
        QVERIFY2(err.contains("would replace it") || err.contains("is a folder"), err.constData());
    }
    QFile::remove(m_dir->filePath(QStringLiteral("again.sqlite")));
    QFile kept(record);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), before);
    QCOMPARE(tool({"export-records", "/proc/tags.csv", "--record", record}, nullptr, &err),
             int(Cli::kOutputFailed));

    // The box's side of the capture, played back, drives the tool through the same tags.
    QProcess replay;
    replay.setProcessChannelMode(QProcess::MergedChannels);
    replay.start(QStringLiteral(KESTREL_BOX_PATH), {"--ports-dir", m_dir->path(), "--port", "8",
                                                    "--replay", capture, "--exit-after-script"});
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(m_dir->filePath("COM8")); }, 10000));
    const int replayed
        = tool({"produce", "--port", "08", "--job", m_dir->filePath(QStringLiteral("job.json")),
                "--password-file", password, "--count", "10", "--record",
                m_dir->filePath(QStringLiteral("again.sqlite")), "--events", "-"},
               &out, &err);
    const bool replayEnded
        = QTest::qWaitFor([&] { return replay.state() == QProcess::NotRunning; }, 20000);
    if (replayed != 0 || !replayEnded) {
        // Where the second run parted from the first: the replay's side and the tool's.
        replay.kill();
        replay.waitForFinished();
        qInfo("replay:\n%s\ntool:\n%s\n%s", replay.readAll().right(6000).constData(),
              out.right(3000).constData(), err.right(2000).constData());
    }
    QCOMPARE(replayed, 0);
    QVERIFY(replayEnded);
    const QByteArray played = replay.readAllStandardOutput();
    QVERIFY2(replay.exitCode() == 0 && played.contains(", 0 differed"), played.constData());
    QFile capturedFile(capture);
    QVERIFY(capturedFile.open(QIODevice::ReadOnly));
    const QByteArray captured = capturedFile.readAll();
    QVERIFY(captured.contains("W7********") && !captured.contains("5EC12E7A"));
    QList<QJsonObject> again;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o[QStringLiteral("event")].toString() == QLatin1String("tag"))
            again << o;
    }
    QCOMPARE(again.size(), 10);
    for (int i = 0; i < 10; ++i) {
        for (const char *key : {"result", "uidRead", "retries"})
            QCOMPARE(again[i][QLatin1String(key)], tags[i][QLatin1String(key)]);
    }
}

// Every line a person can read; the password in none of them, even when the tool is killed.
void TestCli::captureKeepsEveryByteButThePassword()
{
    m_box->execute(QStringLiteral("present protected 5EC12E7A 1122334455"));
    const QString capture = m_dir->filePath(QStringLiteral("traffic.log"));
    const QString password = file(QStringLiteral("password"), "5EC12E7A\n");
    QCOMPARE(
        tool({"read", "--port", "07", "--all", "--password-file", password, "--capture", capture}),
        0);
    m_box->execute(QStringLiteral("remove"));
    m_box->setConveyor(true, kGapMs, kGapMs);
    tool({"produce", "--port", "07", "--job", file(QStringLiteral("job.json"), kJob), "--record",
          m_dir->filePath(QStringLiteral("r.sqlite")), "--capture", capture},
         nullptr, nullptr, [this](QProcess &p) {
             QVERIFY(QTest::qWaitFor([this] { return commandsReceived().contains("WB333333333"); },
                                     20000));
             p.kill();
         });
    QFile f(capture);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    QVERIFY(!all.contains("5EC12E7A"));
    QVERIFY(all.contains(" > RP7********\\r\\n\n"));
    QVERIFY(all.contains(" < R7********\\r\\n\n"));
    QVERIFY(all.contains(" < MsgCode:01\\r\\n\n"));
    QVERIFY(all.contains(" > WB333333333\\r\\n\n"));
    const QRegularExpression line(QStringLiteral("^(#.*|\\d+\\.\\d{6} [<>!] .*)$"));
    for (const QByteArray &l : all.split('\n').mid(0, all.count('\n')))
        QVERIFY2(line.match(QString::fromUtf8(l)).hasMatch(), l.constData());
}

// However a run is stopped (a signal, a reader of the events that went away, a full disk),
// it ends in bounded time with its batch closed and no tag left "in progress"; a UID whose
// write was never confirmed stays in doubt.
void TestCli::everyStopClosesTheBatch_data()
{
    QTest::addColumn<int>("signalsSent");
    QTest::addColumn<bool>("uidAnswerLost");
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("results");
    QTest::addColumn<bool>("inDoubt");
    QTest::newRow("a signal mid-tag lets the tag complete")
        << 1 << false << "-" << 0 << "stopped by a signal\""
        << "complete" << false;
    QTest::newRow("a signal while a UID answer is lost ends the tag within 3 s")
        << 1 << true << "-" << 1 << "did not end within 3 s"
        << "stopped" << true;
    QTest::newRow("a second signal ends it at once")
        << 2 << true << "-" << 1 << "stopped by a signal\""
        << "stopped" << true;
    QTest::newRow("the reader of the events went away")
        << 0 << false << "closed" << 5 << QString() << "" << false;
    QTest::newRow("the events on a full disk")
        << 0 << false << "/dev/full" << 5 << QString() << "" << false;
}

void TestCli::everyStopClosesTheBatch()
{
    QFETCH(int, signalsSent);
    QFETCH(bool, uidAnswerLost);
    QFETCH(QString, events);
    QFETCH(int, code);
    QFETCH(QString, why);
    QFETCH(QString, results);
    QFETCH(bool, inDoubt);
    m_box->setConveyor(true, kGapMs, kGapMs);
    if (uidAnswerLost) {
        connect(m_box.get(), &VirtualBox::event, this, [this](const QString &e) {
            if (e.startsWith(QLatin1String("<- WUX")))
                m_box->execute(QStringLiteral("drop"));
        });
    }
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    QByteArray out;
    QByteArray err;
    QElapsedTimer stopping;
    QStringList arguments{"produce",  "--port", "07",       "--job", file("job.json", kJob),
                          "--record", record,   "--events", events};
    if (events == QLatin1String("closed")) {
        // As a script does it: the reader takes two lines and goes.
        arguments.replace(arguments.size() - 1, QStringLiteral("-"));
        const QString pipe
            = QStringLiteral("\"$0\" \"$@\" | head -n 2 >/dev/null; exit \"${PIPESTATUS[0]}\"");
        arguments = QStringList{"-c", pipe, QStringLiteral(KESTREL_TOOL_PATH)} + arguments;
    }
    const int exit = tool(arguments, &out, &err, [&](QProcess &p) {
        if (signalsSent == 0)
            return;
        // Between the tag's first block write and its second, or after its lost answer.
        const QString at
            = uidAnswerLost ? QStringLiteral("WUX0000002000") : QStringLiteral("WB333333333");
        QVERIFY(QTest::qWaitFor([&] { return commandsReceived().contains(at); }, 20000));
        stopping.start();
        for (int n = 0; n < signalsSent; ++n)
            ::kill(pid_t(p.processId()), n == 0 ? SIGTERM : SIGINT);
    });
    QVERIFY2(exit == code, qPrintable(QString::number(exit) + QString::fromUtf8(err)));
    if (!why.isEmpty())
        QVERIFY2(out.contains(why.toUtf8()), out.constData());
    if (stopping.isValid())
        QVERIFY2(stopping.elapsed() < 20000, qPrintable(QString::number(stopping.elapsed())));
    if (events != QLatin1String("-"))
        QVERIFY2(err.contains("the events") && err.contains("cannot be written"), err.constData());
    if (events == QLatin1String("/dev/full"))
        QVERIFY(!commandsReceived().join(u' ').contains(QLatin1String("WUX")));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "cli");
    db.setDatabaseName(record);
    QVERIFY(db.open());
    QSqlQuery q(db);
    QVERIFY(q.exec("SELECT count(*) FROM batch WHERE stopped IS NULL"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 0);
    QVERIFY(q.exec("SELECT result FROM tag ORDER BY id"));
    QStringList ended;
    while (q.next())
        ended << q.value(0).toString();
    QVERIFY2(!ended.contains(QStringLiteral("in progress")),
             qPrintable(ended.join(u' ') + QString::fromUtf8(out)));
    if (!results.isEmpty())
        QCOMPARE(ended.join(u' '), results);
    QVERIFY(q.exec("SELECT count(*) FROM reservation WHERE uid = '0000002000' AND state = 'sent' "
                   "AND NOT EXISTS (SELECT 1 FROM tag WHERE uid_confirmed = 1 AND uid_read = "
                   "'0000002000')"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt() == 1, inDoubt);
    q.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("cli"));
}

void TestCli::badReelStopsTheLoopUnlessARetryTakes_data()
{
    QTest::addColumn<QByteArray>("failures");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("retries");
    QTest::newRow("three in a row") << QByteArray(R"({"stopAfter": 3})") << 1 << "failed" << 0;
    QTest::newRow("a retry each") << QByteArray(R"({"stopAfter": 3, "retries": 1})") << 0
                                  << "complete" << 2;
}

// Every tag of the reel takes a block write only at its second try.
void TestCli::badReelStopsTheLoopUnlessARetryTakes()
{
    QFETCH(QByteArray, failures);
    QFETCH(int, code);
    QFETCH(QString, result);
    QFETCH(int, retries);
    m_box->engine().weakTags = true;
    m_box->setConveyor(true, kGapMs, kGapMs);
    QByteArray job = kJob;
    job.insert(job.lastIndexOf('}'), ", \"failures\": " + failures);
    QByteArray out;
    const int exit = tool({"produce", "--port", "07", "--job",
                           file(QStringLiteral("job.json"), job), "--count", "4", "--events", "-"},
                          &out);
    QVERIFY2(exit == code, out.constData());
    QList<QJsonObject> tags;
    QString why;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o[QStringLiteral("event")] == QLatin1String("tag"))
            tags << o;
        if (o[QStringLiteral("event")] == QLatin1String("stopped"))
            why = o[QStringLiteral("why")].toString();
    }
    QCOMPARE(tags.size(), code ? 3 : 4);
    for (const QJsonObject &t : std::as_const(tags)) {
        QCOMPARE(t[QStringLiteral("result")].toString(), result);
        QCOMPARE(t[QStringLiteral("retries")].toInt(), retries);
    }
    if (code)
        QVERIFY2(why.startsWith(QStringLiteral("3 tags in a row failed or stalled (UID "
                                               "0000002000 failed: block 3 written 33333333, "
                                               "read back 00000000; UID 0000002001 failed")),
                 qPrintable(why));
}

// The job's pace, then what a capture of that run tells a line engineer of the box.
void TestCli::lineAtPaceRepliesVerifiesEveryTagAndItsCaptureTellsTheRate()
{
    m_box->engine().delays.write = 70;
    m_box->setConveyor(true, kGapMs, kGapMs);
    QByteArray job = kJob;
    job.insert(job.lastIndexOf('}'), R"(, "timing": {"pace": "replies", "firstCommandMs": 0})");
    const QString capture = m_dir->filePath(QStringLiteral("line.capture"));
    QByteArray out;
    QByteArray err;
    const int code
        = tool({"produce", "--port", "07", "--job", file(QStringLiteral("job.json"), job),
                "--count", "8", "--record", m_dir->filePath(QStringLiteral("r.sqlite")), "--events",
                "-", "--capture", capture},
               &out, &err);
    if (code != 0) {
        QFile c(capture);
        c.open(QIODevice::ReadOnly);
        qDebug("%s", c.readAll().left(3000).constData());
    }
    QVERIFY2(code == 0, (out + err).constData());
    int verified = 0;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o[QStringLiteral("event")].toString() == QLatin1String("batch"))
            QCOMPARE(o[QStringLiteral("options")][QStringLiteral("timing")][QStringLiteral("pace")]
                         .toString(),
                     QStringLiteral("replies"));
        verified += o[QStringLiteral("result")].toString() == QLatin1String("complete")
                    && o[QStringLiteral("uidConfirmed")].toBool();
    }
    QCOMPARE(verified, 8);

    QByteArray stats;
    QCOMPARE(tool({"capture-stats", capture}, &stats), 0);
    // The box's processing comes out as it was set, whatever the characters took.
    const auto boxMedian = [&](const QByteArray &kind) {
        for (const QByteArray &line : stats.split('\n')) {
            const QList<QByteArray> w = line.simplified().split(' ');
            if (w.value(0) == kind && w.size() >= 9)
                return w[6].toDouble();
        }
        return -1.0;
    };
    QVERIFY2(boxMedian("WB") >= 68 && boxMedian("WB") < 110, stats.constData());
    QVERIFY2(boxMedian("WUX") >= 118 && boxMedian("WUX") < 160, stats.constData());
    // The first tag ran with the start-up, the last had no next one.
    QVERIFY2(stats.contains(" 6 tags from one \"SB1\" to the next")
                 || stats.contains(" 7 tags from one \"SB1\" to the next"),
             stats.constData());
    QVERIFY2(stats.contains("pace replies  "), stats.constData());

    QCOMPARE(tool({"capture-stats", file(QStringLiteral("notes.txt"), "lunch at noon\n")}, nullptr,
                  &err),
             int(Cli::kUsage));
    QVERIFY2(err.contains("line 1 is not a line of a traffic capture"), err.constData());
}

void TestCli::portThatVanishesMidTagExits4()
{
    m_box->setConveyor(true, kGapMs, kGapMs);
    QByteArray out;
    QByteArray err;
    const int code
        = tool({"produce", "--port", "07", "--job", file(QStringLiteral("job.json"), kJob),
                "--record", m_dir->filePath(QStringLiteral("r.sqlite")), "--events", "-"},
               &out, &err, [this](QProcess &) {
                   QVERIFY(QTest::qWaitFor(
                       [this] { return commandsReceived().contains("WB333333333"); }, 20000));
                   m_box->execute(QStringLiteral("vanish"));
               });
    QCOMPARE(code, int(Cli::kPortFailed));
    // The tag in the field ended with the link.
    QVERIFY2(out.contains("\"result\":\"stopped\""), out.constData());
    QVERIFY(out.contains("\"event\":\"summary\""));
}

namespace {

// From the first UID write up to the buzzer that ended the third tag.
[[maybe_unused]] QStringList threeTags(const QStringList &events)
{
    QStringList commands;
    for (const QString &e : events) {
        if (!e.startsWith(QLatin1String("<- ")))
            continue;
        if (commands.isEmpty() && !e.startsWith(QLatin1String("<- WU")))
            continue;
        commands << e.mid(3);
        if (commands.count(QStringLiteral("SB1")) == 3)
            break;
    }
    return commands;
}

} // namespace

void TestCli::jobOfTheWindowRunsTheSameCommandsHeadless()
{
#if !KESTREL_GUI
    QSKIP("built without the window");
#else
    BoxedWindow window;
    QVERIFY(window.begin());
    QStringList windowEvents;
    connect(&window.box, &VirtualBox::event, this,
            [&windowEvents](const QString &e) { windowEvents << e; });
    AutoWriter &writer = window.w->autoWriter();
    QString error;
    const QByteArray job = QByteArray(kJob).insert(
        kJob.lastIndexOf('}'), R"(, "failures": {"stopAfter": 5, "retries": 1}, )"
                               R"("timing": {"stepMs": 150, "firstCommandMs": 400})");
    QVERIFY2(writer.openJob(file(QStringLiteral("job.json"), job), &error), qPrintable(error));
    QCOMPARE(window.w->autoPanel().retriesField()->value(), 1);
    const QString saved = m_dir->filePath(QStringLiteral("saved.json"));
    QVERIFY2(writer.saveJob(saved, &error), qPrintable(error));
    QCOMPARE(Job::load(saved, &error)->toJson(), Job::parse(job, &error)->toJson());

    int ended = 0;
    connect(&writer, &AutoWriter::tagEnded, this, [&ended] { ++ended; });
    window.box.setConveyor(true, kGapMs, kGapMs);
    writer.toggle();
    QTRY_VERIFY_WITH_TIMEOUT(ended >= 3, 30000);
    writer.toggle();
    // The job's tick, or what is left of its first-command delay after one.
    QVERIFY2(QList<int>({150, 250}).contains(writer.loop().Timer_Auto().interval()),
             qPrintable(QString::number(writer.loop().Timer_Auto().interval())));

    m_box->setConveyor(true, kGapMs, kGapMs);
    QCOMPARE(tool({"produce", "--port", "07", "--job", saved, "--count", "3", "--record",
                   m_dir->filePath(QStringLiteral("r.sqlite"))}),
             0);
    const QStringList headless = threeTags(m_events);
    QCOMPARE(headless.count(QStringLiteral("WUX0000002000")), 1);
    QCOMPARE(headless, threeTags(windowEvents));
#endif
}

// The same job run again goes on where the record says, when asked to; otherwise it refuses
// and names both ways on.
void TestCli::secondRunOfAJobCarriesOn()
{
    m_box->setConveyor(true, kGapMs, kGapMs);
    const QString job = file(QStringLiteral("job.json"), kJob);
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    const QStringList run{"produce", "--port", "07", "--job", job, "--record", record};
    QByteArray out;
    QByteArray err;
    QCOMPARE(tool(run + QStringList{"--count", "3"}, &out), 0);
    QVERIFY2(out.contains("tag 3: complete 0000002002"), out.constData());
    QCOMPARE(tool(run + QStringList{"--count", "3"}, &out, &err), int(Cli::kTagFailed));
    QVERIFY2(out.contains("UID 0000002000 was already written") && out.contains("--continue")
                 && out.contains("--first UID"),
             out.constData());
    QCOMPARE(tool(run + QStringList{"--count", "2", "--continue"}, &out, &err), 0);
    QVERIFY2(out.contains("continuing at UID 0000002003: 3 UIDs from 0000002000 written or in "
                          "doubt")
                 && out.contains("tag 1: complete 0000002003")
                 && out.contains("tag 2: complete 0000002004"),
             out.constData());
    QCOMPARE(tool(run + QStringList{"--count", "1", "--first", "0000003000"}, &out), 0);
    QVERIFY2(out.contains("tag 1: complete 0000003000"), out.constData());
    QCOMPARE(tool(run + QStringList{"--first", "00000030"}, nullptr, &err), int(Cli::kUsage));
    QVERIFY2(err.contains("--first must be a tag ID"), err.constData());
}

// Two stations work through one list on one record; one is killed mid-run and started again.
// No ID goes onto two tags, and the record accounts for every one: on a tag or in doubt.
void TestCli::uidListRunsOnTwoStationsToItsEnd()
{
    constexpr int kIds = 24;
    VirtualBox second(m_dir->path(), 8);
    QString error;
    QVERIFY2(second.start(&error), qPrintable(error));
    m_box->setConveyor(true, kGapMs, kGapMs);
    second.setConveyor(true, kGapMs, kGapMs);
    QByteArray ids = "tag id\n";
    for (int i = 0; i < kIds; ++i)
        ids += QByteArray::number(0x3000 + i, 16).rightJustified(10, '0') + '\n';
    file(QStringLiteral("ids.csv"), ids);
    const QString job = file(QStringLiteral("job.json"), R"({"format": "kestrel-rfid-job",
        "version": 3, "uid": {"write": true, "list": {"file": "ids.csv"}},
        "blocks": {"3": "33333333"}})");
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    QList<std::shared_ptr<QProcess>> runs;
    QList<QByteArray> outs;
    const auto station = [&](const char *port) {
        auto p = std::make_shared<QProcess>();
        // A station of its own: its installation's key, made when it first runs, is its alone.
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("XDG_DATA_HOME"),
                   m_dir->filePath(QStringLiteral("data-") + QString::fromLatin1(port)));
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(KESTREL_TOOL_PATH),
                 {"produce", "--port", port, "--job", job, "--record", record, "--events", "-"});
        runs << p;
        outs << QByteArray();
        return p;
    };
    const auto read = [&] {
        for (int i = 0; i < runs.size(); ++i)
            outs[i] += runs[i]->readAllStandardOutput();
    };
    const std::shared_ptr<QProcess> killed = station("07");
    const std::shared_ptr<QProcess> b = station("08");
    QVERIFY(QTest::qWaitFor(
        [&] {
            read();
            return outs[0].count("\"event\":\"tag\"") >= 3;
        },
        60000));
    killed->kill();
    killed->waitForFinished();
    const std::shared_ptr<QProcess> again = station("07");
    const auto ended = [](const QProcess &p) {
        return p.state() == QProcess::NotRunning;
    };
    QVERIFY(QTest::qWaitFor([&] { return ended(*again) && ended(*b); }, 120000));
    read();
    QCOMPARE(again->exitCode(), 0);
    QCOMPARE(b->exitCode(), 0);

    QStringList written;
    for (const QByteArray &out : std::as_const(outs)) {
        for (const QByteArray &line : out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o[QStringLiteral("event")] == QLatin1String("tag")
                && o[QStringLiteral("result")] == QLatin1String("complete"))
                written << o[QStringLiteral("uidRead")].toString();
            if (o[QStringLiteral("event")] == QLatin1String("stopped") && &out != &outs[0])
                QVERIFY2(o[QStringLiteral("why")].toString().endsWith(
                             QStringLiteral("the run is done.")),
                         line.constData());
        }
    }
    QCOMPARE(QSet<QString>(written.cbegin(), written.cend()).size(), written.size());
    // On the tags themselves too: each ID on one tag at most.
    QMap<quint64, int> onTags;
    for (VirtualBox *box : {m_box.get(), &second}) {
        QList<T5557::Tag> tags = box->departed();
        if (box->engine().hasTag())
            tags << box->engine().tag();
        for (const T5557::Tag &t : std::as_const(tags)) {
            if (t.id())
                ++onTags[*t.id()];
        }
    }
    for (const QString &uid : std::as_const(written))
        QCOMPARE(onTags.value(uid.toULongLong(nullptr, 16)), 1);
    for (auto it = onTags.cbegin(); it != onTags.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(QString::number(it.key(), 16)));

#if KESTREL_GUI
    // As the Records window shows the list.
    RecordsWindow window(record);
    const QAbstractItemModel *lists = window.listModel();
    QTRY_COMPARE(lists->rowCount(), 1);
    const auto cell = [lists](int column) {
        return lists->index(0, column).data();
    };
    QCOMPARE(cell(0).toString(), QStringLiteral("ids.csv"));
    QCOMPARE(cell(2).toInt(), kIds);
    QCOMPARE(cell(5).toInt(), 0);
    const int used = cell(3).toInt();
    const int inDoubt = cell(4).toInt();
    // The killed station's tag in the field may hold its ID, and the outcome of the tag it had
    // just finished may not have reached the record: in doubt, never given again.
    QVERIFY2(used >= written.size() - 1 && used <= written.size() && inDoubt <= 2
                 && used + inDoubt == kIds,
             qPrintable(QStringLiteral("%1 written, %2 used, %3 in doubt")
                            .arg(written.size())
                            .arg(used)
                            .arg(inDoubt)));
#endif

    // Used up: the next run ends at once, before a batch opens or a tag is waited for.
    QByteArray out;
    QByteArray err;
    QCOMPARE(tool({"produce", "--port", "07", "--job", job, "--record", record, "--events", "-"},
                  &out, &err),
             0);
    QVERIFY2(out.contains("No ID of UID list ids.csv is left to write: the run is done")
                 && out.contains("\"tags\":0") && !out.contains("\"event\":\"batch\""),
             out.constData());
}

void TestCli::largeUidListLoadsBeforeTheBatchStarts()
{
    // Far more than the record takes within the loop's patience in one go.
    constexpr int kIds = 300000;
    QByteArray ids;
    ids.reserve(kIds * 11);
    for (int i = 0; i < kIds; ++i)
        ids += QByteArray::number(0x5000000 + i, 16).rightJustified(10, '0') + '\n';
    file(QStringLiteral("ids.csv"), ids);
    const QString job = file(QStringLiteral("job.json"), R"({"format": "kestrel-rfid-job",
        "version": 3, "uid": {"write": true, "list": {"file": "ids.csv"}}})");
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    m_box->setConveyor(true, kGapMs, kGapMs);
    const QStringList run{"produce", "--port", "07", "--job", job, "--record", record};

    // A signal while it loads: no batch, and what went in stays for the next start.
    QByteArray err;
    QCOMPARE(tool(run, nullptr, &err,
                  [](QProcess &p) {
                      p.setReadChannel(QProcess::StandardError);
                      QVERIFY(QTest::qWaitFor(
                          [&p] { return p.peek(1 << 16).contains("Loading UID list"); }, 30000));
                      ::kill(pid_t(p.processId()), SIGTERM);
                  }),
             0);
    QVERIFY2(err.contains("no batch was started"), err.constData());

    QByteArray out;
    QCOMPARE(tool(run + QStringList{"--count", "2"}, &out, &err), 0);
    QVERIFY2(err.contains("Finding the free IDs of UID list ids.csv: 100 %"), err.constData());
    QVERIFY2(out.contains("tag 1: complete 0005000000")
                 && out.contains("tag 2: complete 0005000001"),
             out.constData());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "large");
        db.setDatabaseName(record);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT (SELECT COUNT(*) FROM uid_list_id), (SELECT COUNT(*) FROM batch)")
                && q.next());
        QCOMPARE(q.value(0).toInt(), kIds);
        QCOMPARE(q.value(1).toInt(), 1);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("large"));
}

void TestCli::seededRunsKeepTheLinesPromises_data()
{
    QTest::addColumn<quint32>("seed");
    // More seeds: KESTREL_PRODUCE_SEEDS=N.
    const int seeds = qMax(4, qEnvironmentVariableIntValue("KESTREL_PRODUCE_SEEDS"));
    for (int i = 1; i <= seeds; ++i)
        QTest::addRow("seed %d", i) << quint32(i);
}

// produce on a conveyor whose box now and then loses, garbles, splits or delays a reply,
// ended by one of the ways a line ends it (the count, a signal, two signals, a reader of the
// events that goes away) at a moment the seed draws. Whatever happened, the line's promises
// hold afterwards: the tool ended by itself and said why, the batch is closed with no tag in
// progress, no ID is on two tags, every UID the record holds as written is on exactly one
// tag, a complete tag carries the job's blocks, and no UID was passed over without a word.
void TestCli::seededRunsKeepTheLinesPromises()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    const int gap = 60 + int(rng.bounded(200));
    m_box->setConveyor(true, gap, gap);
    const double faultRate = 0.05 + rng.generateDouble() * 0.1;
    const QStringList faults{"drop", "garble", "split", "late"};
    QElapsedTimer quiet;
    quiet.start();
    connect(m_box.get(), &VirtualBox::event, this, [&](const QString &e) {
        quiet.restart();
        if (e.startsWith(QLatin1String("<- ")) && rng.generateDouble() < faultRate)
            m_box->execute(faults[int(rng.bounded(qsizetype(faults.size())))]);
    });
    // A stalled or failed tag gets no buzzer that moves the conveyor: the operator takes it
    // off and sets the conveyor going again.
    QTimer operatorOnTheLine;
    connect(&operatorOnTheLine, &QTimer::timeout, this, [&] {
        if (quiet.elapsed() < 3000)
            return;
        if (m_box->engine().hasTag())
            m_box->execute(QStringLiteral("remove"));
        m_box->setConveyor(true, gap, gap);
        quiet.restart();
    });
    operatorOnTheLine.start(250);
    enum End { Count, Signal, TwoSignals, ReaderGone };
    const End end = End(rng.bounded(4));
    const int afterTags = 1 + int(rng.bounded(5));
    const QString record = m_dir->filePath(QStringLiteral("r.sqlite"));
    QStringList arguments{"produce",
                          "--port",
                          "07",
                          "--job",
                          file("job.json", kJob),
                          "--record",
                          record,
                          "--events",
                          "-",
                          "--count",
                          QString::number(end == Count ? afterTags : 50)};
    if (end == ReaderGone) {
        const QString pipe = QStringLiteral("\"$0\" \"$@\" | head -n %1 >/dev/null; exit "
                                            "\"${PIPESTATUS[0]}\"")
                                 .arg(afterTags + 1);
        arguments = QStringList{"-c", pipe, QStringLiteral(KESTREL_TOOL_PATH)} + arguments;
    }
    const QString context = QStringLiteral("seed %1, gap %2 ms, end %3 after %4 tags")
                                .arg(seed)
                                .arg(gap)
                                .arg(int(end))
                                .arg(afterTags);
    QByteArray out;
    QByteArray err;
    QElapsedTimer stopping;
    const int exit = tool(arguments, &out, &err, [&](QProcess &p) {
        if (end != Signal && end != TwoSignals)
            return;
        QVERIFY(QTest::qWaitFor(
            [&] { return commandsReceived().filter(QStringLiteral("SB1")).size() >= afterTags; },
            30000));
        // Somewhere in the next tag's cycle.
        QTest::qWait(int(rng.bounded(1500)));
        // A process that ended has no id: kill(0) would signal this test.
        const auto signal = [&p](int which) {
            if (p.processId() > 0)
                ::kill(pid_t(p.processId()), which);
        };
        stopping.start();
        signal(SIGTERM);
        if (end == TwoSignals) {
            QTest::qWait(int(rng.bounded(1000)));
            signal(SIGINT);
        }
    });
    const QString said = context + QStringLiteral("\n") + QString::fromUtf8(err);
    QVERIFY2(exit == 0 || exit == int(Cli::kTagFailed) || exit == int(Cli::kOutputFailed),
             qPrintable(QString::number(exit) + QStringLiteral(": ") + said));
    if (stopping.isValid())
        QVERIFY2(stopping.elapsed() < 10000, qPrintable(said));
    if (end == ReaderGone)
        QCOMPARE(exit, int(Cli::kOutputFailed));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "seeded");
    db.setDatabaseName(record);
    QVERIFY(db.open());
    QSqlQuery q(db);
    QVERIFY(q.exec("SELECT count(*) FROM batch WHERE stopped IS NULL") && q.next());
    QVERIFY2(q.value(0).toInt() == 0, qPrintable(said));
    QVERIFY(q.exec("SELECT count(*) FROM tag WHERE result = 'in progress'") && q.next());
    QVERIFY2(q.value(0).toInt() == 0, qPrintable(said));

    QMap<quint64, QList<T5557::Tag>> onTags;
    QList<T5557::Tag> tags = m_box->departed();
    if (m_box->engine().hasTag())
        tags << m_box->engine().tag();
    for (const T5557::Tag &t : std::as_const(tags)) {
        if (t.id())
            onTags[*t.id()] << t;
    }
    for (auto it = onTags.cbegin(); it != onTags.cend(); ++it)
        QVERIFY2(it.value().size() == 1, qPrintable(QStringLiteral("ID %1 on %2 tags; ")
                                                        .arg(it.key(), 10, 16, QChar(u'0'))
                                                        .arg(it.value().size())
                                                    + said));
    QVERIFY(q.exec("SELECT uid_read, result FROM tag WHERE uid_confirmed = 1"));
    while (q.next()) {
        const quint64 id = q.value(0).toString().toULongLong(nullptr, 16);
        QVERIFY2(onTags.value(id).size() == 1,
                 qPrintable(QStringLiteral("the record has %1 on a tag, the line on %2; ")
                                .arg(q.value(0).toString())
                                .arg(onTags.value(id).size())
                            + said));
        if (q.value(1).toString() == QLatin1String("complete"))
            QVERIFY2(
                onTags.value(id).first().blocks[3] == 0x33333333u
                    && onTags.value(id).first().blocks[4] == 0x44444444u,
                qPrintable(
                    QStringLiteral("%1 complete without its blocks; ").arg(q.value(0).toString())
                    + said));
    }
    QSet<quint64> accounted;
    QVERIFY(q.exec("SELECT uid, state FROM reservation ORDER BY uid"));
    quint64 last = 0x2000;
    QStringList held;
    while (q.next()) {
        const quint64 id = q.value(0).toString().toULongLong(nullptr, 16);
        accounted << id;
        last = qMax(last, id);
        held << q.value(0).toString() + u' ' + q.value(1).toString();
    }
    // In the job's own steps.
    QString error;
    const AutoLoop::Options o = Job::parse(kJob, &error)->options({});
    for (QString u = o.setUidText; Uid::tagId(u, true).value_or(last) < last;
         u = AutoLoop::nextUid(o, u))
        QVERIFY2(accounted.contains(*Uid::tagId(u, true)) || onTags.contains(*Uid::tagId(u, true)),
                 qPrintable(QStringLiteral("UID %1 passed over without a word; ").arg(u) + said
                            + held.join(u'\n') + QString::fromUtf8(out)));
    q.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("seeded"));
}

KESTREL_TEST_MAIN(TestCli)
#include "tst_cli.moc"
