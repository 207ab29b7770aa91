#include "autowriter.h"

#include "autopanel.h"
#include "core/job.h"
#include "core/timing.h"
#include "gui/link/trafficlog.h"
#include "gui/tagops/blockpanel.h"
#include "gui/widgets/dialogs.h"
#include "gui/widgets/emphasis.h"
#include "gui/widgets/maskedfield.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/statusline.h"
#include "station/session/session.h"
#include "uidpanel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>

AutoWriter::AutoWriter(Session &session, Parts parts, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_state(session.state())
    , m_p(parts)
    , m_loop(session.loop())
{
    const AutoPanel &a = m_p.autoPanel;
    const BlockPanel &b = m_p.blocks;
    QList<QAbstractButton *> boxes{a.autoUnlockBox(),    a.setUidBox(),      a.autoIncBox(),
                                   a.writePasswordBox(), a.lockBox(),        a.withIdBox(),
                                   a.noUidBox(),         a.notConfigBox(),   a.rewriteRecordedBox(),
                                   m_p.uid.hexButton(),  m_p.uid.decButton()};
    for (int n = 1; n <= 6; ++n)
        boxes << b.blockOption(n);
    for (QAbstractButton *box : boxes)
        connect(box, &QAbstractButton::toggled, this, &AutoWriter::takeOptions);
    QList<QLineEdit *> fields{a.setUidField(), a.incField()};
    for (int n = 0; n < BlockPanel::kBlocks; ++n)
        fields << b.field(n);
    for (QLineEdit *field : fields)
        connect(field, &QLineEdit::textChanged, this, &AutoWriter::takeOptions);
    for (QSpinBox *field : {a.stopAfterField(), a.retriesField()})
        connect(field, &QSpinBox::valueChanged, this, &AutoWriter::takeOptions);
    takeOptions();

    m_flash.setInterval(Timing::kFlashMs);
    connect(&m_flash, &QTimer::timeout, this, &AutoWriter::blink);
    connect(m_p.autoPanel.autoButton(), &QPushButton::clicked, this, &AutoWriter::toggle);
    connect(m_p.autoPanel.saveJobButton(), &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getSaveFileName(
            m_p.autoPanel.window(), QStringLiteral("Save Job"), QStringLiteral("job.json"),
            QStringLiteral("Jobs (*.json)"));
        QString error;
        if (!file.isEmpty() && !saveJob(file, &error))
            m_p.dialogs.warning(QStringLiteral("Save Job"), error);
    });
    connect(m_p.autoPanel.openJobButton(), &QPushButton::clicked, this, [this] {
        const QString file
            = QFileDialog::getOpenFileName(m_p.autoPanel.window(), QStringLiteral("Open Job"), {},
                                           QStringLiteral("Jobs (*.json)"));
        QString error;
        if (!file.isEmpty() && !openJob(file, &error))
            m_p.dialogs.warning(QStringLiteral("Open Job"), error);
    });
    connect(m_p.autoPanel.chooseUnlockListAction(), &QAction::triggered, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            m_p.autoPanel.window(), QStringLiteral("Unlock List"), {},
            QStringLiteral("Password lists (*.txt);;All files (*)"));
        QString error;
        if (!file.isEmpty() && !useUnlockList(file, &error))
            m_p.dialogs.warning(QStringLiteral("Unlock List"), error);
    });
    connect(m_p.autoPanel.dropUnlockListAction(), &QAction::triggered, this,
            &AutoWriter::dropUnlockList);
    connect(&m_loop, &ProductionLoop::shown, this, &AutoWriter::show);
    connect(&m_loop, &ProductionLoop::switched, this, &AutoWriter::onSwitched);
    connect(&m_loop, &ProductionLoop::tagStarted, this, &AutoWriter::tagStarted);
    connect(&m_loop, &ProductionLoop::tagEnded, this, &AutoWriter::tagEnded);
    connect(&m_loop, &ProductionLoop::uidRefused, this, &AutoWriter::uidRefused);
    connect(&m_loop, &ProductionLoop::failuresStopped, this, [this](const QString &why) {
        Notices::Shown said;
        said.log.append({QStringLiteral("Auto Write stopped: ") + why + QStringLiteral("\r\n"),
                         Palette::ColorOrangeRed});
        said.messages.append(
            {QStringLiteral("Auto Write stopped: too many failures"), Palette::ColorOrangeRed});
        showLines(said);
        // Once the step that stopped the loop has returned.
        QTimer::singleShot(0, this, [this, why] {
            m_p.dialogs.warning(QStringLiteral("Auto Write stopped"), why);
        });
    });
}

