#include "commands.h"

#include "core/autoloop.h"
#include "core/job.h"
#include "core/stopsignals.h"
#include "core/uid.h"
#include "station/record/listloader.h"
#include "station/record/productionrecord.h"
#include "station/record/recorder.h"
#include "station/session/session.h"
#include "support.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QPointer>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

namespace Cli {

namespace {

// How long a signal or a failed output lets the tag in progress end by itself.
constexpr int kStopWithinMs = 3000;
// How long the record may take to say whether it takes the batch.
constexpr int kRecordKnownMs = 10000;

QJsonObject tagEvent(const AutoLoop::TagOutcome &t)
{
    QJsonArray writes;
    for (const AutoLoop::Write &w : t.writes) {
        if (w.block < 0)
            continue;
        writes.append(QJsonObject{
            {QStringLiteral("block"), w.block},
            {QStringLiteral("sent"), AutoLoop::shownValue(w.block, w.sent)},
            {QStringLiteral("readBack"),
             w.answered ? QJsonValue(AutoLoop::shownValue(w.block, w.readBack)) : QJsonValue()},
            {QStringLiteral("ok"), w.ok}});
    }
    return QJsonObject{
        {QStringLiteral("event"), QStringLiteral("tag")},
        {QStringLiteral("serial"), t.serial},
        {QStringLiteral("result"), AutoLoop::resultName(t.result)},
        {QStringLiteral("uidAsked"), t.uidAsked},
        {QStringLiteral("uidRead"), t.uidRead},
        {QStringLiteral("uidConfirmed"), t.uidConfirmed},
        {QStringLiteral("base"), t.hexBase ? QStringLiteral("hex") : QStringLiteral("dec")},
        {QStringLiteral("writes"), writes},
        {QStringLiteral("retries"), t.retries},
        {QStringLiteral("started"), isoTime(t.startMs)},
        {QStringLiteral("ended"), isoTime(t.endMs)},
        {QStringLiteral("detail"), t.detail}};
}

// Until the UID list the loop waits for is ready: empty when it is, why not when it cannot
// be, nothing when a signal cancelled it. How far it is goes to standard error.
std::optional<QString> waitForList(Recorder &recorder, StopSignals &interrupts)
{
    QEventLoop waiting;
    std::optional<QString> outcome;
    int shown = -1;
    QElapsedTimer since;
    since.start();
    const QMetaObject::Connection progress = QObject::connect(
        &recorder.lists(), &ListLoader::progress, &waiting,
        [&](const QString &what, qint64 done, qint64 total) {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            // A line a second at most: a log of the run, not a gauge.
            if (percent == shown || (shown >= 0 && since.elapsed() < 1000 && percent < 100))
                return;
            shown = percent;
            since.restart();
            say(stderr, QStringLiteral("%1: %2 %").arg(what).arg(percent));
        });
    QObject::connect(&recorder.lists(), &ListLoader::finished, &waiting, [&](const QString &error) {
        outcome = error;
        waiting.quit();
    });
    QObject::connect(&interrupts, &StopSignals::raised, &waiting, [&] {
        recorder.cancelList();
        waiting.quit();
    });
    waiting.exec();
    QObject::disconnect(progress);
    return outcome;
}

// Sets the loop's first UID past those the record holds as written or in doubt, and says
// where it goes on; otherwise the exit code, said why: a signal, or a record that cannot tell.
std::optional<int> carryOnFrom(Session &session, Recorder &recorder, StopSignals &interrupts,
                               const std::function<void(const QString &)> &person)
{
    // The answer may come after a signal ended the wait: it lands in what outlives this.
    struct Wait {
        std::optional<RecordGuard::Unused> found;
        QPointer<QEventLoop> loop;
    };
    const auto wait = std::make_shared<Wait>();
    AutoLoop::Options o = session.options();
    QEventLoop waiting;
    wait->loop = &waiting;
    recorder.findFirstUnused(o, [wait](const RecordGuard::Unused &u) {
        wait->found = u;
        if (wait->loop)
            wait->loop->quit();
    });
    const QMetaObject::Connection stop
        = QObject::connect(&interrupts, &StopSignals::raised, &waiting, &QEventLoop::quit);
    if (!wait->found)
        waiting.exec();
    QObject::disconnect(stop);
    const std::optional<RecordGuard::Unused> found = wait->found;
    if (!found) {
        say(stderr, QStringLiteral("kestrel-rfid: stopped by a signal before the first free UID "
                                   "was found; no batch was started"));
        return kDone;
    }
    if (found->uid.isEmpty()) {
        say(stderr, QStringLiteral("kestrel-rfid: cannot go on after UID %1: %2")
                        .arg(o.setUidText, found->why));
        return kRecordFailed;
    }
    person(Recorder::carryingOn(o.setUidText, *found));
    o.setUidText = found->uid;
    session.setOptions(o);
    return std::nullopt;
}

// JSON lines of events to a file or to standard output. After a line that does not reach it
// whole (a full disk, a reader that went away), nothing more is written and failure() says why.
class EventSink {
public:
    // Nothing to open without a target; false, with why, when it cannot be written.
    bool open(const QString &target, QString *error)
    {
        m_name = target;
        if (target.isEmpty())
            return true;
        m_stdout = target == QLatin1String("-");
        const bool opened = m_stdout ? m_file.open(stdout, QIODevice::WriteOnly)
                                     : (m_file.setFileName(target),
                                        m_file.open(QIODevice::WriteOnly | QIODevice::Append));
        if (!opened)
            *error = QStringLiteral("%1 cannot be written: %2").arg(target, m_file.errorString());
        return opened;
    }
    bool toStdout() const { return m_stdout; }
    const QString &failure() const { return m_failure; }

