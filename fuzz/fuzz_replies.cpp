// Feeds arbitrary bytes, in arbitrary chunks, through reception, gathering and the reply
// interpreter of a real main window whose shared state is taken from the input too.

#include "fakes.h"
#include "gui/link/trafficlog.h"
#include "gui/tagops/blockpanel.h"
#include "gui/ui/mainwindow.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "station/link/readerlink.h"
#include "station/record/recorder.h"
#include "station/session/session.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Built in, so the target runs clean from any folder: fontconfig keeps its caches for the
// whole process by design.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

namespace {

struct Harness {
    FakeTransport transport;
    RecordingDialogs dialogs;
    MainWindow *window = nullptr;
    int runs = 0;

    Harness()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz_replies";
        static char *argv[] = {name, nullptr};
        new QApplication(argc, argv);
        transport.devices.insert(QStringLiteral("fuzz"), {});
        transport.open(QStringLiteral("fuzz"), nullptr);
        window = new MainWindow(&transport, &dialogs);
        window->session().setNoPresentPauseMs(0);
        window->state().PortConnected = true;
        // libFuzzer leaves through exit(): the window and its record thread go first, while
        // the Qt they run on is still whole. Qt's own statics are destroyed in the reverse
        // order they were made, so the record's are made before this is registered. The
        // harness is never destroyed, so the transport stays.
        QSqlDatabase::drivers();
        QSqlDatabase::connectionNames();
        QElapsedTimer opening;
        opening.start();
        while (!window->recorder().known() && opening.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        std::atexit([] {
            delete harness()->window;
            delete qApp;
        });
    }
    static Harness *harness()
    {
        static Harness *const h = new Harness;
        return h;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = *Harness::harness();
    if (size < 2)
        return 0;
    MainWindow &w = *h.window;
    SessionState &s = w.state();
    const uint8_t flags = data[0];
    AutoLoop::Engine::State loop;
    loop.AutoWriteRunning = flags & 1;
    s.UnlockPending = flags & 2;
    loop.TagHandled = flags & 4;
    loop.UidWriteConfirmed = flags & 8;
    loop.SuppressSuccessText = flags & 16;
    w.blocks().pwdBox()->setChecked(flags & 32);
    w.blocks().aorBox()->setChecked(flags & 64);
    w.autoPanel().autoIncBox()->setChecked(flags & 128);
    loop.AutoStep = AutoLoop::Step(data[1] % 14);
    loop.UidCustody = AutoLoop::Custody((data[1] >> 5) % 5);
    w.autoWriter().restoreLoopState(loop);
    s.LastReadBlock = data[1] % 8;

    // Then chunks: a length byte (low 6 bits + 1 bytes follow; bit 7: the line goes quiet
    // afterwards, so the interpreter runs).
    size_t i = 2;
    while (i < size) {
        const uint8_t head = data[i++];
        const size_t length = std::min<size_t>((head & 0x3F) + 1, size - i);
        h.transport.inject(QByteArray(reinterpret_cast<const char *>(data + i), qsizetype(length)));
        i += length;
        if (head & 0x80)
            w.session().takeReply();
    }
    w.session().takeReply();
    w.autoWriter().Timer_Auto().stop();
    w.autoWriter().hold().stop();
    // What the event loop would deliver between two inputs: queued signals (the log's
    // scroll bar, the record) pile up without it, about 11 KB an input.
    QCoreApplication::sendPostedEvents();
    h.dialogs.boxes.clear();
    h.transport.written.clear();
    if (++h.runs % 500 == 0)
        w.log().clear();
    return 0;
}
