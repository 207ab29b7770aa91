#include "recordswindow.h"

#include "lineview.h"

#include "core/settingsstore.h"
#include "core/trafficformat.h"
#include "station/link/portmap.h"
#include "station/record/recordwriter.h"

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
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>

using Rows = QList<QVariantList>;

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

struct RecordsWindow::TagCursor {
    std::unique_ptr<QSqlQuery> query;
    int generation = -1;
};

namespace {

// As many tags as a view shows a few times over; more as it scrolls.
constexpr int kPage = 256;
// How long a question may go unanswered before the window says it waits.
constexpr int kSlowMs = 1000;
// How often the Line tab reads the record again while it is shown.
constexpr int kLineMs = 5000;

// All rows, or at most limit; more: the limit was reached, so there may be more.
Rows readRows(QSqlQuery &q, int limit = -1, bool *more = nullptr)
{
    Rows rows;
    const int columns = q.record().count();
    while ((limit < 0 || rows.size() < limit) && q.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << q.value(i);
        rows << row;
    }
    if (more)
        *more = limit >= 0 && rows.size() == limit;
    return rows;
}

struct Snapshot {
    bool open = false;
    QString where;
    QString problem;
    Rows batches;
    Rows reservations;
    Rows lists;
    Rows ids;
};

struct Page {
    int generation = 0;
    Rows rows;
    bool more = false;
    QString error;
};

struct Exported {
    qint64 rows = 0;
    bool done = false;
    QString error;
};

struct ExportState {
    std::atomic<qint64> total{0};
    std::atomic<qint64> rows{0};
    std::atomic<bool> cancel{false};
};

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

RecordsWindow::RecordsWindow(const QString &location, QWidget *parent)
    : QDialog(parent)
    , m_reader(std::make_unique<RecordWriter>(location, nullptr, RecordWriter::Role::Reading))
    , m_cursor(std::make_shared<TagCursor>())
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
    , m_line(new LineView(this))
    , m_lineTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("RecordsWindow"));
    setWindowTitle(QStringLiteral("Records"));
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
    auto *lists = new ReadableColumns({6}, {}, this);
    lists->setSourceModel(m_lists);
    m_listView->setModel(lists);
    m_tags->setHeaders(RecordQueries::tagColumns());
    m_tags->onMore([this] { fetchMoreTags(); });
    m_retry->setSingleShot(true);
    m_retry->setInterval(RecordWriter::kRetryMs);
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
    auto *batches = new ReadableColumns({1, 2}, {4}, this);
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
    auto *reservations = new ReadableColumns({3}, {2}, this);
    reservations->setSourceModel(m_reservations);
    m_reservationView->setModel(reservations);
    m_sorted->setSourceModel(m_tags);
    // Sorted on what the record holds, so times sort as times.
    auto *tags = new ReadableColumns({4, 5}, {3}, this);
    tags->setSourceModel(m_sorted);
    m_tagView->setModel(tags);
    m_tagView->setSortingEnabled(true);
    m_tagView->sortByColumn(-1, Qt::AscendingOrder);

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
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] { refreshLine(); });
    connect(m_line, &LineView::scopeChanged, this, [this] { refreshLine(); });
    // The line's figures follow the record while they are shown.
    m_lineTimer->setInterval(kLineMs);
    connect(m_lineTimer, &QTimer::timeout, this, [this] {
        if (isVisible() && m_tabs->currentWidget() == m_line)
            refreshLine();
    });
    m_lineTimer->start();
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
        const qint64 id = m_batches->index(index.row(), 0).data().toLongLong();
        const int at = m_batch->findData(id);
        if (at >= 0)
            m_batch->setCurrentIndex(at);
    });
    refresh();
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
    // The open query belongs to the reader's thread and ends there.
    m_reader->post([cursor = m_cursor](ProductionRecord &) { cursor->query.reset(); });
    m_reader->close();
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

