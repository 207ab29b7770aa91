#include "recorder.h"

#include "core/palette.h"
#include "core/uid.h"
#include "recordwriter.h"
#include "uid/autowriter.h"
#include "widgets/dialogs.h"

#include <QDateTime>
#include <QLabel>
#include <QStatusBar>
#include <QSysInfo>
#include <QTimer>
#include <QToolButton>

using AutoLoop::TagOutcome;
using Verdict = AutoLoop::Engine::UidVerdict;

static constexpr int kRetryMs = 3000;

Recorder::Recorder(AutoWriter &autoWriter, std::function<QString()> portDevice, Dialogs &dialogs,
                   QStatusBar *statusBar, QObject *parent)
    : QObject(parent)
    , m_autoWriter(autoWriter)
    , m_portDevice(std::move(portDevice))
    , m_dialogs(dialogs)
    , m_record(std::make_unique<ProductionRecord>(ProductionRecord::configuredPath()))
    , m_writer(std::make_unique<RecordWriter>(ProductionRecord::configuredPath()))
    , m_summary(new QLabel)
    , m_warning(new QLabel)
    , m_recordsButton(new QToolButton)
    , m_retry(new QTimer(this))
{
    m_summary->setObjectName(QStringLiteral("lb_Record_Summary"));
    m_summary->setTextFormat(Qt::PlainText);
    m_warning->setObjectName(QStringLiteral("lb_Record_Warning"));
    m_warning->setTextFormat(Qt::PlainText);
    QPalette p = m_warning->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(Palette::ColorRed));
    m_warning->setPalette(p);
    m_warning->hide();
    m_recordsButton->setObjectName(QStringLiteral("cm_Records"));
    m_recordsButton->setText(QStringLiteral("Records"));
    m_recordsButton->setToolTip(QStringLiteral("Production record: batches and tags (Ctrl+R)"));
    m_recordsButton->setAccessibleDescription(QStringLiteral("cm_Records"));
    if (statusBar) {
        statusBar->addPermanentWidget(m_warning);
        statusBar->addPermanentWidget(m_summary);
        statusBar->addPermanentWidget(m_recordsButton);
    }
    connect(m_recordsButton, &QToolButton::clicked, this, &Recorder::recordsRequested);
    // Queued: the command that started or ended a tag leaves the port before the file is
    // written, and the three keep their order.
    connect(&m_autoWriter, &AutoWriter::switched, this, &Recorder::onSwitched,
            Qt::QueuedConnection);
    connect(&m_autoWriter, &AutoWriter::tagStarted, this, &Recorder::onTagStarted,
            Qt::QueuedConnection);
    connect(&m_autoWriter, &AutoWriter::tagEnded, this, &Recorder::onTagEnded,
            Qt::QueuedConnection);
    connect(&m_autoWriter, &AutoWriter::uidRefused, this, &Recorder::onUidRefused);
    m_autoWriter.setUidGuard([this](const QString &uid) { return guard(uid); });
    m_autoWriter.setRecordedLookup(
        [this](const QString &uid, bool hex) { return recordedAt(uid, hex); });
    m_retry->setInterval(kRetryMs);
    connect(m_retry, &QTimer::timeout, this, &Recorder::retry);
    connect(m_writer.get(), &RecordWriter::stateChanged, this,
            [this](const QString &problem, int spooled) {
                m_writerProblem = problem;
                m_writerSpooled = spooled;
                checkProblem();
            });
    m_record->markInterrupted();
    showSummary();
    // Said once the window is up, not from inside its construction.
    QTimer::singleShot(0, this, [this] { checkProblem(true); });
}

Recorder::~Recorder()
{
    m_autoWriter.setUidGuard({});
    m_autoWriter.setRecordedLookup({});
    if (m_batch && m_batchBegun)
        m_writer->post([key = *m_batch](ProductionRecord &r) { r.endBatch(key); });
    if (m_manualBatch)
        m_writer->post([key = *m_manualBatch](ProductionRecord &r) { r.endBatch(key); });
    // Everything asked for is written before the window goes.
    m_writer.reset();
}

QString Recorder::problem() const
{
    return m_record->problem().isEmpty() ? m_writerProblem : m_record->problem();
}

void Recorder::retry()
{
    if (m_record->resume())
        m_record->markInterrupted();
    m_writer->post([](ProductionRecord &r) { r.resume(); });
    checkProblem();
}

void Recorder::checkProblem(bool atStart)
{
    const bool waiting = m_writerSpooled > 0;
    if (problem().isEmpty()) {
        // A server that answers again: the warning goes, and a later outage is told anew.
        m_warning->hide();
        m_warned = false;
        if (!waiting)
            m_retry->stop();
        return;
    }
    if (m_record->isShared() && !m_retry->isActive())
        m_retry->start();
    const QString text = m_record->isShared()
                             ? QStringLiteral("Production record is off: %1. No UID is written "
                                              "until it can be reserved; outcomes wait on this "
                                              "PC and are sent when the server answers.")
                                   .arg(problem())
                             : QStringLiteral("Production record is off: %1. UIDs are not "
                                              "checked against earlier batches.")
                                   .arg(problem());
    m_warning->setText(text);
    m_warning->setToolTip(text);
    m_warning->show();
    // A server going away mid-run is told by the status bar, and by a box only if the loop
    // then needs a UID; a local file that fails is told at once.
    if (m_warned || (m_record->isShared() && !atStart))
        return;
    m_warned = true;
    m_dialogs.warning(QStringLiteral("Production record"), text);
}

