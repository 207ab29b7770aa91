#pragma once

#include "core/passwordlist.h"
#include "core/reply.h"
#include "core/timing.h"
#include "core/uidlist.h"

#include <QList>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <optional>

// The production loop as one state machine: fed with the operator's switch, the replies,
// time-outs and ticks, it answers with what to send, show and time. No widgets, no timers.
namespace AutoLoop {

// Steps of one tag's cycle; the numbers are the ones operators and the logs know.
//
// Where a tag goes from each step (every change goes through Engine::moveTo):
//   Idle      -> TagFound   a tag is reported and the loop is on (beginCycle)
//   TagFound  -> Unlock     the next tick: one more pause before the first command
//   Unlock    -> Uid        the unlock is confirmed, or there is none
//   Uid       -> Block1     the UID reads back, or the configuration is confirmed, or none
//   Uid       -> Uid        the UID read back wrong: written again, five times at most
//   Block1..Block6, Password, Lock -> the next step   the write is answered or not chosen
//   Block1..Block6, Password -> the same step   the write read back wrong: written again,
//                                               Options::blockRetries times at most
//   Lock      -> Complete   the lock is answered ("No Precent!" from a tag that locked)
//   Complete  -> Idle       the tag is finished: complete or failed, "SB1" moves it on
//   any       -> Idle       the tag left, an error answered, the UID gave up, or Stop
enum class Step : int {
    Idle = 0,
    TagFound = 1,
    Unlock = 2,
    Uid = 3,
    Block1 = 4,
    Block6 = 9,
    Password = 10,
    Lock = 11,
    Complete = 12,
};

inline Step nextStep(Step s)
{
    return Step(int(s) + 1);
}

inline bool isBlockStep(Step s)
{
    return s >= Step::Block1 && s <= Step::Block6;
}

// The data block a block step writes: 1 at Block1 up to 6 at Block6.
inline int blockOfStep(Step s)
{
    return int(s) - int(Step::Block1) + 1;
}

// Where the UID the loop writes (ExpectedUID, until the next one is chosen) may sit. A UID
// that may be on a tag is never given to another. Every change goes through
// Engine::custodyOn, by custodyAfter:
//   Free, OnTag  -> Writing       the UID write leaves
//   Writing      -> OnTag         answered, its answer given up, or refused after an earlier
//                                 write of it went to this tag
//   Writing      -> Free          refused by a box that wrote nothing, and no earlier write
//   any          -> Free          it read back as written
//   any          -> OnTag         it read back wrong (GoneAndOnTag if a tag left with it)
//   Writing, OnTag, GoneAndOnTag -> Gone   the tag's cycle ended with the UID perhaps on it
//   Gone         -> Free          the next UID is chosen (GoneAndOnTag -> OnTag)
//   Free         -> Gone          a late answer shows the field's next UID on a tag
enum class Custody : int {
    Free = 0,
    // Sent to the tag in the field; its answer is awaited.
    Writing,
    // May be on the tag in the field: no read-back confirmed it.
    OnTag,
    // May be on a tag that left: the next tag gets the next UID.
    Gone,
    // Both: a tag left with it, and a write of it went to the tag in the field since.
    GoneAndOnTag,
};
enum class CustodyEvent : int {
    Sent,
    Answered,
    RefusedUntouched,
    RefusedAfterEarlierWrite,
    ReadBackRight,
    ReadBackWrong,
    CycleEnded,
    NextChosen,
    SeenLate,
};
Custody custodyAfter(Custody c, CustodyEvent e);
inline bool mayBeOnFieldTag(Custody c)
{
    return c == Custody::Writing || c == Custody::OnTag || c == Custody::GoneAndOnTag;
}
inline bool mayBeOnGoneTag(Custody c)
{
    return c == Custody::Gone || c == Custody::GoneAndOnTag;
}
const char *stepName(Step s);
const char *custodyName(Custody c);

inline constexpr int kUidRetryLimit = 5;
// A box answers within a few hundred milliseconds; an answer given up this long ago no longer
// comes.
inline constexpr qint64 kLateAnswerMs = 2000;

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
    // A tag that reports a UID the record holds as written is written again all the same.
    bool rewriteRecorded = false;
    std::array<QString, 8> blockTexts;
    QString setUidText;
    QString incText;
    Base base = Base::Hex;
    // A block write that reads back wrong is sent again this many times before the tag fails.
    int blockRetries = 0;
    // The loop stops after this many failed or stalled tags in a row; 0: never.
    int stopAfterFailures = 3;
    // When the loop's commands leave. Ticks: each on a tick of Timer_Auto, after the line was
    // quiet. Replies: each as soon as the answer before it is in, a reply complete at its line
    // end; only a tag's first command waits (firstCommandMs). What is checked is the same.
    enum class Pace { Ticks, Replies };
    Pace pace = Pace::Ticks;
    // Timer_Auto's interval, and the time from a tag's report to its first command (two
    // ticks as it stands). A line whose reader and tags allow it may shorten them.
    int stepMs = Timing::kAutoStepMs;
    int firstCommandMs = 2 * Timing::kAutoStepMs;
    // The customer's IDs, taken in their order instead of stepping; none: "Auto inc" steps.
    std::shared_ptr<const UidList> uidList;
    // With "Auto Unlock": a tag the job's password does not open is tried with these, in
    // order, before its cycle; none: such a tag fails.
    std::shared_ptr<const PasswordList::List> unlockList;

