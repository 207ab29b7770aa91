#include "ui/appsetup.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

static void describe(QCoreApplication &app)
{
    app.setApplicationName(QStringLiteral("kestrel-rfid"));
    app.setApplicationVersion(QStringLiteral(KESTREL_VERSION));
}

// --help and --version must work without a display, so they are answered before the
// GUI application exists.
static void processCommandLine(int argc, char *argv[])
{
    QCoreApplication core(argc, argv);
    describe(core);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs and inspects 125 kHz T5557 tags through a Kestrel "
                       "reader/writer on a serial port.\n"
                       "Ports are numbered 01..26; with KESTREL_PORTS_DIR set, port N is "
                       "$KESTREL_PORTS_DIR/COMN."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(core);
}

int main(int argc, char *argv[])
{
    processCommandLine(argc, argv);
    QApplication app(argc, argv);
    describe(app);
    QApplication::setApplicationDisplayName(QStringLiteral("Kestrel RFID Reader-Writer"));
    QGuiApplication::setDesktopFileName(QStringLiteral("kestrel-rfid"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kestrel-rfid")));
    setUpApplication(app);
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, &MainWindow::start);
    return app.exec();
}
