#pragma once

#include "productionrecord.h"

#include <QObject>
#include <memory>
#include <optional>

class RecordThread;
class UidList;

// Puts a UID list into the production record and finds which of its IDs are free, before a
// batch runs from it, in steps short enough that the record's thread answers the loop and
// other stations between them: a list of millions loads while a conveyor runs, can be
// cancelled, and a load cut short goes on where it ended the next time.
class ListLoader : public QObject {
    Q_OBJECT
public:
    // How long one step may hold the record's thread (well inside the loop's patience).
    static constexpr int kStepMs = 150;
    // Positions looked at in one step of finding the free IDs.
    static constexpr int kScanPositions = 50000;

    explicit ListLoader(RecordThread &writer, QObject *parent = nullptr);

    // Starts loading; a load of another list or station is given up.
    void load(const std::shared_ptr<const UidList> &list, const ProductionRecord::Batch &station);
    void cancel();
    bool busy() const { return bool(m_list); }
    bool loading(const UidList &list, const QString &port) const;
    bool ready(const UidList &list, const QString &port) const;
    // The free positions of a loaded list, in order, for the batch that starts now: given
    // once, and only for the list and port they were found for.
    std::optional<QList<int>> take(const UidList &list, const QString &port);
    // After a load: what it found.
    qint64 freeCount() const { return m_ready ? m_ready->free.size() : 0; }

signals:
    // What is being done, in words, and how far it is.
    void progress(const QString &what, qint64 done, qint64 total);
    // Loaded and its free IDs known (error empty), or not, and why.
    void finished(const QString &error);

private:
    void store(int from);
    void scan(int from);
    void fail(const QString &why);

    RecordThread &m_writer;
    std::shared_ptr<const UidList> m_list;
    ProductionRecord::Batch m_station;
    // Answers of a load given up are not listened to.
    quint64 m_generation = 0;
    bool m_refilled = false;
    bool m_gaps = false;
    QList<int> m_free;
    struct Ready {
        QString key;
        QString port;
        QList<int> free;
    };
    std::optional<Ready> m_ready;
};
