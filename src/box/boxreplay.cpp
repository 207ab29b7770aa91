#include "boxreplay.h"

#include "core/trafficformat.h"

#include <QTimer>
#include <climits>

std::optional<QList<BoxReplay::Step>> BoxReplay::parse(const QByteArray &capture, QString *error,
                                                       QString *note)
{
    QList<Step> steps{Step{}};
    qint64 since = -1;
    int number = 0;
    const QList<QByteArray> lines = capture.split('\n');
    for (const QByteArray &raw : lines) {
        ++number;
        if (raw.isEmpty() || raw.startsWith('#'))
            continue;
        QString why;
        const std::optional<TrafficFormat::Line> line = TrafficFormat::parseLine(raw, &why);
        // A capture cut off by a full disk or a kill ends mid-line: the rest is whole.
        if (!line && number == lines.size()) {
            if (note)
                *note = QStringLiteral("the last line (%1) is cut off; it is left out").arg(number);
            break;
        }
        if (!line) {
            *error = QStringLiteral("line %1 %2").arg(number).arg(why);
            return std::nullopt;
        }
        const qint64 us = line->us;
        const char direction = line->direction;
        const QByteArray &bytes = line->bytes;
        if (direction == '>') {
            QByteArray command = bytes;
            while (command.endsWith('\n') || command.endsWith('\r'))
                command.chop(1);
            steps.append(Step{command, {}});
            since = us;
        } else if (direction == '<') {
            if (since < 0)
                since = us;
            // A clock that went back (captures joined) plays the reply at once; a gap longer
            // than a timer takes waits as long as one can.
            steps.last().replies.append(
                Reply{qBound<qint64>(0, us - since, qint64(INT_MAX) * 1000), bytes});
        } else if (direction == '!') {
            if (bytes.startsWith("open ") && steps.size() == 1)
                since = us;
        }
    }
    if (steps.size() == 1 && steps.first().replies.isEmpty()) {
        *error = QStringLiteral("the capture holds no traffic");
        return std::nullopt;
    }
    return steps;
}

BoxReplay::BoxReplay(QList<Step> steps, const QString &portsDir, int port, QObject *parent)
    : QObject(parent)
    , m_steps(std::move(steps))
    , m_endpoint(portsDir, port)
{
    connect(&m_endpoint, &PtyEndpoint::received, this, &BoxReplay::onReceived);
}

bool BoxReplay::start(QString *error)
{
    if (!m_endpoint.open(error))
        return false;
    emit event(QStringLiteral("replaying %1 commands on %2")
                   .arg(m_steps.size() - 1)
                   .arg(m_endpoint.linkPath()));
    // What the box said before the first command.
    play(m_steps.first(), {});
    m_next = 1;
    return true;
}

void BoxReplay::onReceived(const QByteArray &data)
{
    m_input += data;
    qsizetype end;
    while ((end = m_input.indexOf('\n')) >= 0) {
        QByteArray line = m_input.left(end);
        m_input.remove(0, end + 1);
        while (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            onLine(line);
    }
    // A tool that sends without line ends must not grow the buffer.
    if (m_input.size() > 1024)
        m_input.clear();
}

void BoxReplay::onLine(const QByteArray &line)
{
    const QByteArray shown = TrafficFormat::masked(line, true);
    emit event(QStringLiteral("<- %1").arg(QString::fromLatin1(shown)));
    if (finished()) {
        ++m_differences;
        emit event(QStringLiteral("differs: the capture has no command %1, the tool sent %2")
                       .arg(m_next)
                       .arg(QString::fromLatin1(shown)));
        return;
    }
    const Step &step = m_steps[m_next];
    const TrafficFormat::Secrets secrets = TrafficFormat::secretsOf(line);
    if (line.startsWith("RP") || line.startsWith("WP") || line.startsWith("ARE"))
        m_password = line.mid(3, 8);
    if (shown != step.command) {
        ++m_differences;
        emit event(QStringLiteral("differs at command %1: the capture has %2, the tool sent %3")
                       .arg(m_next)
                       .arg(QString::fromLatin1(step.command), QString::fromLatin1(shown)));
    }
    // The capture masked what block 7 answered; the tool's own command says what it was.
    QByteArray value;
    if (line.startsWith("WB7"))
        value = line.mid(3, 8);
    else if (line.startsWith("WP7"))
        value = line.mid(11, 8);
    else if (secrets.blockSeven)
        value = m_password;
    play(step, value);
    ++m_next;
    if (finished())
        emit played();
}

void BoxReplay::play(const Step &step, const QByteArray &masked)
{
    for (Reply r : step.replies) {
        const qsizetype at = r.bytes.indexOf("********");
        if (masked.size() == 8 && at >= 0)
            r.bytes.replace(at, 8, masked);
        QTimer::singleShot(int(r.afterUs / 1000), Qt::PreciseTimer, this, [this, r] {
            emit event(QStringLiteral("-> %1").arg(QString::fromLatin1(r.bytes).trimmed()));
            m_endpoint.write(r.bytes);
        });
    }
}
