#include "recordqueries.h"

#include "core/uid.h"
#include "recordconnection.h"

#include <QSaveFile>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>

#include <algorithm>

#include <sqlite3.h>

QString csvField(const QString &text)
{
    const bool quote = text.contains(u',') || text.contains(u'"') || text.contains(u'\n')
                       || text.contains(u'\r');
    if (!quote)
        return text;
    QString escaped = text;
    escaped.replace(u'"', QStringLiteral("\"\""));
    return u'"' + escaped + u'"';
}

namespace {

// The Records window's and the export's columns, as tagColumns() names them.
const QStringList kTagExpressions = {
    QStringLiteral("t.id"),
    QStringLiteral("t.batch_id"),
    QStringLiteral("b.station"),
    QStringLiteral("b.port"),
    QStringLiteral("t.started"),
    QStringLiteral("t.ended"),
    QStringLiteral("t.uid_asked"),
    QStringLiteral("t.uid_read"),
    QStringLiteral("t.base"),
    QStringLiteral("t.writes"),
    QStringLiteral("CASE t.password_written WHEN 1 THEN 'yes' ELSE 'no' END"),
    QStringLiteral("t.password_fingerprint"),
    QStringLiteral("CASE t.locked WHEN 1 THEN 'yes' ELSE 'no' END"),
    QStringLiteral("t.retries"),
    QStringLiteral("t.result"),
    QStringLiteral("t.detail"),
    QStringLiteral("b.operator"),
};

QString tagsWhere(const RecordQueries::Filter &f)
{
    QString sql = QStringLiteral(" FROM tag t JOIN batch b ON b.id = t.batch_id WHERE 1 = 1");
    if (f.batch)
        sql += QStringLiteral(" AND t.batch_id = :batch");
    if (!f.result.isEmpty())
        sql += QStringLiteral(" AND t.result = :result");
    // A whole UID is looked up on the indexes; part of one is searched for in every row.
    if (f.uidText.size() == Uid::kLength)
        sql += QStringLiteral(" AND (t.uid_asked = :uid1 OR t.uid_read = :uid2)");
    else if (!f.uidText.isEmpty())
        sql += QStringLiteral(" AND (t.uid_asked LIKE :uid1 ESCAPE '\\' OR t.uid_read LIKE :uid2 "
                              "ESCAPE '\\')");
    return sql + QStringLiteral(" ORDER BY t.id");
}

// One CSV line per row, made by the database: quoted as csvField() quotes. The columns the
// tool fills with digits and fixed words are joined as they are; the others are quoted when
// they hold a comma, a quote or a line break.
QString csvLineExpression(bool server)
{
    static const QSet<int> kPlain = {0, 1, 4, 5, 8, 10, 11, 12, 13, 14};
    const QString special = server ? QStringLiteral("%1 ~ '[,\"\\r\\n]'")
                                   : QStringLiteral("%1 GLOB '*[,\"' || char(10, 13) || ']*'");
    QStringList fields;
    for (int i = 0; i < kTagExpressions.size(); ++i) {
        const QString x = QStringLiteral("COALESCE(CAST(%1 AS TEXT), '')").arg(kTagExpressions[i]);
        if (kPlain.contains(i)) {
            fields << x;
            continue;
        }
        fields << QStringLiteral("CASE WHEN %1 THEN '\"' || replace(%2, '\"', '\"\"') || '\"' "
                                 "ELSE %2 END")
                      .arg(special.arg(x), x);
    }
    return fields.join(QStringLiteral(" || ',' || "));
}

constexpr qsizetype kChunk = 256 * 1024;

// As csvField() quotes, on the UTF-8 bytes.
void appendCsvField(QByteArray &line, QByteArrayView field)
{
    const bool quote = std::any_of(field.begin(), field.end(), [](char c) {
        return c == ',' || c == '"' || c == '\n' || c == '\r';
    });
    if (!quote) {
        line.append(field);
        return;
    }
    line.append('"');
    for (char c : field) {
        if (c == '"')
            line.append('"');
        line.append(c);
    }
    line.append('"');
}

// SQLite's rows straight from its own handle, the fields quoted here: through Qt every row
// costs QVariants and conversions, and SQLite makes a CSV line slower than this does.
bool exportSqlite(sqlite3 *handle, const QString &sql, const RecordQueries::Filter &f,
                  QByteArray &chunk, const std::function<bool(QByteArray &, qint64)> &flush,
                  QString *error)
{
    sqlite3_stmt *stmt = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(handle, text.constData(), int(text.size()), &stmt, nullptr)
        != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(handle));
        return false;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> owned(stmt, sqlite3_finalize);
    const auto bind = [stmt](const char *name, const QByteArray &value) {
        const int at = sqlite3_bind_parameter_index(stmt, name);
        if (at > 0)
            sqlite3_bind_text(stmt, at, value.constData(), int(value.size()), SQLITE_TRANSIENT);
    };
    if (f.batch)
        sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":batch"), *f.batch);
    bind(":result", f.result.toUtf8());
    const std::pair<QString, QString> uid = RecordQueries::uidPatterns(f);
    bind(":uid1", uid.first.toUtf8());
    bind(":uid2", uid.second.toUtf8());
    qint64 rows = 0;
    int step;
    const int columns = sqlite3_column_count(stmt);
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                chunk.append(',');
            const char *field = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
            const int size = sqlite3_column_bytes(stmt, c);
            appendCsvField(chunk, QByteArrayView(field, size));
        }
        chunk.append("\r\n", 2);
        ++rows;
        if (chunk.size() >= kChunk && !flush(chunk, rows))
            return false;
    }
    if (step != SQLITE_DONE) {
        *error = RecordConnection::plainError(QSqlError(QString::fromUtf8(sqlite3_errmsg(handle)),
                                                        {}, QSqlError::StatementError,
                                                        QString::number(sqlite3_errcode(handle))));
        return false;
    }
    return true;
}

} // namespace

