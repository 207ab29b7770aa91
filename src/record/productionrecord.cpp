#include "productionrecord.h"

#include "core/settingsstore.h"
#include "core/uid.h"
#include "recordaddress.h"
#include "recordspool.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QMutex>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

using AutoLoop::TagOutcome;
using AutoLoop::Write;

namespace {

QString g_configuredPath;

constexpr int kBusyTimeoutMs = RecordSpool::kBusyTimeoutMs;

// Each step takes the schema one version further; a file is never taken backwards.
const QList<QStringList> kMigrations = {
    {
        QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE batch (id INTEGER PRIMARY KEY, started TEXT NOT NULL, "
                       "stopped TEXT, station TEXT NOT NULL, port TEXT, options TEXT, "
                       "blocks TEXT, first_uid TEXT, step TEXT, base TEXT, "
                       "manual INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE TABLE tag (id INTEGER PRIMARY KEY, "
                       "batch_id INTEGER NOT NULL REFERENCES batch(id), started TEXT NOT NULL, "
                       "ended TEXT, uid_asked TEXT, uid_read TEXT, "
                       "uid_confirmed INTEGER NOT NULL DEFAULT 0, base TEXT, writes TEXT, "
                       "password_written INTEGER NOT NULL DEFAULT 0, password_fingerprint TEXT, "
                       "locked INTEGER NOT NULL DEFAULT 0, retries INTEGER NOT NULL DEFAULT 0, "
                       "result TEXT NOT NULL, detail TEXT)"),
    },
    {
        QStringLiteral("ALTER TABLE batch ADD COLUMN pid INTEGER"),
        QStringLiteral("CREATE INDEX tag_uid_read ON tag(uid_read)"),
        QStringLiteral("CREATE INDEX tag_uid_asked ON tag(uid_asked)"),
        QStringLiteral("CREATE INDEX tag_batch ON tag(batch_id)"),
    },
    {
        QStringLiteral("ALTER TABLE batch ADD COLUMN uuid TEXT"),
        QStringLiteral("ALTER TABLE tag ADD COLUMN uuid TEXT"),
        QStringLiteral("CREATE UNIQUE INDEX batch_uuid ON batch(uuid)"),
        QStringLiteral("CREATE UNIQUE INDEX tag_uuid ON tag(uuid)"),
        QStringLiteral("CREATE TABLE reservation (uid TEXT PRIMARY KEY, station TEXT NOT NULL, "
                       "port TEXT NOT NULL DEFAULT '', batch_uuid TEXT, reserved TEXT NOT NULL)"),
    },
    {
        // Reservations of version 3 were never released: each is in doubt until a supervisor
        // says otherwise. 'held': reserved ahead, no write of it can have gone; 'sent': a write
        // of it may have gone; 'released': free for any batch.
        QStringLiteral("ALTER TABLE reservation ADD COLUMN tag_id INTEGER"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN station_key TEXT"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN state TEXT NOT NULL DEFAULT 'sent'"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN released TEXT"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN released_by TEXT"),
        QStringLiteral("CREATE UNIQUE INDEX reservation_tag_id ON reservation(tag_id)"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN station_key TEXT"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN note TEXT"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN tags INTEGER"),
    },
};

// Every change the record takes, each safe to send twice (a spooled statement may have
// reached the server before the connection broke). A row goes in only where none of its key
// is: on a server an insert that meets a conflict still uses up an id.
const QString kInsertBatch = QStringLiteral(
    "INSERT INTO batch (uuid, started, station, port, options, blocks, first_uid, step, base, "
    "manual, pid, station_key) SELECT ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? "
    "WHERE NOT EXISTS (SELECT 1 FROM batch WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");
// A batch that stopped keeps its count of tags: the Records window lists batches of millions.
const QString kEndBatch = QStringLiteral(
    "UPDATE batch SET stopped = ?, tags = (SELECT count(*) FROM tag WHERE batch_id = batch.id) "
    "WHERE uuid = ?");
const QString kInsertTag = QStringLiteral(
    "INSERT INTO tag (uuid, batch_id, started, uid_asked, base, result) "
    "SELECT ?, id, ?, ?, ?, 'in progress' FROM batch WHERE uuid = ? AND NOT EXISTS "
    "(SELECT 1 FROM tag WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");
// A tag's whole outcome: its row is completed, or goes in now if its start was not recorded.
const QString kCompleteTag = QStringLiteral(
    "UPDATE tag SET ended = ?, uid_asked = ?, uid_read = ?, uid_confirmed = ?, base = ?, "
    "writes = ?, password_written = ?, password_fingerprint = ?, locked = ?, retries = ?, "
    "result = ?, detail = ? WHERE uuid = ?");
const QString kEndTag = QStringLiteral(
    "INSERT INTO tag (uuid, batch_id, started, ended, uid_asked, uid_read, uid_confirmed, base, "
    "writes, password_written, password_fingerprint, locked, retries, result, detail) "
    "SELECT ?, id, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? FROM batch WHERE uuid = ? AND NOT "
    "EXISTS (SELECT 1 FROM tag WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");
// Holds a tag ID nobody holds and no tag carries, for one batch; no row goes in otherwise (a
// UID text or a tag ID held already is a conflict).
const QString kReserve = QStringLiteral(
    "INSERT INTO reservation (uid, tag_id, station, port, station_key, batch_uuid, reserved, "
    "state) SELECT ?, ?, ?, ?, ?, ?, ?, 'held' WHERE NOT EXISTS (SELECT 1 FROM tag WHERE %1) "
    "ON CONFLICT DO NOTHING");
// A released tag ID is taken by the first batch that asks.
const QString kTakeReleased = QStringLiteral(
    "UPDATE reservation SET station = ?, port = ?, station_key = ?, batch_uuid = ?, "
    "reserved = ?, state = 'held', released = NULL, released_by = NULL "
    "WHERE (tag_id = ? OR uid = ?) AND state = 'released'");
// A confirmed tag row (named by prefix) carrying one ID, in either base: ? are the hexadecimal
// spelling twice and the decimal one twice (NULL when there is none).
QString carriesId(const QString &t)
{
    // A row of an old record without a base matches either spelling.
    return QStringLiteral("%1uid_confirmed = 1 AND ((%1base = 'HEX' AND (%1uid_read = ? OR "
                          "%1uid_asked = ?)) OR (%1base = 'DEC' AND (%1uid_read = ? OR "
                          "%1uid_asked = ?)) OR (%1base IS NULL AND (%1uid_read IN (?, ?) OR "
                          "%1uid_asked IN (?, ?))))")
        .arg(t);
}

QVariantList idArgs(quint64 id)
{
    const QStringList texts = Uid::spellings(id);
    const QVariant dec
        = texts.size() > 1 ? QVariant(texts[1]) : QVariant(QMetaType(QMetaType::QString));
    return {texts[0], texts[0], dec, dec, texts[0], dec, texts[0], dec};
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString nowText()
{
    return timeText(QDateTime::currentMSecsSinceEpoch());
}

// What was written, never the password: "3:33333333=33333333 7:(password)=ok".
QString describeWrites(const QList<Write> &writes)
{
    QStringList parts;
    for (const Write &w : writes) {
        if (w.block >= 0)
            parts << AutoLoop::describeWrite(w);
    }
    return parts.join(u' ');
}

QVariant nullable(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

ProductionRecord::PriorTag priorTag(const QSqlQuery &q)
{
    return {q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
            q.value(3).toString(),   q.value(4).toString(),   q.value(5).toString()};
}

bool processGone(qint64 pid)
{
    if (pid <= 0)
        return true;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

QString csvField(const QString &text)
{
    const bool quote = text.contains(u',') || text.contains(u'"') || text.contains(u'\n')
                       || text.contains(u'\r');
    if (!quote)
        return text;
    QString escaped = text;
    escaped.replace(u'"', QStringLiteral("\"\""));
    return u'"' + escaped + u'"';
}

QString ProductionRecord::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
           + QStringLiteral("/production.sqlite");
}

QString ProductionRecord::configuredPath()
{
    if (!g_configuredPath.isEmpty())
        return g_configuredPath;
    // A line sets its server once per PC; anything but a text there is ignored. The key is
    // also taken from the group the port is kept in, where people put it beside the port.
    const QSettings settings(QString::fromLatin1(SettingsStore::kName));
    for (const char *key : {"record", "combo/record"}) {
        const QVariant stored = settings.value(QLatin1String(key));
        if (stored.typeId() == QMetaType::QString && !stored.toString().trimmed().isEmpty())
            return stored.toString().trimmed();
    }
    return defaultPath();
}

bool ProductionRecord::isServer(const QString &location)
{
    return RecordAddress::isServer(location);
}

QString ProductionRecord::newKey()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

namespace {

// A value kept once per user of the PC in the tool's data folder, whichever program of the
// tool asks; made when missing or not valid. Readable by its owner only.
QByteArray keptValue(const QString &name, const std::function<bool(const QByteArray &)> &valid,
                     const std::function<QByteArray()> &make)
{
    const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                         + QStringLiteral("/kestrel-rfid/") + name;
    QFile stored(file);
    if (stored.open(QIODevice::ReadOnly)) {
        const QByteArray text = stored.readAll().trimmed();
        if (valid(text))
            return text;
    }
    const QByteArray value = make();
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly)) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        out.write(value + '\n');
        out.commit();
    }
    // Not kept (a folder that cannot be written): it lasts as long as the tool runs.
    return value;
}

} // namespace

QString ProductionRecord::stationKey()
{
    static QMutex lock;
    const QMutexLocker locked(&lock);
    static QString key;
    if (!key.isEmpty())
        return key;
    QFile id(QStringLiteral("/etc/machine-id"));
    const QByteArray machine = id.open(QIODevice::ReadOnly) ? id.readAll().trimmed() : QByteArray();
    // Bound to the machine ID: a copied disk image makes a key of its own.
    const QByteArray kept = keptValue(
        QStringLiteral("station-key"),
        [&machine](const QByteArray &text) {
            const QList<QByteArray> parts = text.split(' ');
            return parts.size() == 2 && parts[0] == machine && !QUuid(parts[1]).isNull();
        },
        [&machine] { return machine + ' ' + newKey().toLatin1(); });
    key = QString::fromLatin1(kept.split(' ').value(1));
    return key;
}

QByteArray ProductionRecord::fingerprintKey()
{
    static QMutex lock;
    const QMutexLocker locked(&lock);
    static QByteArray key;
    if (key.isEmpty())
        key = QByteArray::fromHex(keptValue(
            QStringLiteral("fingerprint-key"),
            [](const QByteArray &text) {
                return text.size() == 64 && QByteArray::fromHex(text).size() == 32;
            },
            [] {
                QByteArray bytes(32, Qt::Uninitialized);
                QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 8);
                return bytes.toHex();
            }));
    return key;
}

