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
    // Sends one statement to the record; false leaves it and all after it waiting.
    using Send = std::function<bool(const QString &sql, const QVariantList &args)>;
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
    // Sends what waits, oldest first, while send succeeds; true when nothing waits any more.
    bool sendAll(const Send &send);

private:
    QString m_target;
    QString m_connection;
    QString m_fileProblem;
    QList<std::pair<QString, QVariantList>> m_memory;
};
