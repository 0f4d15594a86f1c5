#include "shell/TabWidget.h"

#include "downloads/DownloadManager.h"
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/PageBridge.h"
#include "shell/PageQuestions.h"
#include "shell/PlainText.h"
#include "shell/RepaintBatch.h"
#include "shell/TabBar.h"
#include "shell/WebView.h"
#include "widgets/FullScreenNotification.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QStackedWidget>
#include <QTimer>
#include <QWebEngineDownloadItem>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QtDebug>

namespace {

const char ScriptName[] = "qwebchannel.js";

// What of a tab waits for the window's next repaint (see RepaintBatch).
enum TabChange { TabIcon, TabTitle };

} // namespace

TabWidget::TabWidget(QWidget* parent)
    : QTabWidget(parent)
    , m_lineEdits(new QStackedWidget)
    , m_tabBar(new TabBar(this))
    , m_profile(QWebEngineProfile::defaultProfile())
{
    connect(m_tabBar, SIGNAL(newTab()), this, SLOT(newTab()));
    connect(m_tabBar, SIGNAL(closeTab(int)), this, SLOT(requestCloseTab(int)));
    connect(m_tabBar, SIGNAL(cloneTab(int)), this, SLOT(cloneTab(int)));
    connect(m_tabBar, SIGNAL(closeOtherTabs(int)), this, SLOT(closeOtherTabs(int)));
    connect(m_tabBar, SIGNAL(reloadTab(int)), this, SLOT(reloadTab(int)));
    connect(m_tabBar, SIGNAL(reloadAllTabs()), this, SLOT(reloadAllTabs()));
    connect(m_tabBar, SIGNAL(tabMoved(int, int)), this, SLOT(moveTab(int, int)));
    connect(m_tabBar, SIGNAL(tabBarDoubleClicked(int)), this, SLOT(handleTabBarDoubleClicked(int)));
    setTabBar(m_tabBar);
    // After setTabBar: the mode belongs to the bar, and the style's default
    // (no eliding) would clip long titles at both ends.
    setElideMode(Qt::ElideRight);
    setDocumentMode(true);
    // Past the minimum width the strip scrolls instead of squeezing titles.
    setUsesScrollButtons(true);
    m_tabBar->setTabsClosable(true);
    m_tabBar->setMovable(true);
    m_tabBar->setSelectionBehaviorOnRemove(QTabBar::SelectPreviousTab);

    connect(this, SIGNAL(currentChanged(int)), this, SLOT(currentChanged(int)));
    // Heard from the start, whatever the tabs show: a popup's download has
    // no tab to come through.
    connect(m_profile, &QWebEngineProfile::downloadRequested, this, &TabWidget::downloadRequested);
}

TabWidget::~TabWidget()
{
    // The page goes with its tab, later in this destruction: it must not
    // call back into a half-destroyed tab widget.
    if (m_fullScreenPage)
        m_fullScreenPage->disconnect(this);
    delete m_fullScreenView;
    // The stack is never placed in a window, so nothing else deletes it.
    delete m_lineEdits;
}

QWidget* TabWidget::lineEditStack() const
{
    return m_lineEdits;
}

QLineEdit* TabWidget::currentLineEdit() const
{
    return qobject_cast<QLineEdit*>(m_lineEdits->currentWidget());
}

QLineEdit* TabWidget::lineEditAt(int index) const
{
    return qobject_cast<QLineEdit*>(m_lineEdits->widget(index));
}

WebView* TabWidget::currentWebView()
{
    return webViewAt(currentIndex());
}

WebView* TabWidget::webViewAt(int index)
{
    if (auto* view = qobject_cast<WebView*>(widget(index)))
        return view;
    if (count() == 1) {
        // Only the placeholder: swap in a real view without showing two tabs.
        setUpdatesEnabled(false);
        newTab(true);
        closeTab(0);
        setUpdatesEnabled(true);
        return qobject_cast<WebView*>(currentWidget());
    }
    return nullptr;
}

void TabWidget::loadUrlInCurrentTab(const QUrl& url)
{
    if (WebView* view = currentWebView()) {
        view->loadUrl(url);
        view->setFocus(Qt::OtherFocusReason);
    }
}

