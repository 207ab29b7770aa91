#include "recorder.h"

#include "core/uid.h"
#include "listloader.h"
#include "recordhealth.h"
#include "recordthread.h"
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

Recorder::Recorder(ProductionLoop &loop, std::function<QString()> portDevice, Dialogs &dialogs,
                   QObject *parent)
    : QObject(parent)
    , m_loop(loop)
    , m_portDevice(std::move(portDevice))
    , m_dialogs(dialogs)
    , m_writer(std::make_unique<RecordThread>(ProductionRecord::configuredPath()))
    , m_lists(new ListLoader(*m_writer, this))
    , m_wait(new QTimer(this))
    , m_health(new RecordHealth(dialogs, this))
{
    connect(m_health, &RecordHealth::warningChanged, this, &Recorder::warningChanged);
    UidCustody::Hooks hooks;
    hooks.problem = [this] {
        return problem();
    };
    hooks.withoutRecord = [this] {
        return m_withoutRecord;
    };
    hooks.options = [this] {
        return m_loop.options();
    };
    hooks.station = [this] {
        return station();
    };
    hooks.waitForRecord = [this] {
        waitForRecord();
    };
    hooks.answered = [this] {
        recordAnswers();
    };
    m_custody = std::make_unique<UidCustody>(*m_writer, *m_lists, std::move(hooks));
    // Queued: the command that started or ended a tag leaves the port before the record is
    // asked to write it, and the three keep their order.
    connect(&m_loop, &ProductionLoop::switched, this, &Recorder::onSwitched, Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::tagStarted, this, &Recorder::onTagStarted,
            Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::tagEnded, this, &Recorder::onTagEnded, Qt::QueuedConnection);
    connect(&m_loop, &ProductionLoop::uidRefused, this, &Recorder::onUidRefused);
    m_loop.setUidGuard([this](const QString &uid) { return m_custody->guard(uid); });
    m_loop.setRecordedLookup(
        [this](const QString &uid, bool hex) { return m_custody->recordedAt(uid, hex); });
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
        m_health->late(QStringLiteral("it did not answer within %1 s").arg(kAnswerMs / 1000));
        checkProblem();
        answered();
        // Told once the record's thread has caught up, whether or not anything waits then.
        m_writer->ask<bool>([](ProductionRecord &) { return true; },
                            [this](bool) { recordAnswers(); });
    });
    connect(m_writer.get(), &RecordThread::stateChanged, this, &Recorder::onState);
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
    if (m_run.key)
        onSwitched(false);
    endManualJob(TagOutcome::Result::Stopped, QStringLiteral("the window closed during the job"));
    if (m_manualBatch)
        m_writer->post([key = *m_manualBatch](ProductionRecord &r) { r.endBatch(key); });
    const RecordThread::Left left = m_writer->close();
    QStringList said;
    if (left.stuck)
        said << QStringLiteral("The production record did not answer within %1 s.")
                    .arg(RecordThread::kCloseMs / 1000);
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

void Recorder::onState(const QString &problem, const QString &detail, int spooled, int refused,
                       const QString &refusal)
{
    const bool first = m_health->take(problem, detail, spooled, refused, refusal);
    // Back: guarding goes on where it stopped.
    if (problem.isEmpty())
        m_withoutRecord = false;
    checkProblem(first);
    // A loop waiting on a record that just went off is told now, not after kAnswerMs.
    if (!problem.isEmpty())
        answered();
}

