#pragma once
#include <QElapsedTimer>
#include <QUrl>
#include <QVector>
#include <QWidget>

class QLabel;

// Counts the automatic reloads of one view after its render process ended:
// a page that takes its renderer down on every load would otherwise be
// reloaded without end, each round costing a new process.
class ReloadBound {
public:
    static constexpr int MaxReloads = 2;
    static constexpr qint64 WindowMs = 60 * 1000;

    ReloadBound() { m_clock.start(); }
    // Whether one more automatic reload fits in the window; one that does is counted.
    bool allowReload();
    // After a reload the user asked for, the page gets its full allowance again.
    void reset() { m_reloads.clear(); }

private:
    QElapsedTimer m_clock;
    QVector<qint64> m_reloads;
};

// Shown over a view whose page stopped for good: what happened, the page's
// address and a button that loads it again.
class StoppedPage : public QWidget {
    Q_OBJECT
public:
    explicit StoppedPage(QWidget* parent);

    void showFor(const QUrl& url);
    QUrl url() const { return m_url; }

signals:
    void reloadRequested(const QUrl& url);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showAddress();

    QLabel* m_address;
    QUrl m_url;
};
