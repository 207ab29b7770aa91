#include "boxfixture.h"
#include "gui/tagops/blockpanel.h"
#include "gui/ui/recordstatus.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/uid/notices.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "station/link/readerlink.h"
#include "station/link/trafficcapture.h"
#include "station/record/recorder.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressDialog>
#include <QRadioButton>
#include <QSet>

Q_DECLARE_METATYPE(AutoLoop::Notice)

// The production loop: its options, its switch, the step plan and whole runs on the box.
class TestAutoWrite : public QObject {
    Q_OBJECT
private slots:
    void optionReactions();
    void startNeedsConnectionAndBlinks();
    void stopMidCycleSendsNothingMore();
    void lostUidReplyNeverRepeatsTheUid();
    void lostReplyToCommandSentWithinReplyIsReported();
    void doubtfulAnswerIsReadBackWithoutTouchingTheFields();
    void captureThatCannotBeWrittenStopsTheLoop();
    void uidListIsReadyBeforeTheLoopRuns();
    void conveyorRunWritesEveryTagOnce();
    void secondBatchStartsOnTheTagLeftInTheField();
    void faultsStallAndRecoverOnNextTag();
    void lateUidReplyStillCompletesWithoutSkipping();
    void autoUnlockWritesBlock0PlainlyToATagWithoutPassword();
    void noticesInTheOperatorsWords_data();
    void noticesInTheOperatorsWords();

private:
    struct Options {
        bool setUid = false, autoInc = false, unlock = false, password = false, lock = false;
        QList<int> blocks = {};
    };
    static void choose(MainWindow &w, const Options &o);
    // Auto Wite pressed, the box's base answered, and a blank tag reported; nothing sent yet
    // is kept in the transport.
    static void startOnABlankTag(WindowFixture &f);
};

void TestAutoWrite::startOnABlankTag(WindowFixture &f)
{
    f.w().autoPanel().autoButton()->click();
    f.reply("MsgCode:01");
    f.transport.written.clear();
    f.reply("MsgCode:03");
}

void TestAutoWrite::choose(MainWindow &w, const Options &o)
{
    AutoPanel &a = w.autoPanel();
    a.setUidBox()->setChecked(o.setUid);
    a.autoIncBox()->setChecked(o.autoInc);
    a.autoUnlockBox()->setChecked(o.unlock);
    a.writePasswordBox()->setChecked(o.password);
    a.lockBox()->setChecked(o.lock);
    for (int n = 1; n <= 6; ++n)
        w.blocks().blockOption(n)->setChecked(o.blocks.contains(n));
}

void TestAutoWrite::optionReactions()
{
    WindowFixture f;
    AutoPanel &a = f.w().autoPanel();
    BlockPanel &b = f.w().blocks();
    // Each of the loop's yes-or-no options is read from a box of its own.
    QSet<QCheckBox *> boxes;
    for (const AutoLoop::Flag &flag : AutoLoop::kFlags)
        boxes << a.box(flag.member);
    QVERIFY(!boxes.contains(nullptr));
    QCOMPARE(boxes.size(), qsizetype(AutoLoop::kFlags.size()));
    a.setUidBox()->click();
    QVERIFY(a.autoIncBox()->isEnabled() && !a.autoIncBox()->isChecked());
    QVERIFY(!a.incField()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), a.autoButton());
    a.autoIncBox()->click();
    QVERIFY(a.incField()->isEnabled());
    a.setUidBox()->click();
    a.setUidBox()->click();
    QVERIFY(!a.autoIncBox()->isChecked() && !a.incField()->isEnabled());

    a.writeBlocksBox()->click();
    for (int n = 1; n <= 6; ++n) {
        QVERIFY(b.blockOption(n)->isEnabled());
        QCOMPARE(b.blockOption(n)->isChecked(), n >= 3);
    }
    QVERIFY(!b.blockOption(0)->isEnabled());
    a.writeBlocksBox()->click();
    for (int n = 1; n <= 6; ++n)
        QVERIFY(!b.blockOption(n)->isEnabled() && !b.blockOption(n)->isChecked());

    a.writePasswordBox()->click();
    QCOMPARE(b.passwordLabel()->text(), QStringLiteral("Password:"));
    QCOMPARE(QApplication::focusWidget(), b.field(7));
    a.autoUnlockBox()->click();
    QVERIFY(!a.writePasswordBox()->isEnabled() && a.writePasswordBox()->isChecked());
    QVERIFY(!a.setUidBox()->isEnabled() && !a.writeBlocksBox()->isEnabled());
    QVERIFY(!a.lockBox()->isEnabled());
    a.autoUnlockBox()->click();
    QCOMPARE(b.passwordLabel()->text(), QStringLiteral("B7- Password :"));
    QVERIFY(a.writePasswordBox()->isChecked() && a.lockBox()->isEnabled());
    a.writePasswordBox()->click();
    QCOMPARE(f.w().emphasis().defaultButton(), a.autoButton());
    a.lockBox()->click();
    QCOMPARE(QApplication::focusWidget(), a.autoButton());
}

