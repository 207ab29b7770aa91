#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

class QSocketNotifier;

// The far end of a real pseudo-terminal, published as COMn in a private ports folder, so
// tests drive the tool's real serial layer.
class PtyPeer : public QObject {
    Q_OBJECT
public:
    explicit PtyPeer(int portNumber = 1, QObject *parent = nullptr);
    ~PtyPeer() override;

    bool isValid() const { return m_master >= 0; }
    QString portsDir() const { return m_dir.path(); }
    QString devicePath() const;
    void send(const QByteArray &data);
    // Closes the far end, as a pulled USB adapter would.
    void hangUp();

    QByteArray received;

signals:
    void dataReceived();

private:
    void onReadable();

    QTemporaryDir m_dir;
    int m_master = -1;
    int m_slaveKeepAlive = -1;
    QString m_slaveName;
    QSocketNotifier *m_notifier = nullptr;
    int m_port;
};