    bool operator==(const Options &) const = default;
};

// The UID after uid: the list's next ID, or uid stepped by "Auto inc" (longer than ten
// characters once it runs out of range). Empty at the list's end.
QString nextUid(const Options &o, const QString &uid);

// The loop's yes-or-no options: the short word scripts and tests choose it by, the name a
// batch records it under (none: a batch does not list it), and where a job keeps it: a
// member of jobSection (empty: of the job itself), none when a job does not carry it. In the
// order a batch lists them; "Write Block" stands before "Write Password (B7)". "Auto Set UID"
// stands before "Auto inc (UID+)", which a change of it clears in the window.
struct Flag {
    bool Options::*member;
    const char *word;
    const char *batchName;
    const char *jobSection;
    const char *jobKey;
};
inline constexpr std::array<Flag, 9> kFlags{{
    {&Options::autoUnlock, "unlock", "Auto Unlock", "password", "unlock"},
    {&Options::setUid, "setUid", "Auto Set UID", "uid", "write"},
    {&Options::autoInc, "autoInc", "Auto inc (UID+)", "uid", "increment"},
    {&Options::writePassword, "password", "Write Password (B7)", "password", "write"},
    {&Options::lock, "lock", "Lock UID & Block's", "", "lock"},
    {&Options::notConfig, "notConfig", "starts on Not configration", "start", "notConfigured"},
    {&Options::noUid, "noUid", "starts on Not UID Tag", "start", "noUid"},
    {&Options::withId, "withId", "starts on With identifier", "start", "withIdentifier"},
    {&Options::rewriteRecorded, "rewrite", nullptr, nullptr, nullptr},
}};
// Sets the flags and blocks ("cb1".."cb6") the words name and clears the others, except the
// flags on by default, which stay as they are; "dec" chooses the decimal base.
void chooseByWords(Options &o, const QStringList &words);
// The options a batch records, in its words: "Auto Set UID, Auto inc (UID+), Write Block".
QStringList batchOptionNames(const Options &o);

// Below these the virtual box no longer completes tags cleanly; the first command never
// comes sooner than one tick after the report.
inline constexpr int kMinStepMs = 50;
inline constexpr int kMaxStepMs = 1000;
inline constexpr int kMaxFirstCommandMs = 3000;
// At pace Replies a tag that just entered the field is given this moment before its first
// command, unless the job says otherwise.
inline constexpr int kRepliesFirstCommandMs = 100;
const char *paceName(Options::Pace p);
std::optional<Options::Pace> paceNamed(const QString &name);

