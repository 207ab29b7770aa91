#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <utility>

// The EM4100 frame a T5557 sends in blocks 1 and 2: 9 header ones, ten rows of a nibble
// and its even parity, four even column parities and a stop bit 0. Block 1 holds the upper
// 32 bits.
namespace Em4100 {

inline constexpr quint64 kMaxId = 0xFFFFFFFFFFULL;

struct Check {
    std::optional<quint64> id;
    // Which check failed: "header", "row parity 3", "column parity", "stop bit".
    QString failure;
};

std::pair<quint32, quint32> encode(quint64 id);
Check check(quint32 block1, quint32 block2);
std::optional<quint64> decode(quint32 block1, quint32 block2);

// The ID as desktop readers type it: the low 32 bits as ten decimal digits.
QString decimalForm(quint64 id);

} // namespace Em4100
