// Job files as a colleague sends them: a job that opens is written back and opens as the same
// run; one that does not says which member is wrong.

#include "core/job.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A folder with a list beside the job, so "uid.list" finds a file to read.
    static QTemporaryDir folder;
    static const bool listed = [] {
        QFile ids(folder.filePath(QStringLiteral("ids.csv")));
        return ids.open(QIODevice::WriteOnly) && ids.write("0000001000\n0000001001\n") > 0;
    }();
    (void)listed;
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const std::optional<Job> job = Job::parse(json, &error, folder.path());
    if (!job) {
        if (error.isEmpty())
            __builtin_trap();
        return 0;
    }
    QString again;
    const std::optional<Job> reread = Job::parse(job->toJson(folder.path()), &again, folder.path());
    if (!reread || reread->toJson(folder.path()) != job->toJson(folder.path()))
        __builtin_trap();
    return 0;
}
