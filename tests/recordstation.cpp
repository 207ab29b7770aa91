// One production station in a process of its own: a virtual box on its own ports folder and
// the tool's window running the loop on a conveyor, recording into the file it is given.
// The record tests kill it or run two at once; it says on standard output when a tag's
// first command went out and when a tag ended.

#include "boxfixture.h"
#include "core/stopsignals.h"
#include "gui/ui/appsetup.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "station/link/readerlink.h"
#include "station/record/productionrecord.h"
#include "station/record/recordidentity.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setUpApplication(app);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--station-key")) {
        std::printf("%s\n", qPrintable(RecordIdentity::stationKey()));
        return 0;
    }
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: recordstation RECORD FIRST_UID TAGS [slow] | --station-key\n");
        return 2;
    }
    BoxedWindow run;
    if (!run.begin(args[1]))
        return 3;
    run.stepUidsFrom(args[2]);
    // "slow": the box takes 2 s over a UID write, so a test can kill the station between
    // the write and its answer.
    if (args.value(4) == QLatin1String("slow"))
        run.box.engine().delays.uid = 2000;
    QObject::connect(&run.w->link(), &ReaderLink::commandSent, &app, [](const QString &command) {
        if (!command.startsWith(QLatin1String("WU")))
            return;
        std::printf("sent %s\n", qPrintable(command));
        std::fflush(stdout);
    });
    AutoPanel &a = run.w->autoPanel();
    a.autoButton()->click();
    const int tags = args[3].toInt();
    int ended = 0;
    // Queued, like the record's own slots and after them: what is said here is in the file.
    QObject::connect(
        &run.w->autoWriter(), &AutoWriter::tagStarted, &app,
        [](const AutoLoop::TagOutcome &t) {
            std::printf("started %d\n", t.serial);
            std::fflush(stdout);
        },
        Qt::QueuedConnection);
    QObject::connect(
        &run.w->autoWriter(), &AutoWriter::tagEnded, &app,
        [&](const AutoLoop::TagOutcome &t) {
            std::printf("ended %d %s\n", t.serial, qPrintable(AutoLoop::resultName(t.result)));
            std::fflush(stdout);
            if (++ended >= tags)
                QTimer::singleShot(0, &app, &QApplication::quit);
        },
        Qt::QueuedConnection);
    run.box.setConveyor(true, 150, 150);
    // As the tool's own window: a signal closes it.
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::raised, run.w.get(), &QWidget::close);
    const int code = app.exec();
    for (const auto &box : run.dialogs.boxes)
        std::fprintf(stderr, "%s: %s\n", qPrintable(box.title), qPrintable(box.text));
    return run.dialogs.boxes.isEmpty() ? code : 4;
}
