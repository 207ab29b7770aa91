#include "commands.h"

#include "core/autoloop.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/tagconfig.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

int readCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption block(QStringLiteral("block"), QStringLiteral("Block 0-7."),
                                   QStringLiteral("B"));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Blocks 0-7."));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("The tag's ID."));
    parser.addOptions({c.port, c.passwordFile, c.json, c.capture, block, all, uid});
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid read: blocks or the ID of the tag in the field.")))
        return *code;
    const int asked = int(parser.isSet(block)) + int(parser.isSet(all)) + int(parser.isSet(uid));
    if (asked != 1)
        return usage(QStringLiteral("read needs one of --block B, --all or --uid"));
    QList<int> blocks;
    if (parser.isSet(block)) {
        bool ok = false;
        const int n = parser.value(block).toInt(&ok);
        if (!ok || n < 0 || n > 7)
            return usage(QStringLiteral("--block must be a block from 0 to 7"));
        blocks << n;
    } else if (parser.isSet(all)) {
        blocks = {0, 1, 2, 3, 4, 5, 6, 7};
    }
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    QJsonObject out{{QStringLiteral("port"), session->device()}};
    if (parser.isSet(uid)) {
        const std::optional<QString> head
            = session->ask(QStringLiteral("GTS"), Reply::isFieldReport);
        const Reply::Parsed r = Reply::classify(head.value_or(QString()));
        if (!head || r.kind != Reply::Kind::Identifier) {
            say(stderr, QStringLiteral("kestrel-rfid: %1").arg(refusal(head, *session)));
            return session->failure().isEmpty() ? kTagFailed : kPortFailed;
        }
        out.insert(QStringLiteral("uid"), r.payload);
        if (!parser.isSet(c.json))
            say(stdout, r.payload);
    }
    QStringList failures;
    const std::array<std::optional<QString>, 8> read
        = readBlocks(*session, blocks, password, &failures);
    QJsonObject values;
    for (int n : blocks) {
        const QString shown
            = read[size_t(n)] ? AutoLoop::shownValue(n, *read[size_t(n)]) : QString();
        values.insert(QString::number(n), shown.isEmpty() ? QJsonValue() : QJsonValue(shown));
        if (!shown.isEmpty() && !parser.isSet(c.json))
            say(stdout, QStringLiteral("B%1: %2").arg(n).arg(shown));
    }
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    if (!blocks.isEmpty()) {
        out.insert(QStringLiteral("blocks"), values);
        if (values.contains(QStringLiteral("0")) && values[QStringLiteral("0")].isString())
            out.insert(QStringLiteral("config"),
                       TagConfig::describe(values[QStringLiteral("0")].toString()));
        bool ok1 = false;
        bool ok2 = false;
        const quint32 b1 = values[QStringLiteral("1")].toString().toUInt(&ok1, 16);
        const quint32 b2 = values[QStringLiteral("2")].toString().toUInt(&ok2, 16);
        if (ok1 && ok2) {
            const Em4100::Check check = Em4100::check(b1, b2);
            out.insert(QStringLiteral("id"),
                       check.id ? QJsonValue(
                           QStringLiteral("%1").arg(*check.id, 10, 16, QLatin1Char('0')).toUpper())
                                : QJsonValue());
            out.insert(QStringLiteral("idDecimal"),
                       check.id ? QJsonValue(Em4100::decimalForm(*check.id)) : QJsonValue());
        }
    }
    if (!failures.isEmpty())
        out.insert(QStringLiteral("failures"), QJsonArray::fromStringList(failures));
    if (parser.isSet(c.json))
        say(stdout, QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
    for (const QString &f : failures)
        say(stderr, QStringLiteral("kestrel-rfid: ") + f);
    return failures.isEmpty() ? kDone : kTagFailed;
}

} // namespace Cli
