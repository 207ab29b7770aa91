#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

class Transport;

// Port discovery: one port number per tick of Port_find_timer, 1 to 26. A port that opens
// and does not answer the modem probe "AT" with "OK" is reported as found.
class PortScanner : public QObject {
    Q_OBJECT
public:
    explicit PortScanner(Transport &transport, QObject *parent = nullptr);

    void start();
    // Ends the scan where it is; the ports found so far stay listed.
    void stop() { m_timer.stop(); }
    bool isScanning() const { return m_timer.isActive(); }
    QTimer &Port_find_timer() { return m_timer; }
    int ScanPortNumber = 0;
    // Devices that exist but that this user may not open (left out of the list).
    QStringList refused() const { return m_refused; }

signals:
    void portFound(int number, const QString &device);
    void finished();

private:
    void tick();

    Transport &m_transport;
    QTimer m_timer;
    QStringList m_refused;
};
