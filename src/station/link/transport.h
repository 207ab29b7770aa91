#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The one seam between the tool and a serial line: the real port or an in-memory fake.
class Transport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Opens the device at 9600,N,8,1; on failure returns false and says why in *reason.
    virtual bool open(const QString &device, QString *reason) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual bool write(const QByteArray &data) = 0;
    // Hands what was written to the device now instead of at the next turn of the event
    // loop, before the event thread blocks.
    virtual void flush() {}
    virtual QByteArray readAll() = 0;
    // Waits at most waitMs for input, then returns whatever has arrived.
    virtual QByteArray readWithin(int waitMs) = 0;

    // The receive threshold: while off (during a port probe) no received() is emitted.
    void setReceiveEvents(bool on) { m_receiveEvents = on; }
    bool receiveEvents() const { return m_receiveEvents; }

signals:
    // Some port event happened; characters may or may not be waiting.
    void received();
    // The open line broke (device pulled, other end gone); the transport is closed already.
    void failed(const QString &reason);

protected:
    void notifyReceived()
    {
        if (m_receiveEvents)
            emit received();
    }

private:
    bool m_receiveEvents = true;
};
