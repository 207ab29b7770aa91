#include "commands.h"

#include "station/record/productionrecord.h"
#include "station/record/recordaddress.h"
#include "support.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>
#include <optional>

namespace Cli {

int exportCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption batch(QStringLiteral("batch"), QStringLiteral("Only batch N."),
                                   QStringLiteral("N"));
    parser.addOptions({c.record, batch});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The CSV file."));
    QString error;
    if (const std::optional<int> code
        = parse(parser, arguments,
                QStringLiteral("kestrel-rfid export-records: the record's tags as CSV.")))
        return *code;
    if (parser.positionalArguments().size() != 1)
        return usage(QStringLiteral("export-records needs one FILE"));
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    ProductionRecord::Filter filter;
    if (parser.isSet(batch)) {
        bool ok = false;
        filter.batch = parser.value(batch).toLongLong(&ok);
        if (!ok)
            return usage(QStringLiteral("--batch needs a batch number"));
    }
    const QString location = ProductionRecord::configuredPath();
    const QString target = parser.positionalArguments().at(0);
    if (const QString refusal = ProductionRecord::exportRefusal(target, location);
        !refusal.isEmpty())
        return usage(refusal);
    if (!ProductionRecord::isServer(location) && !QFileInfo::exists(location)) {
        say(stderr,
            QStringLiteral("kestrel-rfid: there is no production record at %1").arg(location));
        return kRecordFailed;
    }
    ProductionRecord record(location);
    // A header alone would read as "that batch made no tags".
    if (filter.batch && record.hasBatch(*filter.batch) == false)
        return usage(QStringLiteral("there is no batch %1 in %2")
                         .arg(*filter.batch)
                         .arg(RecordAddress::shown(location)));
    if (!record.exportCsv(target, filter, &error)) {
        say(stderr, QStringLiteral("kestrel-rfid: ") + error);
        return record.problem().isEmpty() ? kOutputFailed : kRecordFailed;
    }
    return kDone;
}

} // namespace Cli
