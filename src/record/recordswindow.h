#pragma once

#include "productionrecord.h"

#include <QDialog>

class QComboBox;
class QSplitter;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QSqlQueryModel;
class QTableView;

// The production record on screen: batches, and the tags of the chosen batch, result and
// UID text; what it shows can be exported as CSV.
class RecordsWindow : public QDialog {
    Q_OBJECT
public:
    RecordsWindow(ProductionRecord &record, QWidget *parent = nullptr);

    // Reads the record anew, keeping the filters.
    void refresh();
    ProductionRecord::Filter filter() const;
    bool exportTo(const QString &file, QString *error);
    // The traffic kept for the tag in that row of the tag list, as a person reads it; empty
    // when none was kept.
    QString trafficOf(int row) const;
    // Gives the held UID of that row of the reservation list back, as this PC's user.
    bool releaseReservation(int row, QString *error);

    QLineEdit *uidField() const { return m_uid; }
    QSqlQueryModel *tagModel() const { return m_tags; }
    QSqlQueryModel *reservationModel() const { return m_reservations; }
    QTableView *tagView() const { return m_tagView; }
    QWidget *reservedPane() const { return m_reservedPane; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *trafficButton() const { return m_traffic; }

protected:
    void done(int result) override;

private:
    void applyFilter();
    void exportClicked();
    void showExported(qint64 rows, const QString &file);
    void releaseClicked();
    void tagChosen();
    void showTraffic();

    ProductionRecord &m_record;
    QComboBox *m_batch;
    QComboBox *m_result;
    QLineEdit *m_uid;
    QPushButton *m_export;
    QPushButton *m_release;
    QPushButton *m_traffic;
    QLabel *m_status;
    QSqlQueryModel *m_batches;
    QSqlQueryModel *m_tags;
    QSqlQueryModel *m_reservations;
    QSortFilterProxyModel *m_sorted;
    QTableView *m_batchView;
    QTableView *m_tagView;
    QTableView *m_reservationView;
    QWidget *m_reservedPane = nullptr;
    QSplitter *m_split = nullptr;
};
