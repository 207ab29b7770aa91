#include "portpanel.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/emphasis.h"
#include "station/link/portmap.h"
#include "station/link/portmemory.h"
#include "station/link/portscanner.h"
#include "station/link/readerlink.h"

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
    connect(&m_link, &ReaderLink::portReturned, this, &PortPanel::onPortReturned);
}

namespace {
constexpr int kNumberRole = Qt::UserRole;
constexpr int kDeviceRole = Qt::UserRole + 1;

QString named(int number, const QString &device)
{
    return number ? QStringLiteral("Port %1 (%2)").arg(PortMap::entryText(number), device) : device;
}
} // namespace

int PortPanel::portNumber() const
{
    return m_combo->currentData(kNumberRole).toInt();
}

QString PortPanel::device() const
{
    return m_combo->currentData(kDeviceRole).toString();
}

void PortPanel::startScan()
{
    m_scanner->start();
}

void PortPanel::onConnectClicked()
{
    // The operator decides now: a port being watched is no longer waited for.
    m_link.stopWatching();
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
    showConnected();
    // An entry typed or added by hand carries no data: its text is the number.
    const int number = portNumber() ? portNumber() : m_combo->currentText().toInt();
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

void PortPanel::showConnected()
{
    // A scan tick would open another device on the same port and close it again.
    m_scanner->stop();
    m_connect->setText(QStringLiteral("Disconnect"));
    m_combo->setEnabled(false);
    m_refresh->setEnabled(false);
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
    m_link.stopWatching();
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
    const int at = m_combo->count() - 1;
    m_combo->setItemData(at, number, kNumberRole);
    m_combo->setItemData(at, device, kDeviceRole);
    m_combo->setItemData(at, device, Qt::ToolTipRole);
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
    const QString device = m_link.device();
    m_link.watchForReturn();
    emit linkNotice(QStringLiteral("%1 failed: %2 Waiting for it to come back.")
                        .arg(named(PortMap::numberFor(device), device), reason),
                    false);
    // Shown once the port's own error notification has returned.
    QTimer::singleShot(0, this, [this, reason] {
        m_dialogs.warning(QStringLiteral("Connection Error!"),
                          reason
                              + QStringLiteral("\nThe link is closed. The tool connects again "
                                               "by itself when the port comes back; check the "
                                               "reader and its cable."));
    });
}

void PortPanel::onPortReturned(const QString &device)
{
    const int number = PortMap::numberFor(device);
    const int entry = m_combo->findData(number, kNumberRole);
    if (entry >= 0)
        m_combo->setCurrentIndex(entry);
    m_state.PortConnected = true;
    showConnected();
    emit linkNotice(QStringLiteral("%1 is back: reconnected.").arg(named(number, device)), true);
    m_link.startConnectSequence(true);
}
