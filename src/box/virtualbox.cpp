#include "virtualbox.h"

#include <QRandomGenerator>

namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr int kSplitAt = 5;
constexpr int kSplitGapMs = 30;
constexpr int kLateMs = 1000;
constexpr qsizetype kMaxCommandLine = 256;

bool parseHex(const QString &text, int digits, quint64 *value)
{
    if (text.size() != digits)
        return false;
    bool ok = false;
    *value = text.toULongLong(&ok, 16);
    return ok;
}

} // namespace

VirtualBox::VirtualBox(const QString &portsDir, int port, QObject *parent)
    : QObject(parent)
    , m_endpoint(portsDir, port)
{
    m_clock.start();
    m_pace.setTimerType(Qt::PreciseTimer);
    m_pace.setInterval(1);
    connect(&m_pace, &QTimer::timeout, this, &VirtualBox::pump);
    connect(&m_endpoint, &PtyEndpoint::received, this, &VirtualBox::onReceived);
    m_scriptTimer.setSingleShot(true);
    connect(&m_scriptTimer, &QTimer::timeout, this, &VirtualBox::continueScript);
}

bool VirtualBox::start(QString *error)
{
    if (!m_endpoint.open(error))
        return false;
    emit event(QStringLiteral("listening on %1 (%2)").arg(portPath(), m_endpoint.slavePath()));
    return true;
}

void VirtualBox::onReceived(const QByteArray &data)
{
    for (char c : data) {
        if (c != '\r' && c != '\n') {
            // A line that never ends is noise, not a command.
            if (m_input.size() < kMaxCommandLine)
                m_input.append(c);
            continue;
        }
        if (!m_input.isEmpty())
            handleLine(std::exchange(m_input, {}));
    }
}

void VirtualBox::handleLine(const QByteArray &line)
{
    emit event(QStringLiteral("<- %1").arg(QString::fromLatin1(line)));
    const auto reply = m_engine.command(line);
    if (reply)
        queueReply(reply->text, reply->delayMs);
    afterCommand(line);
}

void VirtualBox::afterCommand(const QByteArray &line)
{
    if (!m_conveyor || line != "SB1" || !m_engine.hasTag() || !m_engine.tagAddressed())
        return;
    QTimer::singleShot(m_conveyorLeaveMs, this, [this] {
        remove();
        QTimer::singleShot(m_conveyorGapMs, this, &VirtualBox::conveyorNext);
    });
}

void VirtualBox::conveyorNext()
{
    if (m_conveyor && !m_engine.hasTag())
        present(m_queued.isEmpty() ? T5557::blankTag() : m_queued.takeFirst());
}

void VirtualBox::queueReply(const QByteArray &text, int delayMs)
{
    const qint64 now = m_clock.nsecsElapsed();
    qint64 readyAt = std::max(now, m_busyUntilNs) + delayMs * kNsPerMs;
    QByteArray data = text + "\r\n";
    const Fault fault = std::exchange(m_fault, Fault::None);
    switch (fault) {
    case Fault::Drop:
        emit event(QStringLiteral("-> %1 (dropped)").arg(QString::fromLatin1(text)));
        return;
    case Fault::Garble:
        for (int i = 0; i < 3; ++i)
            data[QRandomGenerator::global()->bounded(int(text.size()))]
                = char(QRandomGenerator::global()->bounded(256));
        break;
    case Fault::Late:
        readyAt += kLateMs * kNsPerMs;
        break;
    case Fault::Split:
        queue(data.left(kSplitAt), readyAt);
        readyAt += kSplitAt * kCharNs + kSplitGapMs * kNsPerMs;
        data = data.mid(kSplitAt);
        break;
    case Fault::None:
        break;
    }
    emit event(QStringLiteral("-> %1").arg(QString::fromLatin1(text)));
    queue(data, readyAt);
    m_busyUntilNs = readyAt + data.size() * kCharNs;
}

void VirtualBox::queue(const QByteArray &data, qint64 readyAtNs)
{
    m_out.push_back({data, readyAtNs});
    if (!m_pace.isActive())
        m_pace.start();
}

