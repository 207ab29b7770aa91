#include "productionrecord.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <unistd.h>

using AutoLoop::TagOutcome;
using AutoLoop::Write;

namespace {

QString g_configuredPath;

constexpr int kBusyTimeoutMs = 5000;
constexpr int kFingerprintRounds = 1000;

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
};

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
        if (w.block < 0)
            continue;
        const bool secret = w.block == 7;
        QString part = QStringLiteral("%1:%2").arg(w.block).arg(
            secret ? QStringLiteral("(password)") : w.sent);
        if (!w.answered)
            part += QStringLiteral(" (no reply)");
        else if (secret)
            part += w.ok ? QStringLiteral("=ok") : QStringLiteral("!=wrong");
        else
            part += (w.ok ? QStringLiteral("=") : QStringLiteral("!=")) + w.readBack;
        if (w.step == AutoLoop::kUnlock)
            part += QStringLiteral(" (unlock)");
        if (w.step == AutoLoop::kLock)
            part += QStringLiteral(" (lock)");
        parts << part;
    }
    return parts.join(u' ');
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
    return g_configuredPath.isEmpty() ? defaultPath() : g_configuredPath;
}

void ProductionRecord::setConfiguredPath(const QString &path)
{
    g_configuredPath = path;
}

ProductionRecord::ProductionRecord(const QString &path)
    : m_path(path)
    , m_connection(QStringLiteral("record-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    m_open = openFile();
}

ProductionRecord::~ProductionRecord()
{
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
    fail(QStringLiteral("%1 cannot be written").arg(QDir::toNativeSeparators(m_path)),
         q.lastError().text());
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
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        fail(QStringLiteral("%1 is not a production record").arg(m_path), q.lastError().text());
        db.close();
        return false;
    }
    const int version = q.value(0).toInt();
    q.finish();
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
    if (version == 0) {
        if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !q.next()) {
            fail(QStringLiteral("%1 is not a production record").arg(m_path), q.lastError().text());
            db.close();
            return false;
        }
        if (q.value(0).toInt() > 0) {
            fail(QStringLiteral("%1 is not a production record (it holds other tables); it was "
                                "left untouched")
                     .arg(m_path),
                 {});
            db.close();
            return false;
        }
        q.finish();
    }
    m_writable = true;
    if (!exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        || !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) || !migrate(version)) {
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

std::optional<qint64> ProductionRecord::beginBatch(const Batch &b)
{
    if (!m_writable)
        return std::nullopt;
    QSqlQuery q(database());
    q.prepare(QStringLiteral(
        "INSERT INTO batch (started, station, port, options, blocks, first_uid, step, base, "
        "manual, pid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QVariant &v :
         {QVariant(nowText()), QVariant(b.station), QVariant(b.port), QVariant(b.options),
          QVariant(b.blocks), QVariant(b.firstUid), QVariant(b.step), QVariant(b.base),
          QVariant(b.manual ? 1 : 0), QVariant(qint64(::getpid()))})
        q.addBindValue(v);
    if (!execute(q))
        return std::nullopt;
    return q.lastInsertId().toLongLong();
}

void ProductionRecord::endBatch(qint64 batch)
{
    if (!m_writable)
        return;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("UPDATE batch SET stopped = ? WHERE id = ?"));
    q.addBindValue(nowText());
    q.addBindValue(batch);
    execute(q);
}

std::optional<qint64> ProductionRecord::beginTag(qint64 batch, const TagOutcome &t)
{
    if (!m_writable)
        return std::nullopt;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("INSERT INTO tag (batch_id, started, uid_asked, base, result) "
                             "VALUES (?, ?, ?, ?, 'in progress')"));
    q.addBindValue(batch);
    q.addBindValue(timeText(t.startMs));
    q.addBindValue(t.uidAsked.isEmpty() ? QVariant() : QVariant(t.uidAsked));
    q.addBindValue(t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC"));
    if (!execute(q))
        return std::nullopt;
    return q.lastInsertId().toLongLong();
}

bool ProductionRecord::endTag(qint64 row, const TagOutcome &t)
{
    if (!m_writable)
        return false;
    const Write *password = t.writeAt(AutoLoop::kPassword);
    QSqlQuery q(database());
    q.prepare(QStringLiteral(
        "UPDATE tag SET ended = ?, uid_asked = ?, uid_read = ?, uid_confirmed = ?, base = ?, "
        "writes = ?, password_written = ?, password_fingerprint = ?, locked = ?, retries = ?, "
        "result = ?, detail = ? WHERE id = ?"));
    for (const QVariant &v :
         {QVariant(timeText(t.endMs)), t.uidAsked.isEmpty() ? QVariant() : QVariant(t.uidAsked),
          t.uidRead.isEmpty() ? QVariant() : QVariant(t.uidRead), QVariant(t.uidConfirmed ? 1 : 0),
          QVariant(t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC")),
          QVariant(describeWrites(t.writes)), QVariant(t.passwordWritten() ? 1 : 0),
          password ? QVariant(fingerprint(password->sent)) : QVariant(),
          QVariant(t.locked() ? 1 : 0), QVariant(t.retries),
          QVariant(AutoLoop::resultName(t.result)), QVariant(t.detail), QVariant(row)})
        q.addBindValue(v);
    return execute(q);
}

std::optional<ProductionRecord::PriorTag> ProductionRecord::findWritten(const QString &uid)
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery q(database());
    q.prepare(QStringLiteral(
        "SELECT t.id, t.batch_id, COALESCE(t.ended, t.started), b.station, b.port FROM tag t "
        "JOIN batch b ON b.id = t.batch_id WHERE t.uid_confirmed = 1 "
        "AND (t.uid_read = ? OR t.uid_asked = ?) ORDER BY t.id LIMIT 1"));
    q.addBindValue(uid);
    q.addBindValue(uid);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return PriorTag{q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
                    q.value(3).toString(), q.value(4).toString()};
}

int ProductionRecord::markInterrupted()
{
    if (!m_writable)
        return 0;
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT DISTINCT b.id, b.pid FROM batch b JOIN tag t "
                             "ON t.batch_id = b.id WHERE t.result = 'in progress' "
                             "AND b.station = ?"));
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
                                 "tag WHERE batch_id = batch.id), started) "
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

