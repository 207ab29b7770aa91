// Nonsense in the settings store (a hand-edited file, another version's): what the tool reads
// from it at start is either taken or dropped, never a crash, and no value reaches Qt's binary
// stream (which allocates what the bytes declare).

#include "core/settingsstore.h"
#include "station/link/portmemory.h"
#include "station/record/linefigures.h"
#include "station/record/productionrecord.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

namespace {

bool decodedFromText(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QSize:
    case QMetaType::QRect:
    case QMetaType::QPoint:
    case QMetaType::QStringList:
        return true;
    case QMetaType::QVariantList:
        for (const QVariant &item : v.toList())
            if (!decodedFromText(item))
                return false;
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir home;
    static const QString file = [] {
        // Never the real store of whoever runs the fuzzer.
        for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
            for (const auto scope : {QSettings::UserScope, QSettings::SystemScope}) {
                const QString path = home.path() + u'/' + QString::number(scope);
                QDir().mkpath(path);
                QSettings::setPath(format, scope, path);
            }
        return QSettings(QString::fromLatin1(SettingsStore::kName)).fileName();
    }();
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            __builtin_trap();
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    int cut = 0;
    const QByteArray clean = SettingsStore::withoutSerialized(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)), &cut);
    SettingsStore::withoutSerialized(clean, &cut);
    if (cut)
        __builtin_trap();
    const QString port = PortMemory::load();
    const QString record = ProductionRecord::configuredPath();
    if (record.isEmpty())
        __builtin_trap();
    QString error;
    const QVariant starts = SettingsStore::open()->value(QStringLiteral("line/shiftStarts"));
    (void)LineFigures::shiftStarts(starts.toString(), &error);
    (void)port;
    const auto settings = SettingsStore::open();
    for (const QString &key : settings->allKeys())
        if (!decodedFromText(settings->value(key)))
            __builtin_trap();
    return 0;
}