WebView* TabWidget::newTab(bool makeCurrent)
{
    auto* lineEdit = new QLineEdit;
    connect(lineEdit, SIGNAL(returnPressed()), this, SLOT(lineEditReturnPressed()));
    m_lineEdits->addWidget(lineEdit);
    m_lineEdits->setSizePolicy(lineEdit->sizePolicy());

    if (count() == 0) {
        auto* placeholder = new QWidget;
        QPalette palette = placeholder->palette();
        palette.setColor(QPalette::All, QPalette::Window, this->palette().color(QPalette::Base));
        placeholder->setPalette(palette);
        placeholder->setAutoFillBackground(true);
        disconnect(this, SIGNAL(currentChanged(int)), this, SLOT(currentChanged(int)));
        addTab(placeholder, tr("(Untitled)"));
        connect(this, SIGNAL(currentChanged(int)), this, SLOT(currentChanged(int)));
        return nullptr;
    }

    auto* view = new WebView;
    auto* page = new WebPage(m_profile, view);
    view->setPage(page);
    installScriptBridge(page);

    connect(view, SIGNAL(loadStarted()), this, SLOT(webViewLoadStarted()));
    connect(view, SIGNAL(iconChanged()), this, SLOT(webViewIconChanged()));
    connect(view, SIGNAL(titleChanged(QString)), this, SLOT(webViewTitleChanged(QString)));
    connect(view, SIGNAL(urlChanged(QUrl)), this, SLOT(webViewUrlChanged(QUrl)));

    addTab(view, tr("(Untitled)"));
    if (makeCurrent)
        setCurrentWidget(view);

    // A page in a tab does not move or resize the window: only popups follow
    // geometry requests.
    connect(page, SIGNAL(windowCloseRequested()), this, SLOT(windowCloseRequested()));

    if (count() == 1)
        currentChanged(currentIndex());
    emit tabsChanged();
    return view;
}

void TabWidget::installScriptBridge(WebPage* page)
{
    // Every page shares the profile's collection: one copy serves all tabs,
    // where a copy per tab would run again in every document. The file is
    // read once, for the first page.
    QWebEngineScriptCollection* scripts = page->profile()->scripts();
    if (scripts->findScript(QLatin1String(ScriptName)).isNull()) {
        QFile file(QCoreApplication::applicationDirPath() + QLatin1String("/qwebchannel.js"));
        if (!file.open(QIODevice::ReadOnly)) {
            qDebug() << "open qwebchannel.js error";
        } else {
            qDebug() << "open qwebchannel.js";
            QString source = QString::fromUtf8(file.readAll());
            const QString name = bridgeObjectName();
            source += QStringLiteral("new QWebChannel(qt.webChannelTransport, function(channel) {  window.")
                + name + QStringLiteral(" = channel.objects.") + name + QStringLiteral(";});");
            QWebEngineScript script;
            script.setSourceCode(source);
            script.setName(QLatin1String(ScriptName));
            script.setWorldId(QWebEngineScript::MainWorld);
            script.setInjectionPoint(QWebEngineScript::DocumentCreation);
            script.setRunsOnSubFrames(false);
            scripts->insert(script);
        }
    }
    PageBridge::attach(page, bridgeObjectName());
}

void TabWidget::cloneTab(int index)
{
    if (index < 0)
        index = currentIndex();
    if (index < 0 || index >= count())
        return;
    WebView* source = webViewAt(index);
    if (!source)
        return;
    const QUrl url = source->url();
    WebView* tab = newTab(false);
    if (tab)
        tab->loadUrl(url);
}

void TabWidget::requestCloseTab(int index)
{
    if (index < 0)
        index = currentIndex();
    if (index < 0 || index >= count())
        return;
    WebView* view = webViewAt(index);
    if (!view)
        return;
    // A page held in a script dialog cannot answer the request to close (its
    // script waits for the dialog): the tab closes at once.
    if (PageQuestions::of(view->page())->inScriptDialog())
        closeTab(index);
    else
        view->page()->triggerAction(QWebEnginePage::RequestClose);
}