QString ProductionRecord::tagQuery(const Filter &f)
{
    QString sql = QStringLiteral(
        "SELECT t.id, t.batch_id, b.station, b.port, t.started, t.ended, t.uid_asked, "
        "t.uid_read, t.base, t.writes, CASE t.password_written WHEN 1 THEN 'yes' ELSE 'no' END, "
        "t.password_fingerprint, CASE t.locked WHEN 1 THEN 'yes' ELSE 'no' END, t.retries, "
        "t.result, t.detail FROM tag t JOIN batch b ON b.id = t.batch_id WHERE 1 = 1");
    if (f.batch)
        sql += QStringLiteral(" AND t.batch_id = :batch");
    if (!f.result.isEmpty())
        sql += QStringLiteral(" AND t.result = :result");
    if (!f.uidText.isEmpty())
        sql += QStringLiteral(" AND (t.uid_asked LIKE :uid1 ESCAPE '\\' OR t.uid_read LIKE :uid2 "
                              "ESCAPE '\\')");
    return sql + QStringLiteral(" ORDER BY t.id");
}

void ProductionRecord::bindFilter(QSqlQuery &q, const Filter &f)
{
    if (f.batch)
        q.bindValue(QStringLiteral(":batch"), *f.batch);
    if (!f.result.isEmpty())
        q.bindValue(QStringLiteral(":result"), f.result);
    if (f.uidText.isEmpty())
        return;
    QString pattern = f.uidText;
    pattern.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    q.bindValue(QStringLiteral(":uid1"), u'%' + pattern + u'%');
    q.bindValue(QStringLiteral(":uid2"), u'%' + pattern + u'%');
}

bool ProductionRecord::exportCsv(const QString &file, const Filter &f, QString *error)
{
    if (!m_open) {
        *error = m_problem;
        return false;
    }
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(tagQuery(f));
    bindFilter(q, f);
    if (!q.exec()) {
        *error = q.lastError().text();
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
    const int columns = int(tagColumns().size());
    while (q.next()) {
        QStringList fields;
        for (int i = 0; i < columns; ++i)
            fields << csvField(q.value(i).toString());
        chunk += fields.join(u',').toUtf8() + "\r\n";
        if (chunk.size() > 64 * 1024) {
            out.write(chunk);
            chunk.clear();
        }
    }
    out.write(chunk);
    if (!out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

QString ProductionRecord::fingerprint(const QString &password)
{
    // Salted and slowed: a 32-bit password cannot be hidden for ever, but it is not read
    // off the record at a glance or looked up in a table.
    QByteArray digest = m_salt + password.toUpper().toLatin1();
    for (int i = 0; i < kFingerprintRounds; ++i)
        digest = QCryptographicHash::hash(digest, QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(8)).toUpper();
}
