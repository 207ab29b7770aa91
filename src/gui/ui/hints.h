#pragma once

#include <QHash>
#include <QObject>
#include <functional>

class QLabel;
class QStatusBar;
class QWidget;

// Status-bar hints: moving the pointer over a control shows its text, which stays until
// the next hint replaces it.
class Hints : public QObject {
    Q_OBJECT
public:
    using Text = std::function<QString()>;

    explicit Hints(QStatusBar *bar, QObject *parent = nullptr);

    void ShowHint(const QString &text);
    QString current() const;

    void add(QWidget *widget, const QString &text);
    void add(QWidget *widget, Text text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *m_panel;
    QHash<QObject *, Text> m_texts;
};
