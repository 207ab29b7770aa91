#pragma once

#include <QString>

// The box's command strings, built here for every front end.
namespace Commands {

// "WB<n><data>", or "WP<n><password><data>" when the tag is protected.
inline QString writeBlock(int n, const QString &value, const QString &password = {})
{
    const QString digit = QString::number(n);
    if (password.isEmpty())
        return QStringLiteral("WB") + digit + value;
    return QStringLiteral("WP") + digit + password + value;
}

} // namespace Commands
