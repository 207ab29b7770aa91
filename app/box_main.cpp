#include "box/boxreplay.h"
#include "box/virtualbox.h"
#include "core/stopsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

namespace {

void say(const QString &text)
{
    static QTextStream out(stdout);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    for (const QString &line : text.split(u'\n'))
        out << '[' << stamp << "] " << line << Qt::endl;
}

// Ends the event loop cleanly on Ctrl-C or kill, so the published port link is removed.
void quitOnSignals(QCoreApplication &app)
{
    auto *signals_ = new StopSignals(&app);
    QObject::connect(signals_, &StopSignals::raised, &app, &QCoreApplication::quit);
}

int replay(QCoreApplication &app, const QString &path, const QString &dir, int port,
           bool exitWhenPlayed)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("cannot read the capture: ") + file.errorString());
        return 2;
    }
    QString error;
    QString note;
    const auto steps = BoxReplay::parse(file.read(256 * 1024 * 1024), &error, &note);
    if (!steps) {
        say(QStringLiteral("%1 cannot be replayed: %2").arg(path, error));
        return 2;
    }
    if (!note.isEmpty())
        say(QStringLiteral("%1: %2").arg(path, note));
    BoxReplay box(*steps, dir, port);
    QObject::connect(&box, &BoxReplay::event, &app, [](const QString &text) { say(text); });
    QObject::connect(&box, &BoxReplay::played, &app, [&] {
        say(QStringLiteral("replay finished: %1 commands, %2 differed")
                .arg(box.commands())
                .arg(box.differences()));
        // The last replies still leave at their time.
        if (exitWhenPlayed)
            QTimer::singleShot(3000, &app, &QCoreApplication::quit);
    });
    if (!box.start(&error)) {
        say(QStringLiteral("cannot start: ") + error);
        return 1;
    }
    app.exec();
    return box.differences() > 0 ? 3 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kestrel-box"));
    app.setApplicationVersion(QStringLiteral(KESTREL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A virtual Kestrel reader/writer box on a pseudo-terminal.\n"
                       "Type commands on standard input (help lists them).\n\n")
        + VirtualBox::help());
    parser.addHelpOption();
    parser.addVersionOption();
    const QString defaultDir
        = qEnvironmentVariable("KESTREL_PORTS_DIR", QDir::temp().filePath("kestrel-ports"));
    const QCommandLineOption dirOption(QStringLiteral("ports-dir"),
                                       QStringLiteral("Folder to publish the port in."),
                                       QStringLiteral("dir"), defaultDir);
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port number n: published as COMn."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption scriptOption(QStringLiteral("script"),
                                          QStringLiteral("Run the commands of a file."),
                                          QStringLiteral("file"));
    const QCommandLineOption runOption(QStringLiteral("run"),
                                       QStringLiteral("Run one command at start (repeatable)."),
                                       QStringLiteral("command"));
    const QCommandLineOption exitOption(QStringLiteral("exit-after-script"),
                                        QStringLiteral("Quit when the script has run."));
    const QCommandLineOption replayOption(
        QStringLiteral("replay"),
        QStringLiteral("Play the box's side of a traffic capture instead; with "
                       "--exit-after-script, quit when it has played (exit code 3 when the "
                       "tool's commands differed from the capture's)."),
        QStringLiteral("capture"));
    parser.addOptions({dirOption, portOption, scriptOption, runOption, exitOption, replayOption});
    parser.process(app);

    quitOnSignals(app);
    if (parser.isSet(replayOption))
        return replay(app, parser.value(replayOption), parser.value(dirOption),
                      parser.value(portOption).toInt(), parser.isSet(exitOption));
    VirtualBox box(parser.value(dirOption), parser.value(portOption).toInt());
    QObject::connect(&box, &VirtualBox::event, &app, [](const QString &text) { say(text); });
    QString error;
    if (!box.start(&error)) {
        say(QStringLiteral("cannot start: ") + error);
        return 1;
    }
    for (const QString &command : parser.values(runOption)) {
        const QString answer = box.execute(command);
        if (!answer.isEmpty())
            say(answer);
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[1024];
        static QByteArray pending;
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // Standard input closed (started in the background): keep serving the port.
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            if (line == QLatin1String("quit")) {
                app.quit();
                return;
            }
            const QString answer = box.execute(line);
            if (!answer.isEmpty())
                say(answer);
        }
    });

    if (parser.isSet(scriptOption)) {
        QFile file(parser.value(scriptOption));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            say(QStringLiteral("cannot read the script: ") + file.errorString());
            return 1;
        }
        if (parser.isSet(exitOption))
            QObject::connect(&box, &VirtualBox::scriptFinished, &app, &QCoreApplication::quit);
        box.runScript(QString::fromUtf8(file.readAll()).split(u'\n'));
    }
    return app.exec();
}
