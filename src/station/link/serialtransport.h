#pragma once

#include "transport.h"

#include <QSerialPort>

// Transport over a real serial device (or a pseudo-terminal) through QSerialPort.
class SerialTransport : public Transport {
    Q_OBJECT
public:
    explicit SerialTransport(QObject *parent = nullptr);

    bool open(const QString &device, QString *reason) override;
    void close() override;
    bool isOpen() const override;
    bool write(const QByteArray &data) override;
    void flush() override;
    QByteArray readAll() override;
    QByteArray readWithin(int waitMs) override;

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QString m_device;
};
