// The download list without the web engine; real downloads through the client are in shell_test.
#include "downloads/DownloadManager.h"
#include "GuiTest.h"
#include "downloads/DownloadWidget.h"
#include "shell/widgets/EditTableView.h"

#include <QDesktopServices>
#include <QtTest>
#include <QtWidgets>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 GiB = 1024 * MiB;

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

    // A row fed progress past 4 GiB, as the engine's item would.
    void progressPastFourGiB()
    {
        DownloadWidget row(nullptr);
        row.downloadProgress(4 * GiB + 512 * MiB, 6 * GiB);
        QCOMPARE(row.bytesReceived(), 4 * GiB + 512 * MiB);
        QCOMPARE(row.bytesTotal(), 6 * GiB);
        const QString info = child<QLabel>(&row, "downloadInfoLabel")->text();
        QVERIFY2(info.startsWith("4.5 GB of 6.0 GB ("), qPrintable(info));
        auto* bar = child<QProgressBar>(&row, "progressBar");
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
        QTest::mouseClick(child<QPushButton>(&manager, "openForderButton"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(recorder.urls,
            QList<QUrl> {
                QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)) });
    }

    void savesAfterDelayButUnderExitOnlyPolicyAndSize()
    {
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        for (int i = 0; i < 3; ++i) {
            store->setValue(QStringLiteral("download_%1_url").arg(i), QUrl("http://old.test/"));
            store->setValue(QStringLiteral("download_%1_location").arg(i), "/old");
            store->setValue(QStringLiteral("download_%1_done").arg(i), true);
        }
        store->sync();
        auto manager = std::make_unique<DownloadManager>();
        auto* row = new DownloadWidget(nullptr, manager.get());
        manager->addItem(row);
        // Adding a row alone schedules nothing; a policy change does, 3 s later. The row is
        // written over the old first one, the other two go.
        QElapsedTimer clock;
        clock.start();
        manager->setRemovePolicy(DownloadManager::SuccessFullDownload);
        QTRY_VERIFY_WITH_TIMEOUT((store->sync(), store->contains("removeDownloadsPolicy")), 6000);
        QVERIFY2(clock.elapsed() >= 2850, // coarse timers may fire 5% early
            qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(store->value("removeDownloadsPolicy").toString(), QStringLiteral("SuccessFullDownload"));
        QCOMPARE(store->value("download_0_location").toString(), row->file().filePath());
        QCOMPARE(store->value("download_0_done").toBool(), false);
        const QStringList keys = store->childKeys();
        QCOMPARE(keys.filter(QRegularExpression("^download_[12]_")), QStringList());

        // Under "Exit" destruction saves at once, and only the policy and size: no second row.
        manager->addItem(new DownloadWidget(nullptr, manager.get()));
        manager->resize(400, 300);
        manager->setRemovePolicy(DownloadManager::Exit);
        manager.reset();
        store->sync();
        QCOMPARE(store->childKeys(), keys);
        QCOMPARE(store->value("removeDownloadsPolicy").toString(), QStringLiteral("Exit"));
        QCOMPARE(store->value("size").toSize(), QSize(400, 300));
    }
};

QTEST_MAIN(DownloadManagerTest)
#include "DownloadManagerTest.moc"
