#include "linesim.h"

#include "box/boxengine.h"
#include "core/autoloop.h"
#include "core/reply.h"
#include "core/timing.h"
#include "core/uid.h"
#include "station/record/productionrecord.h"
#include "station/record/uidcustody.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cctype>
#include <functional>
#include <map>

namespace LineSim {
namespace {

using namespace AutoLoop;

// The line's own timing, as the window and the box have it.
constexpr double kCharMs = 1.0416667;
constexpr qint64 kQuietMs = 20;
constexpr qint64 kTimeoutMs = 800;
constexpr qint64 kHoldMs = 180;
constexpr qint64 kConveyorLeaveMs = 50;
constexpr qint64 kRestartMs = 500;
constexpr qint64 kReconnectMs = 1000;
// A tag left in the field of a healthy line is finished within this time.
constexpr qint64 kPromiseMs = 10000;
// The operator takes away a tag that nothing happens to.
constexpr qint64 kOperatorGivesUpMs = 12000;
// The box needs this long to find a tag after another left; only the same tag bouncing
// back in the field is seen sooner.
constexpr qint64 kNewTagMs = 60;
constexpr int kRecordedTags = 20;
constexpr quint64 kRecordedBase = 3000000000ULL;
constexpr quint64 kForeignBase = 3500000000ULL;
constexpr quint32 kWrongPassword = 0x0BADCAFE;
// Of no list: a tag with it fails even with the unlock list.
constexpr quint32 kUnknownPassword = 0x7E57AB1E;
const QString kPassword = QStringLiteral("5EC12E7A");

struct Fault {
    QString kind;
    int code = 0;
    // Where in the reply a garble lands, how late a late answer comes, where a split falls.
    int salt = 0;
};

struct Presentation {
    QString kind;
    int arg = 0;
    qint64 gap = 0;
    qint64 pull = -1;
    qint64 stop = -1;
    qint64 close = -1;
    // Filled in by the run.
    qint64 reportedAt = -1;
    bool healthy = true;
    bool finished = false;
    // Faults on the answers to the commands sent while this tag was the last to enter, by the
    // command's number counted from its entry; and the record's slow answers, by question.
    QMap<int, Fault> faults;
    QMap<int, int> slows;
};

// "3:garbled:1234", "5:error7:88": kept on the tag's line, so removing other lines while
// shrinking leaves it on the same command.
QString anchoredText(int k, const Fault &f)
{
    const QString kind
        = f.kind == QLatin1String("error") ? QStringLiteral("error%1").arg(f.code) : f.kind;
    return QStringLiteral("%1:%2:%3").arg(k).arg(kind).arg(f.salt);
}

Fault parseAnchored(const QStringList &parts)
{
    Fault f;
    f.kind = parts.value(1);
    if (f.kind.startsWith(QLatin1String("error"))) {
        f.code = f.kind.mid(5).toInt();
        f.kind = QStringLiteral("error");
    }
    f.salt = parts.value(2).toInt();
    return f;
}

QString presentationText(const Presentation &p)
{
    QString line = QStringLiteral("present ") + p.kind;
    if (p.kind == QLatin1String("earlier"))
        line += QStringLiteral(" %1").arg(p.arg);
    if (p.kind == QLatin1String("recorded"))
        line += QStringLiteral(" %1").arg(p.arg);
    line += QStringLiteral(" gap %1").arg(p.gap);
    if (p.pull >= 0)
        line += QStringLiteral(" pull %1").arg(p.pull);
    if (p.stop >= 0)
        line += QStringLiteral(" stop %1").arg(p.stop);
    if (p.close >= 0)
        line += QStringLiteral(" close %1").arg(p.close);
    QStringList items;
    for (auto it = p.faults.cbegin(); it != p.faults.cend(); ++it)
        items << anchoredText(it.key(), it.value());
    if (!items.isEmpty())
        line += QStringLiteral(" faults ") + items.join(u',');
    items.clear();
    for (auto it = p.slows.cbegin(); it != p.slows.cend(); ++it)
        items << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    if (!items.isEmpty())
        line += QStringLiteral(" slows ") + items.join(u',');
    return line;
}

Presentation parsePresentation(const QStringList &w)
{
    Presentation p;
    p.kind = w.value(1);
    int i = 2;
    if (p.kind == QLatin1String("earlier") || p.kind == QLatin1String("recorded"))
        p.arg = w.value(i++).toInt();
    for (; i + 1 < w.size(); i += 2) {
        if (w[i] == QLatin1String("faults") || w[i] == QLatin1String("slows")) {
            for (const QString &item : w[i + 1].split(u',', Qt::SkipEmptyParts)) {
                const QStringList parts = item.split(u':');
                if (w[i] == QLatin1String("faults"))
                    p.faults.insert(parts.value(0).toInt(), parseAnchored(parts));
                else
                    p.slows.insert(parts.value(0).toInt(), parts.value(1).toInt());
            }
            continue;
        }
        const qint64 v = w[i + 1].toLongLong();
        if (w[i] == QLatin1String("gap"))
            p.gap = v;
        else if (w[i] == QLatin1String("pull"))
            p.pull = v;
        else if (w[i] == QLatin1String("stop"))
            p.stop = v;
        else if (w[i] == QLatin1String("close"))
            p.close = v;
    }
    return p;
}

class Line {
public:
    Line(const QString &recordPath, const QStringList &script, QRandomGenerator *rng,
         double faultRate)
        : m_rng(rng)
        , m_faultRate(faultRate)
    {
        QFile::remove(recordPath);
        QFile::remove(recordPath + QStringLiteral("-wal"));
        QFile::remove(recordPath + QStringLiteral("-shm"));
        m_record = std::make_unique<ProductionRecord>(recordPath);
        for (const QString &line : script) {
            const QStringList w = line.split(u' ', Qt::SkipEmptyParts);
            if (w.value(0) == QLatin1String("options"))
                m_optionWords = w.mid(1);
            else if (w.value(0) == QLatin1String("present"))
                m_presentations << parsePresentation(w);
            else if (w.value(0) == QLatin1String("start"))
                m_start = parsePresentation(QStringList{w[0], QString()} + w.mid(1));
            else if (w.value(0) == QLatin1String("fault")) {
                // Scripts of this form garble from the reply's fourth character on.
                const int n = w.value(1).toInt();
                const bool garble = w.value(2) == QLatin1String("garbled");
                m_faults.insert(n, {w.value(2), w.value(3).toInt(), garble ? 3 + n % 7 : n});
            } else if (w.value(0) == QLatin1String("slow"))
                m_slow.insert(w.value(1).toInt(), w.value(2).toInt());
        }
        m_result.script = script;
    }

