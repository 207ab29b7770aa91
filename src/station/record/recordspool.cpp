#include "recordspool.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

QString RecordSpool::path()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
           + QStringLiteral("/record-spool.sqlite");
}

RecordSpool::RecordSpool(const QString &target, const QString &connection)
    : m_target(target)
    , m_connection(connection)
{
    QSqlDatabase spool = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    spool.setDatabaseName(path());
    spool.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    QDir().mkpath(QFileInfo(path()).absolutePath());
    QSqlQuery q(spool);
    if (spool.open()
        && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS spool (id INTEGER PRIMARY KEY, "
                                 "target TEXT NOT NULL, statement TEXT NOT NULL, "
                                 "args TEXT NOT NULL)"))
        && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS refused (id INTEGER PRIMARY KEY, "
                                 "target TEXT NOT NULL, statement TEXT NOT NULL, "
                                 "args TEXT NOT NULL, error TEXT NOT NULL, at TEXT NOT NULL "
                                 "DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')))"))) {
        q.prepare(QStringLiteral("SELECT count(*), (SELECT error FROM refused WHERE target = :t "
                                 "ORDER BY id DESC LIMIT 1) FROM refused WHERE target = :t"));
        q.bindValue(QStringLiteral(":t"), m_target);
        if (q.exec() && q.next()) {
            m_refused = q.value(0).toInt();
            m_lastRefusal = q.value(1).toString();
        }
        return;
    }
    m_fileProblem = spool.lastError().text() + q.lastError().text();
    q = QSqlQuery();
    spool.close();
    spool = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
    m_connection.clear();
}

RecordSpool::~RecordSpool()
{
    if (m_connection.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

int RecordSpool::count() const
{
    const int waiting = inMemory();
    if (m_connection.isEmpty())
        return waiting;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT count(*) FROM spool WHERE target = ?"));
    q.addBindValue(m_target);
    return waiting + (q.exec() && q.next() ? q.value(0).toInt() : 0);
}

namespace {

QString argsText(const QVariantList &args)
{
    QJsonArray values;
    for (const QVariant &v : args)
        values.append(QJsonValue::fromVariant(v));
    return QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact));
}

} // namespace

void RecordSpool::add(const QString &sql, const QVariantList &args)
{
    // Once one statement waits in memory, the ones after it do too: they keep their order.
    if (m_connection.isEmpty() || !m_memory.isEmpty()) {
        m_memory.append({sql, args});
        return;
    }
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("INSERT INTO spool (target, statement, args) VALUES (?, ?, ?)"));
    q.addBindValue(m_target);
    q.addBindValue(sql);
    q.addBindValue(argsText(args));
    if (!q.exec())
        m_memory.append({sql, args});
}

void RecordSpool::setAside(const QString &sql, const QVariantList &args, const QString &why)
{
    m_lastRefusal = why;
    ++m_refused;
    if (!m_connection.isEmpty()) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.prepare(QStringLiteral(
            "INSERT INTO refused (target, statement, args, error) VALUES (?, ?, ?, ?)"));
        q.addBindValue(m_target);
        q.addBindValue(sql);
        q.addBindValue(argsText(args));
        q.addBindValue(why);
        q.exec();
    }
}

bool RecordSpool::sendAll(const Send &send)
{
    if (!m_connection.isEmpty()) {
        QSqlDatabase spoolDb = QSqlDatabase::database(m_connection, false);
        QSqlQuery lock(spoolDb);
        // One window sends the spool at a time, so its statements keep their order.
        if (!lock.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return false;
        QSqlQuery pending(spoolDb);
        pending.prepare(
            QStringLiteral("SELECT id, statement, args FROM spool WHERE target = ? ORDER BY id"));
        pending.addBindValue(m_target);
        bool sent = pending.exec();
        while (sent && pending.next()) {
            QVariantList args;
            const QJsonArray values
                = QJsonDocument::fromJson(pending.value(2).toString().toUtf8()).array();
            for (const QJsonValue &v : values) {
                // JSON keeps numbers as doubles; the columns want integers (a number out of
                // range in a damaged spool becomes 0 rather than undefined).
                args << (v.isDouble() ? QVariant(v.toInteger()) : v.toVariant());
            }
            QString why;
            const QString sql = pending.value(1).toString();
            const Sent answer = send(sql, args, &why);
            if (answer == Sent::Later) {
                sent = false;
                break;
            }
            if (answer == Sent::Refused)
                setAside(sql, args, why);
            QSqlQuery done(spoolDb);
            done.prepare(QStringLiteral("DELETE FROM spool WHERE id = ?"));
            done.addBindValue(pending.value(0));
            done.exec();
        }
        pending.finish();
        lock.exec(QStringLiteral("COMMIT"));
        if (!sent)
            return false;
    }
    while (!m_memory.isEmpty()) {
        const auto &[sql, args] = m_memory.first();
        QString why;
        const Sent answer = send(sql, args, &why);
        if (answer == Sent::Later)
            return false;
        if (answer == Sent::Refused)
            setAside(sql, args, why);
        m_memory.removeFirst();
    }
    return true;
}