void TabWidget::closeTab(int index)
{
    if (index < 0 || index >= count())
        return;

    bool hadFocus = false;
    if (auto* view = qobject_cast<WebView*>(widget(index))) {
        QWidget* focused = QApplication::focusWidget();
        hadFocus = view->hasFocus() || (focused && view->isAncestorOf(focused));
        if (m_profile == QWebEngineProfile::defaultProfile()) {
            m_recentlyClosedTabs.prepend(view->url());
            if (m_recentlyClosedTabs.size() >= 10)
                m_recentlyClosedTabs.removeLast();
        }
    }
    if (QWidget* lineEdit = m_lineEdits->widget(index)) {
        m_lineEdits->removeWidget(lineEdit);
        lineEdit->deleteLater();
    }
    QWidget* tab = widget(index);
    removeTab(index);
    if (tab)
        tab->deleteLater();
    emit tabsChanged();
    if (hadFocus && count() > 0) {
        if (WebView* current = qobject_cast<WebView*>(currentWidget()))
            current->setFocus(Qt::OtherFocusReason);
    }
    if (count() == 0)
        emit lastTabClosed();
}

void TabWidget::closeOtherTabs(int index)
{
    if (index == -1)
        return;
    for (int i = count() - 1; i > index; --i)
        closeTab(i);
    for (int i = index - 1; i >= 0; --i)
        closeTab(i);
}

void TabWidget::reopenClosedTab()
{
    if (m_recentlyClosedTabs.isEmpty())
        return;
    const QUrl url = m_recentlyClosedTabs.takeFirst();
    // A lone placeholder makes way, as for any first page.
    WebView* view = count() == 1 && !qobject_cast<WebView*>(widget(0)) ? currentWebView() : newTab(true);
    if (view) {
        view->loadUrl(url);
        view->setFocus(Qt::OtherFocusReason);
    }
}

void TabWidget::reloadTab(int index)
{
    if (index < 0)
        index = currentIndex();
    if (index < 0 || index >= count())
        return;
    if (auto* view = qobject_cast<WebView*>(widget(index)))
        view->reload();
}

void TabWidget::reloadAllTabs()
{
    for (int i = 0; i < count(); ++i) {
        if (auto* view = qobject_cast<WebView*>(widget(i)))
            view->reload();
    }
}

void TabWidget::nextTab()
{
    int next = currentIndex() + 1;
    if (next == count())
        next = 0;
    setCurrentIndex(next);
}

void TabWidget::previousTab()
{
    int previous = currentIndex() - 1;
    if (previous < 0)
        previous = count() - 1;
    setCurrentIndex(previous);
}

void TabWidget::currentChanged(int index)
{
    auto* view = qobject_cast<WebView*>(widget(index));
    if (!view)
        return;

    if (auto* old = qobject_cast<WebView*>(widget(m_lineEdits->currentIndex()))) {
        disconnect(old->page(), SIGNAL(linkHovered(QString)), this, SIGNAL(linkHovered(QString)));
        disconnect(old, SIGNAL(loadProgress(int)), this, SIGNAL(loadProgress(int)));
        disconnect(old->page(), SIGNAL(fullScreenRequested(QWebEngineFullScreenRequest)), this,
            SLOT(fullScreenRequested(QWebEngineFullScreenRequest)));
    }
    connect(view->page(), SIGNAL(linkHovered(QString)), this, SIGNAL(linkHovered(QString)));
    connect(view, SIGNAL(loadProgress(int)), this, SIGNAL(loadProgress(int)));
    connect(view->page(), SIGNAL(fullScreenRequested(QWebEngineFullScreenRequest)), this,
        SLOT(fullScreenRequested(QWebEngineFullScreenRequest)));

    emit setCurrentTitle(view->title());
    m_lineEdits->setCurrentIndex(index);
    emit loadProgress(view->progress());
    emit showStatusBarMessage(view->lastStatusBarText());
    if (view->url().isEmpty())
        m_lineEdits->currentWidget()->setFocus(Qt::OtherFocusReason);
    else
        view->setFocus(Qt::OtherFocusReason);
}

