#include "shell/BrowserMainWindow.h"

#include "downloads/DownloadManager.h"
#include "settings/SettingsDialog.h"
#include "shell/BrowserApplication.h"
#include "shell/PlainText.h"
#include "shell/ProxyHolder.h"
#include "shell/TabWidget.h"
#include "shell/WebView.h"
#include "shell/widgets/Identity.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDataStream>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QtDebug>

#include <algorithm>

BrowserMainWindow::BrowserMainWindow(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
    , m_tabWidget(new TabWidget(this))
    , m_progressBar(new QProgressBar(this))
    , m_zoomLabel(new QLabel(this))
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
    connect(m_tabWidget, &QTabWidget::currentChanged, this, &BrowserMainWindow::currentTabChanged);

    // No menus: the two dialogs are reached by keyboard (and from the tab
    // bar's context menu).
    auto* downloads = new QShortcut(QKeySequence(tr("Ctrl+J")), this);
    connect(downloads, SIGNAL(activated()), this, SLOT(slotDownloadManager()));
    auto* preferences = new QShortcut(QKeySequence(tr("Ctrl+,")), this);
    connect(preferences, SIGNAL(activated()), this, SLOT(slotPreferences()));

    slotUpdateWindowTitle(QString());

    QSettings settings;
    settings.beginGroup(QStringLiteral("BrowserMainWindow"));
    restoreState(settings.value(QStringLiteral("defaultState")).toByteArray(), 0);
    settings.endGroup();
    restoreWindowGeometry();

    m_tabWidget->newTab(true);
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
        const ProxyHolder& holder = ProxyHolder::instance();
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
    if (WebView* view = currentTab())
        view->setZoomFactor(view->zoomFactor() + 0.1);
}

void BrowserMainWindow::slotViewZoomOut()
{
    if (WebView* view = currentTab())
        view->setZoomFactor(view->zoomFactor() - 0.1);
}

void BrowserMainWindow::slotViewResetZoom()
{
    if (WebView* view = currentTab())
        view->setZoomFactor(1.0);
}

void BrowserMainWindow::slotViewPageSource()
{
    WebView* view = currentTab();
    if (!view)
        return;
    auto* editor = new QPlainTextEdit;
    editor->setWindowTitle(tr("Page Source of %1").arg(PlainText::forWindowTitle(view->title())));
    editor->setMinimumWidth(640);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor->show();
    QPointer<QPlainTextEdit> guard(editor);
    view->page()->toHtml([guard](const QString& html) {
        if (guard)
            guard->setPlainText(html);
    });
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
            connect(view, &QWebEngineView::loadProgress, this, &BrowserMainWindow::currentLoadProgress);
            connect(view, &QWebEngineView::loadFinished, this, &BrowserMainWindow::currentLoadFinished);
        }
    }
    // Without a page (the last tab closed, the placeholder) nothing names one.
    if (!view)
        slotUpdateWindowTitle(QString());
    m_progressBar->setValue(view ? view->progress() : 0);
    m_progressBar->setVisible(view && view->isLoading());
    updateZoomIndicator();
}

void BrowserMainWindow::currentLoadStarted()
{
    m_progressBar->setValue(0);
    m_progressBar->show();
}

void BrowserMainWindow::currentLoadProgress(int progress)
{
    m_progressBar->setValue(progress);
}

void BrowserMainWindow::currentLoadFinished()
{
    m_progressBar->hide();
    // The engine applies a host's zoom as the page commits.
    updateZoomIndicator();
}
