#include "uidcustody.h"

#include "core/uid.h"
#include "listloader.h"
#include "recordthread.h"

#include <QDateTime>

#include <algorithm>

using AutoLoop::TagOutcome;
using Verdict = AutoLoop::Engine::UidVerdict;
using Recorded = AutoLoop::Engine::Recorded;

UidCustody::UidCustody(RecordThread &writer, ListLoader &lists, Hooks hooks)
    : m_writer(writer)
    , m_lists(lists)
    , m_hooks(std::move(hooks))
{
}

QString UidCustody::alreadyWrittenTitle()
{
    return QStringLiteral("UID already written");
}

void UidCustody::begin(const QString &batch, bool hex, const AutoLoop::Options &o, bool guarded)
{
    m_b = Batch{};
    m_b.key = batch;
    m_b.hex = hex;
    if (o.setUid && o.uidList && guarded)
        openList(o.uidList);
    else if (o.setUid && o.autoInc && guarded)
        lease(o.setUidText);
}

QStringList UidCustody::end()
{
    // Reserved ahead and never written: free for any batch. Asked and not answered yet too:
    // the release runs after the reservation on the record's thread.
    QStringList unused;
    for (const QString &uid : std::as_const(m_b.reservedTexts)) {
        const std::optional<Uid::TagId> id = Uid::idOf(uid, m_b.hex);
        if (id && !m_b.handedOut.contains(*id))
            unused << uid;
    }
    m_b = Batch{};
    return unused;
}

std::optional<Verdict> UidCustody::verdictOf(const ProductionRecord::Reservation &r,
                                             const QString &uid, QString *title)
{
    using Kind = ProductionRecord::Reservation::Kind;
    const QString port = r.where.port.isEmpty() ? QStringLiteral("-") : r.where.port;
    switch (r.kind) {
    case Kind::Reserved:
        return Verdict{};
    case Kind::HeldElsewhere:
        return Verdict{Verdict::Kind::Skip, QStringLiteral("held by station %1 (port %2) since %3")
                                                .arg(r.where.station, port, r.where.when)};
    case Kind::WrittenElsewhere:
        return Verdict{Verdict::Kind::Skip,
                       QStringLiteral("written by station %1 (port %2) on %3 in batch %4")
                           .arg(r.where.station, port, r.where.when)
                           .arg(r.where.batch)};
    case Kind::Written:
        if (title)
            *title = alreadyWrittenTitle();
        return Verdict{Verdict::Kind::Refuse,
                       QStringLiteral("UID %1 was already written to a tag on %2 in batch %3 "
                                      "(station %4, port %5). Nothing was written; the loop "
                                      "stopped. Set the next free UID and start again.")
                           .arg(uid, r.where.when)
                           .arg(r.where.batch)
                           .arg(r.where.station, port)};
    case Kind::InDoubt:
        return Verdict{Verdict::Kind::Skip,
                       QStringLiteral("held in doubt since %1 by an earlier batch of this station "
                                      "(a write of it may have reached a tag); a supervisor "
                                      "releases it in the Records window")
                           .arg(r.where.when)};
    case Kind::Unavailable:
        break;
    }
    return std::nullopt;
}

QString UidCustody::whereWritten(const ProductionRecord::PriorTag &p)
{
    return QStringLiteral("on %1 in batch %2 (station %3, port %4)")
        .arg(p.when)
        .arg(p.batch)
        .arg(p.station, p.port.isEmpty() ? QStringLiteral("-") : p.port);
}

void UidCustody::noteConfirmed(const TagOutcome &tag, const QString &uid)
{
    const std::optional<Uid::TagId> parsed = Uid::idOf(uid, tag.hexBase);
    if (!tag.uidConfirmed || !parsed)
        return;
    const Uid::TagId id = *parsed;
    const Uid::TagId old = Uid::idOf(tag.uidReplaced, tag.hexBase).value_or(id);
    m_confirmed.remove(old);
    const ProductionRecord::Batch b = m_hooks.station();
    const QString when = QDateTime::fromMSecsSinceEpoch(tag.endMs, Qt::UTC).toString(Qt::ISODate);
    m_confirmed.insert(
        id, QStringLiteral("on %1 in this run (station %2, port %3)").arg(when, b.station, b.port));
}

