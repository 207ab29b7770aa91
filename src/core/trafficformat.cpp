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
    if (time.size() == 2)
        line.us = time[0].toLongLong(&secondsOk) * 1000000 + time[1].toLongLong(&microsOk);
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
