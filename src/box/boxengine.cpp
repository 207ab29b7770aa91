#include "boxengine.h"

#include <cctype>

namespace {

QByteArray hex8(quint32 v)
{
    return QByteArray::number(v, 16).toUpper().rightJustified(8, '0');
}

bool isHex(const QByteArray &s)
{
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool isDecimal(const QByteArray &s)
{
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

struct Syntax {
    const char *mnemonic;
    int operandLength;
    bool decimal;
};

// Longer mnemonics first, so "SB1" is not read as an unknown "SB".
constexpr Syntax kSyntax[] = {
    {"RUX", 0, false}, {"RUD", 0, false}, {"GTS", 0, false},  {"SB1", 0, false},
    {"SBA", 0, false}, {"SBD", 0, false}, {"SM0", 0, false},  {"SM1", 10, false},
    {"ARD", 0, false}, {"ARE", 8, false}, {"WUX", 10, false}, {"WUD", 10, true},
    {"RB", 1, false},  {"RP", 9, false},  {"WB", 9, false},   {"WP", 17, false},
};

const QByteArray kLengthError = "ErrCode:01";
const QByteArray kUnknown = "ErrCode:02";
const QByteArray kNoTag = "ErrCode:03";
const QByteArray kNeedsPassword = "ErrCode:04";
const QByteArray kWrongPassword = "ErrCode:05";
const QByteArray kNotHexId = "ErrCode:06";
const QByteArray kLocked = "ErrCode:07";
const QByteArray kOk = "MsgCode:01";

} // namespace

std::optional<BoxEngine::Reply> BoxEngine::command(const QByteArray &line)
{
    if (line.isEmpty())
        return std::nullopt;
    const Syntax *syntax = nullptr;
    for (const Syntax &s : kSyntax) {
        if (line.startsWith(s.mnemonic)) {
            syntax = &s;
            break;
        }
    }
    if (!syntax)
        return Reply{kUnknown, delays.settings};
    const QByteArray mnemonic(syntax->mnemonic);
    const QByteArray operand = line.mid(mnemonic.size());
    const bool wellFormed = operand.size() == syntax->operandLength
                            && (syntax->decimal ? isDecimal(operand) : isHex(operand));
    const bool blockCommand = mnemonic.size() == 2;
    if (!wellFormed || (blockCommand && (operand[0] < '0' || operand[0] > '7')))
        return Reply{kLengthError, delays.settings};

    if (!blockCommand) {
        if (mnemonic == "WUX" || mnemonic == "WUD")
            return writeUid(mnemonic == "WUX", operand);
        if (mnemonic == "GTS")
            return Reply{status(), delays.read};
        return settings(mnemonic, operand);
    }
    const int n = operand[0] - '0';
    const auto word = [&](int at) {
        return operand.mid(at, 8).toUInt(nullptr, 16);
    };
    if (mnemonic == "RB")
        return readBlock(n, std::nullopt);
    if (mnemonic == "RP")
        return readBlock(n, word(1));
    if (mnemonic == "WB")
        return writeBlock(n, word(1), std::nullopt);
    return writeBlock(n, word(9), word(1));
}

BoxEngine::Reply BoxEngine::settings(const QByteArray &mnemonic, const QByteArray &operand)
{
    if (mnemonic == "RUX" || mnemonic == "RUD")
        reportHex = mnemonic == "RUX";
    else if (mnemonic == "SBA" || mnemonic == "SBD")
        buzzerOnRead = mnemonic == "SBA";
    else if (mnemonic == "SB1")
        ++buzzes;
    else if (mnemonic == "SM0")
        relayMode = 0;
    else if (mnemonic == "SM1") {
        relayMode = 1;
        exclusiveId = operand;
    } else if (mnemonic == "ARD")
        aorReadMode = false;
    else if (mnemonic == "ARE") {
        aorReadMode = true;
        aorReadPassword = operand.toUInt(nullptr, 16);
    }
    return Reply{kOk, delays.settings};
}

bool BoxEngine::answersWithoutPassword() const
{
    if (!m_tag)
        return false;
    if (!m_tag->aor())
        return true;
    return aorReadMode && aorReadPassword == m_tag->password();
}

QByteArray BoxEngine::identifier(quint64 id) const
{
    if (reportHex)
        return QByteArray::number(id, 16).toUpper().rightJustified(10, '0');
    if (id > 0xFFFFFFFFULL)
        return kNotHexId;
    return QByteArray::number(id).rightJustified(10, '0');
}

QByteArray BoxEngine::status() const
{
    if (!answersWithoutPassword())
        return "MsgCode:02";
    if (!m_tag->isConfigured())
        return "MsgCode:03";
    const auto id = m_tag->id();
    if (!id)
        return "MsgCode:04";
    return identifier(*id);
}

QByteArray BoxEngine::present(const T5557::Tag &tag)
{
    m_tag = tag;
    m_written = false;
    m_addressed = false;
    m_weak = weakTags;
    m_tried = 0;
    const QByteArray report = status();
    return report == "MsgCode:02" ? QByteArray() : report;
}

void BoxEngine::lockBlock(int n)
{
    if (m_tag && n >= 0 && n < T5557::kBlocks)
        m_tag->locked[size_t(n)] = true;
}

QByteArray BoxEngine::remove()
{
    if (!m_tag)
        return {};
    m_tag.reset();
    m_written = false;
    m_addressed = false;
    return "MsgCode:05";
}

BoxEngine::Reply BoxEngine::readBlock(int n, std::optional<quint32> password)
{
    if (!m_tag || (!password && m_tag->aor()))
        return Reply{kNoTag, delays.read};
    if (!password && m_tag->pwd())
        return Reply{kNeedsPassword, delays.read};
    if (password && m_tag->pwd() && *password != m_tag->password())
        return Reply{kWrongPassword, delays.read};
    return Reply{"R" + QByteArray::number(n) + hex8(m_tag->blocks[size_t(n)]), delays.read};
}

BoxEngine::Reply BoxEngine::writeBlock(int n, quint32 data, std::optional<quint32> password)
{
    const QByteArray head = "W" + QByteArray::number(n);
    if (!m_tag || (!password && m_tag->aor()))
        return Reply{kNoTag, delays.write};
    m_addressed = true;
    T5557::Tag &tag = *m_tag;
    if (password && !tag.pwd())
        return Reply{head + hex8(tag.blocks[size_t(n)]), delays.write};
    if (!password && tag.pwd())
        return Reply{kNeedsPassword, delays.write};
    if (password && *password != tag.password())
        return Reply{kWrongPassword, delays.write};
    if (tag.locked[size_t(n)])
        return Reply{kLocked, delays.write};
    if (m_weak && n >= 1 && n <= 6 && !(m_tried & (1u << n))) {
        m_tried |= quint8(1u << n);
        m_written = true;
        return Reply{head + hex8(tag.blocks[size_t(n)]), delays.write};
    }
    tag.blocks[size_t(n)] = data;
    m_written = true;
    if (password)
        return Reply{head + hex8(data), delays.write};
    // Without the password the box reads back what the tag now lets it read.
    if (n == 0 && tag.aor())
        return Reply{kNoTag, delays.write};
    if (n == 0 && tag.pwd())
        return Reply{head + hex8(data >> 4), delays.write};
    return Reply{head + hex8(data), delays.write};
}

BoxEngine::Reply BoxEngine::writeUid(bool hex, const QByteArray &operand)
{
    if (!m_tag || m_tag->aor())
        return Reply{kNoTag, delays.uid};
    m_addressed = true;
    if (m_tag->pwd())
        return Reply{kNeedsPassword, delays.uid};
    const quint64 id = hex ? operand.toULongLong(nullptr, 16) : operand.toULongLong();
    if (!hex && id > 0xFFFFFFFFULL)
        return Reply{kNotHexId, delays.uid};
    if (m_tag->locked[0] || m_tag->locked[1] || m_tag->locked[2])
        return Reply{kLocked, delays.uid};
    m_tag->blocks[0] = T5557::kEm4100Emulation;
    m_tag->setId(id);
    m_written = true;
    return Reply{identifier(id), delays.uid};
}
