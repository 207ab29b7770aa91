#include "notices.h"

#include "gui/widgets/palette.h"

using namespace Palette;
using Kind = AutoLoop::Notice::Kind;

namespace Notices {

namespace {

void add(const AutoLoop::Notice &n, Shown &s)
{
    const auto log = [&s](const QString &text, quint32 colour, int size = 9) {
        s.log.append({text + QStringLiteral("\r\n"), colour, size});
    };
    const auto message = [&s](const QString &text, quint32 colour) {
        s.messages.append({text, colour});
    };
    switch (n.kind) {
    case Kind::BoxBase:
        log(QStringLiteral("The box reports IDs in %1 (%2).")
                .arg(n.ok ? QStringLiteral("HEX") : QStringLiteral("DEC"), n.text),
            ColorBlue);
        return;
    case Kind::BaseRefused:
        message(n.text, ColorOrangeRed);
        log(n.text, ColorOrangeRed);
        return;
    case Kind::RunDone:
        message(n.text, ColorBlue);
        return;
    case Kind::CarryOn:
        log(n.text, ColorBlue);
        return;
    case Kind::UidOutOfRange:
        message(QStringLiteral("UID out of range! (") + n.uid + u')', ColorOrangeRed);
        return;
    case Kind::StoppedOutOfRange:
        message(QStringLiteral("UID out of range! Auto Write stopped."), ColorOrangeRed);
        return;
    case Kind::UidSkipped:
        log(QStringLiteral("UID %1 skipped: %2").arg(n.uid, n.text), ColorOrangeRed);
        return;
    case Kind::AnswerMayBeEarlier:
        log(n.block < 0 ? QStringLiteral("The UID's answer may be an earlier command's: the tag "
                                         "is asked before it counts.")
                        : QStringLiteral("Block %1's answer may be an earlier command's: it is "
                                         "read back before it counts.")
                              .arg(n.block),
            ColorOrangeRed);
        return;
    case Kind::WriteRetried:
        message(QStringLiteral("Write Error! "), ColorOrangeRed);
        log(QStringLiteral("Block %1 read back wrong: written again (%2 of %3).")
                .arg(n.block)
                .arg(n.count)
                .arg(n.limit),
            ColorOrangeRed);
        return;
    case Kind::WriteAnswered:
        if (n.ok)
            message(QStringLiteral("Write Ok! "), ColorDeepPink);
        else
            message(QStringLiteral("Write Error! "), ColorOrangeRed);
        return;
    case Kind::LateUid:
        log(QStringLiteral("UID %1 was read back after its tag was given up; it is not given "
                           "again.")
                .arg(n.uid),
            ColorOrangeRed);
        return;
    case Kind::OtherBase:
        log(QStringLiteral("ID %1 is no ID in the job's base: the box reports in the other. The "
                           "tag was not written; the box is told the base again.")
                .arg(n.uid),
            ColorOrangeRed);
        message(QStringLiteral("Tag not written: ID in the other base"), ColorOrangeRed);
        return;
    case Kind::AlreadyWritten:
        log(QStringLiteral("UID %1 is on this tag already: written %2. It was not written again.")
                .arg(n.uid, n.text),
            ColorOrangeRed);
        message(QStringLiteral("Tag already written: UID ") + n.uid, ColorOrangeRed);
        return;
    case Kind::IdUnreadable:
        log(QStringLiteral("The tag's ID read differently each time (last %1): it was not "
                           "written.")
                .arg(n.uid),
            ColorOrangeRed);
        message(QStringLiteral("Tag not written: its ID cannot be read"), ColorOrangeRed);
        return;
    case Kind::UidGaveUp:
        log(QStringLiteral("Error - can not Write UID!   ID: ") + n.uid, ColorOrangeRed, 16);
        return;
    case Kind::UnlockedFromList:
        log(QStringLiteral("The job's password did not open the tag: ") + n.text + u'.', ColorBlue);
        return;
    case Kind::TagFailed:
        message(QStringLiteral(" Auto Write Failed!"), ColorRed);
        log(QStringLiteral("Auto Write Failed! ") + n.text, ColorRed);
        return;
    case Kind::TagComplete:
        message(QStringLiteral(" Auto Write Complete!\r\n"), ColorGreen);
        return;
    }
}

} // namespace

Shown shown(const QList<AutoLoop::Notice> &notices)
{
    Shown s;
    for (const AutoLoop::Notice &n : notices)
        add(n, s);
    return s;
}

} // namespace Notices
