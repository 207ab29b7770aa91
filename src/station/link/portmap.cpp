#include "portmap.h"

#include <QDir>

namespace PortMap {

namespace {

struct Range {
    int first;
    int last;
    const char *prefix;
};

// COM1-4 the on-board UARTs, COM5-12 USB adapters, COM13-20 USB modems (CDC-ACM),
// COM21-26 Bluetooth serial links.
constexpr Range kLinuxTable[] = {
    {1, 4, "/dev/ttyS"},
    {5, 12, "/dev/ttyUSB"},
    {13, 20, "/dev/ttyACM"},
    {21, 26, "/dev/rfcomm"},
};

} // namespace

QString deviceFor(int number)
{
    if (number < kFirstPort || number > kLastPort)
        return {};
    const QString dir = qEnvironmentVariable("KESTREL_PORTS_DIR");
    if (!dir.isEmpty())
        return QDir(dir).filePath(QStringLiteral("COM%1").arg(number));
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    for (const Range &r : kLinuxTable) {
        if (number >= r.first && number <= r.last)
            return QString::fromLatin1(r.prefix) + QString::number(number - r.first);
    }
    return {};
#endif
}

QString entryText(int number)
{
    return QStringLiteral("%1").arg(number, 2, 10, QLatin1Char('0'));
}

int numberFor(const QString &device)
{
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (!device.isEmpty() && deviceFor(n) == device)
            return n;
    }
    return 0;
}

} // namespace PortMap
