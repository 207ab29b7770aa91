#include "autoloop.h"

#include "core/configword.h"
#include "core/uid.h"

#include <QDateTime>
#include <QFileInfo>

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

QString nextUid(const Options &o, const QString &uid)
{
    if (o.uidList)
        return o.uidList->after(uid).value_or(QString());
    return Uid::StepSetUid(uid, Uid::leadingNumber(o.incText));
}

void chooseByWords(Options &o, const QStringList &words)
{
    const Options defaults;
    for (const Flag &f : kFlags) {
        // One on by default (a start condition) is only ever named to be on.
        if (words.contains(QLatin1String(f.word)))
            o.*f.member = true;
        else if (!(defaults.*f.member))
            o.*f.member = false;
    }
    if (words.contains(QLatin1String("dec")))
        o.base = Options::Base::Dec;
    for (int n = 1; n <= 6; ++n)
        o.blocks[size_t(n)] = words.contains(QStringLiteral("cb%1").arg(n));
}

QStringList batchOptionNames(const Options &o)
{
    QStringList names;
    const bool anyBlock
        = std::any_of(o.blocks.cbegin() + 1, o.blocks.cend(), [](bool b) { return b; });
    for (const Flag &f : kFlags) {
        if (f.member == &Options::writePassword && anyBlock)
            names << QStringLiteral("Write Block");
        // "Auto inc (UID+)" steps the UID "Auto Set UID" writes: alone it does nothing.
        const bool on = f.member == &Options::autoInc ? o.setUid && o.autoInc : o.*f.member;
        if (on && f.batchName)
            names << QString::fromLatin1(f.batchName);
    }
    if (o.pace != Options::Pace::Ticks)
        names << QStringLiteral("Pace: %1").arg(QLatin1StringView(paceName(o.pace)));
    if (o.autoUnlock && o.unlockList)
        names << QStringLiteral("Unlock list: %1 (%2 entries)")
                     .arg(QFileInfo(o.unlockList->file).fileName())
                     .arg(o.unlockList->candidates.size());
    return names;
}

const char *paceName(Options::Pace p)
{
    return p == Options::Pace::Replies ? "replies" : "ticks";
}

std::optional<Options::Pace> paceNamed(const QString &name)
{
    for (const Options::Pace p : {Options::Pace::Ticks, Options::Pace::Replies}) {
        if (name == QLatin1StringView(paceName(p)))
            return p;
    }
    return std::nullopt;
}

int stepIntervalMs(const Options &o, Step at, StepTimer timer)
{
    const int step = qBound(kMinStepMs, o.stepMs, kMaxStepMs);
    if (o.pace == Options::Pace::Replies) {
        if (at == Step::TagFound)
            return qBound(0, o.firstCommandMs, kMaxFirstCommandMs);
        return timer == StepTimer::Wait ? step : 0;
    }
    const int first = qBound(step, o.firstCommandMs, kMaxFirstCommandMs);
    // A reported tag waits two ticks for its first command: the first makes up the rest.
    return at == Step::TagFound ? qMax(first - step, 1) : step;
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

Custody custodyAfter(Custody c, CustodyEvent e)
{
    using C = Custody;
    const bool gone = mayBeOnGoneTag(c);
    switch (e) {
    case CustodyEvent::Sent:
        return C::Writing;
    case CustodyEvent::Answered:
        return c == C::Writing ? C::OnTag : c;
    case CustodyEvent::RefusedUntouched:
        if (c == C::Writing || c == C::OnTag)
            return C::Free;
        return c == C::GoneAndOnTag ? C::Gone : c;
    case CustodyEvent::RefusedAfterEarlierWrite:
    case CustodyEvent::ReadBackWrong:
        return gone ? C::GoneAndOnTag : C::OnTag;
    case CustodyEvent::ReadBackRight:
        return C::Free;
    case CustodyEvent::CycleEnded:
        return mayBeOnFieldTag(c) ? C::Gone : c;
    case CustodyEvent::NextChosen:
        if (c == C::Gone)
            return C::Free;
        return c == C::GoneAndOnTag ? C::OnTag : c;
    case CustodyEvent::SeenLate:
        return mayBeOnFieldTag(c) ? c : C::Gone;
    }
    return c;
}

const char *stepName(Step s)
{
    static constexpr std::array<const char *, 13> names{
        "Idle",   "TagFound", "Unlock", "Uid",      "Block1", "Block2",  "Block3",
        "Block4", "Block5",   "Block6", "Password", "Lock",   "Complete"};
    const int i = int(s);
    return i >= 0 && i < int(names.size()) ? names[i] : "?";
}

const char *custodyName(Custody c)
{
    static constexpr std::array<const char *, 5> names{"Free", "Writing", "OnTag", "Gone",
                                                       "GoneAndOnTag"};
    const int i = int(c);
    return i >= 0 && i < int(names.size()) ? names[i] : "?";
}

void Engine::custodyOn(CustodyEvent e, const char *why)
{
    const Custody from = m_s.UidCustody;
    m_s.UidCustody = custodyAfter(from, e);
    if (custodyTrace && m_s.UidCustody != from)
        custodyTrace(from, m_s.UidCustody, why);
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
    // A step left over from a link that closed mid-tag belongs to no tag now. Nor does a tag
    // reported while the loop was off: no tick would come for it, so the field is asked again.
    if (m_s.AutoStep >= Step::TagFound && !m_tag)
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
    // until a read-back says otherwise or the tag's cycle ends.
    custodyOn(CustodyEvent::Answered, "the UID write's answer never came");
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
                fieldAsked();
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
            if (m_unlockSkipped) {
                const QString word = ConfigWord::unlocked(o.blockTexts[0]);
                send(a, 0, QStringLiteral("WB0") + word, word);
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
    m_unlockTries = 0;
    m_unlockSkipped = false;
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
    // What the cycle noted on the way (an unlock from the list) stays.
    t.detail = t.detail.isEmpty() ? detail
               : detail.isEmpty() ? t.detail
                                  : t.detail + QStringLiteral("; ") + detail;
    t.endMs = clock();
    a.outcome = t;
}

void Engine::noteStall(const QString &why)
{
    if (m_stallReason.isEmpty())
        m_stallReason = why;
}

} // namespace AutoLoop
