#include "box/ptyendpoint.h"
#include "fakes.h"
#include "gui/link/portpanel.h"
#include "gui/link/trafficlog.h"
#include "station/link/portscanner.h"
#include "station/link/readerlink.h"
#include "station/link/serialtransport.h"
#include "testmain.h"

#include "gui/ui/hints.h"
#include "gui/ui/mainwindow.h"
#include "gui/widgets/statusline.h"
#include <unistd.h>

#include <QComboBox>
#include <QPushButton>

// The real serial layer over a real pseudo-terminal.
class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void scanProbesWithAtAndListsThePort();
    void connectAndSendPutsExactBytesOnTheWire();
    void chunksUnder20msAreOneReply();
    void repliesThirtyMsApartAreTwoReplies();
    void farEndClosingDisconnectsWithoutBusyLoop();
    void portHeldByAnotherProgramIsReported();
    void portRefusedForLackOfPermissionIsExplained();

private:
    bool connectWindow();

    QTemporaryDir dir;
    std::unique_ptr<PtyEndpoint> peer;
    QByteArray received;
    RecordingDialogs dialogs;
    std::unique_ptr<MainWindow> window;
};

void TestSerial::init()
{
    peer = std::make_unique<PtyEndpoint>(dir.path(), 1);
    QString error;
    QVERIFY2(peer->open(&error), qPrintable(error));
    received.clear();
    connect(peer.get(), &PtyEndpoint::received, this,
            [this](const QByteArray &data) { received += data; });
    qputenv("KESTREL_PORTS_DIR", dir.path().toLocal8Bit());
    dialogs.boxes.clear();
    window = std::make_unique<MainWindow>(nullptr, &dialogs);
    window->show();
}

void TestSerial::cleanup()
{
    window.reset();
    peer.reset();
}

bool TestSerial::connectWindow()
{
    window->start();
    if (!QTest::qWaitFor([this] { return !window->ports().scanner().isScanning(); }, 3000))
        return false;
    window->ports().connectButton()->click();
    // The "GTS" after the connect sequence goes unanswered here; its wait is dropped.
    if (!QTest::qWaitFor([this] { return received.endsWith("GTS\r\n"); }, 3000))
        return false;
    window->link().stopReplyTimeout();
    window->log().clear();
    return window->state().PortConnected;
}

void TestSerial::scanProbesWithAtAndListsThePort()
{
    window->start();
    QTRY_VERIFY(!window->ports().scanner().isScanning());
    QTRY_COMPARE(received, QByteArray("AT\r\n"));
    QCOMPARE(window->ports().combo()->count(), 1);
    QCOMPARE(window->ports().combo()->currentText(), QStringLiteral("01"));
}

void TestSerial::connectAndSendPutsExactBytesOnTheWire()
{
    QVERIFY(connectWindow());
    QVERIFY(received.endsWith("SBA\r\nSB1\r\nGTS\r\n"));
    received.clear();
    window->link().SendCommand(QStringLiteral("SB1"));
    QTRY_COMPARE(received, QByteArray("SB1\r\n"));
}

void TestSerial::chunksUnder20msAreOneReply()
{
    QVERIFY(connectWindow());
    QSignalSpy gathered(&window->link(), &ReaderLink::replyGathered);
    peer->write("Msg");
    peer->write("Code:01\r\n");
    QVERIFY(gathered.wait(2000));
    QVERIFY(!gathered.wait(100));
    QCOMPARE(gathered.size(), 1);
    QCOMPARE(window->status().message(), QStringLiteral("Command Successfully!"));
}

void TestSerial::repliesThirtyMsApartAreTwoReplies()
{
    QVERIFY(connectWindow());
    QSignalSpy gathered(&window->link(), &ReaderLink::replyGathered);
    peer->write("MsgCode:04\r\n");
    QVERIFY(gathered.wait(2000));
    peer->write("R31234ABCD\r\n");
    QVERIFY(gathered.wait(2000));
    QCOMPARE(gathered.size(), 2);
    QCOMPARE(window->log().text(), QStringLiteral("Recive: MsgCode:04\nRecive: R31234ABCD\n"));
}

void TestSerial::farEndClosingDisconnectsWithoutBusyLoop()
{
    QVERIFY(connectWindow());
    peer->close();
    QTRY_VERIFY(!window->state().PortConnected);
    QCOMPARE(window->ports().connectButton()->text(), QStringLiteral("Connect"));
    QTRY_COMPARE(dialogs.boxes.size(), 1);
    // The event loop stays free: a timer still fires on time.
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(50);
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(dialogs.boxes.size(), 1);
}

void TestSerial::portHeldByAnotherProgramIsReported()
{
    SerialTransport other;
    QString reason;
    QVERIFY(other.open(peer->linkPath(), &reason));
    window->start();
    QTRY_VERIFY(!window->ports().scanner().isScanning());
    QCOMPARE(window->ports().combo()->count(), 0);
    // Selected by hand anyway (e.g. a stale list): the operator is told why it fails.
    window->ports().combo()->addItem(QStringLiteral("01"));
    window->ports().connectButton()->click();
    QVERIFY(!window->state().PortConnected);
    QCOMPARE(dialogs.boxes.size(), 1);
    QVERIFY(dialogs.boxes[0].text.contains(peer->linkPath()));
    QVERIFY(window->ports().refreshButton()->isEnabled());
}

void TestSerial::portRefusedForLackOfPermissionIsExplained()
{
    if (::geteuid() == 0)
        QSKIP("root may open any device node");
    QFile node(dir.filePath(QStringLiteral("COM3")));
    QVERIFY(node.open(QIODevice::WriteOnly));
    node.close();
    QVERIFY(node.setPermissions({}));
    window->start();
    QTRY_VERIFY(!window->ports().scanner().isScanning());
    QCOMPARE(window->ports().combo()->findText(QStringLiteral("03")), -1);
    const QString hint = window->hints().current();
    QVERIFY2(hint.contains(node.fileName()) && hint.contains(QStringLiteral("dialout")),
             qPrintable(hint));
}

KESTREL_TEST_MAIN(TestSerial)
#include "tst_serial.moc"
