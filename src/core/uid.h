#pragma once

#include <QString>

// UID text rules: a UID is ten characters, hexadecimal or decimal.
namespace Uid {

inline constexpr int kLength = 10;

// All characters are decimal digits (and there is at least one).
bool isDecimal(const QString &text);

// Reads a number the way the tool always has: leading blanks skipped, then the leading
// decimal digits; text without leading digits reads as 0.
qint64 leadingNumber(const QString &text);

// Steps a UID by k: a decimal text becomes its value plus k, at least ten digits; any
// other text keeps its first four characters and steps characters 5..10 as a decimal
// number, at least six digits.
QString StepSetUid(const QString &text, qint64 k);

// The UID field switched to hexadecimal: a decimal text up to 2147483647 becomes its
// hexadecimal digits, zero-padded to ten; anything else becomes ten zeros.
QString decimalToHex(const QString &text);

// The UID field switched to decimal: characters 5..10 read as a hexadecimal number, written
// as ten decimal digits; the first four characters are dropped.
QString hexToDecimal(const QString &text);

} // namespace Uid
