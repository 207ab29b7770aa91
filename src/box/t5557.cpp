#include "t5557.h"

#include "core/configword.h"
#include "core/tagconfig.h"

#include <QStringList>

namespace T5557 {

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
    const QString word = QStringLiteral("%1").arg(blocks[0], 8, 16, QLatin1Char('0')).toUpper();
    lines << QStringLiteral("block 0 %1  %2").arg(word, TagConfig::describe(word));
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

Tag deliveredTag()
{
    Tag t;
    t.blocks[0] = ConfigWord::kBlank.toUInt(nullptr, 16);
    return t;
}

Tag foreignTag(quint32 word, std::optional<quint32> password)
{
    Tag t;
    t.blocks[0] = word | (password ? kPwd : 0);
    for (int n = 1; n < 7; ++n)
        t.blocks[size_t(n)] = 0x10101010u * quint32(n);
    t.blocks[7] = password.value_or(0);
    return t;
}

} // namespace T5557
