#include "downloads/DownloadWidget.h"

#include "downloads/DownloadNames.h"
#include "ui_DownloadItem.h"

#include <QDesktopServices>
#include <QDir>
#include <QTextDocument>
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
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &DownloadWidget::stop);
    connect(m_ui->retryButton, &QPushButton::clicked, this, &DownloadWidget::retry);

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
                else if (state == QWebEngineDownloadItem::DownloadInProgress && m_state != State::Running)
                    setState(State::Running); // resumed
            });
    }
    m_ui->progressBar->setValue(0);
    setState(State::Running);
    getFileName();
    m_downloadTime.start();
}

void DownloadWidget::setState(State state)
{
    m_state = state;
    m_ui->progressBar->setVisible(state == State::Running);
    m_ui->cancelButton->setVisible(state == State::Running);
    m_ui->retryButton->setVisible(state == State::Interrupted);
    m_ui->openButton->setEnabled(state == State::Finished);
    switch (state) {
    case State::Running:
        m_ui->downloadInfoLabel->clear(); // until progress arrives
        break;
    case State::Cancelled: m_ui->downloadInfoLabel->setText(tr("Download cancelled")); break;
    case State::Interrupted: m_ui->downloadInfoLabel->setText(tr("Download interrupted")); break;
    case State::Finished: m_ui->downloadInfoLabel->setText(dataString(m_bytesReceived)); break;
    }
    updateToolTip();
    emit statusChanged();
}

void DownloadWidget::showFinished(const QUrl& url, const QString& path)
{
    if (m_download)
        disconnect(m_download, nullptr, this, nullptr);
    m_download = nullptr;
    releaseName();
    m_url = url;
    m_file.setFile(path);
    m_bytesReceived = m_bytesTotal = m_file.size();
    m_ui->fileNameLabel->setText(m_file.fileName());
    setState(State::Finished);
}

void DownloadWidget::updateToolTip()
{
    // The info line may be squeezed; the tip holds all of it, escaped.
    const QString text = m_file.fileName() + QLatin1Char('\n') + m_ui->downloadInfoLabel->text();
    setToolTip(Qt::convertFromPlainText(text.trimmed(), Qt::WhiteSpaceNormal));
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
    // Always the download folder: the engine's suggested folder comes from
    // the page and may be anywhere. A retry keeps the name its row holds
    // (an interrupted row keeps it, partial file and all).
    if (m_heldName.isEmpty()) {
        const QString directory = DownloadNames::folder();
        const QString suggested
            = m_file.fileName().isEmpty() ? m_download->downloadFileName() : m_file.fileName();
        // A fresh account may have no download folder yet; the engine would
        // then fail the download instead of creating it.
        if (!directory.isEmpty() && QDir().mkpath(directory))
            m_heldName = DownloadNames::shared().reserve(directory, suggested);
    }
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
    if (m_state != State::Running)
        return;
    if (m_download)
        m_download->cancel();
    // The item reports the cancellation itself; a row without one, or an
    // item the engine already let go of, is cancelled here.
    if (m_state == State::Running) {
        releaseName();
        setState(State::Cancelled);
    }
}

void DownloadWidget::discard()
{
    if (!m_download)
        return;
    disconnect(m_download, nullptr, this, nullptr);
    if (m_download->state() == QWebEngineDownloadItem::DownloadInterrupted)
        m_download->cancel();
    m_download = nullptr;
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

void DownloadWidget::retry()
{
    if (m_state != State::Interrupted)
        return;
    m_downloadTime.restart();
    // The engine resumes an item it still holds where it stopped.
    if (m_download && !m_download->isFinished()
        && (m_download->isPaused() || m_download->state() == QWebEngineDownloadItem::DownloadInterrupted)) {
        setState(State::Running);
        m_download->resume();
        return;
    }
    m_bytesReceived = 0;
    m_ui->progressBar->setValue(0);
    setState(State::Running);
    emit restartRequested();
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
    if (m_state == State::Cancelled || m_state == State::Interrupted)
        return;
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
    updateToolTip();
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
    if (!m_download)
        return;
    switch (m_download->state()) {
    case QWebEngineDownloadItem::DownloadCancelled:
        releaseName();
        setState(State::Cancelled);
        break;
    case QWebEngineDownloadItem::DownloadInterrupted:
        // The name stays held: a retry writes the same file.
        setState(State::Interrupted);
        break;
    case QWebEngineDownloadItem::DownloadCompleted:
        // "Open" opens what the engine wrote; the file now holds the name.
        m_file.setFile(QDir(m_download->downloadDirectory()).filePath(m_download->downloadFileName()));
        releaseName();
        m_bytesReceived = m_download->receivedBytes();
        setState(State::Finished);
        break;
    default:
        updateInfoLabel();
        emit statusChanged();
        break;
    }
}
