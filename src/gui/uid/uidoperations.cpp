#include "uidoperations.h"

#include "autopanel.h"
#include "core/uid.h"
#include "gui/tagops/readersettings.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "station/link/readerlink.h"
#include "uidpanel.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>
#include <QRadioButton>

UidOperations::UidOperations(UidPanel &uid, AutoPanel &autoPanel, StatusLine &status,
                             ReaderLink &link, ReaderSettings &settings,
                             const AutoLoop::Engine &loop, Emphasis &emphasis, QObject *parent)
    : QObject(parent)
    , m_uid(uid)
    , m_auto(autoPanel)
    , m_status(status)
    , m_link(link)
    , m_settings(settings)
    , m_loop(loop)
    , m_emphasis(emphasis)
{
    // Each conversion assumes the field holds the other base, so it runs only on a real
    // change of the selection, never on a click of the button already selected.
    connect(m_uid.hexButton(), &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            onBaseChanged(true);
    });
    connect(m_uid.decButton(), &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            onBaseChanged(false);
    });
    connect(m_uid.writeButton(), &QPushButton::clicked, this, &UidOperations::writeUid);
    connect(m_status.copyButton(), &QPushButton::clicked, this, &UidOperations::copyUid);
    connect(m_auto.stepSetUidButton(), &QPushButton::clicked, this, &UidOperations::stepSetUid);
}

void UidOperations::onBaseChanged(bool hex)
{
    m_emphasis.ClearButtonHighlights();
    MaskedField &field = *m_uid.uidField();
    if (hex) {
        m_settings.reportHex();
        field.setText(Uid::decimalToHex(field.text()));
    } else {
        m_settings.reportDecimal();
        field.setText(Uid::hexToDecimal(field.text()));
    }
    m_uid.writeButton()->setFocus();
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
    MaskedField &field = *m_uid.uidField();
    if (m_uid.incrementToggle()->isChecked() && !stepField(field, 1, m_status))
        return;
    const bool hex = m_uid.hexButton()->isChecked();
    if (!hex && !m_uid.decButton()->isChecked())
        return;
    m_link.SendCommand((hex ? QStringLiteral("WUX") : QStringLiteral("WUD")) + field.text());
    emit uidWriteSent(field.text(), hex);
}

void UidOperations::copyUid()
{
    m_uid.uidField()->setText(m_loop.LastUID());
    m_uid.setUidColour(Palette::ColorDeepPink);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(m_uid.uidField()->text());
}

void UidOperations::stepSetUid()
{
    stepField(*m_auto.setUidField(), 1, m_status);
}
