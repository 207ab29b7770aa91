#include "cli/cli.h"
#include "core/stopsignals.h"
#include "station/record/productionrecord.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <optional>

#if KESTREL_GUI
#include "gui/ui/appsetup.h"
#include "gui/ui/mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>
#endif

static void describe(QCoreApplication &app)
{
    app.setApplicationName(QStringLiteral("kestrel-rfid"));
    app.setApplicationVersion(QStringLiteral(KESTREL_VERSION));
}

// --help, --version and --export-records must work without a display, so they are
// answered before the GUI application exists. Returns an exit code when there is nothing
// more to do.
static QString g_capturePath;

static std::optional<int> processCommandLine(int argc, char *argv[])
{
    QCoreApplication core(argc, argv);
    describe(core);
    if (Cli::commandOf(core.arguments()))
        return Cli::run(core, core.arguments());
    // A mistyped command word would otherwise read as options of the window.
    const QString first = core.arguments().value(1);
    if (!first.isEmpty() && !first.startsWith(u'-')) {
        std::fprintf(stderr, "kestrel-rfid: there is no command \"%s\"; the commands are: %s\n",
                     first.toLocal8Bit().constData(),
                     Cli::commands().join(QStringLiteral(", ")).toLocal8Bit().constData());
        return Cli::kUsage;
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs and inspects 125 kHz T5557 tags through a Kestrel "
                       "reader/writer on a serial port.\n"
                       "Ports are numbered 01..26; with KESTREL_PORTS_DIR set, port N is "
                       "$KESTREL_PORTS_DIR/COMN.\n"
                       "Without a command the window starts. Commands (each with --help): %1.")
            .arg(Cli::commands().join(QStringLiteral(", "))));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption record(
        QStringLiteral("record"),
        QStringLiteral("The production record: a file, or a PostgreSQL server shared by several "
                       "stations as postgresql://host/database?... (default: the settings' "
                       "\"record\" key, else %1).")
            .arg(ProductionRecord::defaultPath()),
        QStringLiteral("file|uri"));
    const QCommandLineOption exportRecords(
        QStringLiteral("export-records"),
        QStringLiteral("Write the record's tags as CSV to <file> and exit."),
        QStringLiteral("file"));
    const QCommandLineOption batch(QStringLiteral("batch"),
                                   QStringLiteral("With --export-records: only batch <n>."),
                                   QStringLiteral("n"));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Keep every byte to and from the box in <file> (\"Keep traffic\")."),
        QStringLiteral("file"));
    parser.addOptions({record, exportRecords, batch, capture});
    parser.process(core);
    if (parser.isSet(record))
        ProductionRecord::setConfiguredPath(parser.value(record));
    g_capturePath = parser.value(capture);
    if (!parser.isSet(exportRecords)) {
#if !KESTREL_GUI
        std::fprintf(stderr,
                     "kestrel-rfid: this build has no window. Give a command: %s (each with "
                     "--help)\n",
                     Cli::commands().join(QStringLiteral(", ")).toLocal8Bit().constData());
        return Cli::kUsage;
#endif
        // Qt would abort without a word where there is no display (a server, a container).
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            std::fprintf(stderr,
                         "kestrel-rfid: there is no display to open the window on (DISPLAY is "
                         "not set). Without a window, give a command: %s (each with --help)\n",
                         Cli::commands().join(QStringLiteral(", ")).toLocal8Bit().constData());
            return Cli::kUsage;
        }
        return std::nullopt;
    }
    // The old spelling of the command "export-records".
    QStringList command{core.arguments().value(0), QStringLiteral("export-records"),
                        parser.value(exportRecords)};
    if (parser.isSet(batch))
        command << QStringLiteral("--batch") << parser.value(batch);
    return Cli::run(core, command);
}

int main(int argc, char *argv[])
{
    if (const std::optional<int> done = processCommandLine(argc, argv))
        return *done;
#if KESTREL_GUI
    QApplication app(argc, argv);
    describe(app);
    // No application display name: X11 would append it to the message boxes' titles.
    QGuiApplication::setDesktopFileName(QStringLiteral("kestrel-rfid"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kestrel-rfid")));
    setUpApplication(app);
    // Ctrl-C or kill closes the window as the operator would: the tag in progress stops, its
    // UID stays in doubt, and the batch closes. It outlives the window: a second signal while
    // the record closes its batch must not kill the tool half-way.
    StopSignals stopSignals;
    MainWindow window;
    window.show();
    if (QString error; !g_capturePath.isEmpty() && !window.keepTraffic(g_capturePath, &error))
        QMessageBox::warning(&window, QStringLiteral("Keep traffic"), error);
    QTimer::singleShot(0, &window, &MainWindow::start);
    QObject::connect(&stopSignals, &StopSignals::raised, &window, &QWidget::close);
    return app.exec();
#else
    return Cli::kUsage;
#endif
}
