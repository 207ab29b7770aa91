#pragma once

#include "core/autoloop.h"
#include "recordconnection.h"
#include "recordguard.h"
#include "recordidentity.h"
#include "recordqueries.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <functional>
#include <memory>
#include <optional>

// The production record: which UID went to which tag, in batches. It is an SQLite file that
// the tool windows of one PC may share, or a PostgreSQL database that the stations of a line
// share; both hold the same tables and are written by the same statements. This class writes
// batches and tags; the connection, the guard and the queries each have their own.
class ProductionRecord {
public:
    using PriorTag = RecordGuard::PriorTag;
    using Reservation = RecordGuard::Reservation;
    using Filter = RecordQueries::Filter;
    using Mode = RecordConnection::Mode;

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
        // Who ran it: a name given at the start, or the login.
        QString operatorName;
        // When the batch began (ISO, UTC); now when empty.
        QString started;
    };

    // production.sqlite in the per-user data folder, unless --record or the settings' "record"
    // key name another file or a server (postgresql://...).
    static QString defaultPath();
    static QString configuredPath();
    static void setConfiguredPath(const QString &path);
    static bool isServer(const QString &location);
    // Where outcomes wait while the server cannot be reached.
    static QString spoolPath();

    explicit ProductionRecord(const QString &location, Mode mode = Mode::Normal);
    ~ProductionRecord();
    ProductionRecord(const ProductionRecord &) = delete;
    ProductionRecord &operator=(const ProductionRecord &) = delete;

    QString path() const { return m_record.path(); }
    bool isShared() const { return m_record.isShared(); }
    // Readable (possibly read-only); its tables can be shown and exported.
    bool isOpen() const { return m_record.isOpen(); }
    bool isWritable() const { return m_record.isWritable(); }
    // Why recording is off, in one line; empty while it works.
    QString problem() const { return m_record.problem(); }
    // The driver's own words for it.
    QString problemDetail() const { return m_record.problemDetail(); }
    // Off for a while (a full disk, a lock, a server away), not for good.
    bool mayRecover() const { return m_record.mayRecover(); }
    QSqlDatabase database() const { return m_record.database(); }

    // Batches and tags are named by keys made here; nothing when recording is off.
    std::optional<QString> beginBatch(const Batch &batch,
                                      const QString &key = RecordIdentity::newKey());
    void endBatch(const QString &batch);
    // A line in the batch's note ("ran without a record from ...").
    void noteBatch(const QString &batch, const QString &note);
    // A tag's row goes in when its first command leaves and is completed when it ends.
    std::optional<QString> beginTag(const QString &batch, const AutoLoop::TagOutcome &tag,
                                    const QString &key = RecordIdentity::newKey());
    bool endTag(const QString &row, const QString &batch, const AutoLoop::TagOutcome &tag);
    // Lines of a traffic capture, of a tag (its row's key) or of the batch between tags (no
    // tag); each chunk has a key of its own, so one sent twice is kept once.
    void keepTraffic(const QString &batch, const QString &tag, const QByteArray &lines,
                     const QString &key = RecordIdentity::newKey());
    // Tags left "in progress" by a tool that is gone are marked interrupted.
    int markInterrupted();

    std::optional<PriorTag> findWritten(const QString &uid, bool hex, bool *readable = nullptr);
    Reservation reserve(const QString &uid, bool hex, const Batch &station, const QString &batch);
    bool arm(const QString &uid, const QString &batch) { return m_guard.arm(uid, batch); }
    bool releaseUnused(const QString &batch, const QStringList &uids)
    {
        return m_guard.releaseUnused(batch, uids);
    }
    bool release(const QString &uid, const QString &who, QString *error)
    {
        return m_guard.release(uid, who, error);
    }
    std::optional<int> storeList(const UidList &list, int from, int budgetMs)
    {
        return m_guard.storeList(list, from, budgetMs);
    }
    // The free positions from `from` up to `to`, and how many positions there the record holds.
    std::optional<std::pair<QList<int>, int>> freePositions(const UidList &list,
                                                            const Batch &station, int from, int to)
    {
        const std::optional<int> held = m_guard.listRows(list, from, to);
        if (!held)
            return std::nullopt;
        const std::optional<QList<int>> free = m_guard.freePositions(
            list, {station.station, station.port, station.stationKey}, from, to);
        if (!free)
            return std::nullopt;
        return std::pair{*free, *held};
    }
    RecordGuard::Unused firstUnused(const QString &first,
                                    const std::function<QString(const QString &)> &next, bool hex,
                                    const Batch &station, int limit)
    {
        return m_guard.firstUnused(first, next, hex,
                                   {station.station, station.port, station.stationKey}, limit);
    }
    // The list goes into the record once; its free positions for this station, in order.
    std::optional<QList<int>> openList(const UidList &list, const Batch &station)
    {
        if (!m_guard.loadList(list))
            return std::nullopt;
        return m_guard.freePositions(list, {station.station, station.port, station.stationKey});
    }

    // Statements waiting to be sent (in the spool file, or in memory when it cannot be written).
    int spooled() const { return m_record.spooled(); }
    // Statements only memory holds: lost if the tool ends before the record takes them.
    int heldInMemory() const { return m_record.heldInMemory(); }
    // Statements the record refused for good, kept on this PC; the driver's words for the last.
    int refused() const { return m_record.refused(); }
    QString lastRefusal() const { return m_record.lastRefusal(); }
    bool resume() { return m_record.resume(); }
    bool reconnect() { return m_record.reconnect(); }

    // Why an export may not go to file: it is a folder, this record, its journal, the spool
    // or another SQLite file (an export replaces what it is written to); empty when it may.
    static QString exportRefusal(const QString &file, const QString &location);
    bool exportCsv(const QString &file, const Filter &filter, QString *error,
                   const std::function<bool(qint64 rows)> &progress = {});
    qint64 countTags(const Filter &filter);
    std::optional<bool> hasBatch(qint64 id);
    // The captured lines of tag `id` (empty when none were kept); nothing when unreadable.
    std::optional<QByteArray> tagTraffic(qint64 id);

    QString fingerprint(const QString &password);

private:
    RecordConnection m_record;
    RecordGuard m_guard;
};
