#pragma once
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QUrl>

#include "shell/KeyTable.h"

class FindBar;
class QAction;
class QLabel;
class QProgressBar;
class QTimer;
class TabWidget;
class WebView;

// A top-level window made of tabs and a status bar: no menus, no tool bars,
// no visible address bar. Its slots are called by name from elsewhere in
// the shell and from the page bridge.
class BrowserMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit BrowserMainWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

    QSize sizeHint() const override;
    TabWidget* tabWidget() const { return m_tabWidget; }
    // The current tab's view (replacing the placeholder first), or null.
    WebView* currentTab() const;

    Q_INVOKABLE void runScriptOnOpenViews(const QString& source);

    // Where a window without a remembered place opens: 90 % of the available
    // area of the screen it starts on, centred.
    static QRect defaultGeometry();
    // The window's action for a key of the table; it works wherever the
    // focus is in the window.
    QAction* keyAction(KeyTable::Action action) const { return m_keyActions.value(action); }
    FindBar* findBar() const { return m_findBar; }
    // The print dialog for the view's page; prints or writes a PDF.
    void printView(WebView* view);

public slots:
    void loadPage(const QString& url);
    void slotHome();
    void slotUpdateWindowTitle(const QString& title = QString());
    void loadUrl(const QUrl& url);
    void slotPreferences();
    void slotFileNew();
    void slotFileOpen();
    void slotFilePrintPreview();
    void slotViewZoomIn();
    void slotViewZoomOut();
    void slotViewResetZoom();
    void slotViewPageSource();
    void slotViewFullScreen(bool enable);
    void slotDownloadManager();
    void slotSelectLineEdit();
    void slotOpenActionUrl(QAction* action);
    void slotShowWindow();
    void slotSwapFocus();
    // Shows the current view's zoom when it is not 100 %; call after a zoom change.
    void updateZoomIndicator();
    void slotFind();
    void slotLocation();
    void slotPrint();
    void slotToggleFullScreen();
    void slotDevTools();

private slots:
    void currentTabChanged(int index);
    void currentLoadStarted();
    void currentLoadFinished();
    void stepProgress();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void restoreWindowGeometry();
    void createKeyActions();
    void watchCurrentTab();
    void trigger(KeyTable::Action action);

    TabWidget* m_tabWidget;
    QProgressBar* m_progressBar;
    // Shows and steps the bar while the watched view loads.
    QTimer* m_progressTimer;
    QLabel* m_zoomLabel;
    // The view whose load the status bar follows.
    QPointer<WebView> m_watchedView;
    FindBar* m_findBar;
    QMap<KeyTable::Action, QAction*> m_keyActions;
    QMetaObject::Connection m_stopWatch;
};
