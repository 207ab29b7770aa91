#include "recordswindow.h"

#include "lineview.h"

#include "core/settingsstore.h"
#include "gui/widgets/dialogs.h"
#include "station/link/portmap.h"
#include "station/record/recordreader.h"
#include "station/record/recordthread.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

using Rows = RecordReader::Rows;

// Rows read on the reader's thread, shown here; more of a long list is asked for as the view
// scrolls to its end.
class RecordRows : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setHeaders(const QStringList &headers) { m_headers = headers; }
    void reset(Rows rows, bool more)
    {
        beginResetModel();
        m_rows = std::move(rows);
        m_more = more;
        m_fetching = false;
        endResetModel();
    }
    void append(Rows rows, bool more)
    {
        m_fetching = false;
        m_more = more;
        if (rows.isEmpty())
            return;
        beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + rows.size() - 1));
        m_rows += rows;
        endInsertRows();
    }
    void onMore(std::function<void()> more) { m_wantMore = std::move(more); }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_headers.size());
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
            return {};
        const QVariantList &row = m_rows.at(index.row());
        return index.column() < row.size() ? row.at(index.column()) : QVariant();
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < m_headers.size())
            return m_headers.at(section);
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    bool canFetchMore(const QModelIndex &parent) const override
    {
        return !parent.isValid() && m_more && !m_fetching && m_wantMore;
    }
    void fetchMore(const QModelIndex &parent) override
    {
        if (!canFetchMore(parent))
            return;
        m_fetching = true;
        m_wantMore();
    }

private:
    QStringList m_headers;
    Rows m_rows;
    bool m_more = false;
    bool m_fetching = false;
    std::function<void()> m_wantMore;
};

namespace {

// How long a question may go unanswered before the window says it waits.
constexpr int kSlowMs = 1000;
// How often the Line tab reads the record again while it is shown.
constexpr int kLineMs = 5000;

const QStringList kResults = {QStringLiteral("complete"),   QStringLiteral("failed"),
                              QStringLiteral("stalled"),    QStringLiteral("left the field early"),
                              QStringLiteral("stopped"),    QStringLiteral("interrupted"),
                              QStringLiteral("in progress")};

// The record keeps times in UTC and ports as devices; a person reads local time to the
// second and the port's number, with the device in its tooltip.
QString localTime(const QString &iso)
{
    const QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : iso;
}

QString portNumber(const QString &device)
{
    const int n = PortMap::numberFor(device);
    return n ? PortMap::entryText(n) : device;
}

class ReadableColumns : public QIdentityProxyModel {
public:
    ReadableColumns(QList<int> times, QList<int> ports, QObject *parent)
        : QIdentityProxyModel(parent)
        , m_times(std::move(times))
        , m_ports(std::move(ports))
    {
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        const QVariant value = QIdentityProxyModel::data(index, Qt::DisplayRole);
        const bool port = m_ports.contains(index.column());
        if (role == Qt::DisplayRole && m_times.contains(index.column()))
            return localTime(value.toString());
        if (role == Qt::DisplayRole && port)
            return portNumber(value.toString());
        if (role == Qt::ToolTipRole && port)
            return value;
        return QIdentityProxyModel::data(index, role);
    }

private:
    QList<int> m_times;
    QList<int> m_ports;
};

QTableView *tableView(QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}

} // namespace

