#include "boxfixture.h"
#include "core/configword.h"
#include "core/tagfile.h"
#include "gui/tagops/blockpanel.h"
#include "gui/tagops/inspectionbar.h"
#include "gui/tagops/readersettingspanel.h"
#include "gui/tagops/taginspector.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "station/record/recorder.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QToolButton>

// The operator's single-shot commands: reader settings, blocks, protection.
class TestTagOps : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void readerSettingButtonsSendTheirCommand_data();
    void readerSettingButtonsSendTheirCommand();
    void exclusiveIdOfZerosIsRefused();
    void enterInPasswordFieldEnablesAorRead();
    void blockCommandsWithoutPassword();
    void blockCommandsWithPassword();
    void blockSevenFieldFeedsAorPassword();
    void pwdAndAorRulesComposeBlockZero();
    void programChangeRunsRuleOnceNoOpRunsNothing();
    void unlockSendsPasswordWriteAndWaits();
    void resetAndStandard();
    void lockAndHideSendFixedWords();
    void protectAndUnlockATagInTheVirtualBox();
    void readSaveAndRestoreATagOnTheVirtualBox();
    void restoreRefusesAndStopsSafely();
    void idChangesByHandAreHeldToTheRecord();

private:
    QByteArray sent() { return std::exchange(f->transport.written, {}); }
    QPushButton *setting(const char *name)
    {
        return f->w().readerSettings().button(QString::fromLatin1(name));
    }
    BlockPanel &blocks() { return f->w().blocks(); }
    std::unique_ptr<WindowFixture> f;
};

void TestTagOps::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->connectReader());
}

void TestTagOps::cleanup()
{
    f.reset();
}

void TestTagOps::readerSettingButtonsSendTheirCommand_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("wire");
    for (const char *name : {"RUX", "RUD", "GTS", "SB1", "SBA", "SBD", "SM0", "ARD"})
        QTest::newRow(name) << QStringLiteral("cm_%1").arg(QLatin1String(name))
                            << QByteArray(name) + "\r\n";
    QTest::newRow("cm_ARE") << "cm_ARE" << QByteArray("ARE00000000\r\n");
}

void TestTagOps::readerSettingButtonsSendTheirCommand()
{
    QFETCH(QString, button);
    f->w().readerSettings().button(button)->click();
    QTEST(sent(), "wire");
}

void TestTagOps::exclusiveIdOfZerosIsRefused()
{
    setting("cm_SM1")->click();
    QVERIFY(sent().isEmpty());
    QCOMPARE(f->dialogs.boxes.size(), 1);
    QCOMPARE(f->dialogs.boxes[0].text, QStringLiteral("The number 0000000000 not is valid UID"));
    QVERIFY(f->logText().isEmpty());
    MaskedField *sm1 = f->w().readerSettings().sm1Field();
    sm1->setFocus();
    sm1->selectAll();
    QTest::keyClicks(sm1, QStringLiteral("00a1b2c3d4"));
    QCOMPARE(sm1->text(), QStringLiteral("00A1B2C3D4"));
    QTest::keyClick(sm1, Qt::Key_Return);
    QCOMPARE(sent(), QByteArray("SM100A1B2C3D4\r\n"));
}

