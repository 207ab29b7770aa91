#include "core/timing.h"
#include "fakes.h"
#include "gui/tagops/blockpanel.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/widgets/palette.h"
#include "station/link/portmemory.h"
#include "station/link/readerlink.h"
#include "station/link/trafficcapture.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QFile>
#include <QLabel>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace Palette;

// Port discovery, connecting, sending and the reply time-outs, on an in-memory port.
class TestLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void scanListsOpenablePortsThatDoNotAnswerOk();
    void scanSelectsRememberedPortElseFirst();
    void scanWithNoPortsLeavesEmptyList();
    void nonsenseInSettingsFallsBackToFirstPort();
    void connectSendsBuzzerCommandsUnloggedAndRemembersPort();
    void connectToVanishedPortStaysDisconnected();
    void disconnectRestoresIdleState();
    void lineBreakingWhileConnectedDisconnectsAndTells();
    void refreshRebuildsList();
    void connectDuringScanEndsTheScan();
    void sendCommandLogsAndWritesOneLine();
    void sendWhileDisconnectedShowsBoxAndStillArmsTimeout();
    void linkWithoutWindowReportsEachOutcome();
    void noReplyWithin800msShowsNoResponseThenClears();
    void cardOutOfRangeSettlesAfterSecondStage();
    void replySplitAcrossChunksIsOneReply();
    void captureMasksAPasswordSplitByAPause();
    void replyPausedBeforeItsHeadOrItsLineEndIsOneReply();
    void atPaceRepliesAReplyIsCompleteAtItsLineEnd();
    void twoRepliesWithinOneQuietLineAreBothHandled();
    void endlessStreamKeepsBufferSmall();
    void cleanEmptiesBufferAndLog();
    void doubleClickEmptiesLogOnly();
    void logKeepsTheNewestLinesUnchanged();
};

void TestLink::init()
{
    QSettings(QStringLiteral("Kestrel RFID Reader Writer")).clear();
}

void TestLink::scanListsOpenablePortsThatDoNotAnswerOk()
{
    WindowFixture f({2, 5, 26});
    f.transport.devices[QStringLiteral("/fake/COM5")] = "\r\nOK\r\n";
    QVERIFY(f.scan());
    QComboBox *combo = f.w().ports().combo();
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("02"));
    QCOMPARE(combo->itemText(1), QStringLiteral("26"));
    QCOMPARE(combo->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("/fake/COM26"));
    QCOMPARE(f.w().ports().scanner().ScanPortNumber, 26);
    QCOMPARE(f.transport.opened.size(), 26);
    QCOMPARE(f.transport.written.count("AT\r\n"), 3);
    QVERIFY(!f.transport.isOpen());
    QCOMPARE(QApplication::focusWidget(), f.w().ports().connectButton());
}

void TestLink::scanSelectsRememberedPortElseFirst()
{
    PortMemory::save(QStringLiteral("05"));
    {
        WindowFixture f({3, 5});
        QVERIFY(f.scan());
        QCOMPARE(f.w().ports().combo()->currentText(), QStringLiteral("05"));
    }
    {
        WindowFixture f({3, 7});
        QVERIFY(f.scan());
        QCOMPARE(f.w().ports().combo()->currentText(), QStringLiteral("03"));
    }
    QSettings(QStringLiteral("Kestrel RFID Reader Writer")).clear();
    WindowFixture f({1, 4});
    QVERIFY(f.scan());
    QCOMPARE(f.w().ports().combo()->currentText(), QStringLiteral("01"));
}

void TestLink::scanWithNoPortsLeavesEmptyList()
{
    WindowFixture f(QList<int>{});
    QVERIFY(f.scan());
    QCOMPARE(f.w().ports().combo()->count(), 0);
    QCOMPARE(f.w().ports().combo()->currentIndex(), -1);
    f.w().ports().connectButton()->click();
    QVERIFY(!f.w().state().PortConnected);
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Connect"));
    QCOMPARE(f.dialogs.boxes.size(), 1);
}

