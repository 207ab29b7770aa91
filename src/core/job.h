#pragma once

#include "core/autoloop.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

// A production run's settings as a file: what the Automatically frame and the block panel hold
// for a run, never the password. Read strictly: an unknown member, a wrong type, a value out of
// range or a newer version is refused with the member's name, so nothing half-understood runs.
class Job {
public:
    // Version 2 adds "failures" and "timing", version 3 "uid.list", version 4
    // "password.unlockList"; older files read as before.
    static constexpr int kVersion = 4;

    // The window's settings at start, and the blocks' texts it shows then.
    Job();
    // What the panels hold now (block 7 and the options a job does not carry are left out).
    static Job fromOptions(const AutoLoop::Options &options);
    // A UID list's file is found relative to folder (the job's own), or the working folder.
    static std::optional<Job> parse(const QByteArray &json, QString *error,
                                    const QString &folder = {});
    static std::optional<Job> load(const QString &file, QString *error);

    // A UID list's file is named relative to folder when one is given.
    QByteArray toJson(const QString &folder = {}) const;
    QJsonObject toObject(const QString &folder = {}) const;
    bool save(const QString &file, QString *error) const;

    // The loop's options, with the password written to block 7 where the job needs it.
    AutoLoop::Options options(const QString &password = {}) const;
    // Unlocking or writing the password needs one.
    bool needsPassword() const { return m_o.autoUnlock || m_o.writePassword; }
    const AutoLoop::Options &raw() const { return m_o; }
    // A stepping run goes on after the UIDs the record holds as written or in doubt.
    bool carriesOn() const { return m_carryOn; }
    void setCarryOn(bool on) { m_carryOn = on; }
    // The first UID, as the command line may give it instead of the job's.
    void setFirstUid(const QString &uid) { m_o.setUidText = uid; }

private:
    AutoLoop::Options m_o;
    bool m_carryOn = false;
};
