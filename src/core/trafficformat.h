#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// How a traffic capture writes bytes: a line a person can read, with the password masked.
namespace TrafficFormat {

// A command (from the tool) or reply line with block-7 values and password operands as "*".
QByteArray masked(const QByteArray &line, bool fromTool);
// What a command tells about secrets: the password and block-7 values it carries (never
// written anywhere), and whether its answer is block 7 or about the password.
struct Secrets {
    QList<QByteArray> values;
    bool blockSeven = false;
};
Secrets secretsOf(const QByteArray &command);
// Received bytes masked by what they may hold: every known secret wherever it stands (after
// noise, inside a longer line); while a block-7 command awaits its answer, every run of four
// or more hexadecimal digits; and, when more of the line is to come (complete false), a
// trailing run of digits that may be the start of a secret.
QByteArray maskedReply(const QByteArray &bytes, const QList<QByteArray> &secrets, bool blockSeven,
                       bool complete);
// "\\" for a backslash, "\r" and "\n", "\xHH" for any other byte outside printable ASCII.
QByteArray escaped(const QByteArray &bytes);
// The bytes back; *ok false when an escape cannot be read.
QByteArray unescaped(const QByteArray &text, bool *ok);

// One line of a capture: "<seconds>.<microseconds> <direction> <text>".
struct Line {
    qint64 us = 0;
    // '>' sent to the box, '<' received, '!' an event of the link.
    char direction = '!';
    QByteArray bytes;
};
// Nothing, and why ("has no direction"), when the line is not one of a capture (comments and
// empty lines included).
std::optional<Line> parseLine(const QByteArray &raw, QString *why);
// Lines of a capture as a person reads them, times in seconds from the first line:
// "  0.312  Send: RB1".
QString readable(const QByteArray &capture);

} // namespace TrafficFormat
