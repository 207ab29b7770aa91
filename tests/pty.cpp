#include "pty.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer(int portNumber, QObject *parent)
    : QObject(parent)
    , m_port(portNumber) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        hangUp();
        return;
    }
    m_slaveName = QString::fromLocal8Bit(ptsname(m_master));
    // Holding the slave open keeps the master from seeing a hang-up each time the tool
    // closes its end; raw mode stops the line discipline from echoing our replies back.
    m_slaveKeepAlive = ::open(m_slaveName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (m_slaveKeepAlive >= 0 && tcgetattr(m_slaveKeepAlive, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_slaveKeepAlive, TCSANOW, &tio);
    }
    QFile::link(m_slaveName, devicePath());
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyPeer::onReadable);
}

PtyPeer::~PtyPeer() {
    hangUp();
}

QString PtyPeer::devicePath() const {
    return m_dir.filePath(QStringLiteral("COM%1").arg(m_port));
}

void PtyPeer::send(const QByteArray &data) {
    if (m_master >= 0)
        ::write(m_master, data.constData(), size_t(data.size()));
}

void PtyPeer::hangUp() {
    delete m_notifier;
    m_notifier = nullptr;
    if (m_slaveKeepAlive >= 0)
        ::close(m_slaveKeepAlive);
    if (m_master >= 0)
        ::close(m_master);
    m_slaveKeepAlive = -1;
    m_master = -1;
}

void PtyPeer::onReadable() {
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, n);
    }
    emit dataReceived();
}
