#pragma once
#include <QIcon>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "shell/StoppedPage.h"

class BrowserMainWindow;
class QAuthenticator;
class QNetworkReply;

// The page behind each tab's view and each popup. A certificate error stops
// the load until the user lets it go on; the client's own (qrc:) pages open
// only when the client loads them. Windows the page opens become tabs,
// main windows or popups; a page of an untrusted origin opens them only on a
// click or key press. Credentials are asked for in a modal dialog.
class WebPage : public QWebEnginePage {
    Q_OBJECT
public:
    WebPage(QWebEngineProfile* profile, QObject* parent);
    ~WebPage() override;

    // The first main window among the page's ancestors, else the current one.
    BrowserMainWindow* owningMainWindow() const;

    Qt::KeyboardModifiers keyboardModifiers() const { return m_keyboardModifiers; }
    Qt::MouseButtons pressedButtons() const { return m_pressedButtons; }

protected:
    QWebEnginePage* createWindow(WebWindowType type) override;
    bool certificateError(const QWebEngineCertificateError& error) override;
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private slots:
    void authenticationRequired(const QUrl& requestUrl, QAuthenticator* auth);
    void proxyAuthenticationRequired(const QUrl& requestUrl, QAuthenticator* auth, const QString& proxyHost);

private:
    friend class WebView;
    void followTrust();

    Qt::KeyboardModifiers m_keyboardModifiers;
    Qt::MouseButtons m_pressedButtons;
};

// The view in each tab: remembers the URL it was asked to load (shown while
// the engine has none yet), the load progress and the status text, fetches
// the favicon through the application's network manager (and so through the
// local proxy; 1 MiB and 30 s at most), and reloads itself when its render
// process ends, twice a minute at most: after that it shows a stopped page.
class WebView : public QWebEngineView {
    Q_OBJECT
public:
    explicit WebView(QWidget* parent = nullptr);

    void setPage(WebPage* page);
    WebPage* webPage() const { return m_page; }
    void loadUrl(const QUrl& url);
    QUrl url() const;
    QIcon icon() const;
    int progress() const { return m_progress; }
    // Between the start of a load and its end, whatever the progress says.
    bool isLoading() const { return m_loading; }
    QString lastStatusBarText() const { return m_statusBarText; }

    // Zoom goes in steps and holds for every page of the host, for the
    // rest of the run. steps > 0 zooms in, < 0 out, 0 back to 100 %.
    void zoomBy(int steps);
    static qreal zoomForHost(const QString& host);

    static constexpr qint64 IconByteLimit = 1024 * 1024;
    static constexpr int IconTimeLimitMs = 30 * 1000;

signals:
    void iconChanged();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void setProgress(int progress) { m_progress = progress; }
    void loadFinished(bool success);
    void setStatusBarText(const QString& string) { m_statusBarText = string; }
    void openLinkInNewTab();
    void onFeaturePermissionRequested(const QUrl& securityOrigin, QWebEnginePage::Feature feature);
    void onFeaturePermissionRequestCanceled(const QUrl& securityOrigin, QWebEnginePage::Feature feature);
    void onIconUrlChanged(const QUrl& url);
    void iconLoaded();
    void renderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode);

private:
    void dropIconReply();
    void reloadStoppedPage(const QUrl& url);
    void applyHostZoom();

    QString m_statusBarText;
    QUrl m_initialUrl;
    int m_progress = 0;
    bool m_loading = false;
    QPointer<WebPage> m_page; // guarded: a page can go before its view
    QIcon m_icon;
    QNetworkReply* m_iconReply = nullptr;
    QByteArray m_iconData; // what the icon reply delivered so far
    ReloadBound m_reloadBound;
    StoppedPage* m_stoppedPage = nullptr;
    QString m_zoomHost; // the host whose zoom the view shows
    bool m_zoomHostKnown = false;
};
