#pragma once

#include "core/autoloop.h"
#include "linefigures.h"
#include "productionrecord.h"
#include "recordhealth.h"
#include "uidcustody.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <functional>
#include <memory>

class ProductionLoop;
class Dialogs;
class ListLoader;
class TrafficCapture;
class RecordThread;
class QTimer;

// Keeps the production record in step with the loop: a batch per run, a row per tag, the
// traffic and the manual UID writes. Which UIDs may be written is the custody's
// (uidcustody.h); whether the record works, and what the operator is told of it, the health's
// (recordhealth.h). Nothing here waits on the database: the record's thread answers, and the
// loop waits for the answer.
class Recorder : public QObject {
    Q_OBJECT
public:
    // How long the loop waits for the record before it stops.
    static constexpr int kAnswerMs = 1000;

    Recorder(ProductionLoop &loop, std::function<QString()> portDevice, Dialogs &dialogs,
             QObject *parent = nullptr);
    ~Recorder() override;

    // Why recording is off; empty while it works.
    QString problem() const { return m_health->problem(); }
    // Statements waiting on this PC.
    int spooled() const { return m_health->spooled(); }
    // The record's thread has said once whether the record works.
    bool known() const { return m_health->known(); }
    // The running batch's key; empty between batches.
    QString batchKey() const { return m_run.key.value_or(QString()); }
    // The operator chose to go on while the record is off.
    bool runningWithoutRecord() const { return m_withoutRecord; }
    // "Batch: 3 complete / 0 failed / 0 stalled — ..."
    QString summary() const { return m_summary; }
    // The running batch's (or the last one's) rate, yield and failures.
    const LineFigures &line() const { return m_run.line; }
    // What the operator is told while the record is off, and the driver's words for it; empty
    // while it works.
    QString warning() const { return m_health->warning(); }
    QString warningDetail() const { return m_health->warningDetail(); }

    // Ends the batches and waits (at most RecordThread::kCloseMs) for the record; what it
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

    // A UID about to be written by hand, answered on this thread: reserved for the manual batch
    // and marked as about to be written (held and problem empty), or where the record holds it
    // ("UID ... was already written to a tag on ..."), or why the record cannot tell.
    struct ManualCheck {
        QString held;
        QString problem;
    };
    void checkManualUid(const QString &uid, bool hex,
                        std::function<void(const ManualCheck &)> answer);
    // A UID written by hand (`note`: why it went although held), and the reply that answered
    // it.
    void onManualUidWrite(const QString &uid, bool hex, const QString &note);
    void onReply(const QString &head, const Reply::Parsed &reply);
    void onReplyTimedOut();

    // A tag about to lose the UID it carries (a wipe). Answered on this thread: where the
    // record holds the UID as written (nowhere: not written), or why the record cannot tell.
    struct Holding {
        std::optional<ProductionRecord::PriorTag> where;
        QString problem;
    };
    void findWritten(const QString &uid, std::function<void(const Holding &)> answer);
    // A job done by hand that takes a UID off the tag or puts one on (a wipe, a restore, a
    // write of block 1 or 2): one tag row, in a batch of its own named `what` ("wipe"), or
    // with no name in the batch of the UIDs written by hand. The tag says which UID it asks
    // for and which it replaces.
    void beginManualJob(const QString &what, const AutoLoop::TagOutcome &tag);
    void manualJobWrote(const AutoLoop::Write &w);
    // A complete job confirms the UID it asked for.
    void endManualJob(AutoLoop::TagOutcome::Result result, const QString &why);

signals:
    void summaryChanged(const QString &summary);
    void lineChanged();
    void warningChanged();

private:
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
    // The loop waits for the record: told when an answer is in, or when none came in time.
    void waitForRecord();
    void answered();
    // An answer came from the record's thread: it answers again.
    void recordAnswers();
    // The batch of the UIDs written by hand, begun with the first.
    QString manualBatch(bool hex);
    void endManualTag(const QString &uidRead, AutoLoop::TagOutcome::Result result,
                      const QString &detail);
    void checkProblem(bool atStart = false);
    void showSummary();
    // The station part of a batch: this host, this installation and the port in use.
    ProductionRecord::Batch station() const;
    ProductionRecord::Batch describeBatch() const;

    ProductionLoop &m_loop;
    std::function<QString()> m_portDevice;
    Dialogs &m_dialogs;
    std::unique_ptr<RecordThread> m_writer;
    ListLoader *m_lists;
    // The loop was asked to start while its list loaded: it starts when the list is ready.
    bool m_startWhenLoaded = false;
    QString m_summary;
    QString m_operator;
    bool m_withoutRecord = false;
    bool m_withoutRecordNext = false;
    QTimer *m_wait;
    RecordHealth *m_health;
    bool m_waiting = false;
    std::optional<QString> m_manualBatch;
    std::optional<QString> m_manualRow;
    AutoLoop::TagOutcome m_manualTag;
    struct ManualJob {
        QString batch;
        bool ownBatch = false;
        QString row;
        AutoLoop::TagOutcome tag;
    };
    std::optional<ManualJob> m_job;
    // What one run of the loop records; a new batch starts from nothing.
    struct Run {
        std::optional<QString> key;
        ProductionRecord::Batch description;
        bool begun = false;
        // The row of each tag started and not ended, by the loop's serial.
        QHash<int, QString> rows;
        int complete = 0;
        int failed = 0;
        int stalled = 0;
        LineFigures line;
        // Captured lines not yet in the record; a batch idle for hours sends them on at
        // kTrafficChunk.
        QByteArray traffic;
        QString lastTag;
    };
    Run m_run;
    static constexpr qsizetype kTrafficChunk = 256 * 1024;
    std::unique_ptr<UidCustody> m_custody;
    bool m_closed = false;
};
