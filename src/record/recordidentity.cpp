#include "recordidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUuid>

#include <functional>

namespace {

// A value kept once per user of the PC in the tool's data folder, whichever program of the
// tool asks; made when missing or not valid. Readable by its owner only.
QByteArray keptValue(const QString &name, const std::function<bool(const QByteArray &)> &valid,
                     const std::function<QByteArray()> &make)
{
    const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                         + QStringLiteral("/kestrel-rfid/") + name;
    QDir().mkpath(QFileInfo(file).absolutePath());
    // Two tools starting at once on a new PC would each make a value and the last write would
    // win: the other would go on with a key nobody keeps. Under the lock only one makes it.
    QLockFile lock(file + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    const bool locked = lock.tryLock(5000);
    QFile stored(file);
    if (stored.open(QIODevice::ReadOnly)) {
        const QByteArray text = stored.readAll().trimmed();
        if (valid(text))
            return text;
    }
    const QByteArray value = make();
    // Not kept (a folder that cannot be written, a lock that never frees): it lasts as long as
    // the tool runs.
    if (!locked)
        return value;
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly)) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        out.write(value + '\n');
        out.commit();
    }
    return value;
}

} // namespace

namespace RecordIdentity {

QString userName()
{
    QString who = qEnvironmentVariable("USER");
    if (who.isEmpty())
        who = qEnvironmentVariable("USERNAME", QStringLiteral("unknown"));
    return who;
}

QString newKey()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString stationKey()
{
    static QMutex lock;
    const QMutexLocker locked(&lock);
    static QString key;
    if (!key.isEmpty())
        return key;
    QFile id(QStringLiteral("/etc/machine-id"));
    const QByteArray machine = id.open(QIODevice::ReadOnly) ? id.readAll().trimmed() : QByteArray();
    // Bound to the machine ID: a copied disk image makes a key of its own.
    const QByteArray kept = keptValue(
        QStringLiteral("station-key"),
        [&machine](const QByteArray &text) {
            const QList<QByteArray> parts = text.split(' ');
            return parts.size() == 2 && parts[0] == machine && !QUuid(parts[1]).isNull();
        },
        [&machine] { return machine + ' ' + newKey().toLatin1(); });
    key = QString::fromLatin1(kept.split(' ').value(1));
    return key;
}

QByteArray fingerprintKey()
{
    static QMutex lock;
    const QMutexLocker locked(&lock);
    static QByteArray key;
    if (key.isEmpty())
        key = QByteArray::fromHex(keptValue(
            QStringLiteral("fingerprint-key"),
            [](const QByteArray &text) {
                return text.size() == 64 && QByteArray::fromHex(text).size() == 32;
            },
            [] {
                QByteArray bytes(32, Qt::Uninitialized);
                QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 8);
                return bytes.toHex();
            }));
    return key;
}

} // namespace RecordIdentity