inline constexpr int kMaxBlockRetries = 5;
inline constexpr int kMaxStopAfterFailures = 1000;

struct Write {
    Step step = Step::Idle;
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
    Step step = Step::Idle;
    QString detail;
    QString uidAsked;
    QString uidRead;
    // The UID read back matched the one asked for: it sits on this tag.
    bool uidConfirmed = false;
    bool hexBase = true;
    // The recorded UID the tag reported before it was written again ("Rewrite recorded tags").
    QString uidReplaced;
    QList<Write> writes;
    int retries = 0;
    qint64 startMs = 0;
    qint64 endMs = 0;

    // The write a step sent, if it sent one.
    const Write *writeAt(Step step) const;
    bool passwordWritten() const;
    bool locked() const;
    // "block 3 written 33333333, read back 33333334" for the first write that read back
    // wrong or was never answered; empty when every write read back right.
    QString firstFailure() const;
};

// A block value as it may be shown, logged or recorded: the password never is.
QString shownValue(int block, const QString &value);
// One write in the record's short form: "3:33333333=33333333", "7:(password)=ok",
// "0:00148040 (no reply) (unlock)".
QString describeWrite(const Write &w);

QString resultName(TagOutcome::Result result);
// Why a run from a UID list is done: none of its IDs is left (now), or the last was written.
QString listDoneWhy(const UidList &list, bool now);

// What happened that the operator is told of. Each front end words and colours it its own
// way; the engine only says what it was.
struct Notice {
    enum class Kind {
        // text: the command that told the box ("RUX", "RUD"); ok: hexadecimal.
        BoxBase,
        // The box refused the base count times; text: why the loop stopped, in words.
        BaseRefused,
        // A UID run is done, or ends before it began; text: why, in words.
        RunDone,
        // The loop carries on at another UID; text: why, in words.
        CarryOn,
        // uid: the stepped UID has eleven characters or is past 32 bits.
        UidOutOfRange,
        // The tag in progress ends the run: the next UID would be out of range.
        StoppedOutOfRange,
        // uid is held elsewhere; text: where, in words.
        UidSkipped,
        // block (-1: the UID) is read back before its answer counts.
        AnswerMayBeEarlier,
        // block read back wrong and is written again, the count-th time of limit.
        WriteRetried,
        // A block, password or lock write was answered; ok: it read back as written.
        WriteAnswered,
        // uid was read back after its tag was given up.
        LateUid,
        // uid is no ID in the job's base: the box reports in the other.
        OtherBase,
        // uid is recorded as written; text: where, in words.
        AlreadyWritten,
        // The tag's ID read differently each time; uid: the last reading.
        IdUnreadable,
        // The UID read back wrong kUidRetryLimit times; uid: the last reading.
        UidGaveUp,
        // The job's password did not open the tag, an entry of the unlock list did; text:
        // which, in words (never the password).
        UnlockedFromList,
        // The tag failed; text: the detail, in words.
        TagFailed,
        TagComplete,
    };
    Kind kind = Kind::TagComplete;
    QString uid{};
    QString text{};
    int block = 0;
    int count = 0;
    int limit = 0;
    bool ok = false;
};

// Start: the next step runs at the pace's time. Wait: a tick lets time pass (an answer in
// doubt may still come), whatever the pace.
enum class StepTimer { Leave, Start, Stop, Wait };
// How long Timer_Auto runs for a tick asked for at step `at`.
int stepIntervalMs(const Options &o, Step at, StepTimer timer);

