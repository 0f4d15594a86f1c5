#pragma once
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "shell/StoppedPage.h"

class BrowserMainWindow;
class QAuthenticator;
class QNetworkReply;

// The page behind each tab's view and each popup. A certificate error of the
// page's own load stops it until the user lets it go on (those of its parts
// are refused); the client's own (qrc:) pages open only when the client loads
// them. Windows the page opens become tabs, main windows or popups; a page of
// an untrusted origin opens them only on a click or key press, and so do the
// foreign frames of a trusted page. Script dialogs show inside the view.
// Credentials are asked for in a modal dialog.
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
    void javaScriptAlert(const QUrl& securityOrigin, const QString& msg) override;
    bool javaScriptConfirm(const QUrl& securityOrigin, const QString& msg) override;
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& msg, const QString& defaultValue,
        QString* result) override;

private slots:
    void authenticationRequired(const QUrl& requestUrl, QAuthenticator* auth);
    void proxyAuthenticationRequired(const QUrl& requestUrl, QAuthenticator* auth, const QString& proxyHost);

private:
    friend class WebView;
    void followTrust();
    QWebEnginePage* openWindow(WebWindowType type);

    Qt::KeyboardModifiers m_keyboardModifiers;
    Qt::MouseButtons m_pressedButtons;
    QUrl m_navigationUrl; // of the main frame's load under way, if any
};

// The view in each tab: remembers the URL it was asked to load (shown while
// the engine has none yet), the load progress and the status text, finds the
// page's icon and fetches it through the application's network manager (and
// so through the local proxy; 1 MiB and 30 s at most), notes when the user
// last clicked or typed in the page, and reloads itself when its render
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

    // Whether the user clicked or typed in the view just now; each such
    // input vouches for one request only (a print, a window).
    bool takeGesture();
    static constexpr int GestureMs = 1000;
    // The print dialog open for this view, if any: one at a time.
    QPointer<QWidget> printDialog;

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
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

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
    void findIcon();
    void reloadStoppedPage(const QUrl& url);
    void applyHostZoom();

    QString m_statusBarText;
    QUrl m_initialUrl;
    int m_progress = 0;
    bool m_loading = false;
    QPointer<WebPage> m_page; // guarded: a page can go before its view
    QIcon m_icon;
    QUrl m_iconUrl; // the icon fetched or being fetched
    QNetworkReply* m_iconReply = nullptr;
    QByteArray m_iconData; // what the icon reply delivered so far
    ReloadBound m_reloadBound;
    StoppedPage* m_stoppedPage = nullptr;
    QString m_zoomHost; // the host whose zoom the view shows
    bool m_zoomHostKnown = false;
    QElapsedTimer m_lastInput; // the user's last click or key press in the page
};
