#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>

class ReaderLink;

// Keeps every byte to and from the box in a text file a person can read and grep, one line
// per event, appended and flushed as it happens (a killed tool loses nothing):
//
//   # kestrel-rfid traffic capture 1, started 2026-12-08T10:00:00Z
//   <monotonic seconds, to the microsecond> <direction> <text>
//
// The direction is ">" for bytes sent to the box, "<" for bytes received, "!" for an event
// of the link (open, close, failure). Bytes are written as they stand except "\" (as "\\"),
// CR and LF (as "\r" and "\n") and any other byte outside printable ASCII (as "\xHH"). The
// password never reaches the file: block-7 values and password operands are masked with "*",
// in answers by what was asked, not by where they stand in the line.
// At the size limit the file moves to FILE.1 (replacing an older one) and a new one begins.
class TrafficCapture : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kDefaultLimit = 16 * 1024 * 1024;

    explicit TrafficCapture(QObject *parent = nullptr);
    ~TrafficCapture() override;

    // Starts keeping the traffic of `link` in `path`; false (and why) when it cannot be written.
    bool start(ReaderLink &link, const QString &path, QString *error, qint64 limit = kDefaultLimit);
    void stop();
    bool isActive() const { return m_file.isOpen(); }
    QString path() const { return m_path; }

    void sent(const QByteArray &bytes);
    void received(const QByteArray &bytes);
    void event(const QString &text);

signals:
    // Writing stopped (disk full, file gone); the capture is off.
    void failed(const QString &why);
    // A line as the file has it, with its line end: the record keeps each batch's lines.
    void lineWritten(const QByteArray &line);

private:
    void write(char direction, const QByteArray &text);
    // replyEnded: the quiet line or a line end closed what is pending.
    void flushReceived(bool replyEnded);
    void writeReceived(const QByteArray &part, bool complete);
    bool openFile(QString *error);

    QFile m_file;
    QString m_path;
    qint64 m_limit = kDefaultLimit;
    // Received bytes wait for their line end (or the end of the reply), so that a block-7
    // value split over two reads is still masked.
    QByteArray m_pending;
    // What of the current received line has been written already; a secret lies within its
    // first characters, so no more of it is kept.
    QByteArray m_lineSoFar;
    static constexpr qsizetype kSecretReach = 32;
    // Passwords and block-7 values the tool sent lately: in memory only, to find them in
    // answers wherever they stand.
    QList<QByteArray> m_secrets;
    static constexpr qsizetype kSecretsKept = 4;
    // A block-7 or password command awaits its answer.
    bool m_blockSeven = false;
    QList<QMetaObject::Connection> m_connections;
};