QString ProductionRecord::spoolPath()
{
    return RecordSpool::path();
}

void ProductionRecord::setConfiguredPath(const QString &path)
{
    g_configuredPath = path;
}

ProductionRecord::ProductionRecord(const QString &location, Mode mode)
    : m_path(location)
    , m_shown(isServer(location) ? RecordAddress::shown(location)
                                 : QDir::toNativeSeparators(location))
    , m_connection(QStringLiteral("record-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    , m_server(isServer(location))
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

ProductionRecord::~ProductionRecord()
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

QSqlDatabase ProductionRecord::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

void ProductionRecord::fail(const QString &what, const QString &why)
{
    m_writable = false;
    if (m_problem.isEmpty())
        m_problem = why.isEmpty() ? what : what + QStringLiteral(": ") + why;
}

QString ProductionRecord::plainError(const QSqlError &e)
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

bool ProductionRecord::exec(const QString &sql)
{
    QSqlQuery q(database());
    return q.exec(sql) || failed(q);
}

bool ProductionRecord::execute(QSqlQuery &q)
{
    return q.exec() || failed(q);
}

bool ProductionRecord::failed(const QSqlQuery &q)
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

bool ProductionRecord::openFile()
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
    QSqlQuery q(db);
    // The version and the tables are read in one transaction, so another window's migration
    // cannot land between the two, and nothing is written before the file is known as ours.
    QStringList tables;
    int version = -1;
    if (q.exec(QStringLiteral("BEGIN")) && q.exec(QStringLiteral("PRAGMA user_version"))
        && q.next()) {
        version = q.value(0).toInt();
        if (q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"))) {
            while (q.next())
                tables << q.value(0).toString();
        } else {
            version = -1;
        }
    }
    const QString error = q.lastError().text();
    q.finish();
    q.exec(QStringLiteral("ROLLBACK"));
    if (version < 0) {
        fail(QStringLiteral("%1 is not a production record").arg(m_path), error);
        db.close();
        return false;
    }
    if (version > kSchemaVersion) {
        // Written by a newer tool: shown as it is, never altered.
        db.close();
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        fail(QStringLiteral("%1 was written by a newer version of the tool (record version %2); "
                            "it is open read-only and left untouched")
                 .arg(m_path)
                 .arg(version),
             {});
        return db.open();
    }
    // A new file holds no tables; a record of version 1 to 3 holds at least these.
    QStringList needed{QStringLiteral("meta"), QStringLiteral("batch"), QStringLiteral("tag")};
    if (version >= 3)
        needed << QStringLiteral("reservation");
    const bool ours = version == 0
                          ? tables.isEmpty()
                          : std::all_of(needed.cbegin(), needed.cend(),
                                        [&](const QString &t) { return tables.contains(t); });
    if (!ours) {
        fail(QStringLiteral("%1 is not a production record (it holds other tables); it was "
                            "left untouched")
                 .arg(m_path),
             {});
        db.close();
        return false;
    }
    m_writable = true;
    if (!useWal() || !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) || !migrate(version)) {
        db.close();
        return false;
    }
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

bool ProductionRecord::useWal()
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

bool ProductionRecord::migrate(int from)
{
    if (from >= kSchemaVersion)
        return true;
    QSqlDatabase db = database();
    // BEGIN IMMEDIATE: a second window opening the same new file waits instead of racing.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    const int current = q.value(0).toInt();
    q.finish();
    for (int v = current; v < kSchemaVersion; ++v) {
        for (const QString &sql : kMigrations[v]) {
            if (!exec(sql)) {
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                return false;
            }
        }
    }
    if (!exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion))
        || !exec(QStringLiteral("COMMIT"))) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool ProductionRecord::openServer()
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
        fail(QStringLiteral("the spool %1 cannot be written").arg(spoolPath()), {});
        return false;
    }
    return true;
}

