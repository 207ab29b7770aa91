#include "gui/tagops/blockpanel.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QCheckBox>

using namespace Palette;

// What each reply does to the window, fed through the in-memory port.
class TestInterpreter : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void errorAndMessageCaptions_data();
    void errorAndMessageCaptions();
    void unknownCodesOnlyLog();
    void shortAndReservedRepliesAreNotShown();
    void markupAndBinaryAreLoggedLiterally();
    void failedReadBlanksTheBlockReadLast();
    void noPresentAdjustsConfigurationField();
    void successTextSuppressedOnce();
    void cardOutOfRangeResetsTagState();
    void automaticStartChecksConsultTheirOwnBox();
    void blockReadFillsNamedField();
    void blockWriteConfirmsAgainstField();
    void blockSevenWriteEnablesProtectionButtons();
    void unlockConfirmationUnchecksPwdAndAsksStatus();
    void identifierShowsUidAndArmsCycle();
    void uidReadBackMatchStepsSetUid();
    void fiveFailedReadBacksGiveUp();
    void lockAnsweredNoPresentCompletesCycle();
    void writeConfirmationAtStepElevenRunsStepNow();

private:
    std::unique_ptr<WindowFixture> f;
    MainWindow &w() { return f->w(); }
};

void TestInterpreter::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->connectReader());
}

void TestInterpreter::cleanup()
{
    f.reset();
}

void TestInterpreter::errorAndMessageCaptions_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<quint32>("messageColour");
    QTest::addColumn<QString>("card");
    QTest::addColumn<quint32>("logColour");
    const QString noCard = QStringLiteral("No is card.");
    QTest::newRow("err1") << QByteArray("ErrCode:01\r\n") << "Length of the command is incorrect!"
                          << ColorOrangeRed << noCard << ColorOrangeRed;
    QTest::newRow("err2") << QByteArray("ErrCode:02") << "Command is wrong!" << ColorOrangeRed
                          << noCard << ColorOrangeRed;
    QTest::newRow("err3") << QByteArray("ErrCode:03") << "No Precent!" << ColorOrangeRed << noCard
                          << ColorOrangeRed;
    QTest::newRow("err4") << QByteArray("ErrCode:04") << "No is Password!" << ColorOrangeRed
                          << noCard << ColorOrangeRed;
    QTest::newRow("err5") << QByteArray("ErrCode:05") << "Password Error!" << ColorOrangeRed
                          << noCard << ColorOrangeRed;
    QTest::newRow("err6") << QByteArray("ErrCode:06") << "" << ColorOrangeRed
                          << "The ID is the HEX base!" << ColorOrangeRed;
    QTest::newRow("err7IsLockError")
        << QByteArray("ErrCode:07") << "Lock error!" << ColorOrangeRed << noCard << ColorOrangeRed;
    QTest::newRow("msg1") << QByteArray("MsgCode:01") << "Command Successfully!" << ColorGreen
                          << noCard << ColorGreen;
    QTest::newRow("msg2") << QByteArray("MsgCode:02") << "No Precent!" << ColorGreen << noCard
                          << ColorGreen;
    QTest::newRow("msg3") << QByteArray("MsgCode:03") << "" << ColorOrangeRed
                          << "Ready - Not Config" << ColorGreen;
    QTest::newRow("msg4") << QByteArray("MsgCode:04") << "" << ColorOrangeRed << "Ready - No UID"
                          << ColorGreen;
    QTest::newRow("msg5") << QByteArray("MsgCode:05") << "" << ColorOrangeRed
                          << "Card is out of range." << ColorGreen;
}

void TestInterpreter::errorAndMessageCaptions()
{
    QFETCH(QByteArray, reply);
    f->reply(reply);
    QTEST(w().status().message(), "message");
    QTEST(w().status().messageColour(), "messageColour");
    QTEST(w().status().card(), "card");
    QTEST(f->logColour(QStringLiteral("Recive: ")), "logColour");
    QCOMPARE(f->logText(), QStringLiteral("Recive: ") + QString::fromLatin1(reply.left(10))
                               + QStringLiteral("\n"));
    QVERIFY(!w().link().Timout().isActive());
    QVERIFY(w().link().timout2().isActive());
}

void TestInterpreter::unknownCodesOnlyLog()
{
    f->reply("ErrCode:0x");
    f->reply("MsgCode:09");
    QCOMPARE(w().status().message(), QString());
    QCOMPARE(w().status().card(), QStringLiteral("No is card."));
    QCOMPARE(f->logText(), QStringLiteral("Recive: ErrCode:0x\nRecive: MsgCode:09\n"));
    QCOMPARE(f->logColour(QStringLiteral("Recive: ErrCode:0x")), ColorOrangeRed);
}

