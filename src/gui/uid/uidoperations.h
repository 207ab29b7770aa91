#pragma once

#include "core/autoloop.h"

#include <QObject>
#include <optional>

class AutoPanel;
class Emphasis;
class MaskedField;
class ReaderLink;
class ReaderSettings;
class StatusLine;
class UidPanel;

// UIDs by hand: the number base (which also sets the box's report format), writing the
// UID field with optional stepping, copying the last reported UID, stepping the set UID.
class UidOperations : public QObject {
    Q_OBJECT
public:
    UidOperations(UidPanel &uid, AutoPanel &autoPanel, StatusLine &status, ReaderLink &link,
                  ReaderSettings &settings, const AutoLoop::Engine &loop, Emphasis &emphasis,
                  QObject *parent = nullptr);

    void writeUid();
    void copyUid();
    void stepSetUid();

    // Steps a UID field by k. A result that no longer fits the field is refused and
    // reported, so a field never shows a cut-off UID that would repeat an earlier one.
    static bool stepField(MaskedField &field, qint64 k, StatusLine &status);

signals:
    // A UID was written by hand.
    void uidWriteSent(const QString &uid, bool hex);

private:
    void onBaseChanged(bool hex);

    UidPanel &m_uid;
    AutoPanel &m_auto;
    StatusLine &m_status;
    ReaderLink &m_link;
    ReaderSettings &m_settings;
    const AutoLoop::Engine &m_loop;
    Emphasis &m_emphasis;
};
