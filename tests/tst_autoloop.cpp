#include "box/boxengine.h"
#include "core/autoloop.h"
#include "linesim.h"
#include "testmain.h"

#include <QtTest>

using namespace AutoLoop;
using Result = TagOutcome::Result;

namespace {

// Plays the window's part around the engine, without timers: replies come before the next
// 300 ms tick, a box engine answers the commands, and the clock is the test's.
struct Driver {
    Engine e;
    Options o;
    BoxEngine box;
    QStringList sent;
    QList<QByteArray> pending;
    QList<Notice> notices;
    QList<TagOutcome> outcomes;
    int beeps = 0;
    int ticks = 0;
    bool armed = false;
    bool holding = false;
    bool switchedOff = false;
    qint64 now = 0;
    // Changes a reply on its way back (a lost one becomes empty).
    std::function<QByteArray(const QString &command, const QByteArray &reply)> line;

    Driver()
    {
        e.clock = [this] {
            return now;
        };
        box.delays = {};
        o.blockTexts = {"00148040", "11111111", "22222222", "33333333",
                        "44444444", "55555555", "66666666", "A1B2C3D4"};
        o.setUidText = QStringLiteral("0000000005");
        o.incText = QStringLiteral("0000000001");
    }

    void apply(const Actions &a)
    {
        if (a.block0)
            o.blockTexts[0] = *a.block0;
        if (a.setUid)
            o.setUidText = *a.setUid;
        notices += a.notices;
        beeps += a.beeps;
        if (a.timer != StepTimer::Leave)
            armed = a.timer == StepTimer::Start || a.timer == StepTimer::Wait;
        holding = holding || a.hold;
        switchedOff = switchedOff || a.switchedOff.has_value();
        if (a.outcome)
            outcomes << *a.outcome;
        if (!a.command)
            return;
        sent << *a.command;
        const auto answer = box.command(a.command->toLatin1());
        const QByteArray text = answer ? answer->text : QByteArray();
        const QByteArray delivered = line ? line(*a.command, text) : text;
        if (!delivered.isEmpty())
            pending << delivered;
    }

    // What the box was told at the start ("RUX", "RUD") is kept apart from the tag's commands.
    QString baseTold;
    void start()
    {
        apply(e.start(o));
        baseTold = sent.isEmpty() ? QString() : sent.takeFirst();
        notices.clear();
    }
    void stop() { apply(e.stop()); }
    void reply(const QByteArray &head)
    {
        apply(e.reply(Reply::classify(QString::fromLatin1(head.left(10))), o));
    }
    void timeout() { apply(e.replyTimedOut()); }

    // Runs until nothing moves: a pending reply first, then the end of the hold, then a tick.
    void settle()
    {
        for (int guard = 0; guard < 200; ++guard) {
            if (!pending.isEmpty()) {
                reply(pending.takeFirst());
                continue;
            }
            if (holding) {
                holding = false;
                apply(e.holdEnded(o));
                continue;
            }
            if (!armed)
                return;
            armed = false;
            ++ticks;
            now += 300;
            apply(e.tick(o));
        }
        QFAIL("the loop never settled");
    }

    void present(const T5557::Tag &tag)
    {
        const QByteArray report = box.present(tag);
        if (!report.isEmpty())
            pending << report;
        settle();
    }

    void remove()
    {
        pending << box.remove();
        settle();
    }

    Notice last() const { return notices.value(notices.size() - 1); }
    QList<Notice> of(Notice::Kind kind) const
    {
        QList<Notice> found;
        for (const Notice &n : notices) {
            if (n.kind == kind)
                found << n;
        }
        return found;
    }
};

void choose(Options &o, const QStringList &options)
{
    chooseByWords(o, options);
}

} // namespace

// The production loop's engine on its own: step plans, reply transitions and the faults
// that once let a tag go wrong unseen.
class TestAutoLoop : public QObject {
    Q_OBJECT
private slots:
    void batchNamesTheOptions_data();
    void batchNamesTheOptions();
    void uidCustodyNeverLosesAUidThatMayBeOnATag();
    void atPaceRepliesTheFieldQuestionsAnswerIsNoNewTag();
    void stepPlanForOneTag_data();
    void stepPlanForOneTag();
    void replyTransitions_data();
    void replyTransitions();
    void uidReadBackRetriesThenGivesUp();
    void prefixFormUidReadsBackWhole_data();
    void prefixFormUidReadsBackWhole();
    void outcomeCarriesWhatWasWrittenAndReadBack();
    void failedBlockWriteEndsAsFailedAndStillMovesTheConveyor();
    void lateUidConfirmationSkipsNoUid();
    void tagFoundWhileOffIsHandledAfterTheStart();
    void mismatchAfterTimeOutRepeatsTheSameUid();
    void uidWriteAnsweredByError_data();
    void uidWriteAnsweredByError();
    void orderingsThatOnceBrokeTheLoop_data();
    void orderingsThatOnceBrokeTheLoop();
    void uidsHeldElsewhereAreSteppedPastAndRefusalStops();
    void loopWaitsForTheRecordAndSendsNothingMeanwhile();
    void noTagSoonAfterALostAnswerConfirmsNoLock();
    void decimalStepPastTheLargestIdIsOutOfRange();
    void decimalJobOnAHexBoxReadsBackTagIds();
    void stopForgetsStopAfterThisTag();
    void tickDuringHoldWaitsForItsEnd();
    void tagLeavingOrStallingEndsItsOutcome();
};

