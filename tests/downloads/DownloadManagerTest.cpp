// The download list without the web engine; real downloads through the client are in shell_test.
#include "downloads/DownloadManager.h"
#include "GuiTest.h"
#include "downloads/DownloadNames.h"
#include "downloads/DownloadWidget.h"
#include "widgets/EditTableView.h"

#include <QDesktopServices>
#include <QtWidgets>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 GiB = 1024 * MiB;

// Records the file URLs the desktop is asked to open while it lives.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    UrlRecorder() { QDesktopServices::setUrlHandler("file", this, "openUrl"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl& url) { urls.append(url); }
};

// The list as a last run saved it: file names under the folder, and whether each completed.
void saveList(const QString& folder, const QList<QPair<QString, bool>>& files)
{
    auto store = nativeStore();
    for (int i = 0; i < files.size(); ++i) {
        const QString key = QStringLiteral("downloadmanager/download_%1_").arg(i);
        store->setValue(key + "url", QUrl("http://lesson.test/" + files[i].first));
        store->setValue(key + "location", QDir(folder).filePath(files[i].first));
        store->setValue(key + "done", files[i].second);
    }
}

} // namespace

class DownloadManagerTest : public QObject {
    Q_OBJECT

private slots:
    void init() { nativeStore()->clear(); }

    void sizeTexts_data()
    {
        columns<qint64, qint64, double, QString>(
            "received", "total", "speed", "text"); // total -1: size alone
        row("1 GiB - 1", GiB - 1, qint64(-1), 0.0, "1023 MB");
        row("1 GiB", GiB, qint64(-1), 0.0, "1.0 GB");
        row("past 4 GiB", 5 * GiB + 3 * GiB / 4, qint64(-1), 0.0, "5.8 GB");
        row("unknown total", 3 * MiB, qint64(0), 100.0 * KiB, "3 MB of ? (100 kB/sec) ");
        row("90 s is 1 minute", qint64(0), 90 * KiB, double(KiB),
            "0 bytes of 90 kB (1 kB/sec) - 1 minutes remaining");
        row("0.2 s is 1 second", qint64(800), qint64(1000), 1000.0,
            "800 bytes of 1000 bytes (1000 bytes/sec) - 1 seconds remaining");
        row("nothing arrived yet", qint64(0), MiB, 0.0, "0 bytes of 1 MB (0 bytes/sec) ");
    }
    void sizeTexts()
    {
        const auto [received, total, speed, text]
            = fetch<qint64, qint64, double, QString>("received", "total", "speed", "text");
        QCOMPARE(total < 0 ? DownloadWidget::dataString(received)
                           : DownloadWidget::progressText(received, total, speed),
            text);
    }

