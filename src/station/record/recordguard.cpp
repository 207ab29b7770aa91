#include "recordguard.h"

#include "core/uid.h"
#include "core/uidlist.h"
#include "recordconnection.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QStringList>

namespace {

// Holds a tag ID nobody holds and no tag carries, for one batch; no row goes in otherwise (a
// UID text or a tag ID held already is a conflict).
const QString kReserve = QStringLiteral(
    "INSERT INTO reservation (uid, tag_id, station, port, station_key, batch_uuid, reserved, "
    "state) SELECT ?, ?, ?, ?, ?, ?, ?, 'held' WHERE NOT EXISTS (SELECT 1 FROM tag WHERE %1) "
    "ON CONFLICT DO NOTHING");
// A released tag ID is taken by the first batch that asks.
const QString kTakeReleased = QStringLiteral(
    "UPDATE reservation SET station = ?, port = ?, station_key = ?, batch_uuid = ?, "
    "reserved = ?, state = 'held', released = NULL, released_by = NULL "
    "WHERE (tag_id = ? OR uid = ?) AND state = 'released'");

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QVariant nullable(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

RecordGuard::PriorTag priorTag(const QSqlQuery &q)
{
    return {q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString(),
            q.value(3).toString(),   q.value(4).toString(),   q.value(5).toString()};
}

} // namespace

// ? are the hexadecimal spelling twice and the decimal one twice (NULL when there is none).
QString RecordGuard::carriesId(const QString &t)
{
    // A row of an old record without a base matches either spelling.
    return QStringLiteral("%1uid_confirmed = 1 AND ((%1base = 'HEX' AND (%1uid_read = ? OR "
                          "%1uid_asked = ?)) OR (%1base = 'DEC' AND (%1uid_read = ? OR "
                          "%1uid_asked = ?)) OR (%1base IS NULL AND (%1uid_read IN (?, ?) OR "
                          "%1uid_asked IN (?, ?))))")
        .arg(t);
}

QVariantList RecordGuard::idArgs(quint64 id)
{
    const QStringList texts = Uid::spellings(id);
    const QVariant dec
        = texts.size() > 1 ? QVariant(texts[1]) : QVariant(QMetaType(QMetaType::QString));
    return {texts[0], texts[0], dec, dec, texts[0], dec, texts[0], dec};
}

QString RecordGuard::openReservationQuery()
{
    return QStringLiteral(
        "SELECT r.uid, r.station, r.port, r.reserved, b.id, CASE r.state WHEN 'sent' THEN "
        "'a write of it was sent and no tag confirmed it: it may be on a tag' ELSE "
        "'reserved ahead by a batch and not written yet; free again when that batch stops' "
        "END FROM reservation r LEFT JOIN batch b ON b.uuid = r.batch_uuid WHERE r.state IN "
        "('held', 'sent') AND NOT EXISTS (SELECT 1 FROM tag t WHERE t.uid_confirmed = 1 AND "
        "(t.uid_read = r.uid OR t.uid_asked = r.uid)) ORDER BY r.state DESC, r.reserved");
}

std::optional<RecordGuard::PriorTag> RecordGuard::findWritten(const QString &uid, bool hex,
                                                              bool *readable)
{
    if (readable)
        *readable = false;
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    if (!id || !m_record.isOpen())
        return std::nullopt;
    const std::shared_ptr<QSqlQuery> q = m_record.prepared(
        QStringLiteral("SELECT t.id, t.batch_id, COALESCE(t.ended, t.started), b.station, b.port, "
                       "b.station_key FROM tag t JOIN batch b ON b.id = t.batch_id WHERE ")
            + carriesId(QStringLiteral("t.")) + QStringLiteral(" ORDER BY t.id LIMIT 1"),
        idArgs(*id));
    if (!q->exec()) {
        m_record.lost(*q);
        return std::nullopt;
    }
    if (readable)
        *readable = true;
    if (!q->next()) {
        q->finish();
        return std::nullopt;
    }
    const PriorTag where = priorTag(*q);
    q->finish();
    return where;
}

RecordGuard::Unused RecordGuard::firstUnused(const QString &first,
                                             const std::function<QString(const QString &)> &next,
                                             bool hex, const Station &station, int limit)
{
    const QString port = station.port.isNull() ? QStringLiteral("") : station.port;
    QString uid = first;
    QStringList inDoubt;
    for (int passed = 0; passed <= limit; ++passed) {
        const std::optional<quint64> id = Uid::tagId(uid, hex);
        if (!id)
            return {{},
                    passed,
                    QStringLiteral("the UIDs ran out of range after %1").arg(first),
                    inDoubt};
        bool readable = false;
        const bool written = findWritten(uid, hex, &readable).has_value();
        if (!readable || !m_record.mayAsk())
            return {{}, passed, QStringLiteral("the record could not be read"), inDoubt};
        bool held = false;
        if (!written) {
            QSqlQuery q(m_record.database());
            q.prepare(QStringLiteral(
                "SELECT state, station_key, port FROM reservation WHERE tag_id = ? OR uid = ?"));
            q.addBindValue(qint64(*id));
            q.addBindValue(uid);
            if (!q.exec()) {
                m_record.lost(q);
                return {{}, passed, QStringLiteral("the record could not be read"), inDoubt};
            }
            while (q.next()) {
                const QString state = q.value(0).toString();
                const bool ours
                    = q.value(1).toString() == station.key && q.value(2).toString() == port;
                // Released, or only reserved ahead by this station and never sent: free.
                held = held
                       || !(state == QLatin1String("released")
                            || (ours && state == QLatin1String("held")));
                if (state == QLatin1String("sent") && inDoubt.size() < kNamedInDoubt
                    && !inDoubt.contains(uid))
                    inDoubt << uid;
            }
        }
        if (!written && !held)
            return {uid, passed, {}, inDoubt};
        uid = next(uid);
    }
    return {{},
            limit,
            QStringLiteral("more than %1 UIDs after %2 are used").arg(limit).arg(first),
            inDoubt};
}

RecordGuard::Reservation RecordGuard::reserve(const QString &uid, bool hex, const Station &station,
                                              const QString &batch)
{
    Reservation r;
    const std::optional<quint64> id = Uid::tagId(uid, hex);
    if (!id || !m_record.mayAsk())
        return r;
    const auto unavailable = [this, &r](const QSqlQuery &q) {
        m_record.lost(q);
        return r;
    };
    // A station without a port is stored with an empty one, never NULL, so it matches itself.
    const QString port = station.port.isNull() ? QStringLiteral("") : station.port;
    const QString host = station.host.isNull() ? QStringLiteral("") : station.host;
    const qint64 number = qint64(*id);
    if (m_record.isWritable()) {
        // The usual case, a free UID, in one statement.
        QVariantList args{uid, number, host, port, station.key, batch, nowText()};
        args += idArgs(*id);
        const std::shared_ptr<QSqlQuery> q
            = m_record.prepared(kReserve.arg(carriesId(QString())), args);
        if (!q->exec())
            return unavailable(*q);
        const bool reserved = q->numRowsAffected() == 1;
        q->finish();
        if (reserved) {
            r.kind = Reservation::Kind::Reserved;
            return r;
        }
    }
    bool readable = false;
    const std::optional<PriorTag> written = findWritten(uid, hex, &readable);
    if (!readable)
        return r;
    if (written) {
        r.where = *written;
        const bool ours = r.where.stationKey == station.key && r.where.port == port;
        r.kind = ours ? Reservation::Kind::Written : Reservation::Kind::WrittenElsewhere;
        return r;
    }
    if (!m_record.isWritable())
        return r;
    QSqlQuery q(m_record.database());
    q.prepare(QStringLiteral("SELECT station, port, reserved, station_key, batch_uuid, state "
                             "FROM reservation WHERE tag_id = ? OR uid = ?"));
    q.addBindValue(number);
    q.addBindValue(uid);
    if (!q.exec() || !q.next())
        return unavailable(q);
    r.where.station = q.value(0).toString();
    r.where.port = q.value(1).toString();
    r.where.when = q.value(2).toString();
    r.where.stationKey = q.value(3).toString();
    const bool ours = r.where.stationKey == station.key && r.where.port == port;
    const QString state = q.value(5).toString();
    if (ours && q.value(4).toString() == batch) {
        r.kind = Reservation::Kind::Reserved;
        r.armed = state == QLatin1String("sent");
        return r;
    }
    q.finish();
    // Released, or reserved ahead by an earlier batch of this station that never sent it (one
    // station runs one batch at a time): taken for this batch.
    const bool takeOver = ours && state == QLatin1String("held");
    if (state == QLatin1String("released") || takeOver) {
        QString sql = kTakeReleased;
        if (takeOver)
            sql.replace(QStringLiteral("state = 'released'"),
                        QStringLiteral(
                            "state = 'held' AND station_key IS NOT DISTINCT FROM ? AND port = ?"));
        // On a server the row becomes the taking login's, so it may change it later.
        if (m_record.isShared())
            sql.replace(QStringLiteral("released_by = NULL"),
                        QStringLiteral("released_by = NULL, login = current_user"));
        q.prepare(sql);
        QVariantList args{host, port, nullable(station.key), batch, nowText(), number, uid};
        if (takeOver)
            args << nullable(station.key) << port;
        for (const QVariant &v : args)
            q.addBindValue(v);
        if (!q.exec())
            return unavailable(q);
        if (q.numRowsAffected() == 1) {
            r.kind = Reservation::Kind::Reserved;
            return r;
        }
    }
    // A write of it may have reached a tag (a tool killed mid-tag), or another station holds
    // it: only a supervisor gives it out again.
    r.kind = ours ? Reservation::Kind::InDoubt : Reservation::Kind::HeldElsewhere;
    return r;
}

bool RecordGuard::arm(const QString &uid, const QString &batch)
{
    if (!m_record.isWritable() || !m_record.mayAsk())
        return false;
    // Not through the spool: the loop may write the UID only once the record says so.
    QSqlQuery q(m_record.database());
    q.prepare(QStringLiteral("UPDATE reservation SET state = 'sent' WHERE uid = ? AND "
                             "batch_uuid = ? AND state IN ('held', 'sent')"));
    q.addBindValue(uid);
    q.addBindValue(batch);
    if (!q.exec())
        return m_record.lost(q);
    return q.numRowsAffected() == 1;
}

bool RecordGuard::releaseUnused(const QString &batch, const QStringList &uids)
{
    for (const QString &uid : uids) {
        if (!m_record.write(
                QStringLiteral("UPDATE reservation SET state = 'released', released = ? "
                               "WHERE uid = ? AND batch_uuid = ? AND state IN ('held', "
                               "'sent')"),
                {nowText(), uid, batch}))
            return false;
    }
    return true;
}

bool RecordGuard::release(const QString &uid, const QString &who, QString *error)
{
    if (!m_record.isOpen() || (!m_record.isWritable() && !m_record.resume())) {
        *error = m_record.problem();
        return false;
    }
    QSqlQuery q(m_record.database());
    q.prepare(QStringLiteral("UPDATE reservation SET state = 'released', released = ?, "
                             "released_by = ? WHERE uid = ? AND state IN ('held', 'sent')"));
    q.addBindValue(nowText());
    // On a server the login is who released it; the name given is kept beside it.
    q.addBindValue(m_record.isShared() ? QVariant(who + QStringLiteral(" (login ")
                                                  + m_record.database().userName() + u')')
                                       : QVariant(who));
    q.addBindValue(uid);
    if (!q.exec()) {
        *error = RecordConnection::plainError(q.lastError());
        return false;
    }
    if (q.numRowsAffected() != 1) {
        *error = m_record.isShared()
                     ? QStringLiteral("UID %1 is not held, or this login may not release it "
                                      "(a supervisor's login has the role "
                                      "kestrel_supervisor)")
                           .arg(uid)
                     : QStringLiteral("UID %1 is not held").arg(uid);
        return false;
    }
    return true;
}

std::optional<int> RecordGuard::storeList(const UidList &list, int from, int budgetMs)
{
    if (!m_record.isWritable() || !m_record.mayAsk())
        return std::nullopt;
    QSqlDatabase db = m_record.database();
    QSqlQuery q(db);
    const auto fail = [&]() -> std::optional<int> {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        m_record.lost(q);
        return std::nullopt;
    };
    QElapsedTimer spent;
    spent.start();
    if (!q.exec(QStringLiteral("BEGIN")))
        return fail();
    // Another station loading the same list at once stores the same rows: whichever comes
    // second adds nothing.
    q.prepare(QStringLiteral("INSERT INTO uid_list (key, name, base, ids, loaded) VALUES (?, ?, "
                             "?, ?, ?) ON CONFLICT DO NOTHING"));
    const QString name = list.name().isEmpty() ? QStringLiteral("UID list") : list.name();
    for (const QVariant &v :
         QVariantList{list.key(), name, list.hex() ? QStringLiteral("HEX") : QStringLiteral("DEC"),
                      list.count(), nowText()})
        q.addBindValue(v);
    if (!q.exec())
        return fail();
    const auto scalar = [&](const QString &sql) -> std::optional<int> {
        q.prepare(sql);
        q.addBindValue(list.key());
        if (!q.exec() || !q.next())
            return std::nullopt;
        return q.value(0).toInt();
    };
    if (from < 0) {
        // A load cut short (a cancel, a crash) goes on where the record's copy ends.
        const std::optional<int> end = scalar(QStringLiteral(
            "SELECT COALESCE(MAX(position) + 1, 0) FROM uid_list_id WHERE list_key = ?"));
        if (!end)
            return fail();
        from = qBound(0, *end, list.count());
    }
    // A few hundred rows a statement: far fewer round trips to a server than one each.
    constexpr int kRows = 200;
    const QList<UidList::Id> &ids = list.ids();
    // At least one statement a step, so every step moves on.
    int prepared = 0;
    for (bool first = true; from < ids.size() && (first || spent.elapsed() < budgetMs);
         first = false) {
        const int n = int(qMin<qsizetype>(kRows, ids.size() - from));
        // Prepared once a step (and again for a shorter last one): preparing is most of the
        // cost of a statement this wide.
        if (n != prepared) {
            QStringList rows;
            for (int i = 0; i < n; ++i)
                rows << QStringLiteral("(?, ?, ?, ?)");
            q.prepare(QStringLiteral("INSERT INTO uid_list_id (list_key, position, uid, tag_id) "
                                     "VALUES ")
                      + rows.join(u',') + QStringLiteral(" ON CONFLICT DO NOTHING"));
            prepared = n;
        }
        for (int i = from, at = 0; i < from + n; ++i) {
            q.bindValue(at++, list.key());
            q.bindValue(at++, i);
            q.bindValue(at++, ids[i].text);
            q.bindValue(at++, qint64(ids[i].tagId));
        }
        if (!q.exec())
            return fail();
        from += n;
    }
    q.finish();
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail();
    return from;
}

bool RecordGuard::loadList(const UidList &list)
{
    // One step, one transaction: with no time limit the list goes in whole or not at all.
    for (int from : {-1, 0}) {
        if (!storeList(list, from, INT_MAX))
            return false;
        const std::optional<int> held = listRows(list, 0, list.count());
        if (!held)
            return false;
        if (*held == list.count())
            return true;
    }
    return false;
}

std::optional<int> RecordGuard::listRows(const UidList &list, int from, int to)
{
    if (!m_record.isOpen() || !m_record.mayAsk())
        return std::nullopt;
    QSqlQuery q(m_record.database());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM uid_list_id WHERE list_key = ? AND position "
                             ">= ? AND position < ?"));
    q.addBindValue(list.key());
    q.addBindValue(from);
    q.addBindValue(to);
    if (!q.exec() || !q.next()) {
        m_record.lost(q);
        return std::nullopt;
    }
    return q.value(0).toInt();
}