RecordsWindow::RecordsWindow(const QString &location, QWidget *parent, Dialogs *dialogs)
    : QDialog(parent)
    , m_reader(std::make_unique<RecordReader>(location))
    , m_ownDialogs(dialogs ? nullptr : std::make_unique<MessageBoxDialogs>(this))
    , m_dialogs(dialogs ? dialogs : m_ownDialogs.get())
    , m_waiting(new QTimer(this))
    , m_retry(new QTimer(this))
    , m_batch(new QComboBox(this))
    , m_result(new QComboBox(this))
    , m_uid(new QLineEdit(this))
    , m_export(new QPushButton(QStringLiteral("Export CSV..."), this))
    , m_release(new QPushButton(QStringLiteral("Release UID..."), this))
    , m_traffic(new QPushButton(QStringLiteral("Show traffic..."), this))
    , m_status(new QLabel(this))
    , m_batches(new RecordRows(this))
    , m_tags(new RecordRows(this))
    , m_reservations(new RecordRows(this))
    , m_lists(new RecordRows(this))
    , m_sorted(new QSortFilterProxyModel(this))
    , m_batchView(tableView(this))
    , m_tagView(tableView(this))
    , m_reservationView(tableView(this))
    , m_listView(tableView(this))
    , m_tabs(new QTabWidget(this))
    , m_line(new LineView(*m_dialogs, this))
    , m_lineTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("RecordsWindow"));
    setWindowTitle(QStringLiteral("Records"));
    setUpTables();
    lay();
    connectControls();
    refresh();
}

void RecordsWindow::setUpTables()
{
    m_batch->setAccessibleName(QStringLiteral("Batch"));
    m_result->setAccessibleName(QStringLiteral("Result"));
    m_uid->setAccessibleName(QStringLiteral("UID contains"));
    m_uid->setPlaceholderText(QStringLiteral("UID contains"));
    m_uid->setClearButtonEnabled(true);
    m_result->addItem(QStringLiteral("All results"));
    m_result->addItems(kResults);
    m_batchView->setAccessibleName(QStringLiteral("Batches"));
    m_tagView->setAccessibleName(QStringLiteral("Tags"));
    m_batches->setHeaders(
        {QStringLiteral("Batch"), QStringLiteral("Started"), QStringLiteral("Stopped"),
         QStringLiteral("Station"), QStringLiteral("Port"), QStringLiteral("Options"),
         QStringLiteral("First UID"), QStringLiteral("Step"), QStringLiteral("Base"),
         QStringLiteral("Tags"), QStringLiteral("Operator")});
    m_reservations->setHeaders({QStringLiteral("UID"), QStringLiteral("Station"),
                                QStringLiteral("Port"), QStringLiteral("Reserved"),
                                QStringLiteral("Batch"), QStringLiteral("Why")});
    m_lists->setHeaders({QStringLiteral("UID list"), QStringLiteral("Base"), QStringLiteral("IDs"),
                         QStringLiteral("Used"), QStringLiteral("In doubt"),
                         QStringLiteral("Remaining"), QStringLiteral("Loaded")});
    m_listView->setAccessibleName(QStringLiteral("UID lists"));
    m_listView->setToolTip(QStringLiteral("Used: on a confirmed tag. In doubt: a write was sent "
                                          "and no tag confirmed it; a supervisor releases it "
                                          "above. Remaining: not written yet"));
    auto *lists = new ReadableColumns({RecordReader::kListLoaded}, {}, this);
    lists->setSourceModel(m_lists);
    m_listView->setModel(lists);
    m_tags->setHeaders(RecordQueries::tagColumns());
    m_tags->onMore([this] { fetchMoreTags(); });
    m_retry->setSingleShot(true);
    m_retry->setInterval(RecordThread::kRetryMs);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (isVisible())
            refresh();
    });
    m_waiting->setInterval(kSlowMs);
    connect(m_waiting, &QTimer::timeout, this, [this] {
        m_status->setText(QStringLiteral("Waiting for the production record: it has not "
                                         "answered for %1 s. The window goes on and shows what "
                                         "it holds when it answers.")
                              .arg(m_askedFor.elapsed() / 1000));
    });
    auto *batches = new ReadableColumns({RecordReader::kBatchStarted, RecordReader::kBatchStopped},
                                        {RecordReader::kBatchPort}, this);
    batches->setSourceModel(m_batches);
    m_batchView->setModel(batches);
    m_reservationView->setAccessibleName(QStringLiteral("UIDs held in doubt"));
    m_reservationView->setToolTip(QStringLiteral("UIDs a station holds that no completed tag "
                                                 "carries: none is given again until a "
                                                 "supervisor releases it"));
    m_release->setToolTip(QStringLiteral("Give the chosen UID back for any batch to write; only "
                                         "once no tag carries it"));
    m_release->setEnabled(false);
    m_traffic->setEnabled(false);
    m_traffic->setToolTip(QStringLiteral("The commands and replies of the chosen tag, kept when "
                                         "its batch ran with Keep traffic"));
    auto *reservations = new ReadableColumns({RecordReader::kReservationSince},
                                             {RecordReader::kReservationPort}, this);
    reservations->setSourceModel(m_reservations);
    m_reservationView->setModel(reservations);
    m_sorted->setSourceModel(m_tags);
    // Sorted on what the record holds, so times sort as times.
    auto *tags = new ReadableColumns({RecordQueries::kTagStarted, RecordQueries::kTagEnded},
                                     {RecordQueries::kTagPort}, this);
    tags->setSourceModel(m_sorted);
    m_tagView->setModel(tags);
    m_tagView->setSortingEnabled(true);
    m_tagView->sortByColumn(-1, Qt::AscendingOrder);
}