bool ProductionRecord::connectServer()
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
    if (version != kSchemaVersion) {
        fail(QStringLiteral("%1 holds production record version %2; this tool writes version %3")
                 .arg(m_shown)
                 .arg(version)
                 .arg(kSchemaVersion),
             {});
        db.close();
        return false;
    }
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'salt'")) && q.next())
        m_salt = QByteArray::fromHex(q.value(0).toByteArray());
    m_connected = true;
    return true;
}

void ProductionRecord::goOffline(const QSqlError &why)
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

bool ProductionRecord::serverGone(const QSqlQuery &failed)
{
    QSqlQuery ping(database());
    if (ping.exec(QStringLiteral("SELECT 1")))
        return false;
    // The statement that failed usually says more than the ping after it.
    goOffline(failed.lastError().text().trimmed().isEmpty() ? ping.lastError()
                                                            : failed.lastError());
    return true;
}

int ProductionRecord::spooled() const
{
    return m_spool ? m_spool->count() : 0;
}

int ProductionRecord::heldInMemory() const
{
    return m_spool ? m_spool->inMemory() : 0;
}

bool ProductionRecord::openSpool()
{
    m_spool = std::make_unique<RecordSpool>(m_path, m_connection + QStringLiteral("-spool"));
    if (!m_spool->hasFile())
        m_detail = m_spool->fileProblem();
    return m_spool->hasFile();
}

