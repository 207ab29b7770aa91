#pragma once

#include "core/autoloop.h"
#include "linefigures.h"
#include "productionrecord.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <functional>
#include <memory>

class ProductionLoop;
class Dialogs;
class ListLoader;
class TrafficCapture;
class RecordWriter;
class QTimer;

// Keeps the production record in step with the loop: a batch per run, a row per tag, the
// duplicate guard before each stepped UID, and what to tell the operator about it. Nothing here
// waits on the database: the record's thread answers, and the loop waits for the answer.
class Recorder : public QObject {
    Q_OBJECT
public:
    // UIDs reserved ahead of the loop, so a UID write seldom waits on the record.
    static constexpr int kLease = 5;
    // How long the loop waits for the record before it stops.
    static constexpr int kAnswerMs = 1000;

    Recorder(ProductionLoop &loop, std::function<QString()> portDevice, Dialogs &dialogs,
             QObject *parent = nullptr);
    ~Recorder() override;

    // Why recording is off; empty while it works.
    QString problem() const;
    // Statements waiting on this PC.
    int spooled() const { return m_spooled; }
    // The record's thread has said once whether the record works.
    bool known() const { return m_reported; }
    // The running batch's key; empty between batches.
    QString batchKey() const { return m_batch.value_or(QString()); }
    // The operator chose to go on while the record is off.
    bool runningWithoutRecord() const { return m_withoutRecord; }
    // "Batch: 3 complete / 0 failed / 0 stalled — ..."
    QString summary() const { return m_summary; }
    // The running batch's (or the last one's) rate, yield and failures.
    const LineFigures &line() const { return m_line; }
    // What the operator is told while the record is off, and the driver's words for it; empty
    // while it works.
    QString warning() const { return m_warning; }
    QString warningDetail() const;

    // Ends the batches and waits (at most RecordWriter::kCloseMs) for the record; what it
    // left on this PC, in words, or nothing.
    QString close();

    // Who runs the batches from now on; empty: the login.
    void setOperator(const QString &name) { m_operator = name.trimmed(); }
    // The name the next batch records.
    QString operatorName() const;

    // A batch that runs from a UID list starts once the list is in the record and its free IDs
    // are known; until then the loader says how far it is, and cancelling leaves the loop off.
    ListLoader &lists() { return *m_lists; }
    void cancelList();

    // Where a stepping run of these options goes on after the UIDs the record holds as written
    // or in doubt (at most kContinueLimit of them), answered on this thread.
    static constexpr int kContinueLimit = 1000000;
    void findFirstUnused(const AutoLoop::Options &o,
                         std::function<void(const RecordGuard::Unused &)> answer);
    // "continuing at UID 0000001500: 500 UIDs from 0000001000 written or in doubt"
    static QString carryingOn(const QString &from, const RecordGuard::Unused &found);

    // While the capture runs, each batch's traffic goes into the record with its tags.
    void keepTrafficOf(TrafficCapture &capture);

    // A UID written by hand, and the reply that answered it.
    void onManualUidWrite(const QString &uid, bool hex);
    void onReply(const QString &head, const Reply::Parsed &reply);
    void onReplyTimedOut();

    // What the loop is told of a UID the record answered for; nothing when it could not answer.
    static std::optional<AutoLoop::Engine::UidVerdict>
    verdictOf(const ProductionRecord::Reservation &r, const QString &uid, QString *title = nullptr);
    // "on <time> in batch 4 (station A, port /dev/ttyUSB0)"
    static QString whereWritten(const ProductionRecord::PriorTag &p);

signals:
    void summaryChanged(const QString &summary);
    void lineChanged();
    void warningChanged();

private:
    using Leased = QList<std::pair<QString, ProductionRecord::Reservation>>;