// What a batch records of its options, in the words its readers know.
void TestAutoLoop::batchNamesTheOptions_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("names");
    const QString starts = QStringLiteral(
        "starts on Not configration, starts on Not UID Tag, starts on With identifier");
    QTest::newRow("nothing") << QStringList{} << starts;
    QTest::newRow("all") << QStringList{"unlock", "setUid", "autoInc", "cb3", "password", "lock"}
                         << "Auto Unlock, Auto Set UID, Auto inc (UID+), Write Block, Write "
                            "Password (B7), Lock UID & Block's, "
                                + starts;
    QTest::newRow("incWithoutSetUid")
        << QStringList{"autoInc", "cb1", "rewrite"} << "Write Block, " + starts;
}

void TestAutoLoop::batchNamesTheOptions()
{
    QFETCH(QStringList, words);
    Options o;
    chooseByWords(o, words);
    QTEST(batchOptionNames(o).join(QStringLiteral(", ")), "names");
}

void TestAutoLoop::uidCustodyNeverLosesAUidThatMayBeOnATag()
{
    // Over every state and event: only choosing the next UID or reading this one back as
    // written lets go of a tag that left with it; a write's own events may put it on the tag
    // in the field, and the end of a cycle takes it off the field.
    for (int c = 0; c < 5; ++c) {
        for (int e = 0; e <= int(CustodyEvent::SeenLate); ++e) {
            const auto from = Custody(c);
            const auto event = CustodyEvent(e);
            const Custody to = custodyAfter(from, event);
            const QByteArray row = QByteArray(custodyName(from)) + " on " + QByteArray::number(e);
            const bool letsGo = event == CustodyEvent::NextChosen
                                || event == CustodyEvent::ReadBackRight
                                || event == CustodyEvent::Sent;
            if (mayBeOnGoneTag(from) && !letsGo)
                QVERIFY2(mayBeOnGoneTag(to), row);
            if (event == CustodyEvent::CycleEnded)
                QVERIFY2(!mayBeOnFieldTag(to) && (mayBeOnFieldTag(from) <= mayBeOnGoneTag(to)),
                         row);
            if (event == CustodyEvent::ReadBackWrong || event == CustodyEvent::Sent)
                QVERIFY2(mayBeOnFieldTag(to), row);
        }
    }

    // Through the engine: a tag pulled before its UID write was answered takes the UID with
    // it, and the next tag is given the next one.
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    QStringList trace;
    d.e.custodyTrace = [&](Custody from, Custody to, const char *) {
        trace << QStringLiteral("%1>%2").arg(custodyName(from), custodyName(to));
    };
    d.start();
    d.present(T5557::blankTag());
    QCOMPARE(trace, (QStringList{"Free>Writing", "Writing>OnTag", "OnTag>Free"}));
    d.remove();
    trace.clear();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith("WUX") ? QByteArray() : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.last(), QStringLiteral("WUX0000000006"));
    d.line = nullptr;
    d.remove();
    QCOMPARE(trace, (QStringList{"Free>Writing", "Writing>Gone"}));
    d.present(T5557::blankTag());
    QVERIFY(d.sent.contains(QStringLiteral("WUX0000000007")));
    QCOMPARE(d.e.state().UidCustody, Custody::Free);
}

void TestAutoLoop::atPaceRepliesTheFieldQuestionsAnswerIsNoNewTag()
{
    // The start asks the box what is in the field while a tag arrives: its report and the
    // answer both come, the answer after the tag's first command has left.
    for (const bool asked : {true, false}) {
        Driver d;
        choose(d.o, {"setUid", "autoInc"});
        d.o.pace = Options::Pace::Replies;
        d.o.firstCommandMs = 0;
        d.start();
        if (asked)
            d.e.fieldAsked();
        QByteArray report;
        d.line = [&](const QString &command, const QByteArray &answer) {
            if (command.startsWith(QLatin1String("WUX")) && !report.isEmpty())
                d.pending << std::exchange(report, {});
            return answer;
        };
        report = d.box.present(T5557::blankTag());
        d.pending << report;
        d.settle();
        QList<Result> results;
        for (const TagOutcome &t : d.outcomes)
            results << t.result;
        // Unasked, a second report is a new tag: the first is given up.
        QCOMPARE(results, asked ? QList<Result>{Result::Complete}
                                : (QList<Result>{Result::Stalled, Result::Complete}));
    }
}

void TestAutoLoop::stepPlanForOneTag_data()
{
    QTest::addColumn<bool>("lockedTag");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("plan");
    QTest::addColumn<int>("ticks");
    QTest::newRow("noOptions") << false << QStringList{} << QStringList{"WB000148040", "SB1"} << 3;
    QTest::newRow("onlySetUidHex")
        << false << QStringList{"setUid"} << QStringList{"WUX0000000005", "SB1"} << 3;
    QTest::newRow("onlySetUidDec")
        << false << QStringList{"setUid", "dec"} << QStringList{"WUD0000000005", "SB1"} << 3;
    QTest::newRow("blocks3and5") << false << QStringList{"cb3", "cb5"}
                                 << QStringList{"WB000148040", "WB333333333", "WB555555555", "SB1"}
                                 << 3;
    QTest::newRow("unlockLockedTag")
        << true << QStringList{"unlock"} << QStringList{"WP0A1B2C3D400148040", "SB1"} << 3;
    QTest::newRow("unlockThenUidAndBlocks")
        << true << QStringList{"unlock", "setUid", "cb1"}
        << QStringList{"WP0A1B2C3D400148040", "WUX0000000005", "WB111111111", "SB1"} << 4;
    QTest::newRow("everything")
        << false << QStringList{"setUid", "cb3", "cb4", "cb6", "password", "lock"}
        << QStringList{"WUX0000000005", "WB333333333", "WB444444444", "WB666666666",
                       "WB7A1B2C3D4",   "WB000148250", "SB1"}
        << 3;
}

