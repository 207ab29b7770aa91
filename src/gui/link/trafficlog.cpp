#include "trafficlog.h"

#include "gui/widgets/controlnames.h"
#include "gui/widgets/palette.h"
#include "gui/widgets/palettecolor.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

QString visibleText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20)
            out += QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            out += QChar(char16_t(0x2421));
        else
            out += c;
    }
    return out;
}

TrafficLog::TrafficLog(QWidget *parent)
    : QWidget(parent)
    , m_view(new QPlainTextEdit(this))
    , m_clean(new QPushButton("Clean", this))
    , m_keep(new QCheckBox(QStringLiteral("Keep traffic"), this))
    , m_captureFile(new QLabel(this))
{
    nameControl(m_keep, QStringLiteral("ch_Keep_Traffic"), QStringLiteral("Keep traffic"));
    m_keep->setToolTip(QStringLiteral("Write every byte sent and received to a file, with "
                                      "times (the password masked)"));
    m_captureFile->setObjectName(QStringLiteral("lb_Capture_File"));
    m_captureFile->setTextFormat(Qt::PlainText);
    m_captureFile->hide();
    nameControl(m_view, QStringLiteral("R1"), QStringLiteral("Traffic log"));
    nameControl(m_clean, QStringLiteral("cm_clean"), QStringLiteral("Clean"));
    m_view->setReadOnly(true);
    m_view->setToolTip(QStringLiteral("Double Click for Clean"));
    m_view->viewport()->installEventFilter(this);
    QFont f = m_view->font();
    f.setPointSize(9);
    m_view->document()->setDefaultFont(f);
    // Nobody undoes traffic; the undo history would grow with every line of a shift.
    m_view->document()->setUndoRedoEnabled(false);
    m_view->setMaximumBlockCount(kMaxLines);
    m_clean->setToolTip(QStringLiteral("Clean Report"));
    connect(m_clean, &QPushButton::clicked, this, &TrafficLog::cleanClicked);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(m_view, 0, 0);
    // Over the log's corner, but beside its scroll bar, so both stay usable.
    auto *corner = new QHBoxLayout;
    const int frame = m_view->frameWidth();
    corner->setContentsMargins(
        0, 0, style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_view) + frame + 2,
        frame + 2);
    corner->addStretch();
    corner->addWidget(m_captureFile, 0, Qt::AlignBottom);
    corner->addWidget(m_keep, 0, Qt::AlignBottom);
    corner->addWidget(m_clean, 0, Qt::AlignBottom);
    grid->addLayout(corner, 0, 0, Qt::AlignRight | Qt::AlignBottom);

    m_cursor = QTextCursor(m_view->document());
    m_format.setFontPointSize(m_size);
}

void TrafficLog::showCaptureFile(const QString &path)
{
    m_captureFile->setText(QDir::toNativeSeparators(path));
    m_captureFile->setToolTip(m_captureFile->text());
    m_captureFile->setVisible(!path.isEmpty());
}

void TrafficLog::setInsertionColour(quint32 bgr)
{
    m_format.setForeground(Palette::toColor(bgr));
}

void TrafficLog::setInsertionSize(int points)
{
    m_size = points;
    m_format.setFontPointSize(points);
}

void TrafficLog::insert(const QString &text)
{
    m_cursor.movePosition(QTextCursor::End);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            m_cursor.insertBlock(QTextBlockFormat(), m_format);
        if (!lines[i].isEmpty())
            m_cursor.insertText(visibleText(lines[i]), m_format);
    }
}

void TrafficLog::moveToEnd()
{
    m_cursor.movePosition(QTextCursor::End);
    m_view->setTextCursor(m_cursor);
    m_view->ensureCursorVisible();
}

void TrafficLog::clear()
{
    m_view->clear();
    m_cursor = QTextCursor(m_view->document());
}

QString TrafficLog::text() const
{
    return m_view->toPlainText();
}

bool TrafficLog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_view->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        clear();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
