#include "recordstatus.h"

#include "gui/record/lineview.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"
#include "station/record/listloader.h"
#include "station/record/recorder.h"

#include <QLabel>
#include <QProgressDialog>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

RecordStatus::RecordStatus(Recorder &recorder, QStatusBar *statusBar, QObject *parent)
    : QObject(parent)
    , m_recorder(recorder)
    , m_summary(new QLabel)
    , m_warning(new QLabel)
    , m_recordsButton(new QToolButton)
    , m_line(new LineStrip)
    , m_window(statusBar->window())
{
    m_summary->setObjectName(QStringLiteral("lb_Record_Summary"));
    m_summary->setTextFormat(Qt::PlainText);
    m_warning->setObjectName(QStringLiteral("lb_Record_Warning"));
    m_warning->setTextFormat(Qt::PlainText);
    QPalette p = m_warning->palette();
    p.setColor(QPalette::WindowText, Palette::toColor(Palette::ColorRed));
    m_warning->setPalette(p);
    m_recordsButton->setObjectName(QStringLiteral("cm_Records"));
    m_recordsButton->setText(QStringLiteral("Records"));
    m_recordsButton->setToolTip(QStringLiteral("Production record: batches and tags (Ctrl+R)"));
    m_recordsButton->setAccessibleDescription(QStringLiteral("cm_Records"));
    statusBar->addPermanentWidget(m_warning);
    statusBar->addPermanentWidget(m_line);
    statusBar->addPermanentWidget(m_summary);
    connect(&m_recorder, &Recorder::lineChanged, m_line,
            [this] { m_line->setFigures(m_recorder.line()); });
    statusBar->addPermanentWidget(m_recordsButton);
    connect(m_recordsButton, &QToolButton::clicked, this, &RecordStatus::recordsRequested);
    connect(&m_recorder, &Recorder::summaryChanged, m_summary, &QLabel::setText);
    connect(&m_recorder, &Recorder::warningChanged, this, &RecordStatus::showWarning);
    connect(&m_recorder.lists(), &ListLoader::progress, this, &RecordStatus::showListProgress);
    connect(&m_recorder.lists(), &ListLoader::finished, this, [this] {
        if (m_listProgress)
            m_listProgress->deleteLater();
    });
    m_summary->setText(m_recorder.summary());
    showWarning();
}

void RecordStatus::showListProgress(const QString &what, qint64 done, qint64 total)
{
    m_listWhat = what;
    m_listPermille = total > 0 ? int(done * 1000 / total) : 0;
    if (m_listProgress)
        return;
    m_listProgress = new QProgressDialog(what, QStringLiteral("Cancel"), 0, 1000, m_window);
    m_listProgress->setWindowTitle(QStringLiteral("UID list"));
    m_listProgress->setWindowModality(Qt::WindowModal);
    m_listProgress->setMinimumDuration(500);
    m_listProgress->setAutoReset(false);
    m_listProgress->setAutoClose(false);
    // Cancelled: the loop stays off, and what is in the record stays for the next start.
    connect(m_listProgress, &QProgressDialog::canceled, this, [this] {
        m_recorder.cancelList();
        m_listProgress->deleteLater();
    });
    // From a timer, not from the loader's answer: a modal dialog's update runs the event loop,
    // and the loader's next answers would run inside it.
    auto *poll = new QTimer(m_listProgress);
    connect(poll, &QTimer::timeout, m_listProgress, [this] {
        m_listProgress->setLabelText(m_listWhat);
        m_listProgress->setValue(m_listPermille);
    });
    poll->start(100);
}

void RecordStatus::showWarning()
{
    const QString text = m_recorder.warning();
    m_warning->setVisible(!text.isEmpty());
    m_warning->setText(text);
    const QString detail = m_recorder.warningDetail();
    m_warning->setToolTip(detail.isEmpty() ? text : text + QStringLiteral("\n\n") + detail);
}