void UidCustody::openList(const std::shared_ptr<const UidList> &list)
{
    m_b.list = list;
    if (std::optional<QList<int>> free = m_lists.take(*list, m_hooks.station().port)) {
        m_b.listFree = std::move(free);
        if (!m_b.listFree->isEmpty())
            lease(m_b.list->ids()[m_b.listFree->first()].text);
        return;
    }
    m_b.listAsked = true;
    const QString batch = *m_b.key;
    m_writer.ask<std::optional<QList<int>>>(
        [list, station = m_hooks.station()](ProductionRecord &r) {
            return r.openList(*list, station);
        },
        [this, batch](const std::optional<QList<int>> &free) {
            if (m_b.key != batch)
                return;
            m_b.listAsked = false;
            m_b.listFree = free;
            if (free && !free->isEmpty())
                lease(m_b.list->ids()[free->first()].text);
            m_hooks.answered();
        });
}

QString UidCustody::freeFrom(const QString &uid, bool after) const
{
    const std::optional<Uid::TagId> id = Uid::idOf(uid, m_b.list->hex());
    const int at = id ? m_b.list->positionOf(id->value).value_or(-1) : -1;
    const auto it = std::lower_bound(m_b.listFree->cbegin(), m_b.listFree->cend(), at + int(after));
    return it == m_b.listFree->cend() ? QString() : m_b.list->ids()[*it].text;
}

QString UidCustody::following(const QString &uid) const
{
    if (m_b.list && m_b.listFree)
        return freeFrom(uid, true);
    return AutoLoop::nextUid(m_hooks.options(), uid);
}

void UidCustody::lease(const QString &from)
{
    if (!m_b.key)
        return;
    QStringList wanted;
    QString uid = from;
    for (int i = 0; i < kLease && uid.size() <= Uid::kLength; ++i) {
        const std::optional<Uid::TagId> id = Uid::idOf(uid, m_b.hex);
        if (!id)
            break;
        if (!m_b.lease.contains(*id) && !m_b.asked.contains(*id) && !m_b.handedOut.contains(*id)) {
            m_b.asked.insert(*id);
            m_b.reservedTexts << uid;
            wanted << uid;
        }
        const QString next = following(uid);
        if (next == uid || next.isEmpty())
            break;
        uid = next;
    }
    if (wanted.isEmpty())
        return;
    const QString batch = *m_b.key;
    const bool hex = m_b.hex;
    m_writer.ask<Leased>(
        [wanted, hex, station = m_hooks.station(), batch](ProductionRecord &r) {
            Leased answers;
            for (const QString &u : wanted) {
                answers.append({u, r.reserve(u, hex, station, batch)});
                // A record that cannot answer one will not answer the next.
                if (answers.last().second.kind == ProductionRecord::Reservation::Kind::Unavailable)
                    break;
            }
            return answers;
        },
        [this, batch, wanted](const Leased &answers) { onLeased(batch, wanted, answers); });
}

void UidCustody::onLeased(const QString &batch, const QStringList &asked, const Leased &answers)
{
    if (m_b.key == batch) {
        // Asked and not answered (the record stopped part way) or not known: asked again when
        // the loop needs it.
        for (const QString &uid : asked)
            m_b.asked.remove(*Uid::idOf(uid, m_b.hex));
        for (const auto &[uid, r] : answers) {
            if (r.kind != ProductionRecord::Reservation::Kind::Unavailable)
                m_b.lease.insert(*Uid::idOf(uid, m_b.hex), r);
        }
    }
    m_hooks.answered();
}

void UidCustody::arm(const QString &uid)
{
    const std::optional<Uid::TagId> id = Uid::idOf(uid, m_b.hex);
    if (!id || !m_b.key || m_b.arming.contains(*id))
        return;
    m_b.arming.insert(*id);
    const Uid::TagId key = *id;
    const QString batch = *m_b.key;
    m_writer.ask<bool>([uid, batch](ProductionRecord &r) { return r.arm(uid, batch); },
                       [this, key, batch](bool armed) {
                           m_b.arming.remove(key);
                           const auto it = m_b.lease.find(key);
                           // A UID held elsewhere is not marked, and stays stepped past.
                           if (m_b.key == batch && it != m_b.lease.end()
                               && it->kind == ProductionRecord::Reservation::Kind::Reserved) {
                               it->armed = armed;
                               // Not marked: nothing the loop may write.
                               if (!armed)
                                   it->kind = ProductionRecord::Reservation::Kind::Unavailable;
                           }
                           m_hooks.answered();
                       });
}