void RecordsWindow::lay()
{
    auto *filters = new QHBoxLayout;
    auto *batchLabel = new QLabel(QStringLiteral("&Batch:"), this);
    batchLabel->setBuddy(m_batch);
    auto *resultLabel = new QLabel(QStringLiteral("&Result:"), this);
    resultLabel->setBuddy(m_result);
    auto *uidLabel = new QLabel(QStringLiteral("&UID:"), this);
    uidLabel->setBuddy(m_uid);
    filters->addWidget(batchLabel);
    filters->addWidget(m_batch, 2);
    filters->addWidget(resultLabel);
    filters->addWidget(m_result, 1);
    filters->addWidget(uidLabel);
    filters->addWidget(m_uid, 1);
    filters->addWidget(m_traffic);
    filters->addWidget(m_export);

    auto *split = new QSplitter(Qt::Vertical, this);
    m_split = split;
    split->setObjectName(QStringLiteral("sp_Records"));
    split->addWidget(m_batchView);
    split->addWidget(m_tagView);
    auto *reserved = new QWidget(this);
    m_reservedPane = reserved;
    auto *reservedLayout = new QVBoxLayout(reserved);
    reservedLayout->setContentsMargins(0, 0, 0, 0);
    auto *reservedTop = new QHBoxLayout;
    reservedTop->addWidget(
        new QLabel(QStringLiteral("UIDs held in doubt (no completed tag carries them):"), reserved),
        1);
    reservedTop->addWidget(m_release);
    reservedLayout->addLayout(reservedTop);
    reservedLayout->addWidget(m_reservationView);
    split->addWidget(reserved);
    split->addWidget(m_listView);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 4);
    split->setStretchFactor(2, 1);
    split->setStretchFactor(3, 1);
    split->setChildrenCollapsible(false);
    auto *records = new QWidget(this);
    auto *recordsLayout = new QVBoxLayout(records);
    recordsLayout->setContentsMargins(0, 0, 0, 0);
    recordsLayout->addLayout(filters);
    recordsLayout->addWidget(split, 1);
    m_tabs->addTab(records, QStringLiteral("&Tags"));
    m_tabs->addTab(m_line, QStringLiteral("&Line"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(m_status);
    resize(1000, 640);
    // The tags get the room; the batches a few rows.
    split->setSizes({140, 400, 100, 80});
    const auto settings = SettingsStore::open();
    const QByteArray geometry = settings->value(QStringLiteral("records/geometry")).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    const QByteArray panes = settings->value(QStringLiteral("records/panes")).toByteArray();
    if (!panes.isEmpty())
        split->restoreState(panes);
}

void RecordsWindow::connectControls()
{
    connect(m_reader.get(), &RecordReader::pendingChanged, this, &RecordsWindow::onPending);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] { refreshLine(); });
    connect(m_line, &LineView::scopeChanged, this, [this] { refreshLine(); });
    // The line's figures follow the record while they are shown.
    m_lineTimer->setInterval(kLineMs);
    connect(m_lineTimer, &QTimer::timeout, this, [this] {
        if (isVisible() && m_tabs->currentWidget() == m_line)
            refreshLine();
    });
    m_lineTimer->start();
    connect(m_batch, &QComboBox::currentIndexChanged, this, &RecordsWindow::applyFilter);
    connect(m_result, &QComboBox::currentIndexChanged, this, &RecordsWindow::applyFilter);
    connect(m_uid, &QLineEdit::textChanged, this, &RecordsWindow::applyFilter);
    connect(m_export, &QPushButton::clicked, this, &RecordsWindow::exportClicked);
    connect(m_release, &QPushButton::clicked, this, &RecordsWindow::releaseClicked);
    connect(m_reservationView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { m_release->setEnabled(m_reservationView->selectionModel()->hasSelection()); });
    connect(m_tagView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RecordsWindow::tagChosen);
    connect(m_traffic, &QPushButton::clicked, this, &RecordsWindow::showTraffic);
    connect(m_tagView, &QTableView::doubleClicked, this, [this] {
        if (m_traffic->isEnabled())
            showTraffic();
    });
    connect(m_batchView, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        const qint64 id = m_batches->index(index.row(), RecordReader::kBatchId).data().toLongLong();
        const int at = m_batch->findData(id);
        if (at >= 0)
            m_batch->setCurrentIndex(at);
    });
}