void TestAutoLoop::stepPlanForOneTag()
{
    QFETCH(bool, lockedTag);
    QFETCH(QStringList, options);
    QFETCH(QStringList, plan);
    QFETCH(int, ticks);
    Driver d;
    choose(d.o, options);
    d.start();
    // The box is told the job's base first, whatever base it reported in before.
    QCOMPARE(d.baseTold, options.contains("dec") ? "RUD" : "RUX");
    QCOMPARE(d.o.blockTexts[0], QStringLiteral("00148040"));
    d.o.blockTexts[0] = QStringLiteral("00148250");
    d.present(lockedTag ? T5557::protectedTag(0xA1B2C3D4, 0x1122334455, false) : T5557::blankTag());
    QCOMPARE(d.sent, plan);
    QCOMPARE(d.ticks, ticks);
    QCOMPARE(d.last().kind, Notice::Kind::TagComplete);
    QCOMPARE(d.beeps, 1);
    QCOMPARE(int(d.e.state().AutoStep), 0);
    QVERIFY(d.e.state().TagHandled);
    QVERIFY(d.e.AutoWriteRunning());
    QCOMPARE(d.outcomes.size(), 1);
    QCOMPARE(d.outcomes[0].result, Result::Complete);
}

void TestAutoLoop::replyTransitions_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("tagHandled");
    QTest::addColumn<bool>("uidConfirmed");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("nextStep");
    QTest::addColumn<int>("timer");
    QTest::addColumn<bool>("handledAfter");
    const int leave = int(StepTimer::Leave), start = int(StepTimer::Start);
    const int stop = int(StepTimer::Stop);
    QTest::newRow("hexBaseReportStarts")
        << 0 << true << false << false << QByteArray("ErrCode:06") << 1 << start << false;
    QTest::newRow("hexBaseReportWaitsForTagToLeave")
        << 0 << true << true << false << QByteArray("ErrCode:06") << 0 << leave << true;
    QTest::newRow("hexBaseReportWhileOff")
        << 0 << false << false << false << QByteArray("ErrCode:06") << 0 << leave << false;
    QTest::newRow("notConfigStarts")
        << 0 << true << true << false << QByteArray("MsgCode:03") << 1 << start << true;
    QTest::newRow("notConfigAfterConfirmedUidWaits")
        << 0 << true << false << true << QByteArray("MsgCode:03") << 0 << leave << false;
    QTest::newRow("noUidStarts") << 0 << true << false << false << QByteArray("MsgCode:04") << 1
                                 << start << false;
    QTest::newRow("noUidWaitsForTagToLeave")
        << 0 << true << true << false << QByteArray("MsgCode:04") << 0 << leave << true;
    QTest::newRow("identifierWhileOffOnlyMarksTag")
        << 0 << false << false << false << QByteArray("1122334455") << 1 << leave << false;
    QTest::newRow("identifierStarts")
        << 6 << true << true << false << QByteArray("1122334455") << 1 << start << true;
    QTest::newRow("unlockConfirmed")
        << 2 << true << false << false << QByteArray("W000148040") << 3 << start << false;
    QTest::newRow("configurationConfirmed")
        << 3 << true << false << false << QByteArray("W000148040") << 4 << start << false;
    QTest::newRow("lockConfirmedCompletes")
        << 11 << true << false << false << QByteArray("W000148250") << 0 << stop << true;
    QTest::newRow("lockAnsweredNoPresentCompletes")
        << 11 << true << false << false << QByteArray("ErrCode:03") << 0 << stop << true;
    QTest::newRow("writeAfterCycleIgnored")
        << 12 << true << false << false << QByteArray("W000148250") << 12 << leave << false;
    QTest::newRow("writeWhileOffIgnored")
        << 5 << false << false << false << QByteArray("W222222222") << 5 << leave << false;
    QTest::newRow("cardOutReadiesNextTag")
        << 0 << true << true << false << QByteArray("MsgCode:05") << 0 << leave << false;
    QTest::newRow("cardOutAtUidWriteEndsTheCycle")
        << 3 << true << true << false << QByteArray("MsgCode:05") << 0 << stop << false;
}

void TestAutoLoop::replyTransitions()
{
    QFETCH(int, step);
    QFETCH(bool, running);
    QFETCH(bool, tagHandled);
    QFETCH(bool, uidConfirmed);
    QFETCH(QByteArray, reply);
    Engine e;
    Engine::State s;
    s.AutoStep = Step(step);
    s.AutoWriteRunning = running;
    s.TagHandled = tagHandled;
    s.UidWriteConfirmed = uidConfirmed;
    s.ExpectedUID = s.LastUID = QStringLiteral("0000000007");
    e.restore(s);
    Options o;
    o.lock = true;
    const Actions a = e.reply(Reply::classify(QString::fromLatin1(reply)), o);
    QTEST(int(e.state().AutoStep), "nextStep");
    QTEST(int(a.timer), "timer");
    QTEST(e.state().TagHandled, "handledAfter");
    if (reply == "MsgCode:03")
        QVERIFY(!e.state().UidWriteConfirmed);
}

