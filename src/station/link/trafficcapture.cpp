#include "trafficcapture.h"

#include "core/trafficformat.h"
#include "readerlink.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

TrafficCapture::TrafficCapture(QObject *parent)
    : QObject(parent)
{
}

TrafficCapture::~TrafficCapture()
{
    stop();
}

bool TrafficCapture::start(ReaderLink &link, const QString &path, QString *error, qint64 limit)
{
    stop();
    m_path = path;
    m_limit = qMax<qint64>(limit, 4096);
    if (!openFile(error))
        return false;
    event(QStringLiteral("capture started%1")
              .arg(link.isPortOpen() ? QStringLiteral(" on ") + link.device() : QString()));
    m_connections = {
        connect(&link, &ReaderLink::bytesSent, this, &TrafficCapture::sent),
        connect(&link, &ReaderLink::bytesReceived, this, &TrafficCapture::received),
        // The quiet line ended: what came is a whole reply, line end or not.
        connect(&link, &ReaderLink::replyGathered, this,
                [this] {
                    flushReceived(true);
                    m_blockSeven = false;
                }),
        connect(&link, &ReaderLink::portOpened, this,
                [this](const QString &device) { event(QStringLiteral("open ") + device); }),
        connect(&link, &ReaderLink::portClosed, this, [this] { event(QStringLiteral("close")); }),
        connect(&link, &ReaderLink::portFailed, this,
                [this](const QString &why) { event(QStringLiteral("failed: ") + why); }),
    };
    return true;
}

bool TrafficCapture::openFile(QString *error)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("%1 cannot be written: %2").arg(m_path, m_file.errorString());
        return false;
    }
    const QByteArray header = QStringLiteral("# kestrel-rfid traffic capture 1, started %1\n")
                                  .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                                  .toUtf8();
    // A full disk is found before anything is sent, not at the first reply.
    if (m_file.size() == 0 && m_file.write(header) != header.size()) {
        if (error)
            *error = QStringLiteral("%1 cannot be written: %2").arg(m_path, m_file.errorString());
        m_file.close();
        return false;
    }
    return true;
}

void TrafficCapture::stop()
{
    if (!m_file.isOpen())
        return;
    flushReceived(true);
    event(QStringLiteral("capture stopped"));
    for (const QMetaObject::Connection &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
    m_file.close();
}

void TrafficCapture::sent(const QByteArray &bytes)
{
    // The command says what its answer may hold, wherever in the line that answer stands.
    const TrafficFormat::Secrets s = TrafficFormat::secretsOf(bytes);
    for (const QByteArray &v : s.values) {
        m_secrets.removeAll(v);
        m_secrets.prepend(v);
    }
    while (m_secrets.size() > kSecretsKept)
        m_secrets.removeLast();
    m_blockSeven = m_blockSeven || s.blockSeven;
    write('>', TrafficFormat::escaped(TrafficFormat::masked(bytes, true)));
}

void TrafficCapture::received(const QByteArray &bytes)
{
    m_pending += bytes;
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        writeReceived(m_pending.left(end + 1), true);
        m_lineSoFar.clear();
        m_pending.remove(0, end + 1);
    }
    // A box that streams without line ends must not grow the buffer.
    if (m_pending.size() > 256)
        flushReceived(false);
}

void TrafficCapture::flushReceived(bool replyEnded)
{
    if (m_pending.isEmpty())
        return;
    writeReceived(m_pending, replyEnded);
    // The line goes on in the next part, which is masked as part of it: a reply split by a
    // pause must not leave the rest of the password in the clear.
    if (m_lineSoFar.size() < kSecretReach)
        m_lineSoFar += m_pending;
    m_pending.clear();
}

void TrafficCapture::writeReceived(const QByteArray &part, bool complete)
{
    const QByteArray masked
        = TrafficFormat::maskedReply(m_lineSoFar + part, m_secrets, m_blockSeven, complete);
    write('<', TrafficFormat::escaped(masked.mid(qMin(m_lineSoFar.size(), masked.size()))));
}

void TrafficCapture::event(const QString &text)
{
    write('!', text.toUtf8());
}

void TrafficCapture::write(char direction, const QByteArray &text)
{
    if (!m_file.isOpen())
        return;
    const qint64 us = QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs() / 1000;
    const QByteArray line = QByteArray::number(us / 1000000) + '.'
                            + QByteArray::number(us % 1000000).rightJustified(6, '0') + ' '
                            + direction + ' ' + text + '\n';
    if (m_file.write(line) != line.size()) {
        const QString why = m_file.errorString();
        m_file.close();
        emit failed(QStringLiteral("%1 cannot be written: %2").arg(m_path, why));
        return;
    }
    emit lineWritten(line);
    if (m_file.size() < m_limit)
        return;
    m_file.close();
    const QString older = m_path + QStringLiteral(".1");
    QFile::remove(older);
    QFile::rename(m_path, older);
    QString error;
    if (!openFile(&error))
        emit failed(error);
}