void TestTagOps::enterInPasswordFieldEnablesAorRead()
{
    MaskedField *are = f->w().readerSettings().areField();
    are->setFocus();
    are->selectAll();
    QTest::keyClicks(are, QStringLiteral("0badf00d"));
    QTest::keyClick(are, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(sent(), QByteArray("ARE0BADF00D\r\n"));
}

void TestTagOps::blockCommandsWithoutPassword()
{
    blocks().readButton(0)->click();
    QCOMPARE(sent(), QByteArray("RB0\r\n"));
    QCOMPARE(f->w().state().LastReadBlock, 0);
    blocks().readButton(6)->click();
    QCOMPARE(f->w().state().LastReadBlock, 6);
    QCOMPARE(sent(), QByteArray("RB6\r\n"));
    blocks().writeButton(0)->click();
    QCOMPARE(sent(), QByteArray("WB000148040\r\n"));
    blocks().setBlock(4, QStringLiteral("DEADBEEF"));
    blocks().field(4)->setFocus();
    QTest::keyClick(blocks().field(4), Qt::Key_Return);
    QCOMPARE(sent(), QByteArray("WB4DEADBEEF\r\n"));
    // A held Enter writes once: the key's repeats (25 a second under X11) write nothing.
    QTest::sendKeyEvent(QTest::KeyAction::Press, blocks().field(4), Qt::Key_Return, '\r',
                        Qt::NoModifier);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
    QApplication::sendEvent(blocks().field(4), &repeat);
    QApplication::sendEvent(blocks().field(4), &repeat);
    QCOMPARE(sent(), QByteArray("WB4DEADBEEF\r\n"));
}

void TestTagOps::blockCommandsWithPassword()
{
    blocks().setBlock(7, QStringLiteral("12345678"));
    blocks().pwdBox()->click();
    sent();
    blocks().readButton(7)->click();
    QCOMPARE(sent(), QByteArray("RP712345678\r\n"));
    blocks().writeButton(7)->click();
    QCOMPARE(sent(), QByteArray("WP71234567812345678\r\n"));

    // Every password write first recomposes block 0 from AOR and moves the focus there.
    blocks().setBlock(0, QStringLiteral("00148250"));
    blocks().setBlock(5, QStringLiteral("0000ABCD"));
    blocks().field(5)->setFocus();
    blocks().writeButton(5)->click();
    QCOMPARE(sent(), QByteArray("WP5123456780000ABCD\r\n"));
    QCOMPARE(blocks().block(0), QStringLiteral("00148050"));
    QCOMPARE(QApplication::focusWidget(), blocks().writeButton(0));
    QCOMPARE(f->w().emphasis().defaultButton(), blocks().writeButton(0));

    blocks().aorBox()->click();
    sent();
    blocks().writeButton(0)->click();
    QCOMPARE(sent(), QByteArray("WP01234567800148250\r\n"));
}

void TestTagOps::blockSevenFieldFeedsAorPassword()
{
    blocks().setBlock(7, QStringLiteral("0BADF00D"));
    QCOMPARE(f->w().readerSettings().areField()->text(), QStringLiteral("0BADF00D"));
    f->w().readerSettings().areField()->setText(QStringLiteral("11111111"));
    blocks().setBlock(2, QStringLiteral("22222222"));
    QCOMPARE(f->w().readerSettings().areField()->text(), QStringLiteral("0BADF00D"));
}

void TestTagOps::pwdAndAorRulesComposeBlockZero()
{
    QCheckBox *pwd = blocks().pwdBox();
    QCheckBox *aor = blocks().aorBox();
    pwd->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148050"));
    QCOMPARE(blocks().passwordLabel()->text(), QStringLiteral("Password:"));
    QVERIFY(blocks().passwordEmphasised());
    QCOMPARE(blocks().field(7)->textColour(), Palette::ColorOrangeRed);
    QVERIFY(aor->isEnabled() && !aor->isHidden());
    QCOMPARE(blocks().writeButton(0)->text(), QStringLiteral("Write Lock"));
    QCOMPARE(QApplication::focusWidget(), blocks().writeButton(0));
    QVERIFY(Emphasis::isHighlighted(blocks().writeButton(0)));
    aor->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148250"));
    pwd->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148040"));
    QVERIFY(!aor->isChecked() && !aor->isEnabled());
    QCOMPARE(blocks().writeButton(0)->text(), QStringLiteral("Write Config"));
    QCOMPARE(blocks().passwordLabel()->text(), QStringLiteral("B7- Password :"));
    QCOMPARE(blocks().field(7)->textColour(), Palette::ColorSteel);
    QVERIFY(sent().isEmpty());

    blocks().setBlock(0, QStringLiteral("00010000"));
    pwd->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148050"));
}

void TestTagOps::programChangeRunsRuleOnceNoOpRunsNothing()
{
    blocks().setBlock(0, QStringLiteral("12345678"));
    blocks().pwdBox()->setChecked(false);
    QCOMPARE(blocks().block(0), QStringLiteral("12345678"));
    blocks().pwdBox()->setChecked(true);
    QCOMPARE(blocks().block(0), QStringLiteral("12345650"));
    blocks().pwdBox()->setChecked(true);
    QCOMPARE(blocks().block(0), QStringLiteral("12345650"));
}

void TestTagOps::unlockSendsPasswordWriteAndWaits()
{
    blocks().setBlock(7, QStringLiteral("A1B2C3D4"));
    blocks().pwdBox()->click();
    blocks().aorBox()->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148250"));
    sent();
    blocks().unlockButton()->click();
    QCOMPARE(sent(), QByteArray("WP0A1B2C3D400148040\r\n"));
    QCOMPARE(blocks().block(0), QStringLiteral("00148040"));
    QVERIFY(blocks().pwdBox()->isChecked());
    QVERIFY(f->w().state().UnlockPending);
    f->reply("W000148040");
    QVERIFY(!blocks().pwdBox()->isChecked());
    QVERIFY(!blocks().aorBox()->isChecked());
    QVERIFY(!f->w().state().UnlockPending);
    QCOMPARE(sent(), QByteArray("GTS\r\n"));
}

void TestTagOps::resetAndStandard()
{
    blocks().pwdBox()->click();
    sent();
    blocks().resetButton()->click();
    QVERIFY(!blocks().pwdBox()->isChecked());
    QCOMPARE(blocks().writeButton(0)->text(), QStringLiteral("Write Config"));
    QCOMPARE(blocks().block(0), QStringLiteral("00010000"));
    QCOMPARE(sent(), QByteArray("WB000010000\r\n"));
    QCOMPARE(QApplication::focusWidget(), blocks().writeButton(0));

    blocks().standardButton()->click();
    QCOMPARE(blocks().block(0), QStringLiteral("00148040"));
    QCOMPARE(sent(), QByteArray("WB000148040\r\nGTS\r\n"));
    QVERIFY(f->logText().endsWith(QStringLiteral("Send: WB000148040\nSend: GTS\n")));
}

void TestTagOps::lockAndHideSendFixedWords()
{
    QVERIFY(!blocks().lockButton()->isEnabled());
    f->reply("W700000000");
    QVERIFY(blocks().lockButton()->isEnabled());
    blocks().lockButton()->click();
    QCOMPARE(sent(), QByteArray("WB000148250\r\n"));
    blocks().hideButton()->click();
    QCOMPARE(sent(), QByteArray("WB000148050\r\n"));
    QCOMPARE(blocks().block(0), QStringLiteral("00148040"));
    QVERIFY(!blocks().pwdBox()->isChecked());
}

void TestTagOps::protectAndUnlockATagInTheVirtualBox()
{
    f.reset();
    BoxedWindow run;
    QVERIFY(run.begin());
    VirtualBox &box = run.box;
    MainWindow &w = *run.w;
    RecordingDialogs &dialogs = run.dialogs;
    box.present(T5557::tagWithId(0x1122334455));
    BlockPanel &b = w.blocks();
    StatusLine &status = w.status();
    const auto result = [&] {
        const bool done = QTest::qWaitFor([&] { return !status.message().isEmpty(); }, 3000);
        const QString text = status.message();
        status.clearMessage();
        return done ? text : QStringLiteral("(no result)");
    };

    w.readerSettings().button(QStringLiteral("cm_GTS"))->click();
    QTRY_COMPARE(status.card(), QStringLiteral("ID: 1122334455"));
    status.clearMessage();
    b.readButton(1)->click();
    QCOMPARE(result(), QStringLiteral("Read Ok!"));
    QCOMPARE(b.block(1), QStringLiteral("FF8C6529"));

    b.setBlock(3, QStringLiteral("CAFEBABE"));
    b.writeButton(3)->click();
    QCOMPARE(result(), QStringLiteral("Write Ok! "));
    b.setBlock(7, QStringLiteral("12345678"));
    b.writeButton(7)->click();
    QCOMPARE(result(), QStringLiteral("Write Ok! "));
    QVERIFY(b.hideButton()->isEnabled());

    b.hideButton()->click();
    QCOMPARE(result(), QStringLiteral("Write Ok! "));
    QVERIFY(!b.hideButton()->isEnabled());
    QVERIFY(box.engine().tag().pwd());
    b.readButton(3)->click();
    QCOMPARE(result(), QStringLiteral("No is Password!"));
    QCOMPARE(b.block(3), QStringLiteral("00000000"));

    b.pwdBox()->click();
    b.readButton(3)->click();
    QCOMPARE(result(), QStringLiteral("Read Ok!"));
    QCOMPARE(b.block(3), QStringLiteral("CAFEBABE"));

    b.setBlock(7, QStringLiteral("00000000"));
    b.readButton(3)->click();
    QCOMPARE(result(), QStringLiteral("Password Error!"));
    QCOMPARE(b.block(3), QStringLiteral("00000000"));

    b.setBlock(7, QStringLiteral("12345678"));
    status.showCard(QStringLiteral("waiting"), 0);
    b.unlockButton()->click();
    QTRY_COMPARE(status.card(), QStringLiteral("ID: 1122334455"));
    QVERIFY(!b.pwdBox()->isChecked());
    QVERIFY(!box.engine().tag().pwd());
    QVERIFY(w.log().text().contains(QStringLiteral("Send: GTS\nRecive: W000148040\n")));
    QVERIFY(dialogs.boxes.isEmpty());
}

// A whole tag read, understood, saved, and written onto a blank tag that then matches it.
void TestTagOps::readSaveAndRestoreATagOnTheVirtualBox()
{
    f.reset();
    T5557::Tag original = T5557::tagWithId(0x1122334455);
    for (int n = 3; n <= 6; ++n)
        original.blocks[size_t(n)] = 0x01010101u * quint32(n);
    original.blocks[7] = 0x5EC12E7A;
    // The box reported the tag before the tool connected: Connect asks again.
    BoxedWindow run;
    QVERIFY(run.begin({}, original));
    MainWindow &w = *run.w;
    QTRY_COMPARE(w.status().card(), QStringLiteral("ID: 1122334455"));
    QVERIFY(w.log().text().startsWith(QStringLiteral("Send: GTS\n")));
    QVERIFY(w.log().text().endsWith(QStringLiteral("Recive: 1122334455\n")));
    w.inspectionBar().readAllButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.inspectionBar().resultInfo()->text(),
                              QStringLiteral("Read all: 8 of 8"), 10000);
    QCOMPARE(w.blocks().block(6), QStringLiteral("06060606"));
    QCOMPARE(w.inspectionBar().configInfo()->text(),
             QStringLiteral("B0: RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off"));
    QCOMPARE(w.inspectionBar().idInfo()->text(),
             QStringLiteral("B1-B2: EM4100 ID 1122334455 (0573785173)"));

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("tag.json"));
    QString error;
    QVERIFY2(w.inspector().saveTo(file, &error), qPrintable(error));
    QCOMPARE(TagFile::load(file).contents.uid, QStringLiteral("1122334455"));
    run.box.remove();
    run.box.present(T5557::blankTag());
    QTRY_COMPARE(w.status().card(), QStringLiteral("Ready - Not Config"));
    w.inspector().restoreFrom(file);
    QTRY_COMPARE_WITH_TIMEOUT(w.inspectionBar().resultInfo()->text(),
                              QStringLiteral("Restore complete: 8 blocks written"), 10000);
    QCOMPARE(run.box.engine().tag().blocks, original.blocks);

    // The copy is what the file holds; another tag is not, block by block.
    w.inspector().compareWith(file);
    QTRY_COMPARE_WITH_TIMEOUT(w.inspectionBar().resultInfo()->text(),
                              QStringLiteral("Compare: equal to tag.json (blocks 0,1,2,3,4,5,6)"),
                              10000);
    run.box.remove();
    run.box.present(T5557::tagWithId(0x1122334455));
    w.inspector().compareWith(file);
    QTRY_VERIFY_WITH_TIMEOUT(!w.inspector().busy(), 10000);
    QCOMPARE(w.inspectionBar().resultInfo()->text(),
             QStringLiteral("Compare: 4 of 7 blocks differ from tag.json: block 3 (file "
                            "03030303, tag 00000000); block 4 (file 04040404, tag 00000000); "
                            "block 5 (file 05050505, tag 00000000); block 6 (file 06060606, tag "
                            "00000000)"));

    // A duplicator's password is found in the built-in list: it goes into the block-7 field,
    // PWD ticked, and shows nowhere else. A search the operator cancels stops where it is.
    run.box.remove();
    run.box.present(T5557::protectedTag(0x19920427, 0x1122334455, false));
    QToolButton *find = w.inspectionBar().findPasswordButton();
    w.inspector().findPassword({});
    QCOMPARE(find->text(), QStringLiteral("Cancel"));
    QTRY_VERIFY_WITH_TIMEOUT(!w.inspector().busy(), 10000);
    QCOMPARE(w.inspectionBar().resultInfo()->text(),
             QStringLiteral("Find password: found: built-in entry 3 (handheld duplicator default, "
                            "older models) opens the tag (try 3 of 6)"));
    QCOMPARE(find->text(), QStringLiteral("Find Password..."));
    QCOMPARE(w.blocks().block(7), QStringLiteral("19920427"));
    QVERIFY(w.blocks().pwdBox()->isChecked());
    QVERIFY(!w.log().text().contains(QStringLiteral("19920427")));
    QFile many(dir.filePath(QStringLiteral("many.txt")));
    QVERIFY(many.open(QIODevice::WriteOnly));
    for (int i = 0; i < 200; ++i)
        many.write(QByteArray::number(0x10000000 + i, 16) + '\n');
    many.close();
    run.box.remove();
    run.box.present(T5557::protectedTag(0x7E57AB1E, 0x1122334455, false));
    w.inspector().findPassword(many.fileName());
    QTRY_VERIFY(w.inspectionBar().resultInfo()->text().contains(QStringLiteral("3 of 206")));
    find->click();
    QVERIFY(!w.inspector().busy());
    QVERIFY2(w.inspectionBar().resultInfo()->text().startsWith(
                 QStringLiteral("Find password: cancelled after ")),
             qPrintable(w.inspectionBar().resultInfo()->text()));
    QVERIFY(run.dialogs.boxes.isEmpty());
}