Verdict UidCustody::guard(const QString &uid)
{
    if (m_hooks.withoutRecord())
        return {};
    if (!m_b.key) {
        m_hooks.waitForRecord();
        return {Verdict::Kind::Pending, {}};
    }
    std::optional<Uid::TagId> id = Uid::idOf(uid, m_b.hex);
    if (id && m_b.handedOut.contains(*id)) {
        // Given to the loop already in this batch and marked as sent: written again to the
        // tag it went to (it read back wrong), unless a tag of this run confirmed it.
        const auto recent = m_confirmed.constFind(*id);
        if (recent == m_confirmed.cend())
            return {};
        m_refusalTitle = alreadyWrittenTitle();
        return {Verdict::Kind::Refuse,
                QStringLiteral("UID %1 was already written to a tag %2. Nothing was written; the "
                               "loop stopped. Set the next free UID and start again.")
                    .arg(uid, *recent)};
    }
    if (m_b.list && m_hooks.problem().isEmpty()) {
        if (!m_b.listFree) {
            if (m_b.listAsked) {
                m_hooks.waitForRecord();
                return {Verdict::Kind::Pending, {}};
            }
            // The record could not say which of the list's IDs are free: nothing is written.
            m_b.list.reset();
            id.reset();
        } else if (const QString free = freeFrom(uid, false); free != uid) {
            // Used or held when the batch began: straight on to the list's next free ID, or to
            // its last one when none is left, which ends the run.
            const QString last = m_b.list->ids().last().text;
            return {Verdict::Kind::Skip,
                    QStringLiteral("used or held already (UID list %1)").arg(m_b.list->name()),
                    free.isEmpty() ? (uid == last ? QString() : last) : free};
        }
    }
    if (id && m_hooks.problem().isEmpty()) {
        const auto it = m_b.lease.constFind(*id);
        const bool reserved
            = it != m_b.lease.cend() && it->kind == ProductionRecord::Reservation::Kind::Reserved;
        if (it == m_b.lease.cend() || (reserved && !it->armed)) {
            // Reserved, then marked as about to be written: both on the record's thread, in
            // that order.
            lease(uid);
            arm(uid);
            m_hooks.waitForRecord();
            return {Verdict::Kind::Pending, {}};
        }
        const ProductionRecord::Reservation r = *it;
        m_b.lease.erase(it);
        if (reserved) {
            m_b.handedOut.insert(*id);
            // The next ones are asked for, and the next marked, while this one is written.
            const QString next = following(uid);
            if (!next.isEmpty()) {
                lease(next);
                arm(next);
            }
        }
        std::optional<Verdict> v = verdictOf(r, uid, &m_refusalTitle);
        // A list's ID on a tag already, or held, is passed over: the list goes on without it.
        if (v && m_b.list && v->kind != Verdict::Kind::Free) {
            v->kind = Verdict::Kind::Skip;
            v->next = following(uid);
        }
        if (v)
            return *v;
    }
    // Nothing is written that the record cannot account for.
    m_refusalTitle = QStringLiteral("Production record");
    m_offerWithoutRecord = true;
    return {Verdict::Kind::Refuse,
            QStringLiteral("Production record is off: %1. UID %2 was not written and the loop "
                           "stopped. The record is tried again on its own: start the loop once "
                           "its warning has gone, or choose to run without a record.")
                .arg(m_hooks.problem().isEmpty() ? QStringLiteral("it did not answer")
                                                 : m_hooks.problem(),
                     uid)};
}

Recorded UidCustody::recordedAt(const QString &uid, bool hex)
{
    const std::optional<Uid::TagId> id = Uid::idOf(uid, hex);
    if (!id)
        return {};
    // A tag of this run may come back before the record's thread has committed its row.
    const auto recent = m_confirmed.constFind(*id);
    if (recent != m_confirmed.cend())
        return std::optional<QString>(*recent);
    // A record that is off cannot say; the guard stops the loop before it writes a UID.
    if (m_hooks.withoutRecord() || !m_hooks.problem().isEmpty())
        return {};
    const auto found = m_b.found.constFind(*id);
    if (found != m_b.found.cend()) {
        const std::optional<ProductionRecord::PriorTag> where = *found;
        m_b.found.erase(found);
        if (where)
            return std::optional<QString>(whereWritten(*where));
        return {};
    }
    if (!m_b.looking.contains(*id)) {
        m_b.looking.insert(*id);
        const Uid::TagId key = *id;
        // One that cannot be read is taken as not written: the guard stops the loop before a
        // UID is written to a record that is off.
        m_writer.ask<std::optional<ProductionRecord::PriorTag>>(
            [uid, hex](ProductionRecord &r) { return r.findWritten(uid, hex); },
            [this, key](const std::optional<ProductionRecord::PriorTag> &where) {
                m_b.looking.remove(key);
                m_b.found.insert(key, where);
                m_hooks.answered();
            });
    }
    m_hooks.waitForRecord();
    return Recorded::pending();
}
