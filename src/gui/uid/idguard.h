#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <utility>

class QCheckBox;
class Recorder;

// Writes by hand that change the ID in blocks 1-2 are held to the record as the loop's are:
// the UID the tag loses must not be one the record holds as written, and the UID it gets is
// reserved before it leaves; either goes anyway only with "Rewrite recorded tags". The record
// answers on its own thread; an answer later than RecordThread::kCloseMs counts as none.
class IdGuard : public QObject {
    Q_OBJECT
public:
    IdGuard(Recorder &record, QCheckBox &rewrite, QObject *parent = nullptr);

    using Refused = std::function<void(const QString &why)>;
    // The UIDs before and after (empty: no ID), in the base `hex` says. go(note) once the
    // record agrees, `note` naming what the operator chose to go on past; refused(why) when it
    // does not, or cannot tell.
    void check(const QString &before, const QString &after, bool hex,
               std::function<void(const QString &)> go, Refused refused);
    // Where the record holds the UID as written (empty: nowhere); refused(why) when the record
    // cannot tell.
    void whereWritten(const QString &uid, std::function<void(const QString &)> answer,
                      Refused refused);

private:
    void checkAfter(const QString &after, bool hex, const QString &note,
                    std::function<void(const QString &)> go, Refused refused);
    // A question out: its answer counts once, and only within the time; each question has
    // its own, so the window's UID Setting frame and the tag inspector may ask at once.
    using Pending = std::shared_ptr<bool>;
    Pending ask(Refused refused);
    static bool settle(const Pending &pending) { return !std::exchange(*pending, true); }
    // The operator's choice for a UID the record holds: false (and refused) without it.
    bool rewriting(const QString &held, QString &note, const Refused &refused) const;

    Recorder &m_record;
    QCheckBox &m_rewrite;
};