void TestLink::nonsenseInSettingsFallsBackToFirstPort()
{
    QSettings s(QStringLiteral("Kestrel RFID Reader Writer"));
    s.setValue(QStringLiteral("combo/port"), QStringList{QStringLiteral("x"), QStringLiteral("y")});
    s.sync();
    WindowFixture f({2, 3});
    QVERIFY(f.scan());
    QCOMPARE(f.w().ports().combo()->currentText(), QStringLiteral("02"));

    // A serialized value declaring a huge length is cut from the file before Qt reads it; the
    // port beside it stays.
    const QString file = s.fileName();
    {
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::WriteOnly | QIODevice::Truncate));
        raw.write("[General]\nrecord=@Variant(\\0\\0\\0\\x9\\x7f\\xff\\xff\\xff)\n"
                  "[combo]\nport=03\n");
    }
    QCOMPARE(PortMemory::load(), QStringLiteral("03"));
    QFile raw(file);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    QCOMPARE(raw.readAll(), QByteArray("[General]\n\n[combo]\nport=03\n"));
}

void TestLink::connectSendsBuzzerCommandsUnloggedAndRemembersPort()
{
    WindowFixture f({1, 4});
    QVERIFY(f.scan());
    f.w().ports().combo()->setCurrentIndex(1);
    f.w().ports().connectButton()->click();
    QVERIFY(f.w().state().PortConnected);
    QVERIFY(f.w().state().QuietStart);
    QCOMPARE(f.transport.device, QStringLiteral("/fake/COM4"));
    QVERIFY(f.transport.written.endsWith("SBA\r\nSB1\r\n"));
    QVERIFY(f.logText().isEmpty());
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Disconnect"));
    QVERIFY(!f.w().ports().combo()->isEnabled());
    QVERIFY(!f.w().ports().refreshButton()->isEnabled());
    QCOMPARE(PortMemory::load(), QStringLiteral("04"));
    // A reply during the quiet start is interpreted but not logged; TCR1 empties the log and
    // asks what is in the field, logged as any command.
    f.reply("MsgCode:01");
    QVERIFY(f.logText().isEmpty());
    QTRY_VERIFY(!f.w().state().QuietStart);
    QCOMPARE(f.logText(), QStringLiteral("Send: GTS\n"));
    QVERIFY(f.transport.written.endsWith("SBA\r\nSB1\r\nGTS\r\n"));
}

void TestLink::connectToVanishedPortStaysDisconnected()
{
    WindowFixture f({1});
    QVERIFY(f.scan());
    f.transport.devices.clear();
    f.w().ports().connectButton()->click();
    QVERIFY(!f.w().state().PortConnected);
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Connect"));
    QVERIFY(f.w().ports().combo()->isEnabled());
    QVERIFY(f.w().ports().refreshButton()->isEnabled());
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(f.dialogs.boxes[0].text.contains(QStringLiteral("/fake/COM1")));
    QVERIFY(f.transport.written.isEmpty() || !f.transport.written.contains("SBA"));
    QCOMPARE(PortMemory::load(), QStringLiteral("01"));
}

void TestLink::disconnectRestoresIdleState()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.w().autoPanel().autoButton()->click();
    QVERIFY(f.w().autoWriter().engine().AutoWriteRunning());
    f.w().ports().connectButton()->click();
    QVERIFY(!f.w().state().PortConnected);
    QVERIFY(!f.w().autoWriter().engine().AutoWriteRunning());
    QVERIFY(!f.transport.isOpen());
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Connect"));
    QVERIFY(f.w().ports().combo()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), f.w().ports().combo());
    QCOMPARE(f.w().emphasis().defaultButton(), f.w().ports().connectButton());
}

void TestLink::lineBreakingWhileConnectedDisconnectsAndTells()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.transport.breakLine(QStringLiteral("/fake/COM1 stopped working"));
    QVERIFY(!f.w().state().PortConnected);
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Connect"));
    // Not from inside the port's own notification.
    QVERIFY(f.dialogs.boxes.isEmpty());
    QTRY_COMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(f.dialogs.boxes[0].text.contains(QStringLiteral("stopped working")));
    // A second failure report from the same break is not shown twice.
    f.transport.breakLine(QStringLiteral("again"));
    QTest::qWait(20);
    QCOMPARE(f.dialogs.boxes.size(), 1);
    f.transport.devices.insert(QStringLiteral("/fake/COM1"), {});
    f.w().ports().connectButton()->click();
    QVERIFY(f.w().state().PortConnected);
}