void AutoWriter::takeOptions()
{
    m_session.setOptions(panels());
}

AutoLoop::Options AutoWriter::panels() const
{
    const AutoPanel &a = m_p.autoPanel;
    const BlockPanel &b = m_p.blocks;
    AutoLoop::Options o;
    for (const AutoLoop::Flag &f : AutoLoop::kFlags)
        o.*f.member = a.box(f.member)->isChecked();
    for (int n = 1; n <= 6; ++n)
        o.blocks[size_t(n)] = b.blockOption(n)->isChecked();
    for (int n = 0; n < BlockPanel::kBlocks; ++n)
        o.blockTexts[size_t(n)] = b.block(n);
    o.setUidText = a.setUidField()->text();
    o.incText = a.incField()->text();
    o.stopAfterFailures = a.stopAfterField()->value();
    o.blockRetries = a.retriesField()->value();
    o.stepMs = m_stepMs;
    o.firstCommandMs = m_firstCommandMs;
    o.pace = m_pace;
    if (m_list && o.setUid) {
        o.uidList = m_list;
        o.autoInc = true;
    }
    if (m_unlockList && o.autoUnlock)
        o.unlockList = m_unlockList;
    if (m_p.uid.hexButton()->isChecked())
        o.base = AutoLoop::Options::Base::Hex;
    else if (m_p.uid.decButton()->isChecked())
        o.base = AutoLoop::Options::Base::Dec;
    else
        o.base = AutoLoop::Options::Base::None;
    return o;
}

bool AutoWriter::saveJob(const QString &file, QString *error) const
{
    return Job::fromOptions(options()).save(file, error);
}

void AutoWriter::useList(const Job &job)
{
    m_list = job.raw().uidList;
    takeOptions();
    QLabel *label = m_p.autoPanel.listLabel();
    label->setVisible(bool(m_list));
    // The loop takes the list's IDs in order; a UID typed in by hand would leave it.
    m_p.autoPanel.setUidField()->setReadOnly(bool(m_list));
    if (m_list)
        label->setText(QStringLiteral("List: %1, %2 IDs").arg(m_list->name()).arg(m_list->count()));
}

bool AutoWriter::openJob(const QString &file, QString *error)
{
    if (m_loop.running()) {
        *error = QStringLiteral("Stop the loop before opening a job.");
        return false;
    }
    const std::optional<Job> job = Job::load(file, error);
    if (!job)
        return false;
    const AutoLoop::Options &o = job->raw();
    AutoPanel &a = m_p.autoPanel;
    // Ticking "Write Block (B1-B6)" ticks blocks 3-6: the job's blocks come after it.
    a.writeBlocksBox()->setChecked(
        std::any_of(o.blocks.cbegin() + 1, o.blocks.cend(), [](bool on) { return on; }));
    for (int n = 1; n <= 6; ++n) {
        m_p.blocks.blockOption(n)->setChecked(o.blocks[size_t(n)]);
        if (o.blocks[size_t(n)])
            m_p.blocks.setBlock(n, o.blockTexts[size_t(n)]);
    }
    // In the table's order, which puts "Auto Set UID" (a change of it clears "Auto inc
    // (UID+)") first, and the password and the lock after the other boxes that take the focus.
    // What a job does not carry stays as the operator set it.
    for (const AutoLoop::Flag &f : AutoLoop::kFlags) {
        if (f.jobKey)
            a.box(f.member)->setChecked(o.*f.member);
    }
    a.setUidField()->setText(o.setUidText);
    a.incField()->setText(o.incText);
    a.stopAfterField()->setValue(o.stopAfterFailures);
    a.retriesField()->setValue(o.blockRetries);
    m_unlockList = o.unlockList;
    m_p.autoPanel.dropUnlockListAction()->setEnabled(bool(m_unlockList));
    setTiming(o.stepMs, o.firstCommandMs, o.pace);
    useList(*job);
    if (o.base == AutoLoop::Options::Base::Dec)
        m_p.uid.decButton()->setChecked(true);
    else
        m_p.uid.hexButton()->setChecked(true);
    return true;
}

