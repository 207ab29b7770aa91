#include "cli.h"

#include "commands.h"
#include "support.h"

#include <csignal>

namespace Cli {

const QList<Command> &table()
{
    static const QList<Command> kTable = {
        {QStringLiteral("ports"), portsCommand},
        {QStringLiteral("read"), readCommand},
        {QStringLiteral("write"), writeBlockCommand},
        {QStringLiteral("write-uid"), writeUidCommand},
        {QStringLiteral("save"), saveCommand},
        {QStringLiteral("restore"), restoreCommand},
        {QStringLiteral("verify"), verifyCommand},
        {QStringLiteral("find-password"), findPasswordCommand},
        {QStringLiteral("wipe"), wipeCommand},
        {QStringLiteral("produce"), produceCommand},
        {QStringLiteral("export-records"), exportCommand},
        {QStringLiteral("capture-stats"), captureStatsCommand},
    };
    return kTable;
}

QStringList commands()
{
    QStringList names;
    for (const Command &c : table())
        names << c.name;
    return names;
}

std::optional<QString> commandOf(const QStringList &arguments)
{
    if (arguments.size() < 2 || !commands().contains(arguments.at(1)))
        return std::nullopt;
    return arguments.at(1);
}

int run(QCoreApplication &, const QStringList &arguments)
{
    // A reader of our output that went away (`| head`) is a write error the command handles,
    // never a death mid-tag.
    ::signal(SIGPIPE, SIG_IGN);
    // Likewise a file size limit: the write fails and the run stops, with the batch closed.
    ::signal(SIGXFSZ, SIG_IGN);
    const QString command = commandOf(arguments).value_or(QString());
    // The parser reads the command word as the program's name.
    const QStringList rest = arguments.mid(1);
    for (const Command &c : table()) {
        if (c.name == command)
            return c.run(rest);
    }
    return usage(QStringLiteral("unknown command"));
}

} // namespace Cli
