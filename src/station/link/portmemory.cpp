#include "portmemory.h"

#include "core/settingsstore.h"

#include <QSettings>

namespace PortMemory {

QString load()
{
    const QVariant value
        = SettingsStore::open()->value(QStringLiteral("combo/port"), QStringLiteral("01"));
    // A hand-edited file may hold anything; only a plain text can name an entry.
    if (value.typeId() != QMetaType::QString)
        return QStringLiteral("01");
    return value.toString();
}

void save(const QString &entry)
{
    SettingsStore::open()->setValue(QStringLiteral("combo/port"), entry);
}

} // namespace PortMemory
