#pragma once

#include <QProcess>

// A station process: a virtual box and the tool's loop recording into one file. What it says
// on standard error (the boxes it showed) is kept for a failing test to print.
struct Station {
    QProcess process;
    QByteArray output;
    QByteArray errors;

    void start(const QString &record, const QString &firstUid, int tags, bool slowUid = false)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { errors += process.readAllStandardError(); });
        QStringList args{record, firstUid, QString::number(tags)};
        if (slowUid)
            args << QStringLiteral("slow");
        process.start(QStringLiteral(RECORD_STATION), args);
    }

    // Why it ended as it did, for a failing comparison.
    QByteArray said() const
    {
        return "exit " + QByteArray::number(process.exitCode()) + ": " + errors;
    }
};
