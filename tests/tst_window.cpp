#include "gui/tagops/blockpanel.h"
#include "gui/tagops/readersettingspanel.h"
#include "gui/ui/hints.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/maskedfield.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QAbstractButton>
#include <QAccessible>

#include <QCheckBox>
#include <QEnterEvent>
#include <QLabel>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>

// The window as the operator meets it: controls, start states, hints and emphasis.
class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyControlIsNamedForAutomation_data();
    void everyControlIsNamedForAutomation();
    void accessibleNamesFollowWhatControlsShow();
    void smallScreenReachesEveryControl();
    void startStates();
    void fieldsTakeOnlyTheirDigitsInUpperCase();
    void hintsFollowThePointerAndStay();
    void focusedFieldEmphasisesItsButton();
    void enterInFieldPressesItsButton();
    void tabOrderStartsAtConnect();
    void screenshot();

private:
    template <typename T = QWidget> T *control(const QString &name)
    {
        return f->w().findChild<T *>(name);
    }
    void hover(QWidget *widget)
    {
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(widget, &enter);
    }
    std::unique_ptr<WindowFixture> f;
};

void TestWindow::init()
{
    f = std::make_unique<WindowFixture>();
}

void TestWindow::cleanup()
{
    f.reset();
}

void TestWindow::everyControlIsNamedForAutomation_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("accessibleName");
    QTest::addColumn<QString>("tooltip");
    QTest::newRow("Lp") << "Lp"
                        << ""
                        << "";
    QTest::newRow("cm_connect") << "cm_connect"
                                << "Connect"
                                << "Connect or Disconnect";
    QTest::newRow("cm_Refreah") << "cm_Refreah"
                                << "Refresh"
                                << "Refresh port";
    QTest::newRow("tx_Block(3)") << "tx_Block(3)"
                                 << "Block Data 3"
                                 << "Data value: (0-9) , (A-F)";
    QTest::newRow("cm_Write(0)") << "cm_Write(0)"
                                 << "Write Config"
                                 << "Write Configuration Block";
    QTest::newRow("cm_Read(7)") << "cm_Read(7)"
                                << "Read"
                                << "Read password Block";
    QTest::newRow("CB(5)") << "CB(5)"
                           << "Auto-write block 5"
                           << "";
    QTest::newRow("cm_hide") << "cm_hide"
                             << "Lock"
                             << "Lock Read and Write Blocks";
    QTest::newRow("cm_Lock") << "cm_Lock"
                             << "Hide"
                             << "Lock & Hide UID Code";
    QTest::newRow("cm_SBA") << "cm_SBA"
                            << "SBA"
                            << "Set Buzzer Active when tag re";
    QTest::newRow("tx_ARE") << "tx_ARE"
                            << "AOR read password"
                            << "Password: (0-9) , (A-F)";
    QTest::newRow("cm_inc_UID") << "cm_inc_UID"
                                << "+1"
                                << "Auto increment";
    QTest::newRow("ch_WB0") << "ch_WB0"
                            << "Lock UID & Block's "
                            << "";
    QTest::newRow("ch_Rewrite_Recorded")
        << "ch_Rewrite_Recorded"
        << "Rewrite recorded tags"
        << "A tag that already carries a UID of the production record is written again instead "
           "of being moved on";
    QTest::newRow("R1") << "R1"
                        << "Traffic log"
                        << "Double Click for Clean";
    QTest::newRow("cm_clean") << "cm_clean"
                              << "Clean"
                              << "Clean Report";
}

void TestWindow::everyControlIsNamedForAutomation()
{
    QFETCH(QString, name);
    QWidget *w = control(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->accessibleDescription(), name);
    QTEST(QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name), "accessibleName");
    QTEST(w->toolTip(), "tooltip");
}

namespace {

QString spoken(QWidget *w)
{
    return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
}

} // namespace

// A screen reader hears what the operator sees, and hears the status labels change.
void TestWindow::accessibleNamesFollowWhatControlsShow()
{
    QVERIFY(f->connectReader());
    MainWindow &w = f->w();
    QCOMPARE(spoken(w.ports().connectButton()), QStringLiteral("Disconnect"));
    w.autoPanel().autoButton()->click();
    QCOMPARE(spoken(w.autoPanel().autoButton()), QStringLiteral("Stop"));
    w.blocks().pwdBox()->click();
    QCOMPARE(spoken(w.blocks().writeButton(0)), QStringLiteral("Write Lock"));
    f->reply("MsgCode:01");
    QCOMPARE(spoken(control("Lp")), QStringLiteral("Command Successfully!"));
    f->reply("0000001234");
    QCOMPARE(spoken(control("Lc")), QStringLiteral("ID: 0000001234"));
}

