#include "listloader.h"

#include "core/uidlist.h"
#include "recordthread.h"

namespace {

template <class T> struct Answer {
    std::optional<T> value;
    QString problem;
};

} // namespace

ListLoader::ListLoader(RecordThread &writer, QObject *parent)
    : QObject(parent)
    , m_writer(writer)
{
}

void ListLoader::load(const std::shared_ptr<const UidList> &list,
                      const ProductionRecord::Batch &station)
{
    ++m_generation;
    m_list = list;
    m_station = station;
    m_refilled = false;
    m_free.clear();
    m_ready.reset();
    store(-1);
}

void ListLoader::cancel()
{
    ++m_generation;
    m_list.reset();
}

bool ListLoader::loading(const UidList &list, const QString &port) const
{
    return m_list && m_list->key() == list.key() && m_station.port == port;
}

bool ListLoader::ready(const UidList &list, const QString &port) const
{
    return m_ready && m_ready->key == list.key() && m_ready->port == port;
}

std::optional<QList<int>> ListLoader::take(const UidList &list, const QString &port)
{
    if (!ready(list, port))
        return std::nullopt;
    return std::exchange(m_ready, std::nullopt)->free;
}

void ListLoader::fail(const QString &why)
{
    const QString name = m_list->name();
    cancel();
    emit finished(QStringLiteral("UID list %1 could not be made ready: %2").arg(name, why));
}

void ListLoader::store(int from)
{
    using Step = Answer<int>;
    const quint64 generation = m_generation;
    const std::shared_ptr<const UidList> list = m_list;
    m_writer.ask<Step>(
        [list, from](ProductionRecord &r) {
            return Step{r.storeList(*list, from, kStepMs), r.problem()};
        },
        [this, generation](const Step &step) {
            if (generation != m_generation)
                return;
            if (!step.value)
                return fail(step.problem.isEmpty() ? QStringLiteral("the record did not take it")
                                                   : step.problem);
            const int next = *step.value;
            emit progress(QStringLiteral("Loading UID list %1 into the production record")
                              .arg(m_list->name()),
                          next, 2 * qint64(m_list->count()));
            if (next < m_list->count())
                return store(next);
            m_gaps = false;
            m_free.clear();
            scan(0);
        });
}

void ListLoader::scan(int from)
{
    using Free = Answer<std::pair<QList<int>, int>>;
    const quint64 generation = m_generation;
    const std::shared_ptr<const UidList> list = m_list;
    const ProductionRecord::Batch station = m_station;
    const int to = qMin(from + kScanPositions, list->count());
    m_writer.ask<Free>(
        [list, station, from, to](ProductionRecord &r) {
            return Free{r.freePositions(*list, station, from, to), r.problem()};
        },
        [this, generation, from, to](const Free &free) {
            if (generation != m_generation)
                return;
            if (!free.value)
                return fail(free.problem.isEmpty()
                                ? QStringLiteral("the record could not say which IDs are free")
                                : free.problem);
            m_free.append(free.value->first);
            // Rows missing (a foreign or broken copy) are put in once more, then looked at again.
            m_gaps = m_gaps || free.value->second < to - from;
            const int count = m_list->count();
            emit progress(QStringLiteral("Finding the free IDs of UID list %1").arg(m_list->name()),
                          count + qint64(to), 2 * qint64(count));
            if (to < count)
                return scan(to);
            if (m_gaps) {
                if (std::exchange(m_refilled, true))
                    return fail(QStringLiteral("the record's copy of it is not whole"));
                return store(0);
            }
            m_ready = Ready{m_list->key(), m_station.port, std::exchange(m_free, {})};
            m_list.reset();
            emit finished({});
        });
}