void TestAutoWrite::startNeedsConnectionAndBlinks()
{
    WindowFixture f;
    QPushButton *button = f.w().autoPanel().autoButton();
    button->click();
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QCOMPARE(f.dialogs.boxes[0].title, QStringLiteral("Connection Error!"));
    QCOMPARE(button->text(), QStringLiteral("Auto Wite"));
    QVERIFY(!loop(f.w()).AutoWriteRunning);

    QVERIFY(f.connectReader());
    f.w().blocks().setBlock(0, QStringLiteral("00148250"));
    button->click();
    QVERIFY(loop(f.w()).AutoWriteRunning);
    QCOMPARE(button->text(), QStringLiteral("Stop"));
    QCOMPARE(f.w().status().card(), QStringLiteral("Searching..."));
    QCOMPARE(f.w().blocks().block(0), QStringLiteral("00148040"));
    QSignalSpy ticks(&f.w().autoWriter().T_Flash(), &QTimer::timeout);
    QVERIFY(ticks.wait(2000));
    QVERIFY(f.w().autoWriter().FlashPhase);
    QVERIFY(!button->isDefault() && !Emphasis::isHighlighted(button));
    QVERIFY(ticks.wait(2000));
    QVERIFY(button->isDefault() && Emphasis::isHighlighted(button));

    f.w().ports().connectButton()->click();
    QVERIFY(!loop(f.w()).AutoWriteRunning);
    QCOMPARE(button->text(), QStringLiteral("Auto Wite"));
    QVERIFY(!f.w().autoWriter().T_Flash().isActive());
}

void TestAutoWrite::stopMidCycleSendsNothingMore()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.w().autoPanel().autoButton()->click();
    // The loop asks what is already in the field.
    QCOMPARE(f.transport.written, QByteArray("RUX\r\nGTS\r\n"));
    f.transport.written.clear();
    setLoop(f.w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(5); });
    f.w().blocks().blockOption(4)->setChecked(true);
    f.w().autoPanel().autoButton()->click();
    QCOMPARE(int(loop(f.w()).AutoStep), 0);
    QCOMPARE(f.w().status().card(), QStringLiteral("No is card."));
    f.reply("W300000000");
    QVERIFY(!f.w().autoWriter().Timer_Auto().isActive());
    QVERIFY(f.transport.written.isEmpty());
}

void TestAutoWrite::lostUidReplyNeverRepeatsTheUid()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    MainWindow &w = f.w();
    choose(w, Options{.setUid = true, .autoInc = true});
    w.autoPanel().setUidField()->setText(QStringLiteral("0000000010"));
    startOnABlankTag(f);
    QTRY_COMPARE(f.transport.written, QByteArray("WUX0000000010\r\n"));
    f.transport.written.clear();
    QTRY_COMPARE_WITH_TIMEOUT(w.status().message(), QStringLiteral("No recpone command!"), 3000);
    f.reply("MsgCode:05");
    f.reply("MsgCode:03");
    QTRY_COMPARE(f.transport.written, QByteArray("WUX0000000011\r\n"));
    QCOMPARE(loop(w).ExpectedUID, QStringLiteral("0000000011"));
}