    Result go()
    {
        setUp();
        if (!m_presentations.isEmpty())
            at(m_presentations[0].gap, [this] { present(0); });
        while (!m_queue.empty() && m_result.violation.isEmpty()) {
            auto first = m_queue.begin();
            m_now = first->first.first;
            const std::function<void()> f = std::move(first->second);
            m_queue.erase(first);
            f();
            checkWaitingTag();
        }
        if (m_result.violation.isEmpty())
            finalChecks();
        // The same line with every fault on its tag's line, cut after the tag that broke a
        // promise: what the shrinking works on.
        QStringList all{QStringLiteral("options ") + m_optionWords.join(u' ')};
        const bool start = !m_start.faults.isEmpty() || !m_start.slows.isEmpty();
        if (start)
            all << presentationText(m_start).replace(QStringLiteral("present  gap 0"),
                                                     QStringLiteral("start"));
        for (const Presentation &p : m_presentations)
            all << presentationText(p);
        const qsizetype last
            = m_result.violation.isEmpty() ? m_presentations.size() : m_lastPresented + 1;
        m_result.anchored = all.mid(0, last + 1 + (start ? 1 : 0));
        // A random line is told as it ran, every fault on its tag's line.
        if (m_rng)
            m_result.script = all;
        m_result.simulatedMs = m_now;
        m_result.setUid = m_o.setUidText;
        m_result.pace = QString::fromLatin1(paceName(m_o.pace));
        return m_result;
    }

private:
    void setUp()
    {
        m_o.base = Options::Base::Hex;
        chooseByWords(m_o, m_optionWords);
        const int retries = int(m_optionWords.indexOf(QLatin1String("retries")));
        m_o.blockRetries = retries >= 0 ? m_optionWords.value(retries + 1).toInt() : 0;
        m_o.blockTexts = {QStringLiteral("00148040"), QStringLiteral("11111111"),
                          QStringLiteral("22222222"), QStringLiteral("33333333"),
                          QStringLiteral("44444444"), QStringLiteral("55555555"),
                          QStringLiteral("66666666"), kPassword};
        const int inc = int(m_optionWords.indexOf(QLatin1String("inc")));
        m_o.incText = QStringLiteral("%1").arg(inc >= 0 ? m_optionWords.value(inc + 1).toInt() : 1,
                                               10, 10, QLatin1Char('0'));
        const int uid = int(m_optionWords.indexOf(QLatin1String("uid")));
        m_o.setUidText = uid >= 0 ? m_optionWords.value(uid + 1) : QStringLiteral("0000001000");
        m_hex = m_o.base == Options::Base::Hex;
        if (m_optionWords.contains(QLatin1String("replies"))) {
            m_o.pace = Options::Pace::Replies;
            const int first = int(m_optionWords.indexOf(QLatin1String("first")));
            m_o.firstCommandMs
                = first >= 0 ? m_optionWords.value(first + 1).toInt() : kRepliesFirstCommandMs;
        }
        // At pace replies an answer is taken at its line end, not after the quiet line.
        m_settleMs = m_o.pace == Options::Pace::Replies ? 0 : kQuietMs;
        // A customer's list: every seventh ID from the first, so stepping would miss it.
        if (const int list = int(m_optionWords.indexOf(QLatin1String("list"))); list >= 0) {
            QByteArray ids;
            const quint64 first = m_o.setUidText.toULongLong();
            for (int i = 0; i < m_optionWords.value(list + 1).toInt(); ++i)
                ids += QByteArray::number(first + 7 * quint64(i)).rightJustified(10, '0') + '\n';
            QString error;
            m_o.uidList = std::make_shared<const UidList>(*UidList::parse(ids, 1, m_hex, &error));
        }
        // Incoming stock: the list holds one of the passwords the job's does not open.
        if (m_optionWords.contains(QLatin1String("unlocklist")))
            m_o.unlockList = std::make_shared<const PasswordList::List>(PasswordList::List{
                QStringLiteral("returns.txt"),
                PasswordList::together(
                    {{QStringLiteral("%1").arg(kWrongPassword, 8, 16, QLatin1Char('0')).toUpper(),
                      QStringLiteral("line 3 of returns.txt")}})});
        m_firstUid = m_o.setUidText;
        // As after power-up: the loop must tell a box for a decimal job.
        m_box.reportHex = true;

        m_engine.clock = [this] {
            return m_now;
        };
        m_engine.trace = [this](Step from, Step to, const char *why) {
            note(QStringLiteral("step %1 -> %2: %3").arg(stepName(from), stepName(to), why));
        };
        m_engine.custodyTrace = [this](Custody from, Custody to, const char *why) {
            note(QStringLiteral("UID %1 -> %2: %3").arg(custodyName(from), custodyName(to), why));
        };
        m_engine.uidGuard = [this](const QString &u) {
            if (answerLater())
                return Engine::UidVerdict{Engine::UidVerdict::Kind::Pending, {}};
            const auto r = m_record->reserve(u, m_hex, m_station, m_batch.value_or(QString()));
            Engine::UidVerdict v = UidCustody::verdictOf(r, u).value_or(Engine::UidVerdict{});
            // A list goes on past an ID that is taken, as the station's guard does.
            if (m_o.uidList && v.kind != Engine::UidVerdict::Kind::Free)
                v.kind = Engine::UidVerdict::Kind::Skip;
            return v;
        };
        m_engine.recordedAt = [this](const QString &u, bool hex) -> Engine::Recorded {
            if (answerLater())
                return Engine::Recorded::pending();
            if (const auto p = m_record->findWritten(u, hex))
                return UidCustody::whereWritten(*p);
            return std::nullopt;
        };
        m_station.station = QStringLiteral("sim");
        m_station.port = QStringLiteral("sim");
        seedRecordedTags();
        apply(m_engine.start(m_o));
        beginBatch();
    }

