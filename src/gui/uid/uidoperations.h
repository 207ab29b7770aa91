#pragma once

#include "core/autoloop.h"

#include <QObject>
#include <optional>

class AutoPanel;
class Dialogs;
class Emphasis;
class IdGuard;
class MaskedField;
class ReaderLink;
class ReaderSettings;
class StatusLine;
class UidPanel;

// UIDs by hand: the number base (which also sets the box's report format), writing the
// UID field with optional stepping, copying the last reported UID, stepping the set UID. A UID
// written by hand is held to the record as the loop's are: it leaves only once the record has
// reserved it, and one the record holds as written goes only with "Rewrite recorded tags".
class UidOperations : public QObject {
    Q_OBJECT
public:
    struct Parts {
        UidPanel &uid;
        AutoPanel &autoPanel;
        StatusLine &status;
        ReaderLink &link;
        ReaderSettings &settings;
        const AutoLoop::Engine &loop;
        Emphasis &emphasis;
        IdGuard &guard;
        Dialogs &dialogs;
    };
    explicit UidOperations(Parts parts, QObject *parent = nullptr);

    void writeUid();
    void copyUid();
    void stepSetUid();

    // Steps a UID field by k. A result that no longer fits the field is refused and
    // reported, so a field never shows a cut-off UID that would repeat an earlier one.
    static bool stepField(MaskedField &field, qint64 k, StatusLine &status);

signals:
    // A UID was written by hand; `note` says why it went although the record held it.
    void uidWriteSent(const QString &uid, bool hex, const QString &note);

private:
    void onBaseChanged(bool hex);
    void send(const QString &uid, bool hex, const QString &note);

    Parts m_p;
    // A UID waits for the record's answer.
    bool m_asking = false;
};
