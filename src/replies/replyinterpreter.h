#pragma once

#include "core/reply.h"
#include "core/sessionstate.h"
#include "core/timing.h"

#include <QObject>

class AutoPanel;
class AutoWriter;
class BlockPanel;
class ReaderLink;
class StatusLine;
class TrafficLog;
class UidPanel;
class QWidget;

// What the interpreter shows its results on.
struct ReplyTargets {
    TrafficLog &log;
    StatusLine &status;
    BlockPanel &blocks;
    UidPanel &uid;
    AutoPanel &autoPanel;
    AutoWriter &autoWriter;
    QWidget &window;
};

// Turns each gathered reply into its effects. It does not know which command a reply
// answers: the reply's own first characters and the shared state decide what it means.
class ReplyInterpreter : public QObject {
    Q_OBJECT
public:
    ReplyInterpreter(SessionState &state, ReaderLink &link, ReplyTargets targets,
                     QObject *parent = nullptr);

    // One run per gathered reply (tick of Tr1).
    void interpret();

    // The blocking pause after "No Precent!"; only fuzzing shortens it.
    void setNoPresentPauseMs(int ms) { m_pauseMs = ms; }

signals:
    // A reply was interpreted, with the ten characters that carried its meaning.
    void interpreted(const QString &head);

private:
    void onError(int code);
    void onMessage(int code);
    void onBlockRead(const Reply::Parsed &reply);
    void onBlockWrite(const QString &head, const Reply::Parsed &reply);
    void onIdentifier(const QString &uid);
    void exitSequence(const QString &head);

    void showTagAbsentLook();
    void adjustConfigField();
    void blankFailedRead();
    bool running() const;

    SessionState &m_state;
    ReaderLink &m_link;
    ReplyTargets m_t;
    int m_pauseMs = Timing::kNoPresentPauseMs;
};
