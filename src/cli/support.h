#pragma once

#include "cli.h"
#include "core/reply.h"
#include "station/dialogs.h"

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdio>
#include <memory>
#include <optional>

class QCommandLineParser;
class Session;

// What the commands share: how they speak, parse, find the port and the password, and connect.
namespace Cli {

void say(FILE *to, const QString &text);
// Says what is wrong on standard error; the usage exit code.
int usage(const QString &text);
QString isoTime(qint64 ms);

// What the record and the loop would ask the operator: told on standard error, and the safe
// answer is taken (a script cannot choose to run without a record).
class ConsoleDialogs : public Dialogs {
public:
    void information(const QString &title, const QString &text) override { tell(title, text); }
    void warning(const QString &title, const QString &text) override { tell(title, text); }
    bool question(const QString &title, const QString &text) override
    {
        tell(title, text);
        return false;
    }
    bool warningWithChoice(const QString &title, const QString &text, const QString &) override
    {
        tell(title, text);
        return false;
    }

private:
    static void tell(const QString &title, const QString &text)
    {
        say(stderr, QStringLiteral("kestrel-rfid: %1: %2").arg(title, text));
    }
};

// The options several commands take.
struct Common {
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("Port number (01-26) or device path."),
                            QStringLiteral("N")};
    QCommandLineOption passwordFile{
        QStringLiteral("password-file"),
        QStringLiteral("The tag password (eight hexadecimal digits) is the file's first line; "
                       "else KESTREL_PASSWORD."),
        QStringLiteral("F")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("Print one JSON document.")};
    QCommandLineOption record{QStringLiteral("record"),
                              QStringLiteral("The production record: a file or a server."),
                              QStringLiteral("ADDR")};
    QCommandLineOption capture{QStringLiteral("capture"),
                               QStringLiteral("Keep every byte to and from the box in FILE."),
                               QStringLiteral("FILE")};
    QCommandLineOption rewrite{QStringLiteral("rewrite"),
                               QStringLiteral("Write a UID the record holds as written or in "
                                              "doubt anyway (the record notes it).")};
};

// The device of a port given as the window numbers it, or as a path.
std::optional<QString> deviceOf(const QString &port, QString *error);
// Never from the command line, where every user of the machine can read it.
std::optional<QString> passwordOf(const QString &file, QString *error);
// Keeps the session's traffic when asked to; false (the exit code in *code) when the
// capture file cannot be written, before anything is sent.
bool captureIfAsked(Session &session, const QString &path, int *code);
// Parses a command's options: nothing when the command goes on, else its exit code (a wrong
// option is a usage error; --help is answered here).
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments,
                         const QString &summary);
// A connected session, or why there is none (exit code in *code).
std::unique_ptr<Session> connected(const QString &device, const QString &capture, int *code);
// The port and the password a command names, then the connected session; nothing when the
// input is unusable (nothing is sent then) or the port does not open, with the exit code.
std::unique_ptr<Session> openFor(const QCommandLineParser &parser, const Common &c,
                                 bool takesPassword, QString *password, int *code);
// The box's own words, then what they mean.
QString withMeaning(const QString &text);
// What a reply to a command that does not work says in words.
QString refusal(const std::optional<QString> &head, Session &session);
// The blocks of the tag in the field, read one by one (with the password when there is one).
std::array<std::optional<QString>, 8> readBlocks(Session &session, const QList<int> &blocks,
                                                 const QString &password, QStringList *failures);

} // namespace Cli
