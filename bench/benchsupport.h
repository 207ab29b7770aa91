#pragma once

#include "gui/link/portpanel.h"
#include "gui/tagops/blockpanel.h"
#include "gui/ui/appsetup.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autopanel.h"
#include "gui/widgets/maskedfield.h"
#include "station/link/portscanner.h"

#include <QApplication>

#include <QCheckBox>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

// The offscreen platform complains once per shown window; figures are what a bench prints.
inline void quietOffscreenWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (text.contains(QLatin1String("does not support propagateSizeHints"))
        || text.contains(QLatin1String("does not support raise")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (type == QtFatalMsg)
        std::abort();
}

// A headless application set up like the tool, with its own empty settings store.
struct BenchApplication {
    QTemporaryDir config;
    std::unique_ptr<QApplication> app;

    BenchApplication(int &argc, char **argv)
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", config.path().toLocal8Bit());
        qInstallMessageHandler(quietOffscreenWarnings);
        app = std::make_unique<QApplication>(argc, argv);
        setUpApplication(*app);
    }
};

// kestrel-box in a process of its own on a private ports folder, so the tool's blocking
// pauses do not stall the box, as with real hardware.
struct BoxProcess {
    QTemporaryDir ports;
    QProcess process;

    bool start(const QStringList &commands = {})
    {
        qputenv("KESTREL_PORTS_DIR", ports.path().toLocal8Bit());
        QStringList arguments = {QStringLiteral("--ports-dir"), ports.path()};
        for (const QString &command : commands)
            arguments << QStringLiteral("--run") << command;
        // The box echoes every event; unread, that would pile up in this process.
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral(KESTREL_BOX_PATH), arguments);
        const bool up
            = process.waitForStarted()
              && QTest::qWaitFor([this] { return QFile::exists(ports.filePath("COM1")); }, 5000);
        if (!up)
            std::fprintf(stderr, "the virtual box did not start\n");
        return up;
    }

    void command(const QString &line) { process.write(line.toLatin1() + '\n'); }

    ~BoxProcess()
    {
        command(QStringLiteral("quit"));
        process.closeWriteChannel();
        if (process.waitForFinished(3000))
            return;
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
    }
};

// Scans, connects, and prepares the batch both benchmarks write: Auto Set UID stepping
// from 0000000001, blocks 3-6, the password and the lock. Then switches the loop on.
// The usual options (Auto Set UID with Auto inc, blocks 3-6, password, lock), or the UID
// alone.
inline bool startProductionRun(MainWindow &w,
                               const QString &firstUid = QStringLiteral("0000000001"),
                               bool uidOnly = false)
{
    w.show();
    w.start();
    if (!QTest::qWaitFor([&] { return !w.ports().scanner().isScanning(); }, 5000))
        return false;
    w.ports().connectButton()->click();
    if (!QTest::qWaitFor([&] { return !w.state().QuietStart; }, 5000) || !w.state().PortConnected) {
        std::fprintf(stderr, "the tool could not connect to the virtual box\n");
        return false;
    }
    AutoPanel &a = w.autoPanel();
    a.setUidBox()->click();
    a.autoIncBox()->click();
    a.setUidField()->setText(firstUid);
    if (uidOnly) {
        a.autoButton()->click();
        return true;
    }
    a.writeBlocksBox()->click();
    w.blocks().setBlock(7, QStringLiteral("5EC12E7A"));
    a.writePasswordBox()->click();
    a.lockBox()->click();
    a.autoButton()->click();
    return true;
}
