#include "shell/BrowserMainWindow.h"

#include "downloads/DownloadManager.h"
#include "settings/SettingsDialog.h"
#include "shell/BrowserApplication.h"
#include "shell/FindBar.h"
#include "shell/PlainText.h"
#include "shell/ProxyHolder.h"
#include "shell/RepaintBatch.h"
#include "shell/TabWidget.h"
#include "shell/WebView.h"
#include "widgets/Identity.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDataStream>
#include <QEventLoop>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWheelEvent>
#include <QtDebug>
#include <memory>

#include <algorithm>

BrowserMainWindow::BrowserMainWindow(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
    , m_tabWidget(new TabWidget(this))
    , m_progressBar(new QProgressBar(this))
    , m_zoomLabel(new QLabel(this))
    , m_findBar(new FindBar(this))
{
    setToolButtonStyle(Qt::ToolButtonFollowStyle);
    setAttribute(Qt::WA_DeleteOnClose, true);
    statusBar()->setSizeGripEnabled(true);
    addToolBarBreak();

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabWidget);
    layout->addWidget(m_findBar);
    setCentralWidget(central);

    connect(m_tabWidget, SIGNAL(loadPage(QString)), this, SLOT(loadPage(QString)));
    connect(m_tabWidget, SIGNAL(setCurrentTitle(QString)), this, SLOT(slotUpdateWindowTitle(QString)));
    connect(m_tabWidget, SIGNAL(showStatusBarMessage(QString)), statusBar(), SLOT(showMessage(QString)));
    connect(m_tabWidget, SIGNAL(linkHovered(QString)), statusBar(), SLOT(showMessage(QString)));
    connect(m_tabWidget, SIGNAL(menuBarVisibilityChangeRequested(bool)), menuBar(), SLOT(setVisible(bool)));
    connect(
        m_tabWidget, SIGNAL(statusBarVisibilityChangeRequested(bool)), statusBar(), SLOT(setVisible(bool)));
    connect(m_tabWidget, SIGNAL(lastTabClosed()), m_tabWidget, SLOT(newTab()));

    // Load progress and zoom of the current tab, at the right end of the
    // status bar where messages and hovered links do not cover them.
    m_zoomLabel->setObjectName(QStringLiteral("zoomLevel"));
    m_zoomLabel->hide();
    statusBar()->addPermanentWidget(m_zoomLabel);
    m_progressBar->setObjectName(QStringLiteral("loadProgress"));
    m_progressBar->setRange(0, 100);
    m_progressBar->setTextVisible(false);
    m_progressBar->setMaximumSize(120, 8);
    m_progressBar->hide();
    statusBar()->addPermanentWidget(m_progressBar);
    m_progressTimer = new QTimer(this);
    // Shown after a while, then stepped at that pace: each change repaints the window.
    m_progressTimer->setInterval(RepaintBatch::LoadSignsAfterMs);
    connect(m_progressTimer, &QTimer::timeout, this, &BrowserMainWindow::stepProgress);
    connect(m_tabWidget, &QTabWidget::currentChanged, this, &BrowserMainWindow::currentTabChanged);

    // No menus: everything is reached by keys (and from the tab bar's
    // context menu, which shows the same actions).
    createKeyActions();
    connect(m_tabWidget, &QTabWidget::currentChanged, this, &BrowserMainWindow::watchCurrentTab);
    // The views' mouse and wheel events go to children made by the engine.
    qApp->installEventFilter(this);

    slotUpdateWindowTitle(QString());

    QSettings settings;
    settings.beginGroup(QStringLiteral("BrowserMainWindow"));
    restoreState(settings.value(QStringLiteral("defaultState")).toByteArray(), 0);
    settings.endGroup();
    restoreWindowGeometry();

    m_tabWidget->newTab(true);
}