bool ProductionRecord::spool(const QString &sql, const QVariantList &args)
{
    if (!m_spool)
        return false;
    m_pending = true;
    m_spool->add(sql, args);
    return true;
}

bool ProductionRecord::sendSpooled()
{
    return !m_spool || m_spool->sendAll([this](const QString &sql, const QVariantList &args) {
        return sendOne(sql, args);
    });
}

bool ProductionRecord::sendOne(const QString &sql, const QVariantList &args)
{
    QSqlQuery q(database());
    q.prepare(sql);
    for (const QVariant &v : args)
        q.addBindValue(v);
    if (q.exec())
        return true;
    if (!m_server || !serverGone(q))
        failed(q);
    return false;
}

bool ProductionRecord::probe()
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

bool ProductionRecord::reconnect()
{
    if (!m_server || !m_spool)
        return isOpen();
    QSqlQuery ping(database());
    if (m_connected && ping.exec(QStringLiteral("SELECT 1")))
        return true;
    m_connected = false;
    return connectServer();
}

bool ProductionRecord::resume()
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

std::shared_ptr<QSqlQuery> ProductionRecord::prepared(const QString &sql, const QVariantList &args)
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

bool ProductionRecord::write(const QString &sql, const QVariantList &args)
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
    // Whatever the error, the statement waits to be sent again; nothing that reached the
    // tool is lost, and the statements are safe to send twice.
    if (!m_server || !serverGone(*q))
        failed(*q);
    return spool(sql, args);
}

std::optional<QString> ProductionRecord::beginBatch(const Batch &b, const QString &key)
{
    if (!write(kInsertBatch, {key, b.started.isEmpty() ? nowText() : b.started, b.station, b.port,
                              b.options, b.blocks, b.firstUid, b.step, b.base, b.manual ? 1 : 0,
                              qint64(::getpid()), nullable(b.stationKey), key}))
        return std::nullopt;
    return key;
}

void ProductionRecord::endBatch(const QString &batch)
{
    write(kEndBatch, {nowText(), batch});
}

void ProductionRecord::noteBatch(const QString &batch, const QString &note)
{
    write(QStringLiteral("UPDATE batch SET note = CASE WHEN note IS NULL THEN ? ELSE note || "
                         "'; ' || ? END WHERE uuid = ?"),
          {note, note, batch});
}