void TestAutoLoop::uidReadBackRetriesThenGivesUp()
{
    Driver d;
    choose(d.o, {QStringLiteral("setUid"), QStringLiteral("autoInc")});
    d.o.setUidText = QStringLiteral("00AB123456");
    d.o.incText = QStringLiteral("0000000002");
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WUX")) ? QByteArray("0000009999") : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.count(QStringLiteral("WUX00AB123456")), kUidRetryLimit);
    QCOMPARE(d.sent.last(), QStringLiteral("SB1"));
    QCOMPARE(d.last().kind, Notice::Kind::TagFailed);
    QCOMPARE(d.last().text,
             QStringLiteral("UID read back as 0000009999 after 5 writes of 00AB123456"));
    QCOMPARE(d.notices[d.notices.size() - 2].kind, Notice::Kind::UidGaveUp);
    QCOMPARE(d.notices[d.notices.size() - 2].uid, QStringLiteral("0000009999"));
    QCOMPARE(d.outcomes.last().result, Result::Failed);
    QCOMPARE(d.outcomes.last().retries, kUidRetryLimit);
    QCOMPARE(d.e.state().UidRetryCount, 0);
    QVERIFY(d.e.state().TagHandled);
    QCOMPARE(d.o.setUidText, QStringLiteral("00AB123456"));
}

// A line's prefix ("XXXX999999") is read back whole: a read-back that differs anywhere is
// written again, never confirmed, and the next good read-back confirms it.
void TestAutoLoop::prefixFormUidReadsBackWhole_data()
{
    QTest::addColumn<QByteArray>("firstReadBack");
    QTest::addColumn<int>("writes");
    QTest::newRow("as written") << QByteArray("00AB123456") << 1;
    QTest::newRow("character 1 differs") << QByteArray("10AB123456") << 2;
    QTest::newRow("character 2 differs") << QByteArray("01AB123456") << 2;
    QTest::newRow("character 3 differs") << QByteArray("00CB123456") << 2;
    QTest::newRow("character 4 differs") << QByteArray("00AC123456") << 2;
    QTest::newRow("garbled on the wire as in the field") << QByteArray("FFFF123456") << 2;
    QTest::newRow("the serial differs") << QByteArray("00AB123457") << 2;
}

void TestAutoLoop::prefixFormUidReadsBackWhole()
{
    QFETCH(QByteArray, firstReadBack);
    QFETCH(int, writes);
    Driver d;
    choose(d.o, {QStringLiteral("setUid"), QStringLiteral("autoInc")});
    d.o.setUidText = QStringLiteral("00AB123456");
    d.o.incText = QStringLiteral("0000000002");
    d.start();
    bool first = true;
    d.line = [&](const QString &command, const QByteArray &reply) {
        if (!command.startsWith(QLatin1String("WUX")) || !first)
            return reply;
        first = false;
        return firstReadBack;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.count(QStringLiteral("WUX00AB123456")), writes);
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    QCOMPARE(d.outcomes.last().uidRead, QStringLiteral("00AB123456"));
    QVERIFY(d.outcomes.last().uidConfirmed);
    QCOMPARE(d.o.setUidText, QStringLiteral("00AB123458"));
}

void TestAutoLoop::outcomeCarriesWhatWasWrittenAndReadBack()
{
    Driver d;
    choose(d.o, {"setUid", "cb3", "password", "lock"});
    d.start();
    d.now = 1000;
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.size(), 1);
    const TagOutcome &t = d.outcomes[0];
    QCOMPARE(t.result, Result::Complete);
    QCOMPARE(t.uidAsked, QStringLiteral("0000000005"));
    QCOMPARE(t.uidRead, QStringLiteral("0000000005"));
    QVERIFY(t.hexBase);
    QCOMPARE(t.writes.size(), 3);
    QCOMPARE(t.writes[0].block, 3);
    QCOMPARE(t.writes[0].sent, QStringLiteral("33333333"));
    QCOMPARE(t.writes[0].readBack, QStringLiteral("33333333"));
    QVERIFY(t.passwordWritten());
    QVERIFY(t.locked());
    QCOMPARE(t.startMs, 1000);
    QCOMPARE(t.endMs, 1000 + 3 * 300);
}

// A block that reads back wrong once showed " Auto Write Complete!" in green.
void TestAutoLoop::failedBlockWriteEndsAsFailedAndStillMovesTheConveyor()
{
    Driver d;
    choose(d.o, {"cb3", "cb4"});
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WB3")) ? QByteArray("W333333334") : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.sent, (QStringList{"WB000148040", "WB333333333", "WB444444444", "SB1"}));
    const QList<Notice> answered = d.of(Notice::Kind::WriteAnswered);
    QCOMPARE(answered.size(), 2);
    QVERIFY(!answered[0].ok && answered[1].ok);
    QCOMPARE(d.last().kind, Notice::Kind::TagFailed);
    QVERIFY(d.last().text.startsWith(QStringLiteral("block 3")));
    QCOMPARE(d.beeps, 2);
    QCOMPARE(d.outcomes[0].result, Result::Failed);
}

