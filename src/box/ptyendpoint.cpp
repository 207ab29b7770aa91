#include "ptyendpoint.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyEndpoint::PtyEndpoint(const QString &portsDir, int port, QObject *parent)
    : QObject(parent)
    , m_dir(portsDir)
    , m_port(port)
{
}

PtyEndpoint::~PtyEndpoint()
{
    close();
}

QString PtyEndpoint::linkPath() const
{
    return QDir(m_dir).filePath(QStringLiteral("COM%1").arg(m_port));
}

bool PtyEndpoint::open(QString *error)
{
    close();
    const auto fail = [&](const char *what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                                  QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    };
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    // Not inherited by programs started from here: a child holding the master would keep the
    // line up after the box closed it ("vanish").
    if (m_master < 0 || ::fcntl(m_master, F_SETFD, FD_CLOEXEC) != 0 || grantpt(m_master) != 0
        || unlockpt(m_master) != 0)
        return fail("cannot create a pseudo-terminal");
    m_slave = QString::fromLocal8Bit(ptsname(m_master));
    // Holding the slave open keeps the master from reading a hang-up every time the tool
    // closes its end; raw mode keeps the line discipline from echoing replies back.
    m_keepAlive = ::open(m_slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_keepAlive < 0)
        return fail("cannot open the pseudo-terminal");
    termios tio{};
    if (tcgetattr(m_keepAlive, &tio) != 0)
        return fail("cannot read the line settings");
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (tcsetattr(m_keepAlive, TCSANOW, &tio) != 0)
        return fail("cannot set the line to raw");
    if (!QDir().mkpath(m_dir))
        return fail("cannot create the ports folder");
    QFile::remove(linkPath());
    if (!QFile::link(m_slave, linkPath()))
        return fail("cannot publish the port");
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyEndpoint::onReadable);
    return true;
}

void PtyEndpoint::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_master >= 0 && QFile::symLinkTarget(linkPath()) == m_slave)
        QFile::remove(linkPath());
    if (m_keepAlive >= 0)
        ::close(m_keepAlive);
    if (m_master >= 0)
        ::close(m_master);
    m_keepAlive = -1;
    m_master = -1;
}

bool PtyEndpoint::write(const QByteArray &data)
{
    if (m_master < 0)
        return false;
    return ::write(m_master, data.constData(), size_t(data.size())) == data.size();
}

void PtyEndpoint::onReadable()
{
    QByteArray data;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    if (!data.isEmpty())
        emit received(data);
}
