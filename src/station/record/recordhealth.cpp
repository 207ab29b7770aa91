#include "recordhealth.h"

#include "recordspool.h"
#include "station/dialogs.h"

#include <QDir>

RecordHealth::RecordHealth(Dialogs &dialogs, QObject *parent)
    : QObject(parent)
    , m_dialogs(dialogs)
{
}

QString RecordHealth::warningDetail() const
{
    if (m_warning.isEmpty())
        return {};
    return problem().isEmpty() ? m_refusal : m_detail;
}

bool RecordHealth::take(const QString &problem, const QString &detail, int spooled, int refused,
                        const QString &refusal)
{
    const bool first = !m_reported;
    m_reported = true;
    m_problem = problem;
    m_detail = detail;
    m_spooled = spooled;
    m_refused = refused;
    m_refusal = refusal;
    if (problem.isEmpty())
        m_late.clear();
    return first;
}

void RecordHealth::check(bool withoutRecord, bool atStart)
{
    if (problem().isEmpty()) {
        // A record that answers again: the warning goes, and a later outage is told anew.
        m_warned = false;
        // What the record refused does not stop the line, but it is not in the record.
        const QString refused
            = m_refused == 0
                  ? QString()
                  : QStringLiteral("%1 record %2 refused by the production record and kept on "
                                   "this PC (table \"refused\" of %3): %4")
                        .arg(m_refused)
                        .arg(m_refused == 1 ? QStringLiteral("entry was")
                                            : QStringLiteral("entries were"),
                             QDir::toNativeSeparators(RecordSpool::path()),
                             m_refusal.section(u'\n', 0, 0).trimmed());
        if (m_warning != refused) {
            m_warning = refused;
            emit warningChanged();
        }
        return;
    }
    const QString text = withoutRecord
                             ? QStringLiteral("Production record is off: %1. Running without a "
                                              "record: UIDs are not checked; outcomes wait on "
                                              "this PC.")
                                   .arg(problem())
                             : QStringLiteral("Production record is off: %1. No UID is written "
                                              "until it answers again; outcomes wait on this PC.")
                                   .arg(problem());
    m_warning = text;
    emit warningChanged();
    // Told by a box when the tool starts, or when the loop then needs a UID; otherwise the
    // status bar says it.
    if (m_warned || !atStart)
        return;
    m_warned = true;
    m_dialogs.warning(QStringLiteral("Production record"), text);
}
