#include "productionrecord.h"

#include "core/settingsstore.h"
#include "core/uid.h"
#include "recordaddress.h"
#include "recordguard.h"
#include "recordidentity.h"
#include "recordspool.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QSettings>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

using AutoLoop::TagOutcome;
using AutoLoop::Write;

namespace {

QString g_configuredPath;

// Every change the record takes, each safe to send twice (a spooled statement may have
// reached the server before the connection broke). A row goes in only where none of its key
// is: on a server an insert that meets a conflict still uses up an id.
const QString kInsertBatch = QStringLiteral(
    "INSERT INTO batch (uuid, started, station, port, options, blocks, first_uid, step, base, "
    "manual, pid, station_key, operator) SELECT ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? "
    "WHERE NOT EXISTS (SELECT 1 FROM batch WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");
// A batch that stopped keeps its count of tags: the Records window lists batches of millions.
const QString kEndBatch = QStringLiteral(
    "UPDATE batch SET stopped = ?, tags = (SELECT count(*) FROM tag WHERE batch_id = batch.id) "
    "WHERE uuid = ?");
const QString kInsertTag = QStringLiteral(
    "INSERT INTO tag (uuid, batch_id, started, uid_asked, base, result) "
    "SELECT ?, id, ?, ?, ?, 'in progress' FROM batch WHERE uuid = ? AND NOT EXISTS "
    "(SELECT 1 FROM tag WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");
// A tag's whole outcome: its row is completed, or goes in now if its start was not recorded.
const QString kCompleteTag = QStringLiteral(
    "UPDATE tag SET ended = ?, uid_asked = ?, uid_read = ?, uid_confirmed = ?, base = ?, "
    "writes = ?, password_written = ?, password_fingerprint = ?, locked = ?, retries = ?, "
    "result = ?, detail = ? WHERE uuid = ?");
const QString kEndTag = QStringLiteral(
    "INSERT INTO tag (uuid, batch_id, started, ended, uid_asked, uid_read, uid_confirmed, base, "
    "writes, password_written, password_fingerprint, locked, retries, result, detail) "
    "SELECT ?, id, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? FROM batch WHERE uuid = ? AND NOT "
    "EXISTS (SELECT 1 FROM tag WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");

const QString kInsertTraffic = QStringLiteral(
    "INSERT INTO traffic (uuid, batch_uuid, tag_uuid, lines) SELECT ?, ?, ?, ? "
    "WHERE NOT EXISTS (SELECT 1 FROM traffic WHERE uuid = ?) ON CONFLICT (uuid) DO NOTHING");

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString nowText()
{
    return timeText(QDateTime::currentMSecsSinceEpoch());
}

// What was written, never the password: "3:33333333=33333333 7:(password)=ok".
QString describeWrites(const QList<Write> &writes)
{
    QStringList parts;
    for (const Write &w : writes) {
        if (w.block >= 0)
            parts << AutoLoop::describeWrite(w);
    }
    return parts.join(u' ');
}

QVariant nullable(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

bool processGone(qint64 pid)
{
    if (pid <= 0)
        return true;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

QString ProductionRecord::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
           + QStringLiteral("/production.sqlite");
}

QString ProductionRecord::configuredPath()
{
    if (!g_configuredPath.isEmpty())
        return g_configuredPath;
    // A line sets its server once per PC; anything but a text there is ignored. The key is
    // also taken from the group the port is kept in, where people put it beside the port.
    const auto settings = SettingsStore::open();
    for (const char *key : {"record", "combo/record"}) {
        const QVariant stored = settings->value(QLatin1String(key));
        if (stored.typeId() == QMetaType::QString && !stored.toString().trimmed().isEmpty())
            return stored.toString().trimmed();
    }
    return defaultPath();
}

bool ProductionRecord::isServer(const QString &location)
{
    return RecordAddress::isServer(location);
}

QString ProductionRecord::spoolPath()
{
    return RecordSpool::path();
}

void ProductionRecord::setConfiguredPath(const QString &path)
{
    g_configuredPath = path;
}

ProductionRecord::ProductionRecord(const QString &location, Mode mode)
    : m_record(location, mode)
    , m_guard(m_record)
{
}

ProductionRecord::~ProductionRecord() = default;

std::optional<QString> ProductionRecord::beginBatch(const Batch &b, const QString &key)
{
    if (!m_record.write(kInsertBatch, {key, b.started.isEmpty() ? nowText() : b.started, b.station,
                                       b.port, b.options, b.blocks, b.firstUid, b.step, b.base,
                                       b.manual ? 1 : 0, qint64(::getpid()), nullable(b.stationKey),
                                       nullable(b.operatorName), key}))
        return std::nullopt;
    return key;
}

void ProductionRecord::endBatch(const QString &batch)
{
    m_record.write(kEndBatch, {nowText(), batch});
}

void ProductionRecord::noteBatch(const QString &batch, const QString &note)
{
    m_record.write(
        QStringLiteral("UPDATE batch SET note = CASE WHEN note IS NULL THEN ? ELSE note || "
                       "'; ' || ? END WHERE uuid = ?"),
        {note, note, batch});
}

void ProductionRecord::keepTraffic(const QString &batch, const QString &tag,
                                   const QByteArray &lines, const QString &key)
{
    m_record.write(kInsertTraffic, {key, batch, nullable(tag), QString::fromUtf8(lines), key});
}

std::optional<QString> ProductionRecord::beginTag(const QString &batch, const TagOutcome &t,
                                                  const QString &key)
{
    if (!m_record.write(kInsertTag,
                        {key, timeText(t.startMs), nullable(t.uidAsked),
                         t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC"), batch, key}))
        return std::nullopt;
    return key;
}

bool ProductionRecord::endTag(const QString &row, const QString &batch, const TagOutcome &t)
{
    const Write *password = t.writeAt(AutoLoop::Step::Password);
    // Without the record's salt (a server not reached since start) no fingerprint is made.
    const QVariant print = password && !(m_record.isShared() && m_record.salt().isEmpty())
                               ? QVariant(fingerprint(password->sent))
                               : QVariant();
    QString detail = t.detail;
    // A UID write sent to a tag that carried a recorded UID may have taken it off that tag.
    const std::optional<quint64> replaced = Uid::tagId(t.uidReplaced, t.hexBase);
    const std::optional<quint64> asked = Uid::tagId(t.uidAsked, t.hexBase);
    // Blocks 1 and 2 hold the ID itself.
    const bool idBlocksWritten
        = std::any_of(t.writes.cbegin(), t.writes.cend(),
                      [](const Write &w) { return w.block == 1 || w.block == 2; });
    const bool replacedLeft = replaced && ((asked && asked != replaced) || idBlocksWritten);
    if (replacedLeft)
        detail = (detail.isEmpty() ? QString() : detail + QStringLiteral("; "))
                 + QStringLiteral("the tag carried UID %1 before").arg(t.uidReplaced);
    const QVariantList outcome{nullable(t.uidAsked),
                               nullable(t.uidRead),
                               t.uidConfirmed ? 1 : 0,
                               t.hexBase ? QStringLiteral("HEX") : QStringLiteral("DEC"),
                               describeWrites(t.writes),
                               t.passwordWritten() ? 1 : 0,
                               print,
                               t.locked() ? 1 : 0,
                               t.retries,
                               AutoLoop::resultName(t.result),
                               detail};
    if (!m_record.write(kCompleteTag, QVariantList{timeText(t.endMs)} + outcome + QVariantList{row})
        || !m_record.write(kEndTag, QVariantList{row, timeText(t.startMs), timeText(t.endMs)}
                                        + outcome + QVariantList{batch, row}))
        return false;
    if (!replacedLeft)
        return true;
    // The old UID is on no tag any more; its rows say where it went.
    const QString written = t.uidAsked.isEmpty() ? QStringLiteral("blocks 1-2") : t.uidAsked;
    // Blocks 1 and 2 read back as written: the old frame is gone whatever they now hold.
    const bool idBlocksConfirmed
        = t.result == AutoLoop::TagOutcome::Result::Complete
          && std::all_of(t.writes.cbegin(), t.writes.cend(),
                         [](const Write &w) { return (w.block != 1 && w.block != 2) || w.ok; });
    const QString note
        = t.uidConfirmed && !idBlocksWritten
              ? QStringLiteral("UID left this tag: rewritten as %1 on %2")
                    .arg(t.uidAsked, timeText(t.endMs))
          : idBlocksWritten && idBlocksConfirmed
              ? QStringLiteral("UID left this tag: blocks 1-2 overwritten on %1")
                    .arg(timeText(t.endMs))
              : QStringLiteral("UID may have left this tag: %1 was written to it on %2")
                    .arg(written, timeText(t.endMs));
    QVariantList args{note, note};
    args += RecordGuard::idArgs(*replaced);
    args << row;
    return m_record.write(
        QStringLiteral("UPDATE tag SET uid_confirmed = 0, detail = CASE WHEN detail IS "
                       "NULL OR detail = '' THEN ? ELSE detail || '; ' || ? END "
                       "WHERE ")
            + RecordGuard::carriesId(QString()) + QStringLiteral(" AND uuid <> ?"),
        args);
}

int ProductionRecord::markInterrupted()
{
    if (!m_record.isWritable())
        return 0;
    QSqlQuery q(m_record.database());
    q.prepare(QStringLiteral("SELECT DISTINCT b.id, b.pid FROM batch b JOIN tag t "
                             "ON t.batch_id = b.id WHERE t.result = 'in progress' "
                             "AND (b.station_key = ? OR (b.station_key IS NULL AND "
                             "b.station = ?))"));
    // Process numbers mean something only on the PC that ran them.
    q.addBindValue(RecordIdentity::stationKey());
    q.addBindValue(QSysInfo::machineHostName());
    if (!q.exec())
        return 0;
    QList<qint64> gone;
    while (q.next()) {
        if (processGone(q.value(1).toLongLong()))
            gone << q.value(0).toLongLong();
    }
    q.finish();
    int marked = 0;
    for (qint64 batch : gone) {
        QSqlQuery u(m_record.database());
        u.prepare(QStringLiteral(
            "UPDATE tag SET result = 'interrupted', ended = started, detail = 'the tool ended "
            "while this tag was being written' WHERE batch_id = ? AND result = 'in progress'"));
        u.addBindValue(batch);
        if (!m_record.execute(u))
            return marked;
        marked += u.numRowsAffected();
        u.prepare(QStringLiteral("UPDATE batch SET stopped = COALESCE((SELECT max(started) FROM "
                                 "tag WHERE batch_id = batch.id), started), tags = (SELECT "
                                 "count(*) FROM tag WHERE batch_id = batch.id) "
                                 "WHERE id = ? AND stopped IS NULL"));
        u.addBindValue(batch);
        u.exec();
    }
    return marked;
}

QString ProductionRecord::fingerprint(const QString &password)
{
    // Keyed with a secret that stays on the stations: a reader of the record alone cannot
    // try the 2^32 passwords against it. The record's salt keeps two records apart.
    const QByteArray digest = QMessageAuthenticationCode::hash(
        m_record.salt() + password.toUpper().toLatin1(), RecordIdentity::fingerprintKey(),
        QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(8)).toUpper();
}

ProductionRecord::Reservation ProductionRecord::reserve(const QString &uid, bool hex,
                                                        const Batch &station, const QString &batch)
{
    return m_guard.reserve(uid, hex, {station.station, station.port, station.stationKey}, batch);
}

std::optional<ProductionRecord::PriorTag> ProductionRecord::findWritten(const QString &uid,
                                                                        bool hex, bool *readable)
{
    return m_guard.findWritten(uid, hex, readable);
}

QString ProductionRecord::exportRefusal(const QString &file, const QString &location)
{
    const QFileInfo target(file);
    if (target.isDir())
        return QStringLiteral("%1 is a folder; name a CSV file to write").arg(file);
    // Through links too: a link to the record is the record.
    const auto resolved = [](const QString &path) {
        const QFileInfo info(path);
        if (info.exists())
            return info.canonicalFilePath();
        const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        return folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath())
                                : folder + u'/' + info.fileName();
    };
    const QString real = resolved(file);
    QStringList kept{spoolPath()};
    if (!isServer(location))
        kept << location;
    for (const QString &k : kept) {
        const QString base = resolved(k);
        for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
            if (real == base + QLatin1String(suffix))
                return QStringLiteral("%1 is the production record's own file; the export "
                                      "would replace it. Name another file")
                    .arg(file);
        }
    }
    QFile existing(file);
    if (existing.open(QIODevice::ReadOnly)
        && existing.read(16) == QByteArray("SQLite format 3\0", 16))
        return QStringLiteral("%1 is a database, not a CSV file; the export would replace it. "
                              "Name another file")
            .arg(file);
    return {};
}

bool ProductionRecord::exportCsv(const QString &file, const Filter &f, QString *error,
                                 const std::function<bool(qint64 rows)> &progress)
{
    if (const QString refusal = exportRefusal(file, path()); !refusal.isEmpty()) {
        *error = refusal;
        return false;
    }
    if (!isOpen()) {
        *error = problem();
        return false;
    }
    return RecordQueries::exportCsv(database(), isShared(), file, f, error, progress);
}

std::optional<bool> ProductionRecord::hasBatch(qint64 id)
{
    if (!isOpen())
        return std::nullopt;
    return RecordQueries::hasBatch(database(), id);
}

std::optional<QByteArray> ProductionRecord::tagTraffic(qint64 id)
{
    if (!isOpen())
        return std::nullopt;
    return RecordQueries::tagTraffic(database(), id);
}

qint64 ProductionRecord::countTags(const Filter &f)
{
    return RecordQueries::countTags(database(), f);
}