// Block writes after the first go out inside the previous reply's handling; the end of that
// handling once cancelled their time-out, and a lost reply stalled the loop without a word.
void TestAutoWrite::lostReplyToCommandSentWithinReplyIsReported()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    MainWindow &w = f.w();
    choose(w, Options{.blocks = {3, 4}});
    w.blocks().setBlock(3, QStringLiteral("33333333"));
    w.blocks().setBlock(4, QStringLiteral("44444444"));
    startOnABlankTag(f);
    QTRY_COMPARE(f.transport.written, QByteArray("WB000148040\r\n"));
    f.reply("W000148040");
    QTRY_VERIFY(f.transport.written.endsWith("WB333333333\r\n"));
    f.reply("W333333333");
    QVERIFY(f.transport.written.endsWith("WB444444444\r\n"));
    QVERIFY(w.link().Timout().isActive());
    QTRY_COMPARE_WITH_TIMEOUT(w.status().message(), QStringLiteral("No recpone command!"), 3000);

    // The protocol's intervals are precise, and the pause after a tag blocks nothing.
    for (QTimer *t : {&w.autoWriter().Timer_Auto(), &w.autoWriter().hold(), &w.link().Tr1(),
                      &w.link().Timout()})
        QCOMPARE(t->timerType(), Qt::PreciseTimer);
    f.reply("W444444444");
    QVERIFY(f.transport.written.endsWith("SB1\r\n"));
    QVERIFY(w.autoWriter().hold().isActive());
    QCOMPARE(w.status().message(), QStringLiteral(" Auto Write Complete!\r\n"));
}

// The answer given up for the tag that left arrives for the next tag's write: the loop reads
// the block back, and that read decides without becoming the next tags' value.
void TestAutoWrite::doubtfulAnswerIsReadBackWithoutTouchingTheFields()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    MainWindow &w = f.w();
    choose(w, Options{.blocks = {3}});
    w.blocks().setBlock(3, QStringLiteral("33333333"));
    startOnABlankTag(f);
    QTRY_COMPARE(f.transport.written, QByteArray("WB000148040\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(w.status().message(), QStringLiteral("No recpone command!"), 3000);
    f.reply("MsgCode:05");
    f.transport.written.clear();
    f.reply("MsgCode:03");
    QTRY_COMPARE(f.transport.written, QByteArray("WB000148040\r\n"));
    f.reply("W000148040");
    QTRY_VERIFY(f.transport.written.endsWith("RB0\r\n"));
    f.reply("R000000000");
    QCOMPARE(w.blocks().block(0), QStringLiteral("00148040"));
    QTRY_VERIFY(f.transport.written.endsWith("WB333333333\r\n"));
    // The first write's own answer may still come: the next write is read back too.
    f.reply("W333333333");
    QTRY_VERIFY(f.transport.written.endsWith("RB3\r\n"));
    f.reply("R333333333");
    QTRY_VERIFY(f.transport.written.endsWith("SB1\r\n"));
    QCOMPARE(w.status().message(), QStringLiteral(" Auto Write Failed!"));
    QCOMPARE(w.blocks().block(3), QStringLiteral("33333333"));
}

// Traffic the operator asked to keep that can no longer be written stops the loop, as a
// record that is off does; started again, it runs without the capture.
void TestAutoWrite::captureThatCannotBeWrittenStopsTheLoop()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    MainWindow &w = f.w();
    QTemporaryDir dir;
    QString error;
    QVERIFY2(w.keepTraffic(dir.filePath(QStringLiteral("traffic.log")), &error), qPrintable(error));
    choose(w, Options{.setUid = true, .autoInc = true});
    w.autoPanel().autoButton()->click();
    QVERIFY(loop(w).AutoWriteRunning);
    emit w.capture().failed(QStringLiteral("traffic.log could not be written: No space left"));
    QVERIFY(!loop(w).AutoWriteRunning);
    QVERIFY(!w.log().keepTrafficBox()->isChecked());
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(f.dialogs.boxes[0].text.contains(QStringLiteral("Auto Wite stopped")));
    w.autoPanel().autoButton()->click();
    QVERIFY(loop(w).AutoWriteRunning);
}