// 150 % scaling on a 1280x900 screen leaves about 853x600; every control must stay reachable,
// and at the normal size no caption is cut.
void TestWindow::smallScreenReachesEveryControl()
{
    MainWindow &w = f->w();
    // A fresh window never opens larger than the screen's room.
    const QSize room = w.screen()->availableGeometry().size();
    QVERIFY(w.width() <= room.width() && w.height() <= room.height());
    w.resize(w.layoutSize());
    QTRY_COMPARE(w.size(), w.layoutSize());
    QList<QAbstractButton *> buttons = w.findChildren<QAbstractButton *>();
    for (QAbstractButton *b : buttons) {
        if (!b->isVisible() || b->text().isEmpty())
            continue;
        QString text = b->text();
        text.replace(QStringLiteral("&&"), QStringLiteral("&"));
        const int needed = qobject_cast<QCheckBox *>(b) || qobject_cast<QRadioButton *>(b)
                               ? b->sizeHint().width() - 1
                               : b->fontMetrics().horizontalAdvance(text) + 4;
        QVERIFY2(b->width() >= needed, qPrintable(b->objectName()));
    }
    w.resize(800, 560);
    QTRY_VERIFY(w.width() <= 800 && w.height() <= 560);
    auto *scroll = w.findChild<QScrollArea *>(QStringLiteral("sa_Main"));
    QVERIFY(scroll);
    const QRegularExpression controls(QStringLiteral("^(cm_|tx_|ch_|op_|CB\\()"));
    int checked = 0;
    for (QWidget *c : scroll->widget()->findChildren<QWidget *>(controls)) {
        if (!c->isVisibleTo(scroll->widget()))
            continue;
        scroll->ensureWidgetVisible(c, 0, 0);
        const QRect inViewport(c->mapTo(scroll->viewport(), QPoint()), c->size());
        QVERIFY2(scroll->viewport()->rect().contains(inViewport), qPrintable(c->objectName()));
        ++checked;
    }
    QVERIFY(checked > 60);
}

void TestWindow::startStates()
{
    QCOMPARE(f->w().windowTitle(), QStringLiteral("Kestrel RFID Reader-Writer"));
    BlockPanel &b = f->w().blocks();
    QCOMPARE(b.block(0), QStringLiteral("00148040"));
    QCOMPARE(b.block(7), QStringLiteral("00000000"));
    QCOMPARE(b.writeButton(0)->text(), QStringLiteral("Write Config"));
    QVERIFY(!b.pwdBox()->isChecked());
    QVERIFY(b.aorBox()->isHidden() && !b.aorBox()->isEnabled());
    QVERIFY(!b.hideButton()->isEnabled() && !b.lockButton()->isEnabled());
    for (int n = 0; n < 7; ++n)
        QVERIFY(!b.blockOption(n)->isEnabled() && !b.blockOption(n)->isChecked());
    QCOMPARE(b.passwordLabel()->text(), QStringLiteral("B7- Password :"));
    AutoPanel &a = f->w().autoPanel();
    QVERIFY(a.notConfigBox()->isChecked() && a.noUidBox()->isChecked()
            && a.withIdBox()->isChecked());
    QVERIFY(!a.autoIncBox()->isEnabled());
    QCOMPARE(a.incField()->text(), QStringLiteral("0000000001"));
    QCOMPARE(a.autoButton()->text(), QStringLiteral("Auto Wite"));
    QCOMPARE(a.lockBox()->text(), QStringLiteral("Lock UID && Block's "));
    QVERIFY(f->w().uid().hexButton()->isChecked());
    QCOMPARE(f->w().uid().uidField()->text(), QStringLiteral("0000000000"));
    QVERIFY(f->w().status().copyButton()->isHidden());
    QCOMPARE(f->w().status().card(), QStringLiteral("No is card."));
    QCOMPARE(control<QLabel>("Label3")->text(), QStringLiteral("Tag Statuse:"));
    QCOMPARE(f->w().readerSettings().sm1Field()->text(), QStringLiteral("0000000000"));
}

void TestWindow::fieldsTakeOnlyTheirDigitsInUpperCase()
{
    MaskedField *are = f->w().readerSettings().areField();
    are->setFocus();
    are->selectAll();
    QTest::keyClicks(are, QStringLiteral("ab12zq"));
    QVERIFY(are->text().startsWith(QStringLiteral("AB12")));
    QVERIFY(!are->text().contains(u'Z'));
    MaskedField *setUid = f->w().autoPanel().setUidField();
    setUid->setFocus();
    setUid->setCursorPosition(0);
    setUid->selectAll();
    QTest::keyClicks(setUid, QStringLiteral("abcdef1234"));
    QCOMPARE(setUid->text(), QStringLiteral("ABCD1234"));
}

