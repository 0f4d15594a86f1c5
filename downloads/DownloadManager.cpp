#include "downloads/DownloadManager.h"

#include "downloads/DownloadModel.h"
#include "downloads/DownloadNames.h"
#include "downloads/DownloadWidget.h"
#include "ui_DownloadDialog.h"
#include "ui_DownloadItem.h"
#include "widgets/AutoSaver.h"
#include "widgets/Identity.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QMainWindow>
#include <QMetaEnum>
#include <QSettings>
#include <QStatusBar>
#include <QWebEngineDownloadItem>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <algorithm>

DownloadManager::DownloadManager(QWidget* parent)
    : QDialog(parent)
    , m_ui(new Ui::DownloadDialog)
    , m_autoSaver(new AutoSaver(this))
{
    m_ui->setupUi(this);
    EditTableView* view = m_ui->downloadsView;
    view->setShowGrid(false);
    view->verticalHeader()->hide();
    view->horizontalHeader()->hide();
    view->setAlternatingRowColors(true);
    view->horizontalHeader()->setStretchLastSection(true);
    m_model = new DownloadModel(this, this);
    view->setModel(m_model);
    connect(m_ui->cleanupButton, &QPushButton::clicked, this, &DownloadManager::cleanup);
    connect(m_ui->openForderButton, &QPushButton::clicked, this, &DownloadManager::openForder);
    load();
}

void DownloadManager::load()
{
    QSettings settings(QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
    settings.beginGroup(QStringLiteral("downloadmanager"));
    for (int i = 0;; ++i) {
        const QString key = QStringLiteral("download_%1_").arg(i);
        if (!settings.contains(key + QLatin1String("url")))
            break;
        // Unfinished downloads cannot go on in a new run, and a file moved
        // away since has nothing left to open.
        const QString location = settings.value(key + QLatin1String("location")).toString();
        if (!settings.value(key + QLatin1String("done")).toBool() || !QFileInfo(location).isFile())
            continue;
        auto* widget = new DownloadWidget(nullptr, this);
        widget->showFinished(settings.value(key + QLatin1String("url")).toUrl(), location);
        addItem(widget);
    }
    m_ui->cleanupButton->setEnabled(m_downloads.count() - activeDownloads() > 0);
}

DownloadManager::~DownloadManager()
{
    m_autoSaver->changeOccurred();
    m_autoSaver->saveIfPending();
    m_iconProvider.reset();
    // The profile goes with the application object, after the engine part
    // behind it: it then cancels each download it still sees running, on
    // that dead part, and crashes. A quitting browser cancels unfinished
    // downloads here (the rows were saved as they were) and hands the items
    // back while the profile lives, so none is left for it.
    for (DownloadWidget* widget : qAsConst(m_downloads)) {
        if (QWebEngineDownloadItem* item = widget->download()) {
            disconnect(item, nullptr, widget, nullptr);
            if (item->state() == QWebEngineDownloadItem::DownloadInProgress)
                item->cancel();
        }
    }
    // Replaced and unlisted items too: their state may lag behind the engine.
    if (m_profile)
        qDeleteAll(m_profile->findChildren<QWebEngineDownloadItem*>(QString(), Qt::FindDirectChildrenOnly));
}

void DownloadManager::setRemovePolicy(RemovePolicy policy)
{
    if (policy == m_removePolicy)
        return;
    m_removePolicy = policy;
    m_autoSaver->changeOccurred();
}

int DownloadManager::activeDownloads() const
{
    // Rows that "Clean up" keeps: the running ones.
    return int(std::count_if(m_downloads.begin(), m_downloads.end(),
        [](const DownloadWidget* widget) { return widget->state() == DownloadWidget::State::Running; }));
}

void DownloadManager::download(QWebEngineDownloadItem* download)
{
    m_profile = download->parent();
    for (DownloadWidget* widget : qAsConst(m_downloads)) {
        QWebEngineDownloadItem* watched = widget->download();
        // A request handed over twice still gets one row.
        if (watched == download)
            return;
        // The engine retries a download whose connection dropped under the
        // same id but as a new item: the row follows the new item.
        if (watched && watched->id() == download->id() && watched->parent() == download->parent()) {
            widget->follow(download);
            return;
        }
    }
    // A row retried from scratch takes the new item of its URL.
    for (int i = 0; i < m_restarting.count(); ++i) {
        DownloadWidget* widget = m_restarting.at(i);
        if (widget && widget->url() == download->url()) {
            m_restarting.removeAt(i);
            widget->follow(download);
            return;
        }
    }
    auto* widget = new DownloadWidget(download, this);
    addItem(widget);
    announce(download, widget);
}

void DownloadManager::announce(QWebEngineDownloadItem* download, DownloadWidget* widget)
{
    if (!m_shownForDownload) {
        m_shownForDownload = true;
        show();
        raise();
        return;
    }
    // Later downloads only mark the status bar of the window that asked,
    // else of the active main window.
    QMainWindow* window = nullptr;
    if (QWebEnginePage* page = download->page()) {
        if (QWidget* view = page->view())
            window = qobject_cast<QMainWindow*>(view->window());
    }
    const QWidgetList topLevels = QApplication::topLevelWidgets();
    for (QWidget* candidate : topLevels) {
        if (window)
            break;
        auto* mainWindow = qobject_cast<QMainWindow*>(candidate);
        if (mainWindow && mainWindow->isVisible() && mainWindow->isActiveWindow())
            window = mainWindow;
    }
    for (QWidget* candidate : topLevels) {
        if (window)
            break;
        auto* mainWindow = qobject_cast<QMainWindow*>(candidate);
        if (mainWindow && mainWindow->isVisible())
            window = mainWindow;
    }
    if (window)
        window->statusBar()->showMessage(tr("Downloading %1").arg(widget->file().fileName()), 5000);
}

void DownloadManager::restartRow()
{
    auto* widget = qobject_cast<DownloadWidget*>(sender());
    if (!widget || !m_downloads.contains(widget))
        return;
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    if (!m_restartPage) {
        m_restartPage = new QWebEnginePage(profile, this);
        connect(profile, &QWebEngineProfile::downloadRequested, this, &DownloadManager::restartRequested);
    }
    m_restarting.append(widget);
    m_restartPage->download(widget->url(), widget->file().fileName());
}

void DownloadManager::restartRequested(QWebEngineDownloadItem* download)
{
    // No tab shows this page: the item is taken here even when no window
    // takes it (taken twice, the second call finds its row and does nothing).
    if (download->page() != m_restartPage || download->state() != QWebEngineDownloadItem::DownloadRequested)
        return;
    this->download(download);
    download->accept();
}

void DownloadManager::addItem(DownloadWidget* widget)
{
    connect(widget, &DownloadWidget::statusChanged, this, &DownloadManager::updateRow);
    connect(widget, &DownloadWidget::restartRequested, this, &DownloadManager::restartRow);
    const int row = m_downloads.count();
    m_model->beginInsertRows(QModelIndex(), row, row);
    m_downloads.append(widget);
    m_model->endInsertRows();
    updateItemCount();
    m_ui->downloadsView->setIndexWidget(m_model->index(row, 0), widget);
    const QIcon icon = style()->standardIcon(QStyle::SP_FileIcon);
    widget->m_ui->fileIcon->setPixmap(icon.pixmap(48, 48));
    m_ui->downloadsView->setRowHeight(row, widget->sizeHint().height());
}

void DownloadManager::updateRow()
{
    auto* widget = qobject_cast<DownloadWidget*>(sender());
    const int row = m_downloads.indexOf(widget);
    if (row < 0)
        return;
    if (!m_iconProvider)
        m_iconProvider.reset(new QFileIconProvider);
    QIcon icon = m_iconProvider->icon(widget->file());
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_FileIcon);
    widget->m_ui->fileIcon->setPixmap(icon.pixmap(48, 48));
    m_ui->downloadsView->setRowHeight(row, widget->minimumSizeHint().height());
    if (widget->downloadedSuccessfully() && m_removePolicy == SuccessFullDownload)
        m_model->removeRow(row);
    m_ui->cleanupButton->setEnabled(m_downloads.count() - activeDownloads() > 0);
}

