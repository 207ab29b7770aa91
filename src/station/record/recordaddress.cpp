#include "recordaddress.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace {

using Keywords = QList<std::pair<QString, QString>>;

// A key as an error may name it: only one of libpq's own. Text that a quote left out of place
// turns into a "key" may be a piece of the password.
QString named(const QString &key)
{
    static const QStringList libpq{"host",
                                   "hostaddr",
                                   "port",
                                   "dbname",
                                   "user",
                                   "passfile",
                                   "channel_binding",
                                   "connect_timeout",
                                   "client_encoding",
                                   "options",
                                   "application_name",
                                   "fallback_application_name",
                                   "keepalives",
                                   "keepalives_idle",
                                   "keepalives_interval",
                                   "keepalives_count",
                                   "tcp_user_timeout",
                                   "replication",
                                   "gssencmode",
                                   "sslmode",
                                   "requiressl",
                                   "sslcompression",
                                   "sslcert",
                                   "sslkey",
                                   "sslrootcert",
                                   "sslcrl",
                                   "sslcrldir",
                                   "sslsni",
                                   "requirepeer",
                                   "ssl_min_protocol_version",
                                   "ssl_max_protocol_version",
                                   "krbsrvname",
                                   "gsslib",
                                   "service",
                                   "target_session_attrs"};
    return libpq.contains(key) ? key : QStringLiteral("a key that is not libpq's");
}

// The keywords of a libpq key=value string ("host=/run/pg dbname=kestrel user='a b'"); a value
// may be single-quoted, with backslash escapes.
bool parseKeywords(const QString &text, Keywords *out, QString *why)
{
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && text.at(i).isSpace())
            ++i;
    };
    for (skipBlanks(); i < text.size(); skipBlanks()) {
        const qsizetype eq = text.indexOf(u'=', i);
        if (eq < 0) {
            // Not quoted: the word may be a password written without its key.
            *why
                = QStringLiteral("a word without a value follows %1")
                      .arg(out->isEmpty() ? QStringLiteral("the start") : named(out->last().first));
            return false;
        }
        const QString key = text.mid(i, eq - i).trimmed();
        i = eq + 1;
        skipBlanks();
        QString value;
        if (i < text.size() && text.at(i) == u'\'') {
            for (++i; i < text.size() && text.at(i) != u'\''; ++i) {
                if (text.at(i) == u'\\' && i + 1 < text.size())
                    ++i;
                value += text.at(i);
            }
            if (i >= text.size()) {
                *why = QStringLiteral("the value of %1 has no closing quote").arg(named(key));
                return false;
            }
            ++i;
        } else {
            while (i < text.size() && !text.at(i).isSpace())
                value += text.at(i++);
        }
        out->append({key, value});
    }
    return true;
}

