#pragma once

#include "core/reply.h"

#include <QList>
#include <QString>
#include <array>
#include <functional>
#include <optional>

// The production loop as one state machine: fed with the operator's switch, the replies,
// time-outs and ticks, it answers with what to send, show and time. No widgets, no timers.
namespace AutoLoop {

// Steps of one tag's cycle; the numbers are the ones operators and the logs know.
enum Step : int {
    kIdle = 0,
    kTagFound = 1,
    kUnlock = 2,
    kUid = 3,
    kFirstBlock = 4,
    kLastBlock = 9,
    kPassword = 10,
    kLock = 11,
    kComplete = 12,
};

inline constexpr int kUidRetryLimit = 5;

// What the operator chose for every tag, as the panels show it when the engine asks.
struct Options {
    enum class Base { None, Hex, Dec };

    bool autoUnlock = false;
    bool setUid = false;
    bool autoInc = false;
    // Index n is the box beside block n; only 1..6 are read.
    std::array<bool, 7> blocks{};
    bool writePassword = false;
    bool lock = false;
    bool withId = true;
    bool noUid = true;
    bool notConfig = true;
    std::array<QString, 8> blockTexts;
    QString setUidText;
    QString incText;
    Base base = Base::Hex;
};

struct Write {
    int step = 0;
    int block = 0;
    QString sent;
    QString readBack;
    bool answered = false;
    bool ok = false;
};

// How one tag ended, with everything that was sent to it and what came back.
struct TagOutcome {
    enum class Result { Complete, Failed, Stalled, LeftEarly, Stopped };

    // Counts the tags of one engine, so a tag's start and end can be matched.
    int serial = 0;
    Result result = Result::Stalled;
    int step = 0;
    QString detail;
    QString uidAsked;
    QString uidRead;
    // The UID read back matched the one asked for: it sits on this tag.
    bool uidConfirmed = false;
    bool hexBase = true;
    QList<Write> writes;
    int retries = 0;
    qint64 startMs = 0;
    qint64 endMs = 0;

    // The write a step sent, if it sent one.
    const Write *writeAt(int step) const;
    bool passwordWritten() const;
    bool locked() const;
    // "block 3 written 33333333, read back 33333334" for the first write that read back
    // wrong; empty when none did.
    QString firstFailure() const;
};

QString resultName(TagOutcome::Result result);

struct Message {
    QString text;
    quint32 colour = 0;
};

struct LogLine {
    QString text;
    quint32 colour = 0;
    int size = 9;
};

enum class StepTimer { Leave, Start, Stop };

// What the window has to do after an event, in this order: fields, log, messages, the
// reply time-out, beeps, the command, Timer_Auto, the hold, the switch, the outcome.
struct Actions {
    std::optional<QString> block0;
    std::optional<QString> setUid;
    QList<LogLine> log;
    QList<Message> messages;
    bool stopReplyTimeout = false;
    int beeps = 0;
    std::optional<QString> command;
    StepTimer timer = StepTimer::Leave;
    // No further command of the loop may leave before the hold ends.
    bool hold = false;
    // A step ran: the manual unlock's follow-up no longer applies.
    bool ranStep = false;
    // The loop switched itself off.
    bool switchedOff = false;
    // A tag's first command went out.
    std::optional<TagOutcome> started;
    std::optional<TagOutcome> outcome;
    // The UID to write may not be written: why, in words. Nothing was written.
    std::optional<QString> uidRefused;
};

class Engine {
public:
    // The loop's state under the names the behaviour is described with.
    struct State {
        bool AutoWriteRunning = false;
        int AutoStep = kIdle;
        bool TagHandled = false;
        QString ExpectedUID;
        bool SuppressSuccessText = false;
        bool LastTagFailed = false;
        bool UidWriteConfirmed = false;
        int UidRetryCount = 0;
        QString LastUID;
        // The UID write awaits its read-back.
        bool UidWriteOutstanding = false;
        // A UID write got no usable answer: it may sit on a tag.
        bool UidUncertain = false;
        // The tag left the field since the last UID write, so a read-back is of another tag.
        bool TagLeftSinceUidWrite = false;
        bool StopAfterTag = false;
        bool Holding = false;
        bool TickDeferred = false;
    };

    // Wall-clock milliseconds for the outcome's times; tests drive their own.
    std::function<qint64()> clock;
    // Asked before each UID write with "Auto inc (UID+)": whether the UID is free (and now
    // held for this station), to be stepped past, or must not be written at all.
    struct UidVerdict {
        enum class Kind { Free, Skip, Refuse } kind = Kind::Free;
        // Where the UID sits, in words.
        QString why;
    };
    std::function<UidVerdict(const QString &uid)> uidGuard;
    // Stepping past UIDs held elsewhere ends after this many in a row.
    static constexpr int kMaxSkips = 100;

    Engine();

    const State &state() const { return m_s; }
    bool AutoWriteRunning() const { return m_s.AutoWriteRunning; }
    bool SuppressSuccessText() const { return m_s.SuppressSuccessText; }
    // The suppressed success reply must not turn a failed tag's red message green.
    bool showsFailure() const { return m_s.SuppressSuccessText && m_s.LastTagFailed; }
    const QString &LastUID() const { return m_s.LastUID; }

    Actions start();
    Actions stop();
    // The link closed: the loop is off, but a pending tick still runs its step.
    Actions linkClosed();
    // The step handler: Timer_Auto's tick.
    Actions tick(const Options &o);
    Actions holdEnded(const Options &o);
    Actions reply(const Reply::Parsed &r, const Options &o);
    Actions replyTimedOut();

    // Sets any state at once; for fuzzing, which explores states no run reaches quickly.
    void restore(const State &s);

private:
    void runSteps(Options o, Actions &a);
    void send(Actions &a, int block, const QString &command, const QString &value);
    // The next UID by the "Auto inc" step into uid and the field; past ten characters the
    // loop stops instead.
    bool stepUid(const Options &o, QString &uid, Actions &a);
    void sendUidWrite(const Options &o, Actions &a);
    void onError(int code, const Options &o, Actions &a);
    void onMessage(int code, const Options &o, Actions &a);
    void onBlockWrite(const Reply::Parsed &r, const Options &o, Actions &a);
    void onIdentifier(const QString &uid, const Options &o, Actions &a);
    void readBackCheck(const Options &o, Actions &a);
    void beginCycle(Actions &a);
    // The answer to the write the current step sent, on the tag's own record of it.
    void noteAnswer(int step, const QString &readBack, bool ok);
    void finishTag(Actions &a, bool failed, const QString &detail);
    void endTag(Actions &a, TagOutcome::Result result, const QString &detail);
    void noteStall(const QString &why);
    void newTag();
    void announce(Actions &a);
    void turnOff(Actions &a, const QString &why);
    // The loop turns itself off; the window shows it as switched off.
    void switchOff(Actions &a, const QString &why);

    State m_s;
    std::optional<TagOutcome> m_tag;
    // The loop command whose reply is awaited, if any.
    std::optional<Write> m_awaiting;
    QString m_stallReason;
    int m_serial = 0;
    bool m_announced = false;
};

} // namespace AutoLoop
