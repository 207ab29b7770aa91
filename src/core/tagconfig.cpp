#include "tagconfig.h"

#include <QStringList>

namespace TagConfig {

namespace {

// Bits neither layout gives a meaning: 27-21 and 8, 2, 1 in the T5557 layout; 27-24 in
// extended mode.
constexpr quint32 kBasicUnused = 0x0FE00000 | 0x00000100 | 0x00000006;
constexpr quint32 kExtendedUnused = 0x0F000000;

QString modulationName(int code)
{
    static const char *const kNames[]
        = {"Direct", "PSK1", "PSK2", "PSK3", "FSK1", "FSK2", "FSK1a", "FSK2a", "Manchester"};
    if (code <= 8)
        return QString::fromLatin1(kNames[code]);
    if (code == 16)
        return QStringLiteral("Biphase");
    // The T5577 adds it; the T5557 leaves the code reserved.
    if (code == 24)
        return QStringLiteral("Biphase ('57)");
    return {};
}

bool isPsk(int code)
{
    return code >= 1 && code <= 3;
}

} // namespace

Config decode(quint32 word)
{
    Config c;
    c.masterKey = int(word >> 28);
    c.extended = (c.masterKey == 6 || c.masterKey == 9) && (word & kXMode);
    if (c.extended) {
        c.bitRateDivisor = 2 * int((word >> 18) & 0x3F) + 2;
    } else {
        static const int kDivisors[] = {8, 16, 32, 40, 50, 64, 100, 128};
        c.bitRateDivisor = kDivisors[(word >> 18) & 7];
    }
    c.modulationCode = int((word >> 12) & 0x1F);
    c.modulation = modulationName(c.modulationCode);
    const int carrier = int((word >> 10) & 3);
    c.pskCarrierDivisor = carrier == 3 ? 0 : 2 << carrier;
    c.aor = word & kAor;
    c.maxBlock = int((word >> 5) & 7);
    c.pwd = word & kPwd;
    c.st = word & kSt;
    c.porDelay = word & kPorDelay;
    if (c.extended) {
        c.otp = word & kOtp;
        c.fastWrite = word & kFastWrite;
        c.inverse = word & kInverse;
    }

    if (c.modulation.isEmpty())
        c.undefined = QStringLiteral("modulation code %1 is reserved").arg(c.modulationCode);
    else if (carrier == 3)
        c.undefined = QStringLiteral("PSK carrier 3 is reserved");
    else if (!c.extended && (word & kXMode))
        c.undefined = QStringLiteral("the X-mode bit needs master key 6 or 9");
    else if (const quint32 unused = word & (c.extended ? kExtendedUnused : kBasicUnused))
        c.undefined = QStringLiteral("bits %1 are unused")
                          .arg(QStringLiteral("%1").arg(unused, 8, 16, QLatin1Char('0')).toUpper());
    return c;
}

QString describe(const QString &text)
{
    bool ok = false;
    const quint32 word = text.toUInt(&ok, 16);
    if (!ok || text.size() != 8)
        return QStringLiteral("not eight hexadecimal digits");
    const Config c = decode(word);
    if (!c.undefined.isEmpty())
        return QStringLiteral("not a T5557-family configuration (%1)").arg(c.undefined);
    const auto onOff = [](bool on) {
        return on ? QStringLiteral("on") : QStringLiteral("off");
    };
    QStringList parts;
    if (c.extended)
        parts << QStringLiteral("extended mode");
    parts << QStringLiteral("RF/%1").arg(c.bitRateDivisor);
    parts << (isPsk(c.modulationCode)
                  ? QStringLiteral("%1 (carrier RF/%2)").arg(c.modulation).arg(c.pskCarrierDivisor)
                  : c.modulation);
    parts << QStringLiteral("MaxBlock %1").arg(c.maxBlock);
    parts << QStringLiteral("PWD %1").arg(onOff(c.pwd));
    parts << QStringLiteral("AOR %1").arg(onOff(c.aor));
    if (c.extended) {
        parts << QStringLiteral("OTP %1").arg(onOff(c.otp));
        parts << QStringLiteral("start marker %1").arg(onOff(c.st));
        parts << QStringLiteral("fast write %1").arg(onOff(c.fastWrite));
        parts << QStringLiteral("inverse data %1").arg(onOff(c.inverse));
    } else {
        parts << QStringLiteral("ST %1").arg(onOff(c.st));
    }
    if (c.porDelay)
        parts << QStringLiteral("POR delay on");
    if (c.masterKey == 6)
        parts << QStringLiteral("master key 6 (test mode off)");
    else if (c.masterKey != 0)
        parts << QStringLiteral("master key %1").arg(c.masterKey);
    return parts.join(QStringLiteral(", "));
}

} // namespace TagConfig
