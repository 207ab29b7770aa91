#include "fakes.h"

#include <QTimer>

bool FakeTransport::open(const QString &dev, QString *reason)
{
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

bool FakeTransport::write(const QByteArray &data)
{
    if (!m_open)
        return false;
    written += data;
    if (onWrite)
        onWrite(data);
    return true;
}

QByteArray FakeTransport::readAll()
{
    return std::exchange(m_input, {});
}

QByteArray FakeTransport::readWithin(int)
{
    if (written.endsWith("AT\r\n"))
        m_input += devices.value(device);
    return readAll();
}

void FakeTransport::inject(const QByteArray &data)
{
    m_input += data;
    notifyReceived();
}

void FakeTransport::breakLine(const QString &reason)
{
    m_open = false;
    emit failed(reason);
}

EngineResponder::EngineResponder(FakeTransport &transport)
    : m_transport(transport)
{
    m_transport.onWrite = [this](const QByteArray &data) {
        for (const QByteArray &line : data.split('\n')) {
            const QByteArray command = line.trimmed();
            if (command.isEmpty())
                continue;
            commands.append(command);
            if (const auto reply = engine.command(command))
                answer(reply->text);
        }
    };
}

void EngineResponder::present(const T5557::Tag &tag)
{
    const QByteArray report = engine.present(tag);
    if (!report.isEmpty())
        answer(report);
}

void EngineResponder::remove()
{
    answer(engine.remove());
}

void EngineResponder::answer(const QByteArray &text)
{
    // Replies arrive later than the command left, each after a quiet line of its own.
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 at = std::max(m_clock.elapsed() + 25, m_lastAnswerAt + 40);
    m_lastAnswerAt = at;
    QTimer::singleShot(int(at - m_clock.elapsed()), this,
                       [this, text] { m_transport.inject(text + "\r\n"); });
}
