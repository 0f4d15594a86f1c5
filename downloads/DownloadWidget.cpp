#include "downloads/DownloadWidget.h"

#include "downloads/DownloadNames.h"
#include "ui_DownloadItem.h"

#include <QDesktopServices>
#include <QDir>
#include <QStandardPaths>
#include <QWebEngineDownloadItem>
#include <climits>
#include <cmath>

DownloadWidget::DownloadWidget(QWebEngineDownloadItem* download, QWidget* parent)
    : QWidget(parent)
    , m_ui(new Ui::DownloadItem)
    , m_download(download)
{
    m_ui->setupUi(this);
    QPalette palette = m_ui->downloadInfoLabel->palette();
    palette.setColor(QPalette::Text, Qt::darkGray);
    palette.setColor(QPalette::WindowText, Qt::darkGray);
    m_ui->downloadInfoLabel->setPalette(palette);
    m_ui->progressBar->setMaximum(0);
    connect(m_ui->openButton, &QPushButton::clicked, this, &DownloadWidget::open);
    // The bar is never shown: it only carries the scaled total and progress.
    m_ui->progressBar->hide();

    if (m_download)
        m_url = m_download->url();
    init();
}

DownloadWidget::~DownloadWidget()
{
    releaseName();
}

void DownloadWidget::releaseName()
{
    if (!m_heldName.isEmpty())
        DownloadNames::shared().release(m_heldName);
    m_heldName.clear();
}

void DownloadWidget::init()
{
    if (m_download) {
        connect(
            m_download, &QWebEngineDownloadItem::downloadProgress, this, &DownloadWidget::downloadProgress);
        connect(m_download, &QWebEngineDownloadItem::finished, this, &DownloadWidget::finished);
        // A dropped connection leaves the item interrupted but resumable,
        // which the engine does not count as finished: report it anyway.
        connect(m_download, &QWebEngineDownloadItem::stateChanged, this,
            [this](QWebEngineDownloadItem::DownloadState state) {
                if (state == QWebEngineDownloadItem::DownloadInterrupted)
                    finished();
            });
    }
    m_ui->downloadInfoLabel->clear();
    m_ui->progressBar->setValue(0);
    getFileName();
    m_downloadTime.start();
}

void DownloadWidget::follow(QWebEngineDownloadItem* download)
{
    if (m_download)
        disconnect(m_download, nullptr, this, nullptr);
    m_download = download;
    m_url = download->url();
    init();
}

void DownloadWidget::getFileName()
{
    if (!m_download) {
        m_ui->fileNameLabel->setText(m_file.fileName());
        return;
    }
    if (m_download->state() != QWebEngineDownloadItem::DownloadRequested) {
        m_file.setFile(QDir(m_download->downloadDirectory()).filePath(m_download->downloadFileName()));
        m_ui->fileNameLabel->setText(m_file.fileName());
        return;
    }
    // Always the standard location: the engine's suggested folder comes from
    // the page and may be anywhere. A retry keeps the name its row had.
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString suggested
        = m_file.fileName().isEmpty() ? m_download->downloadFileName() : m_file.fileName();
    releaseName();
    // A fresh account may have no download folder yet; the engine would
    // then fail the download instead of creating it.
    if (!directory.isEmpty() && QDir().mkpath(directory))
        m_heldName = DownloadNames::shared().reserve(directory, suggested);
    m_file.setFile(m_heldName);
    m_ui->fileNameLabel->setText(m_file.fileName());
    if (m_heldName.isEmpty()) {
        m_download->cancel();
        finished();
        return;
    }
    // The directory first: setting it may pick a new name unless one is set.
    m_download->setDownloadDirectory(m_file.absolutePath());
    m_download->setDownloadFileName(m_file.fileName());
    const QString written
        = QDir::cleanPath(QDir(m_download->downloadDirectory()).filePath(m_download->downloadFileName()));
    if (written != m_heldName) {
        m_download->cancel();
        finished();
    }
}

void DownloadWidget::stop()
{
    setUpdatesEnabled(false);
    setUpdatesEnabled(true);
    if (m_download)
        m_download->cancel();
    emit statusChanged();
}

void DownloadWidget::open()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_file.absoluteFilePath()));
}

void DownloadWidget::restart()
{
    if (m_download)
        m_download->accept();
    emit statusChanged();
}