std::optional<QString> ProductionRecord::beginTag(const QString &batch, const TagOutcome &t,
                                                  const QString &key)
{
    if (!write(kInsertTag, {key, timeText(t.startMs), nullable(t.uidAsked),
                            t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC"), batch, key}))
        return std::nullopt;
    return key;
}

bool ProductionRecord::endTag(const QString &row, const QString &batch, const TagOutcome &t)
{
    const Write *password = t.writeAt(AutoLoop::Step::Password);
    // Without the record's salt (a server not reached since start) no fingerprint is made.
    const QVariant print = password && !(m_server && m_salt.isEmpty())
                               ? QVariant(fingerprint(password->sent))
                               : QVariant();
    QString detail = t.detail;
    // A UID write sent to a tag that carried a recorded UID may have taken it off that tag.
    const std::optional<quint64> replaced = Uid::tagId(t.uidReplaced, t.hexBase);
    const std::optional<quint64> asked = Uid::tagId(t.uidAsked, t.hexBase);
    // Blocks 1 and 2 hold the ID itself.
    const bool idBlocksWritten
        = std::any_of(t.writes.cbegin(), t.writes.cend(),
                      [](const Write &w) { return w.block == 1 || w.block == 2; });
    const bool replacedLeft = replaced && ((asked && asked != replaced) || idBlocksWritten);
    if (replacedLeft)
        detail = (detail.isEmpty() ? QString() : detail + QStringLiteral("; "))
                 + QStringLiteral("the tag carried UID %1 before").arg(t.uidReplaced);
    const QVariantList outcome{nullable(t.uidAsked),
                               nullable(t.uidRead),
                               t.uidConfirmed ? 1 : 0,
                               t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC"),
                               describeWrites(t.writes),
                               t.passwordWritten() ? 1 : 0,
                               print,
                               t.locked() ? 1 : 0,
                               t.retries,
                               AutoLoop::resultName(t.result),
                               detail};
    if (!write(kCompleteTag, QVariantList{timeText(t.endMs)} + outcome + QVariantList{row})
        || !write(kEndTag, QVariantList{row, timeText(t.startMs), timeText(t.endMs)} + outcome
                               + QVariantList{batch, row}))
        return false;
    if (!replacedLeft)
        return true;
    // The old UID is on no tag any more; its rows say where it went.
    const QString written = t.uidAsked.isEmpty() ? QStringLiteral("blocks 1-2") : t.uidAsked;
    const QString note = t.uidConfirmed && !idBlocksWritten
                             ? QStringLiteral("UID left this tag: rewritten as %1 on %2")
                                   .arg(t.uidAsked, timeText(t.endMs))
                             : QStringLiteral("UID may have left this tag: %1 was written to it "
                                              "on %2")
                                   .arg(written, timeText(t.endMs));
    QVariantList args{note, note};
    args += idArgs(*replaced);
    args << row;
    return write(QStringLiteral("UPDATE tag SET uid_confirmed = 0, detail = CASE WHEN detail IS "
                                "NULL OR detail = '' THEN ? ELSE detail || '; ' || ? END "
                                "WHERE ")
                     + carriesId(QString()) + QStringLiteral(" AND uuid <> ?"),
                 args);
}

std::optional<ProductionRecord::PriorTag> ProductionRecord::findWritten(const QString &uid,
                                                                        bool hex, bool *readable)
{
    if (readable)
        *readable = false;
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    if (!id || !isOpen())
        return std::nullopt;
    const std::shared_ptr<QSqlQuery> q = prepared(
        QStringLiteral("SELECT t.id, t.batch_id, COALESCE(t.ended, t.started), b.station, b.port, "
                       "b.station_key FROM tag t JOIN batch b ON b.id = t.batch_id WHERE ")
            + carriesId(QStringLiteral("t.")) + QStringLiteral(" ORDER BY t.id LIMIT 1"),
        idArgs(*id));
    if (!q->exec()) {
        if (!m_server || !serverGone(*q))
            failed(*q);
        return std::nullopt;
    }
    if (readable)
        *readable = true;
    if (!q->next()) {
        q->finish();
        return std::nullopt;
    }
    const PriorTag where = priorTag(*q);
    q->finish();
    return where;
}

ProductionRecord::Reservation ProductionRecord::reserve(const QString &uid, bool hex,
                                                        const Batch &station, const QString &batch)
{
    Reservation r;
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    // A record that is off is not asked: it answers once its thread has brought it back.
    if (!id || !m_open || !m_problem.isEmpty()
        || (m_server && (!m_connected || m_pending) && !resume()))
        return r;
    const auto unavailable = [this, &r](const QSqlQuery &q) {
        if (!m_server || !serverGone(q))
            failed(q);
        return r;
    };
    // A station without a port is stored with an empty one, never NULL, so it matches itself.
    const QString port = station.port.isNull() ? QStringLiteral("") : station.port;
    const QString host = station.station.isNull() ? QStringLiteral("") : station.station;
    const qint64 number = qint64(*id);
    if (m_writable) {
        // The usual case, a free UID, in one statement.
        QVariantList args{uid, number, host, port, station.stationKey, batch, nowText()};
        args += idArgs(*id);
        const std::shared_ptr<QSqlQuery> q = prepared(kReserve.arg(carriesId(QString())), args);
        if (!q->exec())
            return unavailable(*q);
        const bool reserved = q->numRowsAffected() == 1;
        q->finish();
        if (reserved) {
            r.kind = Reservation::Kind::Reserved;
            return r;
        }
    }
    bool readable = false;
    const std::optional<PriorTag> written = findWritten(uid, hex, &readable);
    if (!readable)
        return r;
    if (written) {
        r.where = *written;
        const bool ours = r.where.stationKey == station.stationKey && r.where.port == port;
        r.kind = ours ? Reservation::Kind::Written : Reservation::Kind::WrittenElsewhere;
        return r;
    }
    if (!m_writable)
        return r;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT station, port, reserved, station_key, batch_uuid, state "
                             "FROM reservation WHERE tag_id = ? OR uid = ?"));
    q.addBindValue(number);
    q.addBindValue(uid);
    if (!q.exec() || !q.next())
        return unavailable(q);
    r.where.station = q.value(0).toString();
    r.where.port = q.value(1).toString();
    r.where.when = q.value(2).toString();
    r.where.stationKey = q.value(3).toString();
    const bool ours = r.where.stationKey == station.stationKey && r.where.port == port;
    const QString state = q.value(5).toString();
    if (ours && q.value(4).toString() == batch) {
        r.kind = Reservation::Kind::Reserved;
        r.armed = state == QLatin1String("sent");
        return r;
    }
    q.finish();
    // Released, or reserved ahead by an earlier batch of this station that never sent it (one
    // station runs one batch at a time): taken for this batch.
    const bool takeOver = ours && state == QLatin1String("held");
    if (state == QLatin1String("released") || takeOver) {
        QString sql = kTakeReleased;
        if (takeOver)
            sql.replace(QStringLiteral("state = 'released'"),
                        QStringLiteral(
                            "state = 'held' AND station_key IS NOT DISTINCT FROM ? AND port = ?"));
        // On a server the row becomes the taking login's, so it may change it later.
        if (m_server)
            sql.replace(QStringLiteral("released_by = NULL"),
                        QStringLiteral("released_by = NULL, login = current_user"));
        q.prepare(sql);
        QVariantList args{host, port, nullable(station.stationKey), batch, nowText(), number, uid};
        if (takeOver)
            args << nullable(station.stationKey) << port;
        for (const QVariant &v : args)
            q.addBindValue(v);
        if (!q.exec())
            return unavailable(q);
        if (q.numRowsAffected() == 1) {
            r.kind = Reservation::Kind::Reserved;
            return r;
        }
    }
    // A write of it may have reached a tag (a tool killed mid-tag), or another station holds
    // it: only a supervisor gives it out again.
    r.kind = ours ? Reservation::Kind::InDoubt : Reservation::Kind::HeldElsewhere;
    return r;
}

bool ProductionRecord::arm(const QString &uid, const QString &batch)
{
    if (!m_open || !m_writable || !m_problem.isEmpty())
        return false;
    // Not through the spool: the loop may write the UID only once the record says so.
    QSqlQuery q(database());
    q.prepare(QStringLiteral("UPDATE reservation SET state = 'sent' WHERE uid = ? AND "
                             "batch_uuid = ? AND state IN ('held', 'sent')"));
    q.addBindValue(uid);
    q.addBindValue(batch);
    if (!q.exec()) {
        if (!m_server || !serverGone(q))
            failed(q);
        return false;
    }
    return q.numRowsAffected() == 1;
}

bool ProductionRecord::releaseUnused(const QString &batch, const QStringList &uids)
{
    for (const QString &uid : uids) {
        if (!write(QStringLiteral("UPDATE reservation SET state = 'released', released = ? "
                                  "WHERE uid = ? AND batch_uuid = ? AND state IN ('held', "
                                  "'sent')"),
                   {nowText(), uid, batch}))
            return false;
    }
    return true;
}

bool ProductionRecord::release(const QString &uid, const QString &who, QString *error)
{
    if (!isOpen() || (!m_writable && !resume())) {
        *error = m_problem;
        return false;
    }
    QSqlQuery q(database());
    q.prepare(QStringLiteral("UPDATE reservation SET state = 'released', released = ?, "
                             "released_by = ? WHERE uid = ? AND state IN ('held', 'sent')"));
    q.addBindValue(nowText());
    // On a server the login is who released it; the name given is kept beside it.
    q.addBindValue(m_server
                       ? QVariant(who + QStringLiteral(" (login ") + database().userName() + u')')
                       : QVariant(who));
    q.addBindValue(uid);
    if (!q.exec()) {
        *error = plainError(q.lastError());
        return false;
    }
    if (q.numRowsAffected() != 1) {
        *error = m_server ? QStringLiteral("UID %1 is not held, or this login may not release it "
                                           "(a supervisor's login has the role "
                                           "kestrel_supervisor)")
                                .arg(uid)
                          : QStringLiteral("UID %1 is not held").arg(uid);
        return false;
    }
    return true;
}

QString ProductionRecord::openReservationQuery()
{
    return QStringLiteral(
        "SELECT r.uid, r.station, r.port, r.reserved, b.id, CASE r.state WHEN 'sent' THEN "
        "'a write of it was sent and no tag confirmed it: it may be on a tag' ELSE "
        "'reserved ahead by a batch and not written yet; free again when that batch stops' "
        "END FROM reservation r LEFT JOIN batch b ON b.uuid = r.batch_uuid WHERE r.state IN "
        "('held', 'sent') AND NOT EXISTS (SELECT 1 FROM tag t WHERE t.uid_confirmed = 1 AND "
        "(t.uid_read = r.uid OR t.uid_asked = r.uid)) ORDER BY r.state DESC, r.reserved");
}

int ProductionRecord::markInterrupted()
{
    if (!m_writable)
        return 0;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT DISTINCT b.id, b.pid FROM batch b JOIN tag t "
                             "ON t.batch_id = b.id WHERE t.result = 'in progress' "
                             "AND (b.station_key = ? OR (b.station_key IS NULL AND "
                             "b.station = ?))"));
    // Process numbers mean something only on the PC that ran them.
    q.addBindValue(stationKey());
    q.addBindValue(QSysInfo::machineHostName());
    if (!q.exec())
        return 0;
    QList<qint64> gone;
    while (q.next()) {
        if (processGone(q.value(1).toLongLong()))
            gone << q.value(0).toLongLong();
    }
    q.finish();
    int marked = 0;
    for (qint64 batch : gone) {
        QSqlQuery u(database());
        u.prepare(QStringLiteral(
            "UPDATE tag SET result = 'interrupted', ended = started, detail = 'the tool ended "
            "while this tag was being written' WHERE batch_id = ? AND result = 'in progress'"));
        u.addBindValue(batch);
        if (!execute(u))
            return marked;
        marked += u.numRowsAffected();
        u.prepare(QStringLiteral("UPDATE batch SET stopped = COALESCE((SELECT max(started) FROM "
                                 "tag WHERE batch_id = batch.id), started), tags = (SELECT "
                                 "count(*) FROM tag WHERE batch_id = batch.id) "
                                 "WHERE id = ? AND stopped IS NULL"));
        u.addBindValue(batch);
        u.exec();
    }
    return marked;
}

