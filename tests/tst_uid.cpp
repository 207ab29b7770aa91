#include "boxfixture.h"
#include "gui/tagops/blockpanel.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "station/record/recorder.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QClipboard>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSpinBox>

// UIDs by hand: number base, Write UID with and without stepping, Copy UID, "+1".
class TestUid : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void baseSwitchConvertsOnlyOnRealChange();
    void writeUidInBothBasesWithAndWithoutToggle();
    void stepsThatOverflowAreRefused();
    void copyUidTakesTheLastReportedUid();
    void stepSetUidButton();
    void typedLettersBecomeUpperCase();
    void writeAndCopyOnTheVirtualBox();
    void writeUidRefusedWhileTheRecordIsOff();
    void loopOptionsFollowEveryChangeOfThePanels();

private:
    QByteArray sent() { return std::exchange(f->transport.written, {}); }
    // A UID written by hand leaves once the record has reserved it.
    QByteArray sentOnceRecorded()
    {
        (void)QTest::qWaitFor([this] { return !f->transport.written.isEmpty(); }, 5000);
        return sent();
    }
    UidPanel &uid() { return f->w().uid(); }
    std::unique_ptr<WindowFixture> f;
};

void TestUid::init()
{
    f = std::make_unique<WindowFixture>();
    QVERIFY(f->connectReader());
}

void TestUid::cleanup()
{
    f.reset();
}

void TestUid::baseSwitchConvertsOnlyOnRealChange()
{
    MaskedField *field = uid().uidField();
    field->setText(QStringLiteral("000001E240"));
    f->w().autoPanel().setUidField()->setText(QStringLiteral("0000001234"));
    uid().decButton()->click();
    QCOMPARE(field->text(), QStringLiteral("0000123456"));
    QCOMPARE(sent(), QByteArray("RUD\r\n"));
    QCOMPARE(QApplication::focusWidget(), uid().writeButton());
    uid().decButton()->click();
    QCOMPARE(field->text(), QStringLiteral("0000123456"));
    QVERIFY(sent().isEmpty());
    uid().hexButton()->click();
    QCOMPARE(field->text(), QStringLiteral("000001E240"));
    QCOMPARE(sent(), QByteArray("RUX\r\n"));
    QCOMPARE(f->w().autoPanel().setUidField()->text(), QStringLiteral("0000001234"));
    QCOMPARE(f->w().autoPanel().incField()->text(), QStringLiteral("0000000001"));
}

void TestUid::writeUidInBothBasesWithAndWithoutToggle()
{
    MaskedField *field = uid().uidField();
    field->setText(QStringLiteral("0000000123"));
    uid().writeButton()->click();
    QCOMPARE(sentOnceRecorded(), QByteArray("WUX0000000123\r\n"));
    uid().incrementToggle()->click();
    QVERIFY(uid().incrementToggle()->isChecked());
    uid().writeButton()->click();
    QCOMPARE(field->text(), QStringLiteral("0000000124"));
    QCOMPARE(sentOnceRecorded(), QByteArray("WUX0000000124\r\n"));
    field->setText(QStringLiteral("00000000AB"));
    uid().writeButton()->click();
    QCOMPARE(sentOnceRecorded(), QByteArray("WUX0000000001\r\n"));

    uid().decButton()->click();
    sent();
    uid().incrementToggle()->click();
    field->setText(QStringLiteral("0000004711"));
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(sentOnceRecorded(), QByteArray("WUD0000004711\r\n"));
}

void TestUid::stepsThatOverflowAreRefused()
{
    MaskedField *field = uid().uidField();
    field->setText(QStringLiteral("9999999999"));
    uid().incrementToggle()->click();
    uid().writeButton()->click();
    QVERIFY(sent().isEmpty());
    QCOMPARE(field->text(), QStringLiteral("9999999999"));
    QCOMPARE(f->w().status().message(), QStringLiteral("UID out of range! (10000000000)"));

    MaskedField *setUid = f->w().autoPanel().setUidField();
    setUid->setText(QStringLiteral("00AB999999"));
    f->w().autoPanel().stepSetUidButton()->click();
    QCOMPARE(setUid->text(), QStringLiteral("00AB999999"));
}

void TestUid::copyUidTakesTheLastReportedUid()
{
    f->reply("00DEADBEEF");
    QVERIFY(!f->w().status().copyButton()->isHidden());
    f->w().status().copyButton()->click();
    QCOMPARE(uid().uidField()->text(), QStringLiteral("00DEADBEEF"));
    QCOMPARE(uid().uidField()->textColour(), Palette::ColorDeepPink);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("00DEADBEEF"));
    f->reply("MsgCode:05");
    QCOMPARE(uid().uidField()->textColour(), Palette::ColorDodgerBlue);
}

void TestUid::stepSetUidButton()
{
    MaskedField *setUid = f->w().autoPanel().setUidField();
    setUid->setText(QStringLiteral("00AB123456"));
    f->w().autoPanel().stepSetUidButton()->click();
    QCOMPARE(setUid->text(), QStringLiteral("00AB123457"));
    setUid->setText(QStringLiteral("0000999999"));
    f->w().autoPanel().stepSetUidButton()->click();
    QCOMPARE(setUid->text(), QStringLiteral("0001000000"));
    QVERIFY(sent().isEmpty());
}

void TestUid::typedLettersBecomeUpperCase()
{
    MaskedField *field = uid().uidField();
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("ab12cd34ef"));
    QCOMPARE(field->text(), QStringLiteral("AB12CD34EF"));
    MaskedField *inc = f->w().autoPanel().incField();
    inc->setFocus();
    inc->selectAll();
    QTest::keyClicks(inc, QStringLiteral("a0000000002"));
    QCOMPARE(inc->text(), QStringLiteral("0000000002"));
}