    // False when the line did not reach the file whole, now or before.
    bool write(const QJsonObject &o)
    {
        if (!m_file.isOpen() || !m_failure.isEmpty())
            return m_failure.isEmpty();
        const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
        if (m_file.write(line) == line.size() && m_file.flush())
            return true;
        m_failure
            = QStringLiteral("the events (%1) cannot be written: %2")
                  .arg(m_stdout ? QStringLiteral("standard output") : m_name, m_file.errorString());
        return false;
    }

private:
    QFile m_file;
    QString m_name;
    QString m_failure;
    bool m_stdout = false;
};

// What the command line asks of a run, checked before anything is opened.
struct ProduceArgs {
    std::optional<Job> job;
    QString device;
    QString password;
    QString operatorName;
    QString capture;
    // Tags to end before the run stops; 0: no limit.
    int limit = 0;
};

// The arguments as a run takes them; nothing, with the exit code, when they are unusable or
// --help was asked.
std::optional<ProduceArgs> parseProduce(const QStringList &arguments, EventSink &events, int *code)
{
    QCommandLineParser parser;
    Common c;
    const QCommandLineOption jobOption(QStringLiteral("job"), QStringLiteral("The job file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop after K tags have ended."),
                                   QStringLiteral("K"));
    const QCommandLineOption eventsOption(QStringLiteral("events"),
                                          QStringLiteral("JSON lines of events to FILE, or - for "
                                                         "standard output."),
                                          QStringLiteral("FILE|-"));
    const QCommandLineOption operatorOption(
        QStringLiteral("operator"),
        QStringLiteral("Who runs the batch, as the record keeps it (default: the login)."),
        QStringLiteral("NAME"));
    const QCommandLineOption first(QStringLiteral("first"),
                                   QStringLiteral("Start at this UID instead of the job's first."),
                                   QStringLiteral("UID"));
    const QCommandLineOption carryOn(
        QStringLiteral("continue"),
        QStringLiteral("Go on after the UIDs the record holds as written or in doubt."));
    parser.addOptions({c.port, c.passwordFile, c.record, c.capture, jobOption, count, eventsOption,
                       operatorOption, first, carryOn});
    const auto refuse = [code](const QString &why) {
        *code = usage(why);
        return std::nullopt;
    };
    if (const std::optional<int> done
        = parse(parser, arguments,
                QStringLiteral(
                    "kestrel-rfid produce: the production loop of a job file, without a "
                    "window, until K tags have ended, the UIDs run out or SIGINT/SIGTERM."))) {
        *code = *done;
        return std::nullopt;
    }
    if (!parser.isSet(jobOption))
        return refuse(QStringLiteral("produce needs --job FILE"));
    ProduceArgs a;
    QString error;
    a.job = Job::load(parser.value(jobOption), &error);
    if (!a.job)
        return refuse(error);
    const AutoLoop::Options &stepping = a.job->raw();
    if ((parser.isSet(first) || parser.isSet(carryOn))
        && (!stepping.setUid || !stepping.autoInc || stepping.uidList))
        return refuse(QStringLiteral("--first and --continue are for a job that writes stepping "
                                     "UIDs (\"uid.write\" and \"uid.increment\", no list)"));
    if (parser.isSet(first)) {
        const QString uid = parser.value(first).toUpper();
        if (!Uid::tagId(uid, stepping.base != AutoLoop::Options::Base::Dec))
            return refuse(
                QStringLiteral("--first must be a tag ID of ten digits in the job's base"));
        a.job->setFirstUid(uid);
    }
    if (parser.isSet(carryOn))
        a.job->setCarryOn(true);
    a.operatorName = parser.value(operatorOption).trimmed();
    if (parser.isSet(operatorOption)
        && (a.operatorName.isEmpty() || a.operatorName.size() > 64
            || std::any_of(a.operatorName.cbegin(), a.operatorName.cend(),
                           [](QChar ch) { return !ch.isPrint(); })))
        return refuse(QStringLiteral("--operator must be a name of 1 to 64 printable characters"));
    if (parser.isSet(count)) {
        bool ok = false;
        a.limit = parser.value(count).toInt(&ok);
        if (!ok || a.limit < 1)
            return refuse(QStringLiteral("--count must be a number of tags from 1"));
    }
    const std::optional<QString> device = deviceOf(parser.value(c.port), &error);
    const std::optional<QString> password
        = device ? passwordOf(parser.value(c.passwordFile), &error) : std::nullopt;
    if (!password)
        return refuse(error);
    if (a.job->needsPassword() && password->isEmpty())
        return refuse(QStringLiteral("the job unlocks or writes the password: give it with "
                                     "--password-file or KESTREL_PASSWORD"));
    if (!events.open(parser.value(eventsOption), &error))
        return refuse(error);
    if (parser.isSet(c.record))
        ProductionRecord::setConfiguredPath(parser.value(c.record));
    a.device = *device;
    a.password = *password;
    a.capture = parser.value(c.capture);
    return a;
}

// One run of the production loop without a window: it counts the tags, stops on the first
// reason to (a limit, a refusal, a signal, an output that failed), lets the tag in progress end
// within kStopWithinMs, and sums the run up.
class ProduceRun {
public:
    ProduceRun(ProduceArgs &args, EventSink &events)
        : m_args(args)
        , m_events(events)
    {
        m_session.setOptions(m_args.job->options(m_args.password));
        m_recorder = std::make_unique<Recorder>(
            m_session.loop(), [this] { return m_session.device(); }, m_dialogs);
        m_recorder->keepTrafficOf(m_session.capture());
        m_recorder->setOperator(m_args.operatorName);
        m_deadline.setSingleShot(true);
        m_deadline.setInterval(kStopWithinMs);
    }

