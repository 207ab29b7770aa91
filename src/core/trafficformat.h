#pragma once

#include <QByteArray>

// How a traffic capture writes bytes: a line a person can read, with the password masked.
namespace TrafficFormat {

// A command (from the tool) or reply line with block-7 values and password operands as "*".
QByteArray masked(const QByteArray &line, bool fromTool);
// "\\" for a backslash, "\r" and "\n", "\xHH" for any other byte outside printable ASCII.
QByteArray escaped(const QByteArray &bytes);
// The bytes back; *ok false when an escape cannot be read.
QByteArray unescaped(const QByteArray &text, bool *ok);

} // namespace TrafficFormat