void TestInterpreter::shortAndReservedRepliesAreNotShown()
{
    f->reply("OK");
    QVERIFY(f->logText().isEmpty());
    f->reply("MsgCode:02");
    f->reply("8813100000");
    QCOMPARE(f->logColour(QStringLiteral("Recive: 8813100000")), ColorGreen);
    QCOMPARE(w().status().card(), QStringLiteral("No is card."));
    QVERIFY(loop(w()).LastUID.isEmpty());
}

void TestInterpreter::markupAndBinaryAreLoggedLiterally()
{
    f->reply("<b>x</b>\x01\xff");
    QCOMPARE(f->logText(), QStringLiteral("Recive: <b>x</b>\u2401\u00ff\n"));
    // Ten characters that are no tag ID never reach the card label.
    QCOMPARE(w().status().card(), QStringLiteral("No is card."));
}

void TestInterpreter::failedReadBlanksTheBlockReadLast()
{
    w().blocks().setBlock(3, QStringLiteral("12345678"));
    w().state().LastReadBlock = 3;
    f->reply("ErrCode:04");
    QCOMPARE(w().blocks().block(3), QStringLiteral("00000000"));
    QCOMPARE(w().state().LastReadBlock, 0);

    w().blocks().setBlock(0, QStringLiteral("00148050"));
    w().state().LastReadBlock = 0;
    f->reply("ErrCode:05");
    QCOMPARE(w().blocks().block(0), QStringLiteral("00148050"));

    w().blocks().setBlock(5, QStringLiteral("ABCDEF01"));
    w().state().LastReadBlock = 5;
    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    f->reply("ErrCode:04");
    QCOMPARE(w().blocks().block(5), QStringLiteral("ABCDEF01"));
    QCOMPARE(w().state().LastReadBlock, 5);
    QCOMPARE(QApplication::focusWidget(), w().autoPanel().autoButton());
}

void TestInterpreter::noPresentAdjustsConfigurationField()
{
    w().blocks().pwdBox()->setChecked(true);
    w().blocks().setBlock(0, QStringLiteral("00148040"));
    f->reply("ErrCode:03");
    QCOMPARE(w().blocks().block(0), QStringLiteral("00148050"));
    w().blocks().aorBox()->setChecked(true);
    w().blocks().setBlock(0, QStringLiteral("11223344"));
    f->reply("ErrCode:03");
    QCOMPARE(w().blocks().block(0), QStringLiteral("11223250"));
    w().blocks().pwdBox()->setChecked(false);
    f->reply("ErrCode:03");
    QCOMPARE(w().blocks().block(0), QStringLiteral("11223040"));
}

void TestInterpreter::successTextSuppressedOnce()
{
    w().status().showMessage(QStringLiteral("kept"), ColorRed);
    setLoop(w(), [](Loop &s) { s.SuppressSuccessText = true; });
    f->reply("MsgCode:01");
    QCOMPARE(w().status().message(), QStringLiteral("kept"));
    QCOMPARE(w().status().messageColour(), ColorGreen);
    QVERIFY(!loop(w()).SuppressSuccessText);
    f->reply("MsgCode:01");
    QCOMPARE(w().status().message(), QStringLiteral("Command Successfully!"));
}

void TestInterpreter::cardOutOfRangeResetsTagState()
{
    f->reply("1122334455");
    QVERIFY(!w().status().copyButton()->isHidden());
    w().blocks().setProtectionButtonsEnabled(true);
    setLoop(w(), [](Loop &s) { s.TagHandled = true; });
    setLoop(w(), [](Loop &s) { s.UidRetryCount = 3; });
    w().status().showMessage(QStringLiteral("Write Ok! "), ColorDeepPink);
    f->reply("MsgCode:05");
    QVERIFY(w().status().copyButton()->isHidden());
    QCOMPARE(w().status().message(), QString());
    QVERIFY(!w().blocks().lockButton()->isEnabled());
    QVERIFY(!w().blocks().hideButton()->isEnabled());
    QVERIFY(!loop(w()).TagHandled);
    QCOMPARE(loop(w()).UidRetryCount, 0);
    QCOMPARE(w().uid().uidField()->textColour(), ColorDodgerBlue);
}

void TestInterpreter::automaticStartChecksConsultTheirOwnBox()
{
    QTimer &timer = w().autoWriter().Timer_Auto();
    f->reply("MsgCode:04");
    QVERIFY(!timer.isActive());

    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    w().autoPanel().noUidBox()->setChecked(false);
    f->reply("MsgCode:04");
    QVERIFY(!timer.isActive());
    QCOMPARE(int(loop(w()).AutoStep), 0);

    setLoop(w(), [](Loop &s) { s.UidWriteConfirmed = true; });
    f->reply("MsgCode:03");
    QVERIFY(!timer.isActive());
    QVERIFY(!loop(w()).UidWriteConfirmed);
    f->reply("MsgCode:03");
    QVERIFY(timer.isActive());
    QCOMPARE(int(loop(w()).AutoStep), 1);

    timer.stop();
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(0); });
    setLoop(w(), [](Loop &s) { s.TagHandled = true; });
    f->reply("ErrCode:06");
    QVERIFY(!timer.isActive());
    setLoop(w(), [](Loop &s) { s.TagHandled = false; });
    f->reply("ErrCode:06");
    QVERIFY(timer.isActive());
    timer.stop();
}

