#include "commands.h"

#include "core/autoloop.h"
#include "core/commands.h"
#include "core/configword.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/stopsignals.h"
#include "core/tagconfig.h"
#include "manualuid.h"
#include "station/record/productionrecord.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>

#include <array>
#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

namespace {

const QString kZero = QStringLiteral("00000000");

} // namespace

int wipeCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    parser.addOptions({c.port, c.passwordFile, c.capture, c.record, c.rewrite});
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid wipe: puts the tag in the field back to the blank "
                               "state: blocks 1-7 zero, then block 0 %1, each read back.")
                    .arg(ConfigWord::kBlank)))
        return *code;
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("wipe takes no FILE"));
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, true, &password, &code);
    if (!session)
        return code;
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    const auto portFailed = [&] {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    };

    // Blocks 1 and 2 first: they say whether the tag is protected and which ID it loses. A
    // password given for a tag without one would not write, so it is used only when needed.
    QStringList failures;
    std::array<std::optional<QString>, 8> now = readBlocks(*session, {1, 2}, QString(), &failures);
    QString current;
    if ((!now[1] || !now[2]) && !password.isEmpty() && session->failure().isEmpty()) {
        failures.clear();
        now = readBlocks(*session, {1, 2}, password, &failures);
        current = password;
    }
    if (!session->failure().isEmpty())
        return portFailed();
    if (!now[1] || !now[2]) {
        say(stderr, QStringLiteral("kestrel-rfid: the tag could not be read (%1); nothing was "
                                   "wiped. A protected tag needs its password "
                                   "(--password-file); find-password finds a well-known one.")
                        .arg(failures.value(0)));
        return kTagFailed;
    }
    std::optional<ManualUid> manual;
    if (const std::optional<quint64> id
        = Em4100::check(now[1]->toUInt(nullptr, 16), now[2]->toUInt(nullptr, 16)).id) {
        manual.emplace(session->device(), parser.isSet(c.rewrite));
        if (const std::optional<int> refused = manual->beginRemoval(
                QStringLiteral("%1").arg(*id, 10, 16, QLatin1Char('0')).toUpper(),
                QStringLiteral("wipe"), QStringLiteral("wiped")))
            return *refused;
    }

    // Block 0 last: until it is written the tag keeps its configuration, and a protected tag
    // answers to the password block 7 now holds.
    // A signal stops the wipe between two writes, each of which is confirmed or given up.
    bool signalled = false;
    StopSignals interrupts;
    QObject::connect(&interrupts, &StopSignals::raised, [&signalled] { signalled = true; });
    for (int n : {1, 2, 3, 4, 5, 6, 7, 0}) {
        if (signalled) {
            const QString why = QStringLiteral("wipe stopped by a signal before block %1").arg(n);
            if (manual && !manual->end({}, AutoLoop::TagOutcome::Result::Stopped, why))
                return kRecordFailed;
            say(stderr, QStringLiteral("kestrel-rfid: ") + why);
            return kTagFailed;
        }
        const QString value = n == 0 ? ConfigWord::kBlank : kZero;
        const std::optional<QString> head
            = session->ask(Commands::writeBlock(n, value, current),
                           Session::kindOrError(Reply::Kind::BlockWrite, n));
        const Reply::Parsed r = Reply::classify(head.value_or(QString()));
        const bool ok = r.kind == Reply::Kind::BlockWrite && r.block == n && r.payload == value;
        if (manual)
            manual->wrote(AutoLoop::Write{AutoLoop::Step::Idle, n, value,
                                          r.kind == Reply::Kind::BlockWrite ? r.payload : QString(),
                                          head.has_value(), ok});
        if (!ok) {
            const QString why = session->failure().isEmpty()
                                    ? QStringLiteral("block %1: %2")
                                          .arg(n)
                                          .arg(r.kind == Reply::Kind::BlockWrite
                                                   ? QStringLiteral("read back %1")
                                                         .arg(AutoLoop::shownValue(n, r.payload))
                                                   : refusal(head, *session))
                                    : session->failure();
            if (manual
                && !manual->end({},
                                head ? AutoLoop::TagOutcome::Result::Failed
                                     : AutoLoop::TagOutcome::Result::Stalled,
                                QStringLiteral("wipe stopped at ") + why))
                return kRecordFailed;
            if (!session->failure().isEmpty())
                return portFailed();
            say(stderr, QStringLiteral("kestrel-rfid: wipe stopped at %1%2")
                            .arg(why, !current.isEmpty() && n == 0 ? QStringLiteral(
                                          "; the tag now answers to find-password's "
                                          "built-in entry 1")
                                                                   : QString()));
            return kTagFailed;
        }
        if (n == 7 && !current.isEmpty())
            current = kZero;
    }
    if (manual && !manual->end({}, AutoLoop::TagOutcome::Result::Complete, {}))
        return kRecordFailed;
    say(stdout, QStringLiteral("wiped: blocks 1-7 zero, block 0 %1 (%2)")
                    .arg(ConfigWord::kBlank, TagConfig::describe(ConfigWord::kBlank)));
    return kDone;
}

} // namespace Cli