void TabWidget::downloadRequested(QWebEngineDownloadItem* download)
{
    // The profile is shared, so the tab widget of every window hears each
    // request; only the one showing the requesting page takes it (a request
    // from a popup, or without a page, goes to the current window's).
    if (!takesDownloadFrom(download->page()))
        return;
    BrowserApplication::instance()->sharedDownloadManager()->download(download);
    download->accept();
    // A tab opened for a URL that turned out to be a download (a handed-over
    // link, a new-tab link) never shows a document: it goes once the
    // download runs, unless it is the window's last.
    for (int i = 0; i < count(); ++i) {
        auto* view = qobject_cast<WebView*>(widget(i));
        if (view && view->page() == download->page() && view->page()->history()->count() == 0) {
            QTimer::singleShot(0, view, [this, view] {
                if (count() > 1 && view->page()->history()->count() == 0)
                    closeTab(indexOf(view));
            });
            break;
        }
    }
}

bool TabWidget::takesDownloadFrom(QWebEnginePage* page) const
{
    if (showsPage(page))
        return true;
    BrowserApplication* app = BrowserApplication::instance();
    const QList<BrowserMainWindow*> windows = app->allMainWindows();
    for (BrowserMainWindow* window : windows) {
        if (window && window->tabWidget()->showsPage(page))
            return false;
    }
    BrowserMainWindow* current = app->currentMainWindow();
    return current && current->tabWidget() == this;
}

bool TabWidget::showsPage(QWebEnginePage* page) const
{
    if (!page)
        return false;
    for (int i = 0; i < count(); ++i) {
        auto* view = qobject_cast<WebView*>(widget(i));
        if (view && view->page() == page)
            return true;
    }
    return m_fullScreenView && m_fullScreenView->page() == page;
}

void TabWidget::webViewLoadStarted()
{
    QPointer<WebView> view = qobject_cast<WebView*>(sender());
    QTimer::singleShot(RepaintBatch::LoadSignsAfterMs, view, [this, view] {
        if (!view->isLoading())
            return;
        RepaintBatch::of(this)->defer(view, TabIcon, [this, view] {
            const int index = view ? indexOf(view) : -1;
            if (index != -1)
                setTabIcon(index, QIcon(QStringLiteral(":loading.gif")));
        });
    });
}

void TabWidget::webViewIconChanged()
{
    QPointer<WebView> view = qobject_cast<WebView*>(sender());
    RepaintBatch::of(this)->defer(view, TabIcon, [this, view] {
        const int index = view ? indexOf(view) : -1;
        // The same icon again would lay the tab bar out and repaint it for nothing.
        if (index != -1 && view->icon().cacheKey() != tabIcon(index).cacheKey())
            setTabIcon(index, view->icon());
    });
}

void TabWidget::webViewTitleChanged(const QString& title)
{
    QPointer<WebView> view = qobject_cast<WebView*>(sender());
    RepaintBatch::of(this)->defer(view, TabTitle, [this, view, title] {
        const int index = view ? indexOf(view) : -1;
        const QString label = PlainText::forLabel(title);
        if (index != -1 && label != tabText(index)) {
            setTabText(index, label);
            // The tab may show only the start of the title.
            setTabToolTip(index, PlainText::forToolTip(title));
        }
    });
    const int index = indexOf(view);
    if (index != -1 && index == currentIndex())
        emit setCurrentTitle(title);
}

void TabWidget::webViewUrlChanged(const QUrl& url)
{
    auto* view = qobject_cast<WebView*>(sender());
    const int index = indexOf(view);
    if (index != -1)
        m_tabBar->setTabData(index, url);
    emit tabsChanged();
}

void TabWidget::lineEditReturnPressed()
{
}

void TabWidget::windowCloseRequested()
{
    auto* page = qobject_cast<QWebEnginePage*>(sender());
    for (int i = 0; i < count(); ++i) {
        auto* view = qobject_cast<WebView*>(widget(i));
        if (view && view->page() == page) {
            closeTab(i);
            return;
        }
    }
}

void TabWidget::moveTab(int fromIndex, int toIndex)
{
    QWidget* lineEdit = m_lineEdits->widget(fromIndex);
    if (!lineEdit)
        return;
    m_lineEdits->removeWidget(lineEdit);
    m_lineEdits->insertWidget(toIndex, lineEdit);
}