    void pageNamesBecomeSafeUniqueFiles_data()
    {
        // onDisk: files, or "->" and a dangling link; reserved: by successive downloads of the name
        columns<QString, QStringList, QStringList>("suggested", "onDisk", "reserved");
        const QString cjk(300, QChar(0x6587)); // 3 bytes each in UTF-8
        QString emoji;
        for (int i = 0; i < 100; ++i)
            emoji += QString::fromUcs4(U"\U0001F600"); // 4 bytes, a surrogate pair
        const auto add = [](const char* name, const QString& suggested, const QStringList& onDisk,
                             const QStringList& reserved) { row(name, suggested, onDisk, reserved); };
        add("plain", "report.pdf", {}, { "report.pdf" });
        add("absolute", "/etc/cron.d/x", {}, { "x" });
        add("backslashes", "..\\..\\x.txt", {}, { "x.txt" });
        add("leading dot", ".bashrc", {}, { "_bashrc" });
        add("empty", "", {}, { "download" });
        add("only dots and blanks", " ... ", {}, { "download" });
        add("control characters", QString("a\tb\nc") + QChar(0x7f) + QChar(0x85) + QChar(0) + "d.txt", {},
            { "a_b_c___d.txt" });
        add("right-to-left override", QString::fromUtf8("report\u202efdp.exe"), {}, { "report_fdp.exe" });
        add("other bidi controls", QString::fromUtf8("\u2066x\u2069\u200e\u200f\u202a.txt"), {},
            { "_x____.txt" });
        // The engine's "NAME.download" must fit 255 bytes too.
        add("long CJK", cjk + ".pdf", {},
            { QString(80, QChar(0x6587)) + ".pdf", QString(79, QChar(0x6587)) + " (1).pdf" });
        add("long emoji", emoji + ".txt", {}, { emoji.left(2 * 60) + ".txt" });
        add("long, no extension", QString(300, 'a'), {}, { QString(246, 'a'), QString(242, 'a') + " (1)" });
        add("engine's partial file", "notes.txt", { "notes.txt.download" }, { "notes (1).txt" });
        add("at once", "notes.txt", {}, { "notes.txt", "notes (1).txt", "notes (2).txt" });
        add("on disk", "notes.txt", { "notes.txt", "notes (1).txt" }, { "notes (2).txt", "notes (3).txt" });
        add("dangling link", "name.ext", { "->name.ext" }, { "name (1).ext" });
        add("tarball", "archive.tar.gz", { "archive.tar.gz" }, { "archive (1).tar.gz" });
    }
    void pageNamesBecomeSafeUniqueFiles()
    {
        const auto [suggested, onDisk, reserved]
            = fetch<QString, QStringList, QStringList>("suggested", "onDisk", "reserved");
        QTemporaryDir folder;
        for (const QString& name : onDisk) {
            if (name.startsWith("->"))
                QVERIFY(QFile::link(folder.filePath("target"), folder.filePath(name.mid(2))));
            else
                writeFile(folder.filePath(name), "there");
        }
        DownloadNames names;
        QStringList paths;
        for (int i = 0; i < reserved.size(); ++i)
            paths << names.reserve(folder.path(), suggested);
        QStringList expected;
        for (const QString& name : reserved) {
            QVERIFY2(name.toUtf8().size() + qstrlen(".download") <= 255, qPrintable(name));
            expected << folder.filePath(name);
        }
        QCOMPARE(paths, expected);
        QVERIFY(!QFile::exists(folder.filePath("target")));
        names.release(paths.first());
        QCOMPARE(names.reserve(folder.path(), suggested), paths.first());
    }

    // "interrupt" and "finish" come from the engine's item, the other steps are buttons; past 4 GiB.
    void rowStates_data()
    {
        columns<QString, QString, bool, QString, int>("steps", "shown", "openEnabled", "info", "restarts");
        row("running", "progress", "progressBar cancel", false, "4.5 GB of 6.0 GB (", 0);
        row("cancelled", "progress cancel", "", false, "Download cancelled", 0);
        row("interrupted", "progress interrupt", "retry", false, "Download interrupted", 0);
        row("retried", "progress interrupt retry", "progressBar cancel", false, "", 1);
        row("retried, running", "progress interrupt retry progress", "progressBar cancel", false,
            "4.5 GB of 6.0 GB (", 1);
        row("finished", "progress finish", "", true, "4.5 GB", 0);
    }
    void rowStates()
    {
        const auto [steps, shown, openEnabled, info, restarts] = fetch<QString, QString, bool, QString, int>(
            "steps", "shown", "openEnabled", "info", "restarts");
        DownloadWidget row(nullptr);
        row.show();
        QSignalSpy restart(&row, &DownloadWidget::restartRequested);
        auto* bar = child<QProgressBar>(&row, "progressBar");
        for (const QString& step : steps.split(' ')) {
            if (step == "progress") {
                row.downloadProgress(4 * GiB + 512 * MiB, 6 * GiB);
                QCOMPARE(double(bar->value()) / bar->maximum(), 0.75);
            } else if (step == "interrupt")
                row.setState(DownloadWidget::State::Interrupted);
            else if (step == "finish")
                row.setState(DownloadWidget::State::Finished);
            else {
                auto* button = child<QPushButton>(&row, qPrintable(step + "Button"));
                QVERIFY2(button->isVisible() && button->isEnabled(), qPrintable(step));
                QTest::mouseClick(button, Qt::LeftButton);
            }
        }
        QStringList visible;
        for (const char* name : { "progressBar", "cancelButton", "retryButton" })
            if (child<QWidget>(&row, name)->isVisible())
                visible << QString(name).remove("Button");
        QCOMPARE(visible.join(' '), shown);
        QCOMPARE(child<QPushButton>(&row, "openButton")->isEnabled(), openEnabled);
        const QString text = child<QLabel>(&row, "downloadInfoLabel")->text();
        QVERIFY2(info.isEmpty() ? text.isEmpty() : text.startsWith(info), qPrintable(text));
        QVERIFY2(row.toolTip().contains(text), qPrintable(row.toolTip())); // all of it, squeezed or not
        QCOMPARE(restart.count(), restarts);
    }

