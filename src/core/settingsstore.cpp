#include "settingsstore.h"

#include <QFile>
#include <QSaveFile>
#include <QSettings>

#include <cctype>

namespace {

struct Entry {
    qsizetype start = 0;
    qsizetype end = 0;
    qsizetype equals = -1;
};

// One logical line from `pos`, split where QSettings splits its INI files.
bool nextEntry(const QByteArray &data, qsizetype &pos, Entry &e)
{
    const qsizetype n = data.size();
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    };
    e.equals = -1;
    e.start = pos;
    while (e.start < n && isSpace(data.at(e.start)))
        ++e.start;
    bool quoted = false;
    qsizetype i = e.start;
    while (i < n) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!quoted && e.equals < 0)
                e.equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == e.start + 1) {
                ++e.start;
            } else if (!quoted) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < n) {
                const char escaped = data.at(i++);
                if (i < n) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ';') {
            if (i == e.start + 1) {
                while (i < n && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                e.start = i;
            } else if (!quoted) {
                --i;
                break;
            }
        }
    }
    pos = i;
    e.end = i;
    return e.end > e.start;
}

bool decodedThroughStream(const QString &element)
{
    return element.startsWith(u"@Variant(") || element.startsWith(u"@DateTime(");
}

// Whether any element of the value in data[from, to) would reach Qt's binary stream. Only the
// start of each element matters, so bytes above ASCII are taken one by one.
bool holdsSerialized(const QByteArray &data, qsizetype from, qsizetype to)
{
    static constexpr char kSimple[] = "a\ab\bf\fn\nr\rt\tv\v\"\"?\?''\\\\";
    QString element;
    // Once an element's start rules the stream out, the rest of it is skipped.
    bool settled = false;
    bool quoted = false;
    qsizetype i = from;
    auto skipSpaces = [&] {
        while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
            ++i;
    };
    skipSpaces();
    while (i < to) {
        const char c = data.at(i);
        if (c == '\\') {
            if (++i >= to)
                break;
            const char e = data.at(i++);
            const char *simple = nullptr;
            for (const char *p = kSimple; *p; p += 2)
                if (*p == e)
                    simple = p;
            if (simple) {
                element += QChar(uchar(simple[1]));
            } else if (e == 'x' && i < to && std::isxdigit(uchar(data.at(i)))) {
                quint32 v = 0;
                while (i < to && std::isxdigit(uchar(data.at(i)))) {
                    const char h = char(std::tolower(uchar(data.at(i++))));
                    v = (v << 4) + quint32(h <= '9' ? h - '0' : h - 'a' + 10);
                }
                element += QChar(char16_t(v & 0xffff));
            } else if (e >= '0' && e <= '7') {
                quint32 v = quint32(e - '0');
                while (i < to && data.at(i) >= '0' && data.at(i) <= '7')
                    v = (v << 3) + quint32(data.at(i++) - '0');
                element += QChar(char16_t(v & 0xffff));
            } else if ((e == '\n' || e == '\r') && i < to) {
                const char next = data.at(i);
                if ((next == '\n' || next == '\r') && next != e)
                    ++i;
            }
        } else if (c == '"') {
            ++i;
            quoted = !quoted;
            if (!quoted)
                skipSpaces();
        } else if (c == ',' && !quoted) {
            if (!settled && decodedThroughStream(element))
                return true;
            element.clear();
            settled = false;
            ++i;
            skipSpaces();
        } else {
            element += QChar(uchar(c));
            ++i;
        }
        // Past the longest prefix that matters, the rest of the element cannot change the answer.
        if (!settled && element.size() >= 10) {
            if (decodedThroughStream(element))
                return true;
            settled = true;
        }
        if (settled)
            element.clear();
    }
    return !settled && decodedThroughStream(element);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

namespace SettingsStore {

QByteArray withoutSerialized(const QByteArray &ini, int *cut)
{
    QByteArray kept;
    int dropped = 0;
    qsizetype pos = 0, copied = 0;
    Entry e;
    while (nextEntry(ini, pos, e)) {
        if (e.equals < 0 || ini.at(e.start) == '[' || !holdsSerialized(ini, e.equals + 1, e.end))
            continue;
        kept += ini.mid(copied, e.start - copied);
        copied = e.end;
        ++dropped;
    }
    if (cut)
        *cut = dropped;
    if (!dropped)
        return ini;
    kept += ini.mid(copied);
    return kept;
}

std::unique_ptr<QSettings> open()
{
    // Making a QSettings only splits the file into sections; values are decoded when read.
    QString user, system;
    {
        const QSettings probe(QString::fromLatin1(kName));
        user = probe.fileName();
        system = QSettings(probe.format(), QSettings::SystemScope, QString::fromLatin1(kName))
                     .fileName();
    }
    const QByteArray text = readAll(user);
    int cut = 0;
    const QByteArray clean = withoutSerialized(text, &cut);
    if (cut) {
        QSaveFile f(user);
        // If the file cannot be rewritten Qt still reads it: a slow start, not a wrong one.
        if (f.open(QIODevice::WriteOnly) && f.write(clean) == clean.size())
            f.commit();
    }
    auto settings = std::make_unique<QSettings>(QString::fromLatin1(kName));
    int foreign = 0;
    withoutSerialized(readAll(system), &foreign);
    if (foreign)
        settings->setFallbacksEnabled(false);
    return settings;
}

} // namespace SettingsStore
