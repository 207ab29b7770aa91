#include "recordstatus.h"

#include "core/palette.h"
#include "record/lineview.h"
#include "record/recorder.h"

#include <QLabel>
#include <QStatusBar>
#include <QToolButton>

RecordStatus::RecordStatus(Recorder &recorder, QStatusBar *statusBar, QObject *parent)
    : QObject(parent)
    , m_recorder(recorder)
    , m_summary(new QLabel)
    , m_warning(new QLabel)
    , m_recordsButton(new QToolButton)
    , m_line(new LineStrip)
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
    m_summary->setText(m_recorder.summary());
    showWarning();
}

void RecordStatus::showWarning()
{
    const QString text = m_recorder.warning();
    m_warning->setVisible(!text.isEmpty());
    m_warning->setText(text);
    const QString detail = m_recorder.warningDetail();
    m_warning->setToolTip(detail.isEmpty() ? text : text + QStringLiteral("\n\n") + detail);
}
