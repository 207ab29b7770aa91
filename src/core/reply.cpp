#include "reply.h"

#include <algorithm>

#include <QHash>

namespace Reply {

int digitValue(const QString &text, int position)
{
    if (position < 1 || position > text.size())
        return 0;
    const QChar c = text.at(position - 1);
    return (c >= u'0' && c <= u'9') ? c.unicode() - u'0' : 0;
}

static bool isHexText(const QString &text)
{
    for (QChar c : text) {
        if (!(c >= u'0' && c <= u'9') && !(c >= u'A' && c <= u'F') && !(c >= u'a' && c <= u'f'))
            return false;
    }
    return true;
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
    // A tag ID is ten hexadecimal (or decimal) digits; the tail of a reply that broke apart on
    // the line ("66666666\r\n") is none.
    if (head.size() == kHeadLength && head != QLatin1String("8813100000") && isHexText(head)) {
        p.kind = Kind::Identifier;
        p.payload = head;
    }
    return p;
}

Gathered gathered(const QByteArray &text)
{
    if (text.isEmpty())
        return Gathered::Reply;
    const auto isLineEnd = [](char c) {
        return c == '\r' || c == '\n';
    };
    if (std::all_of(text.begin(), text.end(), isLineEnd))
        return Gathered::LineEnd;
    if (text.size() < kHeadLength && std::none_of(text.begin(), text.end(), isLineEnd))
        return Gathered::Fragment;
    return Gathered::Reply;
}

bool isBlockValue(const QString &text)
{
    return text.size() == 8 && isHexText(text);
}

bool isFieldReport(const Parsed &r)
{
    return r.kind == Kind::Identifier || r.kind == Kind::Error
           || (r.kind == Kind::Message
               && (r.code == kNotPresent || r.code == kNotConfigured || r.code == kNoUid));
}

QString errorText(int code)
{
    switch (code) {
    case kLengthIncorrect:
        return QStringLiteral("Length of the command is incorrect!");
    case kCommandWrong:
        return QStringLiteral("Command is wrong!");
    case kNoTag:
        return QStringLiteral("No Precent!");
    case kNoPassword:
        return QStringLiteral("No is Password!");
    case kPasswordWrong:
        return QStringLiteral("Password Error!");
    case kLockError:
        return QStringLiteral("Lock error!");
    default:
        return {};
    }
}

QString plainMeaning(const QString &text)
{
    static const QHash<QString, QString> meanings{
        {QStringLiteral("No Precent!"),
         QStringLiteral("no tag in the field, or one that does not answer; a protected tag "
                        "answers only to its password")},
        {QStringLiteral("No is Password!"),
         QStringLiteral("the tag is protected: give its password (PWD or Auto Unlock in the "
                        "window, --password-file here)")},
        {QStringLiteral("Password Error!"), QStringLiteral("that is not the tag's password")},
        {QStringLiteral("Lock error!"),
         QStringLiteral("the block is locked for good and cannot be written")},
        {QStringLiteral("Length of the command is incorrect!"),
         QStringLiteral("the box did not take the command's length")},
        {QStringLiteral("Command is wrong!"), QStringLiteral("the box does not know the command")},
        {QStringLiteral("No recpone command!"),
         QStringLiteral("the box did not answer: check the cable, the port and its power")},
        {QStringLiteral("Ready - Not Config"),
         QStringLiteral("a tag is in the field, its block 0 not an ID configuration")},
        {QStringLiteral("Ready - No UID"),
         QStringLiteral("a tag is in the field, configured, but it carries no ID")},
    };
    return meanings.value(text);
}

bool refusedUntouched(int errorCode)
{
    switch (errorCode) {
    case kLengthIncorrect:
    case kCommandWrong:
    case kNoPassword:
    case kPasswordWrong:
    case kHexBaseId:
        return true;
    default:
        return false;
    }
}

} // namespace Reply
