// The download list without the web engine: sizes and info lines, rows fed
// by a fake progress source, the item count, the folder button, and what the
// list writes to the native settings store.
#include "downloads/DownloadManager.h"
#include "downloads/DownloadWidget.h"
#include "shell/widgets/EditTableView.h"
#include "shell/widgets/Identity.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
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

QSettings* newStore()
{
    return new QSettings(
        QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
}

QString infoText(const DownloadWidget* widget)
{
    return widget->findChild<QLabel*>(QStringLiteral("downloadInfoLabel"))->text();
}

} // namespace

class DownloadManagerTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void dataString_data();
    void dataString();
    void progressText_data();
    void progressText();
    void progressOverFourGiBFromFakeSource();
    void itemCountAndRows();
    void openFolderOpensStandardDownloadLocation();
    void saveAfterDelayWritesRowsAndDropsStaleOnes();
    void exitPolicyWritesOnlyPolicyAndSize();
};

void DownloadManagerTest::init()
{
    std::unique_ptr<QSettings> store(newStore());
    store->clear();
}

void DownloadManagerTest::dataString_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 bytes";
    QTest::newRow("1023") << qint64(1023) << "1023 bytes";
    QTest::newRow("1024") << qint64(1024) << "1 kB";
    QTest::newRow("1048575") << qint64(1048575) << "1023 kB";
    QTest::newRow("1048576") << qint64(1048576) << "1 MB";
    QTest::newRow("just under 1 GiB") << GiB - 1 << "1023 MB";
    QTest::newRow("1 GiB") << GiB << "1.0 GB";
    QTest::newRow("past 2 GiB") << 2 * GiB + GiB / 2 << "2.5 GB";
    QTest::newRow("past 4 GiB") << 5 * GiB + 3 * GiB / 4 << "5.8 GB";
}

void DownloadManagerTest::dataString()
{
    QFETCH(qint64, size);
    QFETCH(QString, text);
    QCOMPARE(DownloadWidget::dataString(size), text);
}

void DownloadManagerTest::progressText_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown size") << 3 * MiB << qint64(0) << double(100 * KiB) << "3 MB of ? (100 kB/sec) ";
    QTest::newRow("90 s is 1 minute")
        << qint64(0) << 90 * KiB << double(KiB) << "0 bytes of 90 kB (1 kB/sec) - 1 minutes remaining";
    QTest::newRow("30.4 s") << qint64(0) << qint64(3040) << 100.0
                            << "0 bytes of 2 kB (100 bytes/sec) - 30 seconds remaining";
    QTest::newRow("0.2 s is 1 second") << qint64(800) << qint64(1000) << 1000.0
                                       << "800 bytes of 1000 bytes (1000 bytes/sec) - 1 seconds remaining";
    QTest::newRow("nothing arrived yet") << qint64(0) << MiB << 0.0 << "0 bytes of 1 MB (0 bytes/sec) ";
    QTest::newRow("past 4 GiB") << 5 * GiB << 6 * GiB << double(10 * MiB)
                                << "5.0 GB of 6.0 GB (10 MB/sec) - 1 minutes remaining";
}

void DownloadManagerTest::progressText()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(double, speed);
    QFETCH(QString, text);
    QCOMPARE(DownloadWidget::progressText(received, total, speed), text);
}

void DownloadManagerTest::progressOverFourGiBFromFakeSource()
{
    DownloadWidget row(nullptr);
    FakeProgressSource source;
    connect(&source, &FakeProgressSource::downloadProgress, &row, &DownloadWidget::downloadProgress);
    auto* bar = row.findChild<QProgressBar*>(QStringLiteral("progressBar"));

    emit source.downloadProgress(4 * GiB + 512 * MiB, 6 * GiB);
    QCOMPARE(row.bytesReceived(), 4 * GiB + 512 * MiB);
    QCOMPARE(row.bytesTotal(), 6 * GiB);
    QVERIFY2(infoText(&row).startsWith(QLatin1String("4.5 GB of 6.0 GB (")), qPrintable(infoText(&row)));
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(double(bar->value()) / bar->maximum(), 0.75);

    emit source.downloadProgress(100 * MiB, -1);
    QVERIFY2(infoText(&row).startsWith(QLatin1String("100 MB of ? (")), qPrintable(infoText(&row)));
    QCOMPARE(bar->maximum(), 0);
}