    // Tags an earlier batch wrote: the record holds their UIDs, the line has the tags.
    void seedRecordedTags()
    {
        ProductionRecord::Batch b = m_station;
        b.options = QStringLiteral("an earlier batch");
        const auto key = m_record->beginBatch(b);
        for (int i = 0; i < kRecordedTags; ++i) {
            const quint64 id = kRecordedBase + quint64(i);
            TagOutcome t;
            t.uidAsked = t.uidRead = Uid::spellings(id).value(m_hex ? 0 : 1);
            t.uidConfirmed = true;
            t.hexBase = m_hex;
            t.result = TagOutcome::Result::Complete;
            m_record->endTag(RecordIdentity::newKey(), key.value_or(QString()), t);
            T5557::Tag tag = T5557::tagWithId(id);
            if (i % 3 == 0)
                tag.blocks[7] = kPassword.toUInt(nullptr, 16), tag.blocks[0] |= T5557::kPwd;
            m_recorded << addTag(tag);
        }
        m_record->endBatch(key.value_or(QString()));
    }

    int addTag(const T5557::Tag &tag)
    {
        m_tags.append(tag);
        countId(tag, +1);
        return int(m_tags.size() - 1);
    }

    void countId(const T5557::Tag &tag, int delta)
    {
        if (const auto id = tag.id())
            m_idCount[*id] += delta;
    }

    const T5557::Tag &memory(int phys) const
    {
        return phys == m_field ? m_box.tag() : m_tags[phys];
    }

    void at(qint64 delay, std::function<void()> f)
    {
        m_queue.emplace(std::make_pair(m_now + delay, m_seq++), std::move(f));
    }

    void note(const QString &what) const
    {
        if (m_trace)
            qDebug("%8lld  %s", m_now, qPrintable(what));
    }

    void violate(const QString &what)
    {
        if (m_result.violation.isEmpty())
            m_result.violation = QStringLiteral("at %1 ms: %2").arg(m_now).arg(what);
    }

    void beginBatch()
    {
        ProductionRecord::Batch b = m_station;
        b.options = m_optionWords.join(u' ');
        b.blocks = QStringLiteral("7=(password)");
        m_batch = m_record->beginBatch(b);
    }

    void endBatch()
    {
        if (m_batch)
            m_record->endBatch(*m_batch);
        m_batch.reset();
    }

    void checkRecord()
    {
        if (!m_record->problem().isEmpty())
            violate(QStringLiteral("the record failed: ") + m_record->problem());
    }

    void checkSecret(const QString &text)
    {
        // The job's password, and the passwords of incoming tags the unlock list opens.
        for (const QString &secret :
             {kPassword, QStringLiteral("%1").arg(kWrongPassword, 8, 16, QLatin1Char('0')),
              QStringLiteral("%1").arg(kUnknownPassword, 8, 16, QLatin1Char('0'))}) {
            if (text.contains(secret, Qt::CaseInsensitive))
                violate(QStringLiteral("a password shows in \"%1\"").arg(text));
        }
    }

    void apply(const Actions &a)
    {
        if (a.block0)
            m_o.blockTexts[0] = *a.block0;
        if (a.setUid)
            m_o.setUidText = *a.setUid;
        bool shownComplete = false;
        for (const Notice &n : a.notices) {
            checkSecret(n.uid);
            checkSecret(n.text);
            shownComplete = shownComplete || n.kind == Notice::Kind::TagComplete;
        }
        if (a.switchedOff)
            checkSecret(*a.switchedOff);
        const bool recordedComplete
            = a.outcome && a.outcome->result == TagOutcome::Result::Complete;
        if (shownComplete != recordedComplete)
            violate(
                QStringLiteral("shown %1 but recorded %2")
                    .arg(shownComplete ? QStringLiteral("complete") : QStringLiteral("not"),
                         a.outcome ? resultName(a.outcome->result) : QStringLiteral("nothing")));
        if (a.stopReplyTimeout)
            ++m_timeoutGen;
        if (a.started) {
            m_serial = a.started->serial;
            if (m_current >= 0)
                m_serialOf.insert(m_current, m_serial);
            if (m_batch)
                m_rows.insert(m_serial,
                              m_record->beginTag(*m_batch, *a.started).value_or(QString()));
        }
        if (a.command)
            send(*a.command);
        if (a.timer == StepTimer::Start || a.timer == StepTimer::Wait) {
            const int gen = ++m_tickGen;
            at(stepIntervalMs(m_o, m_engine.state().AutoStep, a.timer), [this, gen] {
                if (gen == m_tickGen)
                    apply(m_engine.tick(m_o));
            });
        } else if (a.timer == StepTimer::Stop) {
            ++m_tickGen;
        }
        if (a.hold) {
            const int gen = ++m_holdGen;
            at(kHoldMs, [this, gen] {
                if (gen == m_holdGen)
                    apply(m_engine.holdEnded(m_o));
            });
        }
        if (a.outcome)
            ended(*a.outcome);
        if (a.finished) {
            if (!m_o.uidList)
                violate(QStringLiteral("the loop ended without a list: ") + *a.finished);
            m_listEnded = true;
            // The loop is off for good: a tag in the field is the operator's now.
            if (m_current >= 0)
                m_presentations[m_current].healthy = false;
            endBatch();
        } else if (a.switchedOff) {
            endBatch();
            violate(QStringLiteral("the loop switched itself off"));
        }
    }

