#include "autoloop.h"

#include "core/configword.h"
#include "core/palette.h"
#include "core/uid.h"

#include <QDateTime>

using namespace Palette;

namespace AutoLoop {

const Write *TagOutcome::writeAt(int step) const
{
    for (const Write &w : writes) {
        if (w.step == step)
            return &w;
    }
    return nullptr;
}

bool TagOutcome::passwordWritten() const
{
    const Write *w = writeAt(kPassword);
    return w && w->ok;
}

bool TagOutcome::locked() const
{
    const Write *w = writeAt(kLock);
    return w && w->ok;
}

QString TagOutcome::firstFailure() const
{
    for (const Write &w : writes) {
        if (w.answered && !w.ok)
            return QStringLiteral("block %1 written %2, read back %3")
                .arg(w.block)
                .arg(w.sent, w.readBack);
    }
    return {};
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
}

Actions Engine::start()
{
    Actions a;
    m_s.AutoWriteRunning = true;
    m_s.StopAfterTag = false;
    a.block0 = ConfigWord::kStandard;
    return a;
}

Actions Engine::stop()
{
    Actions a;
    turnOff(a, QStringLiteral("stopped by the operator at step %1").arg(m_s.AutoStep));
    return a;
}

Actions Engine::linkClosed()
{
    Actions a;
    if (m_tag)
        endTag(a, TagOutcome::Result::Stopped,
               QStringLiteral("the link closed at step %1").arg(m_s.AutoStep));
    m_s.AutoWriteRunning = false;
    m_s.StopAfterTag = false;
    return a;
}

void Engine::turnOff(Actions &a, const QString &why)
{
    if (m_tag)
        endTag(a, TagOutcome::Result::Stopped, why);
    m_s.AutoWriteRunning = false;
    m_s.StopAfterTag = false;
    m_s.TickDeferred = false;
    m_s.AutoStep = kIdle;
    m_awaiting.reset();
    a.timer = StepTimer::Stop;
}

void Engine::switchOff(Actions &a, const QString &why)
{
    turnOff(a, why);
    a.switchedOff = true;
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
    if (!m_s.TickDeferred)
        return a;
    m_s.TickDeferred = false;
    runSteps(o, a);
    return a;
}

Actions Engine::replyTimedOut()
{
    Actions a;
    // A UID write whose answer never came may or may not have reached the tag.
    if (m_s.UidWriteOutstanding)
        m_s.UidUncertain = true;
    m_s.UidWriteOutstanding = false;
    if (m_awaiting && m_tag)
        noteStall(QStringLiteral("no reply at step %1").arg(m_awaiting->step));
    return a;
}

Actions Engine::reply(const Reply::Parsed &r, const Options &o)
{
    Actions a;
    switch (r.kind) {
    case Reply::Kind::Error:
        onError(r.code, o, a);
        break;
    case Reply::Kind::Message:
        onMessage(r.code, o, a);
        break;
    case Reply::Kind::BlockWrite:
        onBlockWrite(r, o, a);
        break;
    case Reply::Kind::Identifier:
        onIdentifier(r.payload, o, a);
        break;
    case Reply::Kind::BlockRead:
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
    for (;;) {
        const int s = m_s.AutoStep;
        if (s == kTagFound) {
            m_s.AutoStep = kUnlock;
            a.timer = StepTimer::Start;
            return;
        }
        if (s == kUnlock && o.autoUnlock) {
            o.blockTexts[0] = ConfigWord::unlocked(o.blockTexts[0]);
            a.block0 = o.blockTexts[0];
            send(a, 0, QStringLiteral("WP0") + o.blockTexts[7] + o.blockTexts[0], o.blockTexts[0]);
            return;
        }
        if (s == kUid) {
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
        if (s >= kFirstBlock && s <= kLastBlock && o.blocks[size_t(s - 3)]) {
            const int n = s - 3;
            send(a, n, QStringLiteral("WB%1").arg(n) + o.blockTexts[size_t(n)],
                 o.blockTexts[size_t(n)]);
            return;
        }
        if (s == kPassword && o.writePassword) {
            send(a, 7, QStringLiteral("WB7") + o.blockTexts[7], o.blockTexts[7]);
            return;
        }
        if (s == kLock && o.lock) {
            send(a, 0, QStringLiteral("WB0") + ConfigWord::kWithPwdAor, ConfigWord::kWithPwdAor);
            return;
        }
        if (s == kComplete) {
            const QString failure = m_tag ? m_tag->firstFailure() : QString();
            finishTag(a, !failure.isEmpty(), failure);
            return;
        }
        if (s < kUnlock || s > kComplete)
            return;
        m_s.AutoStep = s + 1;
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
}

bool Engine::stepUid(const Options &o, QString &uid, Actions &a)
{
    const QString stepped = Uid::StepSetUid(uid, Uid::leadingNumber(o.incText));
    if (stepped.size() > Uid::kLength) {
        const QString text = QStringLiteral("UID out of range! (") + stepped + u')';
        a.messages.append({text, ColorOrangeRed});
        switchOff(a, text);
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
        const QString held = uid;
        if (verdict.kind == UidVerdict::Kind::Skip && skips < kMaxSkips) {
            a.log.append(
                {QStringLiteral("UID %1 skipped: %2\r\n").arg(uid, verdict.why), ColorOrangeRed});
            if (!stepUid(o, uid, a))
                return;
            // A step of 0 never gets past it.
            if (uid != held)
                continue;
        }
        a.uidRefused = verdict.why;
        switchOff(a, QStringLiteral("UID %1 was not written: %2").arg(held, verdict.why));
        return;
    }
    m_s.UidUncertain = false;
    m_s.TagLeftSinceUidWrite = false;
    m_s.ExpectedUID = uid;
    QString mnemonic;
    if (o.base == Options::Base::Hex)
        mnemonic = QStringLiteral("WUX");
    else if (o.base == Options::Base::Dec)
        mnemonic = QStringLiteral("WUD");
    else
        return;
    m_s.UidWriteOutstanding = true;
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
    if (code == 6) {
        if (o.withId && !m_s.TagHandled && m_s.AutoWriteRunning)
            beginCycle(a);
        return;
    }
    if (code == 3 && m_s.AutoStep == kLock) {
        // A tag locked by the last write no longer answers: that is its confirmation.
        noteAnswer(kLock, QString(), true);
        m_awaiting.reset();
        m_s.AutoStep = kComplete;
        runSteps(o, a);
        return;
    }
    // An error answers the UID write as little as silence does.
    if (m_s.UidWriteOutstanding)
        m_s.UidUncertain = true;
    m_s.UidWriteOutstanding = false;
    if (m_awaiting && m_tag)
        noteStall(QStringLiteral("\"%1\" at step %2")
                      .arg(Reply::errorText(code), QString::number(m_awaiting->step)));
}

void Engine::onMessage(int code, const Options &o, Actions &a)
{
    switch (code) {
    case 1:
        m_s.SuppressSuccessText = false;
        break;
    case 2:
        m_s.TagLeftSinceUidWrite = true;
        break;
    case 3:
        if (o.notConfig && !m_s.UidWriteConfirmed && m_s.AutoWriteRunning)
            beginCycle(a);
        m_s.UidWriteConfirmed = false;
        break;
    case 4:
        if (o.noUid && !m_s.TagHandled && m_s.AutoWriteRunning)
            beginCycle(a);
        break;
    case 5: {
        m_s.TagHandled = false;
        m_s.UidRetryCount = 0;
        m_s.TagLeftSinceUidWrite = true;
        const bool retry = m_s.AutoWriteRunning && m_s.AutoStep == kUid
                           && m_s.LastUID == m_s.ExpectedUID && !m_s.UidWriteConfirmed;
        if (retry) {
            m_s.AutoStep = kUid;
            m_s.TagHandled = false;
            a.timer = StepTimer::Start;
            m_s.UidRetryCount = 1;
            if (m_tag)
                ++m_tag->retries;
        } else if (m_tag) {
            endTag(a, TagOutcome::Result::LeftEarly,
                   QStringLiteral("the tag left the field at step %1").arg(m_s.AutoStep));
        }
        m_s.UidWriteConfirmed = false;
        break;
    }
    default:
        break;
    }
}

void Engine::onBlockWrite(const Reply::Parsed &r, const Options &o, Actions &a)
{
    const int s = m_s.AutoStep;
    if (!m_s.AutoWriteRunning || s < kUnlock || s > kLock)
        return;
    bool ok = true;
    if (m_awaiting && m_awaiting->step == s) {
        ok = r.block == m_awaiting->block && r.payload == m_awaiting->sent;
    } else if (s >= kFirstBlock && s <= kPassword) {
        ok = r.block >= 0 && r.block < 8 && o.blockTexts[size_t(r.block)] == r.payload;
    }
    noteAnswer(s, r.payload, ok);
    m_awaiting.reset();
    m_stallReason.clear();
    if (s == kUnlock || s == kUid) {
        m_s.AutoStep = s + 1;
        a.timer = StepTimer::Start;
        return;
    }
    if (s <= kPassword) {
        if (ok)
            a.messages.append({QStringLiteral("Write Ok! "), ColorDeepPink});
        else
            a.messages.append({QStringLiteral("Write Error! "), ColorOrangeRed});
    }
    m_s.AutoStep = s + 1;
    runSteps(o, a);
}

void Engine::onIdentifier(const QString &uid, const Options &o, Actions &a)
{
    m_s.LastUID = uid;
    if (m_s.AutoStep == kUid) {
        readBackCheck(o, a);
        return;
    }
    if (m_s.AutoWriteRunning) {
        beginCycle(a);
        return;
    }
    m_s.AutoStep = kTagFound;
}

void Engine::readBackCheck(const Options &o, Actions &a)
{
    const bool wasUncertain = m_s.UidUncertain;
    m_s.UidWriteOutstanding = false;
    m_awaiting.reset();
    m_stallReason.clear();
    const QString &setUid = o.setUidText;
    const bool prefixForm = !Uid::isDecimal(setUid) || Uid::leadingNumber(setUid.left(4)) > 0;
    const QString &read = m_s.LastUID;
    const QString &expected = m_s.ExpectedUID;
    const bool match = read == expected || (prefixForm && read.mid(4, 6) == expected.mid(4, 6));
    // The tag that left had its outcome; what is written from here on goes to this one.
    if (!m_tag && m_s.AutoWriteRunning)
        newTag();
    if (m_tag) {
        m_tag->uidRead = read;
        m_tag->uidConfirmed = match;
    }
    if (match) {
        // The UID's fate is known now, however late the answer came.
        m_s.UidUncertain = false;
        m_s.UidWriteConfirmed = true;
        if (o.autoInc) {
            const QString stepped = Uid::StepSetUid(setUid, Uid::leadingNumber(o.incText));
            if (stepped.size() > Uid::kLength) {
                a.messages.append(
                    {QStringLiteral("UID out of range! (") + stepped + u')', ColorOrangeRed});
                m_s.StopAfterTag = true;
            } else {
                a.setUid = stepped;
            }
        }
        m_s.UidRetryCount = 0;
        m_s.AutoStep = kFirstBlock;
        a.timer = StepTimer::Start;
        return;
    }
    // The same write again on the same tag; but once the field held another tag, the UID
    // that went unanswered may sit on the one that left.
    m_s.UidUncertain = wasUncertain && m_s.TagLeftSinceUidWrite;
    m_s.UidWriteConfirmed = false;
    m_s.AutoStep = kUid;
    m_s.TagHandled = false;
    a.timer = StepTimer::Start;
    if (m_tag)
        ++m_tag->retries;
    if (++m_s.UidRetryCount < kUidRetryLimit)
        return;
    a.log.append(
        {QStringLiteral("Error - can not Write UID!   ID: ") + read + QStringLiteral("\r\n"),
         ColorOrangeRed, 16});
    m_s.UidRetryCount = 0;
    finishTag(a, true,
              QStringLiteral("UID read back as %1 after %2 writes of %3")
                  .arg(read)
                  .arg(kUidRetryLimit)
                  .arg(expected));
}

void Engine::noteAnswer(int step, const QString &readBack, bool ok)
{
    if (!m_tag || m_tag->writes.isEmpty() || m_tag->writes.last().step != step)
        return;
    Write &w = m_tag->writes.last();
    w.answered = true;
    w.readBack = readBack;
    w.ok = ok;
}

void Engine::beginCycle(Actions &a)
{
    if (m_tag) {
        const QString reason
            = m_stallReason.isEmpty()
                  ? QStringLiteral("a tag was reported at step %1").arg(m_s.AutoStep)
                  : m_stallReason;
        endTag(a, TagOutcome::Result::Stalled, reason);
    }
    newTag();
    m_awaiting.reset();
    m_stallReason.clear();
    m_s.AutoStep = kTagFound;
    a.timer = StepTimer::Start;
}

// A cycle ends: the operator hears and sees how, and the box's buzzer moves a conveyor on.
void Engine::finishTag(Actions &a, bool failed, const QString &detail)
{
    if (m_tag)
        endTag(a, failed ? TagOutcome::Result::Failed : TagOutcome::Result::Complete, detail);
    if (failed) {
        a.messages.append({QStringLiteral(" Auto Write Failed!"), ColorRed});
        a.log.append(
            {QStringLiteral("Auto Write Failed! ") + detail + QStringLiteral("\r\n"), ColorRed, 9});
        a.beeps = 2;
    } else {
        a.messages.append({QStringLiteral(" Auto Write Complete!\r\n"), ColorGreen});
        a.beeps = 1;
    }
    a.stopReplyTimeout = true;
    m_s.SuppressSuccessText = true;
    m_s.LastTagFailed = failed;
    m_s.AutoStep = kIdle;
    m_s.TagHandled = true;
    m_awaiting.reset();
    a.command = QStringLiteral("SB1");
    a.timer = StepTimer::Stop;
    a.hold = true;
    m_s.Holding = true;
    if (!m_s.StopAfterTag)
        return;
    switchOff(a, QString());
    a.messages.append({QStringLiteral("UID out of range! Auto Write stopped."), ColorOrangeRed});
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
