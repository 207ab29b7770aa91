// Record addresses as a line engineer types them (a path, a URI, key=value pairs): never a
// crash, and a password in one is never shown in what the tool says about it.

#include "station/record/recordaddress.h"

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
    // A secret of four characters or more, right after a key that carries one (a whole key:
    // libpq refuses "repassword" and the like itself). Blanks around "=" are left to the unit
    // tests: with them, which word is the value is libpq's reading, not the pattern's.
    static const QRegularExpression secret(
        QStringLiteral("(?:^|[\\s?&])(?:ssl)?password=('?)([^\\s'&]{4,})"));
    // A location that is no server address is a file's path, shown as it is.
    const QRegularExpressionMatch m = secret.match(location);
    if (server && m.hasMatch()) {
        const QString value = m.captured(2);
        // The tool's own words may hold a "secret" such as "sswo" by chance.
        static const QString ours = QStringLiteral(
            "(an address that holds a password)(an address that cannot be read)it holds a "
            "password; keep it in ~/.pgpass instead. it holds a control character");
        // Never shown; and taken, if at all, only inside another part's value (a host or a
        // database named so), never as a key of its own.
        // Nor may the same text stand elsewhere in the address (a host named like it).
        if (!ours.contains(value) && location.count(value) == 1
            && (why.contains(value) || shown.contains(value)))
            __builtin_trap();
        if (usable) {
            for (const QString &option : db.connectOptions().split(u';')) {
                if (option.section(u'=', 0, 0)
                        .contains(QStringLiteral("password"), Qt::CaseInsensitive))
                    __builtin_trap();
            }
        }
    }
    return 0;
}
