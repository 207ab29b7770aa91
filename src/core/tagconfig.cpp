#include "tagconfig.h"

namespace TagConfig {

Config decode(quint32 word)
{
    static const int kDivisors[] = {8, 16, 32, 40, 50, 64, 100, 128};
    Config c;
    c.bitRateDivisor = kDivisors[(word >> 18) & 7];
    c.modulationCode = int((word >> 12) & 0x1F);
    // Codes 0 to 8 and 16 are defined; the others are reserved.
    static const char *const kModulations[]
        = {"Direct", "PSK1", "PSK2", "PSK3", "FSK1", "FSK2", "FSK1a", "FSK2a", "Manchester"};
    if (c.modulationCode <= 8)
        c.modulation = QString::fromLatin1(kModulations[c.modulationCode]);
    else if (c.modulationCode == 16)
        c.modulation = QStringLiteral("Biphase");
    c.maxBlock = int((word >> 5) & 7);
    c.pwd = word & kPwd;
    c.aor = word & kAor;
    c.st = word & kSt;
    c.reservedBitsSet = word & kReserved;
    return c;
}

QString describe(const QString &text)
{
    bool ok = false;
    const quint32 word = text.toUInt(&ok, 16);
    if (!ok || text.size() != 8)
        return QStringLiteral("not eight hexadecimal digits");
    const Config c = decode(word);
    if (c.reservedBitsSet || c.modulation.isEmpty())
        return QStringLiteral("not a T5557 configuration");
    const auto onOff = [](bool on) {
        return on ? QStringLiteral("on") : QStringLiteral("off");
    };
    return QStringLiteral("RF/%1, %2, MaxBlock %3, PWD %4, AOR %5, ST %6")
        .arg(c.bitRateDivisor)
        .arg(c.modulation)
        .arg(c.maxBlock)
        .arg(onOff(c.pwd), onOff(c.aor), onOff(c.st));
}

} // namespace TagConfig
