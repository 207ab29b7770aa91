#pragma once

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

// The coloured traffic log R1 with its Clean button. Text goes in at an insertion point
// that stays at the end, in the colour and size last set, always as plain text.
class TrafficLog : public QWidget {
    Q_OBJECT
public:
    // The newest lines kept: a production run writes about 20 lines a tag, so this holds
    // the last 50 tags, and the memory of a whole shift stays what it is after a few minutes.
    static constexpr int kMaxLines = 1000;

    explicit TrafficLog(QWidget *parent = nullptr);

    void setInsertionColour(quint32 bgr);
    void setInsertionSize(int points);
    int insertionSize() const { return m_size; }
    // Inserts text as it stands; "\r\n" ends a line, other control characters are shown
    // as visible symbols.
    void insert(const QString &text);
    void moveToEnd();
    void clear();
    QString text() const;

    QPlainTextEdit *view() const { return m_view; }
    QPushButton *cleanButton() const { return m_clean; }
    // Keeping every byte in a file; the file is shown beside it while it is kept.
    QCheckBox *keepTrafficBox() const { return m_keep; }
    void showCaptureFile(const QString &path);

signals:
    void cleanClicked();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPlainTextEdit *m_view;
    QPushButton *m_clean;
    QCheckBox *m_keep;
    QLabel *m_captureFile;
    QTextCursor m_cursor;
    QTextCharFormat m_format;
    int m_size = 9;
};

// Makes a received text safe to show: control characters become their visible symbols.
QString visibleText(const QString &text);
