#include "recordwriter.h"

RecordWriter::RecordWriter(const QString &location, QObject *parent)
    : QObject(parent)
    , m_context(new QObject)
{
    m_thread.setObjectName(QStringLiteral("record writer"));
    m_context->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_context,
        [this, location] {
            m_record = std::make_unique<ProductionRecord>(location);
            report();
        },
        Qt::QueuedConnection);
}

RecordWriter::~RecordWriter()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            m_record.reset();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    m_thread.wait();
    delete m_context;
}

void RecordWriter::post(std::function<void(ProductionRecord &)> step)
{
    QMetaObject::invokeMethod(
        m_context,
        [this, step = std::move(step)] {
            if (!m_record)
                return;
            step(*m_record);
            report();
        },
        Qt::QueuedConnection);
}

void RecordWriter::report()
{
    const QString problem = m_record->problem();
    const int spooled = m_record->isShared() ? m_record->spooled() : 0;
    if (problem == m_lastProblem && spooled == m_lastSpooled)
        return;
    m_lastProblem = problem;
    m_lastSpooled = spooled;
    emit stateChanged(problem, spooled);
}