void VirtualBox::pump()
{
    const qint64 now = m_clock.nsecsElapsed();
    if (m_streaming && m_out.empty())
        m_out.push_back({QByteArray("STREAM0123456789"), now});
    while (!m_out.empty()) {
        Out &out = m_out.front();
        const qint64 start = std::max(out.readyAtNs, m_lineFreeAtNs);
        if (now < start)
            return;
        const qint64 count = std::min<qint64>(out.data.size(), 1 + (now - start) / kCharNs);
        m_endpoint.write(out.data.left(count));
        out.data.remove(0, count);
        m_lineFreeAtNs = start + count * kCharNs;
        if (!out.data.isEmpty())
            return;
        m_out.pop_front();
    }
    if (!m_streaming)
        m_pace.stop();
}

void VirtualBox::present(const T5557::Tag &tag)
{
    if (m_engine.hasTag())
        remove();
    const QByteArray report = m_engine.present(tag);
    emit event(QStringLiteral("tag presented%1")
                   .arg(report.isEmpty() ? QStringLiteral(" (silent)") : QString()));
    if (!report.isEmpty())
        queueReply(report, m_engine.delays.read);
}

void VirtualBox::remove()
{
    if (!m_engine.hasTag())
        return;
    m_departed.append(m_engine.tag());
    queueReply(m_engine.remove(), m_engine.delays.settings);
    emit event(QStringLiteral("tag left the field"));
}

void VirtualBox::setConveyor(bool on, int gapMs, int leaveMs)
{
    m_conveyorLeaveMs = leaveMs;
    m_conveyor = on;
    m_conveyorGapMs = gapMs;
    if (on && !m_engine.hasTag())
        QTimer::singleShot(gapMs, this, &VirtualBox::conveyorNext);
}

QString VirtualBox::help()
{
    return QStringLiteral(
        "present blank | new | config | id <10 hex> | protected <8 hex pw> [<10 hex id>]\n"
        "        | aor <8 hex pw> [<10 hex id>] | foreign <8 hex block 0> [<8 hex pw>]\n"
        "                       put a tag into the field (new: as delivered; foreign:\n"
        "                       configured for another system, extended mode too)\n"
        "remove                 take the tag out of the field\n"
        "show                   the tag's memory, decoded\n"
        "lock <0-7>             lock a block of the tag\n"
        "conveyor on [gap ms] | conveyor off\n"
        "                       tags one after another (the queued ones first, then blank\n"
        "                       ones); a tag the tool wrote or tried leaves on SB1\n"
        "queue <tag>            a tag for the conveyor: any kind present takes\n"
        "weak on | weak off     tags from now on take a block write only at the second try\n"
        "delay settings|read|write|uid <ms>   processing time of a command kind\n"
        "drop | garble | split | late   fault on the next reply\n"
        "stream on | stream off         characters without pause\n"
        "vanish | appear        close the port (a pulled adapter) / publish it again\n"
        "wait <ms>              pause a script\n"
        "help | quit");
}

std::optional<T5557::Tag> VirtualBox::tagNamed(const QStringList &words, QString *error)
{
    const QString kind = words.value(0);
    quint64 id = 0x1122334455ULL;
    if (kind == QLatin1String("blank"))
        return T5557::blankTag();
    if (kind == QLatin1String("new"))
        return T5557::deliveredTag();
    if (kind == QLatin1String("config"))
        return T5557::configuredTag();
    if (kind == QLatin1String("foreign")) {
        quint64 word = 0;
        quint64 password = 0;
        if (!parseHex(words.value(1), 8, &word)) {
            *error = QStringLiteral("a foreign tag needs block 0 as eight hex digits");
            return std::nullopt;
        }
        if (words.size() > 2 && !parseHex(words.value(2), 8, &password)) {
            *error = QStringLiteral("the password must be eight hex digits");
            return std::nullopt;
        }
        return T5557::foreignTag(quint32(word), words.size() > 2 ? std::optional(quint32(password))
                                                                 : std::nullopt);
    }
    if (kind == QLatin1String("id")) {
        if (!parseHex(words.value(1), 10, &id)) {
            *error = QStringLiteral("a tag with an ID needs ten hex digits");
            return std::nullopt;
        }
        return T5557::tagWithId(id);
    }
    if (kind == QLatin1String("protected") || kind == QLatin1String("aor")) {
        quint64 password = 0;
        if (!parseHex(words.value(1), 8, &password)) {
            *error = QStringLiteral("%1 needs an eight-digit hex password").arg(kind);
            return std::nullopt;
        }
        if (words.size() > 2 && !parseHex(words.value(2), 10, &id)) {
            *error = QStringLiteral("the ID must be ten hex digits");
            return std::nullopt;
        }
        return T5557::protectedTag(quint32(password), id, kind == QLatin1String("aor"));
    }
    *error = QStringLiteral("what tag? blank, new, config, id, protected, aor or foreign");
    return std::nullopt;
}

