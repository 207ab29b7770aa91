#include "recordswindow.h"

#include "core/settingsstore.h"
#include "core/trafficformat.h"
#include "link/portmap.h"

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
#include <QSqlQueryModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

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

RecordsWindow::RecordsWindow(ProductionRecord &record, QWidget *parent)
    : QDialog(parent)
    , m_record(record)
    , m_batch(new QComboBox(this))
    , m_result(new QComboBox(this))
    , m_uid(new QLineEdit(this))
    , m_export(new QPushButton(QStringLiteral("Export CSV..."), this))
    , m_release(new QPushButton(QStringLiteral("Release UID..."), this))
    , m_traffic(new QPushButton(QStringLiteral("Show traffic..."), this))
    , m_status(new QLabel(this))
    , m_batches(new QSqlQueryModel(this))
    , m_tags(new QSqlQueryModel(this))
    , m_reservations(new QSqlQueryModel(this))
    , m_sorted(new QSortFilterProxyModel(this))
    , m_batchView(tableView(this))
    , m_tagView(tableView(this))
    , m_reservationView(tableView(this))
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
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 4);
    split->setStretchFactor(2, 1);
    split->setChildrenCollapsible(false);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addWidget(m_status);
    resize(1000, 640);
    // The tags get the room; the batches a few rows.
    split->setSizes({140, 400, 100});
    QSettings settings(QString::fromLatin1(SettingsStore::kName));
    const QByteArray geometry = settings.value(QStringLiteral("records/geometry")).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    const QByteArray panes = settings.value(QStringLiteral("records/panes")).toByteArray();
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

