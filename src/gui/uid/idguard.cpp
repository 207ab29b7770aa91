#include "idguard.h"

#include "station/record/recorder.h"
#include "station/record/recordthread.h"
#include "station/record/uidcustody.h"

#include <QCheckBox>
#include <QPointer>
#include <QTimer>

namespace {

QString recordOff(const QString &problem)
{
    return QStringLiteral("Production record is off: %1. Nothing was written; the record is "
                          "tried again on its own.")
        .arg(problem);
}

} // namespace

IdGuard::IdGuard(Recorder &record, QCheckBox &rewrite, QObject *parent)
    : QObject(parent)
    , m_record(record)
    , m_rewrite(rewrite)
{
}

IdGuard::Pending IdGuard::ask(Refused refused)
{
    Pending pending = std::make_shared<bool>(false);
    QTimer::singleShot(RecordThread::kCloseMs, this, [pending, refused] {
        if (settle(pending))
            refused(recordOff(QStringLiteral("it did not answer within %1 s")
                                  .arg(RecordThread::kCloseMs / 1000)));
    });
    return pending;
}

bool IdGuard::rewriting(const QString &held, QString &note, const Refused &refused) const
{
    if (!m_rewrite.isChecked()) {
        refused(held
                + QStringLiteral(". Nothing was written; tick \"Rewrite recorded tags\" to "
                                 "go on anyway."));
        return false;
    }
    note += (note.isEmpty() ? QString() : QStringLiteral("; "))
            + QStringLiteral("written with Rewrite recorded tags: ") + held;
    return true;
}

void IdGuard::whereWritten(const QString &uid, std::function<void(const QString &)> answer,
                           Refused refused)
{
    const Pending pending = ask(refused);
    m_record.findWritten(uid, [self = QPointer<IdGuard>(this), pending, answer,
                               refused](const Recorder::Holding &h) {
        if (!self || !settle(pending))
            return;
        if (!h.problem.isEmpty())
            refused(recordOff(h.problem));
        else
            answer(h.where ? UidCustody::whereWritten(*h.where) : QString());
    });
}

void IdGuard::check(const QString &before, const QString &after, bool hex,
                    std::function<void(const QString &)> go, Refused refused)
{
    if (before.isEmpty()) {
        checkAfter(after, hex, {}, std::move(go), std::move(refused));
        return;
    }
    whereWritten(
        before,
        [this, before, after, hex, go, refused](const QString &where) {
            QString note;
            if (!where.isEmpty()
                && !rewriting(
                    QStringLiteral("UID %1 was written to this tag %2").arg(before, where), note,
                    refused))
                return;
            checkAfter(after, hex, note, go, refused);
        },
        refused);
}

void IdGuard::checkAfter(const QString &after, bool hex, const QString &note,
                         std::function<void(const QString &)> go, Refused refused)
{
    if (after.isEmpty()) {
        go(note);
        return;
    }
    const Pending pending = ask(refused);
    m_record.checkManualUid(after, hex,
                            [self = QPointer<IdGuard>(this), pending, note, go,
                             refused](const Recorder::ManualCheck &c) {
                                if (!self || !settle(pending))
                                    return;
                                QString said = note;
                                if (!c.problem.isEmpty())
                                    refused(recordOff(c.problem));
                                else if (c.held.isEmpty() || self->rewriting(c.held, said, refused))
                                    go(said);
                            });
}
