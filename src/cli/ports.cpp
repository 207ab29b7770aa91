#include "commands.h"

#include "station/link/portmap.h"
#include "station/link/portscanner.h"
#include "station/link/serialtransport.h"
#include "support.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cstdio>
#include <optional>

namespace Cli {

int portsCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOption(c.json);
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral(
                    "kestrel-rfid ports: the serial ports the window's scan finds, free, busy or "
                    "refused (no permission).")))
        return *code;
    SerialTransport transport;
    PortScanner scanner(transport);
    QMap<int, QString> found;
    QObject::connect(&scanner, &PortScanner::portFound,
                     [&found](int n, const QString &device) { found.insert(n, device); });
    QEventLoop wait;
    QObject::connect(&scanner, &PortScanner::finished, &wait, &QEventLoop::quit);
    scanner.start();
    wait.exec();
    QJsonArray list;
    for (int n = PortMap::kFirstPort; n <= PortMap::kLastPort; ++n) {
        const QString device = PortMap::deviceFor(n);
        if (device.isEmpty() || !QFileInfo::exists(device))
            continue;
        const QString state = found.contains(n)                    ? QStringLiteral("free")
                              : scanner.refused().contains(device) ? QStringLiteral("refused")
                                                                   : QStringLiteral("busy");
        list.append(QJsonObject{{QStringLiteral("port"), PortMap::entryText(n)},
                                {QStringLiteral("device"), device},
                                {QStringLiteral("state"), state}});
    }
    if (parser.isSet(c.json)) {
        say(stdout, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
        return kDone;
    }
    for (const QJsonValue &v : list) {
        const QJsonObject o = v.toObject();
        say(stdout,
            QStringLiteral("%1  %2  %3")
                .arg(o[QStringLiteral("port")].toString(), o[QStringLiteral("device")].toString(),
                     o[QStringLiteral("state")].toString()));
    }
    if (list.isEmpty())
        say(stderr, QStringLiteral("kestrel-rfid: no serial port was found"));
    return kDone;
}

} // namespace Cli
