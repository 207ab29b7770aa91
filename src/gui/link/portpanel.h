#pragma once

#include "core/sessionstate.h"

#include <QGroupBox>

class Dialogs;
class Emphasis;
class PortScanner;
class QComboBox;
class QPushButton;
class ReaderLink;
class Transport;

// The " Port info " frame: the port list filled by discovery, Connect/Disconnect and
// Refresh (drawn over the frame's top right).
class PortPanel : public QGroupBox {
    Q_OBJECT
public:
    PortPanel(SessionState &state, ReaderLink &link, Transport &transport, Dialogs &dialogs,
              Emphasis &emphasis, QWidget *parent = nullptr);

    void startScan();
    void SetConnected(bool connect);
    void RestartPortScan();

    QComboBox *combo() const { return m_combo; }
    QPushButton *connectButton() const { return m_connect; }
    QPushButton *refreshButton() const { return m_refresh; }
    PortScanner &scanner() const { return *m_scanner; }
    // The chosen entry's port number and device, as the list entry carries them.
    int portNumber() const;
    QString device() const;

    // The open port failed: the panel shows it closed and watches for the port's return.
    void onPortFailed(const QString &reason);

signals:
    // The scan is over and the remembered port is selected.
    void scanFinished();
    // The disconnect sequence ran; the auto-write loop must switch itself off.
    void disconnected();
    // Why a port the operator may expect is missing from the list, for the status bar.
    void permissionHint(const QString &text);
    // The link failed and is watched, or came back by itself: for the log and the status bar.
    void linkNotice(const QString &text, bool back);

private:
    void onConnectClicked();
    void onPortFound(int number, const QString &device);
    void onScanFinished();
    void onPortReturned(const QString &device);
    void showConnected();
    void showDisconnected();
    void hintAtRefusedPorts();

    SessionState &m_state;
    ReaderLink &m_link;
    Dialogs &m_dialogs;
    Emphasis &m_emphasis;
    PortScanner *m_scanner;
    QComboBox *m_combo;
    QPushButton *m_connect;
    QPushButton *m_refresh;
};