bool AutoWriter::useUnlockList(const QString &file, QString *error)
{
    if (m_loop.running()) {
        *error = QStringLiteral("Stop the loop before changing the unlock list.");
        return false;
    }
    QStringList skipped;
    std::optional<PasswordList::List> list = PasswordList::loadList(file, error, &skipped);
    if (!list)
        return false;
    if (!skipped.isEmpty())
        m_p.dialogs.information(QStringLiteral("Unlock List"),
                                PasswordList::skippedSummary(QFileInfo(file).fileName(), skipped));
    m_unlockList = std::make_shared<const PasswordList::List>(std::move(*list));
    m_p.autoPanel.dropUnlockListAction()->setEnabled(true);
    // A list is only tried while unlocking.
    m_p.autoPanel.autoUnlockBox()->setChecked(true);
    takeOptions();
    emit jobChanged();
    return true;
}

void AutoWriter::dropUnlockList()
{
    if (m_loop.running())
        return;
    m_unlockList.reset();
    m_p.autoPanel.dropUnlockListAction()->setEnabled(false);
    takeOptions();
    emit jobChanged();
}

void AutoWriter::toggle()
{
    if (!m_state.PortConnected) {
        m_p.dialogs.information(
            QStringLiteral("Connection Error!"),
            QStringLiteral("Pleas Select Port-Number And Click the Connect Button. "));
        return;
    }
    if (m_loop.running())
        m_loop.stop();
    else
        m_loop.start();
}

void AutoWriter::onSwitched(bool on)
{
    QPushButton *button = m_p.autoPanel.autoButton();
    if (on) {
        button->setText(QStringLiteral("Stop"));
        if (m_p.status.cardState() == StatusLine::Card::NoCard)
            m_p.status.showCard(StatusLine::Card::Searching);
        m_flash.start();
    } else {
        button->setText(QStringLiteral("Auto Wite"));
        if (!m_linkClosing && m_p.status.cardState() == StatusLine::Card::Searching)
            m_p.status.showCard(StatusLine::Card::NoCard);
        m_flash.stop();
    }
    emit switched(on);
}

void AutoWriter::onLinkClosed()
{
    m_linkClosing = true;
    m_loop.onLinkClosed();
    m_linkClosing = false;
    m_p.autoPanel.autoButton()->setText(QStringLiteral("Auto Wite"));
    m_flash.stop();
}

void AutoWriter::blink()
{
    if (!m_loop.running())
        return;
    FlashPhase = !FlashPhase;
    QPushButton *button = m_p.autoPanel.autoButton();
    if (FlashPhase) {
        m_p.emphasis.clearDefault(button);
        m_p.emphasis.setHighlight(button, false);
    } else {
        m_p.emphasis.emphasise(button);
    }
}

void AutoWriter::showLines(const Notices::Shown &shown)
{
    for (const Notices::Line &line : shown.log) {
        m_p.log.setInsertionSize(line.size);
        m_p.log.setInsertionColour(line.colour);
        m_p.log.insert(line.text);
        m_p.log.moveToEnd();
        m_p.log.setInsertionSize(9);
    }
    for (const Notices::Line &m : shown.messages)
        m_p.status.showMessage(m.text, m.colour);
}

void AutoWriter::show(const AutoLoop::Actions &a)
{
    if (a.block0)
        m_p.blocks.setBlock(0, *a.block0);
    if (a.setUid)
        m_p.autoPanel.setUidField()->setText(*a.setUid);
    showLines(Notices::shown(a.notices));
    for (int i = 0; i < a.beeps; ++i)
        QApplication::beep();
}