// The window and the port agree: a scan tick never reopens the link under a connection.
void TestLink::connectDuringScanEndsTheScan()
{
    WindowFixture f({1, 2, 3});
    // Slowed down, so that Connect surely comes while the scan still probes.
    f.w().ports().scanner().Port_find_timer().setInterval(200);
    f.w().start();
    QTRY_VERIFY(f.w().ports().combo()->count() >= 1);
    QVERIFY(f.w().ports().scanner().isScanning());
    f.w().ports().connectButton()->click();
    QVERIFY(!f.w().ports().scanner().isScanning());
    QTest::qWait(450);
    QVERIFY(f.w().state().PortConnected && f.transport.isOpen());
    QCOMPARE(f.transport.device, QStringLiteral("/fake/COM1"));
    f.transport.close();
    f.w().link().SendCommand(QStringLiteral("GTS"));
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QVERIFY(f.dialogs.boxes[0].text.contains(QStringLiteral("not sent")));
}

void TestLink::refreshRebuildsList()
{
    WindowFixture f({1, 2});
    QVERIFY(f.scan());
    f.transport.devices.remove(QStringLiteral("/fake/COM1"));
    f.w().ports().refreshButton()->click();
    QTRY_VERIFY(!f.w().ports().scanner().isScanning());
    QCOMPARE(f.w().ports().combo()->count(), 1);
    QCOMPARE(f.w().ports().combo()->currentText(), QStringLiteral("02"));
    QCOMPARE(f.w().ports().connectButton()->text(), QStringLiteral("Connect"));
}

void TestLink::sendCommandLogsAndWritesOneLine()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.w().link().SendCommand(QStringLiteral("SB1"));
    QCOMPARE(f.transport.written, QByteArray("SB1\r\n"));
    QCOMPARE(f.logText(), QStringLiteral("Send: SB1\n"));
    QCOMPARE(f.logColour(QStringLiteral("Send: SB1")), ColorDodgerBlue);
    QVERIFY(f.w().link().Timout().isActive());
    f.w().link().SendCommand(QString());
    QCOMPARE(f.transport.written, QByteArray("SB1\r\n\r\n"));
    QVERIFY(f.logText().endsWith(QStringLiteral("Send: \n")));
}

void TestLink::sendWhileDisconnectedShowsBoxAndStillArmsTimeout()
{
    WindowFixture f;
    QVERIFY(f.scan());
    f.w().link().SendCommand(QStringLiteral("GTS"));
    QCOMPARE(f.logText(), QStringLiteral("Send: GTS\n"));
    QVERIFY(f.transport.written.isEmpty() || !f.transport.written.contains("GTS"));
    QCOMPARE(f.dialogs.boxes.size(), 1);
    QCOMPARE(f.dialogs.boxes[0].title, QStringLiteral("Connection Error!"));
    QCOMPARE(f.dialogs.boxes[0].text,
             QStringLiteral("Pleas Select Port-Number And Click the Connect Button. "));
    QVERIFY(f.w().link().Timout().isActive());
}