ProductionRecord::Filter RecordsWindow::filter() const
{
    ProductionRecord::Filter f;
    if (m_batch->currentData().isValid())
        f.batch = m_batch->currentData().toLongLong();
    if (m_result->currentIndex() > 0)
        f.result = m_result->currentText();
    f.uidText = m_uid->text().trimmed();
    return f;
}

RecordsWindow::~RecordsWindow()
{
    m_reader->close();
}

bool RecordsWindow::reading() const
{
    return m_reader->pending() > 0;
}

QAbstractItemModel *RecordsWindow::tagModel() const
{
    return m_tags;
}

QAbstractItemModel *RecordsWindow::listModel() const
{
    return m_lists;
}

QAbstractItemModel *RecordsWindow::reservationModel() const
{
    return m_reservations;
}

void RecordsWindow::onPending(int pending)
{
    const int before = std::exchange(m_pending, pending);
    if (pending == 0) {
        m_waiting->stop();
        return;
    }
    // Counted from the first question, or from the last answer while others wait.
    if (before == 0 || pending < before)
        m_askedFor.start();
    if (before == 0)
        m_waiting->start();
}

void RecordsWindow::done(int result)
{
    const auto settings = SettingsStore::open();
    settings->setValue(QStringLiteral("records/geometry"), saveGeometry());
    settings->setValue(QStringLiteral("records/panes"), m_split->saveState());
    QDialog::done(result);
}