    void ended(const TagOutcome &t)
    {
        note(QStringLiteral("outcome %1: %2").arg(resultName(t.result), t.detail));
        checkSecret(t.detail);
        ++m_result.outcomes[resultName(t.result)];
        if (t.detail.contains(QLatin1String("unlocked with list entry")))
            ++m_result.unlockedFromList;
        if (t.detail.contains(QLatin1String("no entry of the unlock list")))
            ++m_result.unlockListFailed;
        QString row = m_rows.take(t.serial);
        if (row.isEmpty())
            row = RecordIdentity::newKey();
        if (m_batch)
            m_record->endTag(row, *m_batch, t);
        checkRecord();
        if (t.result == TagOutcome::Result::Complete) {
            checkComplete(t);
            if (m_batch)
                checkRecordedRead(t, row);
        }
    }

    // What the record keeps of a complete tag is what was read back, and that is the UID asked.
    void checkRecordedRead(const TagOutcome &t, const QString &row)
    {
        if (!m_o.setUid)
            return;
        QSqlQuery q(m_record->database());
        q.prepare(QStringLiteral("SELECT uid_read, uid_confirmed FROM tag WHERE uuid = ?"));
        q.addBindValue(row);
        if (!q.exec() || !q.next())
            return violate(
                QStringLiteral("tag %1 is complete but not in the record").arg(t.serial));
        if (q.value(0).toString() != t.uidRead || q.value(1).toInt() != 1)
            violate(QStringLiteral("tag %1 is complete, the record has UID %2 read back")
                        .arg(t.serial)
                        .arg(q.value(0).toString()));
    }

    // A tag shown complete holds, now, everything it was asked for.
    void checkComplete(const TagOutcome &t)
    {
        const QSet<int> reached = m_touched.value(t.serial);
        if (reached.size() != 1) {
            violate(QStringLiteral("tag %1 is complete, but its writes reached %2 tags")
                        .arg(t.serial)
                        .arg(reached.size()));
            return;
        }
        const T5557::Tag &mem = memory(*reached.begin());
        const auto fail = [&](const QString &what) {
            violate(QStringLiteral("tag %1 is complete without %2:\n%3")
                        .arg(t.serial)
                        .arg(what, mem.describe()));
        };
        if (m_o.setUid && mem.id() != Uid::tagId(t.uidAsked, m_hex))
            return fail(QStringLiteral("UID ") + t.uidAsked);
        // Complete says the UID read back whole: what the events and the record report.
        if (m_o.setUid && (!t.uidConfirmed || t.uidRead != t.uidAsked))
            return fail(
                QStringLiteral("UID %1 read back (it read back %2)").arg(t.uidAsked, t.uidRead));
        for (int n = 1; n <= 6; ++n) {
            if (m_o.blocks[size_t(n)]
                && mem.blocks[size_t(n)] != m_o.blockTexts[size_t(n)].toUInt(nullptr, 16))
                return fail(QStringLiteral("block %1").arg(n));
        }
        if (m_o.writePassword && mem.blocks[7] != kPassword.toUInt(nullptr, 16))
            return fail(QStringLiteral("its password"));
        const quint32 word = m_o.lock ? 0x00148250 : 0x00148040;
        if (mem.blocks[0] != word)
            return fail(m_o.lock ? QStringLiteral("its lock")
                                 : QStringLiteral("its configuration"));
    }

    // Whether the record answers this question later, as the record's thread does: the loop
    // is told when the answer is in, and asks again.
    bool answerLater()
    {
        if (std::exchange(m_answerIn, false))
            return false;
        const int index = m_questions++;
        const int sinceEntry = m_questionsSinceEntry++;
        Presentation *p = m_lastPresented >= 0 ? &m_presentations[m_lastPresented] : &m_start;
        int delay = 0;
        if (!m_rng) {
            delay = m_slow.value(index, 0);
            if (p && m_slow.isEmpty())
                delay = p->slows.value(sinceEntry, 0);
        } else if (m_rng->generateDouble() < m_faultRate) {
            delay = 1 + int(m_rng->bounded(400));
        }
        if (delay == 0)
            return false;
        if (p)
            p->slows.insert(sinceEntry, delay);
        ++m_result.faults[QStringLiteral("slow record")];
        note(QStringLiteral("record question #%1 answered in %2 ms").arg(index).arg(delay));
        at(delay, [this] {
            m_answerIn = true;
            apply(m_engine.recordAnswered(m_o));
            // Nothing asked: the answer is not kept for a later question.
            m_answerIn = false;
        });
        return true;
    }

    bool faulty(int index, Fault *f)
    {
        const int sinceEntry = m_commandsSinceEntry++;
        // Before the first tag, the faults sit on a line of their own.
        Presentation *p = m_lastPresented >= 0 ? &m_presentations[m_lastPresented] : &m_start;
        if (!faultAt(index, sinceEntry, p, f))
            return false;
        if (p)
            p->faults.insert(sinceEntry, *f);
        return true;
    }

