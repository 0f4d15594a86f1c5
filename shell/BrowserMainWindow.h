#pragma once
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

class QAction;
class QLabel;
class QProgressBar;
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

private slots:
    void currentTabChanged(int index);
    void currentLoadStarted();
    void currentLoadProgress(int progress);
    void currentLoadFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void restoreWindowGeometry();

    TabWidget* m_tabWidget;
    QProgressBar* m_progressBar;
    QLabel* m_zoomLabel;
    // The view whose load the status bar follows.
    QPointer<WebView> m_watchedView;
};
