#include "recordqueries.h"

#include "core/uid.h"
#include "recordconnection.h"

#include <QSaveFile>
#include <QSet>
#include <QSqlError>

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
            QStringLiteral("Result"),    QStringLiteral("Detail")};
}

QString tagQuery(const Filter &f)
{
    return QStringLiteral("SELECT ") + kTagExpressions.join(QStringLiteral(", ")) + tagsWhere(f);
}

void bindFilter(QSqlQuery &q, const Filter &f)
{
    if (f.batch)
        q.bindValue(QStringLiteral(":batch"), *f.batch);
    if (!f.result.isEmpty())
        q.bindValue(QStringLiteral(":result"), f.result);
    if (f.uidText.isEmpty())
        return;
    if (f.uidText.size() == Uid::kLength) {
        q.bindValue(QStringLiteral(":uid1"), f.uidText.toUpper());
        q.bindValue(QStringLiteral(":uid2"), f.uidText.toUpper());
        return;
    }
    QString pattern = f.uidText;
    pattern.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    q.bindValue(QStringLiteral(":uid1"), u'%' + pattern + u'%');
    q.bindValue(QStringLiteral(":uid2"), u'%' + pattern + u'%');
}

bool exportCsv(QSqlDatabase db, bool server, const QString &file, const Filter &f, QString *error,
               const std::function<bool(qint64 rows)> &progress)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT ") + csvLineExpression(server) + tagsWhere(f));
    bindFilter(q, f);
    if (!q.exec()) {
        *error = RecordConnection::plainError(q.lastError());
        return false;
    }
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
    qint64 rows = 0;
    while (q.next()) {
        chunk += q.value(0).toString().toUtf8();
        chunk += "\r\n";
        ++rows;
        if (chunk.size() < 256 * 1024)
            continue;
        out.write(chunk);
        chunk.clear();
        if (progress && !progress(rows)) {
            out.cancelWriting();
            *error = QStringLiteral("The export was cancelled; nothing was written.");
            return false;
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

} // namespace RecordQueries
