#pragma once
#include <QKeySequence>
#include <QList>
#include <QVector>

// Every key of the main window, in one place: the window makes its actions
// from this table, the tab menu shows the same keys, and the tests press
// them.
namespace KeyTable {

enum class Action {
    Reload,
    ReloadBypassingCache,
    Stop,
    Back,
    Forward,
    NewTab,
    CloseTab,
    ReopenClosedTab,
    NextTab,
    PreviousTab,
    Find,
    Location,
    ZoomIn,
    ZoomOut,
    ZoomReset,
    Print,
    PageSource,
    FullScreen,
    DevTools,
    Downloads,
    Preferences,
};

struct Entry {
    Action action;
    const char* text; // translated in the "KeyTable" context
    QList<QKeySequence> keys;
};

const QVector<Entry>& entries();
const Entry& entry(Action action);
// The translated text of an action, for menus.
QString text(Action action);

} // namespace KeyTable
