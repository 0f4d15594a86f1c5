// Real downloads through the running client: a page served on loopback
// links to files that a slow server hands out in pieces. One finishes and
// is compared byte for byte, one loses its connection, one is cancelled;
// then "Clean up", the saved list, and the ways the window reaches its two
// dialogs.
#include "downloads/DownloadManager.h"
#include "downloads/DownloadWidget.h"
#include "settings/SettingsDialog.h"
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/TabWidget.h"
#include "shell/WebView.h"
#include "shell/widgets/EditTableView.h"
#include "shell/widgets/Identity.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTabBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtTest>
#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int ChunkBytes = 64 * 1024;

// An HTTP/1.1 server on 127.0.0.1 that answers one request per connection
// and trickles file bodies out in 64 KiB pieces, each body up to a limit:
// "/lesson.bin" stops half way until release() (then finishes),
// "/drop.bin" closes the connection a quarter of the way in, and
// "/hold.bin" stops a little way in and never finishes.
class SlowServer : public QObject {
    Q_OBJECT
public:
    SlowServer()
    {
        m_lesson.resize(6 * MiB);
        QRandomGenerator generator(14);
        generator.fillRange(reinterpret_cast<quint32*>(m_lesson.data()), m_lesson.size() / 4);
        connect(&m_server, &QTcpServer::newConnection, this, &SlowServer::accept);
        connect(&m_pump, &QTimer::timeout, this, &SlowServer::pump);
        m_pump.start(10);
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    const QByteArray& lesson() const { return m_lesson; }
    void release()
    {
        m_released = true;
        for (Transfer& transfer : m_transfers) {
            if (transfer.path == QLatin1String("/lesson.bin"))
                transfer.limit = transfer.body.size();
        }
    }
    int requests(const QString& path) const { return m_requests.value(path); }

private:
    struct Transfer {
        QPointer<QTcpSocket> socket;
        QString path;
        QByteArray body;
        qint64 sent = 0;
        qint64 limit = 0;
        bool dropAtLimit = false;
    };

    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void readRequest(QTcpSocket* socket)
    {
        QByteArray& head = m_heads[socket];
        head += socket->readAll();
        if (!head.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(head.split(' ').value(1));
        m_heads.remove(socket);
        ++m_requests[path];

        if (path == QLatin1String("/page")) {
            const QByteArray html = "<html><head><title>Lessons</title></head><body>"
                                    "<a id='lesson' href='/lesson.bin'>lesson</a> "
                                    "<a id='drop' href='/drop.bin'>drop</a> "
                                    "<a id='hold' href='/hold.bin'>hold</a></body></html>";
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: "
                + QByteArray::number(html.size()) + "\r\n\r\n" + html);
            socket->disconnectFromHost();
            return;
        }
        Transfer transfer;
        transfer.socket = socket;
        transfer.path = path;
        if (path == QLatin1String("/lesson.bin")) {
            transfer.body = m_lesson;
            transfer.limit = m_released ? m_lesson.size() : m_lesson.size() / 2;
        } else if (path == QLatin1String("/drop.bin") || path == QLatin1String("/hold.bin")) {
            transfer.body = QByteArray(4 * MiB, 'x');
            transfer.dropAtLimit = path == QLatin1String("/drop.bin");
            transfer.limit = transfer.dropAtLimit ? MiB : 256 * 1024;
        } else {
            socket->write("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        const QByteArray name = path.mid(1).toLatin1();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                      "Content-Disposition: attachment; filename=\""
            + name + "\"\r\nConnection: close\r\nContent-Length: " + QByteArray::number(transfer.body.size())
            + "\r\n\r\n");
        m_transfers.append(transfer);
    }

    void pump()
    {
        for (int i = m_transfers.size() - 1; i >= 0; --i) {
            Transfer& transfer = m_transfers[i];
            QTcpSocket* socket = transfer.socket;
            if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
                m_transfers.removeAt(i);
                continue;
            }
            if (socket->bytesToWrite() > 2 * ChunkBytes)
                continue;
            if (transfer.sent < transfer.limit) {
                const qint64 n = qMin<qint64>(ChunkBytes, transfer.limit - transfer.sent);
                socket->write(transfer.body.constData() + transfer.sent, n);
                transfer.sent += n;
            } else if (transfer.sent == transfer.body.size() || transfer.dropAtLimit) {
                // Whole body sent, or the connection is to die short of it.
                socket->disconnectFromHost();
                m_transfers.removeAt(i);
            }
        }
    }

    QTcpServer m_server;
    QTimer m_pump;
    QByteArray m_lesson;
    bool m_released = false;
    QHash<QTcpSocket*, QByteArray> m_heads;
    QList<Transfer> m_transfers;
    QHash<QString, int> m_requests;
};

QSettings* newStore()
{
    return new QSettings(
        QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
}

template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

} // namespace

class DownloadEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void completedDownloadShowsLiveProgressAndIsByteIdentical();
    void droppedAndCancelledDownloadsKeepTheirRows();
    void cleanupRemovesCompletedRowAndListIsSavedLater();
    void shortcutsAndTabMenuReachBothDialogs();
    void preferencesOkPutsFixedEngineSettingsBack();

private:
    DownloadWidget* row(int index) const;
    QString info(int index) const;
    void click(const char* id);

