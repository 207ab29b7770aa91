#pragma once

#include "core/sessionstate.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class Transport;

// The link to the box: sends commands, gathers replies on the quiet line (Tr1), watches
// for missing replies (Timout) and times the clean-up of the status labels (timout2).
// It shows nothing itself: the window turns its reports into log lines and messages.
class ReaderLink : public QObject {
    Q_OBJECT
public:
    ReaderLink(SessionState &state, Transport &transport, QObject *parent = nullptr);

    void SendCommand(const QString &command);

    bool openPort(const QString &device, QString *reason);
    void closePort();
    bool isPortOpen() const;
    // The device last opened.
    QString device() const { return m_device; }

    // After a port failure: watches for the same device to come back (the same path, or a
    // USB adapter with the same serial number under another name) and reopens it.
    void watchForReturn();
    void stopWatching();
    bool watching() const { return m_watch.isActive(); }
    // The connect sequence of a reconnect keeps the log: what led to the failure matters.
    bool keepsLog() const { return m_keepLog; }

    // Connect sequence on a port just opened: "SBA" and "SB1" go out unlogged; when TCR1
    // fires 50 ms later the log is emptied, logging begins, and "GTS" asks what is in the
    // field, since the box reported a tag already there before the port was open.
    void startConnectSequence(bool keepLog = false);
    void beginQuietStart();
    void startLogSettle();

    // Entry of the reply interpreter: takes the reply gathered so far (at most its first
    // ten characters), settles the timers and empties the buffer.
    QString takeReplyHead();
    void stopReplyTimeout();
    // Exit of the reply interpreter: the reply is handled, so its time-out goes, unless a
    // command went out while handling it; that command's time-out must stand.
    void endReply();
    // Lets what was sent leave the port before a blocking pause.
    void flushOutput();
    void clearReplyBuffer();
    QByteArray replyBuffer() const { return m_replyBuffer; }
    // A reply is complete at its line end rather than after the quiet line (the production
    // loop at pace "replies"); one without a line end still waits for the quiet line.
    void setCompleteAtLineEnd(bool on);
    bool completesAtLineEnd() const { return m_completeAtLineEnd; }
    // When characters last arrived, on the steady clock (for latency figures).
    qint64 lastReceiveNs() const { return m_lastReceiveNs; }

    QTimer &Tr1() { return m_tr1; }
    QTimer &Timout() { return m_timout; }
    QTimer &timout2() { return m_timout2; }
    QTimer &TCR1() { return m_tcr1; }

signals:
    // A command is about to go out and belongs in the traffic log (not during the quiet start).
    void commandLogged(const QString &command);
    // The command could not go out: no port is connected, or the open port refused it.
    void notConnected(const QString &command);
    void sendFailed(const QString &command);
    // A command went to the port (or met a closed link); its time-out is running.
    void commandSent(const QString &command);
    // The quiet start is over: what was logged so far is connect noise.
    void logSettled();
    void replyGathered();
    void replyTimedOut();
    void statusExpired();
    void portFailed(const QString &reason);
    // What went to and came from the port, and the port opening and closing: for a capture.
    void bytesSent(const QByteArray &bytes);
    void bytesReceived(const QByteArray &bytes);
    void portOpened(const QString &device);
    void portClosed();
    // The watched device is back and open again.
    void portReturned(const QString &device);

private:
    void onReceived();
    // Tr1's tick: a reply is handed on, the start of one waits a while for its rest.
    void onQuiet();
    void onTimout();
    void onTimout2();
    void onTcr1();
    void onWatch();
    // What was gathered holds a reply and its line end.
    bool lineComplete() const;

    // Four replies of ten characters and their line breaks.
    static constexpr qsizetype kGatherLimit = 48;

    SessionState &m_state;
    Transport &m_transport;
    QByteArray m_replyBuffer;
    // What arrived since the last reply was taken, bounded; and what followed that reply's
    // line break, handled next.
    QByteArray m_gathered;
    QByteArray m_following;
    qint64 m_lastReceiveNs = 0;
    qint64 m_gatherStartNs = 0;
    bool m_sentDuringReply = false;
    bool m_completeAtLineEnd = false;
    bool m_askFieldWhenSettled = false;
    bool m_keepLog = false;
    QString m_device;
    QString m_serialNumber;
    QTimer m_watch;
    QTimer m_tr1;
    QTimer m_timout;
    QTimer m_timout2;
    QTimer m_tcr1;
};