// What the window has to do after an event, in this order: fields, notices, the reply
// time-out, beeps, the command, Timer_Auto, the hold, the switch, the outcome.
struct Actions {
    std::optional<QString> block0;
    std::optional<QString> setUid;
    QList<Notice> notices;
    bool stopReplyTimeout = false;
    int beeps = 0;
    std::optional<QString> command;
    StepTimer timer = StepTimer::Leave;
    // No further command of the loop may leave before the hold ends.
    bool hold = false;
    // A step ran: the manual unlock's follow-up no longer applies.
    bool ranStep = false;
    // The loop switched itself off: why, in words.
    std::optional<QString> switchedOff;
    // A tag's first command went out.
    std::optional<TagOutcome> started;
    std::optional<TagOutcome> outcome;
    // The UID to write may not be written: why, in words. Nothing was written.
    std::optional<QString> uidRefused;
    // The loop ran out of work (the UID list is used up): why, in words. Not a failure.
    std::optional<QString> finished;
};

class Engine {
public:
    // The loop's state under the names the behaviour is described with.
    struct State {
        bool AutoWriteRunning = false;
        Step AutoStep = Step::Idle;
        bool TagHandled = false;
        QString ExpectedUID;
        bool SuppressSuccessText = false;
        bool LastTagFailed = false;
        bool UidWriteConfirmed = false;
        int UidRetryCount = 0;
        // Writes sent again at this block step after reading back wrong.
        int BlockRetryCount = 0;
        QString LastUID;
        // Where the UID written may sit: a garbled answer, a box reporting in the other base,
        // or a write left unanswered may each have put it on a tag.
        Custody UidCustody = Custody::Free;
        // UIDs whose writes may still be answered: their tags left before the answer, or an
        // error (perhaps late, for an earlier command) answered them. Such an answer is no
        // report of a new tag, and says the UID is on a tag after all. The latest few.
        QStringList UidsInFlight;
        bool StopAfterTag = false;
        bool Holding = false;
        bool TickDeferred = false;
        // The record has not answered yet for the UID to write or the tag ID reported: the
        // cycle waits, sending nothing, until told the answer is in.
        bool AwaitingRecord = false;
    };

    // Wall-clock milliseconds for the outcome's times; tests drive their own.
    std::function<qint64()> clock;
    // Asked before each UID write with "Auto inc (UID+)": whether the UID is free (and now
    // held for this station), to be stepped past, or must not be written at all. Pending: the
    // record has not answered yet, and recordAnswered() asks again.
    struct UidVerdict {
        enum class Kind { Free, Skip, Refuse, Pending };
        UidVerdict() = default;
        UidVerdict(Kind k, QString reason = {}, QString nextUid = {})
            : kind(k)
            , why(std::move(reason))
            , next(std::move(nextUid))
        {
        }
        Kind kind = Kind::Free;
        // Where the UID sits, in words.
        QString why;
        // Skip: go on from this UID rather than the next one (a list's next free ID).
        QString next;
    };
    std::function<UidVerdict(const QString &uid)> uidGuard;
    // Asked when a tag reports its ID: where the record holds that ID as written (in words),
    // if it does, or that the answer is pending. The ID is read in the base the loop writes.
    struct Recorded {
        Recorded(std::optional<QString> at = std::nullopt)
            : where(std::move(at))
        {
        }
        Recorded(std::nullopt_t) {}
        Recorded(QString at)
            : where(std::move(at))
        {
        }
        static Recorded pending()
        {
            Recorded r;
            r.waiting = true;
            return r;
        }
        std::optional<QString> where;
        bool waiting = false;
    };
    std::function<Recorded(const QString &uid, bool hex)> recordedAt;
    // Told of every change of step, with the reason; tests and traces read it.
    std::function<void(Step from, Step to, const char *why)> trace;
    // Told of every change of the UID's custody, with the reason.
    std::function<void(Custody from, Custody to, const char *why)> custodyTrace;
    // Stepping past UIDs held elsewhere ends after this many in a row.
    static constexpr int kMaxSkips = 100;

    Engine();