void TestInterpreter::blockReadFillsNamedField()
{
    f->reply("R31234ABCD\r\n");
    QCOMPARE(w().blocks().block(3), QStringLiteral("1234ABCD"));
    QCOMPARE(w().status().message(), QStringLiteral("Read Ok!"));
    QCOMPARE(w().status().messageColour(), ColorDodgerBlue);
    QCOMPARE(f->logColour(QStringLiteral("Recive: R3")), ColorBlue);

    w().status().clearMessage();
    f->reply("R91234ABCD");
    f->reply("R5123");
    f->reply("R6ZZZZZZZZ");
    for (int n = 1; n < 8; ++n)
        QCOMPARE(w().blocks().block(n),
                 n == 3 ? QStringLiteral("1234ABCD") : QStringLiteral("00000000"));
    QCOMPARE(w().status().message(), QString());
}

void TestInterpreter::blockWriteConfirmsAgainstField()
{
    w().blocks().setBlock(2, QStringLiteral("CAFEBABE"));
    f->reply("W2CAFEBABE");
    QCOMPARE(w().status().message(), QStringLiteral("Write Ok! "));
    QCOMPARE(w().status().messageColour(), ColorDeepPink);
    QCOMPARE(f->logColour(QStringLiteral("Recive: W2")), ColorPurple);

    f->reply("W2CAFEBABF");
    QCOMPARE(w().status().message(), QStringLiteral("Write Error! (no password)"));
    QCOMPARE(w().status().messageColour(), ColorOrangeRed);
    QCOMPARE(w().blocks().block(2), QStringLiteral("CAFEBABE"));

    w().blocks().setBlock(2, QStringLiteral("02468ACF"));
    f->reply("W202468ACF");
    QCOMPARE(w().status().message(), QStringLiteral("Write Error! (no password)"));

    f->reply("W900014804");
    QCOMPARE(w().status().message(), QStringLiteral("Write Ok! "));
    f->reply("W900000000");
    QCOMPARE(w().status().message(), QStringLiteral("Write Error! (no password)"));
}

void TestInterpreter::blockSevenWriteEnablesProtectionButtons()
{
    f->reply("W600000000");
    QVERIFY(!w().blocks().lockButton()->isEnabled());
    f->reply("W700000000");
    QVERIFY(w().blocks().lockButton()->isEnabled());
    QVERIFY(w().blocks().hideButton()->isEnabled());
    f->reply("W000014805");
    QCOMPARE(w().status().message(), QStringLiteral("Write Ok! "));
    QVERIFY(!w().blocks().lockButton()->isEnabled());
    QVERIFY(!w().blocks().hideButton()->isEnabled());
}

void TestInterpreter::unlockConfirmationUnchecksPwdAndAsksStatus()
{
    w().blocks().pwdBox()->setChecked(true);
    f->reply("W000148040");
    QVERIFY(w().blocks().pwdBox()->isChecked());
    QVERIFY(f->transport.written.isEmpty());

    w().state().UnlockPending = true;
    f->reply("W000148040");
    QVERIFY(!w().blocks().pwdBox()->isChecked());
    QVERIFY(!w().state().UnlockPending);
    QCOMPARE(f->transport.written, QByteArray("GTS\r\n"));
    QVERIFY(f->logText().endsWith(QStringLiteral("Send: GTS\nRecive: W000148040\n")));
    QCOMPARE(f->logColour(QStringLiteral("Send: GTS")), ColorDodgerBlue);

    f->transport.written.clear();
    w().blocks().pwdBox()->setChecked(true);
    f->reply("W000014804");
    QVERIFY(!w().blocks().pwdBox()->isChecked());
    QCOMPARE(f->transport.written, QByteArray("GTS\r\n"));
}

void TestInterpreter::identifierShowsUidAndArmsCycle()
{
    f->reply("0012345678\r\n");
    QCOMPARE(w().status().card(), QStringLiteral("ID: 0012345678"));
    QCOMPARE(w().status().cardColour(), ColorDeepPink);
    QVERIFY(!w().status().copyButton()->isHidden());
    QCOMPARE(loop(w()).LastUID, QStringLiteral("0012345678"));
    QCOMPARE(int(loop(w()).AutoStep), 1);
    QVERIFY(!w().autoWriter().Timer_Auto().isActive());
    QCOMPARE(f->logColour(QStringLiteral("Recive: 0012345678")), ColorDeepPink);

    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    f->reply("0012345679");
    // Once the record has said whether that ID was written.
    QTRY_VERIFY(w().autoWriter().Timer_Auto().isActive());
    w().autoWriter().Timer_Auto().stop();
}

