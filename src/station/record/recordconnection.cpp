#include "recordconnection.h"

#include "recordaddress.h"
#include "recordschema.h"
#include "recordspool.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>

namespace {

constexpr int kBusyTimeoutMs = RecordSpool::kBusyTimeoutMs;

} // namespace

RecordConnection::RecordConnection(const QString &location, Mode mode)
    : m_path(location)
    , m_shown(RecordAddress::isServer(location) ? RecordAddress::shown(location)
                                                : QDir::toNativeSeparators(location))
    , m_connection(QStringLiteral("record-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    , m_server(RecordAddress::isServer(location))
    , m_spoolOnly(mode == Mode::SpoolOnly)
{
    if (m_spoolOnly) {
        openSpool();
        return;
    }
    if (m_server) {
        m_open = openServer();
        if (m_open)
            resume();
        return;
    }
    m_open = openFile();
    // Outcomes a full disk or a held lock kept back: a file that cannot spool keeps them in
    // memory instead.
    if (m_open && m_writable && openSpool() && spooled() > 0) {
        m_pending = true;
        resume();
    }
}

RecordConnection::~RecordConnection()
{
    m_prepared.clear();
    m_spool.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase RecordConnection::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

void RecordConnection::fail(const QString &what, const QString &why)
{
    m_writable = false;
    if (m_problem.isEmpty())
        m_problem = why.isEmpty() ? what : what + QStringLiteral(": ") + why;
}

QString RecordConnection::plainError(const QSqlError &e)
{
    const QString code = e.nativeErrorCode();
    const QString text = e.text();
    const auto says = [&text](const char *words) {
        return text.contains(QLatin1String(words), Qt::CaseInsensitive);
    };
    // SQLite's result codes, PostgreSQL's SQLSTATE, and libpq's words before a connection.
    if (code == QLatin1String("13") || says("database or disk is full"))
        return QStringLiteral("the disk is full");
    if (code == QLatin1String("5") || code == QLatin1String("6") || says("database is locked"))
        return QStringLiteral("another program holds its write lock");
    if (code == QLatin1String("8") || says("readonly database"))
        return QStringLiteral("it is read-only");
    if (code == QLatin1String("25006") || says("read-only transaction"))
        return QStringLiteral("the server takes no changes (it is read-only)");
    if (code == QLatin1String("57014") || says("statement timeout"))
        return QStringLiteral("the server did not answer in time");
    if (code.startsWith(QLatin1String("28")) || says("authentication failed")
        || (says("role \"") && says("does not exist")))
        return QStringLiteral("the server refused the login");
    if (code == QLatin1String("3D000") || (says("database \"") && says("does not exist")))
        return QStringLiteral("there is no such database");
    if (code == QLatin1String("42P01") || says("relation \""))
        return QStringLiteral("it holds no production record (set it up with "
                              "record-postgresql.sql)");
    if (code.startsWith(QLatin1String("08")) || says("could not connect")
        || (says("connection to server") && says("failed")) || says("connection refused")
        || says("server closed the connection") || says("no connection") || says("timeout expired")
        || says("could not translate"))
        return QStringLiteral("it cannot be reached");
    // Anything else: the driver's first line, which is the part that says what happened.
    const QString first = text.section(u'\n', 0, 0).trimmed();
    return first.isEmpty() ? QStringLiteral("an unknown error") : first;
}

bool RecordConnection::refusesForGood(const QSqlError &e)
{
    bool number = false;
    const int code = e.nativeErrorCode().toInt(&number);
    const QString text = e.text();
    // Qt's own words for a statement that failed to prepare, run anyway.
    if (e.nativeErrorCode().isEmpty())
        return text.contains(QLatin1String("Parameter count mismatch"));
    if (number) {
        // SQLite: a constraint, a type mismatch, a bind out of range; an error of the statement
        // (its words say which: a lock or a full disk has codes of its own).
        const int primary = code & 0xff;
        return primary == 19 || primary == 20 || primary == 25
               || (primary == 1
                   && (text.contains(QLatin1String("no such column"))
                       || text.contains(QLatin1String("has no column"))
                       || text.contains(QLatin1String("syntax error"))));
    }
    // PostgreSQL: data exceptions and integrity constraints; a statement that names what this
    // record has not (a privilege is granted by its owner, so that one waits).
    const QString sqlState = e.nativeErrorCode();
    return sqlState.startsWith(QLatin1String("22")) || sqlState.startsWith(QLatin1String("23"))
           || sqlState == QLatin1String("42601") || sqlState == QLatin1String("42703")
           || sqlState == QLatin1String("42804");
}

bool RecordConnection::exec(const QString &sql)
{
    QSqlQuery q(database());
    return q.exec(sql) || failed(q);
}

bool RecordConnection::execute(QSqlQuery &q)
{
    return q.exec() || failed(q);
}

bool RecordConnection::failed(const QSqlQuery &q)
{
    // A record that was open and fails now may come back (space freed, a lock let go); the
    // latest reason is the one worth showing then.
    if (m_open && (m_recoverable || m_problem.isEmpty())) {
        m_recoverable = true;
        m_problem.clear();
    }
    m_detail = q.lastError().text().trimmed();
    fail(QStringLiteral("%1 cannot be written").arg(m_shown), plainError(q.lastError()));
    return false;
}

bool RecordConnection::openFile()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        fail(QStringLiteral("the SQLite driver of Qt is missing (package libqt6sql6-sqlite)"), {});
        return false;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        fail(QStringLiteral("the folder %1 cannot be created").arg(folder), {});
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db.open()) {
        fail(QStringLiteral("%1 cannot be opened").arg(m_path), db.lastError().text());
        return false;
    }
    // Nothing is written before the file is known as ours.
    const RecordSchema::Found found = RecordSchema::inspect(db);
    if (found.version < 0) {
        fail(QStringLiteral("%1 is not a production record").arg(m_path), found.error);
        db.close();
        return false;
    }
    if (found.version > RecordSchema::kVersion) {
        // Written by a newer tool: shown as it is, never altered.
        db.close();
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        fail(QStringLiteral("%1 was written by a newer version of the tool (record version %2); "
                            "it is open read-only and left untouched")
                 .arg(m_path)
                 .arg(found.version),
             {});
        return db.open();
    }
    if (!RecordSchema::isRecord(found)) {
        fail(QStringLiteral("%1 is not a production record (it holds other tables); it was "
                            "left untouched")
                 .arg(m_path),
             {});
        db.close();
        return false;
    }
    m_writable = true;
    if (!useWal() || !exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
        || !migrate(found.version)) {
        db.close();
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'salt'")))
        return true;
    if (q.next()) {
        m_salt = QByteArray::fromHex(q.value(0).toByteArray());
        return true;
    }
    QByteArray salt(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(salt.data()), 4);
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO meta (key, value) VALUES ('salt', ?)"));
    q.addBindValue(QString::fromLatin1(salt.toHex()));
    if (!execute(q))
        return true;
    // Another window may have set it first.
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'salt'")) && q.next())
        m_salt = QByteArray::fromHex(q.value(0).toByteArray());
    return true;
}

bool RecordConnection::useWal()
{
    // Switching a new file to WAL needs it alone, and SQLite's busy wait does not cover that:
    // a second window (or the record's writer) opening the file at the same moment retries.
    const QDeadlineTimer deadline(kBusyTimeoutMs);
    for (;;) {
        QSqlQuery q(database());
        if (q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
            return true;
        if (deadline.hasExpired())
            return failed(q);
        QThread::msleep(10);
    }
}

bool RecordConnection::migrate(int from)
{
    if (from >= RecordSchema::kVersion)
        return true;
    QSqlError error;
    if (RecordSchema::migrate(database(), &error))
        return true;
    m_detail = error.text().trimmed();
    fail(QStringLiteral("%1 cannot be written").arg(m_shown), plainError(error));
    return false;
}

bool RecordConnection::openServer()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        fail(QStringLiteral("the PostgreSQL driver of Qt is missing (package libqt6sql6-psql)"),
             {});
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    QString why;
    if (!RecordAddress::configure(db, m_path, &why)) {
        fail(QStringLiteral("%1 is not a usable record address").arg(m_shown), why);
        // Refused for good (no spool, so no retry): nothing may reach the default server
        // nobody named.
        return false;
    }
    if (!openSpool()) {
        // Without a spool an outcome could be lost while the server is away: record nothing.
        m_spool.reset();
        fail(QStringLiteral("the spool %1 cannot be written").arg(RecordSpool::path()), {});
        return false;
    }
    return true;
}

bool RecordConnection::connectServer()
{
    m_prepared.clear();
    QSqlDatabase db = database();
    if (db.isOpen())
        db.close();
    if (!db.open()) {
        goOffline(db.lastError());
        return false;
    }
    QSqlQuery q(db);
    m_problem.clear();
    if (!q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'schema_version'"))
        || !q.next()) {
        m_detail = q.lastError().text().trimmed();
        fail(QStringLiteral("%1 holds no production record (set it up with "
                            "record-postgresql.sql)")
                 .arg(m_shown),
             {});
        db.close();
        return false;
    }
    const int version = q.value(0).toInt();
    if (version != RecordSchema::kVersion) {
        // Only the record's owner may add tables: the station says which script does it.
        const QString upgrade
            = version < RecordSchema::kVersion
                  ? QStringLiteral(" (its owner upgrades it with record-postgresql-upgrade-%1.sql)")
                        .arg(version + 1)
                  : QString();
        fail(QStringLiteral("%1 holds production record version %2; this tool writes version %3%4")
                 .arg(m_shown)
                 .arg(version)
                 .arg(RecordSchema::kVersion)
                 .arg(upgrade),
             {});
        db.close();
        return false;
    }
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'salt'")) && q.next())
        m_salt = QByteArray::fromHex(q.value(0).toByteArray());
    m_connected = true;
    return true;
}

void RecordConnection::goOffline(const QSqlError &why)
{
    m_prepared.clear();
    m_connected = false;
    m_writable = false;
    m_detail = why.text().trimmed();
    const QString plain = plainError(why);
    m_problem = plain == QLatin1String("it cannot be reached")
                    ? QStringLiteral("the server %1 cannot be reached").arg(m_shown)
                    : QStringLiteral("the server %1: %2").arg(m_shown, plain);
}

bool RecordConnection::serverGone(const QSqlQuery &failed)
{
    QSqlQuery ping(database());
    if (ping.exec(QStringLiteral("SELECT 1")))
        return false;
    // The statement that failed usually says more than the ping after it.
    goOffline(failed.lastError().text().trimmed().isEmpty() ? ping.lastError()
                                                            : failed.lastError());
    return true;
}

int RecordConnection::spooled() const
{
    return m_spool ? m_spool->count() : 0;
}

int RecordConnection::heldInMemory() const
{
    return m_spool ? m_spool->inMemory() : 0;
}

bool RecordConnection::openSpool()
{
    m_spool = std::make_unique<RecordSpool>(m_path, m_connection + QStringLiteral("-spool"));
    if (!m_spool->hasFile())
        m_detail = m_spool->fileProblem();
    return m_spool->hasFile();
}

bool RecordConnection::spool(const QString &sql, const QVariantList &args)
{
    if (!m_spool)
        return false;
    m_pending = true;
    m_spool->add(sql, args);
    return true;
}

bool RecordConnection::sendSpooled()
{
    return !m_spool
           || m_spool->sendAll([this](const QString &sql, const QVariantList &args, QString *why) {
                  return sendOne(sql, args, why);
              });
}

RecordSpool::Sent RecordConnection::sendOne(const QString &sql, const QVariantList &args,
                                            QString *why)
{
    QSqlQuery q(database());
    // A statement the record cannot even prepare says why there, not when it runs.
    const bool prepared = q.prepare(sql);
    const QSqlError prepareError = q.lastError();
    for (const QVariant &v : args)
        q.addBindValue(v);
    if (prepared && q.exec())
        return RecordSpool::Sent::Taken;
    const QSqlError error = prepared ? q.lastError() : prepareError;
    if (refusesForGood(error)) {
        *why = error.text();
        return RecordSpool::Sent::Refused;
    }
    lost(q);
    return RecordSpool::Sent::Later;
}

int RecordConnection::refused() const
{
    return m_spool ? m_spool->refused() : 0;
}

QString RecordConnection::lastRefusal() const
{
    return m_spool ? m_spool->lastRefusal() : QString();
}

bool RecordConnection::probe()
{
    QSqlQuery q(database());
    if (m_server) {
        if (!q.exec(QStringLiteral("SHOW transaction_read_only")) || !q.next())
            return serverGone(q) ? false : failed(q);
        if (q.value(0).toString() != QLatin1String("on"))
            return true;
        m_recoverable = true;
        m_writable = false;
        m_problem = QStringLiteral("%1 cannot be written: the server takes no changes (it is "
                                   "read-only)")
                        .arg(m_shown);
        return false;
    }
    // A write rolled back: it needs the lock and a free page, as the next outcome will.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failed(q);
    const bool ok = q.exec(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) "
                                          "VALUES ('probe', hex(randomblob(4096)))"));
    QSqlQuery rollback(database());
    rollback.exec(QStringLiteral("ROLLBACK"));
    return ok || failed(q);
}

