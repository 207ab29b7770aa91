// Feeds arbitrary command lines to the virtual box's protocol engine, with tags of every
// kind entering and leaving the field between them.

#include "box/boxengine.h"

#include <QByteArray>
#include <QList>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    BoxEngine box;
    const QList<T5557::Tag> tags
        = {T5557::blankTag(), T5557::configuredTag(), T5557::tagWithId(0x1122334455),
           T5557::protectedTag(0x12345678, 0xFFFFFFFFFF, false),
           T5557::protectedTag(0x12345678, 7, true)};
    box.present(tags[data[0] % tags.size()]);
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    for (const QByteArray &line : input.split('\n')) {
        // A line starting with a control byte swaps the tag instead of sending a command.
        if (!line.isEmpty() && uint8_t(line[0]) < 8) {
            if (line[0] & 1)
                box.remove();
            else
                box.present(tags[uint8_t(line[0]) % tags.size()]);
            continue;
        }
        const auto reply = box.command(line.trimmed());
        if (reply && reply->text.size() != 10)
            __builtin_trap();
    }
    return 0;
}
