#include "commands.h"

#include "core/autoloop.h"
#include "core/commands.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/tagfile.h"
#include "manualuid.h"
#include "station/record/productionrecord.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>

#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

int restoreCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption yes(QStringLiteral("yes"),
                                 QStringLiteral("Write a block 0 that protects the tag."));
    parser.addOptions({c.port, c.passwordFile, c.capture, c.record, c.rewrite, yes});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The tag file."));
    if (const std::optional<int> code = parse(
            parser, arguments,
            QStringLiteral("kestrel-rfid restore: a tag file written onto the tag in the field, "
                           "block 0 last, each block read back.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("restore needs one FILE"));
    const QString file = parser.positionalArguments().at(0);
    const TagFile::Loaded t = TagFile::load(file);
    if (!t.problem.isEmpty())
        return usage(t.problem);
    const TagFile::Plan plan = TagFile::plan(t.contents, file);
    if (!plan.problem.isEmpty())
        return usage(plan.problem);
    // The question the window asks; only --yes answers it here. The password is not shown.
    if (!plan.protects.isEmpty() && !parser.isSet(yes))
        return usage(QStringLiteral("the file's block 0 (%1) turns on %2: after the restore the "
                                    "tag answers only to the file's password (block 7). Give "
                                    "--yes to write it")
                         .arg(*t.contents.blocks[0], plan.protects));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    // Blocks 1 and 2 give the tag the ID they carry: a UID like any other.
    std::optional<ManualUid> manual;
    const std::optional<QString> &b1 = t.contents.blocks[1];
    const std::optional<QString> &b2 = t.contents.blocks[2];
    const std::optional<quint64> id
        = b1 && b2 ? Em4100::check(b1->toUInt(nullptr, 16), b2->toUInt(nullptr, 16)).id
                   : std::nullopt;
    if (id) {
        if (parser.isSet(c.record))
            ProductionRecord::setConfiguredPath(parser.value(c.record));
        manual.emplace(session->device(), parser.isSet(c.rewrite));
        const QString uid = QStringLiteral("%1").arg(*id, 10, 16, QLatin1Char('0')).toUpper();
        if (const std::optional<int> refused = manual->begin(uid, true))
            return *refused;
    }
    const auto ended = [&manual](AutoLoop::TagOutcome::Result result, const QString &why) {
        return !manual || manual->end({}, result, why);
    };
    for (const TagFile::Write &w : plan.writes) {
        const std::optional<QString> head
            = session->ask(Commands::writeBlock(w.block, w.value, password),
                           Session::kindOrError(Reply::Kind::BlockWrite, w.block));
        if (head && TagFile::confirms(*head, w))
            continue;
        ended(head ? AutoLoop::TagOutcome::Result::Failed : AutoLoop::TagOutcome::Result::Stalled,
              QStringLiteral("restore stopped at block %1").arg(w.block));
        if (!session->failure().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
            return kPortFailed;
        }
        say(stderr,
            QStringLiteral("kestrel-rfid: restore stopped at block %1: %2")
                .arg(w.block)
                .arg(head && Reply::classify(*head).kind == Reply::Kind::BlockWrite
                         ? QStringLiteral("read back %1")
                               .arg(AutoLoop::shownValue(w.block, Reply::classify(*head).payload))
                         : refusal(head, *session)));
        return kTagFailed;
    }
    if (!ended(AutoLoop::TagOutcome::Result::Complete, {}))
        return kRecordFailed;
    say(stdout, QStringLiteral("Restore complete: %1 blocks written").arg(plan.writes.size()));
    return kDone;
}

} // namespace Cli
