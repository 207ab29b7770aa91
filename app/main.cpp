#include "ui/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QStyleFactory>
#include <QTimer>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrel-rfid"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kestrel RFID Reader-Writer"));
    QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs and inspects 125 kHz T5557 tags through a Kestrel "
                       "reader/writer on a serial port.\n"
                       "Ports are numbered 01..26; with KESTREL_PORTS_DIR set, port N is "
                       "$KESTREL_PORTS_DIR/COMN."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, &MainWindow::start);
    return app.exec();
}
