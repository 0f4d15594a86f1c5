// The client in this process (INI files and seed: CMakeLists.txt) with a loopback origin.
#include "GuiTest.h"
#include "LoopbackOrigin.h"
#include "downloads/DownloadManager.h"
#include "downloads/DownloadWidget.h"
#include "settings/SettingsDialog.h"
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/FindBar.h"
#include "shell/KeyTable.h"
#include "shell/PageQuestions.h"
#include "shell/PopupWindow.h"
#include "shell/ProxyHolder.h"
#include "shell/StoppedPage.h"
#include "shell/TabWidget.h"
#include "shell/TrustedOrigins.h"
#include "shell/WebView.h"
#include "widgets/EditTableView.h"

#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPrintDialog>
#include <QWebChannel>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>
#include <QtWidgets>

#include <csignal>

namespace {

constexpr qint64 MiB = 1024 * 1024;

BrowserApplication* app()
{
    return BrowserApplication::instance();
}

bool loadAndWait(QWebEngineView* view, const QUrl& url)
{
    QSignalSpy loaded(view, &QWebEngineView::loadFinished);
    view->load(url);
    return loaded.wait(30000) && loaded.first().at(0).toBool();
}

// Invalid on time-out.
QVariant evaluate(QWebEngineView* view, const QString& script)
{
    QEventLoop loop;
    QVariant result;
    view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return result;
}

QUrl titledPage(const QString& title)
{
    return QUrl(QStringLiteral("data:text/html,<title>%1</title>%1").arg(title));
}

// Hands each dialog with the name (any modal one without) to answer once; keeps its texts or title.
class QuestionWatch : public QObject {
public:
    QuestionWatch(const char* name, std::function<void(QDialog*)> answer)
    {
        connect(&m_poll, &QTimer::timeout, this, [this, name, answer] {
            QDialog* dialog = name ? shown(name) : qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog && !dialog->property("watched").toBool()) {
                dialog->setProperty("watched", true);
                auto* box = qobject_cast<QMessageBox*>(dialog);
                auto* message = dialog->findChild<QLabel*>("scriptMessage");
                texts << (box     ? box->text() + '\n' + box->informativeText()
                        : message ? message->text()
                                  : dialog->windowTitle());
                answer(dialog);
            }
        });
        m_poll.start(50);
    }
    static QDialog* shown(const char* name)
    {
        for (QWidget* widget : QApplication::allWidgets()) {
            if (widget->objectName() == QLatin1String(name) && widget->isVisible())
                return qobject_cast<QDialog*>(widget);
        }
        return nullptr;
    }
    QStringList texts;

private:
    QTimer m_poll;
};

void press(QDialog* box, const QString& answer)
{
    if (answer == "escape")
        QTest::keyClick(box, Qt::Key_Escape);
    else
        child<QPushButton>(box, qPrintable(answer))->click();
}

DownloadWidget* downloadRow(int index)
{
    auto* list = child<EditTableView>(app()->sharedDownloadManager(), "downloadsView");
    return qobject_cast<DownloadWidget*>(list->indexWidget(list->model()->index(index, 0)));
}

QList<PopupWindow*> popups()
{
    QList<PopupWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* popup = qobject_cast<PopupWindow*>(widget))
            found << popup;
    return found;
}

// What a second launch would send; the answer is empty when the instance hangs up without one.
QByteArray handOver(const QByteArray& sent)
{
    QString problem;
    QLocalSocket launch;
    launch.connectToServer(BrowserApplication::instanceSocketPath(&problem));
    if (!launch.waitForConnected(5000))
        return "(not connected)";
    launch.write(sent);
    (void)QTest::qWaitFor(
        [&] { return launch.canReadLine() || launch.state() != QLocalSocket::ConnectedState; }, 10000);
    return launch.readLine();
}

} // namespace

class ShellTest : public QObject {
    Q_OBJECT

    QPointer<BrowserMainWindow> m_window;
    LoopbackOrigin m_origin;

    BrowserMainWindow* window()
    {
        if (!m_window) {
            m_window = app()->newMainWindow();
            (void)QTest::qWaitForWindowExposed(m_window);
        }
        return m_window;
    }
    TabWidget* tabs() { return window()->tabWidget(); }
    WebView* view() { return tabs()->currentWebView(); }
    QUrl at(const char* path) const { return QUrl(m_origin.url(path)); }
    // Not in trusted_hosts.
    QUrl foreignAt(const char* p) const { return QUrl(m_origin.url(p).replace("127.0.0.1", "localhost")); }

private slots:
    void cleanup()
    {
        qDeleteAll(popups());
        delete m_window.data();
    }