namespace {

// A main window on a virtual box, prepared for a batch written on a conveyor.
struct ConveyorRun : BoxedWindow {
    void prepareBatch()
    {
        AutoPanel &a = w->autoPanel();
        a.setUidBox()->click();
        a.autoIncBox()->click();
        a.setUidField()->setText(QStringLiteral("0000001000"));
        a.writeBlocksBox()->click();
        for (int n = 3; n <= 6; ++n)
            w->blocks().setBlock(n, QStringLiteral("%1%1%1%1%1%1%1%1").arg(n));
        w->blocks().setBlock(7, QStringLiteral("5EC12E7A"));
        a.writePasswordBox()->click();
        a.lockBox()->click();
        a.autoButton()->click();
    }

    bool waitForDeparted(int count, int timeoutMs)
    {
        return QTest::qWaitFor([&] { return box.departed().size() >= count; }, timeoutMs);
    }
};

// The set UID steps in decimal and is written in the HEX base: 0000001009 is ID 0x1009.
std::optional<quint64> writtenId(quint64 step)
{
    return QString::number(step).toULongLong(nullptr, 16);
}

void verifyFinished(const T5557::Tag &tag, quint64 step)
{
    QCOMPARE(tag.id(), writtenId(step));
    QCOMPARE(tag.blocks[0], T5557::kEm4100Emulation | T5557::kPwd | T5557::kAor);
    for (int n = 3; n <= 6; ++n)
        QCOMPARE(tag.blocks[size_t(n)], quint32(0x11111111) * quint32(n));
    QCOMPARE(tag.blocks[7], quint32(0x5EC12E7A));
}

} // namespace

void TestAutoWrite::uidListIsReadyBeforeTheLoopRuns()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    MainWindow &w = f.w();
    QTemporaryDir dir;
    QFile ids(dir.filePath(QStringLiteral("ids.csv")));
    QVERIFY(ids.open(QIODevice::WriteOnly));
    for (int i = 0; i < 200000; ++i)
        ids.write(QByteArray::number(0x6000000 + i, 16).rightJustified(10, '0') + '\n');
    ids.close();
    QFile job(dir.filePath(QStringLiteral("job.json")));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write(R"({"format": "kestrel-rfid-job", "version": 3, "uid": {"write": true,
        "list": {"file": "ids.csv"}}})");
    job.close();
    QString error;
    QVERIFY2(w.autoWriter().openJob(job.fileName(), &error), qPrintable(error));

    // Off while the list goes into the record, with Cancel; cancelled, it stays off.
    QPushButton *button = w.autoPanel().autoButton();
    button->click();
    QVERIFY(!loop(w).AutoWriteRunning);
    QTRY_VERIFY(w.recordStatus().listProgress());
    w.recordStatus().listProgress()->findChild<QPushButton *>()->click();
    QTRY_VERIFY(!w.recordStatus().listProgress());
    QTest::qWait(200);
    QVERIFY(!loop(w).AutoWriteRunning);
    QCOMPARE(button->text(), QStringLiteral("Auto Wite"));

    // Started again: it goes on where it was cut, then the batch starts at the list's first ID.
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(loop(w).AutoWriteRunning, 30000);
    QVERIFY(!w.recordStatus().listProgress());
    QCOMPARE(button->text(), QStringLiteral("Stop"));
    QVERIFY(f.dialogs.boxes.isEmpty());
}

void TestAutoWrite::conveyorRunWritesEveryTagOnce()
{
    ConveyorRun run;
    QVERIFY(run.begin());
    run.box.engine().delays = {};
    run.prepareBatch();
    run.box.setConveyor(true, 30);
    constexpr int kTags = 5;
    QVERIFY2(run.waitForDeparted(kTags, 120000),
             qPrintable(QStringLiteral("%1 tags done").arg(run.box.departed().size())));
    run.w->autoPanel().autoButton()->click();
    for (int i = 0; i < kTags; ++i)
        verifyFinished(run.box.departed()[i], 1000 + quint64(i));
    QVERIFY(run.dialogs.boxes.isEmpty());
}

