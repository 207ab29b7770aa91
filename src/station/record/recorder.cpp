#include "recorder.h"

#include "core/uid.h"
#include "listloader.h"
#include "recordwriter.h"
#include "station/dialogs.h"
#include "station/link/trafficcapture.h"
#include "station/session/productionloop.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>

using AutoLoop::TagOutcome;
using Verdict = AutoLoop::Engine::UidVerdict;
using Recorded = AutoLoop::Engine::Recorded;

namespace {

// The title of a refusal the operator may answer by going on after the recorded UIDs.
const QString kAlreadyWritten = QStringLiteral("UID already written");

} // namespace

Recorder::Recorder(ProductionLoop &loop, std::function<QString()> portDevice, Dialogs &dialogs,
                   QObject *parent)
    : QObject(parent)
    , m_loop(loop)
    , m_portDevice(std::move(portDevice))
    , m_dialogs(dialogs)
    , m_writer(std::make_unique<RecordWriter>(ProductionRecord::configuredPath()))
    , m_lists(new ListLoader(*m_writer, this))
    , m_wait(new QTimer(this))
{
    // Queued: the command that started or ended a tag leaves the port before the record is
    // asked to write it, and the three keep their order.
    connect(&m_loop, &ProductionLoop::switched, this, &Recorder::onSwitched, Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::tagStarted, this, &Recorder::onTagStarted,
            Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::tagEnded, this, &Recorder::onTagEnded, Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::uidRefused, this, &Recorder::onUidRefused);
    m_loop.setUidGuard([this](const QString &uid) { return guard(uid); });
    m_loop.setRecordedLookup([this](const QString &uid, bool hex) { return recordedAt(uid, hex); });
    m_loop.setStartGate([this] { return mayStart(); });
    connect(m_lists, &ListLoader::finished, this, [this](const QString &error) {
        if (!std::exchange(m_startWhenLoaded, false))
            return;
        if (error.isEmpty())
            m_loop.start();
        else
            m_dialogs.warning(QStringLiteral("UID list"), error);
    });
    m_wait->setSingleShot(true);
    m_wait->setInterval(kAnswerMs);
    connect(m_wait, &QTimer::timeout, this, [this] {
        m_late = QStringLiteral("it did not answer within %1 s").arg(kAnswerMs / 1000);
        checkProblem();
        answered();
        // Told once the record's thread has caught up, whether or not anything waits then.
        m_writer->ask<bool>([](ProductionRecord &) { return true; },
                            [this](bool) { recordAnswers(); });
    });
    connect(m_writer.get(), &RecordWriter::stateChanged, this, &Recorder::onState);
    showSummary();
}

Recorder::~Recorder()
{
    close();
}

QString Recorder::close()
{
    if (m_closed)
        return {};
    // The loop's last reports are queued to us (a tag stopped as the run ends): they go into
    // the record before the batch closes, or that tag would stay "in progress".
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_closed = true;
    m_loop.setUidGuard({});
    m_loop.setRecordedLookup({});
    m_loop.setStartGate({});
    cancelList();
    if (m_batch)
        onSwitched(false);
    if (m_manualBatch)
        m_writer->post([key = *m_manualBatch](ProductionRecord &r) { r.endBatch(key); });
    const RecordWriter::Left left = m_writer->close();
    QStringList said;
    if (left.stuck)
        said << QStringLiteral("The production record did not answer within %1 s.")
                    .arg(RecordWriter::kCloseMs / 1000);
    if (left.spooled > 0)
        said << QStringLiteral("%1 record %2 in %3 on this PC; the tool's next start sends "
                               "them once the record answers.")
                    .arg(left.spooled)
                    .arg(left.spooled == 1 ? QStringLiteral("entry waits")
                                           : QStringLiteral("entries wait"))
                    .arg(QDir::toNativeSeparators(ProductionRecord::spoolPath()));
    if (left.lost > 0)
        said << QStringLiteral("%1 record %2 could not be kept: neither the record nor the "
                               "spool on this PC could be written.")
                    .arg(left.lost)
                    .arg(left.lost == 1 ? QStringLiteral("entry") : QStringLiteral("entries"));
    return said.join(u' ');
}

QString Recorder::warningDetail() const
{
    if (m_warning.isEmpty())
        return {};
    return problem().isEmpty() ? m_refusal : m_detail;
}

