#pragma once
#include <QDialog>
#include <QList>
#include <QPointer>
#include <memory>

class AutoSaver;
class DownloadModel;
class DownloadWidget;
class QFileIconProvider;
class QWebEngineDownloadItem;
class QWebEnginePage;
namespace Ui {
class DownloadDialog;
}

// The "Downloads" dialog: one row per download a page starts, saved without
// asking into the download folder. The application owns the single instance;
// the tabs hand it every download request. It opens on the first download of
// a run; later ones are announced in the main window's status bar. The list
// goes to the native settings store a few seconds after rows are removed or
// the policy changes, and on destruction; finished downloads whose files are
// still there come back at the next start.
class DownloadManager : public QDialog {
    Q_OBJECT
    Q_PROPERTY(RemovePolicy removePolicy READ removePolicy WRITE setRemovePolicy)

public:
    enum RemovePolicy { Never, Exit, SuccessFullDownload };
    Q_ENUM(RemovePolicy)

    explicit DownloadManager(QWidget* parent = nullptr);
    ~DownloadManager() override;

    int activeDownloads() const;
    int count() const { return m_downloads.count(); }
    RemovePolicy removePolicy() const { return m_removePolicy; }
    void setRemovePolicy(RemovePolicy policy);
    void addItem(DownloadWidget* widget);

public slots:
    void download(QWebEngineDownloadItem* download);
    void cleanup();
    void openForder();

private slots:
    void save();
    void updateRow();
    void restartRow();
    void restartRequested(QWebEngineDownloadItem* download);

private:
    friend class DownloadModel;
    void updateItemCount();
    void load();
    void announce(QWebEngineDownloadItem* download, DownloadWidget* widget);

    std::unique_ptr<Ui::DownloadDialog> m_ui;
    AutoSaver* m_autoSaver;
    DownloadModel* m_model;
    std::unique_ptr<QFileIconProvider> m_iconProvider;
    QList<DownloadWidget*> m_downloads;
    RemovePolicy m_removePolicy = Never;
    QPointer<QObject> m_profile; // owner of the download items
    bool m_shownForDownload = false;
    QWebEnginePage* m_restartPage = nullptr; // downloads the URLs of rows retried from scratch
    QList<QPointer<DownloadWidget>> m_restarting; // waiting for their new item, oldest first
};
