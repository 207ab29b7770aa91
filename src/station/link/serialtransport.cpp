#include "serialtransport.h"

#include <QFileInfo>

SerialTransport::SerialTransport(QObject *parent)
    : Transport(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialTransport::notifyReceived);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialTransport::onError);
}

static QString describeOpenError(const QSerialPort &port, const QString &device)
{
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("%1 does not exist (unplugged?).").arg(device);
    case QSerialPort::PermissionError: {
        if (QFileInfo::exists(device))
            return QStringLiteral("%1 is in use by another program, or you may not open it. "
                                  "On Linux, join the 'dialout' group "
                                  "(sudo usermod -aG dialout $USER) and log in again.")
                .arg(device);
        return QStringLiteral("%1 cannot be opened: %2").arg(device, port.errorString());
    }
    default:
        return QStringLiteral("%1 cannot be opened: %2").arg(device, port.errorString());
    }
}

bool SerialTransport::open(const QString &device, QString *reason)
{
    if (m_port.isOpen())
        m_port.close();
    m_device = device;
    m_port.setPortName(device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        if (reason)
            *reason = describeOpenError(m_port, device);
        return false;
    }
    const bool configured
        = m_port.setBaudRate(QSerialPort::Baud9600) && m_port.setDataBits(QSerialPort::Data8)
          && m_port.setParity(QSerialPort::NoParity) && m_port.setStopBits(QSerialPort::OneStop)
          && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        if (reason)
            *reason = QStringLiteral("%1 cannot be set to 9600,N,8,1: %2")
                          .arg(device, m_port.errorString());
        m_port.close();
        return false;
    }
    // Whatever a device left in the line before we opened it is no reply of ours.
    m_port.clear();
    return true;
}

void SerialTransport::close()
{
    if (m_port.isOpen())
        m_port.close();
}

bool SerialTransport::isOpen() const
{
    return m_port.isOpen();
}

bool SerialTransport::write(const QByteArray &data)
{
    if (!m_port.isOpen())
        return false;
    return m_port.write(data) == data.size();
}

void SerialTransport::flush()
{
    if (m_port.isOpen())
        m_port.flush();
}

QByteArray SerialTransport::readAll()
{
    if (!m_port.isOpen())
        return {};
    return m_port.readAll();
}

QByteArray SerialTransport::readWithin(int waitMs)
{
    if (!m_port.isOpen())
        return {};
    if (m_port.bytesAvailable() == 0)
        m_port.waitForReadyRead(waitMs);
    return m_port.readAll();
}

void SerialTransport::onError(QSerialPort::SerialPortError error)
{
    // Qt 6.4 repeats ReadError in a tight loop once the other end is gone: close on the
    // first one so the event loop stays free.
    const bool broken = error == QSerialPort::ReadError || error == QSerialPort::WriteError
                        || error == QSerialPort::ResourceError;
    if (!broken || !m_port.isOpen())
        return;
    const QString reason
        = QStringLiteral("%1 stopped working: %2").arg(m_device, m_port.errorString());
    m_port.close();
    emit failed(reason);
}
