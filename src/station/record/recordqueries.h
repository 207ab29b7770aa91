#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>

// The record's tags as the Records window lists them and the export writes them.
namespace RecordQueries {

struct Filter {
    std::optional<qint64> batch;
    QString result;
    QString uidText;
};

// The columns of a tag row, in the order tagColumns() names them.
enum TagColumn : int {
    kTagId = 0,
    kTagBatch,
    kTagStation,
    kTagPort,
    kTagStarted,
    kTagEnded,
    kTagUidAsked,
    kTagUidRead,
    kTagBase,
    kTagWrites,
    kTagPassword,
    kTagFingerprint,
    kTagLocked,
    kTagRetries,
    kTagResult,
    kTagDetail,
    kTagOperator,
};
QStringList tagColumns();
// The tags a filter selects; bindFilter() gives it the filter's values.
QString tagQuery(const Filter &filter);
void bindFilter(QSqlQuery &q, const Filter &filter);
// The values a filter's UID text is matched with, as bindFilter() binds them.
std::pair<QString, QString> uidPatterns(const Filter &filter);
// How many tags a filter selects; -1 when the record cannot be read.
qint64 countTags(QSqlDatabase db, const Filter &filter);
// Whether the record holds batch `id`; nothing when it cannot be asked.
std::optional<bool> hasBatch(QSqlDatabase db, qint64 id);
// The captured lines kept for tag `id`, in the order they came; nothing when it cannot be asked.
std::optional<QByteArray> tagTraffic(QSqlDatabase db, qint64 id);
// Written whole or not at all. progress is told the rows written so far, now and then; false
// cancels. server: the SQL of PostgreSQL, else SQLite's.
bool exportCsv(QSqlDatabase db, bool server, const QString &file, const Filter &filter,
               QString *error, const std::function<bool(qint64 rows)> &progress = {});

} // namespace RecordQueries

// One field of a CSV file: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);
