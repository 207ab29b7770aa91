// Traffic captures sent in by a site, as the box's replay reads them: one that is refused
// names why, and a reply is never played before its command.

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
    // A reply is played after its command, never before.
    for (const BoxReplay::Step &step : *steps) {
        for (const BoxReplay::Reply &r : step.replies) {
            if (r.afterUs < 0)
                __builtin_trap();
        }
    }
    return 0;
}
