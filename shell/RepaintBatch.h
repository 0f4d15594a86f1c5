#pragma once
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>
#include <functional>

class QWidget;

// Changes to a window's own widgets (a tab's title or icon, the load
// progress) that wait for the window's next repaint. A window that holds a
// web view composes all of itself again on every repaint (through OpenGL, in
// software where there is no GPU), so such a change on its own costs as much
// as a frame of the page. Held back, it rides with the page's next frame or
// with the next change that is shown at once, and comes within LatestMs
// when neither does.
class RepaintBatch : public QObject {
    Q_OBJECT
public:
    static constexpr int LatestMs = 100;
    // A load shows that it is loading (the tab's icon, the progress bar) only
    // once it has lasted this long: a quicker one would cost the window two
    // repaints for a flash that nobody reads.
    static constexpr int LoadSignsAfterMs = 250;

    // The window's batch, made on first use.
    static RepaintBatch* of(QWidget* window);

    // Runs apply just before the window next repaints; a change still
    // waiting under the same key and kind is replaced. What waits under a
    // key goes with it: key is the object that apply changes or reads.
    void defer(const QObject* key, int kind, std::function<void()> apply);
    // Forgets what waits under key and kind: a change shown at once supersedes it.
    void drop(const QObject* key, int kind);
    // Holds every repaint of the window until the next flush, LatestMs at
    // the latest: a burst of changes (tabs opened one after another) is then
    // painted once instead of once each.
    void hold();
    void flush();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit RepaintBatch(QWidget* window);

    struct Change {
        const QObject* key;
        int kind;
        std::function<void()> apply;
    };
    QWidget* m_window;
    bool m_held = false;
    QVector<Change> m_waiting;
    QSet<const QObject*> m_watched;
    QTimer m_latest;
};
