#pragma once
#include <QList>
#include <QPointer>
#include <QTabWidget>
#include <QUrl>
#include <QWebEngineFullScreenRequest>

class FullScreenNotification;
class QAction;
class QLineEdit;
class QMenu;
class QStackedWidget;
class QWebEngineDownloadItem;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;
class TabBar;
class WebPage;
class WebView;

// The tabs of one main window, one WebView each. The first tab of a window
// is a cheap placeholder, replaced by a real view the first time one is
// needed. Relays the current page's title, status, progress, hovered links,
// downloads and full-screen requests, and gives every page its script bridge.
class TabWidget : public QTabWidget {
    Q_OBJECT
signals:
    void loadPage(const QString& url);
    void tabsChanged();
    void lastTabClosed();
    void setCurrentTitle(const QString& url);
    void showStatusBarMessage(const QString& message);
    void linkHovered(const QString& link);
    void loadProgress(int progress);
    void menuBarVisibilityChangeRequested(bool visible);
    void statusBarVisibilityChangeRequested(bool visible);
    void toolBarVisibilityChangeRequested(bool visible);

public:
    explicit TabWidget(QWidget* parent = nullptr);
    ~TabWidget() override;

    QList<QUrl> recentlyClosedUrls() const { return m_recentlyClosedTabs; }

    QWidget* lineEditStack() const;
    QLineEdit* currentLineEdit() const;
    QLineEdit* lineEditAt(int index) const;
    // Replaces the placeholder by a real view when it is the only tab.
    WebView* currentWebView();
    WebView* webViewAt(int index);
    QWebEngineView* fullScreenView() const { return m_fullScreenView; }

    // The name under which the page bridge object is published to script.
    static QString bridgeObjectName() { return QStringLiteral("external"); }

public slots:
    void loadUrlInCurrentTab(const QUrl& url);
    WebView* newTab(bool makeCurrent = true);
    void cloneTab(int index = -1);
    void requestCloseTab(int index = -1);
    void closeTab(int index);
    void closeOtherTabs(int index);
    // The most recently closed tab opens again (and leaves the list).
    void reopenClosedTab();
    void reloadTab(int index = -1);
    void reloadAllTabs();
    void nextTab();
    void previousTab();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private slots:
    void currentChanged(int index);
    void downloadRequested(QWebEngineDownloadItem* download);
    void webViewLoadStarted();
    void webViewIconChanged();
    void webViewTitleChanged(const QString& title);
    void webViewUrlChanged(const QUrl& url);
    void lineEditReturnPressed();
    void windowCloseRequested();
    void moveTab(int fromIndex, int toIndex);
    void fullScreenRequested(QWebEngineFullScreenRequest request);
    void handleTabBarDoubleClicked(int index);

private:
    void installScriptBridge(WebPage* page);
    bool inTabArea(const QPoint& position) const;
    bool showsPage(QWebEnginePage* page) const;
    bool takesDownloadFrom(QWebEnginePage* page) const;
    void endFullScreen();

    QList<QUrl> m_recentlyClosedTabs;
    QStackedWidget* m_lineEdits;
    TabBar* m_tabBar;
    QWebEngineProfile* m_profile;
    QWebEngineView* m_fullScreenView = nullptr;
    FullScreenNotification* m_fullScreenNotification = nullptr;
    // The page shown full screen and the tab it came from (and goes back to).
    QPointer<QWebEnginePage> m_fullScreenPage;
    QPointer<WebView> m_fullScreenOrigin;
};
