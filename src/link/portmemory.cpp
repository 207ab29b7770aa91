#include "portmemory.h"

#include "core/settingsstore.h"

#include <QSettings>

namespace PortMemory {

QString load()
{
    QSettings settings(QString::fromLatin1(SettingsStore::kName));
    const QVariant value = settings.value(QStringLiteral("combo/port"), QStringLiteral("01"));
    // A hand-edited file may hold anything; only a plain text can name an entry.
    if (value.typeId() != QMetaType::QString)
        return QStringLiteral("01");
    return value.toString();
}

void save(const QString &entry)
{
    QSettings settings(QString::fromLatin1(SettingsStore::kName));
    settings.setValue(QStringLiteral("combo/port"), entry);
}

} // namespace PortMemory