    SlowServer m_server;
    QPointer<BrowserMainWindow> m_window;
    DownloadManager* m_manager = nullptr;
    QTemporaryDir m_missingParent;
};

DownloadWidget* DownloadEndToEndTest::row(int index) const
{
    auto* view = child<EditTableView>(m_manager, "downloadsView");
    return qobject_cast<DownloadWidget*>(view->indexWidget(view->model()->index(index, 0)));
}

QString DownloadEndToEndTest::info(int index) const
{
    return child<QLabel>(row(index), "downloadInfoLabel")->text();
}

void DownloadEndToEndTest::click(const char* id)
{
    m_window->currentTab()->page()->runJavaScript(
        QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(id)));
}

void DownloadEndToEndTest::initTestCase()
{
    QVERIFY(m_server.listen());
    std::unique_ptr<QSettings>(newStore())->clear();
    // The engine suggests a folder that does not exist: the file goes to the
    // standard download location under the same name instead.
    QWebEngineProfile::defaultProfile()->setDownloadPath(m_missingParent.path() + QLatin1String("/gone"));

    BrowserApplication* app = BrowserApplication::instance();
    m_window = app->newMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    WebView* view = m_window->currentTab();
    QVERIFY(view);
    QSignalSpy loaded(view, &QWebEngineView::loadFinished);
    m_window->loadPage(m_server.url(QStringLiteral("/page")).toString());
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty(), 30000);
    QCOMPARE(loaded.first().first().toBool(), true);
    m_manager = app->sharedDownloadManager();
}

void DownloadEndToEndTest::completedDownloadShowsLiveProgressAndIsByteIdentical()
{
    click("lesson");
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->count(), 1, 20000);
    QVERIFY(m_manager->isVisible());
    QCOMPARE(child<QLabel>(m_manager, "itemCount")->text(), QStringLiteral("1 Download"));
    DownloadWidget* lesson = row(0);
    QVERIFY(lesson);
    QCOMPARE(child<QLabel>(lesson, "fileNameLabel")->text(), QStringLiteral("lesson.bin"));
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QCOMPARE(lesson->file().absoluteFilePath(), downloads + QLatin1String("/lesson.bin"));

    // Half the file is out and the server waits: the row tells what arrived,
    // the total, the speed and the time left.
    QTRY_VERIFY_WITH_TIMEOUT(lesson->bytesReceived() >= MiB, 20000);
    const QRegularExpression running(QStringLiteral(
        R"(^\d+ (kB|MB) of 6 MB \(\d+ (bytes|kB|MB)/sec\) - \d+ (seconds|minutes) remaining$)"));
    QTRY_VERIFY2(running.match(info(0)).hasMatch(), qPrintable(info(0)));
    QVERIFY(!lesson->downloadedSuccessfully());

    m_server.release();
    QTRY_VERIFY_WITH_TIMEOUT(lesson->downloadedSuccessfully(), 30000);
    QCOMPARE(info(0), QStringLiteral("6 MB"));
    QVERIFY(child<QPushButton>(lesson, "openButton")->isEnabled());
    QVERIFY(child<QPushButton>(m_manager, "cleanupButton")->isEnabled());
    QFile file(lesson->file().absoluteFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == m_server.lesson());
    QCOMPARE(m_server.requests(QStringLiteral("/lesson.bin")), 1);
}

void DownloadEndToEndTest::droppedAndCancelledDownloadsKeepTheirRows()
{
    click("drop");
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->count(), 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(info(1), QStringLiteral("Download interrupted"), 30000);

    click("hold");
    QTRY_COMPARE_WITH_TIMEOUT(m_manager->count(), 3, 20000);
    DownloadWidget* held = row(2);
    QTRY_VERIFY_WITH_TIMEOUT(held->bytesReceived() > 0, 20000);
    held->stop();
    QTRY_COMPARE_WITH_TIMEOUT(info(2), QStringLiteral("Download cancelled"), 20000);
    QCOMPARE(child<QLabel>(m_manager, "itemCount")->text(), QStringLiteral("3 Downloads"));
    // Failed rows are not completed ones: their tool tip is their message.
    QCOMPARE(m_manager->findChild<EditTableView*>()->model()->index(1, 0).data(Qt::ToolTipRole).toString(),
        QStringLiteral("Download interrupted"));
}

