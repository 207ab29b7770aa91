#pragma once

#include "core/autoloop.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <optional>

// The production record: which UID went to which tag, in batches, kept in an SQLite file
// that outlives the window and that several tool windows on one PC may share.
class ProductionRecord {
public:
    // Version 1: batches and tags. Version 2: the owning process of a batch and the indexes
    // the duplicate lookup runs on.
    static constexpr int kSchemaVersion = 2;

    struct Batch {
        QString station;
        QString port;
        QString options;
        QString blocks;
        QString firstUid;
        QString step;
        QString base;
        bool manual = false;
    };

    // Where a UID already sits.
    struct PriorTag {
        qint64 tag = 0;
        qint64 batch = 0;
        QString when;
        QString station;
        QString port;
    };

    // Tags of the record as the Records window and the export show them.
    struct Filter {
        std::optional<qint64> batch;
        QString result;
        QString uidText;
    };

    // production.sqlite in the per-user data folder, unless --record chose another file.
    static QString defaultPath();
    static QString configuredPath();
    static void setConfiguredPath(const QString &path);

    explicit ProductionRecord(const QString &path);
    ~ProductionRecord();
    ProductionRecord(const ProductionRecord &) = delete;
    ProductionRecord &operator=(const ProductionRecord &) = delete;

    QString path() const { return m_path; }
    // Readable (possibly read-only); its tables can be shown and exported.
    bool isOpen() const { return m_open; }
    bool isWritable() const { return m_writable; }
    // Why recording is off; empty while it works.
    QString problem() const { return m_problem; }
    QSqlDatabase database() const;

    std::optional<qint64> beginBatch(const Batch &batch);
    void endBatch(qint64 batch);
    // A tag's row goes in when its first command leaves and is completed when it ends.
    std::optional<qint64> beginTag(qint64 batch, const AutoLoop::TagOutcome &tag);
    bool endTag(qint64 row, const AutoLoop::TagOutcome &tag);

    std::optional<PriorTag> findWritten(const QString &uid);
    // Tags left "in progress" by a tool that is gone are marked interrupted.
    int markInterrupted();

    // The tags a filter selects, as the Records window lists them.
    static QString tagQuery(const Filter &filter);
    static QStringList tagColumns();
    static void bindFilter(QSqlQuery &q, const Filter &filter);
    bool exportCsv(const QString &file, const Filter &filter, QString *error);

    QString fingerprint(const QString &password);

private:
    bool openFile();
    bool migrate(int from);
    bool exec(const QString &sql);
    // Runs a prepared statement; a failure turns recording off and says why.
    bool execute(QSqlQuery &q);
    bool failed(const QSqlQuery &q);
    void fail(const QString &what, const QString &why);

    QString m_path;
    QString m_connection;
    bool m_open = false;
    bool m_writable = false;
    QString m_problem;
    QByteArray m_salt;
};

// One field of a CSV file: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);
