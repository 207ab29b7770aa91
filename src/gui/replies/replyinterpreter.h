#pragma once

#include "core/reply.h"
#include "core/sessionstate.h"

#include <QObject>

class AutoPanel;
class BlockPanel;
class ProductionLoop;
class ReaderLink;
class Session;
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
    QWidget &window;
};

// Turns each gathered reply into its effects. It does not know which command a reply
// answers: the reply's own first characters and the shared state decide what it means.
class ReplyInterpreter : public QObject {
    Q_OBJECT
public:
    ReplyInterpreter(Session &session, ReplyTargets targets, QObject *parent = nullptr);

private:
    // What a reply shows, before the loop has it.
    void interpret(const QString &head, const Reply::Parsed &reply);
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
    ProductionLoop &m_loop;
    ReplyTargets m_t;
};
