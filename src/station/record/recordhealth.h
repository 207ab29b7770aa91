#pragma once

#include <QObject>
#include <QString>

class Dialogs;

// Whether the production record works, in the words the front ends show: off (and why), late,
// what waits in the spool, what the record refused for good, and the warning the status bar
// carries. A box tells of an outage found when the tool starts; later ones the status bar.
class RecordHealth : public QObject {
    Q_OBJECT
public:
    explicit RecordHealth(Dialogs &dialogs, QObject *parent = nullptr);

    // Why recording is off; empty while it works.
    QString problem() const { return m_problem.isEmpty() ? m_late : m_problem; }
    int spooled() const { return m_spooled; }
    // The record's thread has said once whether the record works.
    bool known() const { return m_reported; }
    QString warning() const { return m_warning; }
    QString warningDetail() const;

    // What the record's thread reported after a step; true the first time.
    bool take(const QString &problem, const QString &detail, int spooled, int refused,
              const QString &refusal);
    // The record did not answer in time: off until it answers.
    void late(const QString &why) { m_late = why; }
    void answered() { m_late.clear(); }
    // The warning anew; withoutRecord: the operator chose to run without the record.
    void check(bool withoutRecord, bool atStart = false);
    // The operator has been told already: no box at the next check.
    void told() { m_warned = true; }

signals:
    void warningChanged();

private:
    Dialogs &m_dialogs;
    QString m_problem;
    QString m_detail;
    int m_spooled = 0;
    // Statements the record refused for good: they wait for no one, a person reads them.
    int m_refused = 0;
    QString m_refusal;
    bool m_reported = false;
    QString m_late;
    QString m_warning;
    bool m_warned = false;
};