void DownloadWidget::downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    // The engine still reports (zero) progress after an interruption; the
    // row keeps its message instead.
    if (m_download
        && (m_download->state() == QWebEngineDownloadItem::DownloadInterrupted
            || m_download->state() == QWebEngineDownloadItem::DownloadCancelled))
        return;
    m_bytesReceived = bytesReceived;
    QProgressBar* bar = m_ui->progressBar;
    if (bytesTotal < 0) {
        m_bytesTotal = 0;
        bar->setValue(0);
        bar->setMaximum(0);
    } else {
        m_bytesTotal = bytesTotal;
        // The bar counts in int: files past 2 GiB are shown in coarser steps.
        int shift = 0;
        while ((bytesTotal >> shift) > INT_MAX)
            ++shift;
        bar->setMaximum(static_cast<int>(bytesTotal >> shift));
        bar->setValue(static_cast<int>(qBound<qint64>(0, bytesReceived, bytesTotal) >> shift));
    }
    updateInfoLabel();
}

QString DownloadWidget::progressText(qint64 bytesReceived, qint64 bytesTotal, double bytesPerSecond)
{
    QString remainingPart;
    QString totalPart = QStringLiteral("?");
    if (bytesTotal != 0) {
        totalPart = dataString(bytesTotal);
        // Nothing arrived yet: no speed to tell the time left from.
        if (bytesPerSecond > 0) {
            double remaining = (bytesTotal - bytesReceived) / bytesPerSecond;
            QString unit = tr("seconds");
            if (remaining > 60) {
                remaining = remaining / 60;
                unit = tr("minutes");
            }
            remaining = std::floor(remaining);
            if (remaining <= 0)
                remaining = 1;
            remainingPart = tr("- %4 %5 remaining").arg(remaining).arg(unit);
        }
    }
    return tr("%1 of %2 (%3/sec) %4")
        .arg(dataString(bytesReceived), totalPart, dataString(static_cast<qint64>(bytesPerSecond)),
            remainingPart);
}

void DownloadWidget::updateInfoLabel()
{
    QString info;
    if (downloadedSuccessfully()) {
        info = m_bytesReceived == m_bytesTotal
            ? dataString(m_bytesReceived)
            : tr("%1 of %2").arg(dataString(m_bytesReceived), dataString(m_bytesTotal));
    } else {
        const qint64 elapsed = qMax<qint64>(1, m_downloadTime.elapsed());
        info = progressText(m_bytesReceived, m_bytesTotal, m_bytesReceived * 1000.0 / elapsed);
    }
    m_ui->downloadInfoLabel->setText(info);
}

QString DownloadWidget::dataString(qint64 size)
{
    if (size < 1024)
        return tr("%1 %2").arg(size).arg(tr("bytes"));
    if (size < 1024 * 1024)
        return tr("%1 %2").arg(size / 1024).arg(tr("kB"));
    if (size < qint64(1024) * 1024 * 1024)
        return tr("%1 %2").arg(size / (1024 * 1024)).arg(tr("MB"));
    return tr("%1 %2").arg(size / (1024.0 * 1024 * 1024), 0, 'f', 1).arg(tr("GB"));
}

void DownloadWidget::finished()
{
    if (m_download) {
        switch (m_download->state()) {
        case QWebEngineDownloadItem::DownloadCancelled:
            releaseName();
            m_ui->downloadInfoLabel->setText(tr("Download cancelled"));
            return;
        case QWebEngineDownloadItem::DownloadInterrupted:
            releaseName();
            m_ui->downloadInfoLabel->setText(tr("Download interrupted"));
            return;
        case QWebEngineDownloadItem::DownloadCompleted:
            // "Open" opens what the engine wrote; the file now holds the name.
            m_file.setFile(QDir(m_download->downloadDirectory()).filePath(m_download->downloadFileName()));
            releaseName();
            m_bytesReceived = m_download->receivedBytes();
            m_ui->downloadInfoLabel->setText(dataString(m_bytesReceived));
            m_ui->openButton->setEnabled(true);
            break;
        default:
            updateInfoLabel();
            m_ui->openButton->setEnabled(false);
            break;
        }
    }
    m_ui->progressBar->hide();
    emit statusChanged();
}

bool DownloadWidget::downloadedSuccessfully() const
{
    return m_download && m_download->isFinished()
        && m_download->state() == QWebEngineDownloadItem::DownloadCompleted;
}