void RecordsWindow::done(int result)
{
    QSettings settings(QString::fromLatin1(SettingsStore::kName));
    settings.setValue(QStringLiteral("records/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("records/panes"), m_split->saveState());
    QDialog::done(result);
}

void RecordsWindow::refresh()
{
    // A server that went away and came back since the window last read it.
    m_record.reconnect();
    if (!m_record.isOpen()) {
        m_status->setText(QStringLiteral("The production record cannot be read: ")
                          + m_record.problem());
        m_export->setEnabled(false);
        return;
    }
    const QVariant chosen = m_batch->currentData();
    QSqlQuery batches(m_record.database());
    batches.exec(QStringLiteral(
        "SELECT b.id, b.started, b.stopped, b.station, b.port, b.options, b.first_uid, b.step, "
        "b.base, COALESCE(b.tags, (SELECT count(*) FROM tag t WHERE t.batch_id = b.id)), "
        "b.operator "
        "FROM batch b "
        "ORDER BY b.id DESC"));
    m_batches->setQuery(std::move(batches));
    const QStringList batchHeaders
        = {QStringLiteral("Batch"),     QStringLiteral("Started"), QStringLiteral("Stopped"),
           QStringLiteral("Station"),   QStringLiteral("Port"),    QStringLiteral("Options"),
           QStringLiteral("First UID"), QStringLiteral("Step"),    QStringLiteral("Base"),
           QStringLiteral("Tags"),      QStringLiteral("Operator")};
    for (int i = 0; i < batchHeaders.size(); ++i)
        m_batches->setHeaderData(i, Qt::Horizontal, batchHeaders[i]);

    QSqlQuery reservations(m_record.database());
    reservations.exec(RecordGuard::openReservationQuery());
    m_reservations->setQuery(std::move(reservations));
    const QStringList reservationHeaders
        = {QStringLiteral("UID"),      QStringLiteral("Station"), QStringLiteral("Port"),
           QStringLiteral("Reserved"), QStringLiteral("Batch"),   QStringLiteral("Why")};
    m_release->setEnabled(false);
    for (int i = 0; i < reservationHeaders.size(); ++i)
        m_reservations->setHeaderData(i, Qt::Horizontal, reservationHeaders[i]);
    // Usually empty: it takes room only when a UID is held.
    m_reservedPane->setVisible(m_reservations->rowCount() > 0);

    const QSignalBlocker block(m_batch);
    m_batch->clear();
    m_batch->addItem(QStringLiteral("All batches"));
    QSqlQuery ids(m_record.database());
    ids.exec(QStringLiteral("SELECT id, started, port, manual FROM batch ORDER BY id DESC"));
    while (ids.next()) {
        const QString kind = ids.value(3).toInt() ? QStringLiteral(" (manual)") : QString();
        m_batch->addItem(QStringLiteral("%1 \u2014 %2 port %3%4")
                             .arg(ids.value(0).toString(), localTime(ids.value(1).toString()),
                                  portNumber(ids.value(2).toString()), kind),
                         ids.value(0));
    }
    const int at = chosen.isValid() ? m_batch->findData(chosen) : 0;
    m_batch->setCurrentIndex(at < 0 ? 0 : at);
    applyFilter();
}

void RecordsWindow::applyFilter()
{
    if (!m_record.isOpen())
        return;
    const ProductionRecord::Filter f = filter();
    QSqlQuery q(m_record.database());
    q.prepare(RecordQueries::tagQuery(f));
    RecordQueries::bindFilter(q, f);
    if (!q.exec()) {
        m_status->setText(QStringLiteral("The production record cannot be read: ")
                          + q.lastError().text());
        return;
    }
    m_tags->setQuery(std::move(q));
    const QStringList headers = RecordQueries::tagColumns();
    for (int i = 0; i < headers.size(); ++i)
        m_tags->setHeaderData(i, Qt::Horizontal, headers[i]);
    QString text = QDir::toNativeSeparators(m_record.path());
    if (!m_record.problem().isEmpty())
        text += QStringLiteral(" \u2014 ") + m_record.problem();
    m_status->setText(text);
}

bool RecordsWindow::exportTo(const QString &file, QString *error)
{
    const qint64 total = m_record.countTags(filter());
    if (!m_record.exportCsv(file, filter(), error))
        return false;
    showExported(total, file);
    return true;
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
    if (file.isEmpty())
        return;
    // A year of a busy line is millions of rows: the export shows how far it is and can be
    // stopped.
    const qint64 total = m_record.countTags(filter());
    QProgressDialog progress(QStringLiteral("Exporting records..."), QStringLiteral("Cancel"), 0,
                             int(qMin<qint64>(total, INT_MAX)), this);
    progress.setWindowTitle(QStringLiteral("Export records"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    QString error;
    const bool done = m_record.exportCsv(file, filter(), &error, [&progress](qint64 rows) {
        progress.setValue(int(qMin<qint64>(rows, progress.maximum())));
        QCoreApplication::processEvents();
        return !progress.wasCanceled();
    });
    progress.reset();
    if (!done) {
        QMessageBox::warning(this, QStringLiteral("Export records"), error);
        return;
    }
    showExported(total, file);
}

QString RecordsWindow::trafficOf(int row) const
{
    const QVariant id = m_tagView->model()->index(row, 0).data();
    if (!id.isValid())
        return {};
    const std::optional<QByteArray> lines = m_record.tagTraffic(id.toLongLong());
    return lines ? TrafficFormat::readable(*lines) : QString();
}

void RecordsWindow::tagChosen()
{
    const QModelIndexList rows = m_tagView->selectionModel()->selectedRows();
    const bool kept = rows.size() == 1 && !trafficOf(rows.first().row()).isEmpty();
    m_traffic->setEnabled(kept);
    m_traffic->setToolTip(
        kept || rows.size() != 1
            ? QStringLiteral("The commands and replies of the chosen tag, kept when its batch "
                             "ran with Keep traffic")
            : QStringLiteral("No traffic was kept for this tag: its batch ran without Keep "
                             "traffic"));
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

bool RecordsWindow::releaseReservation(int row, QString *error)
{
    const QString uid = m_reservations->index(row, 0).data().toString();
    if (uid.isEmpty()) {
        *error = QStringLiteral("no UID is chosen");
        return false;
    }
    const bool done = m_record.release(uid, RecordIdentity::userName(), error);
    refresh();
    return done;
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
    QString error;
    if (!releaseReservation(rows.first().row(), &error))
        QMessageBox::warning(this, QStringLiteral("Release UID"), error);
}
