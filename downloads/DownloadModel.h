#pragma once
#include <QAbstractListModel>

class DownloadManager;

// Presents the manager's rows to its table; removing rows drops only
// downloads that completed, so "Clean up" and the delete keys never lose a
// running or failed one.
class DownloadModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit DownloadModel(DownloadManager* manager, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

private:
    friend class DownloadManager; // announces the rows it appends
    DownloadManager* m_manager;
};
