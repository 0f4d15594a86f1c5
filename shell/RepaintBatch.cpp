#include "shell/RepaintBatch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <utility>

namespace {
// How far up the widget tree a flush follows the layouts its changes ask for.
constexpr int LayoutLevels = 4;
} // namespace

RepaintBatch::RepaintBatch(QWidget* window)
    : QObject(window)
    , m_window(window)
{
    m_latest.setSingleShot(true);
    m_latest.setInterval(LatestMs);
    connect(&m_latest, &QTimer::timeout, this, &RepaintBatch::flush);
    window->installEventFilter(this);
}

RepaintBatch* RepaintBatch::of(QWidget* window)
{
    window = window->window();
    auto* batch = window->findChild<RepaintBatch*>(QString(), Qt::FindDirectChildrenOnly);
    return batch ? batch : new RepaintBatch(window);
}

void RepaintBatch::defer(const QObject* key, int kind, std::function<void()> apply)
{
    drop(key, kind);
    m_waiting.append({ key, kind, std::move(apply) });
    if (!m_watched.contains(key)) {
        m_watched.insert(key);
        connect(key, &QObject::destroyed, this, [this, key] {
            m_watched.remove(key);
            for (int i = m_waiting.size() - 1; i >= 0; --i) {
                if (m_waiting.at(i).key == key)
                    m_waiting.removeAt(i);
            }
        });
    }
    if (!m_latest.isActive())
        m_latest.start();
}

void RepaintBatch::drop(const QObject* key, int kind)
{
    for (int i = m_waiting.size() - 1; i >= 0; --i) {
        if (m_waiting.at(i).key == key && m_waiting.at(i).kind == kind)
            m_waiting.removeAt(i);
    }
}

void RepaintBatch::hold()
{
    if (!m_held) {
        m_held = true;
        m_window->setUpdatesEnabled(false);
    }
    if (!m_latest.isActive())
        m_latest.start();
}

void RepaintBatch::flush()
{
    m_latest.stop();
    if (std::exchange(m_held, false))
        m_window->setUpdatesEnabled(true);
    // What an apply changes is painted in the repaint under way (or the next one).
    const QVector<Change> waiting = std::exchange(m_waiting, {});
    for (const Change& change : waiting)
        change.apply();
    // What the changes posted for later joins this repaint instead of
    // costing one of its own: the layouts they ask for (each may ask its
    // parent's again, one level a round: a tab bar's goes up three) and the
    // repaint that a widget shown asks for after its show.
    if (waiting.isEmpty())
        return;
    for (int level = 0; level < LayoutLevels; ++level)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateLater);
}

bool RepaintBatch::eventFilter(QObject* watched, QEvent* event)
{
    // Before the window paints what is dirty: the changes join this repaint.
    if (event->type() == QEvent::UpdateRequest && !m_waiting.isEmpty())
        flush();
    return QObject::eventFilter(watched, event);
}
