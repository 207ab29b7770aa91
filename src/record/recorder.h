#pragma once

#include "core/autoloop.h"
#include "productionrecord.h"

#include <QHash>
#include <QObject>
#include <functional>
#include <memory>

class AutoWriter;
class Dialogs;
class QLabel;
class RecordWriter;
class QStatusBar;
class QTimer;
class QToolButton;

// Keeps the production record in step with the loop: a batch per run, a row per tag, the
// duplicate guard before each stepped UID, and what the status bar says about it.
class Recorder : public QObject {
    Q_OBJECT
public:
    Recorder(AutoWriter &autoWriter, std::function<QString()> portDevice, Dialogs &dialogs,
             QStatusBar *statusBar, QObject *parent = nullptr);
    ~Recorder() override;

    // The window's own connection: reservations, the Records window, reading.
    ProductionRecord &record() const { return *m_record; }
    // Why recording is off, on either connection; empty while it works.
    QString problem() const;
    QLabel *summaryLabel() const { return m_summary; }
    QLabel *warningLabel() const { return m_warning; }

    // A UID written by hand, and the reply that answered it.
    void onManualUidWrite(const QString &uid, bool hex);
    void onReplyInterpreted(const QString &head);
    void onReplyTimedOut();

    // What the loop is told of a UID the record answered for; nothing when it could not answer.
    static std::optional<AutoLoop::Engine::UidVerdict>
    verdictOf(const ProductionRecord::Reservation &r, const QString &uid, QString *title = nullptr);
    // "on <time> in batch 4 (station A, port /dev/ttyUSB0)"
    static QString whereWritten(const ProductionRecord::PriorTag &p);

signals:
    void recordsRequested();

private:
    void onSwitched(bool on);
    void beginBatchOnce();
    void onTagStarted(const AutoLoop::TagOutcome &tag);
    void onTagEnded(const AutoLoop::TagOutcome &tag);
    void onUidRefused(const QString &why);
    AutoLoop::Engine::UidVerdict guard(const QString &uid);
    std::optional<QString> recordedAt(const QString &uid, bool hex);
    void noteConfirmed(const AutoLoop::TagOutcome &tag, const QString &uid);
    void retry();
    void endManualTag(const QString &uidRead, AutoLoop::TagOutcome::Result result,
                      const QString &detail);
    void checkProblem(bool atStart = false);
    void showSummary();
    // The station part of a batch: this host and the port in use.
    ProductionRecord::Batch station() const;
    ProductionRecord::Batch describeBatch() const;

    AutoWriter &m_autoWriter;
    std::function<QString()> m_portDevice;
    Dialogs &m_dialogs;
    std::unique_ptr<ProductionRecord> m_record;
    std::unique_ptr<RecordWriter> m_writer;
    QString m_writerProblem;
    int m_writerSpooled = 0;
    QLabel *m_summary;
    QLabel *m_warning;
    QToolButton *m_recordsButton;
    std::optional<QString> m_batch;
    ProductionRecord::Batch m_batchDescription;
    bool m_batchBegun = false;
    std::optional<QString> m_manualBatch;
    std::optional<QString> m_manualRow;
    AutoLoop::TagOutcome m_manualTag;
    QHash<int, QString> m_rows;
    QString m_refusalTitle;
    // Brings a shared record back once its server answers again.
    QTimer *m_retry;
    struct Counts {
        int complete = 0;
        int failed = 0;
        int stalled = 0;
    };
    Counts m_counts;
    QString m_lastTag;
    // Tag IDs confirmed since the tool started, and where.
    QHash<quint64, QString> m_confirmed;
    bool m_warned = false;
};
