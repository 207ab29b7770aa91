#include "mainwindow.h"

#include "core/trafficformat.h"
#include "gui/link/portpanel.h"
#include "gui/link/trafficlog.h"
#include "gui/record/recordswindow.h"
#include "gui/replies/replyinterpreter.h"
#include "gui/tagops/blockoperations.h"
#include "gui/tagops/blockpanel.h"
#include "gui/tagops/inspectionbar.h"
#include "gui/tagops/protection.h"
#include "gui/tagops/readersettings.h"
#include "gui/tagops/readersettingspanel.h"
#include "gui/tagops/taginspector.h"
#include "gui/uid/autooptions.h"
#include "gui/uid/autopanel.h"
#include "gui/uid/autowriter.h"
#include "gui/uid/idguard.h"
#include "gui/uid/uidoperations.h"
#include "gui/uid/uidpanel.h"
#include "gui/widgets/controlnames.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"
#include "gui/widgets/statusline.h"
#include "hints.h"
#include "recordstatus.h"
#include "station/link/readerlink.h"
#include "station/link/trafficcapture.h"
#include "station/record/recorder.h"
#include "station/session/session.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolButton>

MainWindow::MainWindow(Transport *transport, Dialogs *dialogs, QWidget *parent)
    : QMainWindow(parent)
    , m_session(new Session(transport, this))
    , m_state(m_session->state())
    , m_emphasis(std::make_unique<Emphasis>())
{
    if (!dialogs) {
        m_ownDialogs = std::make_unique<MessageBoxDialogs>(this);
        dialogs = m_ownDialogs.get();
    }
    m_dialogs = dialogs;
    nameControl(this, QStringLiteral("Main1"), QStringLiteral("Kestrel RFID Reader-Writer"));
    setWindowTitle(QStringLiteral("Kestrel RFID Reader-Writer"));

    m_log = new TrafficLog;
    m_capture = &m_session->capture();
    m_status = new StatusLine;
    m_link = &m_session->link();
    m_ports = new PortPanel(m_state, *m_link, m_session->transport(), *m_dialogs, *m_emphasis);
    connect(m_session, &Session::portFailed, m_ports, &PortPanel::onPortFailed);
    m_settings = new ReaderSettingsPanel;
    m_uid = new UidPanel;
    m_blocks = new BlockPanel;
    m_auto = new AutoPanel;
    m_autoWriter = new AutoWriter(
        *m_session,
        AutoWriter::Parts{*m_auto, *m_blocks, *m_uid, *m_status, *m_log, *m_dialogs, *m_emphasis},
        this);
    m_autoOptions = new AutoOptions(*m_auto, *m_blocks, *m_emphasis, this);
    m_interpreter = new ReplyInterpreter(
        *m_session, ReplyTargets{*m_log, *m_status, *m_blocks, *m_uid, *m_auto, *this}, this);
    m_hints = new Hints(statusBar(), this);
    m_readerSettings = new ReaderSettings(*m_settings, *m_link, *m_dialogs, this);
    m_protection = new Protection(*m_blocks, *m_link, m_state, *m_emphasis, this);
    m_blockOps = new BlockOperations(*m_blocks, *m_protection, *m_link, m_state,
                                     *m_settings->areField(), this);

    m_recorder = new Recorder(
        m_autoWriter->loop(),
        [this] { return m_state.PortConnected ? m_link->device() : m_ports->device(); }, *m_dialogs,
        this);
    m_recorder->keepTrafficOf(*m_capture);
    m_auto->operatorField()->setPlaceholderText(RecordIdentity::userName());
    connect(m_auto->operatorField(), &QLineEdit::textChanged, m_recorder, &Recorder::setOperator);
    m_recordStatus = new RecordStatus(*m_recorder, statusBar(), this);
    m_idGuard = new IdGuard(*m_recorder, *m_auto->rewriteRecordedBox(), this);
    m_uidOps = new UidOperations(UidOperations::Parts{*m_uid, *m_auto, *m_status, *m_link,
                                                      *m_readerSettings, m_autoWriter->engine(),
                                                      *m_emphasis, *m_idGuard, *m_dialogs},
                                 this);
    connect(m_uidOps, &UidOperations::uidWriteSent, m_recorder, &Recorder::onManualUidWrite);
    connect(m_session, &Session::replied, m_recorder, &Recorder::onReply);
    connect(m_link, &ReaderLink::replyTimedOut, m_recorder, &Recorder::onReplyTimedOut);
    connect(m_recordStatus, &RecordStatus::recordsRequested, this, &MainWindow::showRecords);
    auto *records = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this);
    connect(records, &QShortcut::activated, this, &MainWindow::showRecords);

    // The default pace goes unsaid; another one is in view while it is the loop's.
    auto *pace = new QLabel(this);
    pace->setObjectName(QStringLiteral("pace"));
    pace->hide();
    statusBar()->addPermanentWidget(pace);
    // Likewise the unlock list, while "Auto Unlock" uses it.
    auto *unlockList = new QLabel(this);
    unlockList->setObjectName(QStringLiteral("unlockList"));
    unlockList->hide();
    statusBar()->addPermanentWidget(unlockList);
    const auto showJob = [this, pace, unlockList] {
        const AutoLoop::Options o = m_autoWriter->options();
        pace->setVisible(o.pace != AutoLoop::Options::Pace::Ticks);
        pace->setText(QStringLiteral("Pace: %1, first command after %2 ms")
                          .arg(QLatin1StringView(AutoLoop::paceName(o.pace)))
                          .arg(o.firstCommandMs));
        unlockList->setVisible(bool(o.unlockList));
        if (o.unlockList)
            unlockList->setText(QStringLiteral("Unlock list: %1, %2 entries")
                                    .arg(QFileInfo(o.unlockList->file).fileName())
                                    .arg(o.unlockList->candidates.size()));
    };
    connect(m_autoWriter, &AutoWriter::jobChanged, pace, showJob);
    connect(m_auto->autoUnlockBox(), &QCheckBox::toggled, unlockList, showJob);

    m_inspectionBar = new InspectionBar(this);
    addToolBar(Qt::TopToolBarArea, m_inspectionBar);
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, m_inspectionBar->decodeBar());
    // The bar is full; its last outcome waits on the status bar beside the hints.
    statusBar()->addWidget(m_inspectionBar->resultInfo(), 1);
    m_inspector = new TagInspector(
        TagInspector::Parts{*m_inspectionBar, *m_blocks, *m_blockOps, *m_link, *m_status,
                            *m_dialogs, m_autoWriter->engine(), *m_recorder, *m_idGuard},
        this);
    m_blockOps->setIdGuard([this](int block) { m_inspector->guardIdWrite(block); });
    connect(m_session, &Session::replied, m_inspector, &TagInspector::onReply);
    connect(m_link, &ReaderLink::replyTimedOut, m_inspector, &TagInspector::onReplyTimedOut);

    buildLayout();
    wireLink();
    wireEmphasis();
    addHints();
    setTabOrder();
}

