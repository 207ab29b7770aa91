#include "commands.h"

#include "core/autoloop.h"
#include "core/commands.h"
#include "core/em4100.h"
#include "core/reply.h"
#include "core/uid.h"
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

// Blocks 1 and 2 hold the tag's ID: the ID they make together after the write is a UID like
// any other, and one the tag carried before leaves it. An exit code when the write must not go.
std::optional<int> guardIdBlocks(Session &session, int block, const QString &value,
                                 const QString &password, bool rewrite,
                                 std::optional<ManualUid> &manual)
{
    QStringList failures;
    const std::array<std::optional<QString>, 8> now
        = readBlocks(session, {1, 2}, password, &failures);
    if (!now[1] || !now[2]) {
        if (!session.failure().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session.failure()));
            return kPortFailed;
        }
        say(stderr, QStringLiteral("kestrel-rfid: blocks 1 and 2 hold the tag's ID and could not "
                                   "be read first (%1); nothing was written")
                        .arg(failures.join(QStringLiteral("; "))));
        return kTagFailed;
    }
    std::array<quint32, 3> frame{0, now[1]->toUInt(nullptr, 16), now[2]->toUInt(nullptr, 16)};
    const std::optional<quint64> before = Em4100::check(frame[1], frame[2]).id;
    frame[size_t(block)] = value.toUInt(nullptr, 16);
    const std::optional<quint64> after = Em4100::check(frame[1], frame[2]).id;
    const auto text = [](quint64 id) {
        return QStringLiteral("%1").arg(id, 10, 16, QLatin1Char('0')).toUpper();
    };
    if (after == before)
        return std::nullopt;
    manual.emplace(session.device(), rewrite);
    // The write breaks the frame: the UID leaves the tag with no other in its place.
    if (!after) {
        return manual->beginRemoval(text(*before), QStringLiteral("manual block writes"),
                                    QStringLiteral("written"));
    }
    if (before)
        manual->replaces(text(*before));
    return manual->begin(text(*after), true);
}

int writeCommand(const QStringList &arguments, bool uidWrite)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption block(QStringLiteral("block"), QStringLiteral("Block 0-6."),
                                   QStringLiteral("B"));
    const QCommandLineOption data(QStringLiteral("data"),
                                  QStringLiteral("Eight hexadecimal digits."),
                                  QStringLiteral("XXXXXXXX"));
    const QCommandLineOption uid(QStringLiteral("uid"), QStringLiteral("Ten digits."),
                                 QStringLiteral("U"));
    const QCommandLineOption dec(QStringLiteral("dec"), QStringLiteral("The UID is decimal."));
    if (uidWrite)
        parser.addOptions({c.port, c.capture, c.record, c.rewrite, uid, dec});
    else
        parser.addOptions({c.port, c.passwordFile, c.capture, c.record, c.rewrite, block, data});
    if (const std::optional<int> code = parse(
            parser, arguments,
            uidWrite ? QStringLiteral("kestrel-rfid write-uid: gives the tag in the field a UID "
                                      "and reads it back.")
                     : QStringLiteral("kestrel-rfid write: writes one block of the tag in the "
                                      "field and reads it back.")))
        return *code;
    QString command;
    QString expected;
    int expectedBlock = -1;
    if (uidWrite) {
        const QString u = parser.value(uid).toUpper();
        const bool hex = !parser.isSet(dec);
        if (u.size() != Uid::kLength || !Uid::tagId(u, hex))
            return usage(QStringLiteral("--uid must be a tag ID of ten %1 digits")
                             .arg(hex ? QStringLiteral("hexadecimal") : QStringLiteral("decimal")));
        command = (hex ? QStringLiteral("WUX") : QStringLiteral("WUD")) + u;
        expected = u;
    } else {
        bool ok = false;
        expectedBlock = parser.value(block).toInt(&ok);
        if (!ok || expectedBlock < 0 || expectedBlock > 6)
            return usage(QStringLiteral("--block must be a block from 0 to 6 (the password "
                                        "is never given on the command line)"));
        expected = parser.value(data).toUpper();
        if (!Reply::isBlockValue(expected))
            return usage(QStringLiteral("--data must be eight hexadecimal digits"));
    }
    QString password;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, !uidWrite, &password, &code);
    if (!session)
        return code;
    if (!uidWrite)
        command = Commands::writeBlock(expectedBlock, expected, password);
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    std::optional<ManualUid> manual;
    if (uidWrite) {
        manual.emplace(session->device(), parser.isSet(c.rewrite));
        if (const std::optional<int> refused = manual->begin(expected, !parser.isSet(dec)))
            return *refused;
    } else if (expectedBlock == 1 || expectedBlock == 2) {
        if (const std::optional<int> refused = guardIdBlocks(
                *session, expectedBlock, expected, password, parser.isSet(c.rewrite), manual))
            return *refused;
    }
    const std::optional<QString> head = session->ask(
        command, uidWrite ? Session::kindOrError(Reply::Kind::Identifier)
                          : Session::kindOrError(Reply::Kind::BlockWrite, expectedBlock));
    const Reply::Parsed r = Reply::classify(head.value_or(QString()));
    const bool verified
        = uidWrite ? r.kind == Reply::Kind::Identifier
                         && Uid::tagId(r.payload, true) == Uid::tagId(expected, !parser.isSet(dec))
                   : r.kind == Reply::Kind::BlockWrite && r.block == expectedBlock
                         && r.payload == expected;
    if (manual && manual->removes())
        manual->wrote(AutoLoop::Write{AutoLoop::Step::Idle, expectedBlock, expected,
                                      r.kind == Reply::Kind::BlockWrite ? r.payload : QString(),
                                      head.has_value(), verified});
    if (manual) {
        using Result = AutoLoop::TagOutcome::Result;
        const bool answered = uidWrite ? r.kind == Reply::Kind::Identifier : verified;
        if (!manual->end(answered && uidWrite ? r.payload : QString(),
                         verified ? Result::Complete : (head ? Result::Failed : Result::Stalled),
                         verified || answered ? QString() : refusal(head, *session)))
            return kRecordFailed;
    }
    if (verified) {
        say(stdout,
            uidWrite
                ? QStringLiteral("UID %1 written and read back").arg(expected)
                : QStringLiteral("B%1: %2 written and read back").arg(expectedBlock).arg(expected));
        return kDone;
    }
    if (!session->failure().isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    }
    say(stderr, QStringLiteral("kestrel-rfid: not verified: %1")
                    .arg(r.kind == Reply::Kind::BlockWrite || r.kind == Reply::Kind::Identifier
                             ? QStringLiteral("read back %1").arg(r.payload)
                             : refusal(head, *session)));
    return kTagFailed;
}

} // namespace

int writeBlockCommand(const QStringList &arguments)
{
    return writeCommand(arguments, false);
}

int writeUidCommand(const QStringList &arguments)
{
    return writeCommand(arguments, true);
}

} // namespace Cli
