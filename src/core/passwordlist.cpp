#include "passwordlist.h"

#include <QFile>
#include <QSet>

namespace PasswordList {

const QList<Candidate> &builtIn()
{
    // Where each comes from is in the README; the order is how often a tag arrives with it.
    static const QList<Candidate> kList = [] {
        const struct {
            const char *password;
            const char *name;
        } kEntries[] = {
            {"00000000", "block 7 never written"},
            {"51243648", "handheld duplicator default"},
            {"19920427", "handheld duplicator default, older models"},
            {"FFFFFFFF", "all ones"},
            {"12345678", "counting digits"},
            {"AA55AA55", "test pattern"},
        };
        QList<Candidate> list;
        int n = 0;
        for (const auto &e : kEntries)
            list << Candidate{
                QString::fromLatin1(e.password),
                QStringLiteral("built-in entry %1 (%2)").arg(++n).arg(QString::fromLatin1(e.name))};
        return list;
    }();
    return kList;
}

Loaded load(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return Loaded{{}, {}, QStringLiteral("%1 cannot be read: %2").arg(path, in.errorString())};
    if (in.size() > kMaxBytes)
        return Loaded{
            {}, {}, QStringLiteral("%1 is larger than %2 MB").arg(path).arg(kMaxBytes >> 20)};
    const QByteArray text = in.read(kMaxBytes + 1);
    if (in.error() != QFileDevice::NoError)
        return Loaded{{}, {}, QStringLiteral("%1 cannot be read: %2").arg(path, in.errorString())};
    return parse(text, path);
}

Loaded parse(const QByteArray &text, const QString &name)
{
    Loaded l;
    if (text.contains('\0')) {
        l.problem = QStringLiteral("%1 is not a text file").arg(name);
        return l;
    }
    QSet<QString> seen;
    for (const Candidate &c : builtIn())
        seen.insert(c.password);
    int lineNumber = 0;
    int passwords = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++lineNumber;
        const int hash = raw.indexOf('#');
        const QByteArray line = (hash < 0 ? raw : raw.left(hash)).trimmed();
        if (line.isEmpty())
            continue;
        const QString value = QString::fromLatin1(line).toUpper();
        if (!Reply::isBlockValue(value)) {
            l.skipped << QStringLiteral("line %1: not eight hexadecimal digits").arg(lineNumber);
            continue;
        }
        ++passwords;
        if (seen.contains(value))
            continue;
        if (l.candidates.size() >= kMaxEntries) {
            l.problem
                = QStringLiteral("%1 holds more than %2 passwords").arg(name).arg(kMaxEntries);
            return l;
        }
        seen.insert(value);
        l.candidates << Candidate{value, QStringLiteral("line %1 of %2").arg(lineNumber).arg(name)};
    }
    // Lines and not one password: another kind of file (a job, a tag file) chosen by mistake.
    if (passwords == 0 && !l.skipped.isEmpty())
        l.problem = QStringLiteral("%1 holds no password (%2)").arg(name, l.skipped.first());
    return l;
}

QList<Candidate> together(const QList<Candidate> &file)
{
    return builtIn() + file;
}

std::optional<List> loadList(const QString &path, QString *error, QStringList *skipped)
{
    Loaded l = load(path);
    if (!l.problem.isEmpty()) {
        *error = l.problem;
        return std::nullopt;
    }
    if (skipped)
        *skipped = l.skipped;
    return List{path, together(l.candidates)};
}

QString skippedSummary(const QString &name, const QStringList &skipped)
{
    return QStringLiteral("%1: %2 skipped.").arg(name, skipped.mid(0, 5).join(QStringLiteral("; ")))
           + (skipped.size() > 5 ? QStringLiteral(" (%1 lines in all)").arg(skipped.size())
                                 : QString());
}

Search::Search(QList<Candidate> candidates)
    : m_candidates(std::move(candidates))
{
    if (m_candidates.isEmpty())
        m_state = State::NotFound;
}

std::optional<Candidate> Search::found() const
{
    if (m_state != State::Found)
        return std::nullopt;
    return m_candidates[m_next - 1];
}

std::optional<QString> Search::nextCommand() const
{
    if (m_state != State::Trying)
        return std::nullopt;
    return QStringLiteral("RP7") + m_candidates[m_next].password;
}

void Search::answered(const std::optional<Reply::Parsed> &reply)
{
    if (m_state != State::Trying)
        return;
    ++m_next;
    if (!reply) {
        m_state = State::Unexpected;
        m_unexpected = QStringLiteral("no reply");
        return;
    }
    if (reply->kind == Reply::Kind::BlockRead && reply->block == 7) {
        m_state = State::Found;
        return;
    }
    if (reply->kind == Reply::Kind::Error && reply->code == Reply::kPasswordWrong) {
        if (m_next >= m_candidates.size())
            m_state = State::NotFound;
        return;
    }
    if (reply->kind == Reply::Kind::Error && reply->code == Reply::kNoTag) {
        m_state = State::NoTag;
        return;
    }
    m_state = State::Unexpected;
    m_unexpected = reply->kind == Reply::Kind::Error
                       ? QStringLiteral("the box answered error %1").arg(reply->code)
                       : QStringLiteral("an answer that is not block 7");
}

QString Search::outcome() const
{
    switch (m_state) {
    case State::Trying:
        return {};
    case State::Found:
        return QStringLiteral("found: %1 opens the tag (try %2 of %3)")
            .arg(m_candidates[m_next - 1].source)
            .arg(m_next)
            .arg(total());
    case State::NotFound:
        return QStringLiteral("not found: none of %1 passwords opens the tag").arg(total());
    case State::NoTag:
        return QStringLiteral("stopped: no tag in the field at try %1 of %2")
            .arg(m_next)
            .arg(total());
    case State::Unexpected:
        return QStringLiteral("stopped: %1 at try %2 of %3")
            .arg(m_unexpected)
            .arg(m_next)
            .arg(total());
    }
    return {};
}

} // namespace PasswordList
