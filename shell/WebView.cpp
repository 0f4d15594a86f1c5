#include "shell/WebView.h"

#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/PageBridge.h"
#include "shell/PageQuestions.h"
#include "shell/PopupWindow.h"
#include "shell/TabWidget.h"
#include "shell/TrustedOrigins.h"
#include "ui_PasswordDialog.h"
#include "ui_ProxyDialog.h"

#include <QAuthenticator>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHash>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStyle>
#include <QTimer>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QtDebug>
#include <algorithm>
#include <iterator>
#include <utility>

WebPage::WebPage(QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent)
    , m_keyboardModifiers(Qt::NoModifier)
    , m_pressedButtons(Qt::NoButton)
{
    connect(this, SIGNAL(authenticationRequired(QUrl, QAuthenticator*)), this,
        SLOT(authenticationRequired(QUrl, QAuthenticator*)));
    connect(this, SIGNAL(proxyAuthenticationRequired(QUrl, QAuthenticator*, QString)), this,
        SLOT(proxyAuthenticationRequired(QUrl, QAuthenticator*, QString)));
    // What a page may do follows the document it shows; until one is there,
    // no window opens without a gesture. A navigation that was let through
    // and then came to nothing (refused, a download) leaves the page where
    // it was, hence the second signal.
    settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    // The view fetches the icon itself, within bounds; the engine's own
    // fetch would read an icon of any size. (Without it the engine names no
    // icon either: the view reads the page's link itself.)
    settings()->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    connect(this, &QWebEnginePage::urlChanged, this, &WebPage::followTrust);
    connect(this, &QWebEnginePage::loadFinished, this, &WebPage::followTrust);
    connect(this, &QWebEnginePage::loadFinished, this, [this] { m_navigationUrl.clear(); });
}

void WebPage::followTrust()
{
    const bool trusted = TrustedOrigins::instance().isTrusted(url());
    // The engine asks the page's settings when script opens a window.
    // Without the attribute its own blocker lets windows open only from a
    // user gesture (a click, a key press).
    settings()->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, trusted);
    PageBridge::follow(this, trusted);
}

WebPage::~WebPage()
{
    // While the engine's side of the page is still whole.
    PageQuestions::discard(this);
}

BrowserMainWindow* WebPage::owningMainWindow() const
{
    for (QObject* ancestor = parent(); ancestor; ancestor = ancestor->parent()) {
        if (auto* window = qobject_cast<BrowserMainWindow*>(ancestor))
            return window;
    }
    return BrowserApplication::instance()->currentMainWindow();
}

namespace {

// A window that a trusted page opened without a click or key press may come
// from one of its frames, which may be foreign; the engine does not say which
// frame asked. The new window's first load does: its initiator is the origin
// of the document that opened it. Unless that origin is trusted the load is
// blocked and the window closes, as it does when nothing loads in it soon.
class OpenerCheck : public QWebEngineUrlRequestInterceptor {
public:
    static constexpr int DeadlineMs = 3000;

    explicit OpenerCheck(QWebEnginePage* page)
        : QWebEngineUrlRequestInterceptor(page)
        , m_page(page)
    {
        // Runs on the thread of the page, unlike a profile's interceptor.
        page->setUrlRequestInterceptor(this);
        QTimer::singleShot(DeadlineMs, this, [this] {
            if (!m_decided)
                refuse();
        });
    }

    void interceptRequest(QWebEngineUrlRequestInfo& info) override
    {
        if (m_decided || info.resourceType() != QWebEngineUrlRequestInfo::ResourceTypeMainFrame)
            return;
        m_decided = true;
        if (TrustedOrigins::instance().isTrusted(info.initiator()))
            return;
        info.block(true);
        refuse();
    }

private:
    void refuse()
    {
        m_decided = true;
        qInfo() << "Closed a window that a foreign frame opened without a click";
        QTimer::singleShot(0, m_page, [page = m_page] { emit page->windowCloseRequested(); });
    }

    QWebEnginePage* m_page;
    bool m_decided = false;
};

} // namespace

QWebEnginePage* WebPage::createWindow(WebWindowType type)
{
    // Only a trusted page gets here without a gesture (the engine's blocker
    // stops the others); there a window no input of the user's opened has to
    // show that a trusted document asked for it.
    auto* opener = qobject_cast<WebView*>(view());
    const bool checked = settings()->testAttribute(QWebEngineSettings::JavascriptCanOpenWindows)
        && !(opener && opener->takeGesture());
    QWebEnginePage* page = openWindow(type);
    if (page && checked)
        new OpenerCheck(page);
    return page;
}