void TestAutoWrite::secondBatchStartsOnTheTagLeftInTheField()
{
    ConveyorRun run;
    QVERIFY(run.begin());
    run.box.engine().delays = {};
    AutoPanel &a = run.w->autoPanel();
    a.setUidBox()->click();
    a.autoIncBox()->click();
    a.setUidField()->setText(QStringLiteral("0000002000"));
    a.autoButton()->click();
    run.box.setConveyor(true, 30);
    QVERIFY(run.waitForDeparted(2, 30000));
    // The batch ends with the conveyor off: its last tag stays in the field, written.
    QVERIFY(QTest::qWaitFor([&] { return run.box.engine().hasTag(); }, 5000));
    run.box.setConveyor(false, 30);
    bool buzzed = false;
    connect(&run.box, &VirtualBox::event, &run.box,
            [&](const QString &text) { buzzed = buzzed || text == QLatin1String("<- SB1"); });
    QVERIFY(QTest::qWaitFor(
        [&] { return buzzed && run.box.engine().hasTag() && run.box.engine().tagWritten(); },
        20000));
    a.autoButton()->click();
    const qsizetype first = run.box.departed().size();
    // That tag reports itself only as it arrives: the next batch asks for it, passes it as
    // recorded, and goes on with the next tags.
    a.autoButton()->click();
    run.box.setConveyor(true, 30);
    QVERIFY(run.waitForDeparted(int(first) + 2, 30000));
    a.autoButton()->click();
    const QList<T5557::Tag> &tags = run.box.departed();
    for (qsizetype i = 0; i < tags.size(); ++i)
        QCOMPARE(tags[i].id(), writtenId(2000 + quint64(i)));
    QVERIFY(run.dialogs.boxes.isEmpty());
}