    const State &state() const { return m_s; }
    bool AutoWriteRunning() const { return m_s.AutoWriteRunning; }
    bool SuppressSuccessText() const { return m_s.SuppressSuccessText; }
    // The suppressed success reply must not turn a failed tag's red message green.
    bool showsFailure() const { return m_s.SuppressSuccessText && m_s.LastTagFailed; }
    const QString &LastUID() const { return m_s.LastUID; }

    // Tells the box the job's base ("RUX" or "RUD") and turns the loop on.
    Actions start(const Options &o);
    // "RUX" or "RUD" went to the box from anywhere: IDs come in that base from now on.
    void boxReports(bool hex);
    Actions stop();
    // The link closed: the loop is off, but a pending tick still runs its step.
    Actions linkClosed();
    // The step handler: Timer_Auto's tick.
    Actions tick(const Options &o);
    Actions holdEnded(const Options &o);
    Actions reply(const Reply::Parsed &r, const Options &o);
    Actions replyTimedOut();
    // The record answered what a hook said was pending: the waiting step runs again.
    Actions recordAnswered(const Options &o);

    // "GTS" went to the box from outside the cycle (the start, a person, the connect sequence):
    // its answer is a report of what the field holds.
    void fieldAsked();

    // The loop has asked the tag what it holds and waits for that answer: it is the loop's,
    // not a value for the block fields.
    bool readingBack() const { return m_readBack && m_readBack->sent; }

