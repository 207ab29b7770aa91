#pragma once

#include "core/autoloop.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// What a traffic capture tells of a box and its line: how long the box takes over each kind of
// command, and how many tags a minute the production loop would reach on it at each pace. A
// line engineer reads it before choosing a pace.
namespace CaptureStats {

// One kind of command: its mnemonic ("WB", "WUX", "SB1") and what its answers took.
struct Kind {
    QString name;
    int sent = 0;
    // No answer with a line end came before the next command.
    int unanswered = 0;
    // From the command leaving to its answer's line end.
    QList<double> answerMs;
    // The same less the answer's own characters at 9600 baud: the box's processing, with the
    // command's way to the box.
    QList<double> boxMs;
};

// One tag of the capture: its commands up to and including "SB1".
struct Tag {
    // The answers of its commands but "SB1", back to back.
    double answersMs = 0;
    // From "SB1" to the next tag's report: the tag leaving, the gap, the next one read.
    double conveyorMs = 0;
    // As the capture ran it: from this tag's "SB1" back to the previous one's.
    std::optional<double> periodMs;
    int commands = 0;
    // Commands after whose answer the default pace waits a tick (an unlock, a UID write).
    int ticked = 0;
};

struct Stats {
    QList<Kind> kinds;
    QList<Tag> tags;
    int lines = 0;
};

// Nothing, and why (naming the line), when the file is not a capture.
std::optional<Stats> analyse(const QByteArray &capture, QString *error);

// A tag's period at a pace: the link's part as captured, and the loop's own waits.
double periodMs(const Tag &tag, AutoLoop::Options::Pace pace, int firstCommandMs);

double median(QList<double> values);
double worst(const QList<double> &values);

// The whole account, as `kestrel-rfid capture-stats` prints it.
QString report(const Stats &stats, int repliesFirstCommandMs);

} // namespace CaptureStats