    int exec()
    {
        if (const std::optional<int> code = open())
            return *code;
        m_began = QDateTime::currentMSecsSinceEpoch();
        wire();
        std::optional<StopSignals> interrupts(std::in_place);
        if (const std::optional<int> code = begin(*interrupts)) {
            interrupts.reset();
            m_session.disconnectPort();
            m_recorder->close();
            return *code;
        }
        QObject::connect(&*interrupts, &StopSignals::raised, &m_running,
                         [this] { stopSoon(QStringLiteral("stopped by a signal"), m_exitCode); });
        // After the record's own reaction to the start, which names the batch.
        QTimer::singleShot(0, &m_running, [this] { announceBatch(); });
        m_running.exec();
        // Signals from here on find the run stopping already; they are taken (not left to kill
        // the tool while the record closes the batch) and change nothing.
        QObject::disconnect(&*interrupts, nullptr, &m_running, nullptr);
        return close();
    }

private:
    // Nothing is written before the record says whether it takes the batch; then the capture
    // and the port. The exit code when one of them fails.
    std::optional<int> open()
    {
        QElapsedTimer waited;
        waited.start();
        while (!m_recorder->known() && waited.elapsed() < kRecordKnownMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!m_recorder->known() || !m_recorder->problem().isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: production record is off: %1")
                            .arg(m_recorder->known() ? m_recorder->problem()
                                                     : QStringLiteral("it did not answer")));
            m_recorder->close();
            return kRecordFailed;
        }
        if (int code = 0; !captureIfAsked(m_session, m_args.capture, &code)) {
            m_recorder->close();
            return code;
        }
        QString reason;
        if (!m_session.connectPort(m_args.device, &reason)) {
            say(stderr, QStringLiteral("kestrel-rfid: %1: %2").arg(m_args.device, reason));
            m_recorder->close();
            return kPortFailed;
        }
        return std::nullopt;
    }

