#pragma once

#include <QString>

class QSqlDatabase;

// Where the production record is: a file, or a PostgreSQL server named the ways libpq takes
// (a URI, or key=value pairs). A password in an address is refused, and never shown.
namespace RecordAddress {

bool isServer(const QString &location);
// The server's address as the driver's settings, with time-outs unless it sets them; false
// (and why) when it cannot be used.
bool configure(QSqlDatabase &db, const QString &location, QString *why);
// The address as messages may show it: never with its password.
QString shown(const QString &location);

} // namespace RecordAddress