// A UID write confirmed after its time-out once left the tool believing it unanswered.
void TestAutoLoop::lateUidConfirmationSkipsNoUid()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    d.start();
    QByteArray late;
    d.line = [&](const QString &command, const QByteArray &reply) {
        if (!command.startsWith(QLatin1String("WUX")) || !late.isNull())
            return reply;
        late = reply;
        return QByteArray();
    };
    d.present(T5557::blankTag());
    d.timeout();
    d.pending << late;
    d.settle();
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    d.remove();
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")), (QStringList{"WUX0000000010", "WUX0000000011"}));
}

// A tag that reported while the loop was off, and left while the link was down, is no tag in
// progress: its ID coming again after the start (a UID whose answer was lost) is handled, not
// ignored as the late answer of a tag being written.
void TestAutoLoop::tagFoundWhileOffIsHandledAfterTheStart()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WUX")) ? QByteArray() : reply;
    };
    d.present(T5557::blankTag());
    d.timeout();
    d.remove();
    d.stop();
    d.reply("0000000010");
    d.apply(d.e.linkClosed());
    d.start();
    d.sent.clear();
    d.reply("0000000010");
    d.settle();
    QCOMPARE(d.sent, QStringList{"SB1"});
    QCOMPARE(d.e.state().AutoStep, AutoLoop::Step::Idle);
    // The next tag is written with the next UID: the one in doubt is not given again.
    d.remove();
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")), QStringList{"WUX0000000011"});
}

// A shared numbering: UIDs another station holds are stepped past (and logged); a refused
// UID stops the loop before anything is written; endless skipping ends too.
void TestAutoLoop::uidsHeldElsewhereAreSteppedPastAndRefusalStops()
{
    using Kind = Engine::UidVerdict::Kind;
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    QStringList asked;
    d.e.uidGuard = [&](const QString &uid) {
        asked << uid;
        if (uid == QLatin1String("0000000010") || uid == QLatin1String("0000000011"))
            return Engine::UidVerdict{Kind::Skip, QStringLiteral("held by station B")};
        if (uid == QLatin1String("0000000013"))
            return Engine::UidVerdict{Kind::Refuse, QStringLiteral("server away")};
        return Engine::UidVerdict{};
    };
    d.start();
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")), QStringList{"WUX0000000012"});
    QCOMPARE(d.notices[0].kind, Notice::Kind::UidSkipped);
    QCOMPARE(d.notices[0].uid, QStringLiteral("0000000010"));
    QCOMPARE(d.notices[0].text, QStringLiteral("held by station B"));
    QCOMPARE(d.outcomes.last().uidConfirmed, true);
    d.remove();
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")).size(), 1);
    QVERIFY(d.switchedOff);
    QCOMPARE(asked.last(), QStringLiteral("0000000013"));

    Driver busy;
    choose(busy.o, {"setUid", "autoInc"});
    busy.e.uidGuard = [](const QString &) {
        return Engine::UidVerdict{Kind::Skip, QStringLiteral("held")};
    };
    busy.start();
    busy.present(T5557::blankTag());
    QVERIFY(busy.switchedOff);
    QVERIFY(busy.sent.filter(QStringLiteral("WUX")).isEmpty());
    QCOMPARE(busy.of(Notice::Kind::UidSkipped).size(), Engine::kMaxSkips);
}

// A record that has not answered yet: nothing goes to the tag until it has, a tag that left
// meanwhile is not started when the answer comes, and a late answer starts nothing at all.
void TestAutoLoop::loopWaitsForTheRecordAndSendsNothingMeanwhile()
{
    using Kind = Engine::UidVerdict::Kind;
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    bool idKnown = false;
    bool uidKnown = false;
    d.e.recordedAt = [&](const QString &, bool) {
        return idKnown ? Engine::Recorded{} : Engine::Recorded::pending();
    };
    d.e.uidGuard = [&](const QString &) {
        return uidKnown ? Engine::UidVerdict{} : Engine::UidVerdict{Kind::Pending, {}};
    };
    d.start();
    d.box.reportHex = true;
    // The tag's ID is read a second time before the record is asked: nothing else is sent.
    d.present(T5557::tagWithId(0x42));
    QCOMPARE(d.sent, QStringList{"GTS"});
    QVERIFY(d.e.state().AwaitingRecord);
    // Gone before the record answered.
    d.remove();
    idKnown = true;
    d.apply(d.e.recordAnswered(d.o));
    QCOMPARE(d.sent, QStringList{"GTS"});
    QVERIFY(d.outcomes.isEmpty());
    d.sent.clear();

    idKnown = false;
    d.present(T5557::tagWithId(0x43));
    idKnown = true;
    d.apply(d.e.recordAnswered(d.o));
    d.settle();
    // The ID's answer is in; the UID's is not: the cycle waits at the UID write.
    QCOMPARE(int(d.e.state().AutoStep), int(Step::Uid));
    QVERIFY(d.e.state().AwaitingRecord);
    QCOMPARE(d.sent, QStringList{"GTS"});
    uidKnown = true;
    d.apply(d.e.recordAnswered(d.o));
    d.settle();
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")), QStringList{"WUX0000000010"});
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    // Nothing waits now: an answer that comes anyway does nothing.
    const int sent = int(d.sent.size());
    d.apply(d.e.recordAnswered(d.o));
    QCOMPARE(d.sent.size(), sent);
}