QString Recorder::problem() const
{
    return m_problem.isEmpty() ? m_late : m_problem;
}

void Recorder::onState(const QString &problem, const QString &detail, int spooled, int refused,
                       const QString &refusal)
{
    const bool first = !m_reported;
    m_reported = true;
    m_problem = problem;
    m_detail = detail;
    m_spooled = spooled;
    m_refused = refused;
    m_refusal = refusal;
    if (problem.isEmpty()) {
        m_late.clear();
        // Back: guarding goes on where it stopped.
        m_withoutRecord = false;
    }
    checkProblem(first);
    // A loop waiting on a record that just went off is told now, not after kAnswerMs.
    if (!problem.isEmpty())
        answered();
}

void Recorder::checkProblem(bool atStart)
{
    if (problem().isEmpty()) {
        // A record that answers again: the warning goes, and a later outage is told anew.
        m_warned = false;
        // What the record refused does not stop the line, but it is not in the record.
        const QString refused
            = m_refused == 0
                  ? QString()
                  : QStringLiteral("%1 record %2 refused by the production record and kept on "
                                   "this PC (table \"refused\" of %3): %4")
                        .arg(m_refused)
                        .arg(m_refused == 1 ? QStringLiteral("entry was")
                                            : QStringLiteral("entries were"),
                             QDir::toNativeSeparators(RecordSpool::path()),
                             m_refusal.section(u'\n', 0, 0).trimmed());
        if (m_warning != refused) {
            m_warning = refused;
            emit warningChanged();
        }
        return;
    }
    const QString text = m_withoutRecord
                             ? QStringLiteral("Production record is off: %1. Running without a "
                                              "record: UIDs are not checked; outcomes wait on "
                                              "this PC.")
                                   .arg(problem())
                             : QStringLiteral("Production record is off: %1. No UID is written "
                                              "until it answers again; outcomes wait on this PC.")
                                   .arg(problem());
    m_warning = text;
    emit warningChanged();
    // Told by a box when the tool starts, or when the loop then needs a UID; otherwise the
    // status bar says it.
    if (m_warned || !atStart)
        return;
    m_warned = true;
    m_dialogs.warning(QStringLiteral("Production record"), text);
}

ProductionRecord::Batch Recorder::station() const
{
    ProductionRecord::Batch b;
    b.station = QSysInfo::machineHostName();
    b.stationKey = RecordIdentity::stationKey();
    b.port = m_portDevice ? m_portDevice() : QString();
    b.operatorName = operatorName();
    return b;
}

QString Recorder::operatorName() const
{
    return m_operator.isEmpty() ? RecordIdentity::userName() : m_operator;
}

ProductionRecord::Batch Recorder::describeBatch() const
{
    const AutoLoop::Options o = m_loop.options();
    ProductionRecord::Batch b = station();
    QStringList options;
    const auto add = [&options](bool on, const char *name) {
        if (on)
            options << QString::fromLatin1(name);
    };
    add(o.autoUnlock, "Auto Unlock");
    add(o.setUid, "Auto Set UID");
    add(o.setUid && o.autoInc, "Auto inc (UID+)");
    QStringList blocks;
    for (int n = 1; n <= 6; ++n) {
        if (o.blocks[size_t(n)])
            blocks << QStringLiteral("%1=%2").arg(n).arg(o.blockTexts[size_t(n)]);
    }
    if (!blocks.isEmpty())
        options << QStringLiteral("Write Block");
    add(o.writePassword, "Write Password (B7)");
    if (o.writePassword)
        blocks << QStringLiteral("7=(password)");
    add(o.lock, "Lock UID & Block's");
    add(o.notConfig, "starts on Not configration");
    add(o.noUid, "starts on Not UID Tag");
    add(o.withId, "starts on With identifier");
    b.options = options.join(QStringLiteral(", "));
    b.blocks = blocks.join(u' ');
    if (o.setUid) {
        b.firstUid = o.setUidText;
        b.step = o.autoInc ? o.incText : QStringLiteral("0");
        if (o.uidList)
            b.step
                = QStringLiteral("list %1 (%2 IDs)").arg(o.uidList->name()).arg(o.uidList->count());
    }
    b.base = o.base == AutoLoop::Options::Base::Dec ? QStringLiteral("DEC") : QStringLiteral("HEX");
    return b;
}