void BrowserMainWindow::createKeyActions()
{
    using A = KeyTable::Action;
    for (const KeyTable::Entry& entry : KeyTable::entries()) {
        auto* action = new QAction(KeyTable::text(entry.action), this);
        action->setShortcuts(entry.keys);
        action->setShortcutContext(Qt::WindowShortcut);
        // The tab bar's menu is the only place that tells the keys.
        action->setShortcutVisibleInContextMenu(true);
        const A id = entry.action;
        connect(action, &QAction::triggered, this, [this, id] { trigger(id); });
        addAction(action);
        m_keyActions.insert(id, action);
    }
    m_keyActions.value(A::Stop)->setEnabled(false);
}

void BrowserMainWindow::trigger(KeyTable::Action action)
{
    using A = KeyTable::Action;
    switch (action) {
    case A::NewTab:
        m_tabWidget->newTab(true);
        slotHome();
        return;
    case A::CloseTab: m_tabWidget->requestCloseTab(); return;
    case A::ReopenClosedTab: m_tabWidget->reopenClosedTab(); return;
    case A::NextTab: m_tabWidget->nextTab(); return;
    case A::PreviousTab: m_tabWidget->previousTab(); return;
    case A::Find: slotFind(); return;
    case A::Location: slotLocation(); return;
    case A::ZoomIn: slotViewZoomIn(); return;
    case A::ZoomOut: slotViewZoomOut(); return;
    case A::ZoomReset: slotViewResetZoom(); return;
    case A::Print: slotPrint(); return;
    case A::PageSource: slotViewPageSource(); return;
    case A::FullScreen: slotToggleFullScreen(); return;
    case A::DevTools: slotDevTools(); return;
    case A::Downloads: slotDownloadManager(); return;
    case A::Preferences: slotPreferences(); return;
    default: break;
    }
    WebView* view = currentTab();
    if (!view)
        return;
    switch (action) {
    case A::Reload: view->triggerPageAction(QWebEnginePage::Reload); break;
    case A::ReloadBypassingCache: view->triggerPageAction(QWebEnginePage::ReloadAndBypassCache); break;
    case A::Stop: view->triggerPageAction(QWebEnginePage::Stop); break;
    case A::Back: view->triggerPageAction(QWebEnginePage::Back); break;
    case A::Forward: view->triggerPageAction(QWebEnginePage::Forward); break;
    default: break;
    }
}

void BrowserMainWindow::watchCurrentTab()
{
    // Esc stops only while the current page loads; otherwise it stays with
    // the page.
    disconnect(m_stopWatch);
    QAction* stop = m_keyActions.value(KeyTable::Action::Stop);
    auto* view = qobject_cast<WebView*>(m_tabWidget->currentWidget());
    QAction* pageStop = view ? view->pageAction(QWebEnginePage::Stop) : nullptr;
    stop->setEnabled(pageStop && pageStop->isEnabled());
    if (pageStop)
        m_stopWatch = connect(
            pageStop, &QAction::changed, stop, [stop, pageStop] { stop->setEnabled(pageStop->isEnabled()); });
    if (m_findBar->isVisible())
        m_findBar->close();
}