    bool faultAt(int index, int sinceEntry, const Presentation *p, Fault *f)
    {
        if (!m_rng) {
            const auto it = m_faults.constFind(index);
            if (it != m_faults.cend()) {
                *f = *it;
                return true;
            }
            if (!p || !m_faults.isEmpty() || !p->faults.contains(sinceEntry))
                return false;
            *f = p->faults.value(sinceEntry);
            return true;
        }
        if (m_rng->generateDouble() >= m_faultRate)
            return false;
        static const char *kinds[] = {"lost",  "lost", "lost", "garbled", "garbled",
                                      "split", "late", "late", "error",   "error"};
        f->kind = QString::fromLatin1(kinds[m_rng->bounded(10)]);
        // "No Precent!" comes from the box only when no tag answers, which pulls produce; a
        // refusal, a lock error or a code nobody knows may come at any time.
        static const int codes[] = {1, 2, 4, 5, 7, 0};
        f->code = f->kind == QLatin1String("error") ? codes[m_rng->bounded(6)] : 0;
        f->salt = index;
        return true;
    }

    void send(const QString &command)
    {
        const int index = m_commands++;
        note(
            QStringLiteral("send #%1 %2%3").arg(index).arg(command, m_linkOpen ? "" : " (closed)"));
        if (!m_linkOpen)
            return;
        const int gen = ++m_timeoutGen;
        at(kTimeoutMs, [this, gen] {
            if (gen == m_timeoutGen)
                apply(m_engine.replyTimedOut());
        });
        Fault f;
        const bool hit = faulty(index, &f);
        if (hit) {
            ++m_result.faults[f.kind];
            if (m_current >= 0)
                m_presentations[m_current].healthy = false;
        }
        const qint64 arrives = qint64((command.size() + 2) * kCharMs) + 1;
        const int serial = m_serial;
        const int sentWith = m_current;
        const QByteArray line = command.toLatin1();
        at(arrives, [this, line, index, serial, sentWith, hit, f] {
            boxCommand(line, index, serial, sentWith, hit ? f : Fault{});
        });
    }

    void boxCommand(const QByteArray &line, int index, int serial, int sentWith, const Fault &f)
    {
        if (m_now < m_boxFree) {
            at(m_boxFree - m_now, [=, this] { boxCommand(line, index, serial, sentWith, f); });
            return;
        }
        BoxEngine::Reply reply;
        if (f.kind == QLatin1String("error")) {
            reply = {f.code ? QByteArray("ErrCode:0") + QByteArray::number(f.code)
                            : QByteArray("ErrCode:0?"),
                     m_box.delays.settings};
        } else {
            const bool write = line.startsWith('W');
            // A write still on the wire when its tag was swapped lands on the next one: no
            // loop can stop that, and the record cannot know whose ID it changed.
            // Judged by the loop's own tag: the serial the command was sent for must be the
            // one the loop started on the tag in the field.
            const bool forThisTag = m_current >= 0 && m_current == sentWith
                                    && m_serialOf.value(m_current, -1) == serial;
            if (write && m_field >= 0 && !forThisTag && !line.startsWith("WU")) {
                ++m_result.faults[QStringLiteral("write reached the next tag")];
                if (const auto id = m_box.tag().id())
                    m_strayIds.insert(*id);
            }
            if (m_field >= 0)
                countId(m_box.tag(), -1);
            reply = m_box.command(line).value_or(BoxEngine::Reply{});
            if (m_field >= 0) {
                countId(m_box.tag(), +1);
                checkIdUnique(m_box.tag());
                if (write)
                    m_touched[serial].insert(m_field);
            }
            if (line == "SB1")
                conveyor();
        }
        m_boxFree = m_now + reply.delayMs;
        if (!reply.text.isEmpty())
            output(reply.text + "\r\n", reply.delayMs, f);
    }

    void checkIdUnique(const T5557::Tag &tag)
    {
        const auto id = tag.id();
        if (id && m_idCount.value(*id) > 1)
            violate(QStringLiteral("ID %1 is on two tags").arg(*id, 10, 16, QLatin1Char('0')));
    }

    // "SB1" moves a tag the loop finished on.
    void conveyor()
    {
        if (m_current < 0)
            return;
        m_presentations[m_current].finished = true;
        const int which = m_current;
        at(kConveyorLeaveMs, [this, which] { pull(which); });
    }

    void output(const QByteArray &text, qint64 delay, const Fault &f)
    {
        if (f.kind == QLatin1String("lost"))
            return;
        QByteArray data = text;
        if (f.kind == QLatin1String("garbled"))
            garble(data, f.salt);
        const qint64 start = qMax(m_now + delay, m_lineFree);
        const qint64 end = start + qint64(data.size() * kCharMs) + 1;
        m_lineFree = end;
        // A garbled line end leaves the reply to the quiet line at any pace.
        qint64 deliver = end + (data.endsWith("\r\n") ? m_settleMs : kQuietMs);
        if (f.kind == QLatin1String("late"))
            deliver += kTimeoutMs + 100 + f.salt % 500;
        if (f.kind == QLatin1String("split"))
            return split(data, start, deliver, f.salt);
        at(deliver - m_now, [=, this] { deliverText(data); });
    }