    // The port the system chose (proxy-test.conf) reaches the network manager and the welcome page.
    void proxyStateReachesManagerAndHome()
    {
        const int port = ProxyHolder::instance().port();
        QVERIFY(port > 0 && port != 28080);
        QCOMPARE(app()->sharedNetworkManager()->proxy(),
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), quint16(port)));
        window()->slotHome();
        const QString text = QStringLiteral("running on 127.0.0.1 port %1").arg(port);
        WAIT(evaluate(view(), "document.body.innerText").toString().contains(text));
        // Typed proxy credentials serve that proxy only.
        QCOMPARE(BrowserApplication::proxyCredentialKey("bob", "127.0.0.1:3128", "Proxy realm"),
            QByteArray("auth:proxy-http://bob@127.0.0.1:3128#Proxy%20realm"));
    }

    void copyDirectoryTreeAndSeed()
    {
        QTemporaryDir dir;
        const QString from = dir.filePath("from");
        const QString to = dir.filePath("to");
        QVERIFY(!BrowserApplication::copyDirectoryTree(from, to, true)); // no source
        writeFile(from + "/top.sol", "top");
        writeFile(from + "/.hidden", "hidden");
        writeFile(from + "/a/b/deep.sol", "deep");
        QDir().mkpath(from + "/empty");
        writeFile(to + "/top.sol", "kept"); // an existing file is not replaced
        QFile::setPermissions(to + "/top.sol", QFile::ReadOwner);
        QVERIFY(BrowserApplication::copyDirectoryTree(from, to, true));
        QCOMPARE(readFile(to + "/top.sol"), QByteArray("kept")); // still readable with write granted
        QVERIFY(QFile::permissions(to + "/top.sol") & QFile::WriteOwner);
        QCOMPARE(readFile(to + "/.hidden"), QByteArray("hidden"));
        QCOMPARE(readFile(to + "/a/b/deep.sol"), QByteArray("deep"));
        QVERIFY(QDir(to + "/empty").exists());
        // postLaunch copied the seed; once there, it is not copied again.
        const QString seed = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
            + "/Pepper Data/Shockwave Flash/WritableRoot/#SharedObjects/2N8VG4TE";
        WAIT(QFile::exists(seed + "/site/lesson.sol"));
        QVERIFY(QFile::remove(seed + "/settings.sol"));
        app()->applyWebEngineSettings();
        QVERIFY(!QFile::exists(seed + "/settings.sol"));
    }

    // The first page replaces the placeholder unpainted; the window title follows the current tab.
    void tabsAndWindowTitle()
    {
        QVERIFY(!qobject_cast<WebView*>(tabs()->widget(0)));
        QObject watch;
        int mostTabsPainted = 0;
        connect(tabs()->tabBar(), &QTabBar::currentChanged, &watch,
            [&] { mostTabsPainted = qMax(mostTabsPainted, tabs()->updatesEnabled() ? tabs()->count() : 0); });
        window()->loadPage(titledPage("Lesson").toString());
        QVERIFY(qobject_cast<WebView*>(tabs()->widget(0)));
        QCOMPARE(mostTabsPainted, 0);
        WAIT_COMPARE(window()->windowTitle(), QStringLiteral("Lesson - lumaview.example.org"));
        // A title is plain text: "&&" shows one "&", "[*]" is no placeholder, markup stays text.
        const QString quiz = QStringLiteral("Q&A <b>x</b> [*]");
        tabs()->newTab(false)->loadUrl(titledPage(quiz));
        WAIT_COMPARE(tabs()->tabText(1), QStringLiteral("Q&&A <b>x</b> [*]"));
        QCOMPARE(window()->windowTitle(), QStringLiteral("Lesson - lumaview.example.org"));
        WebView* front = tabs()->newTab(true);
        tabs()->cloneTab(0);
        tabs()->cloneTab(99); // out of range: ignored
        QCOMPARE(tabs()->count(), 4);
        QCOMPARE(qobject_cast<QStackedWidget*>(tabs()->lineEditStack())->count(), 4);
        QCOMPARE(tabs()->currentWidget(), front); // a clone is not made current
        WAIT_COMPARE(tabs()->tabText(3), QStringLiteral("Lesson"));
        tabs()->setCurrentIndex(1);
        QCOMPARE(window()->windowHandle()->title(), quiz + " - lumaview.example.org");
        // The last tab leaves a placeholder, and no page is named.
        QSignalSpy lastClosed(tabs(), SIGNAL(lastTabClosed()));
        while (tabs()->count() > 1 || qobject_cast<WebView*>(tabs()->widget(0)))
            tabs()->closeTab(0);
        QCOMPARE(lastClosed.count(), 1);
        QCOMPARE(window()->windowTitle(), QStringLiteral("lumaview.example.org"));
    }

    // Eight long titles fit 1280 pixels; twenty stay readable and scroll; the tip is the title as written.
    void longTitlesFitOrScroll()
    {
        window()->resize(1280, window()->height());
        WAIT(tabs()->width() >= 1270);
        const QString title
            = QStringLiteral("A <b>very</b> long title & one that never seems to end, page %1");
        QTabBar* bar = tabs()->tabBar();
        QCOMPARE(bar->elideMode(), Qt::ElideRight); // cut with an ellipsis, not clipped at both ends
        auto shownTip = [bar](int i) {
            QTextDocument tip;
            tip.setHtml(bar->tabToolTip(i));
            return tip.toPlainText();
        };
        int opened = 0;
        for (const int tabCount : { 8, 20 }) {
            for (; opened < tabCount; ++opened)
                (opened == 0 ? view() : tabs()->newTab(true))->loadUrl(titledPage(title.arg(opened)));
            const bool fit = tabCount == 8;
            for (int i = 0; i < tabCount; ++i) {
                WAIT_COMPARE(shownTip(i), title.arg(i));
                QVERIFY2(bar->tabRect(i).width() >= 120, qPrintable(QString::number(i)));
                QVERIFY2(!fit || bar->rect().contains(bar->tabRect(i)), qPrintable(QString::number(i)));
            }
            const QList<QToolButton*> scroll = bar->findChildren<QToolButton*>();
            QCOMPARE(std::any_of(scroll.begin(), scroll.end(), [](QToolButton* b) { return b->isVisible(); }),
                !fit);
        }
    }

    // 90 % of the screen, centred, or where the last window closed if that is still on a screen.
    void windowGeometry_data()
    {
        columns<QRect, bool>("remembered", "restored");
        row("nothing remembered", QRect(), false);
        row("remembered place", QRect(100, 80, 700, 500), true);
        row("remembered place off every screen", QRect(6000, 5000, 700, 500), false);
    }
    void windowGeometry()
    {
        const auto [remembered, restored] = fetch<QRect, bool>("remembered", "restored");
        QSettings().remove("BrowserMainWindow/geometry");
        if (!remembered.isNull()) {
            QPointer<BrowserMainWindow> last = app()->newMainWindow();
            QVERIFY(QTest::qWaitForWindowExposed(last));
            last->setGeometry(remembered);
            WAIT_COMPARE(last->geometry(), remembered);
            last->close();
            WAIT(last.isNull());
        }
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QRect expected = remembered;
        if (!restored) {
            expected.setSize(QSize(qRound(available.width() * 0.9), qRound(available.height() * 0.9)));
            expected.moveCenter(available.center());
        }
        WAIT_COMPARE(window()->geometry(), expected);
    }

    // The status bar's progress and zoom are the current tab's; a slow load's tab shows it loads.
    void statusBarFollowsCurrentTab()
    {
        const QImage loading = QIcon(QStringLiteral(":loading.gif")).pixmap(16).toImage();
        auto* progress = child<QProgressBar>(window()->statusBar(), "loadProgress");
        auto* zoom = child<QLabel>(window()->statusBar(), "zoomLevel");
        m_origin.pages["/slow"] = "<title>Slow</title>" + QByteArray(64 * 1024, 'x');
        m_origin.cut["/slow"] = 100;
        WebView* slow = view();
        slow->loadUrl(at("slow"));
        WAIT(progress->isVisible() && tabs()->tabIcon(0).pixmap(16).toImage() == loading);
        slow->setZoomFactor(1.25);
        window()->updateZoomIndicator();
        QCOMPARE(zoom->text(), QStringLiteral("125 %"));
        QVERIFY(loadAndWait(tabs()->newTab(true), titledPage("Quick")));
        QVERIFY(!progress->isVisible() && !zoom->isVisible());
        tabs()->setCurrentWidget(slow);
        QVERIFY(progress->isVisible() && zoom->isVisible());
        m_origin.release("/slow");
        WAIT(!progress->isVisible() && tabs()->tabIcon(0).pixmap(16).toImage() != loading);
        slow->setZoomFactor(1.0); // the engine keeps a zoom per host: later tests' popups share it
    }

    void closeQuestion_data()
    {
        columns<int, int>("tabs", "answer");
        row("one tab closes without asking", 1, int(QMessageBox::Yes));
        row("three tabs, No keeps everything", 3, int(QMessageBox::No));
        row("three tabs, Yes closes", 3, int(QMessageBox::Yes));
    }
    void closeQuestion()
    {
        const auto [tabs, answer] = fetch<int, int>("tabs", "answer");
        view();
        for (int i = 1; i < tabs; ++i)
            this->tabs()->newTab(true);
        QuestionWatch watch(nullptr, [answer = answer](QDialog* box) {
            qobject_cast<QMessageBox*>(box)->button(QMessageBox::StandardButton(answer))->click();
        });
        m_window->close();
        QCOMPARE(watch.texts.value(0).section('\n', 0, 0),
            tabs == 1 ? QString()
                      : QStringLiteral("Are you sure you want to close the window?  There are 3 tabs open"));
        if (answer == QMessageBox::Yes)
            WAIT(m_window.isNull());
        else
            QVERIFY(m_window->isVisible() && this->tabs()->count() == tabs);
    }

    // History jumps; the close button asks the page; closed tabs are remembered newest first, nine at most.
    void historyAndClosingTabs()
    {
        for (const char* title : { "H1", "H2", "H3" })
            QVERIFY(loadAndWait(view(), titledPage(title)));
        QAction jump;
        for (int offset : { 0, -2, -5, 2 }) { // -5: nothing that far back, no jump and no crash
            jump.setData(offset);
            window()->slotOpenActionUrl(&jump);
            WAIT_COMPARE(view()->history()->currentItemIndex(), offset == 0 || offset == 2 ? 2 : 0);
        }
        for (const char* title : { "Keep", "Other", "Leave" })
            QVERIFY(loadAndWait(tabs()->newTab(true), titledPage(title)));
        QTest::mouseClick(tabs()->tabBar()->tabButton(3, QTabBar::RightSide), Qt::LeftButton);
        WAIT_COMPARE(tabs()->count(), 3);
        tabs()->lineEditAt(1)->setText("kept");
        tabs()->closeOtherTabs(1);
        QCOMPARE(tabs()->count(), 1);
        QCOMPARE(tabs()->webViewAt(0)->url(), titledPage("Keep"));
        QCOMPARE(tabs()->lineEditAt(0)->text(), QStringLiteral("kept"));
        QList<QUrl> urls;
        for (int i = 1; i <= 11; ++i) {
            urls.prepend(QUrl(QStringLiteral("data:text/html,tab%1").arg(i)));
            tabs()->newTab(true)->loadUrl(urls.first());
        }
        for (int i = 0; i < 11; ++i)
            tabs()->closeTab(1); // oldest of the eleven first
        QCOMPARE(tabs()->recentlyClosedUrls(), urls.mid(0, 9));
    }

    // Keys written out, not read from KeyTable. Tabs: first, back <- doc -> forward (current), last.
    void keysThatWork_data()
    {
        columns<QString, QString>("outcome", "value");
        const auto keys = [](const QStringList& names, const char* outcome, const char* value) {
            for (const QString& name : names)
                row(qPrintable(name), outcome, value);
        };
        keys({ "F5", "Ctrl+R" }, "request", "/doc max-age=0");
        keys({ "Shift+F5", "Ctrl+Shift+R" }, "request", "/doc no-cache");
        row("Esc", "stop", "");
        keys({ "Alt+Left", "mouse back" }, "request", "/back");
        keys({ "Alt+Right", "mouse forward" }, "request", "/forward");
        row("Ctrl+T", "tabs", "4"); // the home page
        row("Ctrl+W", "tabs", "2");
        row("Ctrl+Shift+T", "request", "/closed");
        // The current tab after each press, round the end of the strip.
        keys({ "Ctrl+Tab", "Ctrl+PgDown" }, "current", "2 0");
        keys({ "Ctrl+Shift+Tab", "Ctrl+PgUp" }, "current", "0 2");
        row("Ctrl+1", "current", "0");
        row("Ctrl+4", "current", "1"); // no fourth tab
        row("Ctrl+F", "find", "");
        row("Ctrl+L", "location", "");
        keys({ "Ctrl++", "Ctrl+=", "Ctrl+Shift+=", "Ctrl+wheel" }, "zoom", "1.5"); // from 125 %
        row("Ctrl+-", "zoom", "1.1");
        row("Ctrl+0", "zoom", "1");
        row("Ctrl+P", "print", "");
        row("Ctrl+U", "source", "");
        row("F11", "fullScreen", "");
        row("F12", "devTools", "");
        row("Ctrl+J", "dialog", "downloads");
        row("Ctrl+,", "dialog", "settings");
    }
    void keysThatWork()
    {
        const auto [outcome, value] = fetch<QString, QString>("outcome", "value");
        const QString name = QTest::currentDataTag();
        m_origin.pages["/doc"] = "<title>Doc</title><p>lesson one</p><p>lesson two</p><p>lesson three</p>";
        QVERIFY(loadAndWait(view(), at("first")));
        WebView* doc = tabs()->newTab(true);
        for (const char* path : { "back", "doc", "forward" })
            QVERIFY(loadAndWait(doc, at(path)));
        QVERIFY(loadAndWait(tabs()->newTab(false), at("closed")));
        tabs()->closeTab(2);
        QVERIFY(loadAndWait(tabs()->newTab(false), at("last")));
        QSignalSpy back(doc, &QWebEngineView::loadFinished);
        doc->back();
        QVERIFY(back.wait(20000));
        doc->zoomBy(0); // the host's zoom outlives the window
        doc->zoomBy(2);
        window()->activateWindow();
        QApplication::setActiveWindow(window()); // no window manager to do it
        WAIT_COMPARE(QApplication::activeWindow(), window());
        doc->setFocus();
        WAIT(QApplication::focusWidget() && doc->isAncestorOf(QApplication::focusWidget()));
        auto press = [&] {
            QWidget* focus = QApplication::focusWidget();
            if (name == "Ctrl+wheel") {
                QWheelEvent wheel(QPointF(10, 10), QCursor::pos(), {}, QPoint(0, 120), Qt::NoButton,
                    Qt::ControlModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(focus, &wheel);
            } else if (name.startsWith("mouse")) {
                QTest::mouseClick(focus, name.endsWith("back") ? Qt::BackButton : Qt::ForwardButton, {},
                    focus->rect().center());
            } else {
                const int combined = QKeySequence(name)[0];
                Qt::Key key = Qt::Key(combined & ~Qt::KeyboardModifierMask);
                const auto modifiers = Qt::KeyboardModifiers(combined & Qt::KeyboardModifierMask);
                if (key == Qt::Key_Tab && modifiers & Qt::ShiftModifier)
                    key = Qt::Key_Backtab;
                QTest::keyClick(focus, key, modifiers);
            }
        };
        const QList<QByteArray> parts = value.toUtf8().split(' ');
        const int before = m_origin.count(parts[0], parts.mid(1));
        QSignalSpy finished(doc, &QWebEngineView::loadFinished);
        if (outcome == "stop") {
            m_origin.cut["/slow"] = 10;
            doc->load(at("slow"));
            WAIT_COMPARE(m_origin.count("/slow"), 1);
            WAIT(window()->keyAction(KeyTable::Action::Stop)->isEnabled());
        }
        if (outcome != "current")
            press();
        if (outcome == "request") {
            WAIT_COMPARE(m_origin.count(parts[0], parts.mid(1)), before + 1);
        } else if (outcome == "stop") {
            WAIT_COMPARE(finished.count(), 1);
            QCOMPARE(finished.first().at(0).toBool(), false);
            m_origin.release("/slow");
            WAIT(!window()->keyAction(KeyTable::Action::Stop)->isEnabled());
        } else if (outcome == "tabs") {
            WAIT_COMPARE(tabs()->count(), value.toInt());
            if (value.toInt() > 3)
                WAIT_COMPARE(view()->url().scheme(), QStringLiteral("qrc"));
        } else if (outcome == "current") {
            for (const QString& index : value.split(' ')) {
                press();
                QCOMPARE(tabs()->currentIndex(), index.toInt());
            }
        } else if (outcome == "find") {
            FindBar* bar = window()->findBar();
            WAIT(bar->isVisible() && bar->field()->hasFocus());
            QTest::keyClicks(bar->field(), "lesson");
            WAIT_COMPARE(bar->matchText(), QStringLiteral("1 of 3 matches"));
            QTest::keyClick(bar->field(), Qt::Key_Return);
            WAIT_COMPARE(bar->matchText(), QStringLiteral("2 of 3 matches"));
            QTest::keyClick(bar->field(), Qt::Key_Return, Qt::ShiftModifier);
            WAIT_COMPARE(bar->matchText(), QStringLiteral("1 of 3 matches"));
            QTest::keyClick(bar->field(), Qt::Key_Escape);
            QVERIFY(!bar->isVisible());
        } else if (outcome == "location") {
            QInputDialog* dialog = nullptr;
            WAIT((dialog = window()->findChild<QInputDialog*>("locationDialog")) && dialog->isVisible());
            QLineEdit* field = dialog->findChild<QLineEdit*>();
            field->selectAll();
            QTest::keyClicks(field, at("typed").toString().remove("http://"));
            QTest::keyClick(field, Qt::Key_Return);
            WAIT_COMPARE(m_origin.count("/typed"), 1);
            QCOMPARE(tabs()->count(), 3);
        } else if (outcome == "zoom") {
            WAIT_COMPARE(doc->zoomFactor(), value.toDouble());
            // The host keeps it, another host does not get it.
            WebView* same = tabs()->newTab(true);
            QVERIFY(loadAndWait(same, at("same")));
            WAIT_COMPARE(same->zoomFactor(), value.toDouble());
            QVERIFY(loadAndWait(same, foreignAt("other")));
            WAIT_COMPARE(same->zoomFactor(), 1.0);
            doc->zoomBy(0);
        } else if (outcome == "print") {
            QPrintDialog* dialog = nullptr;
            WAIT((dialog = window()->findChild<QPrintDialog*>("printDialog")) && dialog->isVisible());
            dialog->reject();
        } else if (outcome == "source") {
            WAIT_COMPARE(tabs()->count(), 4);
            QCOMPARE(view()->url(), QUrl("view-source:" + at("doc").toString()));
        } else if (outcome == "fullScreen") {
            WAIT(window()->isFullScreen());
            QTest::keyClick(
                QApplication::focusWidget() ? QApplication::focusWidget() : window(), Qt::Key_F11);
            WAIT(!window()->isFullScreen());
        } else if (outcome == "devTools") {
            QWidget* tools = nullptr;
            WAIT((tools = doc->page()->devToolsPage() ? doc->page()->devToolsPage()->view() : nullptr)
                && tools->isVisible());
            tools->close();
            press(); // the same window again
            WAIT(tools->isVisible());
            QCOMPARE(doc->page()->devToolsPage()->view(), tools);
            tools->close();
        } else if (outcome == "dialog") {
            QPointer<QWidget> dialog;
            WAIT((dialog = value == "settings" ? static_cast<QWidget*>(window()->findChild<SettingsDialog*>())
                                               : app()->sharedDownloadManager())
                && dialog->isVisible());
            dialog->close();
            WAIT(value == "downloads" || dialog.isNull()); // the settings dialog goes on close
        }
    }

    void pagesOpenTabsAndPopups()
    {
        m_origin.pages["/opener"] = "<title>Opener</title><a id=blank target=_blank href=/tab>tab</a>";
        QVERIFY(loadAndWait(view(), at("opener")));
        WebView* opener = view();
        evaluate(opener, "document.getElementById('blank').click()");
        WAIT_COMPARE(tabs()->count(), 2);
        QCOMPARE(tabs()->currentIndex(), 1);
        WAIT_COMPARE(tabs()->webViewAt(1)->url(), at("tab"));
        // A tab's page cannot move or resize the main window.
        const QRect geometry = window()->geometry();
        QSignalSpy resize(tabs()->webViewAt(1)->page(), &QWebEnginePage::geometryChangeRequested);
        evaluate(tabs()->webViewAt(1), "window.moveTo(0, 0); window.resizeTo(260, 160)");
        WAIT(resize.size() >= 1);
        QCOMPARE(window()->geometry(), geometry);
        evaluate(opener, "window.open('/popup', 'pop', 'width=320,height=240')");
        WAIT_COMPARE(popups().size(), 1);
        QPointer<PopupWindow> popup = popups().first();
        WAIT_COMPARE(popup->view()->url(), at("popup"));
        // The address line is read-only.
        auto* address = popup->findChild<QLineEdit*>();
        QTest::keyClicks(address, "x");
        QCOMPARE(address->text(), at("popup").toString());
        WAIT_COMPARE(evaluate(popup->view(), "window.innerWidth + 'x' + window.innerHeight").toString(),
            QStringLiteral("320x240"));
        evaluate(popup->view(), "window.close()");
        WAIT(popup.isNull());
        QPointer<WebView> second = tabs()->webViewAt(1);
        evaluate(second, "window.close()"); // closes its tab
        WAIT(second.isNull());
        QCOMPARE(tabs()->count(), 1);
    }

    // Foreign pages open windows only on a click (button), trusted ones also on their own.
    void windowsNeedAGesture_data()
    {
        columns<bool, QByteArray, int, int, int>("trusted", "body", "button", "tabs", "popups");
        const QByteArray sized = "window.open('/popup', 'pop', 'width=200,height=100')";
        const QByteArray link = "<a id=link href=/tab target=_blank style='position:fixed;top:0;left:0;"
                                "right:0;bottom:0'>tab</a>";
        const QByteArray onLoad = "<script>" + sized + "</script>";
        row("window.open on load", false, QByteArray("<script>window.open('/tab')</script>"), 0, 1, 0);
        row("sized window.open on a click", false,
            "<div onclick=\"" + sized + "\" style='position:fixed;top:0;left:0;right:0;bottom:0'>",
            int(Qt::LeftButton), 1, 1);
        row("trusted: sized window.open on load", true, onLoad, 0, 1, 1);
        m_origin.pages["/framed"] = "<script>" + sized + "; window.open('/tab')</script>";
        row("trusted page, a foreign frame's window.open on load", true,
            "<iframe src=" + foreignAt("framed").toEncoded() + "></iframe>", 0, 1, 0);
        row("middle click on a link", false, link, int(Qt::MiddleButton), 2, 0);
    }
    void windowsNeedAGesture()
    {
        const auto [trusted, body, button, tabs, popups]
            = fetch<bool, QByteArray, int, int, int>("trusted", "body", "button", "tabs", "popups");
        m_origin.pages["/opener"] = "<title>Opener</title>" + body;
        WebView* opener = view(); // before the load: a frame's window may open during it
        QVERIFY(loadAndWait(opener, trusted ? at("opener") : foreignAt("opener")));
        if (button) {
            WAIT(opener->focusProxy());
            QWidget* target = opener->focusProxy();
            QTest::mouseClick(target, Qt::MouseButton(button), {}, target->rect().center());
        }
        WAIT_COMPARE(this->tabs()->count(), tabs);
        WAIT_COMPARE(::popups().size(), popups);
        QTest::qWait(1000); // a window the page opened would be there by now
        QCOMPARE(this->tabs()->count(), tabs);
        QCOMPARE(::popups().size(), popups);
        QCOMPARE(this->tabs()->currentWidget(), opener);
        if (tabs == 2)
            WAIT_COMPARE(this->tabs()->webViewAt(1)->url(), foreignAt("tab"));
    }

    // A fresh origin per row, so nothing is remembered. A foreign camera asks once for two requests;
    // a certificate row's result is the title, empty when the page does not load.
    void questions_data()
    {
        columns<QString, bool, QString, QString>("host", "tls", "answer", "result");
        row("camera, trusted: no question", "127.0.0.1", false, "", "granted");
        row("camera, foreign, allowed", "localhost", false, "allowButton", "granted");
        row("camera, foreign, denied", "localhost", false, "denyButton", "denied");
        row("camera, foreign, page leaves", "localhost", false, "leave", "");
        row("certificate, Esc goes back", "127.0.0.2", true, "escape", "");
        row("certificate, continue anyway", "127.0.0.3", true, "continueButton", "Secure");
        row("certificate, ignore_certificate_errors=1", "127.0.0.4", true, "", "Secure");
    }
    void questions()
    {
        const auto [host, tls, answer, result]
            = fetch<QString, bool, QString, QString>("host", "tls", "answer", "result");
        LoopbackOrigin origin(host, tls);
        QSettings ini(BrowserApplication::iniPath(), QSettings::IniFormat);
        ini.setValue("setting/ignore_certificate_errors", int(tls && answer.isEmpty()));
        ini.sync();
        auto restore = qScopeGuard([&] { ini.remove("setting/ignore_certificate_errors"); });
        QuestionWatch watch(
            tls ? "certificateQuestion" : "permissionQuestion", [&, answer = answer](QDialog* box) {
                answer == "leave" ? view()->load(at("left")) : press(box, answer);
            });
        const bool loaded = loadAndWait(view(), QUrl(origin.url(tls ? "secure" : "camera")));
        if (tls) {
            QCOMPARE(loaded, !result.isEmpty());
            QCOMPARE(origin.count("/secure"), int(loaded));
            if (loaded)
                QCOMPARE(view()->title(), result);
        } else {
            evaluate(view(),
                "window.answers = []; for (const i of [1, 2]) navigator.mediaDevices.getUserMedia({video: "
                "true}).then(() => answers.push('granted'), e => answers.push(e.name == 'NotAllowedError' ? "
                "'denied' : e.name))");
            if (result.isEmpty()) {
                WAIT_COMPARE(view()->url(), at("left"));
                WAIT(!QuestionWatch::shown("permissionQuestion"));
            } else {
                WAIT_COMPARE(evaluate(view(), "answers.join()").toString(), result + "," + result);
            }
        }
        QCOMPARE(watch.texts.size(), answer.isEmpty() ? 0 : 1);
        if (!answer.isEmpty())
            QVERIFY2(tls ? watch.texts.first().contains(host + ":")
                         : watch.texts.first().section('\n', 0, 0)
                        == QUrl(origin.url("")).authority() + " wants to use your camera.",
                qPrintable(watch.texts.first()));
    }

    // A foreign page holds its own tab at most; no question about what the user cannot see.
    void hostilePageTraps_data()
    {
        columns<QByteArray, QString>("body", "trap");
        row("print flood", QByteArray("<script>setInterval(() => print(), 100)</script>"), "print");
        const QByteArray alerts = "<script>setTimeout(() => { for (let i = 0; i < 50; ++i) alert('Trap "
                                  "<b>1</b>') }, 300)</script>";
        row("alert loop, stopped by the user", alerts, "alert stop");
        row("alert loop, tab closed by its key", alerts, "alert close");
        row("alert loop, another tab chosen", alerts, "alert elsewhere");
        row("leave-page question",
            QByteArray("<script>onbeforeunload = e => { e.returnValue = 'stay' }</script>"), "leave");
        QByteArray frames = "<script>answers = []; onmessage = e => answers.push(e.data)</script>";
        for (int i = 1; i <= 6; ++i) // six origins, each asking
            frames += "<iframe allow=camera src=http://s" + QByteArray::number(i)
                + ".localhost:PORT/camera></iframe>";
        row("permission requests from invented origins", frames, "permissions");
        row("parts from a host with a bad certificate",
            QByteArray(
                "<img src=https://127.0.0.2:BAD/x.png><iframe src=https://127.0.0.2:BAD/frame></iframe>"),
            "certificate");
    }
    void hostilePageTraps()
    {
        auto [body, trap] = fetch<QByteArray, QString>("body", "trap");
        LoopbackOrigin badCertificate("127.0.0.2", true);
        body.replace("PORT", QByteArray::number(at("").port()));
        body.replace("BAD", QByteArray::number(QUrl(badCertificate.url("")).port()));
        m_origin.pages["/trap"] = "<title>Trap</title><body style='margin:0;height:100vh'>" + body;
        m_origin.pages["/camera"]
            = "<script>navigator.mediaDevices.getUserMedia({video: true}).then(() => "
              "parent.postMessage('granted', '*'), () => parent.postMessage('denied', '*'))"
              "</script>";
        WebView* trapped = view();
        QVERIFY(loadAndWait(tabs()->newTab(false), at("other")));
        window()->activateWindow();
        QApplication::setActiveWindow(window()); // no window manager to do it
        auto printDialogs = [&] { return window()->findChildren<QPrintDialog*>("printDialog").size(); };
        const char* question = trap.startsWith("alert") || trap == "leave" ? "scriptDialog"
            : trap == "permissions"                                        ? "permissionQuestion"
                                                                           : "certificateQuestion";
        QuestionWatch watch(question, [&, trap = trap](QDialog* dialog) {
            QVERIFY(!dialog->isWindow() && trapped->isAncestorOf(dialog)); // inside its tab
            if (trap == "permissions")
                return press(dialog, "denyButton");
            if (trap == "alert close")
                return QTest::keyClick(window(), Qt::Key_W, Qt::ControlModifier);
            if (trap == "alert elsewhere")
                return tabs()->setCurrentIndex(1);
            child<QCheckBox>(dialog, "stopDialogs")->setChecked(watch.texts.size() == 3);
            press(dialog, "okButton");
        });
        QVERIFY(loadAndWait(trapped, foreignAt("trap")));
        if (trap == "print") {
            QTest::qWait(1000);
            QCOMPARE(printDialogs(), 0); // no click, no dialog
            QTest::mouseClick(trapped->focusProxy(), Qt::LeftButton, {}, QPoint(20, 20));
            WAIT_COMPARE(printDialogs(), 1);
            QTest::qWait(1000);
            QCOMPARE(printDialogs(), 1);
            window()->findChild<QPrintDialog*>("printDialog")->reject();
        } else if (trap == "alert stop") {
            WAIT_COMPARE(watch.texts.size(), 3);
            QTest::qWait(1000);
            QCOMPARE(watch.texts,
                QStringList(
                    { "Trap <b>1</b>", "Trap <b>1</b>", "Trap <b>1</b>" })); // as written, not as markup
        } else if (trap.startsWith("alert")) { // the dialog went with its tab out of sight
            WAIT_COMPARE(watch.texts.size(), 1);
            WAIT_COMPARE(tabs()->count(), trap == "alert close" ? 1 : 2);
            QVERIFY(loadAndWait(tabs()->currentWebView(), at("again")));
            QCOMPARE(watch.texts.size(), 1);
        } else if (trap == "leave") { // asked in the client's words, after a click reached the page
            QTest::mouseClick(trapped->focusProxy(), Qt::LeftButton, {}, QPoint(20, 20));
            WAIT(evaluate(trapped, "navigator.userActivation.hasBeenActive").toBool());
            QTest::keyClick(window(), Qt::Key_W, Qt::ControlModifier);
            WAIT_COMPARE(tabs()->count(), 1);
            QCOMPARE(watch.texts, QStringList { "Changes you made may not be saved." });
        } else if (trap == "permissions") {
            WAIT_COMPARE(
                evaluate(trapped, "answers.join()").toString(), QString("denied,").repeated(6).chopped(1));
            QCOMPARE(watch.texts.size(), PageQuestions::RefusalsBeforeSilence);
        } else if (trap == "certificate") {
            QCOMPARE(watch.texts.size(), 0);
            QCOMPARE(badCertificate.heads.size(), 0);
        }
    }

    // A page cannot open the client's own pages, whose query the client vouches for.
    void ownPagesOnlyFromTheClient()
    {
        m_origin.pages["/jumps"] = "<a id=own href='qrc:/welcome.html?proxy=3'>own</a>";
        QSignalSpy urls(view(), &QWebEngineView::urlChanged);
        for (const char* jump : { "document.getElementById('own').click()", "location.href = own.href" }) {
            QVERIFY(loadAndWait(view(), at("jumps")));
            // Refused, the page stays to go on to /landed.
            evaluate(view(), jump + QStringLiteral("; setTimeout(() => location.href = '/landed', 1000)"));
            WAIT_COMPARE(view()->url(), at("landed"));
        }
        for (const QList<QVariant>& changed : urls)
            QVERIFY(changed.at(0).toUrl().scheme() != "qrc");
    }

    // Which origins are trusted; the bridge object follows the tab's origin, and each page has its own.
    void bridgeForTrustedPagesOnly()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("lumaview.ini"),
            "[setting]\nstart_url=https://Start.example.net:8443/home\n"
            "trusted_hosts=192.0.2.7, Listed.example.com\n");
        const TrustedOrigins origins = TrustedOrigins::fromIni(dir.filePath("lumaview.ini"));
        const QList<QPair<QString, bool>> cases
            = { { "http://lumaview.example.org/", true }, { "https://deep.sub.lumaview.example.org/x", true },
                  { "http://evillumaview.example.org/", false },
                  { "http://lumaview.example.org.evil.test/", false },
                  { "http://start.example.net/", true }, // the start page's host, another port
                  { "https://LISTED.example.com/", true }, { "http://a.listed.example.com/", false },
                  { "qrc:/welcome.html", true }, { "ftp://lumaview.example.org/", false } };
        for (const auto& [url, trusted] : cases)
            QVERIFY2(origins.isTrusted(QUrl(url)) == trusted, qPrintable(url));
        LoopbackOrigin foreign("localhost");
        const QString present = "typeof window.external.objectName == 'string'";
        for (const QUrl& url : { at("trusted"), QUrl(foreign.url("foreign")), at("again") }) {
            QVERIFY(loadAndWait(view(), url));
            WAIT(evaluate(view(), url.host() == "localhost" ? "window.external === undefined" : present)
                     .toBool());
        }
        WebView* first = view();
        WebView* second = tabs()->newTab(true);
        QVERIFY(loadAndWait(second, at("other")));
        WAIT(evaluate(second, present).toBool());
        // The tabs share one copy of the channel's script.
        QCOMPARE(QWebEngineProfile::defaultProfile()->scripts()->findScripts("qwebchannel.js").size(), 1);
        auto bridgeObject = [](WebView* view) {
            return view->page()->webChannel()->registeredObjects().value(TabWidget::bridgeObjectName());
        };
        evaluate(first, "window.external.objectName = 'from the first tab'");
        WAIT_COMPARE(bridgeObject(first)->objectName(), QStringLiteral("from the first tab"));
        QCOMPARE(bridgeObject(second)->objectName(), QString());
    }

    // The client's own icon fetch gives up on an endless icon (the engine fetches none), and carries the
    // credentials asked for a page: cancelled in English (the realm shown escaped), then accepted in Chinese.
    void iconsAndCredentials()
    {
        m_origin.pages["/iconic"] = "<link rel=icon href=/endless/icon.png>";
        QVERIFY(loadAndWait(view(), at("iconic")));
        WAIT(m_origin.endlessClosed);
        // 1 MiB, plus kernel buffers of two loopback legs and what the network thread reads ahead.
        QVERIFY2(m_origin.endlessSent < 32 * MiB, qPrintable(QString::number(m_origin.endlessSent)));
        auto restore = qScopeGuard([] { app()->setLanguage("en"); });
        bool accept = false;
        QString shownIntro;
        QuestionWatch watch(nullptr, [&](QDialog* dialog) { // answers as the pupil
            shownIntro = child<QLabel>(dialog, "introLabel")->text();
            child<QLineEdit>(dialog, "userNameLineEdit")->setText("pupil");
            child<QLineEdit>(dialog, "passwordLineEdit")->setText("secret");
            accept ? dialog->accept() : dialog->reject();
        });
        m_origin.pages["/auth/lesson"] = "<link rel=icon href=/auth/icon.png><title>Lesson</title>";
        for (const QString intro :
            { "Enter username and password for \"Lessons &lt;b&gt;\" at http://", "<qt>请输入 http://" }) {
            loadAndWait(view(), at("auth/lesson")); // a refused page may count as failed
            QCOMPARE(watch.texts.value(accept ? 1 : 0),
                accept ? QStringLiteral("需要身份验证") : QStringLiteral("Authentication Required"));
            QVERIFY2(shownIntro.contains(intro), qPrintable(shownIntro));
            WAIT_COMPARE(view()->title(), accept ? QStringLiteral("Lesson") : QStringLiteral("Unauthorized"));
            accept = true;
            app()->setLanguage("zh");
        }
        // The view's own icon fetch (through the proxy, which marks it) and a new tab get them unasked.
        WAIT_COMPARE(m_origin.count("/auth/icon.png",
                         { "X-Ncm-Proxy:", "Authorization: " + LoopbackOrigin::credentials() }),
            1);
        WAIT_COMPARE(tabs()->tabIcon(0).pixmap(16).toImage().pixelColor(8, 8), QColor(Qt::red));
        WebView* second = tabs()->newTab(true);
        QVERIFY(loadAndWait(second, at("auth/more")));
        QCOMPARE(second->title(), QStringLiteral("Auth/more"));
        QCOMPARE(watch.texts.size(), 2);
    }

    // The INI's language= if known, else the locale's; Qt's buttons, the engine's menu and the tab menu
    // follow it, back to English too.
    void languageFollows()
    {
        const QList<std::tuple<QString, QString, QString>> cases
            = { { "zh_CN", "", "zh" }, { "zh_TW", "", "zh" }, { "de_DE", "", "en" }, { "en_US", "zh", "zh" },
                  { "zh_CN", " EN ", "en" }, { "zh_CN", "fr", "zh" } };
        for (const auto& [locale, setting, chosen] : cases)
            QCOMPARE(BrowserApplication::chooseLanguage(locale, setting), chosen);
        const QList<std::tuple<QString, QStringList, QString, QString>> languages = {
            { "zh", { "确定", "取消" }, "后退", "打开位置(&L)..." },
            { "en", { "OK", "Cancel" }, "Back", "Open &Location..." },
        };
        for (const auto& [language, buttons, menuFirst, tabMenuFirst] : languages) {
            app()->setLanguage(language);
            auto restore = qScopeGuard([] { app()->setLanguage("en"); });
            QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
            QCOMPARE((QStringList { box.button(QDialogButtonBox::Ok)->text(),
                         box.button(QDialogButtonBox::Cancel)->text() }),
                buttons);
            QVERIFY(loadAndWait(view(), titledPage("Menu")));
            QWidget* surface = view()->focusProxy();
            QTest::mouseClick(surface, Qt::RightButton, {}, surface->rect().center());
            QMenu* menu = nullptr;
            WAIT((menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())));
            const QString first = menu->actions().value(0)->text();
            menu->close();
            QCOMPARE(first, menuFirst);
            QAction* location = nullptr;
            QTimer::singleShot(0, [&] { // the menu runs its own loop
                if (auto* tabMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    location = tabMenu->actions().value(0);
                    tabMenu->close();
                }
            });
            emit tabs()->tabBar()->customContextMenuRequested(tabs()->tabBar()->tabRect(0).center());
            QVERIFY(location);
            QCOMPARE(location->text(), tabMenuFirst);
            QCOMPARE(location->shortcut(), QKeySequence("Ctrl+L"));
            QVERIFY(location->isShortcutVisibleInContextMenu());
            delete m_window.data(); // an open view keeps the engine menu of its first language
        }
    }

    // Two reloads a minute at most after render process deaths, then a stopped page that can reload.
    void renderProcessDeathsAreBounded()
    {
        const QByteArray path = "/sturdy?" + QByteArray(400, 'x');
        const QUrl sturdy = at(path.mid(1).constData());
        QVERIFY(loadAndWait(view(), sturdy));
        auto stopped = [&] { return view()->findChild<StoppedPage*>(); };
        for (int death = 1; death <= 4; ++death) {
            WAIT(view()->page()->renderProcessPid() > 0);
            const qint64 pid = view()->page()->renderProcessPid();
            QSignalSpy terminated(view(), &QWebEngineView::renderProcessTerminated);
            QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
            WAIT_COMPARE(terminated.size(), 1);
            if (death == 3) {
                WAIT(stopped() && stopped()->isVisible());
                QTest::qWait(1000); // nothing reloads by itself
                QCOMPARE(m_origin.count(path), 3);
                // Host and end of the address shown, all of it in the tip.
                const QList<QLabel*> labels = stopped()->findChildren<QLabel*>();
                QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) {
                    const QString text = label->text();
                    return text.startsWith(at("").toDisplayString()) && text.endsWith("xxxx")
                        && label->fontMetrics().horizontalAdvance(text) <= label->width()
                        && label->toolTip().contains(sturdy.toDisplayString());
                }));
                QTest::mouseClick(child<QPushButton>(stopped(), "reloadButton"), Qt::LeftButton);
            }
            WAIT_COMPARE(m_origin.count(path), death + 1);
            WAIT(view()->page()->renderProcessPid() != pid);
            QVERIFY(!stopped() || !stopped()->isVisible());
        }
    }

    // Dropped and retried, held through "Clean up" then cancelled and restarted, from a tab, a popup.
    void downloadsEndToEnd()
    {
        const QByteArray lesson(6 * MiB, 'l');
        m_origin.pages["/lesson.bin"] = lesson;
        m_origin.pages["/drop.bin"] = m_origin.pages["/hold.bin"] = QByteArray(4 * MiB, 'x');
        m_origin.cut = { { "/drop.bin", -MiB }, { "/hold.bin", MiB / 4 } };
        m_origin.pages["/downloads"]
            = "<a id=lesson href=/lesson.bin>lesson</a> <a id=drop href=/drop.bin>drop</a> "
              "<a id=hold href=/hold.bin>hold</a>";
        nativeStore()->clear();
        QVERIFY(loadAndWait(view(), at("downloads")));
        DownloadManager* manager = app()->sharedDownloadManager();
        const auto row = downloadRow;
        auto info = [&](int index) {
            return row(index) ? child<QLabel>(row(index), "downloadInfoLabel")->text() : QString();
        };
        auto click = [&](const char* id) {
            evaluate(view(), QStringLiteral("document.getElementById('%1').click()").arg(id));
        };
        click("lesson");
        WAIT_COMPARE(manager->count(), 1);
        // The first download of the run opens the list, later ones only mark the status bar.
        QVERIFY(manager->isVisible());
        manager->hide();
        WAIT(row(0)->downloadedSuccessfully());
        QCOMPARE(readFile(row(0)->file().absoluteFilePath()), lesson);
        QCOMPARE(m_origin.count("/lesson.bin"), 1);
        click("drop");
        WAIT_COMPARE(manager->count(), 2);
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Downloading drop.bin"));
        QVERIFY(!manager->isVisible());
        WAIT_COMPARE(info(1), QStringLiteral("Download interrupted"));
        // The engine retries as a new item, which keeps the row and the name.
        m_origin.cut.remove("/drop.bin");
        QTest::mouseClick(child<QPushButton>(row(1), "retryButton"), Qt::LeftButton);
        WAIT(row(1)->downloadedSuccessfully());
        QCOMPARE(manager->count(), 2);
        QCOMPARE(row(1)->file().absoluteFilePath(),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + "/drop.bin");
        QCOMPARE(readFile(row(1)->file().absoluteFilePath()), m_origin.pages["/drop.bin"]);
        click("hold");
        WAIT_COMPARE(manager->count(), 3);
        WAIT(row(2)->bytesReceived() > 0);
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        QCOMPARE(store->childKeys(), QStringList()); // adding rows saves nothing; "Clean up" does
        QTest::mouseClick(child<QPushButton>(manager, "cleanupButton"), Qt::LeftButton);
        QCOMPARE(manager->count(), 1);
        WAIT((store->sync(), store->contains("download_0_url")));
        QCOMPARE(store->value("download_0_url").toString(), m_origin.url("hold.bin"));
        QVERIFY(!store->contains("download_1_url"));
        // A cancelled item cannot resume: the URL starts again, and the row takes the new item.
        row(0)->stop();
        WAIT_COMPARE(info(0), QStringLiteral("Download cancelled"));
        m_origin.release("/hold.bin");
        emit row(0)->restartRequested();
        WAIT(row(0)->downloadedSuccessfully());
        QCOMPARE(manager->count(), 1);
        QCOMPARE(row(0)->file().fileName(), QStringLiteral("hold.bin"));
        QCOMPARE(readFile(row(0)->file().absoluteFilePath()), m_origin.pages["/hold.bin"]);
        // A tab opened for a download closes once it runs; the file goes to the folder chosen.
        QTemporaryDir chosen;
        nativeStore()->setValue("downloadmanager/downloadDirectory", chosen.path());
        m_origin.pages["/handed.bin"] = "handed over";
        const int tabCount = tabs()->count();
        tabs()->newTab(false)->loadUrl(QUrl(m_origin.url("handed.bin")));
        QCOMPARE(tabs()->count(), tabCount + 1);
        WAIT_COMPARE(manager->count(), 2);
        WAIT_COMPARE(tabs()->count(), tabCount);
        WAIT(row(1)->downloadedSuccessfully());
        QCOMPARE(row(1)->file().absoluteFilePath(), chosen.filePath("handed.bin"));
        QCOMPARE(readFile(chosen.filePath("handed.bin")), QByteArray("handed over"));
        nativeStore()->remove("downloadmanager/downloadDirectory");
        auto* popup = new PopupWindow(QWebEngineProfile::defaultProfile());
        popup->show();
        popup->view()->load(at("lesson.bin"));
        WAIT_COMPARE(manager->count(), 3);
    }

    // A page's names stay in the download folder (not the engine's), two at once do not collide.
    void pageChosenDownloadNames()
    {
        QTemporaryDir outside;
        QWebEngineProfile::defaultProfile()->setDownloadPath(outside.path());
        const QList<QByteArray> paths = { "/first.bin", "/second.bin" };
        const QStringList written = { "same.txt", "same (1).txt" };
        for (const QByteArray& path : paths) {
            m_origin.pages[path] = path.repeated(100);
            m_origin.dispositions[path] = "attachment; filename=\"same.txt\"";
        }
        m_origin.cut = { { "/first.bin", 10 }, { "/second.bin", 10 } }; // held: both run at once
        m_origin.pages["/names"] = "<a href=/first.bin>1</a> <a href=/second.bin>2</a>";
        QVERIFY(loadAndWait(view(), at("names")));
        DownloadManager* manager = app()->sharedDownloadManager();
        const int first = manager->count();
        for (int i = 0; i < paths.size(); ++i) {
            evaluate(view(), QStringLiteral("document.links[%1].click()").arg(i));
            WAIT_COMPARE(manager->count(), first + i + 1);
        }
        m_origin.release("/first.bin");
        m_origin.release("/second.bin");
        for (int i = 0; i < paths.size(); ++i) {
            DownloadWidget* row = downloadRow(first + i);
            WAIT(row->downloadedSuccessfully());
            QCOMPARE(row->file().absoluteFilePath(),
                QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + "/" + written[i]);
            QCOMPARE(readFile(row->file().absoluteFilePath()), m_origin.pages[paths[i]]);
        }
    }

    // A URL handed over in full screen opens a current tab; the page goes back to its own tab or closes.
    void fullScreenPageKeepsItsTab()
    {
        m_origin.pages["/full"] = "<body style=margin:0><button style='width:100vw;height:100vh' "
                                  "onclick=document.documentElement.requestFullscreen()>go</button>";
        for (const bool closeOwnTab : { false, true }) {
            QVERIFY(loadAndWait(view(), at("full")));
            QPointer<WebView> own = view();
            QPointer<QWebEnginePage> page = own->page();
            QTest::mouseClick(own->focusProxy(), Qt::LeftButton, {}, QPoint(40, 40)); // a user gesture
            WAIT(tabs()->fullScreenView() && tabs()->fullScreenView()->page() == page);
            QCOMPARE(handOver(QByteArray(70 * 1024, 'a') + "\n"), QByteArray()); // past 64 KiB: unanswered
            // Only the first word of the first line opens.
            QCOMPARE(handOver(at("handed").toEncoded() + " more\n" + at("second").toEncoded() + "\n"),
                QByteArray("ok\n"));
            QCOMPARE(tabs()->count(), 2);
            QPointer<WebView> handed = tabs()->webViewAt(1);
            QPointer<QWebEnginePage> handedPage = handed->page();
            QCOMPARE(tabs()->currentWidget(), handed.data());
            if (closeOwnTab)
                tabs()->closeTab(tabs()->indexOf(own));
            else
                page->triggerAction(QWebEnginePage::ExitFullScreen);
            WAIT(!tabs()->fullScreenView());
            WAIT_COMPARE(page.isNull(), closeOwnTab);
            QCOMPARE(tabs()->count(), closeOwnTab ? 1 : 2);
            if (!closeOwnTab)
                QVERIFY(own->page() == page && own->webPage() == page);
            QVERIFY(handedPage && handed->page() == handedPage && handed->webPage() == handedPage);
            WAIT_COMPARE(handed->url(), at("handed"));
            delete m_window.data();
        }
    }

    // Closing the last main window quits even with the download list or a popup open.
    void lastWindowClosingQuits()
    {
        window()->slotDownloadManager();
        auto* popup = new PopupWindow(QWebEngineProfile::defaultProfile());
        popup->setAttribute(Qt::WA_DeleteOnClose);
        popup->show();
        WAIT(app()->sharedDownloadManager()->isVisible());
        QSignalSpy quitting(app(), &QCoreApplication::aboutToQuit);
        QTimer watchdog;
        bool stuck = false;
        connect(&watchdog, &QTimer::timeout, [&] {
            stuck = true;
            app()->quit();
        });
        watchdog.start(20000);
        QTimer::singleShot(0, window(), &QWidget::close);
        app()->exec();
        QVERIFY(!stuck);
        QCOMPARE(quitting.count(), 1);
        QVERIFY(!app()->sharedDownloadManager()->isVisible());
        QVERIFY(popups().isEmpty());
    }
};

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);
    // A camera for the permission questions.
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    BrowserApplication app(argc, argv);
    if (!app.ownsInstanceServer())
        return 1;
    qRegisterMetaType<QWebEnginePage::Feature>();
    qRegisterMetaType<QWebEnginePage::RenderProcessTerminationStatus>();
    ShellTest test;
    // Returns normally: a crash in the client's teardown fails the suite.
    return QTest::qExec(&test, argc, argv) == 0 ? 0 : 1;
}

#include "ShellTest.moc"