void TestWindow::hintsFollowThePointerAndStay()
{
    Hints &hints = f->w().hints();
    hover(f->w().blocks().writeButton(0));
    QCOMPARE(hints.current(), QStringLiteral(" Write &H00148040 to Block 0"));
    hover(f->w().blocks().readButton(3));
    QCOMPARE(hints.current(), QStringLiteral(" Read Block 3"));
    f->w().readerSettings().areField()->setText(QStringLiteral("1234ABCD"));
    hover(f->w().readerSettings().button(QStringLiteral("cm_ARE")));
    QCOMPARE(hints.current(), QStringLiteral(" AOR Read mode Enable (password: 1234ABCD)"));
    hover(f->w().readerSettings().button(QStringLiteral("cm_GTS")));
    QCOMPARE(hints.current(), QStringLiteral(" AOR Read mode Enable (password: 1234ABCD)"));
    hover(f->w().ports().connectButton());
    QCOMPARE(hints.current(), QStringLiteral("Port Connect / Disconnect"));
    QTest::mouseClick(f->w().statusBar()->findChild<QLabel *>("Rp1.panel"), Qt::LeftButton);
    QCOMPARE(hints.current(), QStringLiteral(" Clear: Double Click!"));
}

void TestWindow::focusedFieldEmphasisesItsButton()
{
    Emphasis &e = f->w().emphasis();
    QPushButton *writeUid = f->w().uid().writeButton();
    QPushButton *are = f->w().readerSettings().button(QStringLiteral("cm_ARE"));
    f->w().uid().uidField()->setFocus();
    QCOMPARE(e.defaultButton(), writeUid);
    QVERIFY(Emphasis::isHighlighted(writeUid));
    f->w().readerSettings().areField()->setFocus();
    QCOMPARE(e.defaultButton(), are);
    QVERIFY(writeUid->isDefault() == false);
    QVERIFY(Emphasis::isHighlighted(are));
    // The reset clears only the ARE, SM1 and block 0 Write highlights.
    QVERIFY(Emphasis::isHighlighted(writeUid));
    f->w().blocks().field(4)->setFocus();
    QCOMPARE(e.defaultButton(), f->w().blocks().writeButton(4));
    QVERIFY(!Emphasis::isHighlighted(are));
}

void TestWindow::enterInFieldPressesItsButton()
{
    QVERIFY(f->connectReader());
    f->w().readerSettings().sm1Field()->setFocus();
    QSignalSpy clicked(f->w().readerSettings().button(QStringLiteral("cm_SM1")),
                       &QPushButton::clicked);
    QTest::keyClick(f->w().readerSettings().sm1Field(), Qt::Key_Return);
    QCOMPARE(clicked.size(), 1);
    QSignalSpy write4(f->w().blocks().writeButton(4), &QPushButton::clicked);
    f->w().blocks().field(4)->setFocus();
    QTest::keyClick(f->w().blocks().field(4), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(write4.size(), 1);
}

void TestWindow::tabOrderStartsAtConnect()
{
    QWidget *connect = f->w().ports().connectButton();
    QCOMPARE(connect->nextInFocusChain(), f->w().uid().uidField());
    QCOMPARE(f->w().uid().uidField()->nextInFocusChain(), f->w().blocks().field(1));
    QCOMPARE(f->w().blocks().field(7)->nextInFocusChain(), f->w().ports().combo());
}

void TestWindow::screenshot()
{
    const QString path = qEnvironmentVariable("KESTREL_SCREENSHOT");
    if (path.isEmpty())
        QSKIP("set KESTREL_SCREENSHOT to a PNG path to save the main window");
    QVERIFY(f->connectReader());
    f->reply("1122334455");
    f->w().link().SendCommand(QStringLiteral("RB1"));
    f->reply("R1FF8C6529");
    // The picture shows the whole layout, whatever the test screen's size.
    f->w().resize(f->w().layoutSize());
    QTRY_COMPARE(f->w().size(), f->w().layoutSize());
    auto *scroll = f->w().findChild<QScrollArea *>(QStringLiteral("sa_Main"));
    QTRY_VERIFY(!scroll->horizontalScrollBar()->isVisible()
                && !scroll->verticalScrollBar()->isVisible());
    QVERIFY(f->w().grab().save(path));
}

KESTREL_TEST_MAIN(TestWindow)
#include "tst_window.moc"
