#pragma once

#include "recordspool.h"
#include <QByteArray>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <memory>

// The record's database, opened once: an SQLite file (checked as ours before anything is
// written to it, then migrated) or a PostgreSQL server (connected again when it went away).
// Every change goes through write(), which sends what waits in the spool first and spools
// whatever the record does not take; it knows whether the record is off, and why.
class RecordConnection {
public:
    // SpoolOnly: every change goes to the spool, nothing is read (a record that froze).
    enum class Mode { Normal, SpoolOnly };

    // A database error in a few plain words.
    static QString plainError(const QSqlError &e);
    // The statement itself is refused (a constraint, a column or value the record does not
    // take), so sending it again cannot help; the record is not off for it.
    static bool refusesForGood(const QSqlError &e);

    explicit RecordConnection(const QString &location, Mode mode = Mode::Normal);
    ~RecordConnection();
    RecordConnection(const RecordConnection &) = delete;
    RecordConnection &operator=(const RecordConnection &) = delete;

    QString path() const { return m_path; }
    // The location as messages show it: an address without its password.
    QString shown() const { return m_shown; }
    bool isShared() const { return m_server; }
    bool isOpen() const { return m_open && (!m_server || m_connected); }
    bool isWritable() const { return m_writable; }
    QString problem() const { return m_problem; }
    QString problemDetail() const { return m_detail; }
    bool mayRecover() const { return m_server || m_recoverable; }
    QSqlDatabase database() const;
    // The record's own salt for password fingerprints; empty until a server was reached.
    QByteArray salt() const { return m_salt; }

    // Whether the record may be asked now: open, on, and nothing of this window waiting in the
    // spool (a server is connected again for it).
    bool mayAsk();
    // Runs a statement that changes the record; what the record does not take waits in the
    // spool. False: the record takes nothing (never opened, or not ours).
    bool write(const QString &sql, const QVariantList &args);
    // Prepared once per connection, with these values bound. Shared: the cache may be emptied
    // (the server went away) while the caller still uses it.
    std::shared_ptr<QSqlQuery> prepared(const QString &sql, const QVariantList &args);
    // A statement that asked or changed the record failed: the record is off now, and says
    // why. Always false.
    bool lost(const QSqlQuery &q);
    // Runs a prepared statement; a failure turns recording off and says why.
    bool execute(QSqlQuery &q);

    int spooled() const;
    int heldInMemory() const;
    // Statements the record refused for good, set aside in the spool file, and why the last was.
    int refused() const;
    QString lastRefusal() const;
    // Connects again if needed and sends what waits, in order; true when the record takes
    // changes again and nothing waits.
    bool resume();
    // For reading: a server connection that broke is made again.
    bool reconnect();

private:
    bool openFile();
    bool openServer();
    bool openSpool();
    bool sendSpooled();
    RecordSpool::Sent sendOne(const QString &sql, const QVariantList &args, QString *why);
    // Whether the record takes changes, without changing it.
    bool probe();
    bool connectServer();
    bool useWal();
    bool migrate(int from);
    bool spool(const QString &sql, const QVariantList &args);
    bool serverGone(const QSqlQuery &failed);
    void goOffline(const QSqlError &why);
    bool exec(const QString &sql);
    bool failed(const QSqlQuery &q);
    void fail(const QString &what, const QString &why);

    QString m_path;
    QString m_shown;
    QString m_connection;
    // Server: none when the address was refused (nothing is sent anywhere then).
    std::unique_ptr<RecordSpool> m_spool;
    bool m_server = false;
    bool m_spoolOnly = false;
    bool m_connected = false;
    // This window left statements in the spool that the server has not taken yet.
    bool m_pending = false;
    QHash<QString, std::shared_ptr<QSqlQuery>> m_prepared;
    bool m_open = false;
    bool m_writable = false;
    // Writing failed on a record that was open: it is tried again.
    bool m_recoverable = false;
    QString m_problem;
    QString m_detail;
    QByteArray m_salt;
};
