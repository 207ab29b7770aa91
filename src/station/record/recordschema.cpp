#include "recordschema.h"

#include <QList>
#include <QSqlQuery>

#include <algorithm>

namespace {

// Each step takes the schema one version further; a file is never taken backwards.
const QList<QStringList> kMigrations = {
    {
        QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE batch (id INTEGER PRIMARY KEY, started TEXT NOT NULL, "
                       "stopped TEXT, station TEXT NOT NULL, port TEXT, options TEXT, "
                       "blocks TEXT, first_uid TEXT, step TEXT, base TEXT, "
                       "manual INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE TABLE tag (id INTEGER PRIMARY KEY, "
                       "batch_id INTEGER NOT NULL REFERENCES batch(id), started TEXT NOT NULL, "
                       "ended TEXT, uid_asked TEXT, uid_read TEXT, "
                       "uid_confirmed INTEGER NOT NULL DEFAULT 0, base TEXT, writes TEXT, "
                       "password_written INTEGER NOT NULL DEFAULT 0, password_fingerprint TEXT, "
                       "locked INTEGER NOT NULL DEFAULT 0, retries INTEGER NOT NULL DEFAULT 0, "
                       "result TEXT NOT NULL, detail TEXT)"),
    },
    {
        QStringLiteral("ALTER TABLE batch ADD COLUMN pid INTEGER"),
        QStringLiteral("CREATE INDEX tag_uid_read ON tag(uid_read)"),
        QStringLiteral("CREATE INDEX tag_uid_asked ON tag(uid_asked)"),
        QStringLiteral("CREATE INDEX tag_batch ON tag(batch_id)"),
    },
    {
        QStringLiteral("ALTER TABLE batch ADD COLUMN uuid TEXT"),
        QStringLiteral("ALTER TABLE tag ADD COLUMN uuid TEXT"),
        QStringLiteral("CREATE UNIQUE INDEX batch_uuid ON batch(uuid)"),
        QStringLiteral("CREATE UNIQUE INDEX tag_uuid ON tag(uuid)"),
        QStringLiteral("CREATE TABLE reservation (uid TEXT PRIMARY KEY, station TEXT NOT NULL, "
                       "port TEXT NOT NULL DEFAULT '', batch_uuid TEXT, reserved TEXT NOT NULL)"),
    },
    {
        // Reservations of version 3 were never released: each is in doubt until a supervisor
        // says otherwise. 'held': reserved ahead, no write of it can have gone; 'sent': a write
        // of it may have gone; 'released': free for any batch.
        QStringLiteral("ALTER TABLE reservation ADD COLUMN tag_id INTEGER"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN station_key TEXT"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN state TEXT NOT NULL DEFAULT 'sent'"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN released TEXT"),
        QStringLiteral("ALTER TABLE reservation ADD COLUMN released_by TEXT"),
        QStringLiteral("CREATE UNIQUE INDEX reservation_tag_id ON reservation(tag_id)"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN station_key TEXT"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN note TEXT"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN tags INTEGER"),
    },
    {
        // Lines of a capture: a tag's (from the end of the tag before it), or the batch's own
        // between tags (tag_uuid empty).
        QStringLiteral("CREATE TABLE traffic (id INTEGER PRIMARY KEY, uuid TEXT NOT NULL, "
                       "batch_uuid TEXT NOT NULL, tag_uuid TEXT, lines TEXT NOT NULL)"),
        QStringLiteral("CREATE UNIQUE INDEX traffic_uuid ON traffic(uuid)"),
        QStringLiteral("CREATE INDEX traffic_tag ON traffic(tag_uuid)"),
        QStringLiteral("CREATE INDEX traffic_batch ON traffic(batch_uuid)"),
        QStringLiteral("ALTER TABLE batch ADD COLUMN operator TEXT"),
    },
    {
        // A customer's list of IDs, loaded once by the first station that runs it, in order.
        QStringLiteral("CREATE TABLE uid_list (key TEXT PRIMARY KEY, name TEXT NOT NULL, "
                       "base TEXT NOT NULL, ids INTEGER NOT NULL, loaded TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE uid_list_id (list_key TEXT NOT NULL, position INTEGER NOT "
                       "NULL, uid TEXT NOT NULL, tag_id INTEGER NOT NULL, PRIMARY KEY "
                       "(list_key, position))"),
        // The Line tab reads a shift's tags by when they ended.
        QStringLiteral("CREATE INDEX tag_ended ON tag(ended)"),
    },
};

} // namespace

namespace RecordSchema {

Found inspect(QSqlDatabase db)
{
    Found found;
    QSqlQuery q(db);
    // The version and the tables are read in one transaction, so another window's migration
    // cannot land between the two.
    if (q.exec(QStringLiteral("BEGIN")) && q.exec(QStringLiteral("PRAGMA user_version"))
        && q.next()) {
        found.version = q.value(0).toInt();
        if (q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"))) {
            while (q.next())
                found.tables << q.value(0).toString();
        } else {
            found.version = -1;
        }
    }
    found.error = q.lastError().text();
    q.finish();
    q.exec(QStringLiteral("ROLLBACK"));
    return found;
}

bool isRecord(const Found &found)
{
    if (found.version == 0)
        return found.tables.isEmpty();
    // A record of an older version holds at least these.
    QStringList needed{QStringLiteral("meta"), QStringLiteral("batch"), QStringLiteral("tag")};
    if (found.version >= 3)
        needed << QStringLiteral("reservation");
    if (found.version >= 5)
        needed << QStringLiteral("traffic");
    if (found.version >= 6)
        needed << QStringLiteral("uid_list") << QStringLiteral("uid_list_id");
    return std::all_of(needed.cbegin(), needed.cend(),
                       [&](const QString &t) { return found.tables.contains(t); });
}

bool migrate(QSqlDatabase db, QSqlError *error)
{
    QSqlQuery q(db);
    const auto rollback = [&] {
        *error = q.lastError();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    // BEGIN IMMEDIATE: a second window opening the same new file waits instead of racing.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = q.lastError();
        return false;
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return rollback();
    const int current = q.value(0).toInt();
    q.finish();
    for (int v = current; v < kVersion; ++v) {
        for (const QString &sql : kMigrations[v]) {
            if (!q.exec(sql))
                return rollback();
        }
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version = %1").arg(kVersion))
        || !q.exec(QStringLiteral("COMMIT")))
        return rollback();
    return true;
}

} // namespace RecordSchema