    void wire()
    {
        ProductionLoop &loop = m_session.loop();
        QObject::connect(&m_deadline, &QTimer::timeout, &m_running, [this] {
            finish(m_stopAsked->first
                       + QStringLiteral("; the tag in progress did not end within %1 s")
                             .arg(kStopWithinMs / 1000),
                   m_stopAsked->second);
        });
        QObject::connect(&loop, &ProductionLoop::shown, &m_running,
                         [this](const AutoLoop::Actions &a) {
                             if (a.switchedOff)
                                 m_offWhy = *a.switchedOff;
                         });
        QObject::connect(&loop, &ProductionLoop::tagStarted, &m_running, [this] { ++m_started; });
        QObject::connect(&loop, &ProductionLoop::tagEnded, &m_running,
                         [this](const AutoLoop::TagOutcome &t) { onTagEnded(t); });
        QObject::connect(&loop, &ProductionLoop::uidRefused, &m_running,
                         [this](const QString &why) { onUidRefused(why); });
        QObject::connect(&loop, &ProductionLoop::failuresStopped, &m_running,
                         [this](const QString &why) { finish(why, kTagFailed); });
        QObject::connect(&loop, &ProductionLoop::finished, &m_running,
                         [this](const QString &why) { finish(why, m_exitCode); });
        QObject::connect(&loop, &ProductionLoop::switched, &m_running,
                         [this](bool on) { onSwitched(on); });
        QObject::connect(&m_session, &Session::portFailed, &m_running,
                         [this](const QString &why) { finish(why, kPortFailed); });
        QObject::connect(&m_session.capture(), &TrafficCapture::failed, &m_running,
                         [this](const QString &why) { outputFailed(why); });
    }

    // Where the job carries on, then the loop's start (after the job's UID list is in the
    // record); the exit code when the run ends before its batch.
    std::optional<int> begin(StopSignals &interrupts)
    {
        if (m_args.job->carriesOn()) {
            if (const std::optional<int> code
                = carryOnFrom(m_session, *m_recorder, interrupts,
                              [this](const QString &text) { person(text); }))
                return code;
        }
        m_session.loop().start();
        if (m_session.loop().running())
            return std::nullopt;
        // A signal cancels the list's loading, and the batch never starts.
        const std::optional<QString> loaded = waitForList(*m_recorder, interrupts);
        if (loaded && loaded->isEmpty())
            return std::nullopt;
        // Why the list cannot be used was said as the record's warning.
        if (!loaded)
            say(stderr, QStringLiteral("kestrel-rfid: stopped by a signal before the UID list "
                                       "was ready; no batch was started"));
        return loaded ? kRecordFailed : kDone;
    }

    void announceBatch()
    {
        // A used-up list ends the run before any batch opens.
        if (!m_begun)
            return;
        if (!m_events.write(QJsonObject{{QStringLiteral("event"), QStringLiteral("batch")},
                                        {QStringLiteral("key"), m_recorder->batchKey()},
                                        {QStringLiteral("options"), m_args.job->toObject()},
                                        {QStringLiteral("station"), QSysInfo::machineHostName()},
                                        {QStringLiteral("operator"), m_recorder->operatorName()},
                                        {QStringLiteral("port"), m_args.device}}))
            outputFailed(m_events.failure());
        person(QStringLiteral("batch started on %1").arg(m_args.device));
    }

    // What a person reads; with the events on standard output, they alone go there.
    void person(const QString &text)
    {
        if (!m_events.toStdout())
            say(stdout, text);
    }

    void finish(const QString &why, int code)
    {
        if (m_stoppedWhy.isEmpty()) {
            m_stoppedWhy = why;
            m_exitCode = code;
        }
        m_deadline.stop();
        // A tag still in progress ends as stopped, its UID in doubt unless confirmed.
        QTimer::singleShot(0, &m_running, [this] {
            m_session.loop().stop();
            m_running.quit();
        });
    }

    // Lets the tag in progress end first, within kStopWithinMs; asked again, at once.
    void stopSoon(const QString &why, int code)
    {
        const bool again = m_stopAsked.has_value();
        if (!again)
            m_stopAsked = {why, qMax(m_exitCode, code)};
        if (again || m_started == m_ended)
            finish(m_stopAsked->first, m_stopAsked->second);
        else
            m_deadline.start();
    }

    void outputFailed(const QString &why)
    {
        say(stderr, QStringLiteral("kestrel-rfid: %1; the loop stops").arg(why));
        stopSoon(why, kOutputFailed);
    }

