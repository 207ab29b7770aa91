#pragma once

#include "core/autoloop.h"
#include "core/uid.h"
#include "productionrecord.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class ListLoader;
class RecordThread;

// Which UIDs this station may write: reservations taken ahead of the loop (the lease), each
// marked in the record before it is written, the tag IDs the record holds as written, and a
// UID list's free positions. The record's thread answers; until an answer is in, the loop is
// told to wait, and nothing is written that the record cannot account for.
class UidCustody {
public:
    // UIDs reserved ahead of the loop, so a UID write seldom waits on the record.
    static constexpr int kLease = 5;

    // What custody asks of the recorder around it.
    struct Hooks {
        // Why the record is off (it failed, or did not answer in time); empty while it works.
        std::function<QString()> problem;
        // The operator chose to run without a record: nothing is guarded.
        std::function<bool()> withoutRecord;
        std::function<AutoLoop::Options()> options;
        std::function<ProductionRecord::Batch()> station;
        // The loop waits for the record; an answer came in.
        std::function<void()> waitForRecord;
        std::function<void()> answered;
    };

    UidCustody(RecordThread &writer, ListLoader &lists, Hooks hooks);

    // A batch begins with nothing reserved; a guarded one leases ahead from its first UID, or
    // opens its UID list.
    void begin(const QString &batch, bool hex, const AutoLoop::Options &o, bool guarded);
    // The batch ends: the UIDs it reserved and never gave to the loop, free for any batch.
    QStringList end();

    AutoLoop::Engine::UidVerdict guard(const QString &uid);
    AutoLoop::Engine::Recorded recordedAt(const QString &uid, bool hex);
    // A tag of this run confirmed its UID: it is not given again, even before the record has
    // its row.
    void noteConfirmed(const AutoLoop::TagOutcome &tag, const QString &uid);

    // The title of the last refusal; whether it may be answered by running without a record
    // (asked once).
    QString refusalTitle() const { return m_refusalTitle; }
    bool takeOfferWithoutRecord() { return std::exchange(m_offerWithoutRecord, false); }

    // What the loop is told of a UID the record answered for; nothing when it could not answer.
    static std::optional<AutoLoop::Engine::UidVerdict>
    verdictOf(const ProductionRecord::Reservation &r, const QString &uid, QString *title = nullptr);
    // "on <time> in batch 4 (station A, port /dev/ttyUSB0)"
    static QString whereWritten(const ProductionRecord::PriorTag &p);
    // The title of a refusal the operator may answer by going on after the recorded UIDs.
    static QString alreadyWrittenTitle();

private:
    using Leased = QList<std::pair<QString, ProductionRecord::Reservation>>;

    // Reserves the UIDs from uid on that the lease does not hold yet.
    void lease(const QString &uid);
    void onLeased(const QString &batch, const QStringList &asked, const Leased &answers);
    // Marks a reserved UID as about to be written; the loop writes none that is not marked.
    void arm(const QString &uid);
    // The UID the lease and the loop go on to after uid: the list's next free one, or uid
    // stepped. Empty at the list's end.
    QString following(const QString &uid) const;
    // The list's first free ID at or after the position of uid, as the record said when the
    // batch began; empty when none is left.
    QString freeFrom(const QString &uid, bool after) const;
    // The batch's UID list, and its free positions once the record has said them.
    void openList(const std::shared_ptr<const UidList> &list);

    RecordThread &m_writer;
    ListLoader &m_lists;
    Hooks m_hooks;

    // What one batch holds; a new batch starts from nothing.
    struct Batch {
        std::optional<QString> key;
        bool hex = true;
        // Reservations: answered, asked and not answered, given to the loop, being marked.
        QHash<Uid::TagId, ProductionRecord::Reservation> lease;
        QSet<Uid::TagId> asked;
        QStringList reservedTexts;
        QSet<Uid::TagId> handedOut;
        QSet<Uid::TagId> arming;
        // Answers for tag IDs the loop asked about, and the ones asked.
        QHash<Uid::TagId, std::optional<ProductionRecord::PriorTag>> found;
        QSet<Uid::TagId> looking;
        std::shared_ptr<const UidList> list;
        // The list's positions free when the batch began, in order; nothing until the record
        // says.
        std::optional<QList<int>> listFree;
        bool listAsked = false;
    };
    Batch m_b;
    // Tag IDs confirmed since the tool started, and where.
    QHash<Uid::TagId, QString> m_confirmed;
    QString m_refusalTitle;
    bool m_offerWithoutRecord = false;
};
