#include "commands.h"

#include "core/passwordlist.h"
#include "core/reply.h"
#include "core/stopsignals.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>

#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

namespace {

// Progress goes to standard error this often, so a long list shows it is alive.
constexpr int kProgressEvery = 100;

} // namespace

int findPasswordCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption dictionary(
        QStringLiteral("dictionary"),
        QStringLiteral("Passwords to try after the built-in ones: eight hexadecimal digits a "
                       "line, # starts a comment."),
        QStringLiteral("FILE"));
    const QCommandLineOption reveal(QStringLiteral("reveal"),
                                    QStringLiteral("Print the password found, not only which "
                                                   "entry it is."));
    parser.addOptions({c.port, c.capture, dictionary, reveal});
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid find-password: tries the built-in defaults, then the "
                               "list, on the protected tag in the field; exit 0 found, 1 none "
                               "opened it.")))
        return *code;
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("find-password takes no FILE; give the list with "
                                    "--dictionary"));
    // The list first: a list that cannot be used sends nothing to the box.
    PasswordList::Loaded file;
    if (parser.isSet(dictionary)) {
        file = PasswordList::load(parser.value(dictionary));
        if (!file.problem.isEmpty())
            return usage(file.problem);
        for (const QString &why : file.skipped)
            say(stderr,
                QStringLiteral("kestrel-rfid: %1: %2, skipped").arg(parser.value(dictionary), why));
    }
    QString unused;
    int code = kDone;
    const std::unique_ptr<Session> session = openFor(parser, c, false, &unused, &code);
    if (!session)
        return code;
    const auto portFailed = [&] {
        say(stderr, QStringLiteral("kestrel-rfid: %1").arg(session->failure()));
        return kPortFailed;
    };

    // A tag that gives block 7 without a password has none to find.
    const std::optional<QString> plain
        = session->ask(QStringLiteral("RB7"), Session::kindOrError(Reply::Kind::BlockRead, 7));
    if (!session->failure().isEmpty())
        return portFailed();
    const Reply::Parsed first = Reply::classify(plain.value_or(QString()));
    if (plain && first.kind == Reply::Kind::BlockRead && first.block == 7) {
        say(stdout, QStringLiteral("the tag is not protected: block 7 reads without a password"));
        return kDone;
    }

    // Each try is one command and one line back: taken at its line end, the search runs at
    // the box's pace rather than the quiet line's.
    session->link().setCompleteAtLineEnd(true);
    PasswordList::Search search(PasswordList::together(file.candidates));
    bool stopped = false;
    StopSignals interrupts;
    QObject::connect(&interrupts, &StopSignals::raised, [&stopped] { stopped = true; });
    while (const std::optional<QString> command = search.nextCommand()) {
        if (stopped) {
            say(stderr, QStringLiteral("kestrel-rfid: stopped by a signal after %1 of %2 "
                                       "passwords; none of them opened the tag")
                            .arg(search.tried())
                            .arg(search.total()));
            return kTagFailed;
        }
        const std::optional<QString> head
            = session->ask(*command, Session::kindOrError(Reply::Kind::BlockRead, 7));
        if (!session->failure().isEmpty())
            return portFailed();
        search.answered(head ? std::optional(Reply::classify(*head)) : std::nullopt);
        if (search.state() == PasswordList::Search::State::Trying
            && search.tried() % kProgressEvery == 0)
            say(stderr, QStringLiteral("kestrel-rfid: tried %1 of %2")
                            .arg(search.tried())
                            .arg(search.total()));
    }
    if (const std::optional<PasswordList::Candidate> found = search.found()) {
        say(stdout, search.outcome());
        if (parser.isSet(reveal))
            say(stdout, QStringLiteral("password: %1").arg(found->password));
        return kDone;
    }
    say(stderr, QStringLiteral("kestrel-rfid: ") + search.outcome());
    return kTagFailed;
}

} // namespace Cli
