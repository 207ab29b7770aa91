#pragma once

#include "productionrecord.h"

#include <QObject>
#include <QThread>
#include <functional>
#include <memory>

// Writes the production record on a thread of its own, in the order asked: a slow server or
// a busy file never holds up the window while the box's replies arrive (replies that wait
// unread run together and a tag's report is lost).
class RecordWriter : public QObject {
    Q_OBJECT
public:
    explicit RecordWriter(const QString &location, QObject *parent = nullptr);
    ~RecordWriter() override;

    // Runs the step with the writer's own record, after every step posted before it.
    void post(std::function<void(ProductionRecord &)> step);

signals:
    // After a step: why recording is off (empty while it works) and how much waits in the spool.
    void stateChanged(const QString &problem, int spooled);

private:
    void report();

    QThread m_thread;
    QObject *m_context;
    // Made, used and destroyed on m_thread: a database connection belongs to its thread.
    std::unique_ptr<ProductionRecord> m_record;
    QString m_lastProblem;
    int m_lastSpooled = -1;
};