bool BrowserMainWindow::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease
        && type != QEvent::MouseButtonDblClick && type != QEvent::Wheel)
        return QMainWindow::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this)
        return QMainWindow::eventFilter(watched, event);
    if (type != QEvent::Wheel) {
        // The press steps; the rest of the click goes nowhere, so that the
        // page does not step a second time.
        const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
        if (button == Qt::BackButton || button == Qt::ForwardButton) {
            if (type == QEvent::MouseButtonPress)
                trigger(button == Qt::BackButton ? KeyTable::Action::Back : KeyTable::Action::Forward);
            return true;
        }
        return QMainWindow::eventFilter(watched, event);
    }
    auto* wheel = static_cast<QWheelEvent*>(event);
    if (!(wheel->modifiers() & Qt::ControlModifier))
        return QMainWindow::eventFilter(watched, event);
    for (QWidget* on = widget; on; on = on->parentWidget()) {
        if (auto* view = qobject_cast<WebView*>(on)) {
            const int delta = wheel->angleDelta().y();
            if (delta != 0)
                view->zoomBy(delta > 0 ? 1 : -1);
            updateZoomIndicator();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QSize BrowserMainWindow::sizeHint() const
{
    return defaultGeometry().size();
}

QRect BrowserMainWindow::defaultGeometry()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen->availableGeometry();
    QRect geometry(QPoint(), available.size() * qreal(0.9));
    geometry.moveCenter(available.center());
    return geometry;
}

namespace {

const QString GeometryGroup = QStringLiteral("BrowserMainWindow");
const QString GeometryKey = QStringLiteral("geometry");

} // namespace

// The place the last window closed at, unless it is no longer on any screen
// (a monitor was unplugged or the resolution shrank). Qt would pull such a
// window into view at some odd place; it opens at the default place instead.
void BrowserMainWindow::restoreWindowGeometry()
{
    QSettings settings;
    settings.beginGroup(GeometryGroup);
    const QByteArray saved = settings.value(GeometryKey).toByteArray();
    // What saveGeometry writes starts with a magic number, a version and the
    // frame rectangle.
    QDataStream stream(saved);
    quint32 magic = 0;
    quint16 major = 0, minor = 0;
    QRect frame;
    stream >> magic >> major >> minor >> frame;
    const bool onScreen = stream.status() == QDataStream::Ok && magic == 0x1D9D0CB
        && std::any_of(QGuiApplication::screens().cbegin(), QGuiApplication::screens().cend(),
            [&](QScreen* screen) { return screen->availableGeometry().contains(frame.center()); });
    if (onScreen && restoreGeometry(saved))
        return;
    setGeometry(defaultGeometry());
}

WebView* BrowserMainWindow::currentTab() const
{
    return m_tabWidget->currentWebView();
}

void BrowserMainWindow::runScriptOnOpenViews(const QString& source)
{
    for (int i = 0; i < m_tabWidget->count(); ++i) {
        if (auto* view = qobject_cast<WebView*>(m_tabWidget->widget(i)))
            view->page()->runJavaScript(source);
    }
}

void BrowserMainWindow::loadPage(const QString& url)
{
    loadUrl(QUrl::fromUserInput(url));
}

void BrowserMainWindow::slotHome()
{
    QSettings ini(BrowserApplication::iniPath(), QSettings::IniFormat);
    QUrl url = QUrl::fromUserInput(ini.value(QStringLiteral("/setting/start_url")).toString());
    // Pages bundled with the client learn from the query whether the local
    // proxy runs: its port, "failed", or "off".
    if (url.scheme() == QLatin1String("qrc")) {
        ProxyHolder& holder = ProxyHolder::instance();
        QUrlQuery query(url);
        query.removeAllQueryItems(QStringLiteral("proxy"));
        query.addQueryItem(QStringLiteral("proxy"),
            !holder.enabled          ? QStringLiteral("off")
                : holder.port() <= 0 ? QStringLiteral("failed")
                                     : QString::number(holder.port()));
        url.setQuery(query);
    }
    loadUrl(url);
}

namespace {

// The bar repaints itself at once when its value moves, a repaint of its own
// for the whole window; held, it is painted with the rest of the window.
void setProgress(QProgressBar* bar, int value)
{
    bar->setUpdatesEnabled(false);
    bar->setValue(value);
    bar->setUpdatesEnabled(true);
}

// The titles are built from the domain in Identity.h, which lupdate cannot
// read; these literals put the two source texts into the translation file.
struct SourceText {
    const char* source;
    const char* comment;
};
constexpr const char* EmptyTitle = QT_TRANSLATE_NOOP("BrowserMainWindow", "lumaview.example.org");
constexpr SourceText PageTitle
    = QT_TRANSLATE_NOOP3("BrowserMainWindow", "%1 - lumaview.example.org", "Page title and Browser name");

constexpr bool sameText(const char* a, const char* b)
{
    return *a == *b && (*a == '\0' || sameText(a + 1, b + 1));
}
static_assert(sameText(EmptyTitle, Identity::OrganisationDomain), "the title texts follow Identity.h");
static_assert(
    sameText(PageTitle.source + 5, Identity::OrganisationDomain), "the title texts follow Identity.h");

} // namespace

void BrowserMainWindow::slotUpdateWindowTitle(const QString& title)
{
    if (title.isEmpty()) {
        setWindowTitle(tr(EmptyTitle));
        return;
    }
    setWindowTitle(tr(PageTitle.source, PageTitle.comment).arg(PlainText::forWindowTitle(title)));
}

void BrowserMainWindow::loadUrl(const QUrl& url)
{
    if (!url.isValid() || !currentTab())
        return;
    m_tabWidget->currentLineEdit()->setText(QString::fromUtf8(url.toEncoded()));
    m_tabWidget->loadUrlInCurrentTab(url);
}

void BrowserMainWindow::slotPreferences()
{
    // Only a real view has a page; the first tab's placeholder does not.
    QPointer<TabWidget> tabs(m_tabWidget);
    auto currentPageUrl = [tabs]() -> std::optional<QUrl> {
        auto* view = tabs ? qobject_cast<WebView*>(tabs->currentWidget()) : nullptr;
        if (!view)
            return std::nullopt;
        return view->url();
    };
    auto* dialog = new SettingsDialog(this, currentPageUrl);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void BrowserMainWindow::slotFileNew()
{
    BrowserApplication* app = BrowserApplication::instance();
    app->newMainWindow();
    app->currentMainWindow()->slotHome();
}

void BrowserMainWindow::slotFileOpen()
{
    const QString file = QFileDialog::getOpenFileName(this, tr("Open Web Resource"), QString(),
        tr("Web Resources (*.html *.htm *.svg *.png *.gif *.svgz);;All files (*.*)"));
    if (file.isEmpty())
        return;
    loadUrl(QUrl::fromUserInput(file));
}

void BrowserMainWindow::slotFilePrintPreview()
{
    WebView* view = currentTab();
    if (!view)
        return;
    QPrintPreviewDialog dialog(this);
    QPointer<WebView> guard(view);
    // The page prints asynchronously; the preview wants the pages drawn
    // before it returns, so wait for the engine here.
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, [guard](QPrinter* printer) {
        if (!guard)
            return;
        QEventLoop loop;
        guard->page()->print(printer, [&loop](bool) { loop.quit(); });
        loop.exec();
    });
    dialog.exec();
}

void BrowserMainWindow::slotViewZoomIn()
{
    if (WebView* view = currentTab()) {
        view->zoomBy(1);
        updateZoomIndicator();
    }
}

void BrowserMainWindow::slotViewZoomOut()
{
    if (WebView* view = currentTab()) {
        view->zoomBy(-1);
        updateZoomIndicator();
    }
}

void BrowserMainWindow::slotViewResetZoom()
{
    if (WebView* view = currentTab()) {
        view->zoomBy(0);
        updateZoomIndicator();
    }
}

void BrowserMainWindow::slotViewPageSource()
{
    WebView* view = currentTab();
    if (!view || view->url().isEmpty())
        return;
    const QUrl source(QStringLiteral("view-source:") + view->url().toString());
    if (WebView* tab = m_tabWidget->newTab(true))
        tab->loadUrl(source);
}

void BrowserMainWindow::slotFind()
{
    if (WebView* view = currentTab())
        m_findBar->openFor(view->page());
}

void BrowserMainWindow::slotLocation()
{
    auto* dialog = new QInputDialog(this);
    dialog->setObjectName(QStringLiteral("locationDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Open Location"));
    dialog->setLabelText(tr("Address or host name:"));
    if (auto* view = qobject_cast<WebView*>(m_tabWidget->currentWidget()))
        dialog->setTextValue(view->url().toString());
    dialog->resize(qMax(dialog->sizeHint().width(), 480), dialog->sizeHint().height());
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString& text) {
        if (!text.trimmed().isEmpty())
            loadPage(text.trimmed());
    });
    dialog->open();
}