    // At start the saved list brings back finished rows whose files are there; "Clean up" keeps running ones.
    void savedListReadBack()
    {
        QTemporaryDir folder;
        writeFile(folder.filePath("kept.pdf"), QByteArray(3 * KiB, 'k'));
        writeFile(folder.filePath("partial.bin"), "half");
        saveList(folder.path(), { { "gone.zip", true }, { "kept.pdf", true }, { "partial.bin", false } });

        DownloadManager manager;
        QCOMPARE(manager.count(), 1);
        QVERIFY(!manager.isVisible()); // rows from the last run open nothing
        auto* view = child<EditTableView>(&manager, "downloadsView");
        auto* kept = qobject_cast<DownloadWidget*>(view->indexWidget(view->model()->index(0, 0)));
        QCOMPARE(kept->file().absoluteFilePath(), folder.filePath("kept.pdf"));
        QCOMPARE(kept->url(), QUrl("http://lesson.test/kept.pdf"));
        QCOMPARE(child<QLabel>(kept, "fileNameLabel")->text(), QStringLiteral("kept.pdf"));
        QCOMPARE(child<QLabel>(kept, "downloadInfoLabel")->text(), QStringLiteral("3 kB"));
        auto* cleanupButton = child<QPushButton>(&manager, "cleanupButton");
        QVERIFY(cleanupButton->isEnabled());
        UrlRecorder recorder;
        QTest::mouseClick(child<QPushButton>(kept, "openButton"), Qt::LeftButton);
        QCOMPARE(recorder.urls, QList<QUrl> { QUrl::fromLocalFile(folder.filePath("kept.pdf")) });
        auto* running = new DownloadWidget(nullptr, &manager);
        manager.addItem(running);
        child<QLabel>(running, "fileNameLabel")->setText("node-v20-docs.tar.gz");
        running->downloadProgress(18 * MiB, 50 * MiB);
        manager.show();
        QVERIFY(QTest::qWaitForWindowExposed(&manager));
        // Nothing of the running row's line is squeezed out at the default size.
        auto* info = child<QLabel>(running, "downloadInfoLabel");
        QVERIFY2(info->fontMetrics().horizontalAdvance(info->text()) <= info->contentsRect().width(),
            qPrintable(info->text()));
        auto* interrupted = new DownloadWidget(nullptr, &manager);
        manager.addItem(interrupted);
        interrupted->setState(DownloadWidget::State::Interrupted);
        QCOMPARE(child<QLabel>(&manager, "itemCount")->text(), QStringLiteral("3 Downloads"));
        // The interrupted row goes with the finished one; the running row stays, delete key too.
        QTest::mouseClick(cleanupButton, Qt::LeftButton);
        view->setCurrentIndex(view->model()->index(0, 0));
        QTest::keyClick(view, Qt::Key_Delete);
        QCOMPARE(manager.count(), 1);
        QVERIFY(!cleanupButton->isEnabled());
        QTest::mouseClick(child<QPushButton>(&manager, "openForderButton"), Qt::LeftButton);
        QCOMPARE(recorder.urls.value(1),
            QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)));
    }

    void savesAfterDelayButUnderExitOnlyPolicyAndSize()
    {
        saveList("/old", { { "a", true }, { "b", true }, { "c", true } });
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        auto manager = std::make_unique<DownloadManager>();
        auto* row = new DownloadWidget(nullptr, manager.get());
        manager->addItem(row);
        // A policy change saves 3 s later, the row over the old first, the other two gone.
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
