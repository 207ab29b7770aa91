#pragma once

#include "ptyendpoint.h"

#include <QList>
#include <QObject>
#include <optional>

// Plays the box's side of a traffic capture back to the tool on a pseudo-terminal: each
// command the tool sends is answered with what the real box answered to that command at that
// point, with the real timing, and a command that is not the capture's is reported.
class BoxReplay : public QObject {
    Q_OBJECT
public:
    struct Reply {
        // Microseconds after the command (or after the port opened, before the first one).
        qint64 afterUs = 0;
        QByteArray bytes;
    };
    struct Step {
        // The tool's line as the capture keeps it (masked), without its line end; empty for
        // what the box said before the first command.
        QByteArray command;
        QList<Reply> replies;
    };
    // The steps of a capture file; nothing (and why, naming the line) when it is not one.
    // A last line cut off is left out, and *note says so.
    static std::optional<QList<Step>> parse(const QByteArray &capture, QString *error,
                                            QString *note = nullptr);

    BoxReplay(QList<Step> steps, const QString &portsDir, int port, QObject *parent = nullptr);

    bool start(QString *error);
    int commands() const { return qMax(0, m_next - 1); }
    int differences() const { return m_differences; }
    bool finished() const { return m_next >= m_steps.size(); }

signals:
    void event(const QString &text);
    // Every command of the capture has been answered.
    void played();

private:
    void onReceived(const QByteArray &data);
    void onLine(const QByteArray &line);
    // masked: the value that stands for "********" in the replies (block 7 the tool wrote or
    // the password it read with), as the capture could not keep it.
    void play(const Step &step, const QByteArray &masked);

    QList<Step> m_steps;
    PtyEndpoint m_endpoint;
    QByteArray m_input;
    int m_next = 0;
    int m_differences = 0;
    // The password the tool last sent: what a masked block-7 read answered.
    QByteArray m_password;
};
