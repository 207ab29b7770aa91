#pragma once

#include "core/autoloop.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <functional>
#include <memory>
#include <optional>

class RecordSpool;

// The production record: which UID went to which tag, in batches. It is an SQLite file that
// the tool windows of one PC may share, or a PostgreSQL database that the stations of a line
// share; both hold the same tables and are written by the same statements.
class ProductionRecord {
public:
    // Version 1: batches and tags. Version 2: the owning process of a batch and the indexes
    // the duplicate lookup runs on. Version 3: rows named by a key the station makes (so a
    // statement sent twice records once) and UID reservations. Version 4: reservations by tag
    // ID, batch and station key, held until released.
    static constexpr int kSchemaVersion = 4;

    struct Batch {
        QString station;
        QString port;
        // Names the installation, whatever its host name (cloned PCs share one).
        QString stationKey;
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
        QString stationKey;
    };

    // Tags of the record as the Records window and the export show them.
    struct Filter {
        std::optional<qint64> batch;
        QString result;
        QString uidText;
    };

    // Whether the UID is free: held now for this batch, held or written by another station,
    // written by this one, held in doubt by an earlier batch of this one, or not known because
    // the record cannot be reached.
    struct Reservation {
        enum class Kind {
            Reserved,
            HeldElsewhere,
            WrittenElsewhere,
            Written,
            InDoubt,
            Unavailable
        };
        Kind kind = Kind::Unavailable;
        // Reserved and marked as about to be written: the loop may send it.
        bool armed = false;
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
    // This installation's station key, made once and kept with the tool's data; a copy of the
    // data on a PC with another machine ID makes a new one.
    static QString stationKey();
    // The secret the password fingerprints are keyed with: made once per user and kept with
    // the tool's data, never in the record. Stations that copy the same file make fingerprints
    // that compare.
    static QByteArray fingerprintKey();
    // A database error in a few plain words.
    static QString plainError(const QSqlError &e);

    // SpoolOnly: every change goes to the spool, nothing is read (a record that froze).
    enum class Mode { Normal, SpoolOnly };
    explicit ProductionRecord(const QString &location, Mode mode = Mode::Normal);
    ~ProductionRecord();
    ProductionRecord(const ProductionRecord &) = delete;
    ProductionRecord &operator=(const ProductionRecord &) = delete;

    QString path() const { return m_path; }
    bool isShared() const { return m_server; }
    // Readable (possibly read-only); its tables can be shown and exported.
    bool isOpen() const { return m_open && (!m_server || m_connected); }
    bool isWritable() const { return m_writable; }
    // Why recording is off, in one line; empty while it works.
    QString problem() const { return m_problem; }
    // The driver's own words for it.
    QString problemDetail() const { return m_detail; }
    // Off for a while (a full disk, a lock, a server away), not for good.
    bool mayRecover() const { return m_server || m_recoverable; }
    QSqlDatabase database() const;

    // Batches and tags are named by keys made here; nothing when recording is off.
    std::optional<QString> beginBatch(const Batch &batch, const QString &key = newKey());
    void endBatch(const QString &batch);
    // A line in the batch's note ("ran without a record from ...").
    void noteBatch(const QString &batch, const QString &note);
    // A tag's row goes in when its first command leaves and is completed when it ends.
    std::optional<QString> beginTag(const QString &batch, const AutoLoop::TagOutcome &tag,
                                    const QString &key = newKey());
    bool endTag(const QString &row, const QString &batch, const AutoLoop::TagOutcome &tag);

    // Where a tag ID was written and confirmed first, in whichever base it was written; nothing
    // when no tag carries it (or the record cannot be read).
    // readable: the record could be asked.
    std::optional<PriorTag> findWritten(const QString &uid, bool hex, bool *readable = nullptr);

    // Holds the tag ID for this batch before it is written, unless another batch holds it or
    // any station wrote it; one statement, so two stations never both get it.
    Reservation reserve(const QString &uid, bool hex, const Batch &station, const QString &batch);
    // Marks a UID of the batch as about to be written, before the write leaves: after a crash
    // it is in doubt, while the ones only reserved ahead are free for the station's next batch.
    bool arm(const QString &uid, const QString &batch);
    // Reservations of the batch that no write used go back.
    bool releaseUnused(const QString &batch, const QStringList &uids);
    // A supervisor gives a UID in doubt back, recorded with who and when.
    bool release(const QString &uid, const QString &who, QString *error);
    // UIDs held that no completed tag carries, with why, as the Records window lists them.
    static QString openReservationQuery();

    // Statements waiting to be sent (in the spool file, or in memory when it cannot be written).
    int spooled() const;
    // Statements only memory holds: lost if the tool ends before the record takes them.
    int heldInMemory() const;
    // Connects again if needed and sends what waits, in order; true when the record takes
    // changes again and nothing waits.
    bool resume();
    // For reading: a server connection that broke is made again.
    bool reconnect();
    // Tags left "in progress" by a tool that is gone are marked interrupted.
    int markInterrupted();

    // The tags a filter selects, as the Records window lists them.
    static QString tagQuery(const Filter &filter);
    static QStringList tagColumns();
    static void bindFilter(QSqlQuery &q, const Filter &filter);
    // progress is told the rows written so far, now and then; false cancels, and nothing is
    // written then.
    bool exportCsv(const QString &file, const Filter &filter, QString *error,
                   const std::function<bool(qint64 rows)> &progress = {});
    // How many tags a filter selects.
    qint64 countTags(const Filter &filter);

    QString fingerprint(const QString &password);

private:
    bool openFile();
    bool openServer();
    bool openSpool();
    bool sendSpooled();
    bool sendOne(const QString &sql, const QVariantList &args);
    // Whether the record takes changes, without changing it.
    bool probe();
    bool connectServer();
    bool useWal();
    bool migrate(int from);
    // Runs a statement that changes the record; on a server that is gone it waits in the spool.
    bool write(const QString &sql, const QVariantList &args);
    bool spool(const QString &sql, const QVariantList &args);
    std::shared_ptr<QSqlQuery> prepared(const QString &sql, const QVariantList &args);
    bool serverGone(const QSqlQuery &failed);
    void goOffline(const QSqlError &why);
    bool exec(const QString &sql);
    // Runs a prepared statement; a failure turns recording off and says why.
    bool execute(QSqlQuery &q);
    bool failed(const QSqlQuery &q);
    void fail(const QString &what, const QString &why);

    QString m_path;
    // The location as messages show it.
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

// One field of a CSV file: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);
