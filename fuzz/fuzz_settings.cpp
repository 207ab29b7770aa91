// Nonsense in the settings store (a hand-edited file, another version's): what the tool reads
// from it at start is either taken or dropped, never a crash.

#include "core/settingsstore.h"
#include "link/portmemory.h"
#include "record/linefigures.h"
#include "record/productionrecord.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir home;
    static const QString file = [] {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
        return QSettings(QString::fromLatin1(SettingsStore::kName)).fileName();
    }();
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    const QString port = PortMemory::load();
    const QString record = ProductionRecord::configuredPath();
    if (record.isEmpty())
        __builtin_trap();
    QString error;
    const QVariant starts = QSettings(QString::fromLatin1(SettingsStore::kName))
                                .value(QStringLiteral("line/shiftStarts"));
    (void)LineFigures::shiftStarts(starts.toString(), &error);
    (void)port;
    return 0;
}