QStringList ProductionRecord::tagColumns()
{
    return {QStringLiteral("Tag"),       QStringLiteral("Batch"),
            QStringLiteral("Station"),   QStringLiteral("Port"),
            QStringLiteral("Started"),   QStringLiteral("Ended"),
            QStringLiteral("UID asked"), QStringLiteral("UID read back"),
            QStringLiteral("Base"),      QStringLiteral("Blocks written"),
            QStringLiteral("Password"),  QStringLiteral("Password fingerprint"),
            QStringLiteral("Locked"),    QStringLiteral("Retries"),
            QStringLiteral("Result"),    QStringLiteral("Detail")};
}

namespace {

// The Records window's and the export's columns, as tagColumns() names them.
const QStringList kTagExpressions = {
    QStringLiteral("t.id"),
    QStringLiteral("t.batch_id"),
    QStringLiteral("b.station"),
    QStringLiteral("b.port"),
    QStringLiteral("t.started"),
    QStringLiteral("t.ended"),
    QStringLiteral("t.uid_asked"),
    QStringLiteral("t.uid_read"),
    QStringLiteral("t.base"),
    QStringLiteral("t.writes"),
    QStringLiteral("CASE t.password_written WHEN 1 THEN 'yes' ELSE 'no' END"),
    QStringLiteral("t.password_fingerprint"),
    QStringLiteral("CASE t.locked WHEN 1 THEN 'yes' ELSE 'no' END"),
    QStringLiteral("t.retries"),
    QStringLiteral("t.result"),
    QStringLiteral("t.detail"),
};

QString tagsWhere(const ProductionRecord::Filter &f)
{
    QString sql = QStringLiteral(" FROM tag t JOIN batch b ON b.id = t.batch_id WHERE 1 = 1");
    if (f.batch)
        sql += QStringLiteral(" AND t.batch_id = :batch");
    if (!f.result.isEmpty())
        sql += QStringLiteral(" AND t.result = :result");
    // A whole UID is looked up on the indexes; part of one is searched for in every row.
    if (f.uidText.size() == Uid::kLength)
        sql += QStringLiteral(" AND (t.uid_asked = :uid1 OR t.uid_read = :uid2)");
    else if (!f.uidText.isEmpty())
        sql += QStringLiteral(" AND (t.uid_asked LIKE :uid1 ESCAPE '\\' OR t.uid_read LIKE :uid2 "
                              "ESCAPE '\\')");
    return sql + QStringLiteral(" ORDER BY t.id");
}

// One CSV line per row, made by the database: quoted as csvField() quotes. The columns the
// tool fills with digits and fixed words are joined as they are; the others are quoted when
// they hold a comma, a quote or a line break.
QString csvLineExpression(bool server)
{
    static const QSet<int> kPlain = {0, 1, 4, 5, 8, 10, 11, 12, 13, 14};
    const QString special = server ? QStringLiteral("%1 ~ '[,\"\\r\\n]'")
                                   : QStringLiteral("%1 GLOB '*[,\"' || char(10, 13) || ']*'");
    QStringList fields;
    for (int i = 0; i < kTagExpressions.size(); ++i) {
        const QString x = QStringLiteral("COALESCE(CAST(%1 AS TEXT), '')").arg(kTagExpressions[i]);
        if (kPlain.contains(i)) {
            fields << x;
            continue;
        }
        fields << QStringLiteral("CASE WHEN %1 THEN '\"' || replace(%2, '\"', '\"\"') || '\"' "
                                 "ELSE %2 END")
                      .arg(special.arg(x), x);
    }
    return fields.join(QStringLiteral(" || ',' || "));
}

} // namespace