QString VirtualBox::presentCommand(const QStringList &words)
{
    QString error;
    const std::optional<T5557::Tag> tag = tagNamed(words.mid(1), &error);
    if (!tag)
        return QStringLiteral("present: ") + error;
    present(*tag);
    return {};
}

QString VirtualBox::execute(const QString &line)
{
    const QStringList words = line.simplified().split(u' ', Qt::SkipEmptyParts);
    const QString verb = words.value(0).toLower();
    if (verb.isEmpty() || verb.startsWith(u'#'))
        return {};
    if (verb == QLatin1String("present"))
        return presentCommand(words);
    if (verb == QLatin1String("remove")) {
        remove();
        return {};
    }
    if (verb == QLatin1String("show"))
        return m_engine.hasTag() ? m_engine.tag().describe()
                                 : QStringLiteral("no tag in the field");
    if (verb == QLatin1String("help"))
        return help();
    if (verb == QLatin1String("lock")) {
        bool ok = false;
        const int n = words.value(1).toInt(&ok);
        if (!ok || n < 0 || n > 7 || !m_engine.hasTag())
            return QStringLiteral("lock needs a tag in the field and a block 0-7");
        m_engine.lockBlock(n);
        return {};
    }
    if (verb == QLatin1String("queue")) {
        QString error;
        const std::optional<T5557::Tag> tag = tagNamed(words.mid(1), &error);
        if (!tag)
            return QStringLiteral("queue: ") + error;
        m_queued.append(*tag);
        return {};
    }
    if (verb == QLatin1String("conveyor")) {
        const bool on = words.value(1) == QLatin1String("on");
        setConveyor(on, words.size() > 2 ? words[2].toInt() : m_conveyorGapMs);
        return {};
    }
    if (verb == QLatin1String("weak")) {
        m_engine.weakTags = words.value(1) != QLatin1String("off");
        return {};
    }
    if (verb == QLatin1String("delay")) {
        bool ok = false;
        const int ms = words.value(2).toInt(&ok);
        const QString kind = words.value(1);
        int *target = kind == QLatin1String("settings") ? &m_engine.delays.settings
                      : kind == QLatin1String("read")   ? &m_engine.delays.read
                      : kind == QLatin1String("write")  ? &m_engine.delays.write
                      : kind == QLatin1String("uid")    ? &m_engine.delays.uid
                                                        : nullptr;
        if (!target || !ok || ms < 0)
            return QStringLiteral("delay settings|read|write|uid <ms>");
        *target = ms;
        return {};
    }
    if (verb == QLatin1String("drop") || verb == QLatin1String("garble")
        || verb == QLatin1String("split") || verb == QLatin1String("late")) {
        m_fault = verb == QLatin1String("drop")     ? Fault::Drop
                  : verb == QLatin1String("garble") ? Fault::Garble
                  : verb == QLatin1String("split")  ? Fault::Split
                                                    : Fault::Late;
        return {};
    }
    if (verb == QLatin1String("stream")) {
        m_streaming = words.value(1) != QLatin1String("off");
        if (m_streaming)
            m_pace.start();
        return {};
    }
    if (verb == QLatin1String("vanish")) {
        m_endpoint.close();
        m_out.clear();
        emit event(QStringLiteral("port closed"));
        return {};
    }
    if (verb == QLatin1String("appear")) {
        QString error;
        return start(&error) ? QString() : error;
    }
    if (verb == QLatin1String("wait"))
        return {};
    return QStringLiteral("unknown command '%1'; try help").arg(verb);
}

void VirtualBox::runScript(const QStringList &lines)
{
    m_script = lines;
    continueScript();
}

void VirtualBox::continueScript()
{
    while (!m_script.isEmpty()) {
        const QString line = m_script.takeFirst();
        const QStringList words = line.simplified().split(u' ');
        if (words.value(0) == QLatin1String("wait")) {
            m_scriptTimer.start(words.value(1).toInt());
            return;
        }
        const QString answer = execute(line);
        if (!answer.isEmpty())
            emit event(answer);
    }
    emit scriptFinished();
}
