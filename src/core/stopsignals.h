#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal, so a station stops through its own event loop (the tag in
// progress ended, the batch closed) instead of dying mid-write. The handler only writes a byte
// to a socket pair. One at a time in a process; the default handling comes back when it goes.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    void raised();

private:
    QSocketNotifier *m_notifier = nullptr;
};
