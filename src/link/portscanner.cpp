#include "portscanner.h"

#include "core/timing.h"
#include "portmap.h"
#include "transport.h"

PortScanner::PortScanner(Transport &transport, QObject *parent)
    : QObject(parent)
    , m_transport(transport)
{
    m_timer.setInterval(Timing::kScanTickMs);
    connect(&m_timer, &QTimer::timeout, this, &PortScanner::tick);
}

void PortScanner::start()
{
    m_timer.start();
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
    }
    m_transport.setReceiveEvents(true);
    m_transport.close();
    if (ScanPortNumber < Timing::kScanLastPort)
        return;
    m_timer.stop();
    emit finished();
}