QWebEnginePage* WebPage::openWindow(WebWindowType type)
{
    BrowserApplication* app = BrowserApplication::instance();
    switch (type) {
    case QWebEnginePage::WebBrowserTab:
    case QWebEnginePage::WebBrowserBackgroundTab: {
        // A middle or Ctrl click on a link: a tab behind the current one.
        const bool front = type == QWebEnginePage::WebBrowserTab;
        WebView* view = owningMainWindow()->tabWidget()->newTab(front);
        return view ? view->page() : nullptr;
    }
    case QWebEnginePage::WebBrowserWindow: {
        app->newMainWindow();
        WebView* view = app->currentMainWindow()->currentTab();
        return view ? view->page() : nullptr;
    }
    default: {
        auto* popup = new PopupWindow(profile());
        popup->setAttribute(Qt::WA_DeleteOnClose);
        popup->show();
        return popup->view()->page();
    }
    }
}

bool WebPage::certificateError(const QWebEngineCertificateError& error)
{
    // The engine does not say which frame or part of the page the error
    // belongs to, but only the main frame's load goes through
    // acceptNavigationRequest with its URL: an image or frame of a host with
    // a bad certificate is refused without asking, as the user never sees
    // where it comes from.
    if (m_navigationUrl.isEmpty() || error.url().adjusted(QUrl::RemoveFragment) != m_navigationUrl)
        return false;
    return PageQuestions::of(this)->certificateError(error);
}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame)
{
    // The client's own pages trust their query (the proxy's port, say): only
    // the client opens them, or goes back to or reloads one it opened; a
    // page's links, scripts, redirects and frames do not.
    if (url.scheme() == QLatin1String("qrc")
        && !(isMainFrame
            && (type == NavigationTypeTyped || type == NavigationTypeBackForward
                || type == NavigationTypeReload)))
        return false;
    if (isMainFrame) {
        PageBridge::prepareFor(this, url);
        m_navigationUrl = url.adjusted(QUrl::RemoveFragment);
        if (type == NavigationTypeTyped)
            PageQuestions::of(this)->userNavigated();
    }
    return true;
}

void WebPage::javaScriptAlert(const QUrl& securityOrigin, const QString& msg)
{
    PageQuestions::of(this)->scriptDialog(PageQuestions::Dialog::Alert, securityOrigin, msg, nullptr);
}

bool WebPage::javaScriptConfirm(const QUrl& securityOrigin, const QString& msg)
{
    // The engine asks whether to leave a page (its beforeunload) through
    // confirm, with its own text in its own translation: that is the
    // leave-page question. (Not a literal here: the text is the engine's to
    // translate, not this client's.)
    static const char engineText[]
        = "Are you sure you want to leave this page? Changes that you made may not be saved.";
    const bool leaving = msg == QCoreApplication::translate("QWebEnginePage", engineText);
    return PageQuestions::of(this)->scriptDialog(
        leaving ? PageQuestions::Dialog::Leave : PageQuestions::Dialog::Confirm, securityOrigin, msg,
        nullptr);
}

bool WebPage::javaScriptPrompt(
    const QUrl& securityOrigin, const QString& msg, const QString& defaultValue, QString* result)
{
    QString value = defaultValue;
    const bool accepted
        = PageQuestions::of(this)->scriptDialog(PageQuestions::Dialog::Prompt, securityOrigin, msg, &value);
    if (accepted && result)
        *result = value;
    return accepted;
}

