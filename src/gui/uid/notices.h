#pragma once

#include "core/autoloop.h"

#include <QList>
#include <QString>

// What the window shows for the loop's notices: the log lines and status messages operators
// know, in their colours and sizes.
namespace Notices {

struct Line {
    QString text;
    quint32 colour = 0;
    int size = 9;
};

struct Shown {
    QList<Line> log;
    QList<Line> messages;
};

// Log lines first, then messages, each in the order the notices came.
Shown shown(const QList<AutoLoop::Notice> &notices);

} // namespace Notices
