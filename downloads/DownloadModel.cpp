#include "downloads/DownloadModel.h"

#include "downloads/DownloadManager.h"
#include "downloads/DownloadWidget.h"
#include "widgets/AutoSaver.h"

#include <QLabel>

DownloadModel::DownloadModel(DownloadManager* manager, QObject* parent)
    : QAbstractListModel(parent)
    , m_manager(manager)
{
}

int DownloadModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_manager->m_downloads.count();
}

QVariant DownloadModel::data(const QModelIndex& index, int role) const
{
    if (index.row() < 0 || index.row() >= rowCount(index.parent()) || role != Qt::ToolTipRole)
        return QVariant();
    const DownloadWidget* widget = m_manager->m_downloads.at(index.row());
    if (widget->downloadedSuccessfully())
        return QVariant();
    return widget->findChild<QLabel*>(QStringLiteral("downloadInfoLabel"))->text();
}

bool DownloadModel::removeRows(int row, int count, const QModelIndex& parent)
{
    if (parent.isValid())
        return false;
    QList<DownloadWidget*>& downloads = m_manager->m_downloads;
    const int last = qMin(row + count, downloads.count()) - 1;
    for (int i = last; i >= qMax(row, 0); --i) {
        DownloadWidget* widget = downloads.at(i);
        if (widget->state() == DownloadWidget::State::Running)
            continue;
        beginRemoveRows(parent, i, i);
        downloads.removeAt(i);
        widget->discard();
        widget->deleteLater();
        endRemoveRows();
    }
    m_manager->m_autoSaver->changeOccurred();
    return true;
}