void TestAutoWrite::faultsStallAndRecoverOnNextTag()
{
    ConveyorRun run;
    QVERIFY(run.begin());
    run.box.engine().delays = {};
    int blockWrites = 0;
    connect(&run.box, &VirtualBox::event, &run.box, [&](const QString &text) {
        if (!text.startsWith(QLatin1String("<- WB3")))
            return;
        ++blockWrites;
        if (blockWrites == 2)
            run.box.execute(QStringLiteral("drop"));
        if (blockWrites == 4)
            run.box.remove();
    });
    run.prepareBatch();
    run.box.setConveyor(true, 30);
    // The second tag's block 3 reply is lost: the loop stalls until the operator swaps it.
    QVERIFY(run.waitForDeparted(1, 20000));
    QTRY_COMPARE_WITH_TIMEOUT(run.w->status().message(), QStringLiteral("No recpone command!"),
                              5000);
    run.box.remove();
    run.box.present(T5557::blankTag());
    // The fourth block-3 write meets an empty field: the tag was pulled mid-cycle.
    QTRY_COMPARE_WITH_TIMEOUT(run.box.departed().size(), 4, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(run.w->status().card(), QStringLiteral("Searching..."), 5000);
    run.box.present(T5557::blankTag());
    QVERIFY(run.waitForDeparted(6, 30000));
    run.w->autoPanel().autoButton()->click();

    const QList<T5557::Tag> &tags = run.box.departed();
    QSet<quint64> ids;
    for (const T5557::Tag &tag : tags) {
        QVERIFY(tag.id().has_value());
        QVERIFY2(!ids.contains(*tag.id()), "a UID was given twice");
        ids.insert(*tag.id());
    }
    verifyFinished(tags[0], 1000);
    verifyFinished(tags[2], 1002);
    verifyFinished(tags[4], 1004);
    verifyFinished(tags[5], 1005);
    QCOMPARE(tags[1].id(), writtenId(1001));
    QCOMPARE(tags[3].id(), writtenId(1003));
}

// The UID's read-back comes after its time-out: the tag is finished, the next gets the next UID.
void TestAutoWrite::lateUidReplyStillCompletesWithoutSkipping()
{
    ConveyorRun run;
    QVERIFY(run.begin());
    run.box.engine().delays = {};
    bool delayed = false;
    connect(&run.box, &VirtualBox::event, &run.box, [&](const QString &text) {
        if (delayed || !text.startsWith(QLatin1String("<- WUX")))
            return;
        delayed = true;
        run.box.execute(QStringLiteral("late"));
    });
    QList<AutoLoop::TagOutcome> outcomes;
    connect(&run.w->autoWriter(), &AutoWriter::tagEnded, &run.box,
            [&](const AutoLoop::TagOutcome &t) { outcomes << t; });
    run.prepareBatch();
    run.box.setConveyor(true, 30);
    QVERIFY(run.waitForDeparted(2, 30000));
    run.w->autoPanel().autoButton()->click();
    verifyFinished(run.box.departed()[0], 1000);
    verifyFinished(run.box.departed()[1], 1001);
    QCOMPARE(outcomes.first().result, AutoLoop::TagOutcome::Result::Complete);
}

// Auto Unlock on a tag that is not protected writes nothing to block 0 (the box answers with
// the word as it stands): the tag needs no unlock, so block 0 is written plainly, confirmed as
// any write, and the tag completes; incoming stock mixes such tags with protected ones.
void TestAutoWrite::autoUnlockWritesBlock0PlainlyToATagWithoutPassword()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    run.box.engine().delays = {};
    const int buzzes = run.box.engine().buzzes;
    run.w->autoPanel().autoUnlockBox()->click();
    run.w->autoPanel().autoButton()->click();
    QList<AutoLoop::TagOutcome> outcomes;
    connect(&run.w->autoWriter(), &AutoWriter::tagEnded, &run.box,
            [&](const AutoLoop::TagOutcome &t) { outcomes << t; });
    run.box.present(T5557::blankTag());
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 5000);
    QCOMPARE(outcomes[0].result, AutoLoop::TagOutcome::Result::Complete);
    QCOMPARE(outcomes[0].writes.size(), 1);
    QCOMPARE(outcomes[0].writes[0].step, AutoLoop::Step::Uid);
    QVERIFY(outcomes[0].writes[0].ok);
    QCOMPARE(run.box.engine().tag().blocks[0], 0x00148040u);
    QTRY_COMPARE(run.w->status().message(), QStringLiteral(" Auto Write Complete!\r\n"));
    QTRY_COMPARE(run.box.engine().buzzes, buzzes + 1);
    // Locked against writing, block 0 still fails the tag, as the operator must see and hear.
    outcomes.clear();
    run.box.execute(QStringLiteral("remove"));
    T5557::Tag locked = T5557::blankTag();
    locked.locked[0] = true;
    run.box.present(locked);
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 5000);
    QCOMPARE(outcomes[0].result, AutoLoop::TagOutcome::Result::Failed);
    QTRY_COMPARE(run.w->status().message(), QStringLiteral(" Auto Write Failed!"));
    QCOMPARE(run.w->status().messageColour(), Palette::ColorRed);
    QVERIFY(run.w->log().text().contains(QStringLiteral("Auto Write Failed!")));

    // Opened from a job, a password list opens a tag the window's password does not; the
    // status bar says which list, and the log which entry, never the password.
    run.w->autoPanel().autoButton()->click();
    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("returns.txt")));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("# returns\n0BADCAFE\n");
    list.close();
    QFile job(dir.filePath(QStringLiteral("job.json")));
    QVERIFY(job.open(QIODevice::WriteOnly));
    job.write(R"({"format": "kestrel-rfid-job", "version": 4,
        "password": {"unlock": true, "unlockList": "returns.txt"}})");
    job.close();
    QString error;
    QVERIFY2(run.w->autoWriter().openJob(job.fileName(), &error), qPrintable(error));
    const auto *shown = run.w->findChild<QLabel *>(QStringLiteral("unlockList"));
    QVERIFY(shown && !shown->isHidden());
    QCOMPARE(shown->text(), QStringLiteral("Unlock list: returns.txt, 7 entries"));
    outcomes.clear();
    run.box.execute(QStringLiteral("remove"));
    run.w->autoPanel().autoButton()->click();
    run.box.execute(QStringLiteral("present protected 0BADCAFE"));
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 10000);
    QCOMPARE(outcomes[0].result, AutoLoop::TagOutcome::Result::Complete);
    QVERIFY2(outcomes[0].detail.startsWith(QLatin1String("unlocked with list entry 7 (line 2 of")),
             qPrintable(outcomes[0].detail));
    QVERIFY(!run.box.engine().tag().pwd());
    QVERIFY(run.w->log().text().contains(QStringLiteral("unlocked with list entry 7")));
    QVERIFY(!run.w->log().text().contains(QStringLiteral("0BADCAFE")));
    run.w->autoPanel().autoButton()->click();
    run.w->autoPanel().autoUnlockBox()->click();
    QVERIFY(shown->isHidden());

    // Chosen beside "Auto Unlock", a list ticks it; one that is not a list, or a change while
    // the loop runs, is refused; dropped, the loop tries the block-7 password alone.
    QVERIFY(!run.w->autoWriter().useUnlockList(job.fileName(), &error));
    QVERIFY2(error.contains(QStringLiteral("line 1")), qPrintable(error));
    QVERIFY(run.w->autoWriter().useUnlockList(list.fileName(), &error));
    QVERIFY(run.w->autoPanel().autoUnlockBox()->isChecked());
    QCOMPARE(shown->text(), QStringLiteral("Unlock list: returns.txt, 7 entries"));
    run.w->autoPanel().autoButton()->click();
    QVERIFY(!run.w->autoWriter().useUnlockList(list.fileName(), &error));
    run.w->autoPanel().dropUnlockListAction()->trigger();
    QVERIFY(run.w->autoWriter().options().unlockList);
    run.w->autoPanel().autoButton()->click();
    run.w->autoPanel().dropUnlockListAction()->trigger();
    QVERIFY(!run.w->autoWriter().options().unlockList);
    QVERIFY(shown->isHidden());
}