void DownloadManagerTest::itemCountAndRows()
{
    DownloadManager manager;
    auto* itemCount = manager.findChild<QLabel*>(QStringLiteral("itemCount"));
    auto* view = manager.findChild<EditTableView*>(QStringLiteral("downloadsView"));
    auto* cleanupButton = manager.findChild<QPushButton*>(QStringLiteral("cleanupButton"));
    QCOMPARE(manager.findChild<QPushButton*>(QStringLiteral("openForderButton"))->text(),
        QStringLiteral("Open Folder"));
    QVERIFY(!cleanupButton->isEnabled());

    auto* first = new DownloadWidget(nullptr, &manager);
    manager.addItem(first);
    QCOMPARE(itemCount->text(), QStringLiteral("1 Download"));
    QVERIFY(manager.isVisible());
    QCOMPARE(view->indexWidget(view->model()->index(0, 0)), first);
    manager.addItem(new DownloadWidget(nullptr, &manager));
    QCOMPARE(itemCount->text(), QStringLiteral("2 Downloads"));
    QCOMPARE(view->model()->rowCount(), 2);

    // Rows that never completed stay through "Clean up" and the delete key.
    manager.cleanup();
    view->setCurrentIndex(view->model()->index(1, 0));
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(manager.count(), 2);
    QCOMPARE(itemCount->text(), QStringLiteral("2 Downloads"));
}

void DownloadManagerTest::openFolderOpensStandardDownloadLocation()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "openUrl");
    DownloadManager manager;
    QTest::mouseClick(manager.findChild<QPushButton*>(QStringLiteral("openForderButton")), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(recorder.urls,
        QList<QUrl> {
            QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)) });
}

void DownloadManagerTest::saveAfterDelayWritesRowsAndDropsStaleOnes()
{
    std::unique_ptr<QSettings> store(newStore());
    store->beginGroup(QStringLiteral("downloadmanager"));
    for (int i = 0; i < 3; ++i) {
        store->setValue(
            QStringLiteral("download_%1_url").arg(i), QUrl(QStringLiteral("http://old.test/%1").arg(i)));
        store->setValue(QStringLiteral("download_%1_location").arg(i), QStringLiteral("/old/%1").arg(i));
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
    QTest::qWait(0);
    store->sync();
    QVERIFY(!store->contains(QStringLiteral("removeDownloadsPolicy")));
    QTRY_VERIFY_WITH_TIMEOUT((store->sync(), store->contains(QStringLiteral("removeDownloadsPolicy"))), 6000);
    QVERIFY2(clock.elapsed() >= 2900, qPrintable(QString::number(clock.elapsed())));

    QCOMPARE(store->value(QStringLiteral("removeDownloadsPolicy")).toString(),
        QStringLiteral("SuccessFullDownload"));
    QCOMPARE(store->value(QStringLiteral("size")).toSize(), manager.size());
    QCOMPARE(store->value(QStringLiteral("download_0_url")).toUrl(), QUrl());
    QCOMPARE(store->value(QStringLiteral("download_0_location")).toString(), row->file().filePath());
    QCOMPARE(store->value(QStringLiteral("download_0_done")).toBool(), false);
    for (int i = 1; i < 3; ++i) {
        for (const char* suffix : { "url", "location", "done" })
            QVERIFY(!store->contains(QStringLiteral("download_%1_%2").arg(i).arg(QLatin1String(suffix))));
    }
}

void DownloadManagerTest::exitPolicyWritesOnlyPolicyAndSize()
{
    std::unique_ptr<QSettings> store(newStore());
    store->setValue(
        QStringLiteral("downloadmanager/download_0_url"), QUrl(QStringLiteral("http://old.test/")));
    store->sync();
    {
        DownloadManager manager;
        manager.resize(400, 300);
        manager.addItem(new DownloadWidget(nullptr, &manager));
        manager.addItem(new DownloadWidget(nullptr, &manager));
        manager.setRemovePolicy(DownloadManager::Exit);
        // Destruction saves at once.
    }
    store->sync();
    store->beginGroup(QStringLiteral("downloadmanager"));
    QStringList keys = store->childKeys();
    keys.sort();
    QCOMPARE(keys,
        (QStringList { QStringLiteral("download_0_url"), QStringLiteral("removeDownloadsPolicy"),
            QStringLiteral("size") }));
    QCOMPARE(store->value(QStringLiteral("removeDownloadsPolicy")).toString(), QStringLiteral("Exit"));
    QCOMPARE(store->value(QStringLiteral("size")).toSize(), QSize(400, 300));
    QCOMPARE(
        store->value(QStringLiteral("download_0_url")).toUrl(), QUrl(QStringLiteral("http://old.test/")));
}

QTEST_MAIN(DownloadManagerTest)
#include "DownloadManagerTest.moc"