bool RecordConnection::reconnect()
{
    if (!m_server || !m_spool)
        return isOpen();
    QSqlQuery ping(database());
    if (m_connected && ping.exec(QStringLiteral("SELECT 1")))
        return true;
    m_connected = false;
    return connectServer();
}

bool RecordConnection::resume()
{
    if (!m_open)
        return false;
    // A file that is not ours, or newer than this tool, stays as it is.
    if (!m_server && !m_writable && !m_recoverable)
        return false;
    if (m_server && (!m_spool || (!m_connected && !connectServer())))
        return false;
    const bool hadPending = m_pending || spooled() > 0;
    if (!sendSpooled())
        return false;
    // Statements that went through say the record takes changes; otherwise it is asked.
    if (!hadPending && !m_writable && !probe())
        return false;
    m_pending = false;
    m_writable = true;
    m_recoverable = false;
    m_problem.clear();
    m_detail.clear();
    return true;
}

std::shared_ptr<QSqlQuery> RecordConnection::prepared(const QString &sql, const QVariantList &args)
{
    std::shared_ptr<QSqlQuery> &q = m_prepared[sql];
    if (!q) {
        // Prepared once per connection: a server answers a prepared statement in one round trip.
        q = std::make_shared<QSqlQuery>(database());
        q->prepare(sql);
    }
    for (int i = 0; i < args.size(); ++i)
        q->bindValue(i, args[i]);
    // Shared: the cache may be emptied (the server went away) while the caller still uses it.
    return q;
}