void RecordsWindow::refresh()
{
    m_reader->overview([this](RecordReader::Overview o) {
        m_open = o.open;
        m_where = o.where;
        m_problem = o.problem;
        m_export->setEnabled(o.open);
        if (!o.open) {
            m_status->setText(QStringLiteral("The production record cannot be read: ") + o.problem);
            // Read again by itself once the record is back.
            m_retry->start();
            return;
        }
        const QVariant chosen = m_batch->currentData();
        const QSignalBlocker block(m_batch);
        m_batch->clear();
        m_batch->addItem(QStringLiteral("All batches"));
        for (const RecordReader::BatchChoice &b : std::as_const(o.choices)) {
            const QString kind = b.manual ? QStringLiteral(" (manual)") : QString();
            m_batch->addItem(QStringLiteral("%1 \u2014 %2 port %3%4")
                                 .arg(b.id)
                                 .arg(localTime(b.started), portNumber(b.port), kind),
                             b.id);
        }
        const int at = chosen.isValid() ? m_batch->findData(chosen) : 0;
        m_batch->setCurrentIndex(at < 0 ? 0 : at);
        m_batches->reset(std::move(o.batches), false);
        m_release->setEnabled(false);
        m_reservations->reset(std::move(o.reservations), false);
        // Usually empty: it takes room only when a UID is held.
        m_reservedPane->setVisible(m_reservations->rowCount() > 0);
        m_lists->reset(std::move(o.lists), false);
        m_listView->setVisible(m_lists->rowCount() > 0);
        applyFilter();
    });
}

void RecordsWindow::refreshLine()
{
    if (m_tabs->currentWidget() != m_line || m_lineAsked)
        return;
    m_lineAsked = true;
    const bool latest = m_line->scope() == LineView::Scope::LatestBatch;
    const qint64 since = latest ? 0 : m_line->shiftSinceMs(QDateTime::currentDateTime());
    m_reader->lineFigures(latest, since, [this](LineFigures f) {
        m_lineAsked = false;
        m_line->setFigures(f);
    });
}

void RecordsWindow::applyFilter()
{
    if (!m_open)
        return;
    m_reader->tags(filter(), [this](RecordReader::Page page) {
        if (!page.error.isEmpty()) {
            m_status->setText(QStringLiteral("The production record cannot be read: ")
                              + page.error);
            return;
        }
        m_tags->reset(std::move(page.rows), page.more);
        QString text = m_where;
        if (!m_problem.isEmpty())
            text += QStringLiteral(" \u2014 ") + m_problem;
        m_status->setText(text);
    });
}

void RecordsWindow::fetchMoreTags()
{
    m_reader->moreTags(
        [this](RecordReader::Page page) { m_tags->append(std::move(page.rows), page.more); });
}

