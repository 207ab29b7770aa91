#include "boxfixture.h"
#include "gui/link/trafficlog.h"
#include "gui/tagops/blockpanel.h"
#include "gui/uid/autopanel.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/statusline.h"
#include "station/link/readerlink.h"
#include "testmain.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QSet>

// Hardware misbehaving under the tool: a vanishing port, a stream without end, late and
// garbled replies, endless reconnecting.
class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void portPulledMidCycleAndReattached();
    void endlessStreamIsBoundedAndTimesOut();
    void lateReplyIsStillInterpreted();
    void garbledReplyNeverCrashes();
    void twoHundredConnectCycles();

private:
    static int openFiles() { return int(QDir(QStringLiteral("/proc/self/fd")).count()); }
};

void TestFaults::portPulledMidCycleAndReattached()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    const QString capture = run.dir.filePath(QStringLiteral("traffic.log"));
    QString error;
    QVERIFY2(w.keepTraffic(capture, &error), qPrintable(error));
    QVERIFY(w.log().keepTrafficBox()->isChecked());
    run.stepUidsFrom(QStringLiteral("0000000100"));
    AutoPanel &a = w.autoPanel();
    a.writeBlocksBox()->click();
    a.autoButton()->click();
    run.box.setConveyor(true, 30);
    QTRY_VERIFY_WITH_TIMEOUT(run.box.departed().size() >= 2, 20000);
    // Pull the adapter while the next tag is being written.
    QTRY_VERIFY_WITH_TIMEOUT(int(loop(w).AutoStep) >= 4, 10000);
    run.box.execute(QStringLiteral("vanish"));
    QTRY_VERIFY(!w.state().PortConnected);
    QVERIFY(!loop(w).AutoWriteRunning);
    QCOMPARE(w.ports().connectButton()->text(), QStringLiteral("Connect"));
    QTRY_COMPARE(run.dialogs.boxes.size(), 1);

    QVERIFY(w.link().watching());
    QVERIFY(w.log().text().contains(QStringLiteral("failed: ")));

    // Plugged back in: connected again by itself, the log kept; the loop waits for one press.
    QCOMPARE(run.box.execute(QStringLiteral("appear")), QString());
    QElapsedTimer back;
    back.start();
    QTRY_VERIFY(w.state().PortConnected && !w.state().QuietStart);
    QVERIFY2(back.elapsed() < 2000, qPrintable(QString::number(back.elapsed())));
    QVERIFY(w.log().text().contains(QStringLiteral("failed: ")));
    QVERIFY(w.log().text().contains(
        QStringLiteral("Port 01 (%1) is back: reconnected.").arg(run.box.portPath())));
    QCOMPARE(w.ports().connectButton()->text(), QStringLiteral("Disconnect"));
    QVERIFY(!loop(w).AutoWriteRunning);
    a.autoButton()->click();
    run.box.remove();
    run.box.present(T5557::blankTag());
    const qsizetype before = run.box.departed().size();
    QTRY_VERIFY_WITH_TIMEOUT(run.box.departed().size() >= before + 2, 20000);
    a.autoButton()->click();
    // The capture kept the failure and the return between the traffic.
    QFile kept(capture);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    const QByteArray traffic = kept.readAll();
    QVERIFY(traffic.contains(" ! failed: "));
    QVERIFY(traffic.indexOf(" ! failed: ") < traffic.lastIndexOf(" ! open "));
    QVERIFY(traffic.contains(" > SB1\\r\\n\n"));
    // An operator's Disconnect is final: nothing is watched.
    w.ports().connectButton()->click();
    QVERIFY(!w.state().PortConnected);
    QVERIFY(!w.link().watching());
    QSet<quint64> ids;
    for (const T5557::Tag &tag : run.box.departed()) {
        if (!tag.id())
            continue;
        QVERIFY2(!ids.contains(*tag.id()), "a UID was given twice");
        ids.insert(*tag.id());
    }
    QVERIFY(ids.size() >= 4);
}

void TestFaults::endlessStreamIsBoundedAndTimesOut()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    const QString logBefore = w.log().text();
    // A longer quiet line keeps a loaded machine's scheduling gaps from ending the stream.
    w.link().Tr1().setInterval(300);
    QSignalSpy timedOut(&w.link(), &ReaderLink::replyTimedOut);
    run.box.execute(QStringLiteral("stream on"));
    w.link().SendCommand(QStringLiteral("GTS"));
    QVERIFY(timedOut.wait(3000));
    QVERIFY(w.link().replyBuffer().size() <= 10);
    // The window still answers: a zero-time timer runs at once.
    bool ran = false;
    QTimer::singleShot(0, &w, [&] { ran = true; });
    QTRY_VERIFY_WITH_TIMEOUT(ran, 200);
    run.box.execute(QStringLiteral("stream off"));
    QSignalSpy gathered(&w.link(), &ReaderLink::replyGathered);
    QVERIFY(gathered.wait(3000));
    QVERIFY(w.log().text().size() < logBefore.size() + 200);
}

void TestFaults::lateReplyIsStillInterpreted()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    QSignalSpy timedOut(&w.link(), &ReaderLink::replyTimedOut);
    QSignalSpy shown(&w.status(), &StatusLine::messageShown);
    run.box.execute(QStringLiteral("late"));
    w.link().SendCommand(QStringLiteral("SBD"));
    QVERIFY(timedOut.wait(3000));
    QCOMPARE(shown.value(0).value(0).toString(), QStringLiteral("No recpone command!"));
    QTRY_COMPARE_WITH_TIMEOUT(w.status().message(), QStringLiteral("Command Successfully!"), 3000);
    QVERIFY(!w.link().Timout().isActive());
}

void TestFaults::garbledReplyNeverCrashes()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    run.box.present(T5557::tagWithId(0x1122334455));
    QTRY_COMPARE(w.status().card(), QStringLiteral("ID: 1122334455"));
    for (int i = 0; i < 20; ++i) {
        run.box.execute(QStringLiteral("garble"));
        QSignalSpy gathered(&w.link(), &ReaderLink::replyGathered);
        w.blocks().readButton(1)->click();
        QVERIFY(gathered.wait(3000));
    }
    QVERIFY(run.dialogs.boxes.isEmpty());
    QVERIFY(w.state().PortConnected);
    QCOMPARE(w.log().text().count(QStringLiteral("Send: RB1")), 20);
}

void TestFaults::twoHundredConnectCycles()
{
    BoxedWindow run;
    QVERIFY(run.begin());
    MainWindow &w = *run.w;
    QPushButton *connect = w.ports().connectButton();
    const int files = openFiles();
    for (int i = 0; i < 200; ++i) {
        connect->click();
        QVERIFY(!w.state().PortConnected);
        connect->click();
        QVERIFY(w.state().PortConnected);
    }
    QVERIFY(run.dialogs.boxes.isEmpty());
    QVERIFY(openFiles() <= files + 2);
    QTRY_VERIFY(!w.state().QuietStart);
    run.box.present(T5557::tagWithId(0x00000000AB));
    QTRY_COMPARE(w.status().card(), QStringLiteral("ID: 00000000AB"));
}

KESTREL_TEST_MAIN(TestFaults)
#include "tst_faults.moc"
