#include "uidlist.h"

#include "uid.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <utility>

namespace {

QString field(const QString &line, int column)
{
    // The separator is the first of these the line holds; a quoted field may hold it.
    QChar separator = u',';
    for (const QChar c : {QChar(u'\t'), QChar(u';'), QChar(u',')}) {
        if (line.contains(c)) {
            separator = c;
            break;
        }
    }
    QStringList fields;
    QString current;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                current += c;
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (c == separator && !quoted) {
            fields << current;
            current.clear();
        } else {
            current += c;
        }
    }
    fields << current;
    return column <= fields.size() ? fields[column - 1].trimmed() : QString();
}

bool hasDigit(const QString &text)
{
    for (const QChar c : text) {
        if (c.isDigit())
            return true;
    }
    return false;
}

} // namespace

std::optional<UidList> UidList::parse(const QByteArray &text, int column, bool hex, QString *error)
{
    if (column < 1) {
        *error = QStringLiteral("the column must be 1 or more, not %1").arg(column);
        return std::nullopt;
    }
    if (text.contains('\0')) {
        *error = QStringLiteral("it is not a text file");
        return std::nullopt;
    }
    const QString base = hex ? QStringLiteral("ten hexadecimal digits")
                             : QStringLiteral("ten decimal digits up to 4294967295");
    UidList list;
    QStringList bad;
    int badCount = 0;
    QHash<quint64, int> seen;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    digest.addData(hex ? "hex\n" : "dec\n");
    bool first = true;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i + 1);
        QString line = QString::fromUtf8(lines[i]);
        if (number == 1 && line.startsWith(QChar(0xfeff)))
            line.remove(0, 1);
        if (line.trimmed().isEmpty())
            continue;
        const QString value = field(line, column);
        if (std::exchange(first, false) && !hasDigit(value) && !Uid::tagId(value, hex))
            continue;
        const auto refuse = [&](const QString &why) {
            if (++badCount <= kNamedLines)
                bad << QStringLiteral("line %1 %2").arg(number).arg(why);
        };
        const std::optional<quint64> id
            = value.size() == Uid::kLength ? Uid::tagId(value, hex) : std::nullopt;
        if (!id) {
            refuse(value.isEmpty() ? QStringLiteral("has no field %1").arg(column)
                                   : QStringLiteral("\"%1\" is not %2").arg(value.left(40), base));
            continue;
        }
        if (const auto at = seen.constFind(*id); at != seen.cend()) {
            refuse(QStringLiteral("repeats the ID of line %1").arg(*at));
            continue;
        }
        seen.insert(*id, number);
        list.m_positions.insert(*id, int(list.m_ids.size()));
        list.m_ids.append({value.toUpper(), *id, number});
        digest.addData(list.m_ids.last().text.toLatin1() + '\n');
    }
    if (badCount > 0) {
        *error = bad.join(QStringLiteral("; "));
        if (badCount > kNamedLines)
            *error += QStringLiteral("; and %1 more bad lines").arg(badCount - kNamedLines);
        return std::nullopt;
    }
    if (list.m_ids.isEmpty()) {
        *error = QStringLiteral("it holds no ID");
        return std::nullopt;
    }
    list.m_hex = hex;
    list.m_key = QString::fromLatin1(digest.result().toHex().left(32));
    return list;
}

std::optional<int> UidList::positionOf(quint64 tagId) const
{
    const auto it = m_positions.constFind(tagId);
    return it == m_positions.cend() ? std::nullopt : std::optional<int>(*it);
}

std::optional<QString> UidList::after(const QString &uid) const
{
    const std::optional<quint64> id = Uid::tagId(uid, m_hex);
    const std::optional<int> at = id ? positionOf(*id) : std::nullopt;
    if (!at || *at + 1 >= count())
        return std::nullopt;
    return m_ids[*at + 1].text;
}

std::optional<UidList> UidList::load(const QString &file, int column, bool hex, QString *error)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 cannot be read: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    if (in.size() > kMaxBytes) {
        *error = QStringLiteral("%1 is not a UID list: it is larger than %2 MiB")
                     .arg(file)
                     .arg(kMaxBytes / (1024 * 1024));
        return std::nullopt;
    }
    QString why;
    std::optional<UidList> list = parse(in.read(kMaxBytes + 1), column, hex, &why);
    if (!list)
        *error = QStringLiteral("%1 is not a usable UID list: %2").arg(file, why);
    else {
        list->m_name = QFileInfo(file).fileName();
        list->m_file = QFileInfo(file).absoluteFilePath();
        list->m_column = column;
    }
    return list;
}
