#include "trafficformat.h"

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

} // namespace TrafficFormat