void TestInterpreter::uidReadBackMatchStepsSetUid()
{
    AutoPanel &a = w().autoPanel();
    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    a.autoIncBox()->setChecked(true);
    a.setUidField()->setText(QStringLiteral("0000001234"));
    setLoop(w(), [](Loop &s) { s.ExpectedUID = QStringLiteral("0000001234"); });
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(3); });
    f->reply("0000001234");
    QCOMPARE(int(loop(w()).AutoStep), 4);
    QVERIFY(loop(w()).UidWriteConfirmed);
    QCOMPARE(a.setUidField()->text(), QStringLiteral("0000001235"));
    QVERIFY(w().autoWriter().Timer_Auto().isActive());
    w().autoWriter().Timer_Auto().stop();

    // Prefix form: the prefix is read back too; a garbled one is written again.
    a.setUidField()->setText(QStringLiteral("00AB123456"));
    a.incField()->setText(QStringLiteral("0000000002"));
    setLoop(w(), [](Loop &s) { s.ExpectedUID = QStringLiteral("00AB123456"); });
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(3); });
    f->reply("FFFF123456");
    QCOMPARE(int(loop(w()).AutoStep), 3);
    QCOMPARE(a.setUidField()->text(), QStringLiteral("00AB123456"));
    w().autoWriter().Timer_Auto().stop();
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(3); });
    f->reply("00AB123456");
    QCOMPARE(int(loop(w()).AutoStep), 4);
    QCOMPARE(a.setUidField()->text(), QStringLiteral("00AB123458"));
    w().autoWriter().Timer_Auto().stop();
}

void TestInterpreter::fiveFailedReadBacksGiveUp()
{
    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    setLoop(w(), [](Loop &s) { s.ExpectedUID = QStringLiteral("0000001234"); });
    for (int attempt = 1; attempt <= 4; ++attempt) {
        setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(3); });
        f->reply("0000009999");
        QCOMPARE(loop(w()).UidRetryCount, attempt);
        QCOMPARE(int(loop(w()).AutoStep), 3);
        QVERIFY(w().autoWriter().Timer_Auto().isActive());
    }
    QVERIFY(!f->logText().contains(QStringLiteral("Error - can not Write UID!")));
    f->reply("0000009999");
    QVERIFY(f->logText().contains(QStringLiteral("Error - can not Write UID!   ID: 0000009999\n")));
    QCOMPARE(f->logColour(QStringLiteral("Error - can not")), ColorOrangeRed);
    QCOMPARE(int(loop(w()).AutoStep), 0);
    QVERIFY(loop(w()).TagHandled);
    QCOMPARE(loop(w()).UidRetryCount, 0);
    QVERIFY(!w().autoWriter().Timer_Auto().isActive());
    QCOMPARE(w().log().insertionSize(), 9);
}

void TestInterpreter::lockAnsweredNoPresentCompletesCycle()
{
    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(11); });
    f->reply("ErrCode:03");
    QCOMPARE(w().status().message(), QStringLiteral(" Auto Write Complete!\r\n"));
    QCOMPARE(w().status().messageColour(), ColorGreen);
    QCOMPARE(int(loop(w()).AutoStep), 0);
    QVERIFY(loop(w()).TagHandled);
    QCOMPARE(f->transport.written, QByteArray("SB1\r\n"));
    QVERIFY(f->logText().endsWith(QStringLiteral("Send: SB1\nRecive: ErrCode:03\n")));
    f->reply("MsgCode:01");
    QCOMPARE(w().status().message(), QStringLiteral(" Auto Write Complete!\r\n"));
}

void TestInterpreter::writeConfirmationAtStepElevenRunsStepNow()
{
    setLoop(w(), [](Loop &s) { s.AutoWriteRunning = true; });
    setLoop(w(), [](Loop &s) { s.AutoStep = AutoLoop::Step(11); });
    w().autoWriter().Timer_Auto().start();
    f->reply("W000148250");
    // Step 12 ran at once, inside the reply: the cycle is complete.
    QVERIFY(!w().autoWriter().Timer_Auto().isActive());
    QCOMPARE(int(loop(w()).AutoStep), 0);
    QVERIFY(loop(w()).TagHandled);
    QCOMPARE(w().status().message(), QStringLiteral(" Auto Write Complete!\r\n"));
    QVERIFY(f->logText().endsWith(QStringLiteral("Send: SB1\nRecive: W000148250\n")));
}

KESTREL_TEST_MAIN(TestInterpreter)
#include "tst_interpreter.moc"
