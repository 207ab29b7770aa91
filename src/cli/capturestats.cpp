#include "commands.h"

#include "core/capturestats.h"
#include "support.h"

#include <QCommandLineParser>
#include <QFile>

#include <cstdio>
#include <optional>

namespace Cli {

int captureStatsCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption first(
        QStringLiteral("first-ms"),
        QStringLiteral("At pace replies, the first command this long after a tag's report "
                       "(a job's timing.firstCommandMs; default %1).")
            .arg(AutoLoop::kRepliesFirstCommandMs),
        QStringLiteral("ms"), QString::number(AutoLoop::kRepliesFirstCommandMs));
    parser.addOption(first);
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("A traffic capture (--capture, Keep traffic)."));
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid capture-stats: the box's time for each kind of "
                               "command in a traffic capture, and the line rate at each pace.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("capture-stats needs one FILE"));
    bool ok = false;
    const int firstMs = parser.value(first).toInt(&ok);
    if (!ok || firstMs < 0 || firstMs > AutoLoop::kMaxFirstCommandMs)
        return usage(QStringLiteral("--first-ms must be a whole number from 0 to %1")
                         .arg(AutoLoop::kMaxFirstCommandMs));
    const QString path = parser.positionalArguments().at(0);
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return usage(QStringLiteral("%1 cannot be read: %2").arg(path, in.errorString()));
    // A capture rotates at its limit; a file far larger is no capture of this tool.
    constexpr qint64 kMaxBytes = 512LL * 1024 * 1024;
    if (in.size() > kMaxBytes)
        return usage(QStringLiteral("%1 is larger than a capture can be").arg(path));
    QString error;
    const std::optional<CaptureStats::Stats> stats = CaptureStats::analyse(in.readAll(), &error);
    if (!stats)
        return usage(QStringLiteral("%1 is not a traffic capture: %2").arg(path, error));
    const QByteArray text = CaptureStats::report(*stats, firstMs).toUtf8();
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size())
        || std::fflush(stdout) != 0)
        return kOutputFailed;
    return kDone;
}

} // namespace Cli
