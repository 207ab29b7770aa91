#include "em4100.h"

#include <QtAlgorithms>

namespace Em4100 {

static int parity(quint32 v)
{
    return qPopulationCount(v) & 1;
}

std::pair<quint32, quint32> encode(quint64 id)
{
    id &= kMaxId;
    quint64 frame = 0x1FF;
    quint32 columns = 0;
    for (int row = 0; row < 10; ++row) {
        const quint32 nibble = quint32(id >> (36 - 4 * row)) & 0xF;
        frame = (frame << 5) | (nibble << 1) | quint32(parity(nibble));
        columns ^= nibble;
    }
    frame = (frame << 5) | (columns << 1);
    return {quint32(frame >> 32), quint32(frame)};
}

Check check(quint32 block1, quint32 block2)
{
    const quint64 frame = (quint64(block1) << 32) | block2;
    if ((frame >> 55) != 0x1FF)
        return {std::nullopt, QStringLiteral("header")};
    quint64 id = 0;
    quint32 columns = 0;
    for (int row = 0; row < 10; ++row) {
        const quint32 bits = quint32(frame >> (50 - 5 * row)) & 0x1F;
        const quint32 nibble = bits >> 1;
        if (int(bits & 1) != parity(nibble))
            return {std::nullopt, QStringLiteral("row parity %1").arg(row + 1)};
        id = (id << 4) | nibble;
        columns ^= nibble;
    }
    if (((frame >> 1) & 0xF) != columns)
        return {std::nullopt, QStringLiteral("column parity")};
    if ((frame & 1) != 0)
        return {std::nullopt, QStringLiteral("stop bit")};
    return {id, {}};
}

std::optional<quint64> decode(quint32 block1, quint32 block2)
{
    return check(block1, block2).id;
}

QString decimalForm(quint64 id)
{
    return QStringLiteral("%1").arg(id & 0xFFFFFFFFULL, 10, 10, QLatin1Char('0'));
}

} // namespace Em4100
