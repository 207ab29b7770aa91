#pragma once

#include <QString>
#include <QStringList>

// One function per command; each takes the arguments from the command word on and returns
// the exit code.
namespace Cli {

struct Command {
    QString name;
    int (*run)(const QStringList &arguments);
};

// Every command, in the order help lists them.
const QList<Command> &table();

int portsCommand(const QStringList &arguments);
int readCommand(const QStringList &arguments);
int writeBlockCommand(const QStringList &arguments);
int writeUidCommand(const QStringList &arguments);
int saveCommand(const QStringList &arguments);
int restoreCommand(const QStringList &arguments);
int produceCommand(const QStringList &arguments);
int exportCommand(const QStringList &arguments);
int captureStatsCommand(const QStringList &arguments);
int verifyCommand(const QStringList &arguments);
int findPasswordCommand(const QStringList &arguments);
int wipeCommand(const QStringList &arguments);

} // namespace Cli
