#pragma once

#include <QString>
#include <QtGlobal>

// The configuration word in block 0 of a T5557-family tag, decoded into what an operator asks
// about. A T5577 under master key 6 or 9 with the X-mode bit set runs in extended mode, where
// the bit rate has six bits and the low bits gain meanings; everything else is the T5557 layout.
namespace TagConfig {

inline constexpr quint32 kPwd = 0x00000010;
inline constexpr quint32 kAor = 0x00000200;
inline constexpr quint32 kSt = 0x00000008;
inline constexpr quint32 kXMode = 0x00020000;
inline constexpr quint32 kOtp = 0x00000100;
inline constexpr quint32 kFastWrite = 0x00000004;
inline constexpr quint32 kInverse = 0x00000002;
inline constexpr quint32 kPorDelay = 0x00000001;

struct Config {
    // Bits 31-28: 6 shuts the test mode; 6 or 9 let the X-mode bit choose extended mode.
    int masterKey = 0;
    bool extended = false;
    int bitRateDivisor = 0;
    int modulationCode = 0;
    // Empty for codes no family member defines.
    QString modulation;
    // 2, 4 or 8; 0 for the reserved value 3.
    int pskCarrierDivisor = 0;
    int maxBlock = 0;
    bool pwd = false;
    bool aor = false;
    // The sequence terminator; in extended mode the same bit is the sequence start marker.
    bool st = false;
    // Extended mode only.
    bool otp = false;
    bool fastWrite = false;
    bool inverse = false;
    bool porDelay = false;
    // Why no family member would take the word, in words; empty when one does.
    QString undefined;
};

Config decode(quint32 word);
// "RF/64, Manchester, MaxBlock 2, PWD off, AOR off, ST off", or what is wrong with the text.
QString describe(const QString &text);

} // namespace TagConfig