void TestTagOps::restoreRefusesAndStopsSafely()
{
    f.reset();
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    QTemporaryDir dir;
    const auto tagFile = [&](const QString &name, const QJsonArray &blocks) {
        const QString path = dir.filePath(name);
        QFile out(path);
        out.open(QIODevice::WriteOnly);
        out.write(
            QJsonDocument(
                QJsonObject{{"format", "kestrel-rfid-tag"}, {"version", 1}, {"blocks", blocks}})
                .toJson());
        return path;
    };
    const QJsonValue null(QJsonValue::Null);
    run.box.present(T5557::blankTag());
    QTRY_COMPARE(w.status().card(), QStringLiteral("Ready - Not Config"));

    // A protecting configuration without its password is never written.
    w.inspector().restoreFrom(
        tagFile("nopassword.json", {"00148050", "11111111", null, null, null, null, null, null}));
    // Protection is asked for, without showing the password; "No" writes nothing.
    run.dialogs.answer = false;
    w.inspector().restoreFrom(
        tagFile("protects.json", {"00148250", null, null, null, null, null, null, "5EC12E7A"}));
    QFile garbage(dir.filePath("garbage.json"));
    garbage.open(QIODevice::WriteOnly);
    garbage.write("{\"format\": 12, \x01");
    garbage.close();
    w.inspector().restoreFrom(garbage.fileName());
    QCOMPARE(run.dialogs.boxes.size(), 3);
    QVERIFY(run.dialogs.boxes[0].text.contains(QStringLiteral("carries no block 7")));
    QCOMPARE(run.dialogs.boxes[1].kind, QStringLiteral("question"));
    QVERIFY(run.dialogs.boxes[1].text.contains(QStringLiteral("the password the file holds")));
    QVERIFY(!run.dialogs.boxes[1].text.contains(QStringLiteral("5EC12E7A")));
    QVERIFY(run.dialogs.boxes[2].text.contains(QStringLiteral("is not a tag file")));
    QVERIFY(!run.box.engine().tagWritten());

    // A block that does not take its value stops the restore there.
    run.box.engine().lockBlock(4);
    w.inspector().restoreFrom(
        tagFile("locked.json", {null, null, null, "33333333", "44444444", "55555555", null, null}));
    QTRY_VERIFY(w.inspectionBar().resultInfo()->text().startsWith(
        QStringLiteral("Restore stopped: block 4")));
    QVERIFY(!w.inspector().busy());
    QCOMPARE(run.box.engine().tag().blocks[3], quint32(0x33333333));
    QCOMPARE(run.box.engine().tag().blocks[5], quint32(0));
}

