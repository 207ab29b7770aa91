#pragma once

#include <QProcess>

// A station process: a virtual box and the tool's loop recording into one file.
struct Station {
    QProcess process;
    QByteArray output;

    void start(const QString &record, const QString &firstUid, int tags)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += process.readAllStandardOutput(); });
        process.start(QStringLiteral(RECORD_STATION), {record, firstUid, QString::number(tags)});
    }
};
