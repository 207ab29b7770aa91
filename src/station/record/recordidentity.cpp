#include "recordidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>

#include <optional>
#include <sys/stat.h>

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

// What ties the station key to this PC, so a copied disk image or home folder makes a key of
// its own. The machine ID when the PC has one; without it (containers, minimal systems) the
// host name and the data folder's inode, which a copy does not keep.
struct Binding {
    QByteArray machine;
    QByteArray host;
    QByteArray folder;

    QByteArray text() const
    {
        return QByteArrayLiteral("m=") + machine + QByteArrayLiteral(",h=") + host
               + QByteArrayLiteral(",f=") + folder;
    }
    bool sameMachine(const Binding &now) const
    {
        if (!machine.isEmpty() && !now.machine.isEmpty())
            return machine == now.machine;
        return host == now.host && folder == now.folder && !folder.isEmpty();
    }
};

// A machine ID that is really one: not empty, and not a file mounted over it at each boot
// (systemd's transient ID on a read-only root changes with every start).
QByteArray machineId()
{
    const QString path
        = qEnvironmentVariable("KESTREL_MACHINE_ID_FILE", QStringLiteral("/etc/machine-id"));
    QFile id(path);
    const QByteArray text = id.open(QIODevice::ReadOnly) ? id.read(64).trimmed() : QByteArray();
    if (text.isEmpty() || text.contains(' ') || text.contains(','))
        return {};
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (mounts.open(QIODevice::ReadOnly)) {
        const QByteArray where = ' ' + QFileInfo(path).absoluteFilePath().toUtf8() + ' ';
        while (!mounts.atEnd()) {
            if (mounts.readLine().contains(where))
                return {};
        }
    }
    return text;
}

Binding thisMachine()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                           + QStringLiteral("/kestrel-rfid");
    QDir().mkpath(folder);
    struct stat st = {};
    const QByteArray inode = ::stat(QFile::encodeName(folder).constData(), &st) == 0
                                 ? QByteArray::number(quint64(st.st_ino))
                                 : QByteArray();
    QByteArray host = QSysInfo::machineHostName().toUtf8();
    host.replace(',', '_').replace(' ', '_');
    return {machineId(), host, inode};
}

// "<binding> <uuid>"; keys of older versions hold the bare machine ID as their binding.
std::optional<std::pair<Binding, QByteArray>> parseKey(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split(' ');
    if (parts.size() != 2 || QUuid(parts[1]).isNull())
        return std::nullopt;
    Binding b;
    if (!parts[0].startsWith("m=")) {
        if (parts[0].isEmpty())
            return std::nullopt;
        b.machine = parts[0];
        return std::pair{b, parts[1]};
    }
    for (const QByteArray &field : parts[0].split(',')) {
        const QByteArray value = field.mid(2);
        if (field.startsWith("m="))
            b.machine = value;
        else if (field.startsWith("h="))
            b.host = value;
        else if (field.startsWith("f="))
            b.folder = value;
    }
    return std::pair{b, parts[1]};
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
    const Binding here = thisMachine();
    const QByteArray kept = keptValue(
        QStringLiteral("station-key"),
        [&here](const QByteArray &text) {
            const std::optional<std::pair<Binding, QByteArray>> stored = parseKey(text);
            return stored && stored->first.sameMachine(here);
        },
        [&here] { return here.text() + ' ' + newKey().toLatin1(); });
    key = QString::fromLatin1(parseKey(kept)->second);
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
