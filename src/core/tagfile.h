#pragma once

#include <QList>
#include <QString>
#include <array>
#include <optional>

// A tag saved to a file and the plan to write it back onto another: what the inspection bar
// and the command line's save and restore share.
namespace TagFile {

inline constexpr int kVersion = 1;

struct Contents {
    // Blocks not read are left out.
    std::array<std::optional<QString>, 8> blocks;
    // The UID the box reported for the tag; empty when none was.
    QString uid;
    // The blocks were read with the password.
    bool passwordUsed = false;
};

struct Loaded {
    Contents contents;
    // What is wrong with the file; empty when it is a tag file.
    QString problem;
};
Loaded load(const QString &path);
// What a file named path holds, from its text.
Loaded parse(const QByteArray &text, const QString &path);
// Written whole or not at all.
bool save(const QString &path, const Contents &contents, QString *error);

struct Write {
    int block;
    QString value;
};
struct Plan {
    // Blocks 1-7, then block 0, so the configuration never changes before the data is on.
    QList<Write> writes;
    // What the file's block 0 turns on ("PWD", "AOR", "PWD and AOR"); empty when nothing.
    QString protects;
    // Why the file cannot be written back; nothing may be written then.
    QString problem;
};
Plan plan(const Contents &contents, const QString &path);
// One block where the tag in the field is not as the file holds it.
struct Difference {
    int block = 0;
    // As the file and the tag hold it: "(password)" for block 7, "not read" when the tag
    // gave nothing.
    QString file;
    QString tag;
};
// The blocks the file holds, compared with what was read of the tag; block 7 only when the
// file holds it and the password was given (`withPassword`).
QList<Difference> compare(const Contents &file, const std::array<std::optional<QString>, 8> &tag,
                          bool withPassword);
// The blocks compare() looks at, in order.
QList<int> compared(const Contents &file, bool withPassword);

// The reply confirms the write: the value read back, or what a protected configuration reads
// back as.
bool confirms(const QString &head, const Write &write);

} // namespace TagFile
