#pragma once

#include <QStringList>
#include <optional>

class QCoreApplication;

// The tool's commands without its window: "kestrel-rfid <command> ...". Each runs against the
// same link, engine and record as the window and exits with a code a script can act on.
namespace Cli {

enum Exit : int {
    kDone = 0,
    // A tag failed, stalled or did not verify.
    kTagFailed = 1,
    // Wrong use or unusable input; nothing was sent to the box.
    kUsage = 2,
    kRecordFailed = 3,
    kPortFailed = 4,
    // An output the run was asked to keep (events, a capture, an export) could not be written.
    kOutputFailed = 5,
};

// The command words, in the order help lists them.
QStringList commands();
// The command word of these arguments, if they name one.
std::optional<QString> commandOf(const QStringList &arguments);
// Runs the command; the application is a QCoreApplication, no display is needed.
int run(QCoreApplication &app, const QStringList &arguments);

} // namespace Cli