void DownloadManager::updateItemCount()
{
    const int count = m_downloads.count();
    m_ui->itemCount->setText(count == 1 ? tr("1 Download") : tr("%1 Downloads").arg(count));
}

void DownloadManager::cleanup()
{
    if (m_downloads.isEmpty())
        return;
    m_model->removeRows(0, m_downloads.count());
    updateItemCount();
    if (m_downloads.isEmpty())
        m_iconProvider.reset();
    m_ui->cleanupButton->setEnabled(m_downloads.count() - activeDownloads() > 0);
    m_autoSaver->changeOccurred();
}

void DownloadManager::openForder()
{
    // Where downloads go now, whichever folder a row was saved to.
    const QString location = DownloadNames::folder();
    QDesktopServices::openUrl(QUrl::fromLocalFile(location));
}

void DownloadManager::save()
{
    QSettings settings(QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
    settings.beginGroup(QStringLiteral("downloadmanager"));
    const QMetaEnum policyEnum = QMetaEnum::fromType<RemovePolicy>();
    settings.setValue(
        QStringLiteral("removeDownloadsPolicy"), QLatin1String(policyEnum.valueToKey(m_removePolicy)));
    settings.setValue(QStringLiteral("size"), size());
    if (m_removePolicy == Exit)
        return;
    for (int i = 0; i < m_downloads.count(); ++i) {
        const QString key = QStringLiteral("download_%1_").arg(i);
        const DownloadWidget* widget = m_downloads.at(i);
        settings.setValue(key + QLatin1String("url"), widget->url());
        settings.setValue(key + QLatin1String("location"), widget->file().filePath());
        settings.setValue(key + QLatin1String("done"), widget->downloadedSuccessfully());
    }
    for (int i = m_downloads.count();; ++i) {
        const QString key = QStringLiteral("download_%1_").arg(i);
        if (!settings.contains(key + QLatin1String("url")))
            break;
        settings.remove(key + QLatin1String("url"));
        settings.remove(key + QLatin1String("location"));
        settings.remove(key + QLatin1String("done"));
    }
}