bool Recorder::hexBase() const
{
    return m_batchDescription.base != QLatin1String("DEC");
}

void Recorder::onSwitched(bool on)
{
    if (!on) {
        if (m_batch) {
            // Reserved ahead and never written: free for any batch. Asked and not answered
            // yet too: the release runs after the reservation on the record's thread.
            QStringList unused;
            for (const QString &uid : std::as_const(m_reservedTexts)) {
                const std::optional<quint64> id = Uid::tagId(uid, hexBase());
                if (id && !m_handedOut.contains(*id))
                    unused << uid;
            }
            keepTraffic({});
            m_writer->post([key = *m_batch, unused, begun = m_batchBegun](ProductionRecord &r) {
                if (!unused.isEmpty())
                    r.releaseUnused(key, unused);
                if (begun)
                    r.endBatch(key);
            });
        }
        m_batch.reset();
        m_withoutRecord = false;
        answered();
        return;
    }
    m_counts = {};
    m_line = {};
    emit lineChanged();
    m_traffic.clear();
    m_lastTag.clear();
    m_rows.clear();
    m_lease.clear();
    m_asked.clear();
    m_arming.clear();
    m_reservedTexts.clear();
    m_handedOut.clear();
    m_found.clear();
    m_looking.clear();
    m_list.reset();
    m_listFree.reset();
    m_listAsked = false;
    m_batch = RecordIdentity::newKey();
    // The batch goes into the record with its first tag: a start and stop with no tag in
    // between leaves no empty batch behind.
    m_batchDescription = describeBatch();
    m_batchDescription.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    m_batchBegun = false;
    m_withoutRecord = std::exchange(m_withoutRecordNext, false);
    showSummary();
    checkProblem();
    const AutoLoop::Options o = m_loop.options();
    if (o.setUid && o.uidList && !m_withoutRecord)
        openList(o.uidList);
    else if (o.setUid && o.autoInc && !m_withoutRecord)
        lease(o.setUidText);
    // A guard that asked before the batch was known asks again.
    answered();
}

void Recorder::beginBatchOnce()
{
    if (m_batchBegun || !m_batch)
        return;
    m_batchBegun = true;
    m_writer->post(
        [key = *m_batch, b = m_batchDescription](ProductionRecord &r) { r.beginBatch(b, key); });
    if (!m_withoutRecord)
        return;
    const QString note = QStringLiteral("ran without a record from %1 (%2)")
                             .arg(m_batchDescription.started, problem());
    m_writer->post([key = *m_batch, note](ProductionRecord &r) { r.noteBatch(key, note); });
}

void Recorder::onTagStarted(const TagOutcome &tag)
{
    if (!m_batch)
        return;
    beginBatchOnce();
    const QString row = RecordIdentity::newKey();
    m_rows.insert(tag.serial, row);
    m_writer->post(
        [batch = *m_batch, tag, row](ProductionRecord &r) { r.beginTag(batch, tag, row); });
}

void Recorder::onTagEnded(const TagOutcome &tag)
{
    switch (tag.result) {
    case TagOutcome::Result::Complete:
        ++m_counts.complete;
        break;
    case TagOutcome::Result::Failed:
        ++m_counts.failed;
        break;
    default:
        ++m_counts.stalled;
        break;
    }
    const QString uid = tag.uidRead.isEmpty() ? tag.uidAsked : tag.uidRead;
    noteConfirmed(tag, uid);
    m_line.add({tag.endMs, m_batchDescription.station, AutoLoop::resultName(tag.result),
                tag.retries, tag.detail});
    emit lineChanged();
    m_lastTag = (uid.isEmpty() ? QStringLiteral("last tag") : QStringLiteral("last ") + uid)
                + QStringLiteral(": ") + AutoLoop::resultName(tag.result);
    showSummary();
    if (!m_batch)
        return;
    beginBatchOnce();
    // A tag whose start was not recorded gets its row now.
    QString row = m_rows.take(tag.serial);
    if (row.isEmpty())
        row = RecordIdentity::newKey();
    m_writer->post(
        [batch = *m_batch, tag, row](ProductionRecord &r) { r.endTag(row, batch, tag); });
    keepTraffic(row);
}

void Recorder::keepTrafficOf(TrafficCapture &capture)
{
    connect(&capture, &TrafficCapture::lineWritten, this, &Recorder::onTrafficLine);
}

