#include "recordreader.h"

#include "core/trafficformat.h"
#include "recordguard.h"
#include "recordthread.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

// The open query of the last tags() call: it lives and dies on the record's thread.
struct RecordReader::TagCursor {
    std::unique_ptr<QSqlQuery> query;
    int generation = -1;
};

namespace {

// All rows, or at most limit; more: the limit was reached, so there may be more.
RecordReader::Rows readRows(QSqlQuery &q, int limit = -1, bool *more = nullptr)
{
    RecordReader::Rows rows;
    const int columns = q.record().count();
    while ((limit < 0 || rows.size() < limit) && q.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << q.value(i);
        rows << row;
    }
    if (more)
        *more = limit >= 0 && rows.size() == limit;
    return rows;
}

// After the batch's shown columns, the query says whether it was manual.
constexpr int kBatchManual = RecordReader::kBatchOperator + 1;

} // namespace

RecordReader::RecordReader(const QString &location, QObject *parent)
    : QObject(parent)
    , m_thread(std::make_unique<RecordThread>(location, nullptr, RecordThread::Role::Reading))
    , m_cursor(std::make_shared<TagCursor>())
{
}

RecordReader::~RecordReader()
{
    close();
}

void RecordReader::close()
{
    if (std::exchange(m_closed, true))
        return;
    m_thread->post([cursor = m_cursor](ProductionRecord &) { cursor->query.reset(); });
    m_thread->close();
}

template <class T>
void RecordReader::ask(std::function<T(ProductionRecord &)> question, std::function<void(T)> answer)
{
    emit pendingChanged(++m_pending);
    m_thread->ask<T>(std::move(question), [this, answer = std::move(answer)](T result) {
        emit pendingChanged(--m_pending);
        answer(std::move(result));
    });
}

void RecordReader::overview(std::function<void(Overview)> answer)
{
    ask<Overview>(
        [](ProductionRecord &r) {
            Overview o;
            // A server that went away and came back since it was last read.
            r.reconnect();
            o.where = QDir::toNativeSeparators(r.path());
            o.problem = r.problem();
            o.open = r.isOpen();
            if (!o.open)
                return o;
            QSqlQuery q(r.database());
            q.exec(QStringLiteral(
                "SELECT b.id, b.started, b.stopped, b.station, b.port, b.options, b.first_uid, "
                "b.step, b.base, COALESCE(b.tags, (SELECT count(*) FROM tag t WHERE t.batch_id "
                "= b.id)), b.operator, b.manual FROM batch b ORDER BY b.id DESC"));
            o.batches = readRows(q);
            for (const QVariantList &b : std::as_const(o.batches))
                o.choices.append({b.value(kBatchId).toLongLong(), b.value(kBatchStarted).toString(),
                                  b.value(kBatchPort).toString(),
                                  b.value(kBatchManual).toInt() != 0});
            q.exec(RecordGuard::openReservationQuery());
            o.reservations = readRows(q);
            if (q.exec(RecordGuard::listSummaryQuery()))
                o.lists = readRows(q);
            for (QVariantList &l : o.lists) {
                const qint64 left = l.value(kListIds).toLongLong() - l.value(kListUsed).toLongLong()
                                    - l.value(kListInDoubt).toLongLong();
                l.insert(kListRemaining, left);
            }
            return o;
        },
        std::move(answer));
}

void RecordReader::tags(const RecordQueries::Filter &filter, std::function<void(Page)> answer)
{
    const int generation = ++m_generation;
    ask<Page>(
        [cursor = m_cursor, filter, generation](ProductionRecord &r) {
            Page page;
            page.generation = generation;
            cursor->generation = generation;
            cursor->query = std::make_unique<QSqlQuery>(r.database());
            QSqlQuery &q = *cursor->query;
            q.prepare(RecordQueries::tagQuery(filter));
            RecordQueries::bindFilter(q, filter);
            if (!q.exec()) {
                page.error = q.lastError().text();
                cursor->query.reset();
                return page;
            }
            page.rows = readRows(q, kPage, &page.more);
            return page;
        },
        [this, answer = std::move(answer)](Page page) {
            if (page.generation == m_generation)
                answer(std::move(page));
        });
}

void RecordReader::moreTags(std::function<void(Page)> answer)
{
    ask<Page>(
        [cursor = m_cursor, generation = m_generation](ProductionRecord &) {
            Page page;
            page.generation = generation;
            if (cursor->generation == generation && cursor->query)
                page.rows = readRows(*cursor->query, kPage, &page.more);
            return page;
        },
        [this, answer = std::move(answer)](Page page) {
            if (page.generation == m_generation)
                answer(std::move(page));
        });
}

void RecordReader::lineFigures(bool latestBatch, qint64 sinceMs,
                               std::function<void(LineFigures)> answer)
{
    ask<LineFigures>(
        [latestBatch, sinceMs](ProductionRecord &r) {
            qint64 batch = -1;
            if (latestBatch && r.isOpen()) {
                QSqlQuery q(r.database());
                if (q.exec(QStringLiteral("SELECT max(id) FROM batch WHERE manual = 0"))
                    && q.next())
                    batch = q.value(0).isNull() ? 0 : q.value(0).toLongLong();
            }
            return LineFigures::read(r, sinceMs, batch);
        },
        std::move(answer));
}

void RecordReader::traffic(qint64 id, std::function<void(QString)> answer)
{
    ask<QString>(
        [id](ProductionRecord &r) {
            const std::optional<QByteArray> lines = r.tagTraffic(id);
            return lines ? TrafficFormat::readable(*lines) : QString();
        },
        std::move(answer));
}

void RecordReader::release(const QString &uid, const QString &who,
                           std::function<void(QString)> answer)
{
    ask<QString>(
        [uid, who](ProductionRecord &r) {
            QString error;
            if (!r.release(uid, who, &error) && error.isEmpty())
                error = QStringLiteral("the record did not take it");
            return error;
        },
        std::move(answer));
}

void RecordReader::exportCsv(const QString &file, const RecordQueries::Filter &filter,
                             std::shared_ptr<ExportProgress> progress,
                             std::function<void(Exported)> answer)
{
    ask<Exported>(
        [file, filter, progress](ProductionRecord &r) {
            Exported e;
            e.rows = r.countTags(filter);
            progress->total = qMax<qint64>(e.rows, 1);
            e.done = r.exportCsv(file, filter, &e.error, [progress](qint64 rows) {
                progress->rows = rows;
                return !progress->cancel;
            });
            return e;
        },
        std::move(answer));
}
