#include "trafficformat.h"

#include <QList>
#include <QStringList>

namespace TrafficFormat {

QByteArray masked(const QByteArray &line, bool fromTool)
{
    QByteArray out = line;
    const auto hide = [&out](qsizetype from, qsizetype count) {
        for (qsizetype i = from; i < qMin(from + count, out.size()); ++i) {
            if (out[i] != '\r' && out[i] != '\n')
                out[i] = '*';
        }
    };
    if (fromTool) {
        // The password, or block 7's new value, follows the mnemonic and block digit.
        if (out.startsWith("WB7") || out.startsWith("ARE") || out.startsWith("RP"))
            hide(3, 8);
        else if (out.startsWith("WP")) {
            hide(3, 8);
            if (out.size() > 2 && out[2] == '7')
                hide(11, 8);
        }
    } else if (out.startsWith("R7") || out.startsWith("W7")) {
        hide(2, 8);
    }
    return out;
}

Secrets secretsOf(const QByteArray &command)
{
    Secrets s;
    const auto take = [&](qsizetype at) {
        const QByteArray v = command.mid(at, 8);
        if (v.size() == 8)
            s.values << v;
    };
    const bool seven = command.size() > 2 && command[2] == '7';
    if (command.startsWith("RP") || command.startsWith("ARE") || command.startsWith("WP"))
        take(3);
    if (command.startsWith("WB7"))
        take(3);
    if (command.startsWith("WP7"))
        take(11);
    s.blockSeven = command.startsWith("ARE")
                   || (seven
                       && (command.startsWith("RB") || command.startsWith("RP")
                           || command.startsWith("WB") || command.startsWith("WP")));
    return s;
}

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void hide(QByteArray &out, qsizetype from, qsizetype to)
{
    for (qsizetype i = from; i < to; ++i)
        out[i] = '*';
}

} // namespace

QByteArray maskedReply(const QByteArray &bytes, const QList<QByteArray> &secrets, bool blockSeven,
                       bool complete)
{
    QByteArray out = masked(bytes, false);
    for (const QByteArray &secret : secrets) {
        for (qsizetype at = out.indexOf(secret); at >= 0; at = out.indexOf(secret, at + 1))
            hide(out, at, at + secret.size());
    }
    qsizetype i = 0;
    while (i < out.size()) {
        if (!isHexDigit(out[i])) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < out.size() && isHexDigit(out[end]))
            ++end;
        // "R7" and "W7" keep their block digit, so a reader still sees what was answered.
        const qsizetype from
            = i > 0 && (out[i - 1] == 'R' || out[i - 1] == 'W') && out[i] == '7' ? i + 1 : i;
        const bool trailing = !complete && end == out.size();
        bool secretStart = false;
        for (const QByteArray &secret : secrets) {
            for (qsizetype k = i; trailing && k < end && !secretStart; ++k)
                secretStart = secret.startsWith(out.mid(k, end - k));
        }
        if ((blockSeven && (end - from >= 4 || trailing)) || secretStart)
            hide(out, from, end);
        i = end;
    }
    return out;
}

QByteArray escaped(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (u < 0x20 || u > 0x7E)
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

QByteArray unescaped(const QByteArray &text, bool *ok)
{
    QByteArray out;
    *ok = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (next == '\\' || next == 'r' || next == 'n') {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size()) {
            bool hex = false;
            out += char(text.mid(i + 2, 2).toInt(&hex, 16));
            *ok = *ok && hex;
            i += 3;
        } else {
            *ok = false;
        }
    }
    return out;
}

std::optional<Line> parseLine(const QByteArray &raw, QString *why)
{
    const qsizetype space = raw.indexOf(' ');
    const QList<QByteArray> time = raw.left(space).split('.');
    bool secondsOk = false;
    bool microsOk = false;
    Line line;
    if (time.size() == 2) {
        const qint64 seconds = time[0].toLongLong(&secondsOk);
        const qint64 micros = time[1].toLongLong(&microsOk);
        // Seconds of a steady clock and six digits of them; anything else (a sign, a number
        // that overflows when made microseconds) is no time the tool wrote.
        secondsOk = secondsOk && seconds >= 0 && seconds < 1000000000000LL;
        microsOk = microsOk && micros >= 0 && micros < 1000000;
        if (secondsOk && microsOk)
            line.us = seconds * 1000000 + micros;
    }
    if (space < 0 || !secondsOk || !microsOk || raw.size() < space + 3 || raw[space + 2] != ' ') {
        *why = QStringLiteral("is not a line of a traffic capture");
        return std::nullopt;
    }
    line.direction = raw[space + 1];
    if (line.direction != '>' && line.direction != '<' && line.direction != '!') {
        *why = QStringLiteral("has no direction (>, < or !)");
        return std::nullopt;
    }
    bool ok = true;
    line.bytes = unescaped(raw.mid(space + 3), &ok);
    if (!ok) {
        *why = QStringLiteral("holds an escape that cannot be read");
        return std::nullopt;
    }
    return line;
}

QString readable(const QByteArray &capture)
{
    QStringList out;
    std::optional<qint64> first;
    for (const QByteArray &raw : capture.split('\n')) {
        QString why;
        std::optional<Line> line = parseLine(raw, &why);
        if (!line)
            continue;
        if (!first)
            first = line->us;
        QByteArray text = line->bytes;
        while (text.endsWith('\n') || text.endsWith('\r'))
            text.chop(1);
        // As the window's traffic log words it.
        const QString what = line->direction == '>'   ? QStringLiteral("Send: ")
                             : line->direction == '<' ? QStringLiteral("Recive: ")
                                                      : QStringLiteral("Link: ");
        out << QStringLiteral("%1  %2%3")
                   .arg(double(line->us - *first) / 1e6, 9, 'f', 3)
                   .arg(what, QString::fromLatin1(escaped(text)));
    }
    return out.join(u'\n');
}

} // namespace TrafficFormat
