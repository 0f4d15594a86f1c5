#include "shell/KeyTable.h"

#include <QCoreApplication>

namespace KeyTable {

const QVector<Entry>& entries()
{
    static const QVector<Entry> table = {
        { Action::Reload, QT_TRANSLATE_NOOP("KeyTable", "&Reload"),
            { QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R) } },
        { Action::ReloadBypassingCache, QT_TRANSLATE_NOOP("KeyTable", "Reload Without Cache"),
            { QKeySequence(Qt::SHIFT | Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R) } },
        // Only while a page loads, so that pages and the find bar keep Esc otherwise.
        { Action::Stop, QT_TRANSLATE_NOOP("KeyTable", "&Stop"), { QKeySequence(Qt::Key_Escape) } },
        { Action::Back, QT_TRANSLATE_NOOP("KeyTable", "&Back"), { QKeySequence(Qt::ALT | Qt::Key_Left) } },
        { Action::Forward, QT_TRANSLATE_NOOP("KeyTable", "&Forward"),
            { QKeySequence(Qt::ALT | Qt::Key_Right) } },
        { Action::NewTab, QT_TRANSLATE_NOOP("KeyTable", "New &Tab"), { QKeySequence(Qt::CTRL | Qt::Key_T) } },
        { Action::CloseTab, QT_TRANSLATE_NOOP("KeyTable", "&Close Tab"),
            { QKeySequence(Qt::CTRL | Qt::Key_W) } },
        { Action::ReopenClosedTab, QT_TRANSLATE_NOOP("KeyTable", "Reopen Closed Tab"),
            { QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T) } },
        { Action::NextTab, QT_TRANSLATE_NOOP("KeyTable", "Next Tab"),
            { QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown) } },
        { Action::PreviousTab, QT_TRANSLATE_NOOP("KeyTable", "Previous Tab"),
            { QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageUp) } },
        { Action::Find, QT_TRANSLATE_NOOP("KeyTable", "&Find in Page..."),
            { QKeySequence(Qt::CTRL | Qt::Key_F) } },
        { Action::Location, QT_TRANSLATE_NOOP("KeyTable", "Open &Location..."),
            { QKeySequence(Qt::CTRL | Qt::Key_L) } },
        { Action::ZoomIn, QT_TRANSLATE_NOOP("KeyTable", "Zoom &In"),
            { QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal),
                QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Equal) } },
        { Action::ZoomOut, QT_TRANSLATE_NOOP("KeyTable", "Zoom &Out"),
            { QKeySequence(Qt::CTRL | Qt::Key_Minus) } },
        { Action::ZoomReset, QT_TRANSLATE_NOOP("KeyTable", "Reset &Zoom"),
            { QKeySequence(Qt::CTRL | Qt::Key_0) } },
        { Action::Print, QT_TRANSLATE_NOOP("KeyTable", "&Print..."), { QKeySequence(Qt::CTRL | Qt::Key_P) } },
        { Action::PageSource, QT_TRANSLATE_NOOP("KeyTable", "Page S&ource"),
            { QKeySequence(Qt::CTRL | Qt::Key_U) } },
        { Action::FullScreen, QT_TRANSLATE_NOOP("KeyTable", "&Full Screen"), { QKeySequence(Qt::Key_F11) } },
        { Action::DevTools, QT_TRANSLATE_NOOP("KeyTable", "&Developer Tools"),
            { QKeySequence(Qt::Key_F12) } },
        { Action::Downloads, QT_TRANSLATE_NOOP("KeyTable", "&Downloads"),
            { QKeySequence(Qt::CTRL | Qt::Key_J) } },
        { Action::Preferences, QT_TRANSLATE_NOOP("KeyTable", "&Preferences..."),
            { QKeySequence(Qt::CTRL | Qt::Key_Comma) } },
    };
    return table;
}

const Entry& entry(Action action)
{
    const QVector<Entry>& table = entries();
    return *std::find_if(table.begin(), table.end(), [action](const Entry& e) { return e.action == action; });
}

QString text(Action action)
{
    return QCoreApplication::translate("KeyTable", entry(action).text);
}

} // namespace KeyTable