// What operators know from the log and the status line, for what the loop tells.
void TestAutoWrite::noticesInTheOperatorsWords_data()
{
    using Kind = AutoLoop::Notice::Kind;
    using namespace Palette;
    QTest::addColumn<AutoLoop::Notice>("notice");
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("logSize");
    QTest::addColumn<QString>("message");
    QTest::addColumn<quint32>("colour");
    QTest::newRow("complete") << AutoLoop::Notice{.kind = Kind::TagComplete} << "" << 0
                              << " Auto Write Complete!\r\n"
                              << ColorGreen;
    QTest::newRow("failed") << AutoLoop::Notice{.kind = Kind::TagFailed, .text = "block 3 x"}
                            << "Auto Write Failed! block 3 x\r\n"
                            << 9 << " Auto Write Failed!" << ColorRed;
    QTest::newRow("uidGaveUp") << AutoLoop::Notice{.kind = Kind::UidGaveUp, .uid = "0000009999"}
                               << "Error - can not Write UID!   ID: 0000009999\r\n"
                               << 16 << "" << ColorOrangeRed;
    QTest::newRow("writeOk") << AutoLoop::Notice{.kind = Kind::WriteAnswered, .ok = true} << "" << 0
                             << "Write Ok! " << ColorDeepPink;
    QTest::newRow("writeError") << AutoLoop::Notice{.kind = Kind::WriteAnswered} << "" << 0
                                << "Write Error! " << ColorOrangeRed;
    QTest::newRow("skipped") << AutoLoop::Notice{.kind = Kind::UidSkipped,
                                                 .uid = "0000000010",
                                                 .text = "held by station B"}
                             << "UID 0000000010 skipped: held by station B\r\n"
                             << 9 << "" << ColorOrangeRed;
    QTest::newRow("outOfRange") << AutoLoop::Notice{.kind = Kind::UidOutOfRange,
                                                    .uid = "4294967296"}
                                << "" << 0 << "UID out of range! (4294967296)" << ColorOrangeRed;
    QTest::newRow("base") << AutoLoop::Notice{.kind = Kind::BoxBase, .text = "RUD"}
                          << "The box reports IDs in DEC (RUD).\r\n"
                          << 9 << "" << ColorBlue;
}

void TestAutoWrite::noticesInTheOperatorsWords()
{
    QFETCH(AutoLoop::Notice, notice);
    QFETCH(QString, log);
    QFETCH(QString, message);
    QFETCH(quint32, colour);
    const Notices::Shown shown = Notices::shown({notice});
    QCOMPARE(shown.log.size(), log.isEmpty() ? 0 : 1);
    QCOMPARE(shown.messages.size(), message.isEmpty() ? 0 : 1);
    for (const Notices::Line &line : shown.log) {
        QCOMPARE(line.text, log);
        QTEST(line.size, "logSize");
        QCOMPARE(line.colour, colour);
    }
    for (const Notices::Line &line : shown.messages) {
        QCOMPARE(line.text, message);
        QCOMPARE(line.colour, colour);
    }
}

KESTREL_TEST_MAIN(TestAutoWrite)
#include "tst_autowrite.moc"