// "No Precent!" is how a tag locked by the last write answers, and also the late answer of a
// write to a tag that left: soon after an answer was given up it confirms no lock.
void TestAutoLoop::noTagSoonAfterALostAnswerConfirmsNoLock()
{
    Driver d;
    choose(d.o, {"cb3", "lock"});
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WB3")) ? QByteArray() : reply;
    };
    d.present(T5557::blankTag());
    d.remove();
    d.line = {};
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.last().result, Result::Failed);
    QVERIFY(!d.outcomes.last().locked());
    // Later, it confirms the lock as before.
    d.remove();
    d.now += AutoLoop::kLateAnswerMs;
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.last().result, Result::Complete);
}

// After a time-out the read-back of the same tag differs: the same UID goes to it again.
void TestAutoLoop::mismatchAfterTimeOutRepeatsTheSameUid()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    d.start();
    int uidWrites = 0;
    d.line = [&](const QString &command, const QByteArray &reply) {
        if (!command.startsWith(QLatin1String("WUX")) || ++uidWrites > 1)
            return reply;
        return QByteArray();
    };
    d.present(T5557::blankTag());
    d.timeout();
    d.reply("0000000009");
    d.settle();
    QCOMPARE(d.sent.filter(QStringLiteral("WUX")), (QStringList{"WUX0000000010", "WUX0000000010"}));

    // Had another tag come meanwhile, the first may hold the UID: the next one is used.
    Driver other;
    choose(other.o, {"setUid", "autoInc"});
    other.o.setUidText = QStringLiteral("0000000010");
    other.start();
    other.line = d.line;
    uidWrites = 0;
    other.present(T5557::blankTag());
    other.timeout();
    other.reply("MsgCode:05");
    other.reply("0000000009");
    other.settle();
    QCOMPARE(other.sent.filter(QStringLiteral("WUX")),
             (QStringList{"WUX0000000010", "WUX0000000011"}));
    QCOMPARE(other.outcomes.last().uidAsked, QStringLiteral("0000000011"));
}

// An error that says the box wrote nothing leaves the UID free for the next tag; any other
// error, or none at all, leaves it in doubt, so the next tag gets the next one. Either way the
// tag is failed and moved on.
void TestAutoLoop::uidWriteAnsweredByError_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("nextUid");
    QTest::newRow("lengthIncorrect") << QByteArray("ErrCode:01") << "WUX0000000010";
    QTest::newRow("commandWrong") << QByteArray("ErrCode:02") << "WUX0000000010";
    QTest::newRow("noPassword") << QByteArray("ErrCode:04") << "WUX0000000010";
    QTest::newRow("passwordError") << QByteArray("ErrCode:05") << "WUX0000000010";
    QTest::newRow("noPresent") << QByteArray("ErrCode:03") << "WUX0000000011";
    QTest::newRow("lockError") << QByteArray("ErrCode:07") << "WUX0000000011";
    QTest::newRow("unknownCode") << QByteArray("ErrCode:0x") << "WUX0000000011";
}

