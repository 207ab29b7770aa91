#include "autoloop.h"

#include "core/tagconfig.h"

#include <algorithm>

// The answers to the loop's commands: errors, messages, block writes and their read-backs,
// and the answers given up that may still come late.
namespace AutoLoop {

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
    if (code == Reply::kPasswordWrong && o.unlockList && m_s.AutoWriteRunning && m_awaiting
        && m_awaiting->step == Step::Unlock && m_s.AutoStep == Step::Unlock && !m_readBack) {
        tryUnlockList(o, a);
        return;
    }
    if (m_awaiting)
        onErrorAnswer(code, a);
}

void Engine::tryUnlockList(const Options &o, Actions &a)
{
    const QList<PasswordList::Candidate> &list = o.unlockList->candidates;
    // The job's own password was the first try.
    while (m_unlockTries < list.size() && list[m_unlockTries].password == o.blockTexts[7])
        ++m_unlockTries;
    if (m_unlockTries >= list.size()) {
        noteAnswer(Step::Unlock, Reply::errorText(Reply::kPasswordWrong), false);
        finishTag(a, true,
                  QStringLiteral("no entry of the unlock list opens the tag (%1 tried)")
                      .arg(list.size()));
        return;
    }
    // The same write, with another password: it unlocks the tag only if that one is right.
    a.command = QStringLiteral("WP0") + list[m_unlockTries].password + m_awaiting->sent;
    ++m_unlockTries;
}

void Engine::fieldAsked()
{
    const qint64 now = clock ? clock() : 0;
    if (now - m_fieldAskedAt >= Timing::kReplyTimeoutMs)
        m_fieldQuestions = 0;
    ++m_fieldQuestions;
    m_fieldAskedAt = now;
}

bool Engine::answersFieldQuestion(const QString &report, const Options &o)
{
    const qint64 now = clock ? clock() : 0;
    if (now - m_fieldAskedAt >= Timing::kReplyTimeoutMs)
        m_fieldQuestions = 0;
    // At the default pace the first command waits long enough for every such answer.
    const bool answer = o.pace == Options::Pace::Replies && m_fieldQuestions > 0 && m_tag
                        && m_s.AutoStep != Step::Idle && report == m_lastReport;
    if (answer) {
        --m_fieldQuestions;
        return true;
    }
    m_lastReport = report;
    return false;
}

void Engine::onErrorAnswer(int code, Actions &a)
{
    const Write w = *m_awaiting;
    m_awaiting.reset();
    if (w.block < 0) {
        custodyOn(CustodyEvent::Answered, "the UID write was answered by an error");
        // A refusal wrote nothing, so the UID is free for the next attempt unless an earlier
        // write of it went to this tag; after anything else it may sit on the tag.
        // An error soon after an answer was given up may be that answer, late: then this
        // write's own fate is unknown.
        // While the tag is read back, the error answers that question, not the write.
        if (Reply::refusedUntouched(code) && !answerMayBeLate() && !m_readBack)
            custodyOn(m_uidOnTagBefore ? CustodyEvent::RefusedAfterEarlierWrite
                                       : CustodyEvent::RefusedUntouched,
                      "the box refused the UID write and wrote nothing");
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
        if (o.notConfig && !m_s.UidWriteConfirmed && m_s.AutoWriteRunning
            && !answersFieldQuestion(QStringLiteral("message 3"), o))
            beginCycle(a);
        m_s.UidWriteConfirmed = false;
        break;
    case Reply::kNoUid:
        if (o.noUid && !m_s.TagHandled && m_s.AutoWriteRunning && !uidConfirmedHere()
            && !answersFieldQuestion(QStringLiteral("message 4"), o))
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
    // The box answers in order: what it was asked before the tag left is answered by now.
    m_fieldQuestions = 0;
    m_lastReport.clear();
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
        // A tag without a password takes no password write: the box answers with its block 0
        // as it stands. Unprotected, it needs no unlock; the Uid step writes block 0 plainly,
        // and that write is confirmed as any other. The unlock wrote nothing to record.
        if (!ok && s == Step::Unlock && r.block == 0 && Reply::isBlockValue(r.payload)
            && !(r.payload.toUInt(nullptr, 16) & (TagConfig::kPwd | TagConfig::kAor))) {
            m_unlockSkipped = true;
            ok = true;
            if (m_tag && !m_tag->writes.isEmpty() && m_tag->writes.last().step == Step::Unlock)
                m_tag->writes.removeLast();
        }
    } else if (isBlockStep(s) || s == Step::Password) {
        ok = r.block >= 0 && r.block < 8 && o.blockTexts[size_t(r.block)] == r.payload;
    }
    // An answer that says the write took may be an earlier write's, late (the same value to
    // the tag before): only the tag itself can say.
    if (ok && answersThisStep && otherAnswerMayBeLate(AnswerKind::Write)) {
        readBackFirst(o, a);
        return;
    }
    if (ok && answersThisStep && s == Step::Unlock && m_unlockTries > 0 && m_tag) {
        const PasswordList::Candidate &entry = o.unlockList->candidates[m_unlockTries - 1];
        m_tag->detail = QStringLiteral("unlocked with list entry %1 (%2)")
                            .arg(m_unlockTries)
                            .arg(entry.source);
        a.notices.append({.kind = Notice::Kind::UnlockedFromList, .text = m_tag->detail});
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
        a.timer = StepTimer::Wait;
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

} // namespace AutoLoop