template <class T>
void RecordsWindow::ask(std::function<T(ProductionRecord &)> question,
                        std::function<void(T)> answer)
{
    if (m_asked++ == 0) {
        m_askedFor.start();
        m_waiting->start();
    }
    m_reader->ask<T>(std::move(question), [this, answer = std::move(answer)](T result) {
        answered();
        answer(std::move(result));
    });
}

void RecordsWindow::answered()
{
    if (--m_asked == 0)
        m_waiting->stop();
    else
        m_askedFor.start();
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
    ask<Snapshot>(
        [](ProductionRecord &r) {
            Snapshot s;
            // A server that went away and came back since the window last read it.
            r.reconnect();
            s.where = QDir::toNativeSeparators(r.path());
            s.problem = r.problem();
            s.open = r.isOpen();
            if (!s.open)
                return s;
            QSqlQuery q(r.database());
            q.exec(QStringLiteral(
                "SELECT b.id, b.started, b.stopped, b.station, b.port, b.options, b.first_uid, "
                "b.step, b.base, COALESCE(b.tags, (SELECT count(*) FROM tag t WHERE t.batch_id "
                "= b.id)), b.operator, b.manual FROM batch b ORDER BY b.id DESC"));
            s.batches = readRows(q);
            q.exec(RecordGuard::openReservationQuery());
            s.reservations = readRows(q);
            if (q.exec(RecordGuard::listSummaryQuery()))
                s.lists = readRows(q);
            for (QVariantList &l : s.lists) {
                const qint64 left
                    = l.value(2).toLongLong() - l.value(3).toLongLong() - l.value(4).toLongLong();
                l.insert(5, left);
            }
            return s;
        },
        [this](Snapshot s) {
            m_open = s.open;
            m_where = s.where;
            m_problem = s.problem;
            m_export->setEnabled(s.open);
            if (!s.open) {
                m_status->setText(QStringLiteral("The production record cannot be read: ")
                                  + s.problem);
                // Read again by itself once the record is back.
                m_retry->start();
                return;
            }
            const QVariant chosen = m_batch->currentData();
            const QSignalBlocker block(m_batch);
            m_batch->clear();
            m_batch->addItem(QStringLiteral("All batches"));
            for (const QVariantList &b : std::as_const(s.batches)) {
                const QString kind = b.value(11).toInt() ? QStringLiteral(" (manual)") : QString();
                m_batch->addItem(QStringLiteral("%1 \u2014 %2 port %3%4")
                                     .arg(b.value(0).toString(), localTime(b.value(1).toString()),
                                          portNumber(b.value(4).toString()), kind),
                                 b.value(0));
            }
            const int at = chosen.isValid() ? m_batch->findData(chosen) : 0;
            m_batch->setCurrentIndex(at < 0 ? 0 : at);
            m_batches->reset(std::move(s.batches), false);
            m_release->setEnabled(false);
            m_reservations->reset(std::move(s.reservations), false);
            // Usually empty: it takes room only when a UID is held.
            m_reservedPane->setVisible(m_reservations->rowCount() > 0);
            m_lists->reset(std::move(s.lists), false);
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
    ask<LineFigures>(
        [latest, since](ProductionRecord &r) {
            qint64 batch = -1;
            if (latest && r.isOpen()) {
                QSqlQuery q(r.database());
                if (q.exec(QStringLiteral("SELECT max(id) FROM batch WHERE manual = 0"))
                    && q.next())
                    batch = q.value(0).isNull() ? 0 : q.value(0).toLongLong();
            }
            return LineFigures::read(r, since, batch);
        },
        [this](LineFigures f) {
            m_lineAsked = false;
            m_line->setFigures(f);
        });
}

void RecordsWindow::applyFilter()
{
    if (!m_open)
        return;
    const ProductionRecord::Filter f = filter();
    const int generation = ++m_generation;
    ask<Page>(
        [cursor = m_cursor, f, generation](ProductionRecord &r) {
            Page page;
            page.generation = generation;
            cursor->generation = generation;
            cursor->query = std::make_unique<QSqlQuery>(r.database());
            QSqlQuery &q = *cursor->query;
            q.prepare(RecordQueries::tagQuery(f));
            RecordQueries::bindFilter(q, f);
            if (!q.exec()) {
                page.error = q.lastError().text();
                cursor->query.reset();
                return page;
            }
            page.rows = readRows(q, kPage, &page.more);
            return page;
        },
        [this](Page page) {
            if (page.generation != m_generation)
                return;
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
    ask<Page>(
        [cursor = m_cursor, generation = m_generation](ProductionRecord &) {
            Page page;
            page.generation = generation;
            if (cursor->generation == generation && cursor->query)
                page.rows = readRows(*cursor->query, kPage, &page.more);
            return page;
        },
        [this](Page page) {
            if (page.generation == m_generation)
                m_tags->append(std::move(page.rows), page.more);
        });
}

void RecordsWindow::exportTo(const QString &file)
{
    const ProductionRecord::Filter f = filter();
    auto state = std::make_shared<ExportState>();
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
    ask<Exported>(
        [file, f, state](ProductionRecord &r) {
            Exported e;
            e.rows = r.countTags(f);
            state->total = qMax<qint64>(e.rows, 1);
            e.done = r.exportCsv(file, f, &e.error, [state](qint64 rows) {
                state->rows = rows;
                return !state->cancel;
            });
            return e;
        },
        [this, file, progress, state](Exported e) {
            progress->deleteLater();
            m_export->setEnabled(m_open);
            if (!e.done) {
                m_status->setText(e.error);
                if (!state->cancel && isVisible())
                    QMessageBox::warning(this, QStringLiteral("Export records"), e.error);
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
    const QVariant id = m_tagView->model()->index(row, 0).data();
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
    const qint64 id = m_tagView->model()->index(rows.first().row(), 0).data().toLongLong();
    m_chosenTag = id;
    ask<QString>(
        [id](ProductionRecord &r) {
            const std::optional<QByteArray> lines = r.tagTraffic(id);
            return lines ? TrafficFormat::readable(*lines) : QString();
        },
        [this, id, about](QString traffic) {
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
    const QString tag = model->index(row, 0).data().toString();
    QString uid = model->index(row, 7).data().toString();
    if (uid.isEmpty())
        uid = model->index(row, 6).data().toString();
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Traffic of tag %1").arg(tag));
    auto *about = new QLabel(
        QStringLiteral("Tag %1%2, %3, started %4. Its commands and replies from the end of the "
                       "tag before it, in seconds from the first line; the password is masked.")
            .arg(tag, uid.isEmpty() ? QString() : QStringLiteral(" (UID %1)").arg(uid),
                 model->index(row, 14).data().toString(), model->index(row, 4).data().toString()),
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
    const QString uid = m_reservations->index(row, 0).data().toString();
    if (uid.isEmpty()) {
        if (done)
            done(QStringLiteral("no UID is chosen"));
        return;
    }
    m_release->setEnabled(false);
    ask<QString>(
        [uid, who = RecordIdentity::userName()](ProductionRecord &r) {
            QString error;
            if (!r.release(uid, who, &error) && error.isEmpty())
                error = QStringLiteral("the record did not take it");
            return error;
        },
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
    const QString uid = m_reservations->index(rows.first().row(), 0).data().toString();
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Release UID"),
        QStringLiteral("Release UID %1? Any batch may then write it. Release it only once you "
                       "know that no tag carries it (read the tags of that batch). The record "
                       "keeps who released it and when.")
            .arg(uid),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    releaseReservation(rows.first().row(), [this](const QString &error) {
        if (!error.isEmpty())
            QMessageBox::warning(this, QStringLiteral("Release UID"), error);
    });
}