// A URI (postgresql://user@host:port/db?key=value) as the same keywords.
bool uriKeywords(const QString &location, Keywords *out, QString *why)
{
    const QUrl url(location, QUrl::StrictMode);
    if (!url.isValid()) {
        // Qt's own text quotes the whole address, password included.
        *why = QStringLiteral("it is not a valid address");
        return false;
    }
    if (!url.password().isEmpty())
        out->append({QStringLiteral("password"), url.password()});
    if (!url.host().isEmpty())
        out->append({QStringLiteral("host"), url.host()});
    if (url.port() > 0)
        out->append({QStringLiteral("port"), QString::number(url.port())});
    if (url.path().size() > 1)
        out->append({QStringLiteral("dbname"), url.path().mid(1)});
    if (!url.userName().isEmpty())
        out->append({QStringLiteral("user"), url.userName()});
    for (const auto &[key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
        out->append({key, value});
    return true;
}

} // namespace

namespace RecordAddress {

bool isServer(const QString &location)
{
    if (location.startsWith(QLatin1String("postgresql://"))
        || location.startsWith(QLatin1String("postgres://")))
        return true;
    // libpq's key=value form begins with one of its keywords; a file name does not.
    static const QRegularExpression keyword(QStringLiteral(
        "^\\s*(host|hostaddr|port|dbname|user|service|sslmode|connect_timeout|application_name|"
        "options|passfile|target_session_attrs|sslrootcert|sslcert|sslkey)\\s*="));
    return keyword.match(location).hasMatch();
}

// A libpq address, a URI or key=value pairs, as the driver's settings. The driver takes no
// address, only its parts; a password in it is refused, never kept.
bool configure(QSqlDatabase &db, const QString &location, QString *why)
{
    // The driver hands the parts on as C strings: a control character would cut one short,
    // or hide a key inside another's value.
    if (std::any_of(location.cbegin(), location.cend(),
                    [](QChar c) { return c.unicode() < 0x20 && c != u'\t'; })) {
        *why = QStringLiteral("it holds a control character");
        return false;
    }
    Keywords keywords;
    const bool uri = location.startsWith(QLatin1String("postgresql://"))
                     || location.startsWith(QLatin1String("postgres://"));
    if (!(uri ? uriKeywords(location, &keywords, why) : parseKeywords(location, &keywords, why)))
        return false;
    QStringList options;
    for (const auto &[key, value] : keywords) {
        // sslpassword unlocks the client key: as secret as the login's password. No other
        // key of libpq holds the word; one that does is a misspelt secret.
        if (key.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
            *why = QStringLiteral("it holds a password; keep it in ~/.pgpass instead");
            return false;
        }
        if (key == QLatin1String("host"))
            db.setHostName(value);
        else if (key == QLatin1String("port"))
            db.setPort(value.toInt());
        else if (key == QLatin1String("dbname"))
            db.setDatabaseName(value);
        else if (key == QLatin1String("user"))
            db.setUserName(value);
        else if (value.contains(u';')) {
            *why = QStringLiteral("the value of %1 holds a semicolon").arg(named(key));
            return false;
        } else {
            QString quoted = value;
            quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
            options << key + QStringLiteral("='") + quoted + u'\'';
        }
    }
    // A station waits a few seconds for a server that is away, not the default for ever, and
    // no statement or dead connection holds the record's thread for long.
    const auto given = [&keywords](const char *key) {
        return std::any_of(keywords.cbegin(), keywords.cend(),
                           [key](const auto &k) { return k.first == QLatin1String(key); });
    };
    if (!given("connect_timeout"))
        options << QStringLiteral("connect_timeout=3");
    if (!given("keepalives_idle"))
        options << QStringLiteral("keepalives_idle=5") << QStringLiteral("keepalives_interval=2")
                << QStringLiteral("keepalives_count=3");
    if (!given("options"))
        options << QStringLiteral("options='-c statement_timeout=5000'");
    db.setConnectOptions(options.join(u';'));
    return true;
}

// An address as it may be shown: never with its password.
QString shown(const QString &location)
{
    // Rebuilt from its parts, so a password (or what may be one) never survives a quirk of
    // the text; an address that does not parse is not shown at all.
    const QString hidden = QStringLiteral("(an address that holds a password)");
    if (!location.contains(QLatin1String("://"))) {
        if (!location.contains(QLatin1String("password"), Qt::CaseInsensitive))
            return location;
        Keywords keywords;
        QString why;
        if (!parseKeywords(location, &keywords, &why))
            return hidden;
        QStringList parts;
        for (const auto &[key, value] : keywords) {
            // Also in a value: a byte no blank ends ("host=db\0sslpassword=...") hides a key.
            if (key.contains(QLatin1String("password"), Qt::CaseInsensitive)
                || value.contains(QLatin1String("password"), Qt::CaseInsensitive))
                return hidden;
            parts << key + u'=' + value;
        }
        return parts.join(u' ');
    }
    QUrl url(location, QUrl::StrictMode);
    if (!url.isValid())
        return QStringLiteral("(an address that cannot be read)");
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("password"));
    url.setQuery(query);
    const QString shown = url.toString(QUrl::RemovePassword);
    return shown.contains(QLatin1String("password"), Qt::CaseInsensitive) ? hidden : shown;
}

} // namespace RecordAddress
