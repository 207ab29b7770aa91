#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSettings;

// The per-user settings store: the last port, the record, the Line tab's shifts, the Records
// window's layout. Open it through open(), never a bare QSettings.
namespace SettingsStore {
inline constexpr char kName[] = "Kestrel RFID Reader Writer";

// Qt decodes a value spelled "@Variant(...)" or "@DateTime(...)" through its binary stream,
// which allocates whatever length the bytes declare; this tool never writes one. open() cuts
// every such entry out of the user's file first (a damaged or foreign file then costs nothing)
// and ignores a system-wide file that holds one.
std::unique_ptr<QSettings> open();

// The INI text without the entries Qt would decode through its binary stream; `cut` counts
// them. The lines are found as Qt finds them: quotes and a trailing backslash carry a value
// over a line end, escapes and lists may spell the "@".
QByteArray withoutSerialized(const QByteArray &ini, int *cut = nullptr);
} // namespace SettingsStore