void BrowserMainWindow::slotPrint()
{
    printView(currentTab());
}

void BrowserMainWindow::printView(WebView* view)
{
    // One dialog per tab: a page asking again while one is open is ignored.
    if (!view || view->printDialog)
        return;
    auto printer = std::make_shared<QPrinter>(QPrinter::HighResolution);
    auto* dialog = new QPrintDialog(printer.get(), this);
    view->printDialog = dialog;
    dialog->setObjectName(QStringLiteral("printDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<WebView> guard(view);
    connect(dialog, &QDialog::finished, this, [guard, printer](int result) {
        if (result != QDialog::Accepted || !guard)
            return;
        QWebEnginePage* page = guard->page();
        if (printer->outputFormat() == QPrinter::PdfFormat && !printer->outputFileName().isEmpty())
            page->printToPdf(printer->outputFileName(), printer->pageLayout());
        else // the printer has to outlive the engine's work
            page->print(printer.get(), [printer](bool) {});
    });
    dialog->open();
}

void BrowserMainWindow::slotToggleFullScreen()
{
    slotViewFullScreen(!isFullScreen());
}

void BrowserMainWindow::slotDevTools()
{
    WebView* view = currentTab();
    if (!view)
        return;
    QWebEnginePage* page = view->page();
    // One tools window per page, shown again when asked again.
    QWidget* tools = page->devToolsPage() ? page->devToolsPage()->view() : nullptr;
    if (!tools) {
        auto* toolsView = new QWebEngineView;
        toolsView->setObjectName(QStringLiteral("devTools"));
        toolsView->setPage(new QWebEnginePage(page->profile(), toolsView));
        page->setDevToolsPage(toolsView->page());
        toolsView->resize(1000, 700);
        connect(view, &QObject::destroyed, toolsView, &QObject::deleteLater);
        tools = toolsView;
    }
    tools->setWindowTitle(tr("Developer Tools - %1").arg(PlainText::forWindowTitle(view->title())));
    tools->show();
    tools->raise();
    tools->activateWindow();
}

void BrowserMainWindow::slotViewFullScreen(bool enable)
{
    if (enable)
        showFullScreen();
    else if (isMinimized())
        showMinimized();
    else if (isMaximized())
        showMaximized();
    else
        showNormal();
}

void BrowserMainWindow::slotDownloadManager()
{
    DownloadManager* manager = BrowserApplication::instance()->sharedDownloadManager();
    manager->show();
    manager->raise();
    manager->activateWindow();
}

void BrowserMainWindow::slotSelectLineEdit()
{
    QLineEdit* lineEdit = m_tabWidget->currentLineEdit();
    if (!lineEdit)
        return;
    lineEdit->selectAll();
    lineEdit->setFocus(Qt::OtherFocusReason);
}

void BrowserMainWindow::slotOpenActionUrl(QAction* action)
{
    const int offset = action->data().toInt();
    WebView* view = currentTab();
    if (!view || offset == 0)
        return;
    QWebEngineHistory* history = view->history();
    // An offset beyond the history has no item to go to.
    if (offset < 0) {
        const QList<QWebEngineHistoryItem> items = history->backItems(-offset);
        if (!items.isEmpty())
            history->goToItem(items.first());
    } else {
        const QList<QWebEngineHistoryItem> items = history->forwardItems(history->count() - offset + 1);
        if (!items.isEmpty())
            history->goToItem(items.last());
    }
}

void BrowserMainWindow::slotShowWindow()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    bool ok = false;
    const int index = action->data().toInt(&ok);
    const QList<BrowserMainWindow*> windows = BrowserApplication::instance()->allMainWindows();
    if (!ok || index < 0 || index >= windows.size())
        return;
    BrowserMainWindow* window = windows.at(index);
    window->activateWindow();
    if (WebView* view = window->currentTab())
        view->setFocus(Qt::OtherFocusReason);
}

void BrowserMainWindow::slotSwapFocus()
{
    WebView* view = currentTab();
    if (!view)
        return;
    if (view->hasFocus())
        m_tabWidget->currentLineEdit()->setFocus(Qt::OtherFocusReason);
    else
        view->setFocus(Qt::OtherFocusReason);
}

void BrowserMainWindow::closeEvent(QCloseEvent* event)
{
    if (m_tabWidget->count() > 1) {
        const int answer = QMessageBox::warning(this, QString(),
            tr("Are you sure you want to close the window?  There are %1 tabs open")
                .arg(m_tabWidget->count()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::No) {
            event->ignore();
            return;
        }
    }
    BrowserApplication* app = BrowserApplication::instance();
    bool last = true;
    for (BrowserMainWindow* window : app->allMainWindows())
        last = last && (window == this || !window->isVisible());
    if (last) {
        // The last window ends the client: running downloads end with it.
        DownloadManager* downloads = app->sharedDownloadManager();
        if (downloads->activeDownloads() > 0
            && QMessageBox::question(this, tr("Downloads in progress"),
                   tr("Downloads are still running. Closing the window ends the client and stops them. "
                      "Close anyway?"),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        // Popups, the download list and other stray windows would keep the
        // client (and its proxy) running without a window to return to.
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget != this && widget->isVisible() && !qobject_cast<BrowserMainWindow*>(widget))
                widget->close();
        }
    }
    event->accept();
    QSettings settings;
    settings.beginGroup(GeometryGroup);
    settings.setValue(GeometryKey, saveGeometry());
    deleteLater();
}

void BrowserMainWindow::updateZoomIndicator()
{
    WebView* view = m_watchedView;
    const int percent = view ? qRound(view->zoomFactor() * 100) : 100;
    if (percent == 100) {
        m_zoomLabel->setObjectName(QStringLiteral("zoomLevel"));
        m_zoomLabel->hide();
        return;
    }
    m_zoomLabel->setText(tr("%1 %", "zoom level in the status bar").arg(percent));
    m_zoomLabel->show();
}

void BrowserMainWindow::currentTabChanged(int index)
{
    auto* view = qobject_cast<WebView*>(m_tabWidget->widget(index));
    if (view != m_watchedView) {
        if (m_watchedView)
            disconnect(m_watchedView, nullptr, this, nullptr);
        m_watchedView = view;
        if (view) {
            connect(view, &QWebEngineView::loadStarted, this, &BrowserMainWindow::currentLoadStarted);
            connect(view, &QWebEngineView::loadFinished, this, &BrowserMainWindow::currentLoadFinished);
        }
    }
    // Without a page (the last tab closed, the placeholder) nothing names one.
    if (!view)
        slotUpdateWindowTitle(QString());
    RepaintBatch::of(this)->drop(m_progressBar, 0);
    const bool loading = view && view->isLoading();
    setProgress(m_progressBar, view ? view->progress() : 0);
    m_progressBar->setVisible(loading);
    if (loading)
        m_progressTimer->start();
    else
        m_progressTimer->stop();
    updateZoomIndicator();
}

// The bar's changes are shown with the page's next frame: a change of the
// bar alone would cost a repaint of the whole window, and one during a load
// would hold up the engine, whose work shares this thread.
void BrowserMainWindow::currentLoadStarted()
{
    RepaintBatch::of(this)->drop(m_progressBar, 0);
    m_progressTimer->start();
}

void BrowserMainWindow::stepProgress()
{
    WebView* view = m_watchedView;
    if (!view || !view->isLoading()) {
        m_progressTimer->stop();
        return;
    }
    const int progress = view->progress();
    RepaintBatch::of(this)->defer(m_progressBar, 0, [this, progress] {
        setProgress(m_progressBar, progress);
        m_progressBar->show();
    });
}

void BrowserMainWindow::currentLoadFinished()
{
    m_progressTimer->stop();
    RepaintBatch* batch = RepaintBatch::of(this);
    batch->drop(m_progressBar, 0);
    if (m_progressBar->isVisible())
        batch->defer(m_progressBar, 0, [this] { m_progressBar->hide(); });
    // The engine applies a host's zoom as the page commits.
    updateZoomIndicator();
}
