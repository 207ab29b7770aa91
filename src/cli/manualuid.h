#pragma once

#include "core/autoloop.h"
#include "station/record/productionrecord.h"
#include "station/record/recordidentity.h"
#include "station/record/uidcustody.h"
#include "support.h"

#include <QDateTime>
#include <QSysInfo>

#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

// A UID written by hand, held to the loop's promises: refused when the record holds it as
// written or in doubt (unless the operator rewrites recorded tags), reserved and marked as
// about to be written before it leaves, and its outcome kept in a batch marked manual, so no
// later run writes it onto a second tag.
class ManualUid {
public:
    ManualUid(const QString &device, bool rewrite)
        : m_device(device)
        , m_rewrite(rewrite)
    {
    }
    ~ManualUid() { end({}, AutoLoop::TagOutcome::Result::Stopped, QStringLiteral("no reply")); }

    // The tag carried this UID before: the record says where it went once the write is done.
    void replaces(const QString &uid) { m_tag.uidReplaced = uid; }

    // Nothing when the write may go; else the exit code, with why on standard error.
    std::optional<int> begin(const QString &uid, bool hex)
    {
        if (const std::optional<int> off = openBatch(QStringLiteral("manual UID writes"), hex))
            return off;
        using Kind = ProductionRecord::Reservation::Kind;
        const ProductionRecord::Reservation r = m_record->reserve(uid, hex, m_station, m_batch);
        if (r.kind == Kind::Unavailable)
            return off();
        QString held;
        if (r.kind == Kind::Reserved) {
            if (!m_record->arm(uid, m_batch))
                return off();
        } else if (const std::optional<AutoLoop::Engine::UidVerdict> v
                   = UidCustody::verdictOf(r, uid)) {
            held = r.kind == Kind::Written || r.kind == Kind::WrittenElsewhere
                       ? QStringLiteral("UID %1 was already written to a tag %2")
                             .arg(uid, UidCustody::whereWritten(r.where))
                       : QStringLiteral("UID %1 is %2").arg(uid, v->why);
        }
        if (const std::optional<int> refused = refuseHeld(held, QStringLiteral("written")))
            return refused;
        m_tag.uidAsked = uid;
        m_tag.hexBase = hex;
        return beginTag(held.isEmpty() ? QString()
                                       : QStringLiteral("written again with --rewrite: ") + held);
    }

    // The tag in the field carries `uid` and is about to lose it (a wipe, a block write that
    // breaks the ID's frame): refused when the record holds the UID as written, unless the
    // operator rewrites recorded tags; the record then says the UID left the tag. `what` names
    // the batch ("wipe"); `done` what was not done when refused ("wiped").
    std::optional<int> beginRemoval(const QString &uid, const QString &what, const QString &done)
    {
        if (const std::optional<int> off = openBatch(what, true))
            return off;
        bool readable = true;
        const std::optional<ProductionRecord::PriorTag> prior
            = m_record->findWritten(uid, true, &readable);
        if (!readable)
            return off();
        const QString held = prior ? QStringLiteral("UID %1 was written to this tag %2")
                                         .arg(uid, UidCustody::whereWritten(*prior))
                                   : QString();
        if (const std::optional<int> refused = refuseHeld(held, done))
            return refused;
        m_tag.uidReplaced = uid;
        return beginTag(held.isEmpty() ? done
                                       : QStringLiteral("%1 with --rewrite: %2").arg(done, held));
    }

    // The tag loses its UID and gets none in its place.
    bool removes() const { return m_tag.uidAsked.isEmpty() && !m_tag.uidReplaced.isEmpty(); }
    // A block written (or tried), for the record's list of writes.
    void wrote(const AutoLoop::Write &w) { m_tag.writes << w; }

    // The outcome; false when the record could not keep it.
    bool end(const QString &uidRead, AutoLoop::TagOutcome::Result result, const QString &why)
    {
        if (m_batch.isEmpty())
            return true;
        // A wipe asks for no UID: nothing is confirmed on the tag.
        m_tag.uidConfirmed
            = result == AutoLoop::TagOutcome::Result::Complete && !m_tag.uidAsked.isEmpty();
        m_tag.uidRead = uidRead.isEmpty() && m_tag.uidConfirmed ? m_tag.uidAsked : uidRead;
        m_tag.result = result;
        if (!why.isEmpty())
            m_tag.detail = m_tag.detail.isEmpty() ? why : m_tag.detail + QStringLiteral("; ") + why;
        m_tag.endMs = QDateTime::currentMSecsSinceEpoch();
        const bool kept = m_record->endTag(m_row, m_batch, m_tag);
        m_record->endBatch(m_batch);
        m_batch.clear();
        if (!kept || !m_record->problem().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: production record is off: %1")
                            .arg(m_record->problem()));
            return false;
        }
        return true;
    }

private:
    std::optional<int> openBatch(const QString &options, bool hex)
    {
        m_record = std::make_unique<ProductionRecord>(ProductionRecord::configuredPath());
        if (!m_record->isWritable() && !m_record->resume())
            return off();
        m_station.station = QSysInfo::machineHostName();
        m_station.stationKey = RecordIdentity::stationKey();
        m_station.port = m_device;
        m_station.options = options;
        m_station.base = hex ? QStringLiteral("HEX") : QStringLiteral("DEC");
        m_station.manual = true;
        m_station.operatorName = RecordIdentity::userName();
        const std::optional<QString> batch = m_record->beginBatch(m_station);
        if (!batch || !m_record->problem().isEmpty())
            return off();
        m_batch = *batch;
        return std::nullopt;
    }

    std::optional<int> refuseHeld(const QString &held, const QString &what)
    {
        if (held.isEmpty() || m_rewrite)
            return std::nullopt;
        say(stderr, QStringLiteral("kestrel-rfid: %1. Nothing was %2; give --rewrite to go on "
                                   "anyway.")
                        .arg(held, what));
        m_record->endBatch(m_batch);
        m_batch.clear();
        return kTagFailed;
    }

    std::optional<int> beginTag(const QString &detail)
    {
        m_tag.startMs = QDateTime::currentMSecsSinceEpoch();
        m_tag.serial = 1;
        m_tag.detail = detail;
        const std::optional<QString> row = m_record->beginTag(m_batch, m_tag);
        if (!row)
            return off();
        m_row = *row;
        return std::nullopt;
    }

    int off()
    {
        say(stderr,
            QStringLiteral("kestrel-rfid: production record is off: %1. Nothing was written.")
                .arg(m_record->problem().isEmpty() ? QStringLiteral("it did not answer")
                                                   : m_record->problem()));
        if (!m_batch.isEmpty())
            m_record->endBatch(m_batch);
        m_batch.clear();
        return kRecordFailed;
    }

    QString m_device;
    bool m_rewrite;
    std::unique_ptr<ProductionRecord> m_record;
    ProductionRecord::Batch m_station;
    QString m_batch;
    QString m_row;
    AutoLoop::TagOutcome m_tag;
};

} // namespace Cli
