#include "uid.h"

namespace Uid {

bool isDecimal(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

qint64 leadingNumber(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == u' ')
        ++i;
    qint64 value = 0;
    // Eighteen digits cannot overflow; the fields never hold more than ten.
    for (int digits = 0; i < text.size() && digits < 18; ++i, ++digits) {
        const QChar c = text.at(i);
        if (c < u'0' || c > u'9')
            break;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

static QString padded(qint64 value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

QString StepSetUid(const QString &text, qint64 k)
{
    if (isDecimal(text))
        return padded(leadingNumber(text) + k, kLength);
    return text.left(4) + padded(leadingNumber(text.mid(4, 6)) + k, 6);
}

QString decimalToHex(const QString &text)
{
    constexpr qint64 kLargest = 2147483647;
    const qint64 value = isDecimal(text) && text.size() <= kLength ? leadingNumber(text) : -1;
    if (value < 0 || value > kLargest)
        return QString(kLength, u'0');
    return QString::number(value, 16).toUpper().rightJustified(kLength, u'0');
}

QString hexToDecimal(const QString &text)
{
    bool ok = false;
    const qint64 value = text.mid(4, 6).toLongLong(&ok, 16);
    return padded(ok ? value : 0, kLength);
}

std::optional<quint64> tagId(const QString &text, bool hex)
{
    if (text.size() != kLength)
        return std::nullopt;
    for (QChar c : text) {
        const bool digit = c >= u'0' && c <= u'9';
        const bool letter = (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
        if (!digit && !(hex && letter))
            return std::nullopt;
    }
    const quint64 id = text.toULongLong(nullptr, hex ? 16 : 10);
    if (!hex && id > 0xFFFFFFFFULL)
        return std::nullopt;
    return id;
}

QStringList spellings(quint64 id)
{
    QStringList texts{QStringLiteral("%1").arg(id, kLength, 16, QLatin1Char('0')).toUpper()};
    if (id <= 0xFFFFFFFFULL)
        texts << QStringLiteral("%1").arg(id, kLength, 10, QLatin1Char('0'));
    return texts;
}

std::optional<TagId> idOf(const QString &text, bool hex)
{
    const std::optional<quint64> id = tagId(text, hex);
    if (!id)
        return std::nullopt;
    return TagId{*id};
}

} // namespace Uid
