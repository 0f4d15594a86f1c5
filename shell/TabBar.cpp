#include "shell/TabBar.h"

#include "shell/BrowserMainWindow.h"
#include "shell/KeyTable.h"
#include "shell/PlainText.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDrag>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QShortcut>
#include <QUrl>

TabBar::TabBar(QWidget* parent)
    : QTabBar(parent)
{
    setContextMenuPolicy(Qt::CustomContextMenu);
    setAcceptDrops(true);
    connect(this, SIGNAL(customContextMenuRequested(QPoint)), this, SLOT(contextMenuRequested(QPoint)));

    for (int i = 1; i <= 9; ++i) {
        auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+%1").arg(i)), this);
        m_tabSwitchShortcuts.append(shortcut);
        connect(shortcut, SIGNAL(activated()), this, SLOT(selectTabAction()));
    }
    connect(this, SIGNAL(tabCloseRequested(int)), this, SIGNAL(closeTab(int)));
}

QSize TabBar::tabSizeHint(int index) const
{
    // Longer titles are elided; the full title is in the tab's tool tip.
    QSize size = QTabBar::tabSizeHint(index);
    if (shape() == RoundedNorth || shape() == RoundedSouth || shape() == TriangularNorth
        || shape() == TriangularSouth)
        size.setWidth(qMin(size.width(), MaximumTabWidth));
    return size;
}

QSize TabBar::minimumTabSizeHint(int index) const
{
    QSize size = QTabBar::minimumTabSizeHint(index);
    if (shape() == RoundedNorth || shape() == RoundedSouth || shape() == TriangularNorth
        || shape() == TriangularSouth)
        size.setWidth(qMax(size.width(), qMin(MinimumTabWidth, tabSizeHint(index).width())));
    return size;
}

void TabBar::selectTabAction()
{
    // Ctrl+N beyond the last tab names no tab; the selection stays.
    setCurrentIndex(m_tabSwitchShortcuts.indexOf(qobject_cast<QShortcut*>(sender())));
}

void TabBar::contextMenuRequested(const QPoint& position)
{
    // The window's own actions where the menu acts as the key does; for one
    // tab, the key of the same table, so the menu shows what works.
    auto* window = qobject_cast<BrowserMainWindow*>(this->window());
    using A = KeyTable::Action;
    auto keyOf = [](A action) { return KeyTable::entry(action).keys.value(0); };
    QMenu menu;
    if (window) {
        // First, with its key: there is no address bar to find it otherwise.
        menu.addAction(window->keyAction(A::Location));
        menu.addSeparator();
        menu.addAction(window->keyAction(A::NewTab));
    }
    const int index = tabAt(position);
    if (index != -1) {
        QAction* action = menu.addAction(tr("Clone Tab"), this, SLOT(cloneTab()));
        action->setData(index);
        menu.addSeparator();
        action = menu.addAction(KeyTable::text(A::CloseTab), this, SLOT(closeTab()), keyOf(A::CloseTab));
        action->setData(index);
        action = menu.addAction(tr("Close &Other Tabs"), this, SLOT(closeOtherTabs()));
        action->setData(index);
        menu.addSeparator();
        action = menu.addAction(tr("Reload Tab"), this, SLOT(reloadTab()), keyOf(A::Reload));
        action->setData(index);
    } else {
        menu.addSeparator();
    }
    menu.addAction(tr("Reload All Tabs"), this, SIGNAL(reloadAllTabs()));
    if (!window) {
        menu.exec(QCursor::pos());
        return;
    }
    menu.addAction(window->keyAction(A::ReopenClosedTab));
    // The window has no menus: this is the mouse's way to what the keys do.
    menu.addSeparator();
    for (A action :
        { A::Find, A::ZoomIn, A::ZoomOut, A::ZoomReset, A::Print, A::PageSource, A::FullScreen, A::DevTools })
        menu.addAction(window->keyAction(action));
    menu.addSeparator();
    menu.addAction(window->keyAction(A::Downloads));
    menu.addAction(window->keyAction(A::Preferences));
    menu.exec(QCursor::pos());
}

void TabBar::cloneTab()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        emit cloneTab(action->data().toInt());
}

void TabBar::closeTab()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        emit closeTab(action->data().toInt());
}

void TabBar::closeOtherTabs()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        emit closeOtherTabs(action->data().toInt());
}

void TabBar::reloadTab()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        emit reloadTab(action->data().toInt());
}

void TabBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_dragStartPos = event->pos();
    if (event->button() == Qt::MiddleButton) {
        const int index = tabAt(event->pos());
        if (index != -1) {
            emit closeTab(index);
            return;
        }
    }
    QTabBar::mousePressEvent(event);
}

void TabBar::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() == Qt::LeftButton) {
        const QPoint offset = event->pos() - m_dragStartPos;
        // Straight up out of the strip is a drag; sideways is reordering.
        if (offset.manhattanLength() > QApplication::startDragDistance() && offset.x() >= -2
            && offset.x() <= 2 && offset.y() < -10) {
            const int index = tabAt(m_dragStartPos);
            if (index != -1) {
                auto* drag = new QDrag(this);
                auto* mimeData = new QMimeData;
                mimeData->setUrls(QList<QUrl>() << tabData(index).toUrl());
                mimeData->setText(PlainText::fromLabel(tabText(index)));
                mimeData->setData(QStringLiteral("action"), "tab-reordering");
                drag->setMimeData(mimeData);
                drag->exec(Qt::MoveAction);
                return;
            }
        }
    }
    QTabBar::mouseMoveEvent(event);
}
