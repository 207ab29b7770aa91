#include "configword.h"

namespace ConfigWord {

QString withPwd(const QString &word, bool pwd)
{
    const QString base = word == kDefault ? kStandard : word;
    return base.left(6) + (pwd ? QStringLiteral("50") : QStringLiteral("40"));
}

QString withAor(const QString &word, bool aor)
{
    if (aor)
        return word.left(5) + QStringLiteral("250");
    return word.left(5) + QStringLiteral("0") + word.mid(6, 2);
}

QString unlocked(const QString &word)
{
    return word.left(5) + QStringLiteral("040");
}

QString afterNoPresent(const QString &word, bool pwd, bool aor)
{
    QString out = pwd ? word.left(6) + QStringLiteral("50") : word;
    return aor ? out.left(5) + QStringLiteral("250") : out;
}

} // namespace ConfigWord
