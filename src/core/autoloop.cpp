#include "autoloop.h"

#include "core/configword.h"
#include "core/uid.h"

#include <QDateTime>

#include <algorithm>

namespace AutoLoop {

const Write *TagOutcome::writeAt(Step step) const
{
    for (const Write &w : writes) {
        if (w.step == step)
            return &w;
    }
    return nullptr;
}

bool TagOutcome::passwordWritten() const
{
    const Write *w = writeAt(Step::Password);
    return w && w->ok;
}

bool TagOutcome::locked() const
{
    const Write *w = writeAt(Step::Lock);
    return w && w->ok;
}

QString TagOutcome::firstFailure() const
{
    for (qsizetype i = 0; i < writes.size(); ++i) {
        const Write &w = writes[i];
        // A write that read back wrong and was sent again is judged by the last one.
        const bool sentAgain
            = std::any_of(writes.cbegin() + i + 1, writes.cend(),
                          [&w](const Write &later) { return later.step == w.step; });
        if (sentAgain)
            continue;
        const QString sent = shownValue(w.block, w.sent);
        if (!w.answered)
            return QStringLiteral("block %1 written %2, no reply").arg(w.block).arg(sent);
        if (!w.ok)
            return QStringLiteral("block %1 written %2, read back %3")
                .arg(w.block)
                .arg(sent, shownValue(w.block, w.readBack));
    }
    return {};
}

// Eleven digits, or a decimal ID past 32 bits: no tag can be given it, and the record would
// refuse it, so the run says so in the operator's words instead of blaming the record.
namespace {
bool outOfRange(const Options &o, const QString &stepped)
{
    return stepped.size() > Uid::kLength
           || (o.base == Options::Base::Dec && !Uid::tagId(stepped, false));
}
} // namespace

QString nextUid(const Options &o, const QString &uid)
{
    if (o.uidList)
        return o.uidList->after(uid).value_or(QString());
    return Uid::StepSetUid(uid, Uid::leadingNumber(o.incText));
}

QString shownValue(int block, const QString &value)
{
    return block == 7 ? QStringLiteral("(password)") : value;
}

QString describeWrite(const Write &w)
{
    const bool secret = w.block == 7;
    QString part = QStringLiteral("%1:%2").arg(w.block).arg(shownValue(w.block, w.sent));
    if (!w.answered)
        part += QStringLiteral(" (no reply)");
    else if (secret)
        part += w.ok ? QStringLiteral("=ok") : QStringLiteral("!=wrong");
    else
        part += (w.ok ? QStringLiteral("=") : QStringLiteral("!=")) + w.readBack;
    if (w.step == Step::Unlock)
        part += QStringLiteral(" (unlock)");
    if (w.step == Step::Lock)
        part += QStringLiteral(" (lock)");
    return part;
}

QString listDoneWhy(const UidList &list, bool now)
{
    const QString name = list.name().isEmpty() ? QStringLiteral("the UID list")
                                               : QStringLiteral("UID list ") + list.name();
    return now ? QStringLiteral("No ID of %1 is left to write: the run is done.").arg(name)
               : QStringLiteral("Last ID of %1 written: the run is done.").arg(name);
}

QString resultName(TagOutcome::Result result)
{
    switch (result) {
    case TagOutcome::Result::Complete:
        return QStringLiteral("complete");
    case TagOutcome::Result::Failed:
        return QStringLiteral("failed");
    case TagOutcome::Result::Stalled:
        return QStringLiteral("stalled");
    case TagOutcome::Result::LeftEarly:
        return QStringLiteral("left the field early");
    case TagOutcome::Result::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

Engine::Engine()
    : clock([] { return QDateTime::currentMSecsSinceEpoch(); })
{
}

void Engine::restore(const State &s)
{
    m_s = s;
    m_tag.reset();
    m_awaiting.reset();
    m_stallReason.clear();
    m_lost.clear();
    m_readBack.reset();
    m_pendingId.clear();
}

namespace {
bool sameWrite(const Write &a, const Write &b)
{
    return a.step == b.step && a.block == b.block && a.sent == b.sent;
}
} // namespace

bool Engine::answerMayBeLate() const
{
    const qint64 now = clock();
    return std::any_of(m_lost.cbegin(), m_lost.cend(),
                       [now](const LostAnswer &l) { return now - l.at < kLateAnswerMs; });
}

bool Engine::answerMayBeLate(AnswerKind kind) const
{
    const qint64 now = clock();
    return std::any_of(m_lost.cbegin(), m_lost.cend(), [&](const LostAnswer &l) {
        return l.kind == kind && now - l.at < kLateAnswerMs;
    });
}

bool Engine::otherAnswerMayBeLate(AnswerKind kind) const
{
    const qint64 now = clock();
    const int serial = m_tag ? m_tag->serial : 0;
    return std::any_of(m_lost.cbegin(), m_lost.cend(), [&](const LostAnswer &l) {
        const bool same = m_awaiting && l.serial == serial && sameWrite(l.write, *m_awaiting);
        return l.kind == kind && now - l.at < kLateAnswerMs && !same;
    });
}

void Engine::keepLost(AnswerKind kind, const Write &w)
{
    const qint64 now = clock();
    m_lost.removeIf([now](const LostAnswer &l) { return now - l.at >= kLateAnswerMs; });
    const int serial = m_tag ? m_tag->serial : 0;
    for (LostAnswer &l : m_lost) {
        if (l.kind == kind && l.serial == serial && sameWrite(l.write, w)) {
            l.at = now;
            return;
        }
    }
    m_lost.append({kind, now, serial, w});
}

void Engine::noteLostAnswer()
{
    if (!m_awaiting)
        return;
    keepLost(m_awaiting->block < 0 ? AnswerKind::Uid : AnswerKind::Write, *m_awaiting);
    if (m_readBack && m_readBack->sent)
        keepLost(m_readBack->block < 0 ? AnswerKind::Uid : AnswerKind::Read, *m_awaiting);
}

void Engine::keepInFlight(const QString &uid)
{
    if (uid.isEmpty())
        return;
    m_s.UidsInFlight.removeAll(uid);
    m_s.UidsInFlight.append(uid);
    // Older ones have long been answered or never will be.
    while (m_s.UidsInFlight.size() > kUidsInFlightKept)
        m_s.UidsInFlight.removeFirst();
}

void Engine::keepUidInFlight()
{
    // Also after a time-out: the answer may still be on its way, whatever the loop does next.
    if (m_s.UidWriteOutstanding || m_s.UidOnTag)
        keepInFlight(m_s.ExpectedUID);
}

void Engine::moveTo(Step to, const char *why)
{
    const Step from = m_s.AutoStep;
    m_s.AutoStep = to;
    // Whatever waited for the record, or for a read-back, belonged to the step left.
    if (to != from) {
        forgetRecordWait();
        m_readBack.reset();
    }
    if (trace)
        trace(from, to, why);
}

Actions Engine::start(const Options &o)
{
    Actions a;
    m_s.AutoWriteRunning = true;
    m_s.StopAfterTag = false;
    m_listDoneWhy.clear();
    // A step left over from a link that closed mid-tag belongs to no tag now.
    if (m_s.AutoStep > Step::TagFound && !m_tag)
        moveTo(Step::Idle, "no tag is in progress when the loop starts");
    // Nor is any command: one a step sent while the link was down never left.
    if (!m_tag) {
        m_awaiting.reset();
        m_readBack.reset();
    }
    a.block0 = ConfigWord::kStandard;
    // A box reports IDs in the base it was last told (hexadecimal after power-up): told the
    // job's, it answers every UID write in the base the UID was written in.
    if (o.base != Options::Base::None) {
        const bool hex = o.base == Options::Base::Hex;
        askBase(hex, a);
        a.notices.append({.kind = Notice::Kind::BoxBase, .text = *a.command, .ok = hex});
    }
    return a;
}

void Engine::baseRefused(Actions &a)
{
    const QString command = *m_boxHex ? QStringLiteral("RUX") : QStringLiteral("RUD");
    if (++m_baseRefusals < kBaseTries) {
        askBase(*m_boxHex, a);
        return;
    }
    m_baseRefusals = 0;
    m_boxHex.reset();
    const QString why = QStringLiteral("The box refused \"%1\" %2 times: the IDs it reports "
                                       "cannot be read. Auto Wite stopped.")
                            .arg(command)
                            .arg(kBaseTries);
    a.notices.append({.kind = Notice::Kind::BaseRefused, .text = why});
    switchOff(a, why);
}

void Engine::askBase(bool hex, Actions &a)
{
    a.command = hex ? QStringLiteral("RUX") : QStringLiteral("RUD");
    m_boxHex = hex;
    m_baseAsked = true;
}

void Engine::boxReports(bool hex)
{
    m_boxHex = hex;
    m_baseAsked = true;
}

QString Engine::inJobBase(const QString &id, const Options &o) const
{
    if (!m_boxHex || o.base == Options::Base::None)
        return id;
    const bool hex = o.base == Options::Base::Hex;
    if (*m_boxHex == hex)
        return id;
    const auto value = Uid::tagId(id, *m_boxHex);
    if (!value)
        return id;
    // A decimal spelling exists only up to 32 bits; past that the ID stays as the box said.
    const QString spelled = Uid::spellings(*value).value(hex ? 0 : 1);
    return spelled.isEmpty() ? id : spelled;
}

Actions Engine::stop()
{
    Actions a;
    turnOff(a, QStringLiteral("stopped by the operator at step %1").arg(int(m_s.AutoStep)));
    return a;
}

Actions Engine::linkClosed()
{
    Actions a;
    forgetRecordWait();
    m_idCheck.reset();
    noteLostAnswer();
    keepUidInFlight();
    settleUid();
    if (m_tag)
        endTag(a, TagOutcome::Result::Stopped,
               QStringLiteral("the link closed at step %1").arg(int(m_s.AutoStep)));
    m_s.AutoWriteRunning = false;
    m_s.StopAfterTag = false;
    // Whatever the box said while the link was down is lost: no tag is known to be in the
    // field, so none may keep the next one from starting.
    m_s.TagHandled = false;
    m_s.UidWriteConfirmed = false;
    // What was sent before is given up (noted above): no later reply answers it.
    m_awaiting.reset();
    m_readBack.reset();
    return a;
}

void Engine::settleUid()
{
    if (m_s.UidOnTag || m_s.UidWriteOutstanding)
        m_s.UidUncertain = true;
    m_s.UidOnTag = false;
    m_s.UidWriteOutstanding = false;
}

void Engine::forgetRecordWait()
{
    m_s.AwaitingRecord = false;
    m_pendingId.clear();
}

void Engine::turnOff(Actions &a, const QString &why)
{
    forgetRecordWait();
    m_idCheck.reset();
    noteLostAnswer();
    keepUidInFlight();
    settleUid();
    if (m_tag)
        endTag(a, TagOutcome::Result::Stopped, why);
    m_s.AutoWriteRunning = false;
    m_s.StopAfterTag = false;
    m_listDoneWhy.clear();
    m_s.TickDeferred = false;
    moveTo(Step::Idle, "the loop was switched off");
    m_awaiting.reset();
    m_readBack.reset();
    a.timer = StepTimer::Stop;
}

void Engine::switchOff(Actions &a, const QString &why)
{
    turnOff(a, why);
    a.switchedOff = why;
}

Actions Engine::tick(const Options &o)
{
    Actions a;
    runSteps(o, a);
    return a;
}

Actions Engine::holdEnded(const Options &o)
{
    Actions a;
    m_s.Holding = false;
    if (std::exchange(m_baseAgain, false) && o.base != Options::Base::None)
        askBase(o.base == Options::Base::Hex, a);
    if (!m_s.TickDeferred)
        return a;
    m_s.TickDeferred = false;
    runSteps(o, a);
    return a;
}

Actions Engine::replyTimedOut()
{
    Actions a;
    if (m_idCheck && m_idCheck->asked && m_s.AutoWriteRunning && !m_tag) {
        askIdAgain(a);
        return a;
    }
    // A UID write whose answer never came may have reached the tag: the UID stays with it
    // (UidOnTag) until a read-back says otherwise or the tag's cycle ends.
    m_s.UidWriteOutstanding = false;
    noteLostAnswer();
    if (m_awaiting && m_tag)
        noteStall(QStringLiteral("no reply at step %1").arg(int(m_awaiting->step)));
    return a;
}

Actions Engine::recordAnswered(const Options &o)
{
    Actions a;
    if (!m_s.AwaitingRecord || !m_s.AutoWriteRunning)
        return a;
    m_s.AwaitingRecord = false;
    if (!m_pendingId.isEmpty()) {
        const QString id = std::exchange(m_pendingId, QString());
        if (m_s.AutoStep == Step::Idle)
            startCycle(id, o, a);
        return a;
    }
    if (m_s.AutoStep == Step::Uid && m_tag)
        runSteps(o, a);
    return a;
}

Actions Engine::reply(const Reply::Parsed &r, const Options &o)
{
    Actions a;
    // The box's answer to "RUX"/"RUD". Refused, it is asked again: IDs in an unknown base
    // could not be checked against the record.
    // A tag leaving, or none there, is a report and no answer: it goes its way.
    const bool report = r.kind == Reply::Kind::Message
                        && (r.code == Reply::kOutOfRange || r.code == Reply::kNotPresent);
    if (m_baseAsked && !report
        && (r.kind == Reply::Kind::Error || r.kind == Reply::Kind::Message)) {
        m_baseAsked = false;
        if (r.kind == Reply::Kind::Message && r.code == Reply::kSuccess) {
            m_baseRefusals = 0;
        } else if (r.kind == Reply::Kind::Message) {
            // A report where the base's answer was due: a tag arriving just now, or the answer
            // garbled. Not knowing which, the loop asks the box what is in the field.
            if (m_s.AutoWriteRunning && m_s.AutoStep == Step::Idle && !m_tag) {
                a.command = QStringLiteral("GTS");
                return a;
            }
        } else if (!m_awaiting && !m_readBack && m_boxHex) {
            baseRefused(a);
            return a;
        }
    }
    // The ID check's question answered by no ID. A tag without one ("not configured", "no
    // UID") is what that answer says; a refusal, or no tag read, is asked again, and the tag
    // never waits unwritten for an answer that will not come.
    if (m_idCheck && m_idCheck->asked && !m_tag && m_s.AutoWriteRunning) {
        const bool tagSays = r.kind == Reply::Kind::Message
                             && (r.code == Reply::kNotConfigured || r.code == Reply::kNoUid);
        if (tagSays) {
            m_idCheck.reset();
        } else if (r.kind == Reply::Kind::Error
                   || (r.kind == Reply::Kind::Message && r.code == Reply::kNotPresent)) {
            askIdAgain(a);
            return a;
        }
    }
    switch (r.kind) {
    case Reply::Kind::Error:
        onError(r.code, o, a);
        break;
    case Reply::Kind::Message:
        // "GTS" found no tag with a UID: what it read back is no UID at all.
        if (readingBack() && m_readBack->block < 0 && r.code >= Reply::kNotPresent
            && r.code <= Reply::kNoUid) {
            m_s.LastUID.clear();
            readBackCheck(o, a);
            break;
        }
        onMessage(r.code, o, a);
        break;
    case Reply::Kind::BlockWrite:
        onBlockWrite(r, o, a);
        break;
    case Reply::Kind::Identifier:
        onIdentifier(r.payload, o, a);
        break;
    case Reply::Kind::BlockRead:
        onReadBack(r, o, a);
        break;
    case Reply::Kind::Other:
        break;
    }
    return a;
}

// The step handler. It stops Timer_Auto first, so a pending tick never runs a step twice;
// a step either sends one command and ends, or sends nothing and falls through.
void Engine::runSteps(Options o, Actions &a)
{
    a.timer = StepTimer::Stop;
    a.ranStep = true;
    if (m_s.Holding) {
        m_s.TickDeferred = true;
        return;
    }
    if (m_readBack) {
        if (!m_readBack->sent)
            sendReadBack(a);
        return;
    }
    for (;;) {
        const Step s = m_s.AutoStep;
        if (s == Step::TagFound) {
            moveTo(Step::Unlock, "one more tick before the first command");
            a.timer = StepTimer::Start;
            return;
        }
        if (s == Step::Unlock && o.autoUnlock) {
            o.blockTexts[0] = ConfigWord::unlocked(o.blockTexts[0]);
            a.block0 = o.blockTexts[0];
            send(a, 0, QStringLiteral("WP0") + o.blockTexts[7] + o.blockTexts[0], o.blockTexts[0]);
            return;
        }
        if (s == Step::Uid) {
            m_s.ExpectedUID = o.setUidText;
            if (o.setUid) {
                sendUidWrite(o, a);
                return;
            }
            if (!o.autoUnlock) {
                send(a, 0, QStringLiteral("WB0") + ConfigWord::kStandard, ConfigWord::kStandard);
                return;
            }
        }
        if (isBlockStep(s) && o.blocks[size_t(blockOfStep(s))]) {
            const int n = blockOfStep(s);
            send(a, n, QStringLiteral("WB%1").arg(n) + o.blockTexts[size_t(n)],
                 o.blockTexts[size_t(n)]);
            return;
        }
        if (s == Step::Password && o.writePassword) {
            send(a, 7, QStringLiteral("WB7") + o.blockTexts[7], o.blockTexts[7]);
            return;
        }
        if (s == Step::Lock && o.lock) {
            send(a, 0, QStringLiteral("WB0") + ConfigWord::kWithPwdAor, ConfigWord::kWithPwdAor);
            return;
        }
        if (s == Step::Complete && !m_tag && !m_s.AutoWriteRunning) {
            // The link closed under this tag and its outcome is told already.
            moveTo(Step::Idle, "the link closed before the tag was finished");
            return;
        }
        if (s == Step::Complete) {
            const QString failure = m_tag ? m_tag->firstFailure() : QString();
            finishTag(a, !failure.isEmpty(), failure);
            return;
        }
        if (s < Step::Unlock || s > Step::Complete)
            return;
        moveTo(nextStep(s), "nothing to write at this step");
    }
}

void Engine::send(Actions &a, int block, const QString &command, const QString &value)
{
    Write w;
    w.step = m_s.AutoStep;
    w.block = block;
    w.sent = value;
    m_awaiting = w;
    if (m_tag)
        m_tag->writes.append(w);
    a.command = command;
    announce(a);
}

void Engine::announce(Actions &a)
{
    if (!m_tag || m_announced)
        return;
    m_announced = true;
    a.started = *m_tag;
}

void Engine::newTag()
{
    m_tag = TagOutcome{};
    m_tag->serial = ++m_serial;
    m_tag->startMs = clock();
    m_announced = false;
    m_s.BlockRetryCount = 0;
}

void Engine::endOfList(const Options &o, Actions &a, bool now)
{
    const QString why = listDoneWhy(*o.uidList, now);
    if (!now) {
        m_listDoneWhy = why;
        m_s.StopAfterTag = true;
        return;
    }
    a.notices.append({.kind = Notice::Kind::RunDone, .text = why});
    a.finished = why;
    switchOff(a, why);
}

bool Engine::stepUid(const Options &o, QString &uid, Actions &a)
{
    const QString stepped = nextUid(o, uid);
    if (stepped.isEmpty()) {
        endOfList(o, a, true);
        return false;
    }
    if (outOfRange(o, stepped)) {
        a.notices.append({.kind = Notice::Kind::UidOutOfRange, .uid = stepped});
        switchOff(a, QStringLiteral("UID out of range! (") + stepped + u')');
        return false;
    }
    uid = stepped;
    a.setUid = uid;
    return true;
}

void Engine::sendUidWrite(const Options &o, Actions &a)
{
    QString uid = o.setUidText;
    // Never give a second tag the UID that may already sit on a tag pulled mid-write.
    if (m_s.UidUncertain && o.autoInc && !stepUid(o, uid, a))
        return;
    for (int skips = 0; o.autoInc && uidGuard; ++skips) {
        const UidVerdict verdict = uidGuard(uid);
        if (verdict.kind == UidVerdict::Kind::Free)
            break;
        if (verdict.kind == UidVerdict::Kind::Pending) {
            // The field holds the UID asked for, past any that may sit on a tag: that one is
            // asked for again, not stepped past a second time.
            m_s.UidUncertain = false;
            m_s.AwaitingRecord = true;
            return;
        }
        const QString held = uid;
        if (verdict.kind == UidVerdict::Kind::Skip && skips < kMaxSkips) {
            a.notices.append({.kind = Notice::Kind::UidSkipped, .uid = uid, .text = verdict.why});
            if (!verdict.next.isEmpty()) {
                uid = verdict.next;
                a.setUid = uid;
            } else if (!stepUid(o, uid, a)) {
                return;
            }
            // A step of 0 never gets past it.
            if (uid != held)
                continue;
        }
        a.uidRefused = verdict.why;
        switchOff(a, QStringLiteral("UID %1 was not written: %2").arg(held, verdict.why));
        return;
    }
    m_s.UidUncertain = false;
    m_s.ExpectedUID = uid;
    m_uidOnTagBefore = m_s.UidOnTag;
    QString mnemonic;
    if (o.base == Options::Base::Hex)
        mnemonic = QStringLiteral("WUX");
    else if (o.base == Options::Base::Dec)
        mnemonic = QStringLiteral("WUD");
    else
        return;
    m_s.UidWriteOutstanding = true;
    m_s.UidOnTag = true;
    Write w;
    w.step = m_s.AutoStep;
    w.block = -1;
    w.sent = uid;
    m_awaiting = w;
    if (m_tag) {
        m_tag->uidAsked = uid;
        m_tag->hexBase = o.base == Options::Base::Hex;
    }
    a.command = mnemonic + uid;
    announce(a);
}

void Engine::onError(int code, const Options &o, Actions &a)
{
    const bool uidAwaited = m_awaiting && m_awaiting->block < 0;
    // A tag whose UID this loop confirmed reports no other ID until it leaves: "The ID is the
    // HEX base!" is then a garbled answer, and a new cycle would write a second UID over the
    // first.
    if (code == Reply::kHexBaseId && !uidAwaited && !uidConfirmedHere()) {
        if (o.withId && !m_s.TagHandled && m_s.AutoWriteRunning)
            beginCycle(a);
        return;
    }
    // Unless an answer given up lately may be arriving now: then "No Precent!" may be that
    // answer, and the lock is not confirmed.
    if (code == Reply::kNoTag && m_s.AutoStep == Step::Lock && !answerMayBeLate()) {
        // A tag locked by the last write no longer answers: that is its confirmation.
        noteAnswer(Step::Lock, QString(), true);
        m_awaiting.reset();
        moveTo(Step::Complete, "a tag locked by the last write no longer answers");
        runSteps(o, a);
        return;
    }
    if (m_awaiting)
        onErrorAnswer(code, a);
}

void Engine::onErrorAnswer(int code, Actions &a)
{
    const Write w = *m_awaiting;
    m_awaiting.reset();
    if (w.block < 0) {
        m_s.UidWriteOutstanding = false;
        // A refusal wrote nothing, so the UID is free for the next attempt unless an earlier
        // write of it went to this tag; after anything else it may sit on the tag.
        // An error soon after an answer was given up may be that answer, late: then this
        // write's own fate is unknown.
        // While the tag is read back, the error answers that question, not the write.
        if (Reply::refusedUntouched(code) && !answerMayBeLate() && !m_readBack)
            m_s.UidOnTag = m_uidOnTagBefore;
        keepInFlight(w.sent);
    }
    m_readBack.reset();
    const QString text = Reply::errorText(code);
    const QString said = text.isEmpty() ? QStringLiteral("error code %1").arg(code)
                                        : QStringLiteral("\"%1\"").arg(text);
    noteAnswer(w.step, text.isEmpty() ? QStringLiteral("ErrCode:0%1").arg(code) : text, false);
    if (!m_s.AutoWriteRunning)
        return;
    // The line goes on: the tag is failed and moved on, not left waiting for a person.
    finishTag(a, true, QStringLiteral("%1 at step %2").arg(said).arg(int(w.step)));
    // No tag answered, so none is in the field to be kept from starting again.
    if (code == Reply::kNoTag)
        m_s.TagHandled = false;
}

void Engine::onMessage(int code, const Options &o, Actions &a)
{
    switch (code) {
    case Reply::kSuccess:
        m_s.SuppressSuccessText = false;
        break;
    case Reply::kNotConfigured:
        if (o.notConfig && !m_s.UidWriteConfirmed && m_s.AutoWriteRunning)
            beginCycle(a);
        m_s.UidWriteConfirmed = false;
        break;
    case Reply::kNoUid:
        if (o.noUid && !m_s.TagHandled && m_s.AutoWriteRunning && !uidConfirmedHere())
            beginCycle(a);
        break;
    case Reply::kOutOfRange:
        onTagLeft(a);
        break;
    default:
        break;
    }
}

// Whatever the loop was doing, it was doing it to the tag that left: its cycle ends here, and
// the next report is a new tag, never an answer for this one.
void Engine::onTagLeft(Actions &a)
{
    m_idCheck.reset();
    m_s.TagHandled = false;
    m_s.UidRetryCount = 0;
    m_s.UidWriteConfirmed = false;
    keepUidInFlight();
    noteLostAnswer();
    settleUid();
    if (m_tag)
        endTag(a, TagOutcome::Result::LeftEarly,
               QStringLiteral("the tag left the field at step %1").arg(int(m_s.AutoStep)));
    m_awaiting.reset();
    m_stallReason.clear();
    if (m_s.AutoStep == Step::Idle) {
        // A tag that left is not started when the record's answer for it comes in.
        forgetRecordWait();
        return;
    }
    moveTo(Step::Idle, "the tag left the field");
    a.timer = StepTimer::Stop;
}

void Engine::onBlockWrite(const Reply::Parsed &r, const Options &o, Actions &a)
{
    const Step s = m_s.AutoStep;
    if (!m_s.AutoWriteRunning || s < Step::Unlock || s > Step::Lock)
        return;
    // Nothing but an identifier answers a UID write, and a write reply nobody waits for (a late
    // answer for the tag before) confirms nothing of this tag.
    if ((m_awaiting && m_awaiting->block < 0) || (m_tag && !m_awaiting))
        return;
    // While the tag is read back, a write answer is one of the answers that were in doubt.
    if (m_readBack)
        return;
    bool ok = true;
    const bool answersThisStep = m_awaiting && m_awaiting->step == s;
    if (answersThisStep) {
        ok = r.block == m_awaiting->block && r.payload == m_awaiting->sent;
    } else if (isBlockStep(s) || s == Step::Password) {
        ok = r.block >= 0 && r.block < 8 && o.blockTexts[size_t(r.block)] == r.payload;
    }
    // An answer that says the write took may be an earlier write's, late (the same value to
    // the tag before): only the tag itself can say.
    if (ok && answersThisStep && otherAnswerMayBeLate(AnswerKind::Write)) {
        readBackFirst(o, a);
        return;
    }
    // A late answer for block 7 may come back at another block's step: what it read back is
    // the password all the same.
    judgeWrite(ok, answersThisStep, shownValue(r.block, r.payload), o, a);
}

void Engine::readBackFirst(const Options &o, Actions &a)
{
    ReadBack rb;
    const Step s = m_s.AutoStep;
    rb.block = m_awaiting->block;
    if (rb.block < 0)
        rb.command = QStringLiteral("GTS");
    else if (s == Step::Lock)
        // A locked tag answers only to its password.
        rb.command = QStringLiteral("RP0") + o.blockTexts[7];
    else
        rb.command = QStringLiteral("RB%1").arg(rb.block);
    m_readBack = rb;
    m_stallReason.clear();
    a.notices.append({.kind = Notice::Kind::AnswerMayBeEarlier, .block = rb.block});
    sendReadBack(a);
}

void Engine::sendReadBack(Actions &a)
{
    // A UID is read back as an ID, the same kind of reply as the answers in doubt: those
    // must be past before the question goes out. A block read answers in a kind of its own.
    if (answerMayBeLate(m_readBack->block < 0 ? AnswerKind::Uid : AnswerKind::Read)) {
        a.timer = StepTimer::Start;
        return;
    }
    m_readBack->sent = true;
    a.command = m_readBack->command;
}

void Engine::onReadBack(const Reply::Parsed &r, const Options &o, Actions &a)
{
    if (!readingBack() || m_readBack->block < 0 || !m_awaiting || r.block != m_readBack->block)
        return;
    m_readBack.reset();
    // One of the two answers, the write's own or the earlier one, may still be on its way.
    keepLost(AnswerKind::Write, *m_awaiting);
    judgeWrite(r.payload == m_awaiting->sent, true, shownValue(r.block, r.payload), o, a);
}

void Engine::judgeWrite(bool ok, bool answersThisStep, const QString &readBack, const Options &o,
                        Actions &a)
{
    const Step s = m_s.AutoStep;
    noteAnswer(s, readBack, ok);
    m_awaiting.reset();
    m_stallReason.clear();
    const bool retry = !ok && answersThisStep && (isBlockStep(s) || s == Step::Password)
                       && m_s.BlockRetryCount < qBound(0, o.blockRetries, kMaxBlockRetries);
    if (retry) {
        ++m_s.BlockRetryCount;
        if (m_tag)
            ++m_tag->retries;
        const int block = s == Step::Password ? 7 : blockOfStep(s);
        a.notices.append({.kind = Notice::Kind::WriteRetried,
                          .block = block,
                          .count = m_s.BlockRetryCount,
                          .limit = o.blockRetries});
        runSteps(o, a);
        return;
    }
    m_s.BlockRetryCount = 0;
    if (s == Step::Unlock || s == Step::Uid) {
        moveTo(nextStep(s), "the write was answered");
        a.timer = StepTimer::Start;
        return;
    }
    if (s <= Step::Password)
        a.notices.append({.kind = Notice::Kind::WriteAnswered, .ok = ok});
    moveTo(nextStep(s), "the write was answered");
    runSteps(o, a);
}

void Engine::onIdentifier(const QString &reported, const Options &o, Actions &a)
{
    // Every ID is compared, recorded and told in the base the job writes in.
    const QString uid = inJobBase(reported, o);
    m_s.LastUID = uid;
    // Kept until read back or pushed out by newer ones: the answer and the tag's own report
    // when it comes back may both still arrive, in either order, after other tags.
    const bool lateAnswer = m_s.UidsInFlight.contains(uid);
    if (lateAnswer) {
        // Still the next UID in the field: it must not be given to another tag.
        if (uid == o.setUidText && !m_s.UidOnTag)
            m_s.UidUncertain = true;
        a.notices.append({.kind = Notice::Kind::LateUid, .uid = uid});
        // While another tag is being written this is the late answer for the one that left,
        // not a new tag: only a tag that left can carry that UID, and none left since.
        const bool writing = m_tag && m_s.AutoStep != Step::Idle;
        if (writing && !(uid == m_s.ExpectedUID && m_s.UidOnTag))
            return;
        // Between tags (also a tag found while the loop was off, which may have left unseen)
        // it is that answer, or that tag back in the field. Neither may start a cycle on
        // whatever (silent, locked) tag the field holds: it is moved on, unwritten.
        if (!writing && m_s.AutoWriteRunning) {
            passRecordedTag(uid, QStringLiteral("by this loop, its answer late"), a);
            return;
        }
    }
    // A read-back answers a UID write this tag was sent; before that it is something else.
    const bool readBack = m_s.AutoStep == Step::Uid && (!m_tag || m_s.UidOnTag);
    if (readBack) {
        readBackCheck(o, a);
        return;
    }
    if (!m_s.AutoWriteRunning) {
        moveTo(Step::TagFound, "a tag was reported while the loop is off");
        return;
    }
    startCycle(uid, o, a);
}

void Engine::startCycle(const QString &uid, const Options &o, Actions &a)
{
    // An ID that is none in the job's base (hexadecimal letters in a decimal job) says the box
    // reports in another base than the loop believes: the record cannot be asked about it, so
    // the tag is not written, and the box is told the base again.
    const bool hex = o.base != Options::Base::Dec;
    if (recordedAt && !Uid::tagId(uid, hex)) {
        passRecordedTag(uid, {}, a);
        m_baseAgain = true;
        return;
    }
    if (!idConfirmed(uid, o, a))
        return;
    const Recorded recorded
        = recordedAt ? recordedAt(uid, o.base != Options::Base::Dec) : Recorded{};
    if (recorded.waiting) {
        // Nothing is sent to a tag before the record says whether it carries a written UID.
        supersede(a);
        moveTo(Step::Idle, "the record is asked whether the tag's ID was written");
        a.timer = StepTimer::Stop;
        m_pendingId = uid;
        m_s.AwaitingRecord = true;
        return;
    }
    const std::optional<QString> &where = recorded.where;
    if (where && !o.rewriteRecorded) {
        passRecordedTag(uid, *where, a);
        return;
    }
    beginCycle(a);
    m_tag->hexBase = o.base != Options::Base::Dec;
    if (where)
        m_tag->uidReplaced = uid;
}

void Engine::passRecordedTag(const QString &uid, const QString &where, Actions &a)
{
    if (m_tag)
        endTag(a, TagOutcome::Result::Stalled,
               QStringLiteral("a tag was reported at step %1").arg(int(m_s.AutoStep)));
    if (where.isEmpty())
        a.notices.append({.kind = Notice::Kind::OtherBase, .uid = uid});
    else
        a.notices.append({.kind = Notice::Kind::AlreadyWritten, .uid = uid, .text = where});
    moveTagOn(a);
}

void Engine::moveTagOn(Actions &a)
{
    m_idCheck.reset();
    settleUid();
    // The buzzer's answer must not turn the warning green.
    m_s.SuppressSuccessText = true;
    m_s.LastTagFailed = true;
    // TagHandled stays: the report may have been a late answer with no tag in the field, and
    // it must not keep the next tag from starting.
    m_awaiting.reset();
    m_stallReason.clear();
    moveTo(Step::Idle, "the tag carries a UID the record holds as written");
    a.command = QStringLiteral("SB1");
    a.timer = StepTimer::Stop;
    a.hold = true;
    m_s.Holding = true;
}

bool Engine::idConfirmed(const QString &uid, const Options &o, Actions &a)
{
    // Only what changes a tag's ID is guarded, and only against a record that knows IDs.
    if (!recordedAt || uid.isEmpty() || !(o.setUid || o.blocks[1] || o.blocks[2]))
        return true;
    if (m_idCheck && m_idCheck->id == uid && (m_idCheck->confirmed || m_idCheck->asked)) {
        m_idCheck->asked = false;
        m_idCheck->confirmed = true;
        return true;
    }
    const int reads = m_idCheck ? m_idCheck->reads : 0;
    m_idCheck = IdCheck{uid, reads};
    askIdAgain(a);
    return false;
}

void Engine::askIdAgain(Actions &a)
{
    supersede(a);
    moveTo(Step::Idle, "the tag's ID is read once more before it is written");
    a.timer = StepTimer::Stop;
    if (++m_idCheck->reads < kIdReads) {
        m_idCheck->asked = true;
        a.command = QStringLiteral("GTS");
        return;
    }
    a.notices.append({.kind = Notice::Kind::IdUnreadable, .uid = m_idCheck->id});
    moveTagOn(a);
}

void Engine::readBackCheck(const Options &o, Actions &a)
{
    const QString &setUid = o.setUidText;
    const QString &read = m_s.LastUID;
    const QString &expected = m_s.ExpectedUID;
    // All ten characters: a line's prefix ("XXXX999999") is as much the tag's ID as its
    // serial, and a garbled prefix must not be reported as written.
    const bool match = read == expected;
    // Until the tag is asked, an ID is one of the answers in doubt.
    if (m_readBack && !m_readBack->sent)
        return;
    // The same UID written to a tag before may still be answered late.
    if (!m_readBack && match && m_awaiting && otherAnswerMayBeLate(AnswerKind::Uid)) {
        readBackFirst(o, a);
        return;
    }
    // Asked after a doubtful answer: that answer, or the write's own, may still come.
    const bool asked = std::exchange(m_readBack, std::nullopt).has_value();
    if (asked && m_awaiting)
        keepLost(AnswerKind::Uid, *m_awaiting);
    m_s.UidWriteOutstanding = false;
    m_awaiting.reset();
    m_stallReason.clear();
    if (!m_tag && m_s.AutoWriteRunning)
        newTag();
    if (m_tag) {
        m_tag->uidRead = read;
        m_tag->uidConfirmed = match;
    }
    if (match) {
        // The UID's fate is known, however late the answer came; if it was this write's
        // answer given up, nothing is on its way any more.
        m_lost.removeIf([&](const LostAnswer &l) {
            if (asked)
                return false;
            return l.kind == AnswerKind::Uid && l.write.block < 0 && l.write.sent == expected
                   && l.serial == (m_tag ? m_tag->serial : 0);
        });
        m_s.UidUncertain = false;
        m_s.UidOnTag = false;
        m_s.UidsInFlight.removeAll(expected);
        m_s.UidWriteConfirmed = true;
        if (o.autoInc) {
            const QString stepped = nextUid(o, setUid);
            if (stepped.isEmpty()) {
                endOfList(o, a, false);
            } else if (outOfRange(o, stepped)) {
                a.notices.append({.kind = Notice::Kind::UidOutOfRange, .uid = stepped});
                m_s.StopAfterTag = true;
            } else {
                a.setUid = stepped;
            }
        }
        m_s.UidRetryCount = 0;
        moveTo(Step::Block1, "the UID read back as written");
        a.timer = StepTimer::Start;
        return;
    }
    m_s.UidWriteConfirmed = false;
    // The write went to this tag; what it read back may be garbled or in the other base.
    m_s.UidOnTag = true;
    moveTo(Step::Uid, "the UID read back wrong: it is written again");
    m_s.TagHandled = false;
    a.timer = StepTimer::Start;
    if (m_tag)
        ++m_tag->retries;
    if (++m_s.UidRetryCount < kUidRetryLimit)
        return;
    a.notices.append({.kind = Notice::Kind::UidGaveUp, .uid = read});
    m_s.UidRetryCount = 0;
    // Five writes went to this tag; a box that reports in the other base reads every one
    // back "wrong", so the UID may be on it all the same (UidOnTag), and is not given again.
    finishTag(a, true,
              QStringLiteral("UID read back as %1 after %2 writes of %3")
                  .arg(read)
                  .arg(kUidRetryLimit)
                  .arg(expected));
}

void Engine::noteAnswer(Step step, const QString &readBack, bool ok)
{
    if (!m_tag || m_tag->writes.isEmpty() || m_tag->writes.last().step != step)
        return;
    Write &w = m_tag->writes.last();
    w.answered = true;
    w.readBack = readBack;
    w.ok = ok;
}

void Engine::supersede(Actions &a)
{
    if (m_tag) {
        const QString reason
            = m_stallReason.isEmpty()
                  ? QStringLiteral("a tag was reported at step %1").arg(int(m_s.AutoStep))
                  : m_stallReason;
        endTag(a, TagOutcome::Result::Stalled, reason);
    }
    settleUid();
    m_awaiting.reset();
    m_stallReason.clear();
}

void Engine::beginCycle(Actions &a)
{
    m_idCheck.reset();
    supersede(a);
    newTag();
    moveTo(Step::TagFound, "a tag was reported");
    a.timer = StepTimer::Start;
}

// A cycle ends: the operator hears and sees how, and the box's buzzer moves a conveyor on.
void Engine::finishTag(Actions &a, bool failed, const QString &detail)
{
    if (m_tag)
        endTag(a, failed ? TagOutcome::Result::Failed : TagOutcome::Result::Complete, detail);
    if (failed) {
        a.notices.append({.kind = Notice::Kind::TagFailed, .text = detail});
        a.beeps = 2;
    } else {
        a.notices.append({.kind = Notice::Kind::TagComplete});
        a.beeps = 1;
    }
    a.stopReplyTimeout = true;
    settleUid();
    m_s.SuppressSuccessText = true;
    m_s.LastTagFailed = failed;
    moveTo(Step::Idle, failed ? "the tag failed" : "the tag is complete");
    m_s.TagHandled = true;
    m_awaiting.reset();
    a.command = QStringLiteral("SB1");
    a.timer = StepTimer::Stop;
    a.hold = true;
    m_s.Holding = true;
    if (!m_s.StopAfterTag)
        return;
    if (!m_listDoneWhy.isEmpty()) {
        // Switching off forgets it.
        const QString why = m_listDoneWhy;
        a.notices.append({.kind = Notice::Kind::RunDone, .text = why});
        a.finished = why;
        switchOff(a, why);
        return;
    }
    switchOff(a, QStringLiteral("UID out of range! Auto Write stopped."));
    a.notices.append({.kind = Notice::Kind::StoppedOutOfRange});
}

void Engine::endTag(Actions &a, TagOutcome::Result result, const QString &detail)
{
    TagOutcome t = *m_tag;
    m_tag.reset();
    // A cycle superseded before it sent anything never touched a tag.
    if (t.writes.isEmpty() && t.uidAsked.isEmpty())
        return;
    t.result = result;
    t.step = m_s.AutoStep;
    t.detail = detail;
    t.endMs = clock();
    a.outcome = t;
}

void Engine::noteStall(const QString &why)
{
    if (m_stallReason.isEmpty())
        m_stallReason = why;
}

} // namespace AutoLoop
