// Record addresses as a line engineer types them (a path, a URI, key=value pairs): never a
// crash, and a password in one is never shown in what the tool says about it.

#include "record/recordaddress.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString location
        = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    static QSqlDatabase db
        = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("fuzz"));
    QString why;
    const bool server = RecordAddress::isServer(location);
    const bool usable = server && RecordAddress::configure(db, location, &why);
    const QString shown = RecordAddress::shown(location);
    // A secret of four characters or more, after a key that carries one (a whole key: libpq
    // refuses "repassword" and the like itself).
    static const QRegularExpression secret(
        QStringLiteral("(?:^|[\\s?&])(?:ssl)?password\\s*=\\s*'?([^\\s'&]{4,})"));
    // A location that is no server address is a file's path, shown as it is.
    const QRegularExpressionMatch m = secret.match(location);
    if (server && m.hasMatch()) {
        const QString value = m.captured(1);
        // Taken only as a part's value (a host named so): never as a password, never shown.
        if (why.contains(value) || shown.contains(value)
            || (usable && db.connectOptions().contains(QStringLiteral("password"))))
            __builtin_trap();
    }
    return 0;
}