// The link shows nothing itself: every outcome of a send is a report, and it needs no widget.
void TestLink::linkWithoutWindowReportsEachOutcome()
{
    SessionState state;
    FakeTransport port;
    ReaderLink link(state, port);
    QSignalSpy logged(&link, &ReaderLink::commandLogged);
    QSignalSpy notConnected(&link, &ReaderLink::notConnected);
    QSignalSpy failed(&link, &ReaderLink::sendFailed);
    QSignalSpy settled(&link, &ReaderLink::logSettled);

    link.SendCommand(QStringLiteral("GTS"));
    QCOMPARE(notConnected.size(), 1);
    QCOMPARE(logged.size(), 1);

    state.PortConnected = true; // the window believes it is connected; the port is not open
    link.SendCommand(QStringLiteral("RB1"));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("RB1"));

    port.devices.insert(QStringLiteral("dev"), QByteArray());
    QVERIFY(link.openPort(QStringLiteral("dev"), nullptr));
    link.beginQuietStart();
    link.SendCommand(QStringLiteral("SB1"));
    QCOMPARE(logged.size(), 2); // not logged during the quiet start
    QCOMPARE(port.written, QByteArray("SB1\r\n"));
    link.startLogSettle();
    QVERIFY(settled.wait());
    link.SendCommand(QStringLiteral("SB1"));
    QCOMPARE(logged.size(), 3);
    QCOMPARE(failed.size() + notConnected.size(), 2);
}

void TestLink::noReplyWithin800msShowsNoResponseThenClears()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    QElapsedTimer clock;
    clock.start();
    f.w().link().SendCommand(QStringLiteral("GTS"));
    QTRY_COMPARE_WITH_TIMEOUT(f.w().status().message(), QStringLiteral("No recpone command!"),
                              3000);
    QVERIFY(clock.elapsed() >= 790);
    QCOMPARE(f.w().status().messageColour(), ColorRed);
    QTRY_COMPARE_WITH_TIMEOUT(f.w().status().message(), QString(), 4000);
    QVERIFY(clock.elapsed() >= 2290);
    QCOMPARE(f.w().status().card(), QStringLiteral("No is card."));
}

void TestLink::cardOutOfRangeSettlesAfterSecondStage()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.reply("MsgCode:05");
    QCOMPARE(f.w().status().card(), QStringLiteral("Card is out of range."));
    QTRY_COMPARE_WITH_TIMEOUT(f.w().status().card(), QStringLiteral("No is card."), 4000);
    QCOMPARE(f.w().status().cardColour(), ColorOrangeRed);

    f.w().autoPanel().autoButton()->click();
    f.reply("MsgCode:05");
    QTRY_COMPARE_WITH_TIMEOUT(f.w().status().card(), QStringLiteral("Searching..."), 4000);

    f.reply("MsgCode:04");
    f.w().link().timout2().setInterval(1);
    f.reply("MsgCode:01");
    QTRY_COMPARE(f.w().status().message(), QString());
    QCOMPARE(f.w().status().card(), QStringLiteral("Ready - No UID"));
}

// Each part is written when its quiet line ends; the second part is still the password.
void TestLink::captureMasksAPasswordSplitByAPause()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    QTemporaryDir dir;
    TrafficCapture capture;
    QString error;
    QVERIFY2(capture.start(f.w().link(), dir.filePath("c.log"), &error), qPrintable(error));
    f.reply("R75EC1");
    f.reply("2E7A\r\nMsgCode:01\r\n");
    capture.stop();
    QFile file(dir.filePath("c.log"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray kept = file.readAll();
    QVERIFY2(kept.contains(" < R7****\n") && kept.contains(" < ****\\r\\n\n"), kept.constData());
    QVERIFY(kept.contains(" < MsgCode:01\\r\\n\n"));
    QVERIFY(!kept.contains("5EC1") && !kept.contains("2E7A"));
}

void TestLink::replySplitAcrossChunksIsOneReply()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    QSignalSpy gathered(&f.w().link(), &ReaderLink::replyGathered);
    f.transport.inject("Msg");
    f.transport.inject("Code:");
    f.transport.inject("01\r\n");
    QVERIFY(gathered.wait(2000));
    QCOMPARE(gathered.size(), 1);
    QCOMPARE(f.logText(), QStringLiteral("Recive: MsgCode:01\n"));
    QVERIFY(!QTest::qWaitFor([&] { return gathered.size() > 1; }, 100));
    // A notification with no characters still runs the interpreter, which settles Timout.
    f.w().link().SendCommand(QStringLiteral("GTS"));
    f.transport.inject(QByteArray());
    QVERIFY(gathered.wait(2000));
    QVERIFY(!f.w().link().Timout().isActive());
    QVERIFY(f.w().link().timout2().isActive());
}

