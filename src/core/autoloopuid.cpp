#include "autoloop.h"

#include "core/uid.h"

#include <algorithm>

// The UID's custody and the tags' IDs: which UID is written next and whether it may be, the
// box's base, a reported ID checked against the record, and the UID read back.
namespace AutoLoop {

// Eleven digits, or a decimal ID past 32 bits: no tag can be given it, and the record would
// refuse it, so the run says so in the operator's words instead of blaming the record.
namespace {
bool outOfRange(const Options &o, const QString &stepped)
{
    return stepped.size() > Uid::kLength
           || (o.base == Options::Base::Dec && !Uid::tagId(stepped, false));
}
} // namespace

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
    if (mayBeOnFieldTag(m_s.UidCustody))
        keepInFlight(m_s.ExpectedUID);
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

void Engine::settleUid()
{
    custodyOn(CustodyEvent::CycleEnded, "the tag's cycle ended");
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
    if (mayBeOnGoneTag(m_s.UidCustody) && o.autoInc && !stepUid(o, uid, a))
        return;
    for (int skips = 0; o.autoInc && uidGuard; ++skips) {
        const UidVerdict verdict = uidGuard(uid);
        if (verdict.kind == UidVerdict::Kind::Free)
            break;
        if (verdict.kind == UidVerdict::Kind::Pending) {
            // The field holds the UID asked for, past any that may sit on a tag: that one is
            // asked for again, not stepped past a second time.
            custodyOn(CustodyEvent::NextChosen, "the record is asked for the next UID");
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
    custodyOn(CustodyEvent::NextChosen, "the UID to write is chosen");
    m_s.ExpectedUID = uid;
    m_uidOnTagBefore = mayBeOnFieldTag(m_s.UidCustody);
    QString mnemonic;
    if (o.base == Options::Base::Hex)
        mnemonic = QStringLiteral("WUX");
    else if (o.base == Options::Base::Dec)
        mnemonic = QStringLiteral("WUD");
    else
        return;
    custodyOn(CustodyEvent::Sent, "the UID write leaves");
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
        if (uid == o.setUidText)
            custodyOn(CustodyEvent::SeenLate, "a late answer carries the next UID");
        a.notices.append({.kind = Notice::Kind::LateUid, .uid = uid});
        // While another tag is being written this is the late answer for the one that left,
        // not a new tag: only a tag that left can carry that UID, and none left since.
        const bool writing = m_tag && m_s.AutoStep != Step::Idle;
        if (writing && !(uid == m_s.ExpectedUID && mayBeOnFieldTag(m_s.UidCustody)))
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
    const bool readBack = m_s.AutoStep == Step::Uid && (!m_tag || mayBeOnFieldTag(m_s.UidCustody));
    if (readBack) {
        readBackCheck(o, a);
        return;
    }
    if (!m_s.AutoWriteRunning) {
        moveTo(Step::TagFound, "a tag was reported while the loop is off");
        return;
    }
    if (answersFieldQuestion(QStringLiteral("ID ") + uid, o))
        return;
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
    custodyOn(CustodyEvent::Answered, "the UID is read back");
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
        custodyOn(CustodyEvent::ReadBackRight, "the UID read back as written");
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
    custodyOn(CustodyEvent::ReadBackWrong, "the UID read back wrong");
    moveTo(Step::Uid, "the UID read back wrong: it is written again");
    m_s.TagHandled = false;
    // After a tick at any pace: the box's report that this tag left may be on its way behind
    // the answer, and the same UID must not go to the tag that took its place.
    a.timer = StepTimer::Wait;
    if (m_tag)
        ++m_tag->retries;
    if (++m_s.UidRetryCount < kUidRetryLimit)
        return;
    a.notices.append({.kind = Notice::Kind::UidGaveUp, .uid = read});
    m_s.UidRetryCount = 0;
    // Five writes went to this tag; a box that reports in the other base reads every one
    // back "wrong", so the UID may be on it all the same (OnTag), and is not given again.
    finishTag(a, true,
              QStringLiteral("UID read back as %1 after %2 writes of %3")
                  .arg(read)
                  .arg(kUidRetryLimit)
                  .arg(expected));
}

} // namespace AutoLoop
