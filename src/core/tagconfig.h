#pragma once

#include <QString>
#include <QtGlobal>

// The T5557 configuration word in block 0, decoded into what an operator asks about.
namespace TagConfig {

inline constexpr quint32 kPwd = 0x00000010;
inline constexpr quint32 kAor = 0x00000200;
inline constexpr quint32 kSt = 0x00000008;
// Bits the T5557 leaves reserved: set, the word is not a T5557 configuration.
inline constexpr quint32 kReserved = 0xFFE00000 | 0x00020000 | 0x00000100 | 0x00000006;

struct Config {
    int bitRateDivisor = 0;
    int modulationCode = 0;
    // Empty for codes the T5557 does not define.
    QString modulation;
    int maxBlock = 0;
    bool pwd = false;
    bool aor = false;
    bool st = false;
    bool reservedBitsSet = false;
};

Config decode(quint32 word);
// "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off", or what is wrong with the text.
QString describe(const QString &text);

} // namespace TagConfig
