#include "tagconfig.h"

namespace TagConfig {

Config decode(quint32 word)
{
    static const int kDivisors[] = {8, 16, 32, 40, 50, 64, 100, 128};
    Config c;
    c.bitRateDivisor = kDivisors[(word >> 18) & 7];
    c.modulationCode = int((word >> 12) & 0x1F);
    switch (c.modulationCode) {
    case 0:
        c.modulation = QStringLiteral("Direct");
        break;
    case 1:
    case 2:
    case 3:
        c.modulation = QStringLiteral("PSK%1").arg(c.modulationCode);
        break;
    case 4:
        c.modulation = QStringLiteral("FSK1");
        break;
    case 5:
        c.modulation = QStringLiteral("FSK2");
        break;
    case 6:
        c.modulation = QStringLiteral("FSK1a");
        break;
    case 7:
        c.modulation = QStringLiteral("FSK2a");
        break;
    case 8:
        c.modulation = QStringLiteral("Manchester");
        break;
    case 16:
        c.modulation = QStringLiteral("Biphase");
        break;
    default:
        break;
    }
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
