#pragma once

#include "core/em4100.h"

#include <QString>
#include <QtGlobal>
#include <array>
#include <optional>

// A T5557-family tag as the virtual box holds it: eight 32-bit blocks, block 0 the
// configuration word, block 7 the password.
namespace T5557 {

inline constexpr quint32 kPwd = 0x00000010;
inline constexpr quint32 kAor = 0x00000200;
// RF/64, Manchester, MaxBlock 2: the word that makes the tag emulate an EM4100 tag.
inline constexpr quint32 kEm4100Emulation = 0x00148040;
inline constexpr int kBlocks = 8;

struct Tag {
    std::array<quint32, kBlocks> blocks{};
    std::array<bool, kBlocks> locked{};

    bool pwd() const { return blocks[0] & kPwd; }
    bool aor() const { return blocks[0] & kAor; }
    quint32 password() const { return blocks[7]; }
    // Block 0 is the emulation word once the protection bits are set aside.
    bool isConfigured() const { return (blocks[0] & ~(kPwd | kAor)) == kEm4100Emulation; }
    std::optional<quint64> id() const;
    void setId(quint64 id);
    QString describe() const;
};

Tag blankTag();
Tag configuredTag();
Tag tagWithId(quint64 id);
Tag protectedTag(quint32 password, quint64 id, bool aor);
// As delivered (ConfigWord::kBlank), every other block zero.
Tag deliveredTag();
// Configured for another system (any word, extended mode too), its blocks holding that
// system's data; with a password, PWD is set and block 7 holds it.
Tag foreignTag(quint32 word, std::optional<quint32> password);

} // namespace T5557
