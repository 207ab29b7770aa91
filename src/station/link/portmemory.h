#pragma once

#include <QString>

// The one setting that survives a restart: the port used last, as its entry text ("03").
namespace PortMemory {

QString load();
void save(const QString &entry);

} // namespace PortMemory
