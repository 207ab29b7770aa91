#include "boxreplay.h"

#include "core/trafficformat.h"

#include <QTimer>

std::optional<QList<BoxReplay::Step>> BoxReplay::parse(const QByteArray &capture, QString *error)
{
    QList<Step> steps{Step{}};
    qint64 since = -1;
    int number = 0;
    for (const QByteArray &raw : capture.split('\n')) {
        ++number;
        if (raw.isEmpty() || raw.startsWith('#'))
            continue;
        QString why;
        const std::optional<TrafficFormat::Line> line = TrafficFormat::parseLine(raw, &why);
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
            steps.last().replies.append(Reply{us - since, bytes});
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
    play(m_steps.first());
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
    if (shown != step.command) {
        ++m_differences;
        emit event(QStringLiteral("differs at command %1: the capture has %2, the tool sent %3")
                       .arg(m_next)
                       .arg(QString::fromLatin1(step.command), QString::fromLatin1(shown)));
    }
    play(step);
    ++m_next;
    if (finished())
        emit played();
}

void BoxReplay::play(const Step &step)
{
    for (const Reply &r : step.replies) {
        QTimer::singleShot(int(r.afterUs / 1000), Qt::PreciseTimer, this, [this, r] {
            emit event(QStringLiteral("-> %1").arg(QString::fromLatin1(r.bytes).trimmed()));
            m_endpoint.write(r.bytes);
        });
    }
}