std::optional<QList<int>> RecordGuard::freePositions(const UidList &list, const Station &station,
                                                     int from, int to)
{
    if (!m_record.isOpen() || !m_record.mayAsk())
        return std::nullopt;
    QSqlQuery q(m_record.database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT i.position FROM uid_list_id i WHERE i.list_key = ? AND i.position >= ? AND "
        "i.position < ? AND NOT EXISTS (SELECT 1 FROM reservation r WHERE r.tag_id = i.tag_id "
        "AND r.state <> 'released' AND NOT (r.state = 'held' AND r.station_key IS NOT DISTINCT "
        "FROM ? AND r.port = ?)) ORDER BY i.position"));
    q.addBindValue(list.key());
    q.addBindValue(from);
    q.addBindValue(to);
    q.addBindValue(nullable(station.key));
    q.addBindValue(station.port.isNull() ? QStringLiteral("") : station.port);
    if (!q.exec()) {
        m_record.lost(q);
        return std::nullopt;
    }
    QList<int> free;
    while (q.next())
        free << q.value(0).toInt();
    return free;
}

QString RecordGuard::listSummaryQuery()
{
    const QString used = QStringLiteral(
        "EXISTS (SELECT 1 FROM tag t WHERE t.uid_confirmed = 1 AND (t.uid_read = i.uid OR "
        "t.uid_asked = i.uid))");
    return QStringLiteral("SELECT l.name, l.base, l.ids, SUM(CASE WHEN %1 THEN 1 ELSE 0 END), "
                          "SUM(CASE WHEN r.state = 'sent' AND NOT %1 THEN 1 ELSE 0 END), "
                          "l.loaded FROM uid_list l JOIN uid_list_id i ON i.list_key = l.key "
                          "LEFT JOIN reservation r ON r.tag_id = i.tag_id GROUP BY l.key, "
                          "l.name, l.base, l.ids, l.loaded HAVING COUNT(*) = l.ids ORDER BY "
                          "l.loaded DESC")
        .arg(used);
}
