#pragma once

#include <QByteArray>
#include <QString>

// The box's reply grammar: only the first ten characters of a reply carry meaning.
namespace Reply {

inline constexpr int kHeadLength = 10;

enum class Kind { Error, Message, BlockRead, BlockWrite, Identifier, Other };

// The code of an error reply, "ErrCode:0n".
enum ErrorCode : int {
    kLengthIncorrect = 1,
    kCommandWrong = 2,
    kNoTag = 3,
    kNoPassword = 4,
    kPasswordWrong = 5,
    kHexBaseId = 6,
    kLockError = 7,
};

// The code of a message reply, "MsgCode:0n".
enum MessageCode : int {
    kSuccess = 1,
    kNotPresent = 2,
    kNotConfigured = 3,
    kNoUid = 4,
    kOutOfRange = 5,
};

struct Parsed {
    Kind kind = Kind::Other;
    // Error and Message: character 10 read as a number, 0 if there is none.
    int code = 0;
    // BlockRead and BlockWrite: character 2 read as a number.
    int block = 0;
    // BlockRead and BlockWrite: characters 3..10; Identifier: all ten.
    QString payload;
};

// Reads one character the way a decimal number is read from text: a digit gives its
// value, anything else (or a missing character) gives 0.
int digitValue(const QString &text, int position);

Parsed classify(const QString &head);

// What the line brought between two quiet periods. Every reply that means something has ten
// characters, so a shorter piece without a line end is the start of one whose rest is still
// on its way (a slow adapter, a busy machine); and a line end alone finishes the reply before.
enum class Gathered { Reply, Fragment, LineEnd };
Gathered gathered(const QByteArray &text);

// Eight hexadecimal digits, as a block value is written.
bool isBlockValue(const QString &text);

// What "GTS" is answered with: the tag's ID, what kind of tag it is, or that there is none.
bool isFieldReport(const Parsed &reply);

// What the message label says for an error reply's code; empty for codes without one.
QString errorText(int code);
// What one of the box's or the tool's own short texts means, in plain words, for the command
// line and the README's table; empty for any other text.
QString plainMeaning(const QString &text);

// The box refused the command before it touched a tag: a wrong length, an unknown command, a
// protected tag without its password, a wrong password, a decimal ID beyond 32 bits. After
// any other error ("No Precent!", a lock error, an unknown code) a write may have happened.
bool refusedUntouched(int errorCode);

} // namespace Reply
