#pragma once

#include "core/autoloop.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <memory>
#include <optional>

// The production record: which UID went to which tag, in batches. It is an SQLite file that
// the tool windows of one PC may share, or a PostgreSQL database that the stations of a line
// share; both hold the same tables and are written by the same statements.
class ProductionRecord {
public:
    // Version 1: batches and tags. Version 2: the owning process of a batch and the indexes
    // the duplicate lookup runs on. Version 3: rows named by a key the station makes (so a
    // statement sent twice records once) and UID reservations.
    static constexpr int kSchemaVersion = 3;

    struct Batch {
        QString station;
        QString port;
        QString options;
        QString blocks;
        QString firstUid;
        QString step;
        QString base;
        bool manual = false;
        // When the batch began (ISO, UTC); now when empty.
        QString started;
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

    // Whether the UID is free: held now for this station, held or written by another one,
    // written by this one, or not known because the record cannot be reached.
    struct Reservation {
        enum class Kind { Reserved, HeldElsewhere, WrittenElsewhere, Written, Unavailable };
        Kind kind = Kind::Unavailable;
        PriorTag where;
    };

    // production.sqlite in the per-user data folder, unless --record or the settings' "record"
    // key name another file or a server (postgresql://...).
    static QString defaultPath();
    static QString configuredPath();
    static void setConfiguredPath(const QString &path);
    static bool isServer(const QString &location);
    // Where outcomes wait while the server cannot be reached.
    static QString spoolPath();
    // The key of a new batch or tag row.
    static QString newKey();

    explicit ProductionRecord(const QString &location);
    ~ProductionRecord();
    ProductionRecord(const ProductionRecord &) = delete;
    ProductionRecord &operator=(const ProductionRecord &) = delete;

    QString path() const { return m_path; }
    bool isShared() const { return m_server; }
    // Readable (possibly read-only); its tables can be shown and exported.
    bool isOpen() const { return m_open && (!m_server || m_connected); }
    bool isWritable() const { return m_writable; }
    // Why recording is off; empty while it works.
    QString problem() const { return m_problem; }
    QSqlDatabase database() const;

    // Batches and tags are named by keys made here; nothing when recording is off.
    std::optional<QString> beginBatch(const Batch &batch, const QString &key = newKey());
    void endBatch(const QString &batch);
    // A tag's row goes in when its first command leaves and is completed when it ends.
    std::optional<QString> beginTag(const QString &batch, const AutoLoop::TagOutcome &tag,
                                    const QString &key = newKey());
    bool endTag(const QString &row, const QString &batch, const AutoLoop::TagOutcome &tag);

    // Where a tag ID was written and confirmed first, in whichever base it was written; nothing
    // when no tag carries it (or the record cannot be read).
    std::optional<PriorTag> findWritten(const QString &uid, bool hex);

    // Holds the UID for this station and batch before it is written, unless another station
    // holds it or any station wrote it; one statement, so two stations never both get it.
    Reservation reserve(const QString &uid, const Batch &station, const QString &batch);
    // Reservations whose tag never completed, as the Records window lists them.
    static QString openReservationQuery();

    // Server only: statements waiting in the spool.
    int spooled() const;
    // Server only: connects again if needed and sends what waits in the spool, in order.
    // True when the server answers and nothing waits.
    bool resume();
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
    bool openServer();
    bool connectServer();
    bool useWal();
    bool migrate(int from);
    // Runs a statement that changes the record; on a server that is gone it waits in the spool.
    bool write(const QString &sql, const QVariantList &args);
    bool spool(const QString &sql, const QVariantList &args);
    std::shared_ptr<QSqlQuery> prepared(const QString &sql, const QVariantList &args);
    bool serverGone(const QSqlQuery &failed);
    void goOffline(const QString &why);
    bool exec(const QString &sql);
    // Runs a prepared statement; a failure turns recording off and says why.
    bool execute(QSqlQuery &q);
    bool failed(const QSqlQuery &q);
    void fail(const QString &what, const QString &why);

    QString m_path;
    // The location as messages show it.
    QString m_shown;
    QString m_connection;
    QString m_spoolConnection;
    bool m_server = false;
    bool m_connected = false;
    // This window left statements in the spool that the server has not taken yet.
    bool m_pending = false;
    QHash<QString, std::shared_ptr<QSqlQuery>> m_prepared;
    bool m_open = false;
    bool m_writable = false;
    QString m_problem;
    QByteArray m_salt;
};

// One field of a CSV file: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);
