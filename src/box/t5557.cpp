#include "t5557.h"

#include <QStringList>

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

std::optional<quint64> decode(quint32 block1, quint32 block2)
{
    const quint64 frame = (quint64(block1) << 32) | block2;
    if ((frame >> 55) != 0x1FF || (frame & 1) != 0)
        return std::nullopt;
    quint64 id = 0;
    quint32 columns = 0;
    for (int row = 0; row < 10; ++row) {
        const quint32 bits = quint32(frame >> (50 - 5 * row)) & 0x1F;
        const quint32 nibble = bits >> 1;
        if (int(bits & 1) != parity(nibble))
            return std::nullopt;
        id = (id << 4) | nibble;
        columns ^= nibble;
    }
    if (((frame >> 1) & 0xF) != columns)
        return std::nullopt;
    return id;
}

} // namespace Em4100

namespace T5557 {

Config decode(quint32 block0)
{
    static const int kDivisors[] = {8, 16, 32, 40, 50, 64, 100, 128};
    Config c;
    c.bitRateDivisor = kDivisors[(block0 >> 18) & 7];
    switch ((block0 >> 12) & 0x1F) {
    case 0:
        c.modulation = QStringLiteral("direct");
        break;
    case 1:
        c.modulation = QStringLiteral("PSK1");
        break;
    case 8:
        c.modulation = QStringLiteral("Manchester");
        break;
    case 16:
        c.modulation = QStringLiteral("biphase");
        break;
    default:
        c.modulation = QStringLiteral("FSK/other");
        break;
    }
    c.maxBlock = int((block0 >> 5) & 7);
    c.pwd = block0 & kPwd;
    c.aor = block0 & kAor;
    return c;
}

std::optional<quint64> Tag::id() const
{
    if (!isConfigured())
        return std::nullopt;
    return Em4100::decode(blocks[1], blocks[2]);
}

void Tag::setId(quint64 id)
{
    const auto [b1, b2] = Em4100::encode(id);
    blocks[1] = b1;
    blocks[2] = b2;
}

QString Tag::describe() const
{
    QStringList lines;
    const Config c = decode(blocks[0]);
    lines << QStringLiteral("block 0 %1  RF/%2 %3 MaxBlock %4%5%6")
                 .arg(blocks[0], 8, 16, QLatin1Char('0'))
                 .arg(c.bitRateDivisor)
                 .arg(c.modulation)
                 .arg(c.maxBlock)
                 .arg(c.pwd ? QStringLiteral(" PWD") : QString())
                 .arg(c.aor ? QStringLiteral(" AOR") : QString())
                 .toUpper();
    for (int n = 1; n < kBlocks; ++n) {
        lines << QStringLiteral("block %1 %2%3")
                     .arg(n)
                     .arg(blocks[n], 8, 16, QLatin1Char('0'))
                     .arg(locked[n] ? QStringLiteral(" locked") : QString())
                     .toUpper();
    }
    const auto ident = id();
    lines << (ident ? QStringLiteral("ID %1").arg(*ident, 10, 16, QLatin1Char('0')).toUpper()
                    : QStringLiteral("no EM4100 ID"));
    return lines.join(u'\n');
}

Tag blankTag()
{
    return Tag{};
}

Tag configuredTag()
{
    Tag t;
    t.blocks[0] = kEm4100Emulation;
    return t;
}

Tag tagWithId(quint64 id)
{
    Tag t = configuredTag();
    t.setId(id);
    return t;
}

Tag protectedTag(quint32 password, quint64 id, bool aor)
{
    Tag t = tagWithId(id);
    t.blocks[0] |= kPwd | (aor ? kAor : 0);
    t.blocks[7] = password;
    return t;
}

} // namespace T5557