bool RecordConnection::write(const QString &sql, const QVariantList &args)
{
    if (m_spoolOnly)
        return spool(sql, args);
    // A record that never opened, or one that must stay as it is, takes nothing.
    if (!m_open || (!m_server && !m_writable && !m_recoverable))
        return false;
    if (m_server && !m_spool)
        return false;
    // While the record is off statements wait, and the record's thread tries it again now and
    // then: a held lock or a server away would hold up every statement otherwise.
    if (!m_problem.isEmpty())
        return spool(sql, args);
    // Waiting statements go first, or this one waits behind them.
    if ((!m_writable || m_pending || (m_server && !m_connected)) && !resume())
        return spool(sql, args);
    const std::shared_ptr<QSqlQuery> q = prepared(sql, args);
    const bool done = q->exec();
    q->finish();
    if (done)
        return true;
    // Sending it again cannot help: it is kept on this PC and the record stays on.
    if (m_spool && refusesForGood(q->lastError())) {
        m_spool->setAside(sql, args, q->lastError().text());
        return true;
    }
    // Whatever else the error, the statement waits to be sent again; nothing that reached the
    // tool is lost, and the statements are safe to send twice.
    lost(*q);
    return spool(sql, args);
}

bool RecordConnection::lost(const QSqlQuery &q)
{
    if (!m_server || !serverGone(q))
        failed(q);
    return false;
}

bool RecordConnection::mayAsk()
{
    // A record that is off is not asked: it answers once its thread has brought it back.
    return m_open && m_problem.isEmpty() && (!m_server || (m_connected && !m_pending) || resume());
}