    // The rest of the answer pauses on the wire, before its head or just before its line end,
    // briefly or for longer than the link waits for it. The link's own rule decides what it
    // makes of the two parts.
    void split(const QByteArray &data, qint64 start, qint64 deliver, int salt)
    {
        const int k = salt % 3 == 0 ? Reply::kHeadLength : 2 + salt % 6;
        const qint64 pause
            = (salt / 3) % 2 ? Timing::kFragmentWaitMs + 20 + salt % 200 : kQuietMs + 5;
        const QByteArray first = data.left(k);
        const QByteArray rest = data.mid(k);
        const bool fragment = Reply::gathered(first) == Reply::Gathered::Fragment;
        if (fragment && pause < Timing::kFragmentWaitMs) {
            at(deliver + pause - m_now, [=, this] { deliverText(data); });
            return;
        }
        // The rest holds the wire until it is through.
        m_lineFree = qMax(m_lineFree, deliver + pause - m_settleMs);
        const qint64 firstTaken = fragment ? start + Timing::kFragmentWaitMs + kQuietMs
                                           : start + qint64(k * kCharMs) + kQuietMs;
        at(firstTaken - m_now, [=, this] { deliverText(first); });
        if (Reply::gathered(rest) != Reply::Gathered::LineEnd)
            at(deliver + pause - m_now, [=, this] { deliverText(rest); });
    }

    // One character changed: a digit into another digit (a UID's prefix read back wrong, a
    // value off by one bit), anything else into noise.
    static void garble(QByteArray &data, int salt)
    {
        static const char kHex[] = "0123456789ABCDEF";
        const qsizetype at = qMin(qsizetype(salt % 10), data.size() - 1);
        const char c = data[at];
        const int value = QByteArray(1, c).toInt(nullptr, 16);
        const bool digit = std::isxdigit(static_cast<unsigned char>(c));
        data[at] = digit ? kHex[(value + 1 + (salt / 10) % 15) % 16] : '?';
    }

    void deliverText(const QByteArray &data)
    {
        // A report the loop cannot act on (the link is closed, the loop is off) leaves the tag
        // to the operator: the loop is not told of it again.
        if ((!m_linkOpen || !m_engine.AutoWriteRunning()) && m_current >= 0)
            m_presentations[m_current].healthy = false;
        if (!m_linkOpen)
            return;
        // Any reply stops the reply time-out.
        ++m_timeoutGen;
        const QString head = QString::fromLatin1(data.left(Reply::kHeadLength));
        note(QStringLiteral("recv %1").arg(head));
        apply(m_engine.reply(Reply::classify(head), m_o));
    }

    int pickTag(const Presentation &p)
    {
        const QString &k = p.kind;
        if (k == QLatin1String("back") && m_lastPulled >= 0)
            return m_lastPulled;
        if (k == QLatin1String("earlier") && !m_tags.isEmpty())
            return p.arg % int(m_tags.size());
        if (k == QLatin1String("recorded"))
            return m_recorded[p.arg % m_recorded.size()];
        const quint32 pw = kPassword.toUInt(nullptr, 16);
        if (k == QLatin1String("config"))
            return addTag(T5557::configuredTag());
        if (k == QLatin1String("id"))
            return addTag(T5557::tagWithId(kForeignBase + quint64(m_foreign++)));
        if (k == QLatin1String("pwd"))
            return addTag(T5557::protectedTag(pw, kForeignBase + quint64(m_foreign++), false));
        // Every other such tag has a password the unlock list holds.
        if (k == QLatin1String("pwdwrong")) {
            const quint32 password = m_foreign % 2 ? kUnknownPassword : kWrongPassword;
            return addTag(
                T5557::protectedTag(password, kForeignBase + quint64(m_foreign++), false));
        }
        if (k == QLatin1String("aor"))
            return addTag(T5557::protectedTag(pw, kForeignBase + quint64(m_foreign++), true));
        return addTag(T5557::blankTag());
    }

    void present(int which)
    {
        Presentation &p = m_presentations[which];
        ++m_result.tags;
        m_lastPresented = which;
        m_commandsSinceEntry = 0;
        m_questionsSinceEntry = 0;
        const int phys = pickTag(p);
        countId(m_tags[phys], -1);
        m_field = phys;
        m_current = which;
        // A tag of a bad reel: each block write takes at its second try.
        m_box.weakTags = p.kind == QLatin1String("weak");
        const QByteArray report = m_box.present(m_tags[phys]);
        note(QStringLiteral("present %1 (tag %2)").arg(p.kind).arg(phys));
        countId(m_box.tag(), +1);
        if (!report.isEmpty()) {
            p.reportedAt = m_now;
            output(report + "\r\n", 0, {});
        }
        if (p.pull >= 0)
            at(p.pull, [this, which] { pull(which); });
        if (p.stop >= 0)
            at(p.stop, [this, which] { stop(which); });
        if (p.close >= 0)
            at(p.close, [this, which] { close(which); });
        at(kOperatorGivesUpMs, [this, which] { pull(which); });
    }

    void pull(int which)
    {
        if (m_current != which || m_field < 0)
            return;
        checkWaitingTag();
        countId(m_box.tag(), -1);
        m_tags[m_field] = m_box.tag();
        countId(m_tags[m_field], +1);
        m_lastPulled = m_field;
        note(QStringLiteral("pull tag %1").arg(m_field));
        m_field = -1;
        m_current = -1;
        output(m_box.remove() + "\r\n", 0, {});
        fieldFree();
    }

    void fieldFree()
    {
        const int next = m_nextPresentation++;
        if (next + 1 >= m_presentations.size())
            return;
        const Presentation &p = m_presentations[next + 1];
        const qint64 gap = p.kind == QLatin1String("back") ? p.gap : qMax(p.gap, kNewTagMs);
        at(gap, [this, next] { present(next + 1); });
    }

    void stop(int which)
    {
        if (m_current != which || !m_linkOpen || !m_engine.AutoWriteRunning())
            return;
        m_presentations[which].healthy = false;
        apply(m_engine.stop());
        endBatch();
        at(kRestartMs, [this] {
            if (!m_linkOpen || m_engine.AutoWriteRunning())
                return;
            apply(m_engine.start(m_o));
            beginBatch();
        });
    }

