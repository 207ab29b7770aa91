#pragma once

#include "core/reply.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// Finding the password of a tag that arrives protected: candidates tried one by one with a
// password read of block 7, the well-known defaults first, then an operator's list. A
// candidate is a secret like any password: it is shown only as where it came from.
namespace PasswordList {

struct Candidate {
    QString password;
    // "built-in entry 3 (handheld duplicator default)" or "line 12 of FILE".
    QString source;
};

// The factory and duplicator defaults, tried before any list.
const QList<Candidate> &builtIn();

// At most this many candidates in a list file, and this many bytes.
inline constexpr int kMaxEntries = 1000000;
inline constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

struct Loaded {
    QList<Candidate> candidates;
    // "line 4: not eight hexadecimal digits", one per line skipped.
    QStringList skipped;
    // Why the file cannot be used at all; empty when it can.
    QString problem;
};
// Eight hexadecimal digits a line; "#" starts a comment; blank lines are passed over. A
// candidate already listed (built-in or earlier) is not tried twice.
Loaded load(const QString &path);
Loaded parse(const QByteArray &text, const QString &name);

// The built-in entries, then the file's, without repeats.
QList<Candidate> together(const QList<Candidate> &file);

// The list a production run unlocks incoming tags with: the built-in entries, then the file's.
struct List {
    QString file;
    QList<Candidate> candidates;
};
// Nothing when the file cannot be used (why in *error); lines skipped are in *skipped.
std::optional<List> loadList(const QString &path, QString *error, QStringList *skipped = nullptr);
// For a box: "returns.txt: line 3: ...; line 9: ... skipped." naming at most five lines.
QString skippedSummary(const QString &name, const QStringList &skipped);

// One search over a list: the next command to send, and what each answer means.
class Search {
public:
    explicit Search(QList<Candidate> candidates);

    enum class State { Trying, Found, NotFound, NoTag, Unexpected };
    State state() const { return m_state; }
    int tried() const { return m_next; }
    int total() const { return int(m_candidates.size()); }
    // The entry that opened the tag, once found.
    std::optional<Candidate> found() const;
    // "RP7" and the next candidate; nothing once the search is over.
    std::optional<QString> nextCommand() const;
    // The answer to the last command (nothing when none came).
    void answered(const std::optional<Reply::Parsed> &reply);
    // Why the search ended, in words; empty while it goes on.
    QString outcome() const;

private:
    QList<Candidate> m_candidates;
    int m_next = 0;
    State m_state = State::Trying;
    QString m_unexpected;
};

} // namespace PasswordList
