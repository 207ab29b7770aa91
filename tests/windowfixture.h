#pragma once

#include "fakes.h"
#include "gui/link/portpanel.h"
#include "gui/link/trafficlog.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autowriter.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/statusline.h"
#include "station/link/portscanner.h"
#include "station/link/readerlink.h"
#include "station/record/productionrecord.h"

#include <QPushButton>

#include <QComboBox>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>
#include <functional>
#include <memory>

using Loop = AutoLoop::Engine::State;

inline const Loop &loop(MainWindow &w)
{
    return w.autoWriter().engine().state();
}

// Puts the window's loop into a state directly, for replies that only matter in it.
inline void setLoop(MainWindow &w, const std::function<void(Loop &)> &change)
{
    Loop s = loop(w);
    change(s);
    w.autoWriter().restoreLoopState(s);
}

// A main window on an in-memory port: ports COM1..COM26 live under /fake.
struct WindowFixture {
    // Each window records into a file of its own.
    QTemporaryDir recordDir;
    FakeTransport transport;
    RecordingDialogs dialogs;
    std::unique_ptr<MainWindow> window;

    explicit WindowFixture(const QList<int> &ports = {1}, const QString &record = {})
    {
        qputenv("KESTREL_PORTS_DIR", "/fake");
        for (int n : ports)
            transport.devices.insert(QStringLiteral("/fake/COM%1").arg(n), QByteArray());
        ProductionRecord::setConfiguredPath(
            record.isEmpty() ? recordDir.filePath(QStringLiteral("production.sqlite")) : record);
        window = std::make_unique<MainWindow>(&transport, &dialogs);
        window->show();
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window.get()))
            qWarning("the main window did not become active; focus tests may fail");
    }

    MainWindow &w() { return *window; }

    bool scan()
    {
        window->start();
        return QTest::qWaitFor([this] { return !window->ports().scanner().isScanning(); }, 2000);
    }

    // Scans, connects to the selected port and waits until logging has begun. The "GTS" that
    // asks what is in the field is left unanswered and forgotten, so a test starts clean.
    bool connectReader()
    {
        if (!scan())
            return false;
        window->ports().connectButton()->click();
        const bool settled = QTest::qWaitFor([this] { return !window->state().QuietStart; }, 2000);
        const bool asked = transport.written.endsWith("GTS\r\n");
        transport.written.clear();
        window->link().stopReplyTimeout();
        window->log().clear();
        return settled && asked && window->state().PortConnected;
    }

    // Delivers a reply and waits for the interpreter run that takes it.
    void reply(const QByteArray &text)
    {
        QSignalSpy gathered(&window->link(), &ReaderLink::replyGathered);
        transport.inject(text);
        QVERIFY(gathered.wait(2000));
    }

    QString logText() const { return window->log().text(); }

    // Colour (as 0x00BBGGRR) of the log line that starts with the given text.
    quint32 logColour(const QString &lineStart) const
    {
        const QTextDocument *doc = window->log().view()->document();
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
            if (!b.text().startsWith(lineStart))
                continue;
            const QColor c = b.begin().fragment().charFormat().foreground().color();
            return quint32(c.red()) | (quint32(c.green()) << 8) | (quint32(c.blue()) << 16);
        }
        return 0xFFFFFFFF;
    }
};
