#pragma once

#include <QList>
#include <QString>
#include <QVariantList>
#include <functional>
#include <utility>

// Changes that wait on this PC for the record to take them, in the order they were made: in
// an SQLite file of the tool's data folder (all windows of the PC share it, each statement
// named by the record it is for), or in memory while that file cannot be written either.
class RecordSpool {
public:
    enum class Sent {
        Taken,
        // Not now: it and all after it wait.
        Later,
        // Never (a constraint, a column this record has not): set aside, so the ones after it
        // are not held up for good.
        Refused
    };
    // Sends one statement to the record; why says why it was refused.
    using Send = std::function<Sent(const QString &sql, const QVariantList &args, QString *why)>;
    // How long a connection to an SQLite file waits for another one's write lock.
    static constexpr int kBusyTimeoutMs = 5000;

    static QString path();

    // target: the record the statements are for; connection: a name of its own.
    RecordSpool(const QString &target, const QString &connection);
    ~RecordSpool();
    RecordSpool(const RecordSpool &) = delete;
    RecordSpool &operator=(const RecordSpool &) = delete;

    // The file could be opened; without it statements wait in memory only.
    bool hasFile() const { return !m_connection.isEmpty(); }
    // Why the file cannot be used, in the driver's words.
    QString fileProblem() const { return m_fileProblem; }

    void add(const QString &sql, const QVariantList &args);
    // Statements waiting for the target, in the file and in memory.
    int count() const;
    int inMemory() const { return int(m_memory.size()); }
    // Sends what waits, oldest first, until the record takes one later; true when nothing
    // waits any more.
    bool sendAll(const Send &send);
    // Kept on this PC, never sent again: a person reads them in the spool file's refused table.
    void setAside(const QString &sql, const QVariantList &args, const QString &why);
    // Statements for the target the record refused, and the last reason.
    int refused() const { return m_refused; }
    QString lastRefusal() const { return m_lastRefusal; }

private:
    QString m_target;
    QString m_connection;
    QString m_fileProblem;
    QList<std::pair<QString, QVariantList>> m_memory;
    int m_refused = 0;
    QString m_lastRefusal;
};
