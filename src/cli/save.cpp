#include "commands.h"

#include "core/reply.h"
#include "core/tagfile.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>

#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

int saveCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOptions({c.port, c.passwordFile, c.capture});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The tag file."));
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid save: the tag in the field as a tag file, as the "
                               "inspection bar saves it.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("save needs one FILE"));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    TagFile::Contents contents;
    const std::optional<QString> id = session->ask(QStringLiteral("GTS"), Reply::isFieldReport);
    if (id && Reply::classify(*id).kind == Reply::Kind::Identifier)
        contents.uid = Reply::classify(*id).payload;
    QStringList failures;
    contents.blocks = readBlocks(*session, {0, 1, 2, 3, 4, 5, 6, 7}, password, &failures);
    contents.passwordUsed = !password.isEmpty();
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    for (const QString &f : failures)
        say(stderr, QStringLiteral("kestrel-rfid: ") + f);
    QString error;
    if (!TagFile::save(parser.positionalArguments().at(0), contents, &error)) {
        say(stderr, QStringLiteral("kestrel-rfid: ") + error);
        return kTagFailed;
    }
    say(stdout, QStringLiteral("%1 of 8 blocks saved to %2")
                    .arg(8 - failures.size())
                    .arg(parser.positionalArguments().at(0)));
    return failures.isEmpty() ? kDone : kTagFailed;
}

} // namespace Cli
