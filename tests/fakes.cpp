#include "fakes.h"

bool FakeTransport::open(const QString &dev, QString *reason) {
    opened.append(dev);
    if (!devices.contains(dev)) {
        if (reason)
            *reason = dev + QStringLiteral(" does not exist (unplugged?).");
        return false;
    }
    device = dev;
    m_open = true;
    m_input.clear();
    return true;
}

bool FakeTransport::write(const QByteArray &data) {
    if (!m_open)
        return false;
    written += data;
    return true;
}

QByteArray FakeTransport::readAll() {
    return std::exchange(m_input, {});
}

QByteArray FakeTransport::readWithin(int) {
    if (written.endsWith("AT\r\n"))
        m_input += devices.value(device);
    return readAll();
}

void FakeTransport::inject(const QByteArray &data) {
    m_input += data;
    notifyReceived();
}

void FakeTransport::breakLine(const QString &reason) {
    m_open = false;
    emit failed(reason);
}
