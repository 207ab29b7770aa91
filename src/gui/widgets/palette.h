#pragma once

#include <QtGlobal>

// The seven colours of log lines and status texts, stored as 0x00BBGGRR like the box's
// original palette so the numbers can be compared with what operators know.
namespace Palette {

inline constexpr quint32 ColorDeepPink = 9639167;
inline constexpr quint32 ColorBlue = 16711680;
inline constexpr quint32 ColorRed = 255;
inline constexpr quint32 ColorDodgerBlue = 16748574;
inline constexpr quint32 ColorGreen = 32768;
inline constexpr quint32 ColorOrangeRed = 17919;
inline constexpr quint32 ColorSteel = 14316598;

inline constexpr quint32 ColorPurple = 8388736;
inline constexpr quint32 ColorRoyalBlue = 14706497;
inline constexpr quint32 ColorMagenta = 16711935;
inline constexpr quint32 ColorDarkGrey = 8421504;

} // namespace Palette
