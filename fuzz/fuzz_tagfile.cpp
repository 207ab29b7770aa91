// Tag files from another PC: one that is taken is written again and reads back the same, and
// its restore plan writes block 0 last; one that is refused says why.

#include "core/tagfile.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir folder;
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const TagFile::Loaded t = TagFile::parse(text, QStringLiteral("tag.json"));
    if (!t.problem.isEmpty())
        return 0;
    const TagFile::Plan plan = TagFile::plan(t.contents, QStringLiteral("tag.json"));
    if (plan.problem.isEmpty() && !plan.writes.isEmpty()
        && (t.contents.blocks[0].has_value() != (plan.writes.last().block == 0)))
        __builtin_trap();
    const QString file = folder.filePath(QStringLiteral("again.json"));
    QString error;
    if (!TagFile::save(file, t.contents, &error))
        return 0;
    const TagFile::Loaded again = TagFile::load(file);
    if (!again.problem.isEmpty() || again.contents.blocks != t.contents.blocks
        || again.contents.passwordUsed != t.contents.passwordUsed)
        __builtin_trap();
    return 0;
}