namespace {

// Shows one credential form modally; the caller fills the intro first.
template <typename Form> bool askForCredentials(Form& form, QDialog& dialog, const QString& intro)
{
    form.setupUi(&dialog);
    dialog.setWindowFlags(Qt::Sheet);
    form.iconLabel->setText(QString());
    const int size = 32;
    form.iconLabel->setPixmap(
        dialog.parentWidget()->style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(size, size));
    form.introLabel->setWordWrap(true);
    form.introLabel->setText(intro);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace

void WebPage::authenticationRequired(const QUrl& requestUrl, QAuthenticator* auth)
{
    BrowserApplication* app = BrowserApplication::instance();
    QDialog dialog(app->currentMainWindow());
    Ui::PasswordDialog form;
    // The realm comes from the server: escaped like the URL so that it
    // cannot put markup into the dialog.
    const QString intro = tr("<qt>Enter username and password for \"%1\" at %2</qt>")
                              .arg(auth->realm().toHtmlEscaped(), requestUrl.toString().toHtmlEscaped());
    if (!askForCredentials(form, dialog, intro)) {
        *auth = QAuthenticator();
        return;
    }
    auth->setUser(form.userNameLineEdit->text());
    auth->setPassword(form.passwordLineEdit->text());
    auth->setOption(QStringLiteral("key"), BrowserApplication::credentialKey(requestUrl, auth->realm()));
    app->rememberAuthenticator(*auth);
}

void WebPage::proxyAuthenticationRequired(const QUrl&, QAuthenticator* auth, const QString& proxyHost)
{
    BrowserApplication* app = BrowserApplication::instance();
    QDialog dialog(app->currentMainWindow());
    Ui::ProxyDialog form;
    const QString intro = tr("<qt>Connect to proxy \"%1\" using:</qt>").arg(proxyHost.toHtmlEscaped());
    if (!askForCredentials(form, dialog, intro)) {
        *auth = QAuthenticator();
        return;
    }
    auth->setUser(form.userNameLineEdit->text());
    auth->setPassword(form.passwordLineEdit->text());
    auth->setOption(QStringLiteral("key"),
        BrowserApplication::proxyCredentialKey(form.userNameLineEdit->text(), proxyHost, auth->realm()));
    app->rememberProxyAuthenticator(*auth);
}

WebView::WebView(QWidget* parent)
    : QWebEngineView(parent)
{
    connect(this, &QWebEngineView::loadStarted, this, [this] { m_loading = true; });
    connect(this, SIGNAL(loadProgress(int)), this, SLOT(setProgress(int)));
    connect(this, SIGNAL(loadFinished(bool)), this, SLOT(loadFinished(bool)));
    connect(this, &QWebEngineView::urlChanged, this, &WebView::applyHostZoom);
    connect(this, &QWebEngineView::loadFinished, this, &WebView::applyHostZoom);
    connect(this, SIGNAL(renderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus, int)), this,
        SLOT(renderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus, int)));
}

void WebView::setPage(WebPage* page)
{
    if (m_page)
        m_page->deleteLater();
    m_page = page;
    QWebEngineView::setPage(page);
    connect(page, SIGNAL(iconUrlChanged(QUrl)), this, SLOT(onIconUrlChanged(QUrl)));
    // A page's window.print() goes through the same dialog as the key; a
    // page that is not trusted prints only right after the user clicked or
    // typed in it, or it could raise the dialog without end.
    connect(page, &QWebEnginePage::printRequested, this, [this] {
        BrowserMainWindow* window = m_page ? m_page->owningMainWindow() : nullptr;
        if (window && (TrustedOrigins::instance().isTrusted(m_page->url()) || takeGesture()))
            window->printView(this);
    });
    connect(page, SIGNAL(featurePermissionRequested(QUrl, QWebEnginePage::Feature)), this,
        SLOT(onFeaturePermissionRequested(QUrl, QWebEnginePage::Feature)));
    connect(page, SIGNAL(featurePermissionRequestCanceled(QUrl, QWebEnginePage::Feature)), this,
        SLOT(onFeaturePermissionRequestCanceled(QUrl, QWebEnginePage::Feature)));
}

void WebView::loadUrl(const QUrl& url)
{
    m_initialUrl = url;
    load(url);
}

QUrl WebView::url() const
{
    const QUrl current = QWebEngineView::url();
    return current.isEmpty() ? m_initialUrl : current;
}

QIcon WebView::icon() const
{
    return m_icon.isNull() ? BrowserApplication::instance()->fallbackIcon() : m_icon;
}

void WebView::loadFinished(bool success)
{
    if (success && m_progress != 100)
        qWarning() << "Received finished signal while progress is still:" << m_progress << "Url:" << url();
    m_progress = 0;
    m_loading = false;
    // A page without a favicon never asks for one; the tab still has to
    // drop its loading indicator.
    emit iconChanged();
    if (success && m_page)
        findIcon();
}