void TabWidget::fullScreenRequested(QWebEngineFullScreenRequest request)
{
    auto* page = qobject_cast<QWebEnginePage*>(sender());
    if (!page)
        return;
    if (!request.toggleOn()) {
        if (!m_fullScreenView || page != m_fullScreenPage)
            return;
        request.accept();
        endFullScreen();
        return;
    }
    if (m_fullScreenView) {
        // One page at a time: a second one would strand the first outside its tab.
        if (page == m_fullScreenPage)
            request.accept();
        else
            request.reject();
        return;
    }
    WebView* origin = nullptr;
    for (int i = 0; i < count() && !origin; ++i) {
        auto* view = qobject_cast<WebView*>(widget(i));
        if (view && view->page() == page)
            origin = view;
    }
    if (!origin) {
        request.reject();
        return;
    }
    m_fullScreenView = new QWebEngineView();
    m_fullScreenNotification = new FullScreenNotification(m_fullScreenView);
    auto* exitAction = new QAction(m_fullScreenView);
    exitAction->setShortcut(Qt::Key_Escape);
    connect(exitAction, &QAction::triggered, page,
        [page] { page->triggerAction(QWebEnginePage::ExitFullScreen); });
    m_fullScreenView->addAction(exitAction);
    m_fullScreenPage = page;
    m_fullScreenOrigin = origin;
    // The way back is heard even after another tab became current, and a
    // page that goes with its tab meanwhile ends full screen.
    connect(page, SIGNAL(fullScreenRequested(QWebEngineFullScreenRequest)), this,
        SLOT(fullScreenRequested(QWebEngineFullScreenRequest)), Qt::UniqueConnection);
    connect(page, &QObject::destroyed, this, &TabWidget::endFullScreen);
    m_fullScreenView->setPage(page);
    request.accept();
    m_fullScreenView->showFullScreen();
    m_fullScreenView->raise();
    m_fullScreenNotification->show();
}

void TabWidget::endFullScreen()
{
    if (!m_fullScreenView)
        return;
    if (QWebEnginePage* page = m_fullScreenPage) {
        disconnect(page, &QObject::destroyed, this, &TabWidget::endFullScreen);
        if (m_fullScreenOrigin) {
            // Back into its own tab, whichever is current; a blank page the
            // tab made for itself meanwhile goes.
            m_fullScreenOrigin->QWebEngineView::setPage(page);
            if (currentWidget() != m_fullScreenOrigin)
                disconnect(page, SIGNAL(fullScreenRequested(QWebEngineFullScreenRequest)), this,
                    SLOT(fullScreenRequested(QWebEngineFullScreenRequest)));
        } else {
            // Its tab is gone: no other tab takes it over.
            page->deleteLater();
        }
    }
    m_fullScreenView->hide();
    m_fullScreenView->deleteLater();
    m_fullScreenView = nullptr;
    m_fullScreenNotification = nullptr;
    m_fullScreenPage = nullptr;
    m_fullScreenOrigin = nullptr;
    window()->hide();
    window()->show();
}

void TabWidget::handleTabBarDoubleClicked(int index)
{
    if (index == -1)
        newTab(true);
}

bool TabWidget::inTabArea(const QPoint& position) const
{
    return !childAt(position) && position.y() < m_tabBar->y() + m_tabBar->height();
}

void TabWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (inTabArea(event->pos())) {
        newTab(true);
        return;
    }
    QTabWidget::mouseDoubleClickEvent(event);
}

void TabWidget::contextMenuEvent(QContextMenuEvent* event)
{
    if (!childAt(event->pos())) {
        m_tabBar->contextMenuRequested(event->pos());
        return;
    }
    QTabWidget::contextMenuEvent(event);
}

void TabWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::MiddleButton && inTabArea(event->pos())) {
        const QUrl url = QUrl::fromUserInput(QApplication::clipboard()->text(QClipboard::Selection));
        if (!url.isEmpty() && url.isValid() && !url.scheme().isEmpty()) {
            if (WebView* view = newTab(true))
                view->loadUrl(url);
        }
        return;
    }
    QTabWidget::mouseReleaseEvent(event);
}
