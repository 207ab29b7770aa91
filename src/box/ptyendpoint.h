#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The box's end of a pseudo-terminal, published as <dir>/COMn so the tool finds it as
// port n. Closing it is what a pulled USB adapter looks like from the tool's side.
class PtyEndpoint : public QObject {
    Q_OBJECT
public:
    PtyEndpoint(const QString &portsDir, int port, QObject *parent = nullptr);
    ~PtyEndpoint() override;

    bool open(QString *error);
    void close();
    bool isOpen() const { return m_master >= 0; }
    QString linkPath() const;
    QString slavePath() const { return m_slave; }

    // Writes at once; pacing is the caller's. Returns false when the line takes nothing.
    bool write(const QByteArray &data);

signals:
    void received(const QByteArray &data);

private:
    void onReadable();

    QString m_dir;
    int m_port;
    int m_master = -1;
    int m_keepAlive = -1;
    QString m_slave;
    QSocketNotifier *m_notifier = nullptr;
};