void Recorder::checkProblem(bool atStart)
{
    m_health->check(m_withoutRecord, atStart);
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
    QStringList blocks;
    for (int n = 1; n <= 6; ++n) {
        if (o.blocks[size_t(n)])
            blocks << QStringLiteral("%1=%2").arg(n).arg(o.blockTexts[size_t(n)]);
    }
    if (o.writePassword)
        blocks << QStringLiteral("7=(password)");
    const QStringList options = AutoLoop::batchOptionNames(o);
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

void Recorder::onSwitched(bool on)
{
    if (!on) {
        if (m_run.key) {
            const QStringList unused = m_custody->end();
            keepTraffic({});
            m_writer->post([key = *m_run.key, unused, begun = m_run.begun](ProductionRecord &r) {
                if (!unused.isEmpty())
                    r.releaseUnused(key, unused);
                if (begun)
                    r.endBatch(key);
            });
        }
        // The figures and the summary stay the last batch's until the next begins.
        m_run.key.reset();
        m_withoutRecord = false;
        answered();
        return;
    }
    m_run = Run{};
    emit lineChanged();
    m_run.key = RecordIdentity::newKey();
    // The batch goes into the record with its first tag: a start and stop with no tag in
    // between leaves no empty batch behind.
    m_run.description = describeBatch();
    m_run.description.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    m_withoutRecord = std::exchange(m_withoutRecordNext, false);
    showSummary();
    checkProblem();
    m_custody->begin(*m_run.key, m_run.description.base != QLatin1String("DEC"), m_loop.options(),
                     !m_withoutRecord);
    // A guard that asked before the batch was known asks again.
    answered();
}

void Recorder::beginBatchOnce()
{
    if (m_run.begun || !m_run.key)
        return;
    m_run.begun = true;
    m_writer->post(
        [key = *m_run.key, b = m_run.description](ProductionRecord &r) { r.beginBatch(b, key); });
    if (!m_withoutRecord)
        return;
    const QString note = QStringLiteral("ran without a record from %1 (%2)")
                             .arg(m_run.description.started, problem());
    m_writer->post([key = *m_run.key, note](ProductionRecord &r) { r.noteBatch(key, note); });
}

void Recorder::onTagStarted(const TagOutcome &tag)
{
    if (!m_run.key)
        return;
    beginBatchOnce();
    const QString row = RecordIdentity::newKey();
    m_run.rows.insert(tag.serial, row);
    m_writer->post(
        [batch = *m_run.key, tag, row](ProductionRecord &r) { r.beginTag(batch, tag, row); });
}

void Recorder::onTagEnded(const TagOutcome &tag)
{
    switch (tag.result) {
    case TagOutcome::Result::Complete:
        ++m_run.complete;
        break;
    case TagOutcome::Result::Failed:
        ++m_run.failed;
        break;
    default:
        ++m_run.stalled;
        break;
    }
    const QString uid = tag.uidRead.isEmpty() ? tag.uidAsked : tag.uidRead;
    m_custody->noteConfirmed(tag, uid);
    m_run.line.add({tag.endMs, m_run.description.station, AutoLoop::resultName(tag.result),
                    tag.retries, tag.detail});
    emit lineChanged();
    m_run.lastTag = (uid.isEmpty() ? QStringLiteral("last tag") : QStringLiteral("last ") + uid)
                    + QStringLiteral(": ") + AutoLoop::resultName(tag.result);
    showSummary();
    if (!m_run.key)
        return;
    beginBatchOnce();
    // A tag whose start was not recorded gets its row now.
    QString row = m_run.rows.take(tag.serial);
    if (row.isEmpty())
        row = RecordIdentity::newKey();
    m_writer->post(
        [batch = *m_run.key, tag, row](ProductionRecord &r) { r.endTag(row, batch, tag); });
    keepTraffic(row);
}

void Recorder::keepTrafficOf(TrafficCapture &capture)
{
    connect(&capture, &TrafficCapture::lineWritten, this, &Recorder::onTrafficLine);
}

void Recorder::onTrafficLine(const QByteArray &line)
{
    if (!m_run.key)
        return;
    m_run.traffic += line;
    if (m_run.traffic.size() < kTrafficChunk)
        return;
    if (m_run.begun) {
        keepTraffic({});
        return;
    }
    // No tag yet, so no batch in the record: only the latest waiting is kept for the first tag.
    const qsizetype cut = m_run.traffic.indexOf('\n', m_run.traffic.size() / 2);
    m_run.traffic.remove(0, cut < 0 ? m_run.traffic.size() : cut + 1);
}

void Recorder::keepTraffic(const QString &tagRow)
{
    // A batch with no tag is not in the record, and neither is its traffic.
    if (m_run.traffic.isEmpty() || !m_run.key || !m_run.begun)
        return;
    m_writer->post([batch = *m_run.key, tagRow, lines = std::exchange(m_run.traffic, {})](
                       ProductionRecord &r) { r.keepTraffic(batch, tagRow, lines); });
}

void Recorder::showSummary()
{
    QString text = QStringLiteral("Batch: %1 complete / %2 failed / %3 stalled")
                       .arg(m_run.complete)
                       .arg(m_run.failed)
                       .arg(m_run.stalled);
    if (!m_run.lastTag.isEmpty())
        text += QStringLiteral(" \u2014 ") + m_run.lastTag;
    m_summary = text;
    emit summaryChanged(text);
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
                UidCustody::alreadyWrittenTitle(),
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

void Recorder::waitForRecord()
{
    m_waiting = true;
    if (!m_wait->isActive())
        m_wait->start();
}

void Recorder::recordAnswers()
{
    m_health->answered();
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

void Recorder::onUidRefused(const QString &why)
{
    // Not from inside the loop's step: the box is shown once the step has returned.
    const QString title = m_custody->refusalTitle();
    const bool offer = m_custody->takeOfferWithoutRecord();
    const AutoLoop::Options o = m_loop.options();
    // A stepping run refused a UID the record holds as written: it may go on after them.
    const bool mayCarryOn = title == UidCustody::alreadyWrittenTitle() && o.autoInc && !o.uidList
                            && problem().isEmpty();
    m_health->told();
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

QString Recorder::manualBatch(bool hex)
{
    if (!m_manualBatch) {
        ProductionRecord::Batch b = station();
        b.options = QStringLiteral("manual UID writes");
        b.base = hex ? QStringLiteral("HEX") : QStringLiteral("DEC");
        b.manual = true;
        m_manualBatch = RecordIdentity::newKey();
        m_writer->post([key = *m_manualBatch, b](ProductionRecord &r) { r.beginBatch(b, key); });
    }
    return *m_manualBatch;
}

void Recorder::checkManualUid(const QString &uid, bool hex,
                              std::function<void(const ManualCheck &)> answer)
{
    m_writer->ask<ManualCheck>(
        [uid, hex, b = station(), batch = manualBatch(hex)](ProductionRecord &r) {
            using Kind = ProductionRecord::Reservation::Kind;
            const ProductionRecord::Reservation res = r.reserve(uid, hex, b, batch);
            ManualCheck c;
            if (res.kind == Kind::Reserved && r.arm(uid, batch))
                return c;
            if (res.kind == Kind::Written || res.kind == Kind::WrittenElsewhere)
                c.held = QStringLiteral("UID %1 was already written to a tag %2")
                             .arg(uid, UidCustody::whereWritten(res.where));
            else if (const std::optional<Verdict> v = UidCustody::verdictOf(res, uid);
                     v && res.kind != Kind::Reserved)
                c.held = QStringLiteral("UID %1 is %2").arg(uid, v->why);
            else
                c.problem
                    = r.problem().isEmpty() ? QStringLiteral("it did not answer") : r.problem();
            return c;
        },
        std::move(answer));
}

void Recorder::onManualUidWrite(const QString &uid, bool hex, const QString &note)
{
    if (m_manualRow)
        endManualTag({}, TagOutcome::Result::Stalled,
                     QStringLiteral("no answer before the next write"));
    const QString batch = manualBatch(hex);
    m_manualTag = TagOutcome{};
    m_manualTag.startMs = QDateTime::currentMSecsSinceEpoch();
    m_manualTag.uidAsked = uid;
    m_manualTag.hexBase = hex;
    m_manualTag.detail = note;
    m_manualRow = RecordIdentity::newKey();
    m_writer->post([batch, tag = m_manualTag, row = *m_manualRow](ProductionRecord &r) {
        r.beginTag(batch, tag, row);
    });
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
    if (!detail.isEmpty())
        m_manualTag.detail = m_manualTag.detail.isEmpty()
                                 ? detail
                                 : m_manualTag.detail + QStringLiteral("; ") + detail;
    m_manualTag.endMs = QDateTime::currentMSecsSinceEpoch();
    m_writer->post([batch = *m_manualBatch, tag = m_manualTag, row](ProductionRecord &r) {
        r.endTag(row, batch, tag);
    });
}

void Recorder::findWritten(const QString &uid, std::function<void(const Holding &)> answer)
{
    m_writer->ask<Holding>(
        [uid](ProductionRecord &r) {
            bool readable = true;
            Holding h;
            h.where = r.findWritten(uid, true, &readable);
            if (!readable)
                h.problem
                    = r.problem().isEmpty() ? QStringLiteral("it did not answer") : r.problem();
            return h;
        },
        std::move(answer));
}

void Recorder::beginManualJob(const QString &what, const AutoLoop::TagOutcome &tag)
{
    endManualJob(TagOutcome::Result::Stopped, QStringLiteral("another job by hand began"));
    ManualJob j{{}, !what.isEmpty(), RecordIdentity::newKey(), tag};
    j.tag.startMs = QDateTime::currentMSecsSinceEpoch();
    j.tag.serial = 1;
    if (j.ownBatch) {
        ProductionRecord::Batch b = station();
        b.options = what;
        b.base = tag.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC");
        b.manual = true;
        j.batch = RecordIdentity::newKey();
        m_writer->post([b, key = j.batch](ProductionRecord &r) { r.beginBatch(b, key); });
    } else {
        j.batch = manualBatch(tag.hexBase);
    }
    m_writer->post([batch = j.batch, tag = j.tag, row = j.row](ProductionRecord &r) {
        r.beginTag(batch, tag, row);
    });
    m_job = std::move(j);
}

void Recorder::manualJobWrote(const AutoLoop::Write &w)
{
    if (m_job)
        m_job->tag.writes << w;
}

void Recorder::endManualJob(TagOutcome::Result result, const QString &why)
{
    if (!m_job)
        return;
    ManualJob j = std::move(*m_job);
    m_job.reset();
    j.tag.result = result;
    j.tag.uidConfirmed = result == TagOutcome::Result::Complete && !j.tag.uidAsked.isEmpty();
    if (j.tag.uidConfirmed)
        j.tag.uidRead = j.tag.uidAsked;
    if (!why.isEmpty())
        j.tag.detail = j.tag.detail.isEmpty() ? why : j.tag.detail + QStringLiteral("; ") + why;
    j.tag.endMs = QDateTime::currentMSecsSinceEpoch();
    m_writer->post([j](ProductionRecord &r) {
        r.endTag(j.row, j.batch, j.tag);
        if (j.ownBatch)
            r.endBatch(j.batch);
    });
}
