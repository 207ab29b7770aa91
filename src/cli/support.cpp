#include "support.h"

#include "core/reply.h"
#include "station/link/portmap.h"
#include "station/session/session.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace Cli {

void say(FILE *to, const QString &text)
{
    std::fprintf(to, "%s\n", text.toLocal8Bit().constData());
    std::fflush(to);
}

int usage(const QString &text)
{
    say(stderr, QStringLiteral("kestrel-rfid: ") + text);
    return kUsage;
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

std::optional<QString> deviceOf(const QString &port, QString *error)
{
    if (port.isEmpty()) {
        *error = QStringLiteral("--port is needed (a number from 01 to 26, or a device path)");
        return std::nullopt;
    }
    bool number = false;
    const int n = port.toInt(&number);
    const QString device = number ? PortMap::deviceFor(n) : port;
    if (device.isEmpty()) {
        *error = QStringLiteral("there is no port %1 (ports are 01 to 26)").arg(port);
        return std::nullopt;
    }
    struct stat st = {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0) {
        *error = QStringLiteral("there is no port %1 (%2 does not exist)").arg(port, device);
        return std::nullopt;
    }
    if (!S_ISCHR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a serial port (not a character device)").arg(device);
        return std::nullopt;
    }
    return device;
}

std::optional<QString> passwordOf(const QString &file, QString *error)
{
    QString text;
    if (!file.isEmpty()) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1 cannot be read: %2").arg(file, in.errorString());
            return std::nullopt;
        }
        text = QString::fromLatin1(in.read(256)).section(u'\n', 0, 0).trimmed();
    } else if (qEnvironmentVariableIsSet("KESTREL_PASSWORD")) {
        text = qEnvironmentVariable("KESTREL_PASSWORD").trimmed();
    } else {
        return QString();
    }
    if (!Reply::isBlockValue(text.toUpper())) {
        *error = QStringLiteral("the password must be eight hexadecimal digits");
        return std::nullopt;
    }
    return text.toUpper();
}

bool captureIfAsked(Session &session, const QString &path, int *code)
{
    QString error;
    if (path.isEmpty() || session.keepTraffic(path, &error))
        return true;
    *code = usage(error);
    return false;
}

std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments,
                         const QString &summary)
{
    parser.setApplicationDescription(summary);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        // The parser names the program by its path; the command word is what a reader types.
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                     QStringLiteral("Usage: kestrel-rfid ") + arguments.value(0));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return kDone;
    }
    return std::nullopt;
}

std::unique_ptr<Session> connected(const QString &device, const QString &capture, int *code)
{
    auto session = std::make_unique<Session>();
    if (!captureIfAsked(*session, capture, code))
        return nullptr;
    QString reason;
    if (!session->connectPort(device, &reason)) {
        say(stderr, QStringLiteral("kestrel-rfid: %1: %2")
                        .arg(device, reason.isEmpty() ? session->failure() : reason));
        *code = kPortFailed;
        return nullptr;
    }
    return session;
}

std::unique_ptr<Session> openFor(const QCommandLineParser &parser, const Common &c,
                                 bool takesPassword, QString *password, int *code)
{
    QString error;
    const std::optional<QString> device = deviceOf(parser.value(c.port), &error);
    const std::optional<QString> given
        = !device ? std::nullopt
                  : (takesPassword ? passwordOf(parser.value(c.passwordFile), &error) : QString());
    if (!given) {
        *code = usage(error);
        return nullptr;
    }
    *password = *given;
    return connected(*device, parser.value(c.capture), code);
}

QString withMeaning(const QString &text)
{
    const QString meaning = Reply::plainMeaning(text);
    return meaning.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, meaning);
}

QString refusal(const std::optional<QString> &head, Session &session)
{
    if (!session.failure().isEmpty())
        return session.failure();
    if (!head)
        return withMeaning(QStringLiteral("No recpone command!"));
    const Reply::Parsed r = Reply::classify(*head);
    QString text = r.kind == Reply::Kind::Error ? Reply::errorText(r.code) : QString();
    // What the window's labels say for these reports.
    if (r.kind == Reply::Kind::Message && r.code == Reply::kNotPresent)
        text = QStringLiteral("No Precent!");
    else if (r.kind == Reply::Kind::Message && r.code == Reply::kNotConfigured)
        text = QStringLiteral("Ready - Not Config");
    else if (r.kind == Reply::Kind::Message && r.code == Reply::kNoUid)
        text = QStringLiteral("Ready - No UID");
    if (text.isEmpty())
        return QStringLiteral("the box answered %1").arg(*head);
    return withMeaning(text);
}

std::array<std::optional<QString>, 8> readBlocks(Session &session, const QList<int> &blocks,
                                                 const QString &password, QStringList *failures)
{
    std::array<std::optional<QString>, 8> values;
    for (int n : blocks) {
        if (!session.failure().isEmpty())
            break;
        const QString command = password.isEmpty() ? QStringLiteral("RB%1").arg(n)
                                                   : QStringLiteral("RP%1%2").arg(n).arg(password);
        const std::optional<QString> head
            = session.ask(command, Session::kindOrError(Reply::Kind::BlockRead, n));
        const Reply::Parsed r = Reply::classify(head.value_or(QString()));
        if (head && r.kind == Reply::Kind::BlockRead && r.block == n)
            values[size_t(n)] = r.payload;
        else if (session.failure().isEmpty())
            *failures << QStringLiteral("block %1: %2").arg(n).arg(refusal(head, session));
    }
    return values;
}

} // namespace Cli
