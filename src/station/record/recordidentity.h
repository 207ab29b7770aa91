#pragma once

#include <QByteArray>
#include <QString>

// What names this installation and its rows in the record, kept once per user of the PC in
// the tool's data folder, readable by its owner only.
namespace RecordIdentity {

// The key of a new batch or tag row.
QString newKey();
// This installation's station key, made once; a copy of the data on a PC with another machine
// ID makes a new one.
QString stationKey();
// The secret the password fingerprints are keyed with, never in the record. Stations that
// copy the same file make fingerprints that compare.
QByteArray fingerprintKey();
// Who is logged in on this PC: the operator a batch names unless one is given.
QString userName();

} // namespace RecordIdentity
