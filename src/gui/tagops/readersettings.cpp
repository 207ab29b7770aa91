#include "readersettings.h"

#include "gui/widgets/dialogs.h"
#include "gui/widgets/maskedfield.h"
#include "readersettingspanel.h"
#include "station/link/readerlink.h"

#include <QPushButton>

ReaderSettings::ReaderSettings(ReaderSettingsPanel &panel, ReaderLink &link, Dialogs &dialogs,
                               QObject *parent)
    : QObject(parent)
    , m_panel(panel)
    , m_link(link)
    , m_dialogs(dialogs)
{
    for (const char *mnemonic : {"GTS", "SB1", "SBA", "SBD", "SM0", "ARD"}) {
        const QString command = QString::fromLatin1(mnemonic);
        connect(m_panel.button(QStringLiteral("cm_") + command), &QPushButton::clicked, this,
                [this, command] { m_link.SendCommand(command); });
    }
    connect(m_panel.button(QStringLiteral("cm_RUX")), &QPushButton::clicked, this,
            &ReaderSettings::reportHex);
    connect(m_panel.button(QStringLiteral("cm_RUD")), &QPushButton::clicked, this,
            &ReaderSettings::reportDecimal);
    connect(m_panel.button(QStringLiteral("cm_ARE")), &QPushButton::clicked, this,
            [this] { m_link.SendCommand(QStringLiteral("ARE") + m_panel.areField()->text()); });
    connect(m_panel.button(QStringLiteral("cm_SM1")), &QPushButton::clicked, this,
            &ReaderSettings::sendExclusiveId);
}

void ReaderSettings::reportHex()
{
    m_link.SendCommand(QStringLiteral("RUX"));
}

void ReaderSettings::reportDecimal()
{
    m_link.SendCommand(QStringLiteral("RUD"));
}

void ReaderSettings::sendExclusiveId()
{
    if (m_panel.sm1Field()->text() == QLatin1String("0000000000")) {
        m_dialogs.warning(QStringLiteral("Kestrel RFID Reader-Writer"),
                          QStringLiteral("The number 0000000000 not is valid UID"));
        return;
    }
    m_link.SendCommand(QStringLiteral("SM1") + m_panel.sm1Field()->text());
}
