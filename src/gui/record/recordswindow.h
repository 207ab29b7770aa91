#pragma once

#include "station/record/productionrecord.h"

#include <QDialog>
#include <QElapsedTimer>
#include <functional>
#include <memory>

class QAbstractItemModel;
class QComboBox;
class QSplitter;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class QTabWidget;
class LineView;
class QTimer;
class Dialogs;
class RecordReader;
class RecordRows;

// The production record on screen: batches, and the tags of the chosen batch, result and
// UID text; what it shows can be exported as CSV. It reads on a thread of its own, so a
// server that freezes never holds up the window: what was asked is shown when it answers.
class RecordsWindow : public QDialog {
    Q_OBJECT
public:
    // Without dialogs, questions and warnings are message boxes over this window.
    explicit RecordsWindow(const QString &location, QWidget *parent = nullptr,
                           Dialogs *dialogs = nullptr);
    ~RecordsWindow() override;

    // Reads the record anew, keeping the filters.
    void refresh();
    ProductionRecord::Filter filter() const;
    // The outcome goes to the status label ("Exported N tags to FILE", or why not).
    void exportTo(const QString &file);
    // The traffic kept for the tag in that row of the tag list once it has been read, as a
    // person reads it; empty when none was kept (or not read yet).
    QString trafficOf(int row) const;
    // Gives the held UID of that row of the reservation list back, as this PC's user; done
    // is told why not, or nothing.
    void releaseReservation(int row, std::function<void(const QString &error)> done = {});
    // Something asked of the record has not been answered yet.
    bool reading() const;

    QLineEdit *uidField() const { return m_uid; }
    QAbstractItemModel *tagModel() const;
    QAbstractItemModel *reservationModel() const;
    // Each UID list: name, base, IDs, used, in doubt, remaining, loaded.
    QAbstractItemModel *listModel() const;
    // The Line tab: the line's figures as charts.
    LineView *lineView() const { return m_line; }
    QTabWidget *tabs() const { return m_tabs; }
    QTableView *tagView() const { return m_tagView; }
    QWidget *reservedPane() const { return m_reservedPane; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *trafficButton() const { return m_traffic; }

protected:
    void done(int result) override;

private:
    // The constructor's parts: the tables and their models, the layout, the reactions.
    void setUpTables();
    void lay();
    void connectControls();
    void onPending(int pending);
    void applyFilter();
    void fetchMoreTags();
    void exportClicked();
    void showExported(qint64 rows, const QString &file);
    void releaseClicked();
    void tagChosen();
    void showTraffic();

    std::unique_ptr<RecordReader> m_reader;
    std::unique_ptr<Dialogs> m_ownDialogs;
    Dialogs *m_dialogs;
    int m_pending = 0;
    QElapsedTimer m_askedFor;
    QTimer *m_waiting;
    QTimer *m_retry;
    bool m_open = false;
    QString m_where;
    QString m_problem;
    qint64 m_chosenTag = -1;
    QString m_chosenTraffic;
    QComboBox *m_batch;
    QComboBox *m_result;
    QLineEdit *m_uid;
    QPushButton *m_export;
    QPushButton *m_release;
    QPushButton *m_traffic;
    QLabel *m_status;
    RecordRows *m_batches;
    RecordRows *m_tags;
    RecordRows *m_reservations;
    RecordRows *m_lists;
    QSortFilterProxyModel *m_sorted;
    QTableView *m_batchView;
    QTableView *m_tagView;
    QTableView *m_reservationView;
    QTableView *m_listView;
    QWidget *m_reservedPane = nullptr;
    QTabWidget *m_tabs;
    LineView *m_line;
    QTimer *m_lineTimer;
    bool m_lineAsked = false;
    void refreshLine();
    QSplitter *m_split = nullptr;
};