void TestAutoLoop::uidWriteAnsweredByError()
{
    QFETCH(QByteArray, answer);
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.setUidText = QStringLiteral("0000000010");
    d.start();
    d.line = [answer](const QString &command, const QByteArray &reply) {
        return command == QLatin1String("WUX0000000010") ? answer : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(int(d.e.state().AutoStep), 0);
    QCOMPARE(d.outcomes.first().result, Result::Failed);
    QCOMPARE(d.sent.last(), QStringLiteral("SB1"));
    d.line = nullptr;
    d.remove();
    d.present(T5557::blankTag());
    QTEST(d.sent.filter(QStringLiteral("WUX")).last(), "nextUid");
    QCOMPARE(d.outcomes.last().result, Result::Complete);
}

// Each row an ordering on a line that once broke a promise (kept as the line simulation's
// script): a tag pulled between its unlock and its UID write wedged the loop; a finished tag
// that came back was counted written again and one UID was skipped; a tag pulled before its
// lock was confirmed was shown complete; a UID the box refused was used up; a wrong password
// read-back put the password into the outcome; a prefix read back garbled was confirmed; a
// late answer for a pulled tag confirmed the next tag's unlock; a refused read-back freed a
// UID that was on a tag; a garbled answer taken for a new tag wrote a second UID over one
// confirmed.
void TestAutoLoop::orderingsThatOnceBrokeTheLoop_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("setUidAfter");
    QTest::newRow("pullBetweenUnlockAndUidWrite")
        << QStringList{"options setUid autoInc unlock inc 1 uid 0000001000",
                       "present pwd gap 100 pull 850", "present pwd gap 200", "present pwd gap 200"}
        << "0000001002";
    QTest::newRow("finishedTagComesBack")
        << QStringList{"options setUid autoInc unlock inc 1 uid 0000001000", "present pwd gap 100",
                       "present pwd gap 100 pull 850", "present earlier 20 gap 100",
                       "present pwd gap 100"}
        << "0000001002";
    QTest::newRow("pullBeforeLockConfirmed")
        << QStringList{"options setUid autoInc lock inc 1 uid 0000001000",
                       "present blank gap 100 pull 1105", "present blank gap 200"}
        << "0000001002";
    QTest::newRow("refusedUidIsNotUsedUp")
        << QStringList{"options setUid autoInc inc 1 uid 0000001000", "present pwd gap 100",
                       "present back gap 100", "present back gap 100", "present blank gap 100"}
        << "0000001001";
    QTest::newRow("passwordReadBackWrong")
        << QStringList{"options password", "present blank gap 100 faults 1:garbled:4"}
        << "0000001000";
    QTest::newRow("garbledPrefixReadBack")
        << QStringList{"options setUid autoInc inc 1 uid 1AC3291613",
                       "present blank gap 100 faults 0:garbled:3"}
        << "1AC3291614";
    // An unlock answered late, after its tag was pulled, came where the next tag's was due.
    QTest::newRow("lateAnswerOfAPulledTag")
        << QStringList{"options unlock cb1 cb2 cb5 inc 1 uid 0000064568", "present config gap 807",
                       "present back gap 290 pull 1015 faults 0:late:27996",
                       "present blank gap 433"}
        << "0000064568";
    // The tag was asked for its UID after a doubtful answer, and the box refused the question.
    // The lock's "No Precent!" garbled into "The ID is the HEX base!", a report of a tag.
    QTest::newRow("garbledAnswerIsNoNewTag")
        << QStringList{"options setUid autoInc unlock lock rewrite inc 2 uid BAEB592420",
                       "present pwd gap 1232 faults 2:garbled:6629"}
        << "BAEB592422";
    // Stopped after the UID was confirmed; started again, the base's answer came garbled into
    // "No UID", a report of a tag.
    QTest::newRow("garbledReportAfterRestart")
        << QStringList{"options setUid autoInc unlock cb3 cb6 lock inc 1 uid 0000006067",
                       "present blank gap 18 stop 1289 faults 2:garbled:31679"}
        << "0000006068";
    // A late UID answer after a second tag's write was answered by an error: both UIDs are on
    // their way, and the first, arriving with no tag in the field, is no tag.
    QTest::newRow("twoUidsInFlight")
        << QStringList{"options setUid autoInc cb4 cb5 cb6 password lock retries 1 inc 1 uid "
                       "0000061519",
                       "present config gap 140 pull 1229 faults 0:late:22948",
                       "present blank gap 28 faults 0:error0:22949 slows 1:329",
                       "present recorded 1 gap 1047"}
        << "0000061520";
    // The port came back; the base's answer came garbled into "No UID", a report of a tag.
    QTest::newRow("garbledBaseAnswerAfterReconnect")
        << QStringList{"options setUid autoInc cb4 cb5 password lock retries 1 inc 1 uid "
                       "0000018361",
                       "present blank gap 446 close 1153 faults 2:garbled:14279"}
        << "0000018362";
    // The base's answer was lost; the tag leaving is no answer to it.
    QTest::newRow("tagLeavingWhileTheBaseIsAsked")
        << QStringList{"options setUid autoInc cb3 cb4 cb5 lock inc 1 uid 32A4423777",
                       "present blank gap 852 stop 1106 faults 2:lost:25170",
                       "present blank gap 929"}
        << "32A4423779";
    // Stopped before the UID's answer, which came after the start again, with a recorded tag
    // in the field.
    QTest::newRow("uidAnsweredAfterStopAndStart")
        << QStringList{"options setUid autoInc unlock cb5 inc 1 uid 0000025041",
                       "present blank gap 348 pull 1504 stop 1264 faults 1:late:4880",
                       "present recorded 6 gap 2"}
        << "0000025041";
    // A UID write left waiting when the link closed took the refused base, after the
    // reconnect, for its answer, and the phantom tag kept the next from starting.
    QTest::newRow("nothingAwaitedAfterReconnect") << QStringList{
        "options setUid autoInc cb5 retries 1 inc 2 uid 0000083275", "present recorded 6 gap 387",
        "present config gap 4 pull 832 close 210 faults 0:error1:2416",
        "present config gap 847"} << "0000083279";
    // A recorded tag's ID came garbled into an ID no tag had: read once, its UID was
    // written over although the operator allowed only recorded tags to be rewritten.
    QTest::newRow("garbledIdOfARecordedTag")
        << QStringList{"options setUid autoInc cb4 cb6 lock rewrite inc 1 uid 0000016724",
                       "present id gap 282 stop 1662 faults 1:lost:16027,2:split:16028,"
                       "3:garbled:16029"}
        << "0000016724";
    QTest::newRow("refusedReadBackIsNoRefusedWrite")
        << QStringList{"options setUid autoInc cb5 password dec retries 2 inc 1 uid 0000052705",
                       "present blank gap 12 faults 0:lost:14386",
                       "present blank gap 703 faults 1:error5:14388", "present config gap 653"}
        << "0000052708";
}

void TestAutoLoop::orderingsThatOnceBrokeTheLoop()
{
    QFETCH(QStringList, script);
    QTemporaryDir dir;
    const LineSim::Result r = LineSim::replay(script, dir.filePath(QStringLiteral("r.sqlite")));
    QVERIFY2(r.violation.isEmpty(), qPrintable(r.violation));
    QTEST(r.setUid, "setUidAfter");
}

