#pragma once

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
    bool busy() const { return m_job != Job::None; }

    void onReply(const QString &head, const Reply::Parsed &reply);
    void onReplyTimedOut();

private:
    enum class Job { None, ReadAll, Restore, Compare, FindPassword, WipeRead, WipeAsk, Wipe };
    using Write = TagFile::Write;

    bool refuseWhileBusy(const QString &title);
    // The tag file, unless the inspector is busy or the file is no tag file (said why).
    std::optional<TagFile::Loaded> loadFor(const QString &title, const QString &file);
    void readNext();
    void finishReadAll();
    // On the message label, which clears, and on the inspection bar, which keeps it.
    void showResult(const QString &text, quint32 colour);
    void writeNext();
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
    // Wipe: the UID blocks 1-2 carry (none: empty), and which question to the record is
    // still awaited.
    QString m_wipeUid;
    int m_recordAsked = 0;
    void wipeRead();
    void askWipe(const QString &held);
};