    // Sets any state at once; for fuzzing, which explores states no run reaches quickly.
    void restore(const State &s);

private:
    // The one place AutoStep changes.
    void moveTo(Step to, const char *why);
    // The one place UidCustody changes.
    void custodyOn(CustodyEvent e, const char *why);
    void runSteps(Options o, Actions &a);
    void send(Actions &a, int block, const QString &command, const QString &value);
    // The next UID into uid and the field; past ten characters or the list's end the loop
    // stops instead.
    bool stepUid(const Options &o, QString &uid, Actions &a);
    // The last ID of the list was written: the run ends with its tag.
    void endOfList(const Options &o, Actions &a, bool now);
    void sendUidWrite(const Options &o, Actions &a);
    void onError(int code, const Options &o, Actions &a);
    // The job's password did not open the tag: the unlock list's next entry is tried with the
    // same write; the tag fails once none is left.
    void tryUnlockList(const Options &o, Actions &a);
    // How many of the unlock list's entries this tag was tried with.
    int m_unlockTries = 0;
    // The tag needed no unlock: block 0 is written without a password at the Uid step.
    bool m_unlockSkipped = false;
    void onMessage(int code, const Options &o, Actions &a);
    void onBlockWrite(const Reply::Parsed &r, const Options &o, Actions &a);
    // What follows a write's answer: written again, or on to the next step.
    void judgeWrite(bool ok, bool answersThisStep, const QString &readBack, const Options &o,
                    Actions &a);
    // A reply that may be another command's late answer came where this write's was due.
    void readBackFirst(const Options &o, Actions &a);
    void sendReadBack(Actions &a);
    void onReadBack(const Reply::Parsed &r, const Options &o, Actions &a);
    void onIdentifier(const QString &reported, const Options &o, Actions &a);
    // An ID as the box reported it, spelled in the job's base when the box uses the other.
    QString inJobBase(const QString &id, const Options &o) const;
    void onTagLeft(Actions &a);
    // A command of the cycle was answered by an error: the box says why, the tag fails.
    void onErrorAnswer(int code, Actions &a);
    void readBackCheck(const Options &o, Actions &a);
    void beginCycle(Actions &a);
    // A tag in progress is given up for a new report.
    void supersede(Actions &a);
    // A reported tag begins its cycle unless the record holds its ID as written.
    void startCycle(const QString &uid, const Options &o, Actions &a);
    void forgetRecordWait();
    // A tag that carries a UID the record holds as written is moved on, not written; where
    // empty: its ID is none in the job's base.
    void passRecordedTag(const QString &uid, const QString &where, Actions &a);
    // A reported tag is not written: the buzzer moves it on.
    void moveTagOn(Actions &a);
    // The answer to the write the current step sent, on the tag's own record of it.
    void noteAnswer(Step step, const QString &readBack, bool ok);
    // The tag's cycle is over: a UID that may be on it is never given to another tag.
    void settleUid();
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
    // Whether the UID may have been on the tag before the UID write now awaited.
    bool m_uidOnTagBefore = false;
    // Answers given up lately (time-out, tag gone, loop off) that may still come, by the kind
    // of reply each would be: until kLateAnswerMs after, a reply of that kind may be one of
    // them rather than the answer to the command just sent.
    enum class AnswerKind { Write, Uid, Read };
    struct LostAnswer {
        AnswerKind kind = AnswerKind::Write;
        qint64 at = 0;
        int serial = 0;
        Write write;
    };
    QList<LostAnswer> m_lost;
    // The write's answer could have been a lost one: what the tag holds is read back (RB, RP,
    // or GTS for a UID) before the write counts, once no lost answer of the read's kind may
    // still come.
    struct ReadBack {
        QString command;
        int block = 0;
        bool sent = false;
    };
    std::optional<ReadBack> m_readBack;
    // The base the box reports IDs in, once the loop or anyone told it.
    std::optional<bool> m_boxHex;
    bool m_baseAsked = false;
    int m_baseRefusals = 0;
    static constexpr int kBaseTries = 5;
    void baseRefused(Actions &a);
    // Tells the box the base to report IDs in; its answer is awaited.
    void askBase(bool hex, Actions &a);
    // A report showed the box in the other base: it is told again once the tag moved on.
    bool m_baseAgain = false;
    // Questions of the field ("GTS") whose answers may still come, and the last report that
    // could begin a cycle. At pace replies a tag's first command may leave before such an
    // answer comes: the same report again, soon after, is that answer and no new tag.
    int m_fieldQuestions = 0;
    qint64 m_fieldAskedAt = 0;
    QString m_lastReport;
    bool answersFieldQuestion(const QString &report, const Options &o);
    // A tag ID that waits for the record's answer before its cycle may begin.
    QString m_pendingId;
    // A tag's ID is read twice alike ("GTS") before a UID or ID block is written to it: one
    // digit garbled on the wire would make a recorded tag look new, and its UID be written
    // over. After kIdReads readings that differ, the tag is moved on unwritten.
    struct IdCheck {
        QString id;
        int reads = 0;
        bool asked = false;
        bool confirmed = false;
    };
    std::optional<IdCheck> m_idCheck;
    static constexpr int kIdReads = 3;
    // True when the tag may be written on its reported ID; otherwise it was asked again (or
    // moved on).
    bool idConfirmed(const QString &uid, const Options &o, Actions &a);
    void askIdAgain(Actions &a);
    // Why the loop stops after this tag: its list is used up. Empty otherwise.
    QString m_listDoneWhy;
    // The tag that got the UID this loop wrote and read back has not left the field since
    // (also across a stop and start): what is in the field has an ID.
    bool uidConfirmedHere() const { return m_s.UidWriteConfirmed; }
    void keepInFlight(const QString &uid);
    // The UID written last may still be answered: its tag left, or the loop stopped or lost
    // the link before the answer.
    void keepUidInFlight();
    static constexpr int kUidsInFlightKept = 8;
    void noteLostAnswer();
    void keepLost(AnswerKind kind, const Write &w);
    // An answer given up less than kLateAnswerMs ago may be the one arriving now.
    bool answerMayBeLate() const;
    bool answerMayBeLate(AnswerKind kind) const;
    // One that was not for this very command to this very tag, whose answer says the same.
    bool otherAnswerMayBeLate(AnswerKind kind) const;
};

} // namespace AutoLoop
