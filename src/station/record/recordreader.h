#pragma once

#include "linefigures.h"
#include "productionrecord.h"

#include <QObject>
#include <QVariantList>
#include <atomic>
#include <functional>
#include <memory>

class RecordThread;

// What a window that shows the record may ask of it, answered on the record's own thread so
// a slow or frozen server never holds up the window. Rows come ready to show; their columns
// are named where the asker needs one. Answers arrive on the asker's thread, in the order
// asked; none after close().
class RecordReader : public QObject {
    Q_OBJECT
public:
    using Rows = QList<QVariantList>;

    // The columns of the rows of an overview.
    enum BatchColumn : int {
        kBatchId = 0,
        kBatchStarted,
        kBatchStopped,
        kBatchStation,
        kBatchPort,
        kBatchOptions,
        kBatchFirstUid,
        kBatchStep,
        kBatchBase,
        kBatchTags,
        kBatchOperator,
    };
    enum ReservationColumn : int {
        kReservationUid = 0,
        kReservationStation,
        kReservationPort,
        kReservationSince,
        kReservationBatch,
        kReservationWhy,
    };
    enum ListColumn : int {
        kListName = 0,
        kListBase,
        kListIds,
        kListUsed,
        kListInDoubt,
        kListRemaining,
        kListLoaded,
    };

    // A batch as the batch chooser names it.
    struct BatchChoice {
        qint64 id = 0;
        QString started;
        QString port;
        bool manual = false;
    };
    // The record as a whole: where it is, whether it opens, and its small tables.
    struct Overview {
        bool open = false;
        QString where;
        QString problem;
        Rows batches;
        QList<BatchChoice> choices;
        Rows reservations;
        Rows lists;
    };
    // Tags in the columns of RecordQueries::tagColumns(); more: there may be more to fetch.
    struct Page {
        int generation = 0;
        Rows rows;
        bool more = false;
        QString error;
    };
    // An export on its way: how far it is, and a way to stop it.
    struct ExportProgress {
        std::atomic<qint64> total{0};
        std::atomic<qint64> rows{0};
        std::atomic<bool> cancel{false};
    };
    struct Exported {
        qint64 rows = 0;
        bool done = false;
        QString error;
    };

    // As many tags as a view shows a few times over; more as it scrolls.
    static constexpr int kPage = 256;

    explicit RecordReader(const QString &location, QObject *parent = nullptr);
    ~RecordReader() override;

    // Questions not answered yet.
    int pending() const { return m_pending; }

    void overview(std::function<void(Overview)> answer);
    // The first page of the tags a filter selects; a later call's pages replace it.
    void tags(const RecordQueries::Filter &filter, std::function<void(Page)> answer);
    // The next page of the last tags() call (empty when a newer call replaced it).
    void moreTags(std::function<void(Page)> answer);
    // The latest production batch's figures, or those since sinceMs.
    void lineFigures(bool latestBatch, qint64 sinceMs, std::function<void(LineFigures)> answer);
    // The traffic kept for tag id, readable; empty when none was kept.
    void traffic(qint64 id, std::function<void(QString)> answer);
    // Gives a UID held in doubt back; why not, in words, or nothing.
    void release(const QString &uid, const QString &who, std::function<void(QString)> answer);
    void exportCsv(const QString &file, const RecordQueries::Filter &filter,
                   std::shared_ptr<ExportProgress> progress, std::function<void(Exported)> answer);
    void close();

signals:
    // A question went out or was answered: how many wait now.
    void pendingChanged(int pending);

private:
    template <class T>
    void ask(std::function<T(ProductionRecord &)> question, std::function<void(T)> answer);

    struct TagCursor;
    std::unique_ptr<RecordThread> m_thread;
    std::shared_ptr<TagCursor> m_cursor;
    int m_generation = 0;
    int m_pending = 0;
    bool m_closed = false;
};
