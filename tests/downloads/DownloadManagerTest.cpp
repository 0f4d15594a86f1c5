// The download list without the web engine: sizes and info lines, a row fed past 4 GiB by a fake
// progress source, rows kept by "Clean up", the folder button, and what the list saves.
#include "downloads/DownloadManager.h"
#include "GuiTest.h"
#include "downloads/DownloadWidget.h"
#include "shell/widgets/EditTableView.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 GiB = 1024 * MiB;

// Stands in for a web-engine download item's progress signal.
class FakeProgressSource : public QObject {
    Q_OBJECT
signals:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
};

// Records the URLs the desktop is asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl& url) { urls.append(url); }
};

} // namespace

class DownloadManagerTest : public QObject {
    Q_OBJECT

private slots:
    void init() { nativeStore()->clear(); }

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total"); // -1: the size alone
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("text");
        QTest::newRow("1 GiB - 1") << GiB - 1 << qint64(-1) << 0.0 << "1023 MB";
        QTest::newRow("1 GiB") << GiB << qint64(-1) << 0.0 << "1.0 GB";
        QTest::newRow("past 4 GiB") << 5 * GiB + 3 * GiB / 4 << qint64(-1) << 0.0 << "5.8 GB";
        QTest::newRow("unknown total") << 3 * MiB << qint64(0) << 100.0 * KiB << "3 MB of ? (100 kB/sec) ";
        QTest::newRow("90 s is 1 minute")
            << qint64(0) << 90 * KiB << double(KiB) << "0 bytes of 90 kB (1 kB/sec) - 1 minutes remaining";
        QTest::newRow("0.2 s is 1 second")
            << qint64(800) << qint64(1000) << 1000.0
            << "800 bytes of 1000 bytes (1000 bytes/sec) - 1 seconds remaining";
        QTest::newRow("nothing arrived yet") << qint64(0) << MiB << 0.0 << "0 bytes of 1 MB (0 bytes/sec) ";
        QTest::newRow("progress past 4 GiB")
            << 5 * GiB << 6 * GiB << 10.0 * MiB << "5.0 GB of 6.0 GB (10 MB/sec) - 1 minutes remaining";
    }
    void sizeTexts()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(double, speed);
        QFETCH(QString, text);
        QCOMPARE(total < 0 ? DownloadWidget::dataString(received)
                           : DownloadWidget::progressText(received, total, speed),
            text);
    }

    void progressOverFourGiBFromFakeSource()
    {
        DownloadWidget row(nullptr);
        FakeProgressSource source;
        connect(&source, &FakeProgressSource::downloadProgress, &row, &DownloadWidget::downloadProgress);
        auto* bar = child<QProgressBar>(&row, "progressBar");
        auto* info = child<QLabel>(&row, "downloadInfoLabel");
        emit source.downloadProgress(4 * GiB + 512 * MiB, 6 * GiB);
        QCOMPARE(row.bytesReceived(), 4 * GiB + 512 * MiB);
        QCOMPARE(row.bytesTotal(), 6 * GiB);
        QVERIFY2(info->text().startsWith("4.5 GB of 6.0 GB ("), qPrintable(info->text()));
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(double(bar->value()) / bar->maximum(), 0.75);
    }

    void unfinishedRowsSurviveCleanupAndOpenFolder()
    {
        DownloadManager manager;
        auto* view = child<EditTableView>(&manager, "downloadsView");
        manager.addItem(new DownloadWidget(nullptr, &manager));
        manager.addItem(new DownloadWidget(nullptr, &manager));
        QCOMPARE(child<QLabel>(&manager, "itemCount")->text(), QStringLiteral("2 Downloads"));
        // Rows that never completed stay through "Clean up" and the delete key.
        manager.cleanup();
        view->setCurrentIndex(view->model()->index(1, 0));
        QTest::keyClick(view, Qt::Key_Delete);
        QCOMPARE(manager.count(), 2);

        UrlRecorder recorder;
        QDesktopServices::setUrlHandler("file", &recorder, "openUrl");
        auto* openFolder = child<QPushButton>(&manager, "openForderButton");
        QCOMPARE(openFolder->text(), QStringLiteral("Open Folder"));
        QTest::mouseClick(openFolder, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(recorder.urls,
            QList<QUrl> {
                QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)) });
    }

    void saveAfterDelayWritesRowsAndDropsStaleOnes()
    {
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        for (int i = 0; i < 3; ++i) {
            store->setValue(QStringLiteral("download_%1_url").arg(i), QUrl("http://old.test/"));
            store->setValue(QStringLiteral("download_%1_location").arg(i), "/old");
            store->setValue(QStringLiteral("download_%1_done").arg(i), true);
        }
        store->sync();
        DownloadManager manager;
        auto* row = new DownloadWidget(nullptr, &manager);
        manager.addItem(row);
        // Adding a row alone schedules nothing; a policy change does, 3 s later.
        QElapsedTimer clock;
        clock.start();
        manager.setRemovePolicy(DownloadManager::SuccessFullDownload);
        QTRY_VERIFY_WITH_TIMEOUT((store->sync(), store->contains("removeDownloadsPolicy")), 6000);
        QVERIFY2(clock.elapsed() >= 2850, // coarse timers may fire 5% early
            qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(store->value("removeDownloadsPolicy").toString(), QStringLiteral("SuccessFullDownload"));
        QCOMPARE(store->value("size").toSize(), manager.size());
        QCOMPARE(store->value("download_0_location").toString(), row->file().filePath());
        QCOMPARE(store->value("download_0_done").toBool(), false);
        QCOMPARE(store->childKeys().filter(QRegularExpression("^download_[12]_")), QStringList());
    }

    void exitPolicyWritesOnlyPolicyAndSize()
    {
        nativeStore()->setValue("downloadmanager/download_0_url", QUrl("http://old.test/"));
        {
            DownloadManager manager;
            manager.resize(400, 300);
            manager.addItem(new DownloadWidget(nullptr, &manager));
            manager.setRemovePolicy(DownloadManager::Exit); // destruction saves at once
        }
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        QStringList keys = store->childKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList { "download_0_url", "removeDownloadsPolicy", "size" }));
        QCOMPARE(store->value("removeDownloadsPolicy").toString(), QStringLiteral("Exit"));
        QCOMPARE(store->value("size").toSize(), QSize(400, 300));
        QCOMPARE(store->value("download_0_url").toUrl(), QUrl("http://old.test/"));
    }
};

QTEST_MAIN(DownloadManagerTest)
#include "DownloadManagerTest.moc"
