#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// A production line on a simulated clock: the loop engine, the box model and a real record
// file, with tags of every kind presented, pulled and brought back at any moment, and faults
// on the box's answers. The loop's promises are checked against the tags' memory after every
// event. A run is a script, so a failing run can be shrunk and kept as a table row.
namespace LineSim {

// Script lines:
//   options <words>          what every tag gets: setUid autoInc unlock cb3..cb6 password
//                            lock dec rewrite inc <k> uid <ten characters>; unlocklist: a
//                            list that opens every other pwdwrong tag
//   present <kind> gap <ms> [pull <ms>] [stop <ms>] [close <ms>]
//                            a tag enters <ms> after the field is free: blank, config, id,
//                            pwd, pwdwrong, aor, recorded, back (the tag pulled last), or
//                            earlier <n> (the n-th tag of the run); pull, stop and close come
//                            that long after it entered (a finished tag leaves 50 ms after
//                            its "SB1" on its own)
//                            [faults <k>:<kind>:<salt>,...] [slows <q>:<ms>,...]
//                            the answer to the k-th command after it entered meets a fault,
//                            the record answers the q-th question after it that much later
//   start faults <k>:<kind>:<salt>,...
//                            faults on the commands before the first tag
//   fault <n> <kind>         the answer to the n-th command: lost, garbled, split, late, or
//                            error <code>
//   slow <n> <ms>            the record answers its n-th question (a tag ID, a UID) that
//                            much later
struct Result {
    QStringList script;
    // The same line with each fault and slow answer kept on the line of the tag it met
    // ("faults 3:lost:812", the third command after that tag entered), cut after the tag that
    // broke a promise.
    QStringList anchored;
    // The first broken promise, with the simulated time; empty when all held.
    QString violation;
    qint64 simulatedMs = 0;
    // The set UID when the line ended.
    QString setUid;
    int tags = 0;
    // The loop's pace on this line ("ticks", "replies").
    QString pace;
    QMap<QString, int> outcomes;
    QMap<QString, int> faults;
    // Protected tags the unlock list opened, and those it did not.
    int unlockedFromList = 0;
    int unlockListFailed = 0;
};

struct Config {
    quint64 seed = 1;
    int tags = 1000;
    // Share of the box's answers that meet a fault.
    double faultRate = 0.05;
    // The record file; it is created (and emptied) by the run.
    QString recordPath;
};

// A random line from the seed; its script comes back in the result.
Result run(const Config &config);
// Exactly the line the script describes.
Result replay(const QStringList &script, const QString &recordPath);
// The shortest script (by removing lines and attributes) that still breaks a promise.
QStringList shrink(const QStringList &script, const QString &recordPath);

} // namespace LineSim