MainWindow::~MainWindow()
{
    // The record goes first: it takes its guard back from the loop and finishes its batches
    // while the loop still exists.
    delete m_recorder;
    // Then the session, which closes the link and switches the loop off: what that shows
    // still finds every panel.
    delete m_session;
}

void MainWindow::start()
{
    m_ports->startScan();
}

void MainWindow::buildLayout()
{
    auto *central = new QWidget;
    auto *grid = new QGridLayout(central);
    grid->setContentsMargins(8, 4, 8, 2);
    grid->setSpacing(6);
    grid->addWidget(m_ports, 0, 0);
    grid->addWidget(m_settings, 1, 0);
    grid->addWidget(m_uid, 0, 1);
    grid->addWidget(m_blocks, 1, 1);
    grid->addWidget(m_auto, 0, 2, 2, 1);
    grid->addWidget(m_status, 2, 0, 1, 3);
    grid->addWidget(m_log, 3, 0, 1, 3);
    grid->setRowStretch(3, 1);
    m_log->setMinimumHeight(73);
    // On a screen smaller than the layout (150 % scaling on a laptop) the content scrolls,
    // so every control stays reachable; otherwise the log takes the slack.
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("sa_Main"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(central);
    setCentralWidget(scroll);
    const QColor dodger = Palette::toColor(Palette::ColorDodgerBlue);
    setStyleSheet(QStringLiteral("QGroupBox::title { color: %1; }").arg(dodger.name()));
    QSize size = layoutSize();
    // Never opened larger than the screen (at 150 % a 1280 x 900 screen is 853 x 600): the
    // content scrolls instead. The allowance is for the window manager's frame.
    if (const QScreen *s = screen())
        size = size.boundedTo(s->availableGeometry().size() - QSize(16, 48));
    resize(size);
}

QSize MainWindow::layoutSize() const
{
    const QSize content = centralScroll()->widget()->sizeHint()
                          + QSize(0, statusBar()->sizeHint().height())
                          + QSize(0, m_inspectionBar->sizeHint().height())
                          + QSize(0, m_inspectionBar->decodeBar()->sizeHint().height());
    return content.expandedTo(QSize(696, 452));
}

QScrollArea *MainWindow::centralScroll() const
{
    return static_cast<QScrollArea *>(centralWidget());
}

void MainWindow::wireLink()
{
    connect(m_link, &ReaderLink::commandLogged, this, [this](const QString &command) {
        m_log->setInsertionColour(Palette::ColorDodgerBlue);
        // A password never shows, the operator's nor one an unlock list tries.
        m_log->insert(QStringLiteral("Send: ")
                      + QString::fromLatin1(TrafficFormat::masked(command.toLatin1(), true))
                      + QStringLiteral("\r\n"));
    });
    connect(m_link, &ReaderLink::notConnected, this, [this] {
        m_dialogs->information(
            QStringLiteral("Connection Error!"),
            QStringLiteral("Pleas Select Port-Number And Click the Connect Button. "));
    });
    connect(m_link, &ReaderLink::sendFailed, this, [this](const QString &command) {
        m_dialogs->warning(
            QStringLiteral("Connection Error!"),
            QStringLiteral("\"%1\" was not sent: the port is not open.").arg(command));
    });
    connect(m_link, &ReaderLink::logSettled, this, [this] {
        if (!m_link->keepsLog())
            m_log->clear();
    });
    connect(m_link, &ReaderLink::replyTimedOut, this, [this] {
        m_status->showMessage(QStringLiteral("No recpone command!"), Palette::ColorRed);
    });
    connect(m_link, &ReaderLink::statusExpired, this, &MainWindow::onStatusExpired);
    connect(m_log, &TrafficLog::cleanClicked, this, [this] {
        m_link->clearReplyBuffer();
        m_log->clear();
    });
    connect(m_log->keepTrafficBox(), &QCheckBox::toggled, this, [this](bool on) {
        if (!on) {
            m_capture->stop();
            m_log->showCaptureFile({});
            return;
        }
        if (m_capture->isActive())
            return;
        QString error;
        if (!keepTraffic(m_capture->path(), &error))
            m_dialogs->warning(QStringLiteral("Keep traffic"), error);
    });
    connect(m_capture, &TrafficCapture::failed, this, [this](const QString &why) {
        // Fail closed: what goes to the tags from now on would be kept nowhere the operator
        // asked for, so the loop stops until someone chooses to go on without it.
        const bool running = m_autoWriter->engine().AutoWriteRunning();
        if (running)
            m_autoWriter->loop().stop();
        m_log->keepTrafficBox()->setChecked(false);
        m_dialogs->warning(QStringLiteral("Keep traffic"),
                           why
                               + (running ? QStringLiteral("\nAuto Wite stopped, and the traffic "
                                                           "is no longer kept. Start it again "
                                                           "to go on without keeping it.")
                                          : QStringLiteral("\nThe traffic is no longer kept.")));
    });
    connect(m_ports, &PortPanel::disconnected, m_autoWriter, &AutoWriter::onLinkClosed);
    connect(m_ports, &PortPanel::permissionHint, m_hints, &Hints::ShowHint);
    connect(m_ports, &PortPanel::linkNotice, this, [this](const QString &text, bool back) {
        m_log->setInsertionColour(back ? Palette::ColorGreen : Palette::ColorRed);
        m_log->insert(text + QStringLiteral("\r\n"));
        m_hints->ShowHint(text);
    });
}

void MainWindow::onStatusExpired()
{
    m_status->clearMessage();
    if (m_status->cardState() != StatusLine::Card::OutOfRange)
        return;
    if (m_autoWriter->engine().AutoWriteRunning())
        m_status->showCard(StatusLine::Card::Searching, Palette::ColorOrangeRed);
    else
        m_status->showCard(StatusLine::Card::NoCard);
}

void MainWindow::wireEmphasis()
{
    m_emphasis->setClearedByReset({m_settings->button(QStringLiteral("cm_ARE")),
                                   m_settings->button(QStringLiteral("cm_SM1")),
                                   m_blocks->writeButton(0)});
    const auto pair = [this](MaskedField *field, QPushButton *button) {
        connect(field, &MaskedField::focused, this, [this, button] {
            m_emphasis->ClearButtonHighlights();
            m_emphasis->emphasise(button);
        });
    };
    pair(m_settings->areField(), m_settings->button(QStringLiteral("cm_ARE")));
    pair(m_settings->sm1Field(), m_settings->button(QStringLiteral("cm_SM1")));
    pair(m_uid->uidField(), m_uid->writeButton());
    for (int n = 0; n < BlockPanel::kBlocks; ++n)
        pair(m_blocks->field(n), m_blocks->writeButton(n));
}

void MainWindow::addHints()
{
    Hints &h = *m_hints;
    ReaderSettingsPanel &s = *m_settings;
    h.add(m_ports->connectButton(), QStringLiteral("Port Connect / Disconnect"));
    h.add(m_ports->refreshButton(), QStringLiteral("Refresh ComPorts"));
    h.add(s.button("cm_RUX"), QStringLiteral("Read UID HEX Mode"));
    h.add(s.button("cm_RUD"), QStringLiteral("Read UID Decimal Mode"));
    h.add(s.button("cm_SBA"), QStringLiteral(" Set Buzzer Active when tag read"));
    h.add(s.button("cm_SBD"), QStringLiteral(" Set Buzzer De-active when tag read"));
    h.add(s.button("cm_SB1"), QStringLiteral(" Set Buzzer for 500ms"));
    h.add(s.button("cm_ARE"), [&s] {
        return QStringLiteral(" AOR Read mode Enable (password: ") + s.areField()->text()
               + QStringLiteral(")");
    });
    h.add(s.button("cm_ARD"), QStringLiteral(" AOR Read mode Disable"));
    h.add(s.button("cm_SM0"), QStringLiteral(" Set Mod:0 (open Relay output for all ID's)"));
    h.add(s.button("cm_SM1"), [&s] {
        return QStringLiteral(" Set Mod:1 (Open Relay output Only for the Exclusive ID: ")
               + s.sm1Field()->text() + QStringLiteral(")");
    });
    h.add(m_uid->hexButton(), QStringLiteral(" Write UID HEX format"));
    h.add(m_uid->decButton(), QStringLiteral(" Write UID Decimal format"));
    h.add(m_uid->incrementToggle(), QStringLiteral(" incrimant UID when Write"));
    h.add(m_uid->writeButton(), QStringLiteral(" Write UID"));
    h.add(m_blocks->pwdBox(),
          QStringLiteral(" Tag Protection 'PWD' Bit (Peotected to Read and Write Blocks)"));
    h.add(m_blocks->aorBox(),
          QStringLiteral(" Tag UID Lock 'AOR' Bit (Read UID Only AOR Mode with Valid Password)"));
    h.add(m_blocks->resetButton(), QStringLiteral(" Set Default Configuration"));
    h.add(m_blocks->standardButton(), QStringLiteral(" Set Standard Configuration"));
    for (int n = 0; n < BlockPanel::kBlocks; ++n) {
        h.add(m_blocks->readButton(n), QStringLiteral(" Read Block %1").arg(n));
        h.add(m_blocks->writeButton(n), [this, n] {
            return QStringLiteral(" Write &H") + m_blocks->block(n)
                   + QStringLiteral(" to Block %1").arg(n);
        });
    }
    h.add(m_blocks->hideButton(), QStringLiteral(" Lock Read and Write Blocks)"));
    h.add(m_blocks->lockButton(), QStringLiteral(" Lock & Hide UID Code)"));
    h.add(m_blocks->unlockButton(), QStringLiteral(" UnLock With valid Password"));
    AutoPanel &a = *m_auto;
    h.add(a.notConfigBox(), QStringLiteral(" Auto Writ after Detect Not-Confg Tags"));
    h.add(a.noUidBox(), QStringLiteral(" Auto Writ after Detect No-UID Tags"));
    h.add(a.withIdBox(), QStringLiteral(" Auto Writ after Detect to all UID's"));
    h.add(a.autoUnlockBox(), QStringLiteral(" Auto Un-lock Locked Tags Only With Valid Password"));
    h.add(a.unlockListButton(),
          QStringLiteral(" Passwords to try when Block7 does not open a Tag (Auto Un-lock)"));
    h.add(a.setUidBox(), QStringLiteral(" Auto Set UID"));
    h.add(a.stepSetUidButton(), QStringLiteral(" Manual increment UID"));
    h.add(a.autoIncBox(), QStringLiteral(" Auto increment (UID1 + UID2)"));
    h.add(a.writeBlocksBox(), QStringLiteral(" Auto Wite Block1 to Block6"));
    h.add(a.writePasswordBox(), QStringLiteral(" Auto Wite Block7 (Password)"));
    h.add(a.lockBox(), QStringLiteral(" Auto Wite Block0 (Configuration)"));
    h.add(a.rewriteRecordedBox(),
          QStringLiteral(" Write tags again that already carry a UID of the production record"));
    h.add(a.autoButton(), QStringLiteral(" Automaticly Write the Checked Parameters"));
    h.add(m_status->copyButton(), QStringLiteral(" Copy UID To Write"));
    h.add(m_log->view()->viewport(), QStringLiteral(" Double Click to Clear!"));
    h.add(m_inspectionBar->readAllButton(), QStringLiteral(" Read Block 0 to Block 7"));
    h.add(m_inspectionBar->saveButton(), QStringLiteral(" Save the Blocks read to a File"));
    h.add(m_inspectionBar->restoreButton(),
          QStringLiteral(" Write a saved Tag to the Tag in the Field"));
    h.add(m_inspectionBar->compareButton(),
          QStringLiteral(" Compare the Tag in the Field with a saved Tag"));
    h.add(m_inspectionBar->findPasswordButton(),
          QStringLiteral(" Try the well-known Passwords, then a List, on a protected Tag"));
    h.add(m_inspectionBar->wipeButton(),
          QStringLiteral(" Put the Tag back to the blank State (Blocks 1-7 zero, Block 0 last)"));
}

void MainWindow::setTabOrder()
{
    ReaderSettingsPanel &s = *m_settings;
    BlockPanel &b = *m_blocks;
    AutoPanel &a = *m_auto;
    QList<QWidget *> order = {m_ports->connectButton(), m_uid->uidField()};
    for (int n = 1; n < BlockPanel::kBlocks; ++n)
        order << b.field(n);
    order << m_ports->combo() << m_ports->refreshButton() << s.button("cm_RUX")
          << s.button("cm_RUD") << s.button("cm_GTS") << s.button("cm_ARD") << s.button("cm_SBA")
          << s.button("cm_SBD") << s.button("cm_SB1") << s.button("cm_SM0") << s.areField()
          << s.button("cm_ARE") << s.sm1Field() << s.button("cm_SM1") << m_uid->hexButton()
          << m_uid->decButton() << m_uid->incrementToggle() << m_uid->writeButton() << b.pwdBox()
          << b.field(0) << b.readButton(0) << b.unlockButton() << b.readButton(1)
          << b.writeButton(1) << b.writeButton(0);
    for (int n = 2; n < BlockPanel::kBlocks; ++n)
        order << b.readButton(n) << b.writeButton(n);
    order << m_log->view() << a.setUidField() << a.setUidBox() << a.incField() << a.autoIncBox()
          << a.stepSetUidButton() << a.writeBlocksBox() << a.notConfigBox() << a.noUidBox()
          << a.withIdBox() << a.lockBox() << a.rewriteRecordedBox() << a.autoButton()
          << a.writePasswordBox() << a.autoUnlockBox() << a.unlockListButton() << b.standardButton()
          << b.resetButton();
    for (int n = 1; n < BlockPanel::kBlocks - 1; ++n)
        order << b.blockOption(n);
    order << m_log->cleanButton() << b.lockButton() << b.hideButton() << b.blockOption(0);
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

bool MainWindow::keepTraffic(const QString &path, QString *error)
{
    const QString file = path.isEmpty()
                             ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                                   + QStringLiteral("/traffic.log")
                             : path;
    const bool kept = m_capture->start(*m_link, file, error);
    const QSignalBlocker quiet(m_log->keepTrafficBox());
    m_log->keepTrafficBox()->setChecked(kept);
    m_log->showCaptureFile(kept ? file : QString());
    return kept;
}

RecordsWindow *MainWindow::showRecords()
{
    if (!m_records)
        m_records = new RecordsWindow(ProductionRecord::configuredPath(), this);
    else
        m_records->refresh();
    m_records->show();
    m_records->raise();
    return m_records;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A tag in progress ends as "stopped", as Stop ends it: a UID on its way to it stays in
    // doubt rather than free for the next batch. The record finishes (or spools) what it was
    // given before the window goes, and says so when something waits on this PC.
    m_autoWriter->loop().stop();
    const QString left = m_recorder->close();
    if (!left.isEmpty()) {
        qWarning("%s", qPrintable(left));
        m_dialogs->information(QStringLiteral("Production record"), left);
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QMainWindow::keyPressEvent(event);
        return;
    }
    // A held Enter presses once: its repeats would send the command 25 times a second.
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    // A focused button takes Enter itself; otherwise Enter presses the default button.
    QPushButton *target = qobject_cast<QPushButton *>(focusWidget());
    if (!target)
        target = m_emphasis->defaultButton();
    if (target && target->isVisible() && target->isEnabled())
        target->click();
    event->accept();
}
