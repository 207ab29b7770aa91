#pragma once

#include "core/sessionstate.h"

#include <QMainWindow>
#include <memory>

class QScrollArea;
class AutoOptions;
class AutoPanel;
class AutoWriter;
class BlockOperations;
class BlockPanel;
class Dialogs;
class Emphasis;
class Hints;
class IdGuard;
class PortPanel;
class Protection;
class ReaderLink;
class ReaderSettings;
class ReaderSettingsPanel;
class ReplyInterpreter;
class Session;
class StatusLine;
class TrafficLog;
class Transport;
class UidOperations;
class UidPanel;

// The tool's single window: assembles the panels and wires them; holds no protocol logic.
class InspectionBar;
class Recorder;
class RecordStatus;
class TagInspector;
class RecordsWindow;

class TrafficCapture;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Without a transport the real serial port is used; without dialogs, real message boxes.
    explicit MainWindow(Transport *transport = nullptr, Dialogs *dialogs = nullptr,
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    // Begins the port scan; called once the window is shown.
    void start();
    // The size at which nothing scrolls; the window opens at it unless the screen is smaller.
    QSize layoutSize() const;

    // What the window is a front end of: the link, its replies and the loop.
    Session &session() const { return *m_session; }
    SessionState &state() { return m_state; }
    ReaderLink &link() const { return *m_link; }
    TrafficLog &log() const { return *m_log; }
    StatusLine &status() const { return *m_status; }
    PortPanel &ports() const { return *m_ports; }
    ReaderSettingsPanel &readerSettings() const { return *m_settings; }
    UidPanel &uid() const { return *m_uid; }
    BlockPanel &blocks() const { return *m_blocks; }
    AutoPanel &autoPanel() const { return *m_auto; }
    AutoWriter &autoWriter() const { return *m_autoWriter; }
    Emphasis &emphasis() const { return *m_emphasis; }
    Hints &hints() const { return *m_hints; }
    ReplyInterpreter &interpreter() const { return *m_interpreter; }
    Recorder &recorder() const { return *m_recorder; }
    RecordStatus &recordStatus() const { return *m_recordStatus; }
    InspectionBar &inspectionBar() const { return *m_inspectionBar; }
    TagInspector &inspector() const { return *m_inspector; }
    // The Records window, opened (and read anew) by the Records button or Ctrl+R.
    RecordsWindow *showRecords();
    // Keeps the traffic in `path` ("Keep traffic"); empty: the data folder's traffic.log.
    bool keepTraffic(const QString &path, QString *error);
    TrafficCapture &capture() const { return *m_capture; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildLayout();
    QScrollArea *centralScroll() const;
    void wireLink();
    void wireEmphasis();
    void addHints();
    void setTabOrder();
    void onStatusExpired();

    Session *m_session;
    SessionState &m_state;
    std::unique_ptr<Dialogs> m_ownDialogs;
    Dialogs *m_dialogs;
    std::unique_ptr<Emphasis> m_emphasis;
    TrafficLog *m_log;
    TrafficCapture *m_capture;
    StatusLine *m_status;
    ReaderLink *m_link;
    PortPanel *m_ports;
    ReaderSettingsPanel *m_settings;
    UidPanel *m_uid;
    BlockPanel *m_blocks;
    AutoPanel *m_auto;
    AutoWriter *m_autoWriter;
    AutoOptions *m_autoOptions;
    ReplyInterpreter *m_interpreter;
    ReaderSettings *m_readerSettings;
    Protection *m_protection;
    BlockOperations *m_blockOps;
    IdGuard *m_idGuard;
    UidOperations *m_uidOps;
    Hints *m_hints;
    Recorder *m_recorder;
    RecordStatus *m_recordStatus;
    InspectionBar *m_inspectionBar;
    TagInspector *m_inspector;
    RecordsWindow *m_records = nullptr;
};
