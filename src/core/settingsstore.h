#pragma once

// The per-user settings store (QSettings organisation name): the last port, the record.
namespace SettingsStore {
inline constexpr char kName[] = "Kestrel RFID Reader Writer";
}
