#include "commands.h"

#include "core/tagfile.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>

#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

int verifyCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOptions({c.port, c.passwordFile, c.capture});
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The tag file to compare with (the golden tag)."));
    if (const std::optional<int> code = parse(
            parser, arguments,
            QStringLiteral("kestrel-rfid verify: the tag in the field compared with a tag file, "
                           "block by block; exit 0 when equal, 1 with the blocks that differ.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("verify needs one FILE"));
    // The file first: a file that is no tag file sends nothing to the box.
    const QString path = parser.positionalArguments().at(0);
    const TagFile::Loaded file = TagFile::load(path);
    if (!file.problem.isEmpty())
        return usage(file.problem);
    if (TagFile::compared(file.contents, true).isEmpty())
        return usage(QStringLiteral("%1 holds no block to compare").arg(path));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    const bool withPassword = !password.isEmpty();
    const QList<int> blocks = TagFile::compared(file.contents, withPassword);
    if (blocks.isEmpty())
        return usage(QStringLiteral("%1 holds only block 7, which needs the password").arg(path));
    QStringList unread;
    const auto tag = readBlocks(*session, blocks, password, &unread);
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    for (const QString &why : unread)
        say(stderr, QStringLiteral("kestrel-rfid: ") + why);
    const QList<TagFile::Difference> differences
        = TagFile::compare(file.contents, tag, withPassword);
    QStringList named;
    for (int n : blocks)
        named << QString::number(n);
    if (differences.isEmpty()) {
        say(stdout, QStringLiteral("equal: blocks %1 as in %2").arg(named.join(u','), path));
        return kDone;
    }
    for (const TagFile::Difference &d : differences)
        say(stdout,
            QStringLiteral("block %1 differs: file %2, tag %3").arg(d.block).arg(d.file, d.tag));
    say(stdout, QStringLiteral("%1 of %2 blocks differ from %3")
                    .arg(differences.size())
                    .arg(blocks.size())
                    .arg(path));
    return kTagFailed;
}

} // namespace Cli