void WebView::findIcon()
{
    // The page's own icon link, else the site's usual place, read in a world
    // of the client's own that the page's scripts cannot reach.
    const QUrl document = page()->url();
    if (document.scheme() != QLatin1String("http") && document.scheme() != QLatin1String("https"))
        return;
    QPointer<WebView> guard(this);
    page()->runJavaScript(QStringLiteral("(() => { const link = document.querySelector('link[rel~=icon i]'); "
                                         "return link ? link.href : ''; })()"),
        QWebEngineScript::ApplicationWorld, [guard, document](const QVariant& href) {
            // No value: the page went before it answered.
            if (!href.isValid() || !guard || guard->page()->url() != document)
                return;
            QUrl icon = href.toString().isEmpty() ? document.resolved(QUrl(QStringLiteral("/favicon.ico")))
                                                  : QUrl(href.toString());
            if (icon.scheme() != QLatin1String("http") && icon.scheme() != QLatin1String("https"))
                icon.clear();
            if (icon != guard->m_iconUrl)
                guard->onIconUrlChanged(icon);
        });
}

void WebView::openLinkInNewTab()
{
    pageAction(QWebEnginePage::OpenLinkInNewTab)->trigger();
}

void WebView::onFeaturePermissionRequested(const QUrl& securityOrigin, QWebEnginePage::Feature feature)
{
    PageQuestions::of(page())->askPermission(securityOrigin, feature);
}

void WebView::onFeaturePermissionRequestCanceled(const QUrl& securityOrigin, QWebEnginePage::Feature feature)
{
    PageQuestions::of(page())->cancelPermission(securityOrigin, feature);
}

void WebView::onIconUrlChanged(const QUrl& url)
{
    // Only the newest icon matters: the one still pending stops taking bytes.
    dropIconReply();
    m_iconUrl = url;
    if (url.isEmpty()) {
        iconLoaded();
        return;
    }
    QNetworkReply* reply = BrowserApplication::instance()->sharedNetworkManager()->get(QNetworkRequest(url));
    reply->setParent(this);
    m_iconReply = reply;
    m_iconData.clear();
    // The site decides how much it sends: an icon larger or slower than any
    // real one is abandoned rather than held in memory. The small read buffer
    // keeps the network thread from running ahead of the count.
    reply->setReadBufferSize(64 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply != m_iconReply)
            return;
        m_iconData += reply->readAll();
        if (m_iconData.size() > IconByteLimit
            || reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > IconByteLimit)
            reply->abort();
    });
    QTimer::singleShot(IconTimeLimitMs, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply == m_iconReply)
            iconLoaded();
        else
            reply->deleteLater();
    });
}

void WebView::dropIconReply()
{
    if (QNetworkReply* reply = std::exchange(m_iconReply, nullptr)) {
        reply->abort();
        reply->deleteLater();
    }
}

void WebView::iconLoaded()
{
    m_icon = QIcon();
    if (QNetworkReply* reply = std::exchange(m_iconReply, nullptr)) {
        if (reply->error() == QNetworkReply::NoError) {
            QPixmap pixmap;
            pixmap.loadFromData(m_iconData + reply->readAll());
            m_icon.addPixmap(pixmap);
        }
        m_iconData.clear();
        reply->deleteLater();
    }
    emit iconChanged();
}

void WebView::renderProcessTerminated(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode)
{
    const char* word = "";
    switch (status) {
    case QWebEnginePage::NormalTerminationStatus: word = "(normal exit)"; break;
    case QWebEnginePage::AbnormalTerminationStatus: word = "(abnormal exit)"; break;
    case QWebEnginePage::CrashedTerminationStatus: word = "(crashed)"; break;
    case QWebEnginePage::KilledTerminationStatus: word = "(killed)"; break;
    }
    qInfo() << "Render process exited with code" << exitCode << word;
    if (!m_reloadBound.allowReload()) {
        // Nothing reloads by itself any more; the user may ask.
        if (!m_stoppedPage) {
            m_stoppedPage = new StoppedPage(this);
            connect(m_stoppedPage, &StoppedPage::reloadRequested, this, &WebView::reloadStoppedPage);
            connect(this, &QWebEngineView::loadStarted, m_stoppedPage, &QWidget::hide);
        }
        m_stoppedPage->showFor(url());
        return;
    }
    // The context object drops the reload when the view goes first.
    QTimer::singleShot(0, this, [this] { reload(); });
}

void WebView::reloadStoppedPage(const QUrl& url)
{
    m_reloadBound.reset();
    m_stoppedPage->hide();
    loadUrl(url);
}

void WebView::resizeEvent(QResizeEvent* event)
{
    QWebEngineView::resizeEvent(event);
    if (m_stoppedPage)
        m_stoppedPage->setGeometry(rect());
}