    void close(int which)
    {
        if (m_current != which || !m_linkOpen)
            return;
        m_presentations[which].healthy = false;
        m_linkOpen = false;
        ++m_timeoutGen;
        apply(m_engine.linkClosed());
        endBatch();
        at(kReconnectMs, [this] {
            m_linkOpen = true;
            apply(m_engine.start(m_o));
            beginBatch();
        });
    }

    void checkWaitingTag()
    {
        if (m_current < 0)
            return;
        const Presentation &p = m_presentations[m_current];
        if (p.healthy && p.reportedAt >= 0 && !p.finished && m_now - p.reportedAt > kPromiseMs)
            violate(QStringLiteral("a reported tag waited %1 ms without being finished")
                        .arg(m_now - p.reportedAt));
    }

    void finalChecks()
    {
        QSqlDatabase db = m_record->database();
        QSet<QString> reserved;
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT uid FROM reservation"));
        while (q.next())
            reserved.insert(q.value(0).toString());
        // No UID between the first and the next is gone without the record saying why.
        if (m_o.setUid) {
            int guard = 0;
            for (QString u = m_firstUid; !u.isEmpty() && u != m_o.setUidText && guard < 1000000;
                 ++guard) {
                const auto id = Uid::tagId(u, m_hex);
                if (!reserved.contains(u) && (!id || m_idCount.value(*id) < 1))
                    return violate(QStringLiteral("UID %1 was skipped without a word").arg(u));
                u = AutoLoop::nextUid(m_o, u);
            }
            // A list that ended is used up: every ID on a tag or held.
            for (int i = 0; m_listEnded && i < m_o.uidList->count(); ++i) {
                const UidList::Id &id = m_o.uidList->ids()[i];
                if (!reserved.contains(id.text) && m_idCount.value(id.tagId) < 1)
                    return violate(
                        QStringLiteral("the list ended and left %1 unused").arg(id.text));
            }
        }
        // Every UID the record says is on a tag is on exactly one.
        q.exec(QStringLiteral("SELECT uid_read, uid_asked, base, id FROM tag WHERE "
                              "uid_confirmed = 1"));
        while (q.next()) {
            const QString uid
                = q.value(0).toString().isEmpty() ? q.value(1).toString() : q.value(0).toString();
            const auto id = Uid::tagId(uid, q.value(2).toString() == QLatin1String("HEX"));
            const int on = id ? m_idCount.value(*id) : 0;
            if (on != 1 && !(id && on == 0 && m_strayIds.contains(*id)))
                return violate(QStringLiteral("the record has UID %1 on a tag (row %2), the line "
                                              "has it on %3")
                                   .arg(uid)
                                   .arg(q.value(3).toLongLong())
                                   .arg(on));
        }
        for (const QString table : {"batch", "tag", "reservation", "meta"}) {
            q.exec(QStringLiteral("SELECT * FROM ") + table);
            while (q.next()) {
                const QSqlRecord r = q.record();
                for (int c = 0; c < r.count(); ++c) {
                    if (r.fieldName(c) != QLatin1String("password_fingerprint"))
                        checkSecret(r.value(c).toString());
                }
            }
        }
        const QString csv = m_record->path() + QStringLiteral(".csv");
        QString error;
        if (m_record->exportCsv(csv, {}, &error)) {
            QFile f(csv);
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(kPassword.toLatin1()))
                violate(QStringLiteral("the password is in the CSV export"));
        }
        QFile::remove(csv);
    }

