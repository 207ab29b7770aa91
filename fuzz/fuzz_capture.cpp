// Traffic captures sent in by a site, as the box's replay reads them: one that is refused
// names why; one that is taken has a command for every step after the first.

#include "box/boxreplay.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray capture(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    QString note;
    const auto steps = BoxReplay::parse(capture, &error, &note);
    if (!steps) {
        if (error.isEmpty())
            __builtin_trap();
        return 0;
    }
    for (qsizetype i = 1; i < steps->size(); ++i) {
        if (steps->at(i).command.isEmpty())
            __builtin_trap();
    }
    return 0;
}