void RecordsWindow::exportTo(const QString &file)
{
    auto state = std::make_shared<RecordReader::ExportProgress>();
    m_export->setEnabled(false);
    // A year of a busy line is millions of rows: the export shows how far it is and can be
    // stopped.
    auto *progress = new QProgressDialog(QStringLiteral("Exporting records..."),
                                         QStringLiteral("Cancel"), 0, 0, this);
    progress->setWindowTitle(QStringLiteral("Export records"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(500);
    progress->setAutoReset(false);
    progress->setAutoClose(false);
    connect(progress, &QProgressDialog::canceled, this, [state] { state->cancel = true; });
    auto *poll = new QTimer(progress);
    connect(poll, &QTimer::timeout, progress, [progress, state] {
        progress->setMaximum(int(qMin<qint64>(state->total, INT_MAX)));
        progress->setValue(int(qMin<qint64>(state->rows, progress->maximum())));
    });
    poll->start(100);
    m_reader->exportCsv(file, filter(), state,
                        [this, file, progress, state](RecordReader::Exported e) {
                            progress->deleteLater();
                            m_export->setEnabled(m_open);
                            if (!e.done) {
                                m_status->setText(e.error);
                                if (!state->cancel && isVisible())
                                    m_dialogs->warning(QStringLiteral("Export records"), e.error);
                                return;
                            }
                            showExported(e.rows, file);
                        });
}

void RecordsWindow::showExported(qint64 rows, const QString &file)
{
    m_status->setText(QStringLiteral("Exported %1 %2 to %3")
                          .arg(rows)
                          .arg(rows == 1 ? QStringLiteral("tag") : QStringLiteral("tags"),
                               QDir::toNativeSeparators(file)));
}

void RecordsWindow::exportClicked()
{
    const QString file = QFileDialog::getSaveFileName(this, QStringLiteral("Export records"),
                                                      QStringLiteral("records.csv"),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (!file.isEmpty())
        exportTo(file);
}

QString RecordsWindow::trafficOf(int row) const
{
    const QVariant id = m_tagView->model()->index(row, RecordQueries::kTagId).data();
    return id.isValid() && id.toLongLong() == m_chosenTag ? m_chosenTraffic : QString();
}

void RecordsWindow::tagChosen()
{
    const QModelIndexList rows = m_tagView->selectionModel()->selectedRows();
    const QString about = QStringLiteral("The commands and replies of the chosen tag, kept when "
                                         "its batch ran with Keep traffic");
    m_traffic->setEnabled(false);
    m_traffic->setToolTip(about);
    m_chosenTag = -1;
    m_chosenTraffic.clear();
    if (rows.size() != 1)
        return;
    const qint64 id
        = m_tagView->model()->index(rows.first().row(), RecordQueries::kTagId).data().toLongLong();
    m_chosenTag = id;
    m_reader->traffic(id, [this, id, about](QString traffic) {
        if (id != m_chosenTag)
            return;
        m_chosenTraffic = traffic;
        m_traffic->setEnabled(!traffic.isEmpty());
        m_traffic->setToolTip(traffic.isEmpty()
                                  ? QStringLiteral("No traffic was kept for this tag: its "
                                                   "batch ran without Keep traffic")
                                  : about);
    });
}

void RecordsWindow::showTraffic()
{
    const QModelIndexList rows = m_tagView->selectionModel()->selectedRows();
    if (rows.size() != 1)
        return;
    const int row = rows.first().row();
    const QAbstractItemModel *model = m_tagView->model();
    const auto cell = [model, row](int column) {
        return model->index(row, column).data().toString();
    };
    const QString tag = cell(RecordQueries::kTagId);
    QString uid = cell(RecordQueries::kTagUidRead);
    if (uid.isEmpty())
        uid = cell(RecordQueries::kTagUidAsked);
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Traffic of tag %1").arg(tag));
    auto *about = new QLabel(
        QStringLiteral("Tag %1%2, %3, started %4. Its commands and replies from the end of the "
                       "tag before it, in seconds from the first line; the password is masked.")
            .arg(tag, uid.isEmpty() ? QString() : QStringLiteral(" (UID %1)").arg(uid),
                 cell(RecordQueries::kTagResult), cell(RecordQueries::kTagStarted)),
        &dialog);
    about->setWordWrap(true);
    auto *text = new QPlainTextEdit(trafficOf(row), &dialog);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setAccessibleName(QStringLiteral("Traffic"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(about);
    layout->addWidget(text, 1);
    layout->addWidget(buttons);
    dialog.resize(720, 480);
    dialog.exec();
}

void RecordsWindow::releaseReservation(int row, std::function<void(const QString &)> done)
{
    const QString uid = m_reservations->index(row, RecordReader::kReservationUid).data().toString();
    if (uid.isEmpty()) {
        if (done)
            done(QStringLiteral("no UID is chosen"));
        return;
    }
    m_release->setEnabled(false);
    m_reader->release(uid, RecordIdentity::userName(),
                      [this, done = std::move(done)](QString error) {
                          refresh();
                          if (done)
                              done(error);
                      });
}

void RecordsWindow::releaseClicked()
{
    const QModelIndexList rows = m_reservationView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const QString uid = m_reservations->index(rows.first().row(), RecordReader::kReservationUid)
                            .data()
                            .toString();
    if (!m_dialogs->question(
            QStringLiteral("Release UID"),
            QStringLiteral("Release UID %1? Any batch may then write it. Release it only once "
                           "you know that no tag carries it (read the tags of that batch). The "
                           "record keeps who released it and when.")
                .arg(uid)))
        return;
    releaseReservation(rows.first().row(), [this](const QString &error) {
        if (!error.isEmpty())
            m_dialogs->warning(QStringLiteral("Release UID"), error);
    });
}
