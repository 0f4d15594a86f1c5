#pragma once
#include <QList>
#include <QPoint>
#include <QTabBar>

class QShortcut;

// The tab strip: context menu, Ctrl+1..9, middle-click close, and dragging
// a tab straight up out of the strip.
class TabBar : public QTabBar {
    Q_OBJECT
signals:
    void newTab();
    void cloneTab(int index);
    void closeTab(int index);
    void closeOtherTabs(int index);
    void reloadTab(int index);
    void reloadAllTabs();
    void tabMoveRequested(int fromIndex, int toIndex);

public:
    explicit TabBar(QWidget* parent = nullptr);

    // The widest a tab grows: eight fit side by side in a window 1280 wide.
    static constexpr int MaximumTabWidth = 140;
    // The narrowest a tab shrinks, icon and close button included: some
    // words of the title stay readable; more tabs than fit make the strip scroll.
    static constexpr int MinimumTabWidth = 120;

protected:
    QSize tabSizeHint(int index) const override;
    QSize minimumTabSizeHint(int index) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void selectTabAction();
    void cloneTab();
    void closeTab();
    void closeOtherTabs();
    void reloadTab();
    void contextMenuRequested(const QPoint& position);

private:
    friend class TabWidget;
    QList<QShortcut*> m_tabSwitchShortcuts;
    QPoint m_dragStartPos;
};