// A wipe reads blocks 1-2 and asks first. A tag it cannot read, or an operator who does not
// choose to wipe a UID the record holds as written, leaves the tag as it was; a wipe done is
// in the record, whose row for the UID then says the UID left the tag. A restore and a block
// write that change the ID are held to the record the same way.
void TestTagOps::idChangesByHandAreHeldToTheRecord()
{
    f.reset();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("production.sqlite"));
    {
        ProductionRecord record(path);
        ProductionRecord::Batch b;
        b.station = QStringLiteral("bench");
        const std::optional<QString> batch = record.beginBatch(b);
        QVERIFY(batch);
        AutoLoop::TagOutcome t;
        t.uidAsked = t.uidRead = QStringLiteral("1122334455");
        t.uidConfirmed = true;
        t.hexBase = true;
        t.result = AutoLoop::TagOutcome::Result::Complete;
        QVERIFY(record.endTag(RecordIdentity::newKey(), *batch, t));
    }
    {
        // A record that cannot answer cannot say whose UID the tag carries.
        // Below a file, so not even root can create it.
        QFile file(dir.filePath(QStringLiteral("a-file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        BoxedWindow off;
        QVERIFY(off.begin(file.fileName() + QStringLiteral("/production.sqlite"),
                          T5557::tagWithId(0x1122334455)));
        QTRY_VERIFY(!off.w->recorder().problem().isEmpty());
        const qsizetype before = off.dialogs.boxes.size();
        off.w->inspector().wipe();
        QTRY_COMPARE_WITH_TIMEOUT(off.dialogs.boxes.size(), before + 1, 10000);
        QVERIFY2(off.dialogs.boxes.last().text.contains(
                     QStringLiteral("record cannot say whether this line wrote it")),
                 qPrintable(off.dialogs.boxes.last().text));
        QVERIFY(!off.w->inspector().busy());
        QVERIFY(!off.box.engine().tagWritten());
    }
    BoxedWindow run;
    QVERIFY(run.begin(path, T5557::protectedTag(0x5EC12E7A, 0x1122334455, false)));
    MainWindow &w = *run.w;
    const auto done = [&] {
        return QTest::qWaitFor([&] { return !w.inspector().busy(); }, 10000);
    };

    w.inspector().wipe();
    QVERIFY(done());
    QCOMPARE(run.dialogs.boxes.size(), 1);
    QVERIFY(run.dialogs.boxes[0].text.contains(QStringLiteral("could not be read")));
    w.blocks().setBlock(7, QStringLiteral("5EC12E7A"));
    w.blocks().pwdBox()->setChecked(true);
    w.inspector().wipe();
    QTRY_COMPARE_WITH_TIMEOUT(run.dialogs.boxes.size(), 2, 10000);
    QCOMPARE(run.dialogs.boxes[1].kind, QStringLiteral("warning: Wipe Recorded Tag"));
    QVERIFY2(run.dialogs.boxes[1].text.contains(
                 QStringLiteral("UID 1122334455, which the production record holds as written to "
                                "it on ")),
             qPrintable(run.dialogs.boxes[1].text));
    QVERIFY(done());
    QVERIFY(!run.box.engine().tagWritten());

    run.dialogs.choose = true;
    w.inspector().wipe();
    QTRY_COMPARE_WITH_TIMEOUT(
        w.inspectionBar().resultInfo()->text(),
        QStringLiteral("Wipe complete: blocks 1-7 zero, block 0 00088040 (blank)"), 10000);
    std::array<quint32, 8> blank{};
    blank[0] = ConfigWord::kBlank.toUInt(nullptr, 16);
    QCOMPARE(run.box.engine().tag().blocks, blank);
    QVERIFY(!w.blocks().pwdBox()->isChecked());
    QVERIFY(!w.log().text().contains(QStringLiteral("5EC12E7A")));

    const QString wipes = QStringLiteral("SELECT t.result || ': ' || t.detail FROM tag t JOIN "
                                         "batch b ON b.id = t.batch_id WHERE b.options = 'wipe' "
                                         "AND t.ended IS NOT NULL");
    QTRY_COMPARE_WITH_TIMEOUT(records(path, wipes).size(), 1, 5000);
    const QString wiped = records(path, wipes).value(0);
    QVERIFY2(wiped.startsWith(QStringLiteral("complete: wiped on the operator's word: UID "
                                             "1122334455 was written to this tag on "))
                 && wiped.endsWith(QStringLiteral("the tag carried UID 1122334455 before")),
             qPrintable(wiped));
    const QStringList old
        = records(path, QStringLiteral("SELECT detail FROM tag WHERE uid_asked = '1122334455'"));
    QVERIFY2(old.value(0).startsWith(QStringLiteral("UID left this tag: blocks 1-2 overwritten")),
             qPrintable(old.join(u'|')));

    // Off the wiped tag, the UID is free: a restore puts it onto the blank one, reserved first.
    TagFile::Contents file;
    const T5557::Tag tagged = T5557::tagWithId(0x1122334455);
    for (int n : {0, 1, 2})
        file.blocks[size_t(n)]
            = QStringLiteral("%1").arg(tagged.blocks[size_t(n)], 8, 16, QLatin1Char('0')).toUpper();
    QString error;
    QVERIFY2(TagFile::save(dir.filePath(QStringLiteral("id.json")), file, &error),
             qPrintable(error));
    w.inspector().restoreFrom(dir.filePath(QStringLiteral("id.json")));
    QTRY_COMPARE_WITH_TIMEOUT(w.inspectionBar().resultInfo()->text(),
                              QStringLiteral("Restore complete: 3 blocks written"), 10000);
    QCOMPARE(run.box.engine().tag().id(), std::optional<quint64>(0x1122334455));
    const QString restored = QStringLiteral("SELECT t.result || ' ' || t.uid_confirmed FROM tag t "
                                            "JOIN batch b ON b.id = t.batch_id WHERE b.options = "
                                            "'manual UID writes' AND t.ended IS NOT NULL");
    QTRY_COMPARE(records(path, restored), QStringList{QStringLiteral("complete 1")});

    // A block write that breaks the frame of that recorded UID waits for "Rewrite recorded
    // tags"; then the record says the UID left the tag.
    const qsizetype boxes = run.dialogs.boxes.size();
    w.blocks().setBlock(2, QStringLiteral("00000000"));
    w.blocks().writeButton(2)->click();
    QTRY_COMPARE_WITH_TIMEOUT(run.dialogs.boxes.size(), boxes + 1, 10000);
    QVERIFY2(run.dialogs.boxes.last().text.startsWith(
                 QStringLiteral("UID 1122334455 was written to this tag on ")),
             qPrintable(run.dialogs.boxes.last().text));
    QCOMPARE(run.box.engine().tag().id(), std::optional<quint64>(0x1122334455));
    w.autoPanel().rewriteRecordedBox()->setChecked(true);
    w.blocks().setBlock(2, QStringLiteral("00000000"));
    w.blocks().writeButton(2)->click();
    QTRY_COMPARE_WITH_TIMEOUT(run.box.engine().tag().blocks[2], 0u, 10000);
    QTRY_COMPARE(
        records(path, restored + QStringLiteral(" AND t.detail LIKE 'UID left this tag%'")),
        QStringList{QStringLiteral("complete 0")});
}

KESTREL_TEST_MAIN(TestTagOps)
#include "tst_tagops.moc"