void WebView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = page()->createStandardContextMenu();
    const QList<QAction*> actions = menu->actions();
    const int index = actions.indexOf(page()->action(QWebEnginePage::OpenLinkInThisWindow));
    if (index != -1) {
        actions.at(index)->setText(tr("Open Link in This Window"));
        QAction* before = actions.value(index + 1);
        menu->insertAction(before, page()->action(QWebEnginePage::OpenLinkInNewWindow));
        menu->insertAction(before, page()->action(QWebEnginePage::OpenLinkInNewTab));
    }
    menu->setAttribute(Qt::WA_DeleteOnClose, true);
    menu->popup(event->globalPos());
}

bool WebView::takeGesture()
{
    const bool recent = m_lastInput.isValid() && m_lastInput.elapsed() < GestureMs;
    m_lastInput.invalidate();
    return recent;
}

bool WebView::event(QEvent* event)
{
    // The engine's widget inside the view gets the input.
    if (event->type() == QEvent::ChildAdded)
        static_cast<QChildEvent*>(event)->child()->installEventFilter(this);
    return QWebEngineView::event(event);
}

bool WebView::eventFilter(QObject* watched, QEvent* event)
{
    // Only input to the page counts: a click on the client's own question
    // inside the view vouches for nothing the page asks next.
    if (watched != focusProxy())
        return QWebEngineView::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::TouchBegin: m_lastInput.start(); break;
    case QEvent::KeyPress:
        if (!static_cast<QKeyEvent*>(event)->isAutoRepeat())
            m_lastInput.start();
        break;
    default: break;
    }
    return QWebEngineView::eventFilter(watched, event);
}

void WebView::mousePressEvent(QMouseEvent* event)
{
    if (m_page) {
        m_page->m_pressedButtons = event->buttons();
        m_page->m_keyboardModifiers = event->modifiers();
    }
    QWidget::mousePressEvent(event);
}

void WebView::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    if (!event->isAccepted() && m_page && (m_page->m_pressedButtons & Qt::MiddleButton)) {
        const QUrl url = QUrl::fromUserInput(QApplication::clipboard()->text(QClipboard::Selection));
        if (!url.isEmpty() && url.isValid() && !url.scheme().isEmpty())
            setUrl(url);
    }
}

namespace {

constexpr int ZoomPercents[]
    = { 25, 33, 50, 67, 75, 80, 90, 100, 110, 125, 150, 175, 200, 250, 300, 400, 500 };

QHash<QString, qreal>& hostZooms()
{
    static QHash<QString, qreal> zooms;
    return zooms;
}

} // namespace

qreal WebView::zoomForHost(const QString& host)
{
    return hostZooms().value(host, 1.0);
}

void WebView::zoomBy(int steps)
{
    const int percent = qRound(zoomFactor() * 100);
    int index
        = int(std::find(std::begin(ZoomPercents), std::end(ZoomPercents), 100) - std::begin(ZoomPercents));
    if (steps != 0) {
        // From the nearest step on the way, so that an odd factor joins the steps.
        const int count = int(std::size(ZoomPercents));
        index = steps > 0 ? 0 : count - 1;
        if (steps > 0) {
            while (index < count - 1 && ZoomPercents[index] <= percent)
                ++index;
            index = qMin(count - 1, index + steps - 1);
        } else {
            while (index > 0 && ZoomPercents[index] >= percent)
                --index;
            index = qMax(0, index + steps + 1);
        }
    }
    const qreal factor = ZoomPercents[index] / 100.0;
    const QString host = url().host();
    m_zoomHost = host;
    m_zoomHostKnown = true;
    if (qFuzzyCompare(factor, 1.0))
        hostZooms().remove(host);
    else
        hostZooms().insert(host, factor);
    setZoomFactor(factor);
}

void WebView::applyHostZoom()
{
    // Only a new host changes the zoom: within one host the page keeps what
    // it has. A fresh view is at 100 % already unless its host says otherwise.
    const QString host = url().host();
    if (m_zoomHostKnown && host == m_zoomHost)
        return;
    const bool fresh = !m_zoomHostKnown;
    m_zoomHost = host;
    m_zoomHostKnown = true;
    if (fresh && !hostZooms().contains(host))
        return;
    const qreal factor = zoomForHost(host);
    if (!qFuzzyCompare(zoomFactor(), factor))
        setZoomFactor(factor);
}

void WebView::wheelEvent(QWheelEvent* event)
{
    // No zoom on the wheel: the plain widget handling only.
    QWidget::wheelEvent(event);
}