void DownloadEndToEndTest::cleanupRemovesCompletedRowAndListIsSavedLater()
{
    std::unique_ptr<QSettings> store(newStore());
    store->beginGroup(QStringLiteral("downloadmanager"));
    // Adding rows scheduled no save.
    QCOMPARE(store->childKeys(), QStringList());

    QTest::mouseClick(child<QPushButton>(m_manager, "cleanupButton"), Qt::LeftButton);
    QCOMPARE(m_manager->count(), 2);
    QCOMPARE(child<QLabel>(m_manager, "itemCount")->text(), QStringLiteral("2 Downloads"));
    QCOMPARE(info(0), QStringLiteral("Download interrupted"));
    QCOMPARE(info(1), QStringLiteral("Download cancelled"));

    QTRY_VERIFY_WITH_TIMEOUT((store->sync(), store->contains(QStringLiteral("download_1_url"))), 8000);
    QCOMPARE(store->value(QStringLiteral("removeDownloadsPolicy")).toString(), QStringLiteral("Never"));
    QCOMPARE(
        store->value(QStringLiteral("download_0_url")).toUrl(), m_server.url(QStringLiteral("/drop.bin")));
    QCOMPARE(store->value(QStringLiteral("download_0_done")).toBool(), false);
    QCOMPARE(
        store->value(QStringLiteral("download_1_url")).toUrl(), m_server.url(QStringLiteral("/hold.bin")));
    QCOMPARE(store->value(QStringLiteral("download_1_location")).toString(), row(1)->file().filePath());
    QVERIFY(!store->contains(QStringLiteral("download_2_url")));
}

void DownloadEndToEndTest::shortcutsAndTabMenuReachBothDialogs()
{
    m_manager->hide();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QTest::keyClick(m_window, Qt::Key_J, Qt::ControlModifier);
    QTRY_VERIFY(m_manager->isVisible());

    QTest::keyClick(m_window, Qt::Key_Comma, Qt::ControlModifier);
    QTRY_COMPARE(m_window->findChildren<SettingsDialog*>().size(), 1);
    SettingsDialog* dialog = m_window->findChildren<SettingsDialog*>().first();
    QVERIFY(dialog->isVisible());
    QPointer<SettingsDialog> guard(dialog);
    dialog->reject();
    QTRY_VERIFY(guard.isNull());

    // The tab bar's context menu offers the same two entries.
    m_manager->hide();
    QTabBar* tabBar = m_window->tabWidget()->tabBar();
    for (const QString& entry : { QStringLiteral("&Downloads"), QStringLiteral("&Preferences...") }) {
        QTimer::singleShot(200, this, [entry] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction* action : menu->actions()) {
                if (action->text() == entry)
                    action->trigger();
            }
            menu->close();
        });
        emit tabBar->customContextMenuRequested(QPoint(1, 1));
    }
    QTRY_VERIFY(m_manager->isVisible());
    QTRY_COMPARE(m_window->findChildren<SettingsDialog*>().size(), 1);
    m_window->findChildren<SettingsDialog*>().first()->reject();
}

void DownloadEndToEndTest::preferencesOkPutsFixedEngineSettingsBack()
{
    QTRY_COMPARE(m_window->findChildren<SettingsDialog*>().size(), 0);
    m_window->slotPreferences();
    SettingsDialog* dialog = m_window->findChildren<SettingsDialog*>().first();
    QTest::mouseClick(child<QPushButton>(dialog, "setHomeToCurrentPageButton"), Qt::LeftButton);
    QCOMPARE(
        child<QLineEdit>(dialog, "homeLineEdit")->text(), m_server.url(QStringLiteral("/page")).toString());

    child<QCheckBox>(dialog, "enableJavascript")->setChecked(false);
    QWebEngineSettings::defaultSettings()->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    QTest::mouseClick(
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok), Qt::LeftButton);
    QVERIFY(QWebEngineSettings::defaultSettings()->testAttribute(QWebEngineSettings::JavascriptEnabled));
    std::unique_ptr<QSettings> store(newStore());
    QCOMPARE(store->value(QStringLiteral("websettings/enableJavascript")).toBool(), false);
    QCOMPARE(store->value(QStringLiteral("MainWindow/home")).toString(),
        m_server.url(QStringLiteral("/page")).toString());
}

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The client reads a URL from its last argument; the test's options are not one.
    int appArgc = 1;
    BrowserApplication app(appArgc, argv);
    if (!app.ownsInstanceServer())
        return 1;
    DownloadEndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DownloadEndToEndTest.moc"
