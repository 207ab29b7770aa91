#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

// The tables of the production record and the steps that bring an older SQLite file up to
// them. A server gets the same tables from record-postgresql.sql.
namespace RecordSchema {

// Version 1: batches and tags. Version 2: the owning process of a batch and the indexes the
// duplicate lookup runs on. Version 3: rows named by a key the station makes (so a statement
// sent twice records once) and UID reservations. Version 4: reservations by tag ID, batch and
// station key, held until released. Version 5: the traffic with the box of batches that ran
// with a capture, by tag, and who ran each batch. Version 6: UID lists, the IDs of each in
// their order.
constexpr int kVersion = 6;

// What an SQLite file holds, read without writing to it.
struct Found {
    // -1: the file could not be read as a database.
    int version = -1;
    QStringList tables;
    QString error;
};
Found inspect(QSqlDatabase db);
// A new, empty file or one with a record's tables; anything else belongs to another program.
bool isRecord(const Found &found);
// Takes a file of this tool up to kVersion in one transaction; another window doing the same
// at once waits for it.
bool migrate(QSqlDatabase db, QSqlError *error);

} // namespace RecordSchema