namespace RecordQueries {

QStringList tagColumns()
{
    return {QStringLiteral("Tag"),       QStringLiteral("Batch"),
            QStringLiteral("Station"),   QStringLiteral("Port"),
            QStringLiteral("Started"),   QStringLiteral("Ended"),
            QStringLiteral("UID asked"), QStringLiteral("UID read back"),
            QStringLiteral("Base"),      QStringLiteral("Blocks written"),
            QStringLiteral("Password"),  QStringLiteral("Password fingerprint"),
            QStringLiteral("Locked"),    QStringLiteral("Retries"),
            QStringLiteral("Result"),    QStringLiteral("Detail"),
            QStringLiteral("Operator")};
}

QString tagQuery(const Filter &f)
{
    return QStringLiteral("SELECT ") + kTagExpressions.join(QStringLiteral(", ")) + tagsWhere(f);
}

std::pair<QString, QString> uidPatterns(const Filter &f)
{
    if (f.uidText.isEmpty())
        return {};
    if (f.uidText.size() == Uid::kLength)
        return {f.uidText.toUpper(), f.uidText.toUpper()};
    QString pattern = f.uidText;
    pattern.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    return {u'%' + pattern + u'%', u'%' + pattern + u'%'};
}

void bindFilter(QSqlQuery &q, const Filter &f)
{
    if (f.batch)
        q.bindValue(QStringLiteral(":batch"), *f.batch);
    if (!f.result.isEmpty())
        q.bindValue(QStringLiteral(":result"), f.result);
    if (f.uidText.isEmpty())
        return;
    const std::pair<QString, QString> uid = uidPatterns(f);
    q.bindValue(QStringLiteral(":uid1"), uid.first);
    q.bindValue(QStringLiteral(":uid2"), uid.second);
}

bool exportCsv(QSqlDatabase db, bool server, const QString &file, const Filter &f, QString *error,
               const std::function<bool(qint64 rows)> &progress)
{
    // Written whole or not at all.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    QStringList header;
    for (const QString &c : tagColumns())
        header << csvField(c);
    QByteArray chunk = header.join(u',').toUtf8() + "\r\n";
    chunk.reserve(kChunk + 4096);
    const auto flush = [&](QByteArray &lines, qint64 rows) {
        out.write(lines);
        // Keeps its room: clear() would give it back and the next chunk grow again.
        lines.resize(0);
        if (!progress || progress(rows))
            return true;
        *error = QStringLiteral("The export was cancelled; nothing was written.");
        return false;
    };
    const QString sql = QStringLiteral("SELECT ") + csvLineExpression(server) + tagsWhere(f);
    const QVariant handle = db.driver()->handle();
    if (!server && handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        if (!exportSqlite(*static_cast<sqlite3 *const *>(handle.data()), tagQuery(f), f, chunk,
                          flush, error)) {
            out.cancelWriting();
            return false;
        }
    } else {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(sql);
        bindFilter(q, f);
        if (!q.exec()) {
            *error = RecordConnection::plainError(q.lastError());
            return false;
        }
        qint64 rows = 0;
        while (q.next()) {
            chunk += q.value(0).toString().toUtf8();
            chunk += "\r\n";
            ++rows;
            if (chunk.size() >= kChunk && !flush(chunk, rows)) {
                out.cancelWriting();
                return false;
            }
        }
    }
    out.write(chunk);
    if (!out.commit()) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(file, out.errorString());
        return false;
    }
    return true;
}

qint64 countTags(QSqlDatabase db, const Filter &f)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT count(*) FROM (") + tagQuery(f) + u')');
    bindFilter(q, f);
    return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
}

std::optional<bool> hasBatch(QSqlDatabase db, qint64 id)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT count(*) FROM batch WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return q.value(0).toLongLong() > 0;
}

std::optional<QByteArray> tagTraffic(QSqlDatabase db, qint64 id)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT x.lines FROM traffic x JOIN tag t ON t.uuid = x.tag_uuid "
                             "WHERE t.id = ? ORDER BY x.id"));
    q.addBindValue(id);
    if (!q.exec())
        return std::nullopt;
    QByteArray lines;
    while (q.next())
        lines += q.value(0).toString().toUtf8();
    return lines;
}

} // namespace RecordQueries
