#include "reply.h"

namespace Reply {

int digitValue(const QString &text, int position)
{
    if (position < 1 || position > text.size())
        return 0;
    const QChar c = text.at(position - 1);
    return (c >= u'0' && c <= u'9') ? c.unicode() - u'0' : 0;
}

Parsed classify(const QString &head)
{
    Parsed p;
    if (head.startsWith(QLatin1String("Err"))) {
        p.kind = Kind::Error;
        p.code = digitValue(head, kHeadLength);
        return p;
    }
    if (head.startsWith(QLatin1String("Msg"))) {
        p.kind = Kind::Message;
        p.code = digitValue(head, kHeadLength);
        return p;
    }
    if (head.startsWith(u'R') || head.startsWith(u'W')) {
        p.kind = head.startsWith(u'R') ? Kind::BlockRead : Kind::BlockWrite;
        p.block = digitValue(head, 2);
        p.payload = head.mid(2, 8);
        return p;
    }
    if (head.size() == kHeadLength && head != QLatin1String("8813100000")) {
        p.kind = Kind::Identifier;
        p.payload = head;
    }
    return p;
}

bool isBlockValue(const QString &text)
{
    if (text.size() != 8)
        return false;
    for (QChar c : text) {
        if (!(c >= u'0' && c <= u'9') && !(c >= u'A' && c <= u'F') && !(c >= u'a' && c <= u'f'))
            return false;
    }
    return true;
}

QString errorText(int code)
{
    switch (code) {
    case 1:
        return QStringLiteral("Length of the command is incorrect!");
    case 2:
        return QStringLiteral("Command is wrong!");
    case 3:
        return QStringLiteral("No Precent!");
    case 4:
        return QStringLiteral("No is Password!");
    case 5:
        return QStringLiteral("Password Error!");
    case 7:
        return QStringLiteral("Lock error!");
    default:
        return {};
    }
}

} // namespace Reply