ProductionRecord::Batch Recorder::station() const
{
    ProductionRecord::Batch b;
    b.station = QSysInfo::machineHostName();
    b.port = m_portDevice ? m_portDevice() : QString();
    return b;
}

ProductionRecord::Batch Recorder::describeBatch() const
{
    const AutoLoop::Options o = m_autoWriter.options();
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
    }
    b.base = o.base == AutoLoop::Options::Base::Dec ? QStringLiteral("DEC") : QStringLiteral("HEX");
    return b;
}

void Recorder::onSwitched(bool on)
{
    if (!on) {
        if (m_batch && m_batchBegun)
            m_writer->post([key = *m_batch](ProductionRecord &r) { r.endBatch(key); });
        m_batch.reset();
        return;
    }
    m_counts = {};
    m_lastTag.clear();
    m_rows.clear();
    m_batch = ProductionRecord::newKey();
    // The batch goes into the record with its first tag: a start and stop with no tag in
    // between leaves no empty batch behind.
    m_batchDescription = describeBatch();
    m_batchDescription.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    m_batchBegun = false;
    showSummary();
}

void Recorder::beginBatchOnce()
{
    if (m_batchBegun || !m_batch)
        return;
    m_batchBegun = true;
    m_writer->post(
        [key = *m_batch, b = m_batchDescription](ProductionRecord &r) { r.beginBatch(b, key); });
}

void Recorder::onTagStarted(const TagOutcome &tag)
{
    if (!m_batch)
        return;
    beginBatchOnce();
    const QString row = ProductionRecord::newKey();
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
    m_lastTag = (uid.isEmpty() ? QStringLiteral("last tag") : QStringLiteral("last ") + uid)
                + QStringLiteral(": ") + AutoLoop::resultName(tag.result);
    showSummary();
    if (!m_batch)
        return;
    beginBatchOnce();
    // A tag whose start was not recorded gets its row now.
    QString row = m_rows.take(tag.serial);
    if (row.isEmpty())
        row = ProductionRecord::newKey();
    m_writer->post(
        [batch = *m_batch, tag, row](ProductionRecord &r) { r.endTag(row, batch, tag); });
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
    m_summary->setText(text);
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
            *title = QStringLiteral("UID already written");
        return Verdict{Verdict::Kind::Refuse,
                       QStringLiteral("UID %1 was already written to a tag on %2 in batch %3 "
                                      "(station %4, port %5). Nothing was written; the loop "
                                      "stopped. Set the next free UID and start again.")
                           .arg(uid, r.where.when)
                           .arg(r.where.batch)
                           .arg(r.where.station, port)};
    case Kind::Unavailable:
        break;
    }
    return std::nullopt;
}

Verdict Recorder::guard(const QString &uid)
{
    const ProductionRecord::Reservation r
        = m_record->reserve(uid, station(), m_batch.value_or(QString()));
    if (const std::optional<Verdict> v = verdictOf(r, uid, &m_refusalTitle))
        return *v;
    // A file of this PC that cannot be written leaves the loop running, with the warning; a
    // shared numbering cannot be kept without its server.
    if (!m_record->isShared())
        return {};
    checkProblem();
    m_refusalTitle = QStringLiteral("Production record");
    return {Verdict::Kind::Refuse,
            QStringLiteral("Production record is off: %1. UID %2 could not be reserved, so it "
                           "was not written and the loop stopped. Start again once the server "
                           "is back.")
                .arg(problem(), uid)};
}

std::optional<QString> Recorder::recordedAt(const QString &uid, bool hex)
{
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    if (!id)
        return std::nullopt;
    // A tag of this run may come back before the writer thread has committed its row.
    const auto recent = m_confirmed.constFind(*id);
    if (recent != m_confirmed.cend())
        return *recent;
    if (const std::optional<ProductionRecord::PriorTag> p = m_record->findWritten(uid, hex))
        return whereWritten(*p);
    return std::nullopt;
}

void Recorder::onUidRefused(const QString &why)
{
    // Not from inside the loop's step: the box is shown once the step has returned.
    const QString title = m_refusalTitle;
    QTimer::singleShot(0, this, [this, title, why] { m_dialogs.warning(title, why); });
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
        m_manualBatch = ProductionRecord::newKey();
        m_writer->post([key = *m_manualBatch, b](ProductionRecord &r) { r.beginBatch(b, key); });
    }
    m_manualTag = TagOutcome{};
    m_manualTag.startMs = QDateTime::currentMSecsSinceEpoch();
    m_manualTag.uidAsked = uid;
    m_manualTag.hexBase = hex;
    m_manualRow = ProductionRecord::newKey();
    m_writer->post([batch = *m_manualBatch, tag = m_manualTag,
                    row = *m_manualRow](ProductionRecord &r) { r.beginTag(batch, tag, row); });
}

void Recorder::onReplyInterpreted(const QString &head)
{
    if (!m_manualRow)
        return;
    const Reply::Parsed reply = Reply::classify(head);
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
