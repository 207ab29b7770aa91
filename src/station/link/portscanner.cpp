#include "portscanner.h"

#include "core/timing.h"
#include "portmap.h"
#include "transport.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

PortScanner::PortScanner(Transport &transport, QObject *parent)
    : QObject(parent)
    , m_transport(transport)
{
    m_timer.setInterval(Timing::kScanTickMs);
    connect(&m_timer, &QTimer::timeout, this, &PortScanner::tick);
}

void PortScanner::start()
{
    m_refused.clear();
    m_timer.start();
}

// The device is there, but its permissions keep this user out.
static bool permissionRefused(const QString &device)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    return ::access(path.constData(), F_OK) == 0 && ::access(path.constData(), R_OK | W_OK) != 0
           && errno == EACCES;
#else
    Q_UNUSED(device);
    return false;
#endif
}

void PortScanner::tick()
{
    ++ScanPortNumber;
    const int number = ScanPortNumber;
    const QString device = PortMap::deviceFor(number);
    m_transport.setReceiveEvents(false);
    if (!device.isEmpty() && m_transport.open(device, nullptr)) {
        m_transport.write("AT\r\n");
        const QByteArray answer = m_transport.readWithin(Timing::kProbeWaitMs);
        if (!answer.contains("OK"))
            emit portFound(number, device);
    } else if (!device.isEmpty() && permissionRefused(device)) {
        m_refused << device;
    }
    m_transport.setReceiveEvents(true);
    m_transport.close();
    if (ScanPortNumber < Timing::kScanLastPort)
        return;
    m_timer.stop();
    emit finished();
}
