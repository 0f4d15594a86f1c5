#pragma once
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>
#include <QWebEngineDownloadItem>
#include <QWidget>
#include <memory>

namespace Ui {
class DownloadItem;
}

// One row of the download list: the file's name and icon, a progress bar,
// what has arrived so far, the speed and the time left, and the buttons the
// row's state allows (Cancel while running, Retry once interrupted, Open when
// finished). It watches a web-engine download item it does not own; a row
// built without an item only shows what it is told.
class DownloadWidget : public QWidget {
    Q_OBJECT
signals:
    void statusChanged();
    // The item cannot go on: the manager starts the URL again and hands the
    // new item to follow.
    void restartRequested();

public:
    enum class State { Running, Cancelled, Interrupted, Finished };

    explicit DownloadWidget(QWebEngineDownloadItem* download, QWidget* parent = nullptr);
    ~DownloadWidget() override;

    bool downloadedSuccessfully() const { return m_state == State::Finished; }
    State state() const { return m_state; }
    // Shows the state: progress bar and Cancel while running, Retry when
    // interrupted, Open enabled only when finished.
    void setState(State state);
    // A download finished in an earlier run, its file still there.
    void showFinished(const QUrl& url, const QString& path);
    QUrl url() const { return m_url; }
    QFileInfo file() const { return m_file; }
    QWebEngineDownloadItem* download() const { return m_download; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    qint64 bytesTotal() const { return m_bytesTotal; }

    // "512 bytes", "12 kB", "3 MB", "4.5 GB".
    static QString dataString(qint64 size);
    // The info line of a running download; total 0 means unknown.
    static QString progressText(qint64 bytesReceived, qint64 bytesTotal, double bytesPerSecond);

    // The row leaves the list: an interrupted item the engine still holds
    // (and its partial file) goes too.
    void discard();

    // Watches a retry of the same download instead of the item it had.
    void follow(QWebEngineDownloadItem* download);

public slots:
    void stop();
    void open();
    void restart();
    void retry();
    void downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void finished();

private:
    friend class DownloadManager;
    void init();
    void getFileName();
    void updateInfoLabel();
    void updateToolTip();
    void releaseName();

    std::unique_ptr<Ui::DownloadItem> m_ui;
    QUrl m_url;
    QFileInfo m_file;
    QString m_heldName; // reserved in DownloadNames::shared() until the download ends
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = 0; // 0 while the size is unknown
    QElapsedTimer m_downloadTime;
    State m_state = State::Running;
    QPointer<QWebEngineDownloadItem> m_download;
};