// A slow adapter or a busy machine can hold the rest of a reply past the quiet line: the start
// of a reply waits for it, and a line end alone does not answer the command after.
void TestLink::replyPausedBeforeItsHeadOrItsLineEndIsOneReply()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    ReaderLink &link = f.w().link();
    QSignalSpy gathered(&link, &ReaderLink::replyGathered);
    QSignalSpy quiet(&link.Tr1(), &QTimer::timeout);
    const auto quietAgain = [&] {
        quiet.clear();
        return quiet.wait(2000);
    };

    f.transport.inject("MsgCod");
    QVERIFY(quietAgain());
    QVERIFY(quietAgain());
    QCOMPARE(gathered.size(), 0);
    f.transport.inject("e:05\r\n");
    QVERIFY(gathered.wait(2000));
    QCOMPARE(f.logText(), QStringLiteral("Recive: MsgCode:05\n"));

    link.SendCommand(QStringLiteral("RB3"));
    f.transport.inject("R31234ABCD");
    QVERIFY(gathered.wait(2000));
    QCOMPARE(f.w().blocks().block(3), QStringLiteral("1234ABCD"));
    link.SendCommand(QStringLiteral("RB4"));
    f.transport.inject("\r\n");
    QVERIFY(quietAgain());
    QCOMPARE(gathered.size(), 2);
    QVERIFY(link.Timout().isActive());
    QVERIFY(link.replyBuffer().isEmpty());

    // A start whose rest never comes is taken as it is, well before the time-out.
    QElapsedTimer clock;
    clock.start();
    f.transport.inject("R4");
    QVERIFY(gathered.wait(2000));
    QVERIFY(clock.elapsed() >= Timing::kFragmentWaitMs - 10);
    QVERIFY(!link.Timout().isActive());
}

void TestLink::atPaceRepliesAReplyIsCompleteAtItsLineEnd()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    ReaderLink &link = f.w().link();
    AutoWriter &writer = f.w().autoWriter();
    // Only while the loop runs at that pace.
    writer.setTiming(300, 0, AutoLoop::Options::Pace::Replies);
    const auto *pace = f.w().findChild<QLabel *>(QStringLiteral("pace"));
    QVERIFY(pace && pace->isVisibleTo(&f.w()));
    QCOMPARE(pace->text(), QStringLiteral("Pace: replies, first command after 0 ms"));
    writer.toggle();
    QVERIFY(link.completesAtLineEnd());
    writer.toggle();
    QVERIFY(!link.completesAtLineEnd());
    link.setCompleteAtLineEnd(true);

    QSignalSpy gathered(&link, &ReaderLink::replyGathered);
    link.SendCommand(QStringLiteral("RB3"));
    f.transport.inject("R31234AB");
    QCOMPARE(gathered.size(), 0);
    f.transport.inject("CD\r\n");
    QCOMPARE(gathered.size(), 1);
    QCOMPARE(f.w().blocks().block(3), QStringLiteral("1234ABCD"));
    QVERIFY(!link.Timout().isActive());

    // Two in one read: the second is handled on its own, after the first's handler is done.
    f.transport.inject("MsgCode:01\r\nMsgCode:05\r\n");
    QCOMPARE(gathered.size(), 2);
    QTRY_COMPARE(gathered.size(), 3);
    QVERIFY(f.logText().endsWith(QStringLiteral("Recive: MsgCode:01\nRecive: MsgCode:05\n")));

    // Without a line end the quiet line still ends a reply; a line end alone is none.
    link.SendCommand(QStringLiteral("RB4"));
    f.transport.inject("R40000AAAA");
    QCOMPARE(gathered.size(), 3);
    QVERIFY(gathered.wait(2000));
    link.SendCommand(QStringLiteral("RB5"));
    f.transport.inject("\r\n");
    QVERIFY(!gathered.wait(100));
    QVERIFY(link.Timout().isActive());
}