void TestUid::writeAndCopyOnTheVirtualBox()
{
    f.reset();
    BoxedWindow run;
    QVERIFY(run.begin());
    VirtualBox &box = run.box;
    MainWindow &w = *run.w;
    RecordingDialogs &dialogs = run.dialogs;
    box.present(T5557::blankTag());
    QTRY_COMPARE(w.status().card(), QStringLiteral("Ready - Not Config"));

    w.uid().uidField()->setText(QStringLiteral("00AB123456"));
    w.uid().writeButton()->click();
    QTRY_COMPARE(w.status().card(), QStringLiteral("ID: 00AB123456"));
    QCOMPARE(box.engine().tag().id(), std::optional<quint64>(0x00AB123456));
    // The record holds it now: onto another tag it goes only with "Rewrite recorded tags".
    box.remove();
    box.present(T5557::blankTag());
    QTRY_COMPARE(w.status().card(), QStringLiteral("Ready - Not Config"));
    w.uid().writeButton()->click();
    QTRY_COMPARE(dialogs.boxes.size(), 1);
    QVERIFY2(dialogs.boxes[0].text.startsWith(
                 QStringLiteral("UID 00AB123456 was already written to a tag on ")),
             qPrintable(dialogs.boxes[0].text));
    QVERIFY(!box.engine().tagWritten());
    w.autoPanel().rewriteRecordedBox()->setChecked(true);
    w.uid().writeButton()->click();
    QTRY_COMPARE(box.engine().tag().id(), std::optional<quint64>(0x00AB123456));
    w.autoPanel().rewriteRecordedBox()->setChecked(false);
    dialogs.boxes.clear();
    const auto manualRows = [&] {
        return records(run.dir.filePath(QStringLiteral("production.sqlite")),
                       "SELECT t.result || ': ' || COALESCE(t.detail, '') FROM tag t JOIN batch b "
                       "ON b.id = t.batch_id WHERE b.options = 'manual UID writes' AND t.ended IS "
                       "NOT NULL ORDER BY t.id");
    };
    QTRY_COMPARE_WITH_TIMEOUT(manualRows().size(), 2, 5000);
    const QStringList manual = manualRows();
    QCOMPARE(manual.value(0), QStringLiteral("complete: "));
    QVERIFY2(manual.value(1).startsWith(QStringLiteral("complete: written with Rewrite "
                                                       "recorded tags: UID 00AB123456 was "
                                                       "already written to a tag on ")),
             qPrintable(manual.value(1)));
    w.uid().uidField()->setText(QStringLiteral("0000000000"));
    w.status().copyButton()->click();
    QCOMPARE(w.uid().uidField()->text(), QStringLiteral("00AB123456"));

    w.uid().decButton()->click();
    QCOMPARE(w.uid().uidField()->text(), QStringLiteral("0001193046"));
    QTRY_VERIFY(!box.engine().reportHex);
    w.uid().uidField()->setText(QStringLiteral("0000123456"));
    w.uid().writeButton()->click();
    QTRY_COMPARE(w.status().card(), QStringLiteral("ID: 0000123456"));
    QCOMPARE(box.engine().tag().id(), std::optional<quint64>(123456));
    QVERIFY(dialogs.boxes.isEmpty());
}

// Nothing is written by hand that the record cannot account for.
void TestUid::writeUidRefusedWhileTheRecordIsOff()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("a-file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    f = std::make_unique<WindowFixture>(QList<int>{1},
                                        file.fileName() + QStringLiteral("/production.sqlite"));
    QVERIFY(f->connectReader());
    QTRY_VERIFY(!f->w().recorder().problem().isEmpty());
    const qsizetype before = f->dialogs.boxes.size();
    uid().writeButton()->click();
    QTRY_COMPARE(f->dialogs.boxes.size(), before + 1);
    QVERIFY2(f->dialogs.boxes.last().text.startsWith(QStringLiteral("Production record is off: ")),
             qPrintable(f->dialogs.boxes.last().text));
    QVERIFY(sent().isEmpty());
}

KESTREL_TEST_MAIN(TestUid)
// The loop no longer reads the panels at every step: a change that does not reach its options
// would run a tag with settings the operator no longer sees. A seeded walk over every control.
void TestUid::loopOptionsFollowEveryChangeOfThePanels()
{
    MainWindow &w = f->w();
    QList<QWidget *> controls;
    const QList<QWidget *> panels{&w.autoPanel(), &w.blocks(), &uid()};
    for (QWidget *panel : panels) {
        for (QAbstractButton *b : panel->findChildren<QAbstractButton *>())
            if (b->isCheckable())
                controls << b;
        for (QLineEdit *e : panel->findChildren<QLineEdit *>())
            controls << e;
        for (QSpinBox *s : panel->findChildren<QSpinBox *>())
            controls << s;
    }
    QVERIFY(controls.size() > 30);
    QRandomGenerator random(20261209);
    for (int step = 0; step < 600; ++step) {
        QWidget *c = controls[random.bounded(int(controls.size()))];
        if (auto *b = qobject_cast<QAbstractButton *>(c)) {
            b->click();
        } else if (auto *e = qobject_cast<QLineEdit *>(c)) {
            QString text;
            for (int i = random.bounded(11); i > 0; --i)
                text += QChar(u"0123456789ABCDEF"[random.bounded(16)]);
            e->setText(text);
        } else if (auto *s = qobject_cast<QSpinBox *>(c)) {
            s->setValue(random.bounded(s->minimum(), s->maximum() + 1));
        }
        QVERIFY2(w.autoWriter().options() == w.autoWriter().panels(),
                 qPrintable(QStringLiteral("step %1: %2").arg(step).arg(c->objectName())));
    }
}

#include "tst_uid.moc"