void Recorder::onTrafficLine(const QByteArray &line)
{
    if (!m_batch)
        return;
    m_traffic += line;
    if (m_traffic.size() < kTrafficChunk)
        return;
    if (m_batchBegun) {
        keepTraffic({});
        return;
    }
    // No tag yet, so no batch in the record: only the latest waiting is kept for the first tag.
    const qsizetype cut = m_traffic.indexOf('\n', m_traffic.size() / 2);
    m_traffic.remove(0, cut < 0 ? m_traffic.size() : cut + 1);
}

void Recorder::keepTraffic(const QString &tagRow)
{
    // A batch with no tag is not in the record, and neither is its traffic.
    if (m_traffic.isEmpty() || !m_batch || !m_batchBegun)
        return;
    m_writer->post([batch = *m_batch, tagRow, lines = std::exchange(m_traffic, {})](
                       ProductionRecord &r) { r.keepTraffic(batch, tagRow, lines); });
}

void Recorder::noteConfirmed(const TagOutcome &tag, const QString &uid)
{
    const std::optional<quint64> parsed = Uid::tagId(uid, tag.hexBase);
    if (!tag.uidConfirmed || !parsed)
        return;
    const quint64 id = *parsed;
    const quint64 old = Uid::tagId(tag.uidReplaced, tag.hexBase).value_or(id);
    m_confirmed.remove(old);
    const ProductionRecord::Batch b = station();
    const QString when = QDateTime::fromMSecsSinceEpoch(tag.endMs, Qt::UTC).toString(Qt::ISODate);
    m_confirmed.insert(
        id, QStringLiteral("on %1 in this run (station %2, port %3)").arg(when, b.station, b.port));
}

void Recorder::showSummary()
{
    QString text = QStringLiteral("Batch: %1 complete / %2 failed / %3 stalled")
                       .arg(m_counts.complete)
                       .arg(m_counts.failed)
                       .arg(m_counts.stalled);
    if (!m_lastTag.isEmpty())
        text += QStringLiteral(" \u2014 ") + m_lastTag;
    m_summary = text;
    emit summaryChanged(text);
}

QString Recorder::whereWritten(const ProductionRecord::PriorTag &p)
{
    return QStringLiteral("on %1 in batch %2 (station %3, port %4)")
        .arg(p.when)
        .arg(p.batch)
        .arg(p.station, p.port.isEmpty() ? QStringLiteral("-") : p.port);
}

