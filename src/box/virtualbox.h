#pragma once

#include "boxengine.h"
#include "ptyendpoint.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>
#include <deque>

// A virtual Kestrel box on a pseudo-terminal: the protocol engine behind a line paced
// like 9600 baud, with tags presented and removed by an operator, a script, or a conveyor,
// and faults injected on demand.
class VirtualBox : public QObject {
    Q_OBJECT
public:
    // One character at 9600 baud, 8N1: ten bits.
    static constexpr qint64 kCharNs = 1041667;
    // A finished tag is taken off the conveyor this long after the buzzer.
    static constexpr int kConveyorLeaveMs = 50;

    VirtualBox(const QString &portsDir, int port, QObject *parent = nullptr);

    bool start(QString *error);
    QString portPath() const { return m_endpoint.linkPath(); }
    BoxEngine &engine() { return m_engine; }
    // Nothing is waiting to go out on the line.
    bool idle() const { return m_out.empty() && !m_streaming; }

    void present(const T5557::Tag &tag);
    void remove();

    // Carries out one operator command ("present blank", "drop", "conveyor on 300", ...);
    // returns what to tell the operator. Unknown commands say so and change nothing.
    QString execute(const QString &line);
    static QString help();

    // Runs a script of operator commands; "wait <ms>" pauses it.
    void runScript(const QStringList &lines);

    // A tag leaves leaveMs after the SB1 that ends it; the next comes gapMs later. Loaded test
    // machines want both longer than the tool's quiet line plus a scheduling hiccup.
    void setConveyor(bool on, int gapMs, int leaveMs = kConveyorLeaveMs);
    // Tags that have left the field, oldest first.
    const QList<T5557::Tag> &departed() const { return m_departed; }

signals:
    // Something the box saw or did, for the operator watching it.
    void event(const QString &text);
    void scriptFinished();

private:
    enum class Fault { None, Drop, Garble, Split, Late };
    struct Out {
        QByteArray data;
        qint64 readyAtNs;
    };

    void onReceived(const QByteArray &data);
    void handleLine(const QByteArray &line);
    void queueReply(const QByteArray &text, int delayMs);
    void queue(const QByteArray &data, qint64 readyAtNs);
    void pump();
    void afterCommand(const QByteArray &line);
    void conveyorNext();
    void continueScript();
    QString presentCommand(const QStringList &words);
    // A tag as "present" and "queue" name it ("protected 0BADCAFE"); nothing, and why, when
    // the words name none.
    static std::optional<T5557::Tag> tagNamed(const QStringList &words, QString *error);

    PtyEndpoint m_endpoint;
    BoxEngine m_engine;
    QElapsedTimer m_clock;
    QTimer m_pace;
    std::deque<Out> m_out;
    qint64 m_lineFreeAtNs = 0;
    qint64 m_busyUntilNs = 0;
    QByteArray m_input;
    Fault m_fault = Fault::None;
    bool m_streaming = false;
    bool m_conveyor = false;
    int m_conveyorGapMs = 300;
    int m_conveyorLeaveMs = kConveyorLeaveMs;
    QList<T5557::Tag> m_departed;
    // What the conveyor brings before blank tags.
    QList<T5557::Tag> m_queued;
    QStringList m_script;
    QTimer m_scriptTimer;
};
