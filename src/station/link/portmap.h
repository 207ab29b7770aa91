#pragma once

#include <QString>

// The tool addresses ports by number (1..26, shown as "01".."26"); this maps a number to
// the device path. With KESTREL_PORTS_DIR set, port N is $KESTREL_PORTS_DIR/COMN and
// nothing else is probed.
namespace PortMap {

inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 26;

QString deviceFor(int number);
QString entryText(int number);
// The number whose device this is on this PC; 0 when no number names it.
int numberFor(const QString &device);

} // namespace PortMap