std::optional<Verdict> Recorder::verdictOf(const ProductionRecord::Reservation &r,
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
            *title = kAlreadyWritten;
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

bool Recorder::mayStart()
{
    const AutoLoop::Options o = m_loop.options();
    // Without a record (chosen, or off) there is nothing to load: the guard says the rest.
    if (!o.setUid || !o.uidList || m_withoutRecordNext || !problem().isEmpty())
        return true;
    const ProductionRecord::Batch here = station();
    if (m_lists->ready(*o.uidList, here.port)) {
        if (m_lists->freeCount() > 0)
            return true;
        // No batch opens for a list with nothing left to write.
        m_lists->take(*o.uidList, here.port);
        m_loop.finishBeforeStart(AutoLoop::listDoneWhy(*o.uidList, true));
        return false;
    }
    if (!m_lists->loading(*o.uidList, here.port))
        m_lists->load(o.uidList, here);
    m_startWhenLoaded = true;
    return false;
}

void Recorder::findFirstUnused(const AutoLoop::Options &o,
                               std::function<void(const RecordGuard::Unused &)> answer)
{
    m_writer->ask<RecordGuard::Unused>(
        [o, station = station()](ProductionRecord &r) {
            return r.firstUnused(
                o.setUidText, [&o](const QString &uid) { return AutoLoop::nextUid(o, uid); },
                o.base != AutoLoop::Options::Base::Dec, station, kContinueLimit);
        },
        std::move(answer));
}

QString Recorder::carryingOn(const QString &from, const RecordGuard::Unused &found)
{
    QString said
        = QStringLiteral("continuing at UID %1: %2 %3 from %4 written or in doubt")
              .arg(found.uid)
              .arg(found.passed)
              .arg(found.passed == 1 ? QStringLiteral("UID") : QStringLiteral("UIDs"), from);
    // Those in doubt wait for a supervisor in the Records window: named, so they are found.
    if (!found.inDoubt.isEmpty())
        said += QStringLiteral(" (in doubt: %1%2)")
                    .arg(found.inDoubt.join(QStringLiteral(", ")),
                         found.inDoubt.size() == RecordGuard::kNamedInDoubt ? QStringLiteral(", …")
                                                                            : QString());
    return said;
}

void Recorder::carryOn()
{
    const AutoLoop::Options o = m_loop.options();
    findFirstUnused(o, [this, from = o.setUidText](const RecordGuard::Unused &found) {
        if (m_loop.running())
            return;
        if (found.uid.isEmpty()) {
            m_dialogs.warning(
                kAlreadyWritten,
                QStringLiteral("Cannot go on after UID %1: %2.").arg(from, found.why));
            return;
        }
        m_loop.carryOnAt(found.uid, carryingOn(from, found));
        m_loop.start();
    });
}

void Recorder::cancelList()
{
    m_startWhenLoaded = false;
    m_lists->cancel();
}

void Recorder::openList(const std::shared_ptr<const UidList> &list)
{
    m_list = list;
    if (std::optional<QList<int>> free = m_lists->take(*list, station().port)) {
        m_listFree = std::move(free);
        if (!m_listFree->isEmpty())
            lease(m_list->ids()[m_listFree->first()].text);
        return;
    }
    m_listAsked = true;
    const QString batch = *m_batch;
    m_writer->ask<std::optional<QList<int>>>(
        [list, station = station()](ProductionRecord &r) { return r.openList(*list, station); },
        [this, batch](const std::optional<QList<int>> &free) {
            if (m_batch != batch)
                return;
            m_listAsked = false;
            m_listFree = free;
            if (free && !free->isEmpty())
                lease(m_list->ids()[free->first()].text);
            recordAnswers();
        });
}

QString Recorder::freeFrom(const QString &uid, bool after) const
{
    const std::optional<quint64> id = Uid::tagId(uid, m_list->hex());
    const int at = id ? m_list->positionOf(*id).value_or(-1) : -1;
    const auto it = std::lower_bound(m_listFree->cbegin(), m_listFree->cend(), at + int(after));
    return it == m_listFree->cend() ? QString() : m_list->ids()[*it].text;
}

QString Recorder::following(const QString &uid) const
{
    if (m_list && m_listFree)
        return freeFrom(uid, true);
    return AutoLoop::nextUid(m_loop.options(), uid);
}

void Recorder::lease(const QString &from)
{
    if (!m_batch)
        return;
    QStringList wanted;
    QString uid = from;
    for (int i = 0; i < kLease && uid.size() <= Uid::kLength; ++i) {
        const std::optional<quint64> id = Uid::tagId(uid, hexBase());
        if (!id)
            break;
        if (!m_lease.contains(*id) && !m_asked.contains(*id) && !m_handedOut.contains(*id)) {
            m_asked.insert(*id);
            m_reservedTexts << uid;
            wanted << uid;
        }
        const QString next = following(uid);
        if (next == uid || next.isEmpty())
            break;
        uid = next;
    }
    if (wanted.isEmpty())
        return;
    const QString batch = *m_batch;
    const bool hex = hexBase();
    m_writer->ask<Leased>(
        [wanted, hex, station = station(), batch](ProductionRecord &r) {
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

void Recorder::onLeased(const QString &batch, const QStringList &asked, const Leased &answers)
{
    if (m_batch == batch) {
        // Asked and not answered (the record stopped part way) or not known: asked again when
        // the loop needs it.
        for (const QString &uid : asked)
            m_asked.remove(*Uid::tagId(uid, hexBase()));
        for (const auto &[uid, r] : answers) {
            if (r.kind != ProductionRecord::Reservation::Kind::Unavailable)
                m_lease.insert(*Uid::tagId(uid, hexBase()), r);
        }
    }
    recordAnswers();
}

void Recorder::arm(const QString &uid)
{
    const std::optional<quint64> id = Uid::tagId(uid, hexBase());
    if (!id || !m_batch || m_arming.contains(*id))
        return;
    m_arming.insert(*id);
    const quint64 key = *id;
    const QString batch = *m_batch;
    m_writer->ask<bool>([uid, batch](ProductionRecord &r) { return r.arm(uid, batch); },
                        [this, key, batch](bool armed) {
                            m_arming.remove(key);
                            const auto it = m_lease.find(key);
                            // A UID held elsewhere is not marked, and stays stepped past.
                            if (m_batch == batch && it != m_lease.end()
                                && it->kind == ProductionRecord::Reservation::Kind::Reserved) {
                                it->armed = armed;
                                // Not marked: nothing the loop may write.
                                if (!armed)
                                    it->kind = ProductionRecord::Reservation::Kind::Unavailable;
                            }
                            recordAnswers();
                        });
}

void Recorder::waitForRecord()
{
    m_waiting = true;
    if (!m_wait->isActive())
        m_wait->start();
}

void Recorder::recordAnswers()
{
    m_late.clear();
    checkProblem();
    answered();
}

void Recorder::answered()
{
    if (!m_waiting)
        return;
    m_waiting = false;
    m_wait->stop();
    // Not from inside whatever step delivered the answer.
    QTimer::singleShot(0, this, [this] { m_loop.recordAnswered(); });
}

Verdict Recorder::guard(const QString &uid)
{
    if (m_withoutRecord)
        return {};
    if (!m_batch) {
        waitForRecord();
        return {Verdict::Kind::Pending, {}};
    }
    std::optional<quint64> id = Uid::tagId(uid, hexBase());
    if (id && m_handedOut.contains(*id)) {
        // Given to the loop already in this batch and marked as sent: written again to the
        // tag it went to (it read back wrong), unless a tag of this run confirmed it.
        const auto recent = m_confirmed.constFind(*id);
        if (recent == m_confirmed.cend())
            return {};
        m_refusalTitle = kAlreadyWritten;
        return {Verdict::Kind::Refuse,
                QStringLiteral("UID %1 was already written to a tag %2. Nothing was written; the "
                               "loop stopped. Set the next free UID and start again.")
                    .arg(uid, *recent)};
    }
    if (m_list && problem().isEmpty()) {
        if (!m_listFree) {
            if (m_listAsked) {
                waitForRecord();
                return {Verdict::Kind::Pending, {}};
            }
            // The record could not say which of the list's IDs are free: nothing is written.
            m_list.reset();
            id.reset();
        } else if (const QString free = freeFrom(uid, false); free != uid) {
            // Used or held when the batch began: straight on to the list's next free ID, or to
            // its last one when none is left, which ends the run.
            const QString last = m_list->ids().last().text;
            return {Verdict::Kind::Skip,
                    QStringLiteral("used or held already (UID list %1)").arg(m_list->name()),
                    free.isEmpty() ? (uid == last ? QString() : last) : free};
        }
    }
    if (id && problem().isEmpty()) {
        const auto it = m_lease.constFind(*id);
        const bool reserved
            = it != m_lease.cend() && it->kind == ProductionRecord::Reservation::Kind::Reserved;
        if (it == m_lease.cend() || (reserved && !it->armed)) {
            // Reserved, then marked as about to be written: both on the record's thread, in
            // that order.
            lease(uid);
            arm(uid);
            waitForRecord();
            return {Verdict::Kind::Pending, {}};
        }
        const ProductionRecord::Reservation r = *it;
        m_lease.erase(it);
        if (reserved) {
            m_handedOut.insert(*id);
            // The next ones are asked for, and the next marked, while this one is written.
            const QString next = following(uid);
            if (!next.isEmpty()) {
                lease(next);
                arm(next);
            }
        }
        std::optional<Verdict> v = verdictOf(r, uid, &m_refusalTitle);
        // A list's ID on a tag already, or held, is passed over: the list goes on without it.
        if (v && m_list && v->kind != Verdict::Kind::Free) {
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
                .arg(problem().isEmpty() ? QStringLiteral("it did not answer") : problem(), uid)};
}

Recorded Recorder::recordedAt(const QString &uid, bool hex)
{
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    if (!id)
        return {};
    // A tag of this run may come back before the record's thread has committed its row.
    const auto recent = m_confirmed.constFind(*id);
    if (recent != m_confirmed.cend())
        return std::optional<QString>(*recent);
    // A record that is off cannot say; the guard stops the loop before it writes a UID.
    if (m_withoutRecord || !problem().isEmpty())
        return {};
    const auto found = m_found.constFind(*id);
    if (found != m_found.cend()) {
        const std::optional<ProductionRecord::PriorTag> where = *found;
        m_found.erase(found);
        if (where)
            return std::optional<QString>(whereWritten(*where));
        return {};
    }
    if (!m_looking.contains(*id)) {
        m_looking.insert(*id);
        const quint64 key = *id;
        // One that cannot be read is taken as not written: the guard stops the loop before a
        // UID is written to a record that is off.
        m_writer->ask<std::optional<ProductionRecord::PriorTag>>(
            [uid, hex](ProductionRecord &r) { return r.findWritten(uid, hex); },
            [this, key](const std::optional<ProductionRecord::PriorTag> &where) {
                m_looking.remove(key);
                m_found.insert(key, where);
                recordAnswers();
            });
    }
    waitForRecord();
    return Recorded::pending();
}

void Recorder::onUidRefused(const QString &why)
{
    // Not from inside the loop's step: the box is shown once the step has returned.
    const QString title = m_refusalTitle;
    const bool offer = std::exchange(m_offerWithoutRecord, false);
    const AutoLoop::Options o = m_loop.options();
    // A stepping run refused a UID the record holds as written: it may go on after them.
    const bool mayCarryOn
        = title == kAlreadyWritten && o.autoInc && !o.uidList && problem().isEmpty();
    m_warned = true;
    QTimer::singleShot(0, this, [this, title, why, offer, mayCarryOn] {
        if (mayCarryOn) {
            if (m_dialogs.warningWithChoice(title, why,
                                            QStringLiteral("Continue after recorded UIDs")))
                carryOn();
            return;
        }
        if (!offer) {
            m_dialogs.warning(title, why);
            return;
        }
        if (!m_dialogs.warningWithChoice(title, why, QStringLiteral("Run without a record")))
            return;
        // The operator's choice, for this outage only: the batch says so once the record is
        // back, and guarding goes on as soon as it answers.
        if (problem().isEmpty() || m_loop.running())
            return;
        m_withoutRecordNext = true;
        m_loop.start();
    });
}

void Recorder::onManualUidWrite(const QString &uid, bool hex)
{
    if (m_manualRow)
        endManualTag({}, TagOutcome::Result::Stalled,
                     QStringLiteral("no answer before the next write"));
    if (!m_manualBatch) {
        ProductionRecord::Batch b = station();
        b.options = QStringLiteral("manual UID writes");
        b.base = hex ? QStringLiteral("HEX") : QStringLiteral("DEC");
        b.manual = true;
        m_manualBatch = RecordIdentity::newKey();
        m_writer->post([key = *m_manualBatch, b](ProductionRecord &r) { r.beginBatch(b, key); });
    }
    m_manualTag = TagOutcome{};
    m_manualTag.startMs = QDateTime::currentMSecsSinceEpoch();
    m_manualTag.uidAsked = uid;
    m_manualTag.hexBase = hex;
    m_manualRow = RecordIdentity::newKey();
    m_writer->post([batch = *m_manualBatch, tag = m_manualTag,
                    row = *m_manualRow](ProductionRecord &r) { r.beginTag(batch, tag, row); });
}

void Recorder::onReply(const QString &head, const Reply::Parsed &reply)
{
    if (!m_manualRow)
        return;
    if (reply.kind != Reply::Kind::Identifier) {
        endManualTag({}, TagOutcome::Result::Failed, QStringLiteral("answered ") + head.trimmed());
        return;
    }
    const bool match = reply.payload == m_manualTag.uidAsked;
    endManualTag(reply.payload, match ? TagOutcome::Result::Complete : TagOutcome::Result::Failed,
                 match ? QString() : QStringLiteral("read back as ") + reply.payload);
}

void Recorder::onReplyTimedOut()
{
    if (m_manualRow)
        endManualTag({}, TagOutcome::Result::Stalled, QStringLiteral("no reply"));
}

void Recorder::endManualTag(const QString &uidRead, TagOutcome::Result result,
                            const QString &detail)
{
    const QString row = *m_manualRow;
    m_manualRow.reset();
    m_manualTag.uidRead = uidRead;
    m_manualTag.uidConfirmed = !uidRead.isEmpty() && uidRead == m_manualTag.uidAsked;
    m_manualTag.result = result;
    m_manualTag.detail = detail;
    m_manualTag.endMs = QDateTime::currentMSecsSinceEpoch();
    m_writer->post([batch = *m_manualBatch, tag = m_manualTag, row](ProductionRecord &r) {
        r.endTag(row, batch, tag);
    });
}