void TestLink::twoRepliesWithinOneQuietLineAreBothHandled()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    QSignalSpy gathered(&f.w().link(), &ReaderLink::replyGathered);
    // The buzzer's answer and the tag leaving, in one read.
    f.transport.inject("MsgCode:01\r\nMsgCode:05\r\n");
    QTRY_COMPARE(gathered.size(), 2);
    QCOMPARE(f.logText(), QStringLiteral("Recive: MsgCode:01\nRecive: MsgCode:05\n"));
    QVERIFY(!QTest::qWaitFor([&] { return gathered.size() > 2; }, 100));
}

void TestLink::endlessStreamKeepsBufferSmall()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    // A longer quiet line keeps a loaded machine's scheduling gaps from ending the stream.
    f.w().link().Tr1().setInterval(300);
    f.w().link().SendCommand(QStringLiteral("GTS"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000) {
        f.transport.inject(QByteArray(64, 'Z'));
        QTest::qWait(5);
        QVERIFY(f.w().link().replyBuffer().size() <= 10);
    }
    QCOMPARE(f.w().status().message(), QStringLiteral("No recpone command!"));
    QSignalSpy gathered(&f.w().link(), &ReaderLink::replyGathered);
    QVERIFY(gathered.wait(2000));
    QVERIFY(f.logText().endsWith(QStringLiteral("Recive: ZZZZZZZZZZ\n")));
}

void TestLink::cleanEmptiesBufferAndLog()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    for (int i = 0; i < 100; ++i)
        f.w().link().SendCommand(QStringLiteral("GTS"));
    // The button stays clear of the scroll bar a long log shows.
    TrafficLog &log = f.w().log();
    QScrollBar *bar = log.view()->verticalScrollBar();
    QTRY_VERIFY(bar->isVisible());
    const QRect button(log.cleanButton()->mapTo(&log, QPoint()), log.cleanButton()->size());
    QVERIFY(!button.intersects(QRect(bar->mapTo(&log, QPoint()), bar->size())));
    f.transport.inject("Msg");
    log.cleanButton()->click();
    QVERIFY(f.w().link().replyBuffer().isEmpty());
    QVERIFY(f.logText().isEmpty());
}

void TestLink::doubleClickEmptiesLogOnly()
{
    WindowFixture f;
    QVERIFY(f.connectReader());
    f.w().link().SendCommand(QStringLiteral("GTS"));
    f.transport.inject("Msg");
    QTest::mouseDClick(f.w().log().view()->viewport(), Qt::LeftButton);
    QVERIFY(f.logText().isEmpty());
    QCOMPARE(f.w().link().replyBuffer(), QByteArray("Msg"));
}

void TestLink::logKeepsTheNewestLinesUnchanged()
{
    WindowFixture f;
    TrafficLog &log = f.w().log();
    const int total = TrafficLog::kMaxLines + 150;
    for (int i = 0; i < total; ++i) {
        log.setInsertionColour(i % 2 ? ColorGreen : ColorDodgerBlue);
        log.insert(QStringLiteral("Send: line %1\r\n").arg(i));
    }
    const QStringList lines = log.text().split(u'\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() <= TrafficLog::kMaxLines);
    QCOMPARE(lines.last(), QStringLiteral("Send: line %1").arg(total - 1));
    const int first = lines.first().mid(11).toInt();
    for (qsizetype i = 0; i < lines.size(); ++i)
        QCOMPARE(lines[i], QStringLiteral("Send: line %1").arg(first + i));
    QCOMPARE(f.logColour(QStringLiteral("Send: line %1").arg(total - 1)),
             (total - 1) % 2 ? ColorGreen : ColorDodgerBlue);
    // Further lines still land at the end, in their own colour.
    log.setInsertionColour(ColorRed);
    log.insert(QStringLiteral("Recive: MsgCode:01\r\n"));
    QCOMPARE(f.logColour(QStringLiteral("Recive: MsgCode:01")), ColorRed);
    QVERIFY(log.text().endsWith(QStringLiteral("Recive: MsgCode:01\n")));
}

KESTREL_TEST_MAIN(TestLink)
#include "tst_link.moc"