// A box reports in hexadecimal after power-up: the loop tells it the job's base, and an ID the
// box reports in the other base (the operator pressed "RUX" mid-run) is the same tag ID,
// confirmed and recorded in the job's base.
void TestAutoLoop::decimalJobOnAHexBoxReadsBackTagIds()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc", "dec"});
    d.o.setUidText = QStringLiteral("0000052705");
    d.box.reportHex = true;
    d.start();
    QCOMPARE(d.baseTold, QStringLiteral("RUD"));
    d.settle();
    QVERIFY(!d.box.reportHex);
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    QCOMPARE(d.outcomes.last().uidRead, QStringLiteral("0000052705"));

    d.remove();
    d.box.reportHex = true;
    d.e.boxReports(true);
    d.present(T5557::blankTag());
    QCOMPARE(d.sent.filter(QStringLiteral("WUD")).last(), QStringLiteral("WUD0000052706"));
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    QCOMPARE(d.outcomes.last().uidRead, QStringLiteral("0000052706"));
    QVERIFY(d.outcomes.last().uidConfirmed);

    // A refusal is asked again; a box that refuses every time stops the loop before a tag.
    for (const int refusals : {2, 5}) {
        Driver refused;
        choose(refused.o, {"setUid", "autoInc", "dec"});
        int left = refusals;
        refused.line = [&left](const QString &command, const QByteArray &reply) {
            return command == QLatin1String("RUD") && left-- > 0 ? QByteArray("ErrCode:02") : reply;
        };
        refused.start();
        refused.settle();
        QCOMPARE(refused.e.AutoWriteRunning(), refusals < 5);
        QCOMPARE(refused.switchedOff, refusals == 5);
    }
}

// The largest decimal tag ID is written, then the run stops in the operator's words: the next
// one is no tag ID, not a fault of the record.
void TestAutoLoop::decimalStepPastTheLargestIdIsOutOfRange()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc"});
    d.o.base = Options::Base::Dec;
    d.box.reportHex = false;
    d.o.setUidText = QStringLiteral("4294967295");
    d.start();
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.last().result, Result::Complete);
    QCOMPARE(d.outcomes.last().uidRead, QStringLiteral("4294967295"));
    const QList<Notice> outOfRange = d.of(Notice::Kind::UidOutOfRange);
    QCOMPARE(outOfRange.size(), 1);
    QCOMPARE(outOfRange[0].uid, QStringLiteral("4294967296"));
    QVERIFY(!d.e.AutoWriteRunning());
    d.remove();
    d.sent.clear();
    d.present(T5557::blankTag());
    QVERIFY(!d.sent.join(u' ').contains(QLatin1String("WUD")));
}

// A UID overflow's "stop after this tag" once outlived Stop and ended the next run early.
void TestAutoLoop::stopForgetsStopAfterThisTag()
{
    Driver d;
    choose(d.o, {"setUid", "autoInc", "cb3"});
    d.o.setUidText = QStringLiteral("9999999999");
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WB3")) ? QByteArray() : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.of(Notice::Kind::UidOutOfRange).size(), 1);
    d.timeout();
    d.stop();
    QCOMPARE(d.outcomes.last().result, Result::Stopped);
    d.o.setUidText = QStringLiteral("0000000001");
    d.line = nullptr;
    d.start();
    d.remove();
    d.present(T5557::blankTag());
    QCOMPARE(d.last().kind, Notice::Kind::TagComplete);
    QVERIFY(d.e.AutoWriteRunning());
    QVERIFY(!d.switchedOff);
}

void TestAutoLoop::tickDuringHoldWaitsForItsEnd()
{
    Engine e;
    Options o;
    e.start(o);
    Engine::State s = e.state();
    s.AutoStep = Step::Complete;
    e.restore(s);
    const Actions done = e.tick(o);
    QCOMPARE(done.command, QStringLiteral("SB1"));
    QVERIFY(done.hold);
    s = e.state();
    s.AutoStep = Step::Uid;
    e.restore(s);
    const Actions early = e.tick(o);
    QVERIFY(!early.command);
    QCOMPARE(e.holdEnded(o).command, QStringLiteral("WB000148040"));
}

void TestAutoLoop::tagLeavingOrStallingEndsItsOutcome()
{
    Driver d;
    choose(d.o, {"cb3", "cb4"});
    d.start();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WB4")) ? QByteArray() : reply;
    };
    d.present(T5557::blankTag());
    d.timeout();
    QVERIFY(d.outcomes.isEmpty());
    d.line = nullptr;
    d.reply("MsgCode:04");
    QCOMPARE(d.outcomes.size(), 1);
    QCOMPARE(d.outcomes[0].result, Result::Stalled);
    QCOMPARE(d.outcomes[0].detail, QStringLiteral("no reply at step 7"));
    QVERIFY(!d.outcomes[0].writes.last().answered);
    d.settle();
    QCOMPARE(d.outcomes.size(), 2);

    d.remove();
    d.line = [](const QString &command, const QByteArray &reply) {
        return command.startsWith(QLatin1String("WB3")) ? QByteArray("MsgCode:05") : reply;
    };
    d.present(T5557::blankTag());
    QCOMPARE(d.outcomes.last().result, Result::LeftEarly);
    d.stop();
    QCOMPARE(d.outcomes.size(), 3);
}

KESTREL_TEST_MAIN(TestAutoLoop)
#include "tst_autoloop.moc"