QString ProductionRecord::tagQuery(const Filter &f)
{
    return QStringLiteral("SELECT ") + kTagExpressions.join(QStringLiteral(", ")) + tagsWhere(f);
}

void ProductionRecord::bindFilter(QSqlQuery &q, const Filter &f)
{
    if (f.batch)
        q.bindValue(QStringLiteral(":batch"), *f.batch);
    if (!f.result.isEmpty())
        q.bindValue(QStringLiteral(":result"), f.result);
    if (f.uidText.isEmpty())
        return;
    if (f.uidText.size() == Uid::kLength) {
        q.bindValue(QStringLiteral(":uid1"), f.uidText.toUpper());
        q.bindValue(QStringLiteral(":uid2"), f.uidText.toUpper());
        return;
    }
    QString pattern = f.uidText;
    pattern.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    q.bindValue(QStringLiteral(":uid1"), u'%' + pattern + u'%');
    q.bindValue(QStringLiteral(":uid2"), u'%' + pattern + u'%');
}

bool ProductionRecord::exportCsv(const QString &file, const Filter &f, QString *error,
                                 const std::function<bool(qint64 rows)> &progress)
{
    if (!isOpen()) {
        *error = m_problem;
        return false;
    }
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT ") + csvLineExpression(m_server) + tagsWhere(f));
    bindFilter(q, f);
    if (!q.exec()) {
        *error = plainError(q.lastError());
        return false;
    }
    // Written whole or not at all.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    QStringList header;
    for (const QString &c : tagColumns())
        header << csvField(c);
    QByteArray chunk = header.join(u',').toUtf8() + "\r\n";
    qint64 rows = 0;
    while (q.next()) {
        chunk += q.value(0).toString().toUtf8();
        chunk += "\r\n";
        ++rows;
        if (chunk.size() < 256 * 1024)
            continue;
        out.write(chunk);
        chunk.clear();
        if (progress && !progress(rows)) {
            out.cancelWriting();
            *error = QStringLiteral("The export was cancelled; nothing was written.");
            return false;
        }
    }
    out.write(chunk);
    if (!out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

qint64 ProductionRecord::countTags(const Filter &f)
{
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT count(*) FROM (") + tagQuery(f) + u')');
    bindFilter(q, f);
    return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
}

QString ProductionRecord::fingerprint(const QString &password)
{
    // Keyed with a secret that stays on the stations: a reader of the record alone cannot
    // try the 2^32 passwords against it. The record's salt keeps two records apart.
    const QByteArray digest = QMessageAuthenticationCode::hash(
        m_salt + password.toUpper().toLatin1(), fingerprintKey(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(8)).toUpper();
}
