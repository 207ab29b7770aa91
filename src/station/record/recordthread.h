#pragma once

#include "productionrecord.h"

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QWaitCondition>
#include <deque>
#include <functional>
#include <memory>

// The production record's own thread: every write, reservation and lookup runs there, in the
// order asked, so a slow server or a held file lock never holds up the window while the box's
// replies arrive (replies that wait unread run together and a tag's report is lost). While
// the record is off it tries again on its own.
class RecordThread : public QObject {
    Q_OBJECT
public:
    using Step = std::function<void(ProductionRecord &)>;
    // How long closing waits for the record before it spools what is left.
    static constexpr int kCloseMs = 5000;
    static constexpr int kRetryMs = 3000;
    static constexpr int kReaderCloseMs = 1000;

    // Reading: for a window that shows the record. It marks no tag interrupted, does not retry
    // on its own, and closing does not wait for it.
    enum class Role { Writing, Reading };

    explicit RecordThread(const QString &location, QObject *parent = nullptr,
                          Role role = Role::Writing);
    ~RecordThread() override;

    // Runs the step with the writer's own record, after every step posted before it.
    void post(Step step);
    // Runs the question on the record's thread; the answer runs on this object's thread.
    template <class T>
    void ask(std::function<T(ProductionRecord &)> question, std::function<void(T)> answer)
    {
        post([core = m_core, question = std::move(question),
              answer = std::move(answer)](ProductionRecord &r) {
            T result = question(r);
            core->toOwner([answer, result = std::move(result)] { answer(result); });
        });
    }

    // What closing left behind.
    struct Left {
        // Waiting on this PC, sent when the record answers again.
        int spooled = 0;
        // Could not be kept (the spool could not be written either).
        int lost = 0;
        // The record did not finish within kCloseMs.
        bool stuck = false;
    };
    // Waits at most kCloseMs for what was asked; afterwards nothing runs. A reader's close
    // answers nothing more and waits at most kReaderCloseMs for its thread to end.
    Left close();

signals:
    // After a step: why recording is off (empty while it works), how much waits in the spool,
    // and how many statements the record refused for good (the driver's words for the last).
    void stateChanged(const QString &problem, const QString &detail, int spooled, int refused,
                      const QString &refusal);

private:
    // What the record's thread uses: it outlives this object when a frozen server keeps the
    // thread in the driver past closing.
    struct Core {
        QMutex mutex;
        QWaitCondition wake;
        std::deque<Step> queue;
        // The step running now: spooled again if the record never comes back from it.
        Step current;
        bool closing = false;
        // Where answers and reports go; cleared when the owner goes.
        RecordThread *owner = nullptr;
        Left left;
        QString lastProblem;
        int lastSpooled = -1;
        int lastRefused = 0;
        void toOwner(std::function<void()> f);
        void work(const QString &location, Role role);
        void report(const ProductionRecord &record);
    };

    std::shared_ptr<Core> m_core;
    QThread *m_thread = nullptr;
    QString m_location;
    Role m_role;
    bool m_closed = false;
};