    QRandomGenerator *m_rng;
    double m_faultRate;
    const bool m_trace = qEnvironmentVariableIsSet("LINESIM_TRACE");
    Result m_result;
    QStringList m_optionWords;
    // How long after its line end an answer is taken: the quiet line, or none at pace replies.
    qint64 m_settleMs = kQuietMs;
    QList<Presentation> m_presentations;
    Presentation m_start;
    QMap<int, Fault> m_faults;
    QMap<int, int> m_slow;
    int m_questions = 0;
    int m_lastPresented = -1;
    int m_commandsSinceEntry = 0;
    int m_questionsSinceEntry = 0;
    bool m_answerIn = false;
    std::unique_ptr<ProductionRecord> m_record;
    ProductionRecord::Batch m_station;
    std::optional<QString> m_batch;
    QHash<int, QString> m_rows;
    Engine m_engine;
    Options m_o;
    BoxEngine m_box;
    bool m_hex = true;
    QString m_firstUid;
    std::map<std::pair<qint64, quint64>, std::function<void()>> m_queue;
    quint64 m_seq = 0;
    qint64 m_now = 0;
    int m_tickGen = 0;
    int m_holdGen = 0;
    int m_timeoutGen = 0;
    int m_commands = 0;
    int m_serial = -1;
    qint64 m_boxFree = 0;
    qint64 m_lineFree = 0;
    bool m_linkOpen = true;
    QList<T5557::Tag> m_tags;
    QList<int> m_recorded;
    QHash<quint64, int> m_idCount;
    QSet<quint64> m_strayIds;
    // The serial of the cycle the loop started on each presentation.
    QHash<int, int> m_serialOf;
    QHash<int, QSet<int>> m_touched;
    int m_field = -1;
    int m_current = -1;
    int m_lastPulled = -1;
    int m_nextPresentation = 0;
    int m_foreign = 0;
    bool m_listEnded = false;
};

QStringList randomOptions(QRandomGenerator &rng)
{
    QStringList w{QStringLiteral("options")};
    const auto chance = [&rng](double p) {
        return rng.generateDouble() < p;
    };
    const bool setUid = chance(0.85);
    if (setUid)
        w << QStringLiteral("setUid") << QStringLiteral("autoInc");
    if (chance(0.3))
        w << QStringLiteral("unlock");
    for (int n = setUid ? 3 : 1; n <= 6; ++n) {
        if (chance(0.4))
            w << QStringLiteral("cb%1").arg(n);
    }
    if (chance(0.4))
        w << QStringLiteral("password");
    if (chance(0.4))
        w << QStringLiteral("lock");
    if (chance(0.25))
        w << QStringLiteral("dec");
    if (chance(0.1))
        w << QStringLiteral("rewrite");
    if (chance(0.3))
        w << QStringLiteral("retries") << QString::number(1 + rng.bounded(2));
    w << QStringLiteral("inc") << QString::number(chance(0.8) ? 1 : 2);
    const bool list = setUid && chance(0.25);
    if (list)
        w << QStringLiteral("list") << QString::number(chance(0.4) ? 12 : 400);
    w << QStringLiteral("uid");
    // A line's own prefix ("XXXX999999"): four characters of customer, six of serial.
    const bool dec = w.contains(QStringLiteral("dec"));
    if (!list && chance(0.3))
        w << (dec ? QStringLiteral("%1").arg(1000 + rng.bounded(3000), 4, 10, QLatin1Char('0'))
                  : QStringLiteral("%1")
                        .arg(0x1000 + rng.bounded(0xEFFF), 4, 16, QLatin1Char('0'))
                        .toUpper())
                 + QStringLiteral("%1").arg(rng.bounded(900000), 6, 10, QLatin1Char('0'));
    else
        w << QStringLiteral("%1").arg(1000 + rng.bounded(100000), 10, 10, QLatin1Char('0'));
    // Last, so a seed's other choices stay as they were.
    if (chance(0.4)) {
        static const int firsts[] = {0, 0, 50, 100, 300};
        w << QStringLiteral("replies") << QStringLiteral("first")
          << QString::number(firsts[rng.bounded(5)]);
    }
    if (w.contains(QStringLiteral("unlock")) && chance(0.5))
        w << QStringLiteral("unlocklist");
    return {w.join(u' ')};
}

Presentation randomPresentation(QRandomGenerator &rng, int index)
{
    static const char *kinds[]
        = {"blank",    "blank",    "blank", "blank", "blank", "blank",    "blank",
           "config",   "config",   "id",    "pwd",   "pwd",   "pwdwrong", "aor",
           "recorded", "recorded", "back",  "back",  "back",  "earlier",  "weak"};
    Presentation p;
    p.kind = QString::fromLatin1(kinds[rng.bounded(int(std::size(kinds)))]);
    if (p.kind == QLatin1String("earlier"))
        p.arg = index > 0 ? int(rng.bounded(index)) : 0;
    if (p.kind == QLatin1String("recorded"))
        p.arg = int(rng.bounded(kRecordedTags));
    p.gap = rng.generateDouble() < 0.2 ? rng.bounded(40) : 30 + rng.bounded(1500);
    if (rng.generateDouble() < 0.3)
        p.pull = rng.bounded(2500);
    if (rng.generateDouble() < 0.01)
        p.stop = rng.bounded(2000);
    if (rng.generateDouble() < 0.005)
        p.close = rng.bounded(2000);
    return p;
}

} // namespace

Result run(const Config &config)
{
    QRandomGenerator rng(quint32(config.seed ^ (config.seed >> 32)));
    QStringList script = randomOptions(rng);
    for (int i = 0; i < config.tags; ++i)
        script << presentationText(randomPresentation(rng, i));
    Line line(config.recordPath, script, &rng, config.faultRate);
    return line.go();
}

Result replay(const QStringList &script, const QString &recordPath)
{
    Line line(recordPath, script, nullptr, 0);
    return line.go();
}

QStringList shrink(const QStringList &script, const QString &recordPath)
{
    // Shrinking is a search; it stops after a while with the shortest script found so far.
    const QDeadlineTimer deadline(30000);
    // Faults kept on their tags' lines, and nothing after the tag that broke the promise:
    // removing a line then moves no fault onto another command.
    const Result first = replay(script, recordPath);
    if (first.violation.isEmpty())
        return script;
    QStringList best = first.anchored;
    const auto fails = [&](const QStringList &s) {
        if (deadline.hasExpired())
            return false;
        const Result r = replay(s, recordPath);
        if (r.violation.isEmpty())
            return false;
        best = r.anchored;
        return true;
    };
    for (bool progress = true; progress && !deadline.hasExpired();) {
        progress = false;
        // Whole lines first, in halves, then one by one.
        for (qsizetype chunk = best.size() / 2; chunk >= 1; chunk /= 2) {
            for (qsizetype i = 1; i + chunk <= best.size();) {
                QStringList s = best;
                s.remove(i, chunk);
                if (fails(s))
                    progress = true;
                else
                    i += chunk;
            }
        }
        // Then the attributes of what is left, and each fault and slow answer on its own.
        for (qsizetype i = 1; i < best.size(); ++i) {
            const QStringList w = best[i].split(u' ');
            QList<QStringList> shorter;
            for (const QString attr : {"pull", "stop", "close", "faults", "slows"}) {
                const qsizetype at = w.indexOf(attr);
                if (at < 0 || at + 1 >= w.size())
                    continue;
                QStringList without = w;
                without.remove(at, 2);
                shorter << without;
                const QStringList items = w[at + 1].split(u',');
                for (qsizetype k = 0; items.size() > 1 && k < items.size(); ++k) {
                    QStringList fewer = items;
                    fewer.remove(k);
                    QStringList v = w;
                    v[at + 1] = fewer.join(u',');
                    shorter << v;
                }
            }
            for (const QStringList &v : shorter) {
                QStringList s = best;
                s[i] = v.join(u' ');
                if (fails(s)) {
                    progress = true;
                    break;
                }
            }
        }
    }
    return best;
}

} // namespace LineSim
