#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringList>
#include <optional>

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

// The 40-bit tag ID a UID text names in the given base: ten hexadecimal digits, or ten
// decimal digits up to 4294967295 (what a box writes in decimal). Nothing for other text.
std::optional<quint64> tagId(const QString &text, bool hex);

// A tag's 40-bit ID as one value, whichever base its text was spelled in: "0000000100" in
// hexadecimal and "0000000256" in decimal are one key.
struct TagId {
    quint64 value = 0;
    friend bool operator==(TagId, TagId) = default;
};
inline size_t qHash(TagId id, size_t seed = 0)
{
    return ::qHash(id.value, seed);
}
// The tag ID a UID text names in the given base, as tagId() reads it.
std::optional<TagId> idOf(const QString &text, bool hex);

// Every ten-character spelling of one tag ID: its hexadecimal form and, when it fits in 32
// bits, its decimal form.
QStringList spellings(quint64 id);

} // namespace Uid
