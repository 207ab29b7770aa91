// A customer's UID list, in either base and any column: a list that is taken holds ten-digit
// IDs, each once, each where the list says; one that is refused says why.

#include "core/uid.h"
#include "core/uidlist.h"

#include <QByteArray>
#include <QSet>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the base and the column (1 to 4).
    const bool hex = data[0] & 1;
    const int column = 1 + (data[0] >> 1) % 4;
    const QByteArray text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    QString error;
    const std::optional<UidList> list = UidList::parse(text, column, hex, &error);
    if (!list) {
        if (error.isEmpty())
            __builtin_trap();
        return 0;
    }
    QSet<quint64> seen;
    for (int i = 0; i < list->count(); ++i) {
        const UidList::Id &id = list->ids()[i];
        if (id.text.size() != Uid::kLength || Uid::tagId(id.text, hex) != id.tagId
            || list->positionOf(id.tagId) != i || seen.contains(id.tagId))
            __builtin_trap();
        seen.insert(id.tagId);
        const std::optional<QString> next = list->after(id.text);
        if (i + 1 < list->count() ? next != list->ids()[i + 1].text : next.has_value())
            __builtin_trap();
    }
    return 0;
}
