#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <climits>
#include <functional>
#include <optional>

class RecordConnection;
class UidList;

// The UID guard: where a tag ID already sits, and reservations that hold one ID for one batch
// before it is written, so two stations (or two runs of one) never write it twice.
class RecordGuard {
public:
    // Where a UID already sits.
    struct PriorTag {
        qint64 tag = 0;
        qint64 batch = 0;
        QString when;
        QString station;
        QString port;
        QString stationKey;
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

    // Who asks: the host name shown, the port, and the installation's key.
    struct Station {
        QString host;
        QString port;
        QString key;
    };

    // A confirmed tag row (columns named with prefix) carrying one ID in either base, and the
    // values its placeholders take.
    static QString carriesId(const QString &prefix);
    static QVariantList idArgs(quint64 id);
    // UIDs held that no completed tag carries, with why, as the Records window lists them.
    static QString openReservationQuery();

    explicit RecordGuard(RecordConnection &record)
        : m_record(record)
    {
    }

    // Where a tag ID was written and confirmed first, in whichever base it was written; nothing
    // when no tag carries it (or the record cannot be read). readable: the record could be
    // asked.
    std::optional<PriorTag> findWritten(const QString &uid, bool hex, bool *readable = nullptr);
    // Holds the tag ID for this batch before it is written, unless another batch holds it or
    // any station wrote it; one statement, so two stations never both get it.
    Reservation reserve(const QString &uid, bool hex, const Station &station, const QString &batch);
    // Marks a UID of the batch as about to be written, before the write leaves: after a crash
    // it is in doubt, while the ones only reserved ahead are free for the station's next batch.
    bool arm(const QString &uid, const QString &batch);
    // Reservations of the batch that no write used go back.
    bool releaseUnused(const QString &batch, const QStringList &uids);
    // A supervisor gives a UID in doubt back, recorded with who and when.
    bool release(const QString &uid, const QString &who, QString *error);

    // One step of putting a list into the record: its row, then its IDs from position from
    // (-1: where the record's copy ends) until budgetMs have passed, in one transaction. Where
    // the following step goes on (the list's count at its end); nothing when the record could
    // not take it.
    std::optional<int> storeList(const UidList &list, int from, int budgetMs);
    // How many of the list's positions from `from` up to `to` the record holds: only a whole
    // copy is run from.
    std::optional<int> listRows(const UidList &list, int from, int to);
    // The whole list in one transaction; false when the record could not take it.
    bool loadList(const UidList &list);
    // The list's positions from `from` up to `to` that no batch holds or may have written
    // (those this station only reserved ahead and never sent count as free), in order; nothing
    // when the record cannot say.
    std::optional<QList<int>> freePositions(const UidList &list, const Station &station,
                                            int from = 0, int to = INT_MAX);
    // Where a stepping run goes on: the first UID from `first` on, each stepped by `next`,
    // that no tag carries and no batch holds (in doubt, or now for another station), and how
    // many were passed to get there; or why there is none (uid empty).
    struct Unused {
        QString uid;
        int passed = 0;
        QString why;
        // The first few passed because a write of them may have reached a tag.
        QStringList inDoubt;
    };
    static constexpr int kNamedInDoubt = 5;
    Unused firstUnused(const QString &first, const std::function<QString(const QString &)> &next,
                       bool hex, const Station &station, int limit);
    // Each list with its IDs used (on a confirmed tag), in doubt and remaining.
    static QString listSummaryQuery();

private:
    RecordConnection &m_record;
};
