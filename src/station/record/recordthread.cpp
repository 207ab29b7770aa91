#include "recordthread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

RecordThread::RecordThread(const QString &location, QObject *parent, Role role)
    : QObject(parent)
    , m_core(std::make_shared<Core>())
    , m_location(location)
    , m_role(role)
{
    m_core->owner = this;
    m_thread = QThread::create([core = m_core, location, role] { core->work(location, role); });
    m_thread->setObjectName(QStringLiteral("production record"));
    m_thread->start();
}

RecordThread::~RecordThread()
{
    close();
}

void RecordThread::post(Step step)
{
    const QMutexLocker locked(&m_core->mutex);
    if (m_core->closing)
        return;
    m_core->queue.push_back(std::move(step));
    m_core->wake.wakeOne();
}

void RecordThread::Core::toOwner(std::function<void()> f)
{
    const QMutexLocker locked(&mutex);
    // Posted while the owner cannot go away; Qt drops it if the owner is deleted before it runs.
    // One that runs after closing (a box shown at closing runs the event loop) does nothing:
    // owner is cleared on its own thread, where this runs.
    if (owner)
        QMetaObject::invokeMethod(
            owner,
            [this, f = std::move(f)] {
                if (owner)
                    f();
            },
            Qt::QueuedConnection);
}

void RecordThread::Core::work(const QString &location, Role role)
{
    auto record = std::make_unique<ProductionRecord>(location);
    const bool writing = role == Role::Writing;
    if (writing)
        record->markInterrupted();
    report(*record);
    QElapsedTimer sinceRetry;
    sinceRetry.start();
    for (;;) {
        // A record that is off is tried again now and then, however busy the line, so its
        // warning goes (and its spool empties) without anyone asking.
        const bool off = writing && !record->problem().isEmpty() && record->mayRecover();
        if (off && sinceRetry.elapsed() >= kRetryMs) {
            record->resume();
            sinceRetry.restart();
            report(*record);
            continue;
        }
        Step step;
        {
            QMutexLocker locked(&mutex);
            current = {};
            if (queue.empty() && !closing) {
                if (off)
                    wake.wait(&mutex, QDeadlineTimer(kRetryMs - sinceRetry.elapsed()));
                else
                    wake.wait(&mutex);
                continue;
            }
            if (queue.empty())
                break;
            step = std::move(queue.front());
            queue.pop_front();
            current = step;
        }
        step(*record);
        report(*record);
    }
    const QMutexLocker locked(&mutex);
    left.spooled = record->spooled();
    left.lost = record->heldInMemory();
}

void RecordThread::Core::report(const ProductionRecord &record)
{
    const QString problem = record.problem();
    const QString detail = record.problemDetail();
    const int spooled = record.spooled();
    const int refused = record.refused();
    if (problem == lastProblem && spooled == lastSpooled && refused == lastRefused)
        return;
    lastProblem = problem;
    lastSpooled = spooled;
    lastRefused = refused;
    toOwner([this, problem, detail, spooled, refused, refusal = record.lastRefusal()] {
        emit owner->stateChanged(problem, detail, spooled, refused, refusal);
    });
}

RecordThread::Left RecordThread::close()
{
    if (m_closed)
        return m_core->left;
    m_closed = true;
    {
        const QMutexLocker locked(&m_core->mutex);
        m_core->closing = true;
        m_core->wake.wakeAll();
        if (m_role == Role::Reading)
            m_core->owner = nullptr;
    }
    if (m_role == Role::Reading) {
        // Nothing waits on a reader; a frozen server may hold its thread for good, and it ends
        // with the tool then.
        if (m_thread->wait(kReaderCloseMs))
            delete m_thread;
        else
            connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
        m_thread = nullptr;
        return {};
    }
    if (m_thread->wait(kCloseMs)) {
        delete m_thread;
        m_thread = nullptr;
        const QMutexLocker locked(&m_core->mutex);
        m_core->owner = nullptr;
        return m_core->left;
    }
    // The record's thread is held in the driver (a frozen server): what it was doing and what
    // waited behind it go to the spool from here, and the thread is left to end with the tool.
    std::deque<Step> waiting;
    Step current;
    {
        const QMutexLocker locked(&m_core->mutex);
        m_core->owner = nullptr;
        waiting.swap(m_core->queue);
        current = m_core->current;
    }
    Left left;
    left.stuck = true;
    {
        ProductionRecord spool(m_location, ProductionRecord::Mode::SpoolOnly);
        if (current)
            current(spool);
        for (const Step &step : waiting)
            step(spool);
        left.spooled = spool.spooled();
        left.lost = spool.heldInMemory();
    }
    m_thread = nullptr;
    m_core->left = left;
    return left;
}
