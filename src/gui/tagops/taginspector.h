#pragma once

#include "core/autoloop.h"
#include "core/passwordlist.h"
#include "core/reply.h"
#include "core/sessionstate.h"
#include "core/tagfile.h"

#include <QList>
#include <QObject>
#include <QString>
#include <array>
#include <optional>

namespace AutoLoop {
class Engine;
}
class BlockOperations;
class BlockPanel;
class Dialogs;
class IdGuard;
class InspectionBar;
class ReaderLink;
class Recorder;
class StatusLine;

// Reading a whole tag, saving it to a file and writing it back onto another, with the
// password handled so that a restore never locks a tag by surprise; and what the
// configuration word and the ID frame in the block fields mean.
class TagInspector : public QObject {
    Q_OBJECT
public:
    struct Parts {
        InspectionBar &bar;
        BlockPanel &blocks;
        BlockOperations &operations;
        ReaderLink &link;
        StatusLine &status;
        Dialogs &dialogs;
        const AutoLoop::Engine &loop;
        Recorder &record;
        IdGuard &guard;
    };

    TagInspector(Parts parts, QObject *parent = nullptr);

    void readAll();
    bool saveTo(const QString &file, QString *error);
    // Checks the file, asks before a protected configuration, then writes block by block.
    void restoreFrom(const QString &file);
    // Reads the blocks the file holds (block 7 only while PWD is checked) and names those
    // that differ.
    void compareWith(const QString &file);
    // Tries the built-in passwords, then the list's (none: the built-in ones only), on the
    // tag in the field; the one that opens it goes into the block-7 field, PWD ticked.
    void findPassword(const QString &list);
    void cancelFindPassword();
    // Reads blocks 1-2 and asks (naming a UID the record holds as written to the tag), then
    // writes blocks 1-7 zero and block 0 blank, each confirmed. A tag that carried a UID is
    // kept in the record, so the record knows the UID left it.
    void wipe();
    // A write of block 1 or 2 from the block panel: blocks 1-2 are read first, and a change
    // of the ID they make goes only as the record allows (IdGuard), kept in the record.
    void guardIdWrite(int block);
    bool busy() const { return m_job != Job::None; }

    void onReply(const QString &head, const Reply::Parsed &reply);
    void onReplyTimedOut();

private:
    enum class Job {
        None,
        ReadAll,
        Restore,
        Compare,
        FindPassword,
        WipeRead,
        Wipe,
        // A restore or a block write that touches blocks 1-2: reading them, then writing one
        // block.
        GuardRead,
        BlockWrite,
        // Waiting for the record's answer.
        AskRecord
    };
    using Write = TagFile::Write;

    bool refuseWhileBusy(const QString &title);
    // The tag file, unless the inspector is busy or the file is no tag file (said why).
    std::optional<TagFile::Loaded> loadFor(const QString &title, const QString &file);
    void readNext();
    void finishReadAll();
    // On the message label, which clears, and on the inspection bar, which keeps it.
    void showResult(const QString &text, quint32 colour);
    void writeNext();
    // Writes the plan block by block, each confirmed (a restore or a wipe).
    void startWriting(const QList<Write> &plan, Job job);
    // Ends a restore or a wipe at the write that was not confirmed.
    void stopWriting(const QString &why, bool answered);
    void updateInfo();

    Parts m_p;
    Job m_job = Job::None;
    int m_next = 0;
    QList<int> m_failed;
    std::array<bool, 8> m_read{};
    QList<Write> m_plan;
    int m_written = 0;
    QString m_password;
    bool m_protectedTag = false;
    // Compare: the file, the blocks it holds and what the tag gave.
    TagFile::Contents m_golden;
    QString m_goldenName;
    QList<int> m_compareBlocks;
    std::array<std::optional<QString>, 8> m_tagValues;
    void compareNext();
    void finishCompare();
    // Find Password: first whether the tag needs one at all ("RB7"), then the search.
    std::optional<PasswordList::Search> m_search;
    bool m_probing = false;
    void searchAnswered(const std::optional<Reply::Parsed> &reply);
    void finishSearch(const QString &text, quint32 colour);
    // Wipe: the UID blocks 1-2 carry (none: empty).
    QString m_wipeUid;
    void wipeRead();
    void askWipe(const QString &held);
    // Writes that touch blocks 1-2: what they write, and the IDs before and after.
    struct Guarded {
        QList<Write> plan;
        bool restore = false;
        QString title;
        QString before;
        QString after;
    };
    Guarded m_guarded;
    void startGuard(const QList<Write> &plan, bool restore, const QString &title);
    void guardRead();
    void writeGuarded(const QString &note);
    // The job's writes go into the record (beginManualJob was called).
    bool m_recording = false;
    void endRecording(AutoLoop::TagOutcome::Result result, const QString &why);
    // Ends the job, said on the bar and in a box.
    void refuse(const QString &title, const QString &result, const QString &why);
};
