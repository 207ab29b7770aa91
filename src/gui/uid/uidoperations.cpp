#include "uidoperations.h"

#include "autopanel.h"
#include "core/uid.h"
#include "gui/tagops/readersettings.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "idguard.h"
#include "station/link/readerlink.h"
#include "uidpanel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>
#include <QRadioButton>

UidOperations::UidOperations(Parts parts, QObject *parent)
    : QObject(parent)
    , m_p(parts)
{
    // Each conversion assumes the field holds the other base, so it runs only on a real
    // change of the selection, never on a click of the button already selected.
    connect(m_p.uid.hexButton(), &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            onBaseChanged(true);
    });
    connect(m_p.uid.decButton(), &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            onBaseChanged(false);
    });
    connect(m_p.uid.writeButton(), &QPushButton::clicked, this, &UidOperations::writeUid);
    connect(m_p.status.copyButton(), &QPushButton::clicked, this, &UidOperations::copyUid);
    connect(m_p.autoPanel.stepSetUidButton(), &QPushButton::clicked, this,
            &UidOperations::stepSetUid);
}

void UidOperations::onBaseChanged(bool hex)
{
    m_p.emphasis.ClearButtonHighlights();
    MaskedField &field = *m_p.uid.uidField();
    if (hex) {
        m_p.settings.reportHex();
        field.setText(Uid::decimalToHex(field.text()));
    } else {
        m_p.settings.reportDecimal();
        field.setText(Uid::hexToDecimal(field.text()));
    }
    m_p.uid.writeButton()->setFocus();
}

bool UidOperations::stepField(MaskedField &field, qint64 k, StatusLine &status)
{
    const QString stepped = Uid::StepSetUid(field.text(), k);
    if (stepped.size() > Uid::kLength) {
        status.showMessage(QStringLiteral("UID out of range! (") + stepped + u')',
                           Palette::ColorOrangeRed);
        return false;
    }
    field.setText(stepped);
    return true;
}

void UidOperations::writeUid()
{
    // One UID at a time: a second press while the record answers the first sends nothing.
    if (m_asking)
        return;
    MaskedField &field = *m_p.uid.uidField();
    if (m_p.uid.incrementToggle()->isChecked() && !stepField(field, 1, m_p.status))
        return;
    const bool hex = m_p.uid.hexButton()->isChecked();
    if (!hex && !m_p.uid.decButton()->isChecked())
        return;
    const QString uid = field.text();
    // Not a tag ID at all: the box refuses it, and the record has nothing to hold.
    if (!Uid::tagId(uid, hex)) {
        send(uid, hex, {});
        return;
    }
    m_asking = true;
    const auto refused = [this, uid](const QString &why) {
        m_asking = false;
        m_p.status.showMessage(QStringLiteral("UID %1 not written").arg(uid),
                               Palette::ColorOrangeRed);
        m_p.dialogs.warning(QStringLiteral("Write UID"), why);
    };
    m_p.guard.check(
        {}, uid, hex,
        [this, uid, hex](const QString &note) {
            m_asking = false;
            send(uid, hex, note);
        },
        refused);
}

void UidOperations::send(const QString &uid, bool hex, const QString &note)
{
    m_p.link.SendCommand((hex ? QStringLiteral("WUX") : QStringLiteral("WUD")) + uid);
    emit uidWriteSent(uid, hex, note);
}

void UidOperations::copyUid()
{
    m_p.uid.uidField()->setText(m_p.loop.LastUID());
    m_p.uid.setUidColour(Palette::ColorDeepPink);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_p.uid.uidField()->text());
}

void UidOperations::stepSetUid()
{
    stepField(*m_p.autoPanel.setUidField(), 1, m_p.status);
}