    void onSwitched(bool on);
    // Asked before the loop switches on: false while the batch's UID list is being loaded.
    bool mayStart();
    void onState(const QString &problem, const QString &detail, int spooled, int refused,
                 const QString &refusal);
    void beginBatchOnce();
    void onTagStarted(const AutoLoop::TagOutcome &tag);
    void onTagEnded(const AutoLoop::TagOutcome &tag);
    void onUidRefused(const QString &why);
    // The operator chose to go on after the recorded UIDs: the loop starts there.
    void carryOn();
    void onTrafficLine(const QByteArray &line);
    // What was captured since the last chunk goes to the record, as the tag's with its row.
    void keepTraffic(const QString &tagRow);
    AutoLoop::Engine::UidVerdict guard(const QString &uid);
    AutoLoop::Engine::Recorded recordedAt(const QString &uid, bool hex);
    // Reserves the UIDs from uid on that the lease does not hold yet.
    void lease(const QString &uid);
    // The UID the lease and the loop go on to after uid: the list's next free one, or uid
    // stepped. Empty at the list's end.
    QString following(const QString &uid) const;
    // The list's first free ID at or after the position of uid, as the record said when the
    // batch began; empty when none is left.
    QString freeFrom(const QString &uid, bool after) const;
    // The batch's UID list, and its free positions once the record has said them.
    void openList(const std::shared_ptr<const UidList> &list);
    void onLeased(const QString &batch, const QStringList &asked, const Leased &answers);
    // Marks a reserved UID as about to be written; the loop writes none that is not marked.
    void arm(const QString &uid);
    // The loop waits for the record: told when an answer is in, or when none came in time.
    void waitForRecord();
    void answered();
    // An answer came from the record's thread: it answers again.
    void recordAnswers();
    void noteConfirmed(const AutoLoop::TagOutcome &tag, const QString &uid);
    void endManualTag(const QString &uidRead, AutoLoop::TagOutcome::Result result,
                      const QString &detail);
    void checkProblem(bool atStart = false);
    void showSummary();
    bool hexBase() const;
    // The station part of a batch: this host, this installation and the port in use.
    ProductionRecord::Batch station() const;
    ProductionRecord::Batch describeBatch() const;

    ProductionLoop &m_loop;
    std::function<QString()> m_portDevice;
    Dialogs &m_dialogs;
    std::unique_ptr<RecordWriter> m_writer;
    ListLoader *m_lists;
    // The loop was asked to start while its list loaded: it starts when the list is ready.
    bool m_startWhenLoaded = false;
    QString m_problem;
    QString m_detail;
    int m_spooled = 0;
    // Statements the record refused for good: they wait for no one, a person reads them.
    int m_refused = 0;
    QString m_refusal;
    bool m_reported = false;
    // The record took longer than kAnswerMs: off until it answers.
    QString m_late;
    QString m_summary;
    QString m_warning;
    std::optional<QString> m_batch;
    QString m_operator;
    ProductionRecord::Batch m_batchDescription;
    bool m_batchBegun = false;
    bool m_withoutRecord = false;
    bool m_withoutRecordNext = false;
    // Reservations of this batch: answered, asked and not answered, and given to the loop.
    QHash<quint64, ProductionRecord::Reservation> m_lease;
    QSet<quint64> m_asked;
    QStringList m_reservedTexts;
    QSet<quint64> m_handedOut;
    QSet<quint64> m_arming;
    // Answers for tag IDs the loop asked about, and the ones asked.
    QHash<quint64, std::optional<ProductionRecord::PriorTag>> m_found;
    QSet<quint64> m_looking;
    QTimer *m_wait;
    bool m_waiting = false;
    std::optional<QString> m_manualBatch;
    std::optional<QString> m_manualRow;
    AutoLoop::TagOutcome m_manualTag;
    QHash<int, QString> m_rows;
    QString m_refusalTitle;
    bool m_offerWithoutRecord = false;
    struct Counts {
        int complete = 0;
        int failed = 0;
        int stalled = 0;
    };
    Counts m_counts;
    LineFigures m_line;
    // Captured lines of the running batch not yet in the record; a batch idle for hours
    // sends them on at this size.
    QByteArray m_traffic;
    static constexpr qsizetype kTrafficChunk = 256 * 1024;
    QString m_lastTag;
    // Tag IDs confirmed since the tool started, and where.
    QHash<quint64, QString> m_confirmed;
    std::shared_ptr<const UidList> m_list;
    // The list's positions free when the batch began, in order; nothing until the record says.
    std::optional<QList<int>> m_listFree;
    bool m_listAsked = false;
    bool m_warned = false;
    bool m_closed = false;
};
