#include "portpanel.h"

#include "portmap.h"
#include "portmemory.h"
#include "portscanner.h"
#include "readerlink.h"
#include "widgets/controlnames.h"
#include "widgets/dialogs.h"
#include "widgets/emphasis.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

PortPanel::PortPanel(SessionState &state, ReaderLink &link, Transport &transport, Dialogs &dialogs,
                     Emphasis &emphasis, QWidget *parent)
    : QGroupBox(QStringLiteral(" Port info "), parent)
    , m_state(state)
    , m_link(link)
    , m_dialogs(dialogs)
    , m_emphasis(emphasis)
    , m_scanner(new PortScanner(transport, this))
    , m_combo(new QComboBox(this))
    , m_connect(new QPushButton(QStringLiteral("Connect"), this))
    , m_refresh(new QPushButton(QStringLiteral("Refresh"), this))
{
    nameControl(this, QStringLiteral("Frame1"), QStringLiteral("Port info"));
    auto *label = new QLabel(QStringLiteral("Comport:"), this);
    nameControl(label, QStringLiteral("Label1"), QStringLiteral("Comport:"));
    nameControl(m_combo, QStringLiteral("combo_Port"), QStringLiteral("Port number"));
    nameControl(m_connect, QStringLiteral("cm_connect"), QStringLiteral("Connect"));
    nameControl(m_refresh, QStringLiteral("cm_Refreah"), QStringLiteral("Refresh"));
    m_connect->setToolTip(QStringLiteral("Connect or Disconnect"));
    m_refresh->setToolTip(QStringLiteral("Refresh port"));

    auto *column = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    top->addWidget(label);
    top->addStretch();
    top->addWidget(m_refresh);
    column->addLayout(top);
    column->addWidget(m_combo);
    column->addWidget(m_connect);

    connect(m_connect, &QPushButton::clicked, this, &PortPanel::onConnectClicked);
    connect(m_refresh, &QPushButton::clicked, this, [this] {
        m_scanner->ScanPortNumber = 0;
        RestartPortScan();
    });
    connect(m_scanner, &PortScanner::portFound, this, &PortPanel::onPortFound);
    connect(m_scanner, &PortScanner::finished, this, &PortPanel::onScanFinished);
    connect(&m_link, &ReaderLink::portFailed, this, &PortPanel::onPortFailed);
}

void PortPanel::startScan()
{
    m_scanner->start();
}

void PortPanel::onConnectClicked()
{
    m_state.PortConnected = !m_state.PortConnected;
    SetConnected(m_state.PortConnected);
}

void PortPanel::SetConnected(bool connect)
{
    if (!connect) {
        showDisconnected();
        m_link.closePort();
        m_combo->setFocus();
        m_emphasis.setDefault(m_connect);
        emit disconnected();
        return;
    }
    // A scan tick would open another device on the same port and close it again.
    m_scanner->stop();
    m_connect->setText(QStringLiteral("Disconnect"));
    m_combo->setEnabled(false);
    m_refresh->setEnabled(false);
    const int number = m_combo->currentText().toInt();
    const QString device = PortMap::deviceFor(number);
    QString reason;
    if (device.isEmpty() || !m_link.openPort(device, &reason)) {
        // Leave the window as it was before the click: the link is not open.
        m_state.PortConnected = false;
        showDisconnected();
        if (device.isEmpty()) {
            reason = QStringLiteral("No port is selected.");
            hintAtRefusedPorts();
        }
        m_dialogs.warning(QStringLiteral("Connection Error!"), reason);
        return;
    }
    PortMemory::save(m_combo->currentText());
    m_link.startConnectSequence();
}

void PortPanel::showDisconnected()
{
    m_connect->setText(QStringLiteral("Connect"));
    m_combo->setEnabled(true);
    m_refresh->setEnabled(true);
}

void PortPanel::hintAtRefusedPorts()
{
    const QStringList refused = m_scanner->refused();
    if (refused.isEmpty())
        return;
    emit permissionHint(QStringLiteral("%1 may not be opened by you: join the 'dialout' group "
                                       "(sudo usermod -aG dialout $USER), then log in again.")
                            .arg(refused.join(QStringLiteral(", "))));
}

void PortPanel::RestartPortScan()
{
    if (m_link.isPortOpen())
        m_link.closePort();
    m_connect->setText(QStringLiteral("Connect"));
    m_scanner->ScanPortNumber = 0;
    m_combo->clear();
    m_scanner->start();
}

void PortPanel::onPortFound(int number, const QString &device)
{
    m_combo->addItem(PortMap::entryText(number));
    m_combo->setItemData(m_combo->count() - 1, device, Qt::ToolTipRole);
}

void PortPanel::onScanFinished()
{
    if (m_combo->currentIndex() < 0 && m_combo->count() > 0)
        m_combo->setCurrentIndex(0);
    const int remembered = m_combo->findText(PortMemory::load(), Qt::MatchExactly);
    if (remembered >= 0)
        m_combo->setCurrentIndex(remembered);
    m_connect->setFocus();
    hintAtRefusedPorts();
    emit scanFinished();
}

void PortPanel::onPortFailed(const QString &reason)
{
    if (!m_state.PortConnected)
        return;
    m_state.PortConnected = false;
    SetConnected(false);
    // Shown once the port's own error notification has returned.
    QTimer::singleShot(0, this, [this, reason] {
        m_dialogs.warning(QStringLiteral("Connection Error!"),
                          reason
                              + QStringLiteral("\nThe link is closed. Check the reader and "
                                               "its cable, then press Connect."));
    });
}