    void onTagEnded(const AutoLoop::TagOutcome &t)
    {
        ++m_ended;
        ++m_results[AutoLoop::resultName(t.result)];
        if (t.result != AutoLoop::TagOutcome::Result::Complete)
            m_exitCode = qMax(m_exitCode, int(kTagFailed));
        const bool told = m_events.write(tagEvent(t));
        // Counted in this run's order: the loop's serial also counts tags reported again
        // before their first command.
        person(
            QStringLiteral("tag %1: %2 %3")
                .arg(m_ended)
                .arg(AutoLoop::resultName(t.result), t.uidRead.isEmpty() ? t.uidAsked : t.uidRead));
        if (m_stopAsked)
            finish(m_stopAsked->first, qMax(m_exitCode, m_stopAsked->second));
        else if (!told)
            outputFailed(m_events.failure());
        else if (m_args.limit > 0 && m_ended >= m_args.limit)
            finish(QStringLiteral("%1 tags have ended").arg(m_ended), m_exitCode);
    }

    void onUidRefused(const QString &why)
    {
        const bool record = !m_recorder->problem().isEmpty();
        QString said = why;
        // This process ends here: say where the outcomes wait, and who sends them.
        said.replace(QStringLiteral("outcomes wait on this PC."),
                     QStringLiteral("outcomes wait in %1, and the tool's next start sends them.")
                         .arg(QDir::toNativeSeparators(ProductionRecord::spoolPath())));
        if (why.contains(QLatin1String("already written")))
            said += QStringLiteral(" To go on after the UIDs the record holds, give --continue; "
                                   "to start at another, --first UID.");
        finish(said, record ? kRecordFailed : kTagFailed);
    }

    void onSwitched(bool on)
    {
        m_begun = m_begun || on;
        if (on)
            return;
        // After the rest of the step: a refusal says why better than the last message.
        QTimer::singleShot(0, &m_running, [this] {
            if (m_stoppedWhy.isEmpty())
                finish(m_offWhy.isEmpty() ? QStringLiteral("the loop switched itself off")
                                          : m_offWhy,
                       int(kTagFailed));
        });
    }

    // Closes the batch and says how the run went; the exit code.
    int close()
    {
        m_session.disconnectPort();
        const QString left = m_recorder->close();
        if (!left.isEmpty()) {
            say(stderr, QStringLiteral("kestrel-rfid: ") + left);
            m_exitCode = qMax(m_exitCode, int(kRecordFailed));
        }
        const double minutes = (QDateTime::currentMSecsSinceEpoch() - m_began) / 60000.0;
        const double perMinute = minutes > 0 ? std::round(m_ended / minutes * 10) / 10 : 0.0;
        QJsonObject counts;
        for (auto it = m_results.cbegin(); it != m_results.cend(); ++it)
            counts.insert(it.key(), it.value());
        // A failure during the run was said when it happened.
        const bool failedBefore = !m_events.failure().isEmpty();
        const bool toldEnd
            = m_events.write(QJsonObject{{QStringLiteral("event"), QStringLiteral("stopped")},
                                         {QStringLiteral("why"), m_stoppedWhy}})
              && m_events.write(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                                            {QStringLiteral("tags"), m_ended},
                                            {QStringLiteral("results"), counts},
                                            {QStringLiteral("tagsPerMinute"), perMinute},
                                            {QStringLiteral("exit"), m_exitCode}});
        if (!toldEnd) {
            if (!failedBefore)
                say(stderr, QStringLiteral("kestrel-rfid: ") + m_events.failure());
            m_exitCode = kOutputFailed;
        }
        QString why = m_stoppedWhy;
        if (why.endsWith(u'.'))
            why.chop(1);
        person(QStringLiteral("stopped: %1; %2 %3")
                   .arg(why)
                   .arg(m_ended)
                   .arg(m_ended == 1 ? QStringLiteral("tag") : QStringLiteral("tags")));
        return m_exitCode;
    }

    ProduceArgs &m_args;
    EventSink &m_events;
    Session m_session;
    ConsoleDialogs m_dialogs;
    // Made once the session has the job's options.
    std::unique_ptr<Recorder> m_recorder;
    QEventLoop m_running;
    QTimer m_deadline;
    qint64 m_began = 0;
    QMap<QString, int> m_results;
    int m_started = 0;
    int m_ended = 0;
    int m_exitCode = kDone;
    // Asked to stop: why, and the exit code then; the tag in progress may end until the
    // deadline.
    std::optional<std::pair<QString, int>> m_stopAsked;
    QString m_stoppedWhy;
    QString m_offWhy;
    bool m_begun = false;
};

} // namespace

int produceCommand(const QStringList &arguments)
{
    EventSink events;
    int code = kDone;
    std::optional<ProduceArgs> args = parseProduce(arguments, events, &code);
    if (!args)
        return code;
    return ProduceRun(*args, events).exec();
}

} // namespace Cli
