// The client in this process (its INI files and seed: CMakeLists.txt), with pages and
// downloads from a loopback origin.
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
#include <QtTest>
#include <QtWidgets>

#include <csignal>

namespace {

constexpr qint64 MiB = 1024 * 1024;

BrowserApplication* app()
{
    return BrowserApplication::instance();
}

// Loads a page and tells whether it finished loading successfully.
bool loadAndWait(QWebEngineView* view, const QUrl& url)
{
    QSignalSpy loaded(view, &QWebEngineView::loadFinished);
    view->load(url);
    return loaded.wait(30000) && loaded.first().at(0).toBool();
}

// Runs script in the page and returns its result (invalid on time-out).
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

// Hands each dialog, once it shows, to answer: the question with the object name (inside a
// view, or a window of its own), or (no name) any modal dialog. Keeps a question's text and informative text,
// another's title.
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

// Clicks the named button, or presses Esc for "escape".
void press(QDialog* box, const QString& answer)
{
    if (answer == "escape")
        QTest::keyClick(box, Qt::Key_Escape);
    else
        child<QPushButton>(box, qPrintable(answer))->click();
}

// The download list's row at index.
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

// Sends what a second launch would over the instance socket and returns the running
// instance's answer, empty when it hangs up without one.
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
    // The same origin under a name that trusted_hosts does not list.
    QUrl foreignAt(const char* path) const
    {
        QUrl url = at(path);
        url.setHost("localhost");
        return url;
    }

private slots:
    void cleanup()
    {
        qDeleteAll(popups());
        delete m_window.data();
    }

    // The proxy runs on the port the system chose (the test override); the shared network
    // manager uses it and the welcome page (lumaview.ini's start page) shows it.
    void proxyStateReachesManagerAndHome()
    {
        const int port = ProxyHolder::instance().port();
        QVERIFY(port > 0 && port != 28080);
        QCOMPARE(app()->sharedNetworkManager()->proxy(),
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), quint16(port)));
        window()->slotHome();
        QCOMPARE(view()->url(), QUrl(QStringLiteral("qrc:/welcome.html?proxy=%1").arg(port)));
        const QString text = QStringLiteral("running on 127.0.0.1 port %1").arg(port);
        WAIT(evaluate(view(), "document.body.innerText").toString().contains(text));
        // Typed proxy credentials serve that proxy only: the key keeps the port.
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

    // The first page replaces the placeholder with updates off; the window
    // title follows the current tab only.
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
        // A page's title is plain text: "&&" is how a tab shows one "&" (no mnemonic), "[*]"
        // is no placeholder and the markup stays text.
        const QString quiz = QStringLiteral("Q&A <b>x</b> [*]");
        tabs()->newTab(false)->loadUrl(titledPage(quiz));
        QCOMPARE(tabs()->currentIndex(), 0);
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
        QCOMPARE(tabs()->count(), 1);
        QCOMPARE(window()->windowTitle(), QStringLiteral("lumaview.example.org"));
    }

    // Long titles in a window 1280 wide: eight tabs fit side by side; twenty keep a readable
    // width (some words of the title) and the strip scrolls. The tool tip keeps the title as written.
    void longTitlesFitOrScroll_data()
    {
        columns<int>("tabCount");
        row("eight fit", 8);
        row("twenty scroll", 20);
    }
    void longTitlesFitOrScroll()
    {
        QFETCH(int, tabCount);
        window()->resize(1280, window()->height());
        const QString title
            = QStringLiteral("A <b>very</b> long title & one that never seems to end, page %1");
        for (int i = 0; i < tabCount; ++i)
            (i == 0 ? view() : tabs()->newTab(true))->loadUrl(titledPage(title.arg(i)));
        QTabBar* bar = tabs()->tabBar();
        QCOMPARE(bar->elideMode(), Qt::ElideRight); // cut with an ellipsis, not clipped at both ends
        auto shownTip = [bar](int i) {
            QTextDocument tip;
            tip.setHtml(bar->tabToolTip(i));
            return tip.toPlainText();
        };
        for (int i = 0; i < tabCount; ++i)
            WAIT_COMPARE(shownTip(i), title.arg(i));
        WAIT(tabs()->width() >= 1270);
        const bool fit = tabCount == 8;
        for (int i = 0; i < tabCount; ++i) {
            QVERIFY2(bar->tabRect(i).width() >= 120, qPrintable(QString::number(i)));
            if (fit)
                QVERIFY2(bar->rect().contains(bar->tabRect(i)), qPrintable(QString::number(i)));
        }
        const QList<QToolButton*> scroll = bar->findChildren<QToolButton*>();
        QCOMPARE(
            std::any_of(scroll.begin(), scroll.end(), [](QToolButton* b) { return b->isVisible(); }), !fit);
    }

    // A new window takes 90 % of the screen, centred, or the place the last
    // one closed at when that place is still on a screen.
    void windowGeometry_data()
    {
        columns<QRect, bool>("remembered", "restored");
        row("nothing remembered", QRect(), false);
        row("remembered place", QRect(100, 80, 700, 500), true);
        row("remembered place off every screen", QRect(6000, 5000, 700, 500), false);
    }
    void windowGeometry()
    {
        QFETCH(QRect, remembered);
        QFETCH(bool, restored);
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

    // Load progress and zoom in the status bar are those of the current tab.
    void statusBarFollowsCurrentTab()
    {
        auto* progress = window()->statusBar()->findChild<QProgressBar*>("loadProgress");
        auto* zoom = window()->statusBar()->findChild<QLabel*>("zoomLevel");
        QVERIFY(progress && zoom);
        m_origin.pages["/slow"] = "<title>Slow</title>" + QByteArray(64 * 1024, 'x');
        m_origin.cut["/slow"] = 100;
        WebView* slow = view();
        slow->loadUrl(at("slow"));
        WAIT(progress->isVisible());
        slow->setZoomFactor(1.25);
        window()->updateZoomIndicator();
        QVERIFY(zoom->isVisible());
        QCOMPARE(zoom->text(), QStringLiteral("125 %"));
        QVERIFY(loadAndWait(tabs()->newTab(true), titledPage("Quick")));
        QVERIFY(!progress->isVisible() && !zoom->isVisible());
        tabs()->setCurrentWidget(slow);
        QVERIFY(progress->isVisible() && zoom->isVisible());
        m_origin.release("/slow");
        WAIT(!progress->isVisible());
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
        QFETCH(int, tabs);
        QFETCH(int, answer);
        view();
        for (int i = 1; i < tabs; ++i)
            this->tabs()->newTab(true);
        QuestionWatch watch(nullptr, [&](QDialog* box) {
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

    void historyJumps()
    {
        for (const char* title : { "H1", "H2", "H3" })
            QVERIFY(loadAndWait(view(), titledPage(title)));
        QAction jump;
        for (int offset : { 0, -2, -5, 2 }) { // -5: nothing that far back, no jump and no crash
            jump.setData(offset);
            window()->slotOpenActionUrl(&jump);
            WAIT_COMPARE(view()->history()->currentItemIndex(), offset == 0 || offset == 2 ? 2 : 0);
        }
        WAIT_COMPARE(view()->title(), QStringLiteral("H3"));
    }

    // The close button goes through the page, which agrees and closes its tab;
    // closed tabs are remembered newest first, nine at most.
    void closingTabs()
    {
        view();
        for (const char* title : { "Keep", "Other", "Leave" })
            QVERIFY(loadAndWait(tabs()->newTab(true), titledPage(title)));
        QTest::mouseClick(tabs()->tabBar()->tabButton(3, QTabBar::RightSide), Qt::LeftButton);
        WAIT_COMPARE(tabs()->count(), 3);
        QCOMPARE(tabs()->recentlyClosedUrls().value(0), titledPage("Leave"));
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

    // Every key of the window, pressed where the focus is (in the page), and what it must cause: a
    // request the loopback origin sees, or a change of the window. Tabs: "first", the current one
    // with history back <- doc -> forward, and "last"; "closed" was closed before. The keys are
    // written out here, not read from the window's table, so a changed key fails too.
    void keysThatWork_data()
    {
        columns<QString, QString>("outcome", "value");
        row("F5", "request", "/doc max-age=0");
        row("Ctrl+R", "request", "/doc max-age=0");
        row("Shift+F5", "request", "/doc no-cache");
        row("Ctrl+Shift+R", "request", "/doc no-cache");
        row("Esc", "stop", "");
        row("Alt+Left", "request", "/back");
        row("Alt+Right", "request", "/forward");
        row("mouse back", "request", "/back");
        row("mouse forward", "request", "/forward");
        row("Ctrl+T", "tabs", "4"); // the home page
        row("Ctrl+W", "tabs", "2");
        row("Ctrl+Shift+T", "request", "/closed");
        // The current tab after each press, round the end of the strip.
        row("Ctrl+Tab", "current", "2 0");
        row("Ctrl+PgDown", "current", "2 0");
        row("Ctrl+Shift+Tab", "current", "0 2");
        row("Ctrl+PgUp", "current", "0 2");
        row("Ctrl+1", "current", "0");
        row("Ctrl+4", "current", "1"); // no fourth tab
        row("Ctrl+F", "find", "");
        row("Ctrl+L", "location", "");
        row("Ctrl++", "zoom", "1.5"); // from 125 %
        row("Ctrl+=", "zoom", "1.5");
        row("Ctrl+Shift+=", "zoom", "1.5");
        row("Ctrl+wheel", "zoom", "1.5");
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
        QFETCH(QString, outcome);
        QFETCH(QString, value);
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
        QCOMPARE(doc->url(), at("doc"));
        doc->zoomBy(0); // the host's zoom outlives the window
        doc->zoomBy(2);
        QCOMPARE(doc->zoomFactor(), 1.25);
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
                // Shift+Tab comes from the keyboard as Backtab.
                if (key == Qt::Key_Tab && modifiers & Qt::ShiftModifier)
                    key = Qt::Key_Backtab;
                QTest::keyClick(focus, key, modifiers);
            }
        };

        if (outcome == "request") {
            const QList<QByteArray> parts = value.toUtf8().split(' ');
            const int before = m_origin.count(parts[0], parts.mid(1));
            press();
            WAIT_COMPARE(m_origin.count(parts[0], parts.mid(1)), before + 1);
        } else if (outcome == "stop") {
            m_origin.cut["/slow"] = 10;
            QSignalSpy finished(doc, &QWebEngineView::loadFinished);
            doc->load(at("slow"));
            WAIT_COMPARE(m_origin.count("/slow"), 1);
            WAIT(window()->keyAction(KeyTable::Action::Stop)->isEnabled());
            press();
            WAIT_COMPARE(finished.count(), 1);
            QCOMPARE(finished.first().at(0).toBool(), false);
            m_origin.release("/slow");
            WAIT(!window()->keyAction(KeyTable::Action::Stop)->isEnabled());
        } else if (outcome == "tabs") {
            press();
            WAIT_COMPARE(tabs()->count(), value.toInt());
            if (value.toInt() > 3)
                WAIT_COMPARE(view()->url().scheme(), QStringLiteral("qrc"));
        } else if (outcome == "current") {
            for (const QString& index : value.split(' ')) {
                press();
                QCOMPARE(tabs()->currentIndex(), index.toInt());
            }
        } else if (outcome == "find") {
            press();
            FindBar* bar = window()->findBar();
            WAIT(bar->isVisible() && bar->field()->hasFocus());
            QTest::keyClicks(bar->field(), "lesson");
            WAIT_COMPARE(bar->matchText(), QStringLiteral("1 of 3 matches"));
            QTest::keyClick(bar->field(), Qt::Key_Return);
            WAIT_COMPARE(bar->matchText(), QStringLiteral("2 of 3 matches"));
            QTest::keyClick(bar->field(), Qt::Key_Return, Qt::ShiftModifier);
            WAIT_COMPARE(bar->matchText(), QStringLiteral("1 of 3 matches"));
            QDir().mkpath(LUMAVIEW_ARTIFACT_DIR);
            QTest::qWait(300); // the highlight reaches the screen after the count
            window()->screen()->grabWindow(window()->winId()).save(LUMAVIEW_ARTIFACT_DIR "/find-bar.png");
            QTest::keyClick(bar->field(), Qt::Key_Escape);
            QVERIFY(!bar->isVisible());
        } else if (outcome == "location") {
            press();
            QInputDialog* dialog = nullptr;
            WAIT((dialog = window()->findChild<QInputDialog*>("locationDialog")) && dialog->isVisible());
            QLineEdit* field = dialog->findChild<QLineEdit*>();
            field->selectAll();
            QTest::keyClicks(field, at("typed").toString().remove("http://"));
            QTest::keyClick(field, Qt::Key_Return);
            WAIT_COMPARE(m_origin.count("/typed"), 1);
            QCOMPARE(tabs()->count(), 3);
        } else if (outcome == "zoom") {
            press();
            WAIT_COMPARE(doc->zoomFactor(), value.toDouble());
            // The host keeps it; another host does not get it.
            WebView* same = tabs()->newTab(true);
            QVERIFY(loadAndWait(same, at("same")));
            WAIT_COMPARE(same->zoomFactor(), value.toDouble());
            QVERIFY(loadAndWait(same, foreignAt("other")));
            WAIT_COMPARE(same->zoomFactor(), 1.0);
            doc->zoomBy(0);
        } else if (outcome == "print") {
            press();
            QPrintDialog* dialog = nullptr;
            WAIT((dialog = window()->findChild<QPrintDialog*>("printDialog")) && dialog->isVisible());
            dialog->reject();
        } else if (outcome == "source") {
            press();
            WAIT_COMPARE(tabs()->count(), 4);
            QCOMPARE(view()->url(), QUrl("view-source:" + at("doc").toString()));
        } else if (outcome == "fullScreen") {
            press();
            WAIT(window()->isFullScreen());
            QTest::keyClick(
                QApplication::focusWidget() ? QApplication::focusWidget() : window(), Qt::Key_F11);
            WAIT(!window()->isFullScreen());
        } else if (outcome == "devTools") {
            press();
            QWidget* tools = nullptr;
            WAIT((tools = doc->page()->devToolsPage() ? doc->page()->devToolsPage()->view() : nullptr)
                && tools->isVisible());
            tools->close();
            press(); // the same window again
            WAIT(tools->isVisible());
            QCOMPARE(doc->page()->devToolsPage()->view(), tools);
            tools->close();
        } else if (outcome == "dialog") {
            press();
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
        // A page in a tab asks in vain to move and resize the main window.
        const QRect geometry = window()->geometry();
        QSignalSpy resize(tabs()->webViewAt(1)->page(), &QWebEnginePage::geometryChangeRequested);
        evaluate(tabs()->webViewAt(1), "window.moveTo(0, 0); window.resizeTo(260, 160)");
        WAIT(resize.size() >= 1);
        QCOMPARE(window()->geometry(), geometry);

        evaluate(opener, "window.open('/popup', 'pop', 'width=320,height=240')");
        WAIT_COMPARE(popups().size(), 1);
        QPointer<PopupWindow> popup = popups().first();
        WAIT_COMPARE(popup->view()->url(), at("popup"));
        // The address line shows where the popup is; typing changes nothing.
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

    // A page of an untrusted origin opens tabs and popups only when clicked, a trusted one also
    // on its own; a middle click on a link opens a tab behind the current one.
    void windowsNeedAGesture_data()
    {
        // button: clicked in the middle of the page, if any
        columns<bool, QByteArray, int, int, int>("trusted", "body", "button", "tabs", "popups");
        const QByteArray sized = "window.open('/popup', 'pop', 'width=200,height=100')";
        const QByteArray link = "<a id=link href=/tab target=_blank style='position:fixed;top:0;left:0;"
                                "right:0;bottom:0'>tab</a>";
        const QByteArray onLoad = "<script>" + sized + "</script>";
        row("window.open on load", false, QByteArray("<script>window.open('/tab')</script>"), 0, 1, 0);
        row("target=_blank on load", false, link + "<script>link.click()</script>", 0, 1, 0);
        row("sized window.open on load", false, onLoad, 0, 1, 0);
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
        QFETCH(bool, trusted);
        QFETCH(QByteArray, body);
        QFETCH(int, button);
        QFETCH(int, tabs);
        QFETCH(int, popups);
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

    void trustedOrigins_data()
    {
        columns<QString, bool>("url", "trusted");
        row("the organisation", "http://lumaview.example.org/", true);
        row("its subdomain", "https://deep.sub.lumaview.example.org/x", true);
        row("same ending, other name", "http://evillumaview.example.org/", false);
        row("its name inside another", "http://lumaview.example.org.evil.test/", false);
        row("start page host, other port", "http://start.example.net/", true);
        row("listed, case folded", "https://LISTED.example.com/", true);
        row("listed host's subdomain", "http://a.listed.example.com/", false);
        row("client's own page", "qrc:/welcome.html", true);
        row("other scheme, trusted host", "ftp://lumaview.example.org/", false);
    }
    void trustedOrigins()
    {
        QFETCH(QString, url);
        QFETCH(bool, trusted);
        QTemporaryDir dir;
        writeFile(dir.filePath("lumaview.ini"),
            "[setting]\nstart_url=https://Start.example.net:8443/home\n"
            "trusted_hosts=192.0.2.7, Listed.example.com\n");
        QCOMPARE(TrustedOrigins::fromIni(dir.filePath("lumaview.ini")).isTrusted(QUrl(url)), trusted);
    }

    // Two camera requests from one page: a trusted origin (127.0.0.1, trusted_hosts) gets both
    // silently; a foreign one (localhost) is asked once, and the answer serves both requests.
    void permissionQuestions_data()
    {
        columns<QString, QString, QString>("host", "answer", "result"); // "leave": goes elsewhere unanswered
        row("trusted: no question", "127.0.0.1", "", "granted");
        row("foreign, allowed", "localhost", "allowButton", "granted");
        row("foreign, denied", "localhost", "denyButton", "denied");
        row("foreign, page leaves", "localhost", "leave", "");
    }
    void permissionQuestions()
    {
        QFETCH(QString, host);
        QFETCH(QString, answer);
        QFETCH(QString, result);
        LoopbackOrigin origin(host); // a port of its own: no answer is remembered for it yet
        QuestionWatch watch("permissionQuestion",
            [&](QDialog* box) { answer == "leave" ? view()->load(at("left")) : press(box, answer); });
        QVERIFY(loadAndWait(view(), QUrl(origin.url("camera"))));
        evaluate(view(),
            "window.answers = []; for (const i of [1, 2]) navigator.mediaDevices.getUserMedia({video: true})"
            ".then(() => answers.push('granted'), e => answers.push(e.name == 'NotAllowedError' ? 'denied' : "
            "e.name))");
        if (result.isEmpty()) {
            WAIT_COMPARE(view()->url(), at("left"));
            WAIT(!QuestionWatch::shown("permissionQuestion"));
        } else {
            WAIT_COMPARE(evaluate(view(), "answers.join()").toString(), result + "," + result);
        }
        QCOMPARE(watch.texts.size(), answer.isEmpty() ? 0 : 1);
        if (!answer.isEmpty())
            QCOMPARE(watch.texts.first().section('\n', 0, 0),
                QUrl(origin.url("")).authority() + " wants to use your camera.");
    }

    // A self-signed HTTPS origin, one address per row: the engine remembers what was let through.
    void certificateQuestions_data()
    {
        columns<QString, bool, QString>("host", "ignoreSetting", "answer");
        row("Esc goes back", "127.0.0.2", false, "escape");
        row("continue anyway", "127.0.0.3", false, "continueButton");
        row("ignore_certificate_errors=1", "127.0.0.4", true, "");
    }
    void certificateQuestions()
    {
        QFETCH(QString, host);
        QFETCH(bool, ignoreSetting);
        QFETCH(QString, answer);
        const bool loads = answer != "escape";
        LoopbackOrigin origin(host, true);
        QSettings ini(BrowserApplication::iniPath(), QSettings::IniFormat);
        if (ignoreSetting) {
            ini.setValue("setting/ignore_certificate_errors", 1);
            ini.sync();
        }
        auto restore = qScopeGuard([&] {
            ini.remove("setting/ignore_certificate_errors");
            ini.sync();
        });
        QuestionWatch watch("certificateQuestion", [&](QDialog* box) { press(box, answer); });
        QCOMPARE(loadAndWait(view(), QUrl(origin.url("secure"))), loads);
        QCOMPARE(watch.texts.size(), ignoreSetting ? 0 : 1);
        if (!ignoreSetting)
            QVERIFY2(watch.texts.first().contains(host + ":"), qPrintable(watch.texts.first()));
        QCOMPARE(origin.count("/secure"), loads ? 1 : 0);
        if (loads)
            QCOMPARE(view()->title(), QStringLiteral("Secure"));
    }

    // What a foreign page does to hold the window hostage, and what it gets: a tab of its own
    // held at most, the window's keys and other tabs working, no question about what the user
    // cannot see.
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
        for (int i = 1; i <= 6; ++i) // each an origin of its own, each asking
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
        QFETCH(QByteArray, body);
        QFETCH(QString, trap);
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
        QuestionWatch watch(question, [&](QDialog* dialog) { // runs while the page waits for it
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
        } else if (trap == "leave") { // asked in the client's words, then left
            QTest::mouseClick(trapped->focusProxy(), Qt::LeftButton, {}, QPoint(20, 20));
            // The engine asks only after the click has reached the page.
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
    void ownPagesOnlyFromTheClient_data()
    {
        columns<QString>("jump");
        row("link", "document.getElementById('own').click()");
        row("script", "location.href = 'qrc:/welcome.html?proxy=3'");
    }
    void ownPagesOnlyFromTheClient()
    {
        QFETCH(QString, jump);
        m_origin.pages["/jumps"] = "<a id=own href='qrc:/welcome.html?proxy=3'>own</a>";
        QVERIFY(loadAndWait(view(), at("jumps")));
        QSignalSpy urls(view(), &QWebEngineView::urlChanged);
        // Refused, the page is still there to go on to /landed.
        evaluate(view(), jump + "; setTimeout(() => location.href = '/landed', 1000)");
        WAIT_COMPARE(view()->url(), at("landed"));
        for (const QList<QVariant>& changed : urls)
            QVERIFY(changed.at(0).toUrl().scheme() != "qrc");
    }

    // The bridge object follows the tab's origin, and each page has its own.
    void bridgeForTrustedPagesOnly()
    {
        LoopbackOrigin foreign("localhost");
        const QString present = "typeof window.external.objectName == 'string'";
        for (const QUrl& url : { at("trusted"), QUrl(foreign.url("foreign")), at("again") }) {
            QVERIFY(loadAndWait(view(), url));
            // Once the channel is up, the page holds the bridge object or nothing.
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

    void credentialDialog_data()
    {
        columns<bool, QString, QString>("accept", "title", "intro");
        // The realm comes from the server and is shown escaped.
        row("cancelled", false, "Authentication Required",
            "Enter username and password for \"Lessons &lt;b&gt;\" at http://");
        row("accepted, in Chinese", true, "需要身份验证", "<qt>请输入 http://");
    }
    void credentialDialog()
    {
        QFETCH(bool, accept);
        QFETCH(QString, title);
        QFETCH(QString, intro);
        if (accept)
            app()->setLanguage("zh");
        auto restore = qScopeGuard([] { app()->setLanguage("en"); });
        QString shownIntro;
        QuestionWatch watch(nullptr, [&](QDialog* dialog) { // answers as the pupil
            shownIntro = child<QLabel>(dialog, "introLabel")->text();
            child<QLineEdit>(dialog, "userNameLineEdit")->setText("pupil");
            child<QLineEdit>(dialog, "passwordLineEdit")->setText("secret");
            accept ? dialog->accept() : dialog->reject();
        });
        m_origin.pages["/auth/lesson"] = "<link rel=icon href=/auth/icon.png><title>Lesson</title>";
        loadAndWait(view(), at("auth/lesson")); // a refused page may count as failed
        QCOMPARE(watch.texts, QStringList { title });
        QVERIFY2(shownIntro.contains(intro), qPrintable(shownIntro));
        WAIT_COMPARE(view()->title(), accept ? QStringLiteral("Lesson") : QStringLiteral("Unauthorized"));
        if (!accept)
            return;
        // The view fetches its icon itself, through the proxy (which marks it), and the
        // application hands it the typed credentials without asking; so does a new tab's page.
        WAIT_COMPARE(m_origin.count("/auth/icon.png",
                         { "X-Ncm-Proxy:", "Authorization: " + LoopbackOrigin::credentials() }),
            1);
        WAIT_COMPARE(tabs()->tabIcon(0).pixmap(16).toImage().pixelColor(8, 8), QColor(Qt::red));
        WebView* second = tabs()->newTab(true);
        QVERIFY(loadAndWait(second, at("auth/more")));
        QCOMPARE(second->title(), QStringLiteral("Auth/more"));
        QCOMPARE(watch.texts.size(), 1);
    }

    void languageChoice_data()
    {
        columns<QString, QString, QString>(
            "locale", "setting", "chosen"); // setting: lumaview.ini's language=
        row("Chinese system", "zh_CN", "", "zh");
        row("Taiwanese system", "zh_TW", "", "zh");
        row("German system", "de_DE", "", "en");
        row("INI zh on an English system", "en_US", "zh", "zh");
        row("INI EN on a Chinese system", "zh_CN", " EN ", "en");
        row("INI value not a language", "zh_CN", "fr", "zh");
    }
    void languageChoice()
    {
        QFETCH(QString, locale);
        QFETCH(QString, setting);
        QFETCH(QString, chosen);
        QCOMPARE(BrowserApplication::chooseLanguage(locale, setting), chosen);
    }

    // Qt's standard buttons and the engine's context menu speak the chosen language (English after
    // Chinese: the switch goes back too); the tab bar's menu starts with the way to an address and its key.
    void languageFollows_data()
    {
        columns<QString, QStringList, QString, QString>("language", "buttons", "menuFirst", "tabMenuFirst");
        row("zh", "zh", QStringList { "确定", "取消" }, "后退", "打开位置(&L)...");
        row("en", "en", QStringList { "OK", "Cancel" }, "Back", "Open &Location...");
    }
    void languageFollows()
    {
        QFETCH(QString, language);
        QFETCH(QStringList, buttons);
        QFETCH(QString, menuFirst);
        QFETCH(QString, tabMenuFirst);
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
    }

    // A page whose render process keeps ending is reloaded twice a minute at most; then it shows
    // a stopped page whose button loads it again and allows two more reloads.
    void renderProcessDeathsAreBounded()
    {
        // An address far wider than the window.
        const QByteArray path = "/sturdy?" + QByteArray(400, 'x');
        const QUrl sturdy = at(path.mid(1).constData());
        QVERIFY(loadAndWait(view(), sturdy));
        auto stopped = [&] { return view()->findChild<StoppedPage*>(); };
        // Two deaths, two reloads; the third stops the page and its button loads it; the fourth
        // is reloaded again. The page is requested once more after each.
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
                // Host and end of the address on one line, shortened between; all of it in the tip.
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

    // The client's own icon fetch gives up on an icon that never ends; the engine fetches none.
    void endlessIconIsAbandoned()
    {
        m_origin.pages["/iconic"] = "<link rel=icon href=/endless/icon.png>";
        QVERIFY(loadAndWait(view(), at("iconic")));
        WAIT(m_origin.endlessClosed);
        // On top of the 1 MiB: what the kernel buffers of the two loopback legs hold (a few MiB
        // each at most) and what the client's network thread reads ahead of the count.
        QVERIFY2(m_origin.endlessSent < 32 * MiB, qPrintable(QString::number(m_origin.endlessSent)));
        QCOMPARE(
            m_origin.count("/endless/icon.png"), m_origin.count("/endless/icon.png", { "X-Ncm-Proxy:" }));
    }

    // Real downloads from links of a page, cut short by the origin: one held half way and then
    // finished, one dropped at 1 MiB and retried, one held at 256 KiB through "Clean up" and then
    // cancelled and started again, one from a tab opened for it.
    void downloadsEndToEnd()
    {
        QByteArray lesson(6 * MiB, 0);
        QRandomGenerator(14).fillRange(reinterpret_cast<quint32*>(lesson.data()), lesson.size() / 4);
        m_origin.pages["/lesson.bin"] = lesson;
        m_origin.pages["/drop.bin"] = m_origin.pages["/hold.bin"] = QByteArray(4 * MiB, 'x');
        m_origin.cut = { { "/lesson.bin", 3 * MiB }, { "/drop.bin", -MiB }, { "/hold.bin", MiB / 4 } };
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
        // Half the file is out and the origin waits: what arrived, the total, speed and time left.
        const QRegularExpression running(
            R"(^\d+ (kB|MB) of 6 MB \(\d+ (bytes|kB|MB)/sec\) - \d+ (seconds|minutes) remaining$)");
        QTRY_VERIFY2_WITH_TIMEOUT(running.match(info(0)).hasMatch(), qPrintable(info(0)), 20000);
        m_origin.release("/lesson.bin");
        WAIT(row(0)->downloadedSuccessfully());
        QCOMPARE(info(0), QStringLiteral("6 MB"));
        QCOMPARE(readFile(row(0)->file().absoluteFilePath()), lesson);
        QCOMPARE(m_origin.count("/lesson.bin"), 1);

        // The engine retries a dropped download as a new item: it keeps its row.
        click("drop");
        WAIT_COMPARE(manager->count(), 2);
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Downloading drop.bin"));
        QVERIFY(!manager->isVisible());
        WAIT_COMPARE(info(1), QStringLiteral("Download interrupted"));

        // Retried, the dropped download completes under its name.
        m_origin.cut.remove("/drop.bin");
        QTest::mouseClick(child<QPushButton>(row(1), "retryButton"), Qt::LeftButton);
        WAIT(row(1)->downloadedSuccessfully());
        QCOMPARE(manager->count(), 2);
        QCOMPARE(row(1)->file().absoluteFilePath(),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + "/drop.bin");
        QCOMPARE(readFile(row(1)->file().absoluteFilePath()), m_origin.pages["/drop.bin"]);

        // "Clean up" keeps only the running row; the list is saved later.
        click("hold");
        WAIT_COMPARE(manager->count(), 3);
        WAIT(row(2)->bytesReceived() > 0);
        auto store = nativeStore();
        store->beginGroup("downloadmanager");
        QCOMPARE(store->childKeys(), QStringList()); // adding rows scheduled no save
        QTest::mouseClick(child<QPushButton>(manager, "cleanupButton"), Qt::LeftButton);
        QCOMPARE(manager->count(), 1);
        WAIT((store->sync(), store->contains("download_0_url")));
        QCOMPARE(store->value("download_0_url").toString(), m_origin.url("hold.bin"));
        QVERIFY(!store->contains("download_1_url"));

        // An item the engine has let go of (cancelled) cannot resume: Retry then starts the URL
        // again, and the row takes the new item under its name.
        row(0)->stop();
        WAIT_COMPARE(info(0), QStringLiteral("Download cancelled"));
        m_origin.release("/hold.bin");
        emit row(0)->restartRequested();
        WAIT(row(0)->downloadedSuccessfully());
        QCOMPARE(manager->count(), 1);
        QCOMPARE(row(0)->file().fileName(), QStringLiteral("hold.bin"));
        QCOMPARE(readFile(row(0)->file().absoluteFilePath()), m_origin.pages["/hold.bin"]);

        // A tab opened for a download URL shows nothing: it closes once the download runs. The
        // file goes to the folder chosen in the settings.
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

        // A popup's download reaches the list like a tab's.
        auto* popup = new PopupWindow(QWebEngineProfile::defaultProfile());
        popup->show();
        popup->view()->load(at("lesson.bin"));
        WAIT_COMPARE(manager->count(), 3);
    }

    // Names a page chooses, by header or by a link's download attribute, cannot put a file
    // outside the download folder, hide it or its extension, or overwrite a download of the same
    // name running at the same time; the row shows the name as it is.
    void pageChosenDownloadNames()
    {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QTemporaryDir outside;
        // A folder the engine suggests is not taken, even one that exists.
        QWebEngineProfile::defaultProfile()->setDownloadPath(outside.path());
        struct Case {
            QByteArray path;
            QByteArray disposition;
            QString attribute; // the link's download attribute, when not empty
            QString written;
        };
        const QList<Case> cases = {
            { "/autostart.bin", "attachment", "../.config/autostart/x.desktop", "x.desktop" },
            { "/markup.bin", "attachment; filename=\"report.pdf<font color=#ffffff>.desktop\"", {},
                "report.pdf<font color=#ffffff>.desktop" },
            // Both held half way, so both run at once.
            { "/first.bin", "attachment; filename=\"same.txt\"", {}, "same.txt" },
            { "/second.bin", "attachment; filename=\"same.txt\"", {}, "same (1).txt" },
        };
        QString links;
        for (const Case& c : cases) {
            m_origin.pages[c.path] = c.path.repeated(100);
            m_origin.dispositions[c.path] = c.disposition;
            links += QStringLiteral("<a href='%1'%2>link</a> ")
                         .arg(QString(c.path),
                             c.attribute.isEmpty() ? QString()
                                                   : QStringLiteral(" download='%1'").arg(c.attribute));
        }
        m_origin.cut = { { "/first.bin", 10 }, { "/second.bin", 10 } };
        m_origin.pages["/names"] = links.toUtf8();
        QVERIFY(loadAndWait(view(), at("names")));
        DownloadManager* manager = app()->sharedDownloadManager();
        const int first = manager->count();
        auto row = [&](int index) { return downloadRow(first + index); };
        for (int i = 0; i < cases.size(); ++i) {
            evaluate(view(), QStringLiteral("document.links[%1].click()").arg(i));
            WAIT_COMPARE(manager->count(), first + i + 1);
        }
        m_origin.release("/first.bin");
        m_origin.release("/second.bin");
        for (int i = 0; i < cases.size(); ++i) {
            WAIT(row(i)->downloadedSuccessfully());
            QCOMPARE(row(i)->file().absoluteFilePath(), folder + "/" + cases[i].written);
            QCOMPARE(readFile(row(i)->file().absoluteFilePath()), m_origin.pages[cases[i].path]);
        }
        auto* name = child<QLabel>(row(1), "fileNameLabel");
        QCOMPARE(name->text(), cases[1].written);
        QCOMPARE(name->textFormat(), Qt::PlainText);
    }

    // A URL handed over while a page is full screen opens in a new current tab. Leaving full
    // screen puts the page back into its own tab; if that tab closed meanwhile the page goes
    // with it. Either way the new tab keeps its own page.
    void fullScreenPageKeepsItsTab_data()
    {
        columns<bool>("closeOwnTab");
        row("leave full screen", false);
        row("own tab closed", true);
    }
    void fullScreenPageKeepsItsTab()
    {
        QFETCH(bool, closeOwnTab);
        m_origin.pages["/full"] = "<body style=margin:0><button style='width:100vw;height:100vh' "
                                  "onclick=document.documentElement.requestFullscreen()>go</button>";
        QVERIFY(loadAndWait(view(), at("full")));
        QPointer<WebView> own = view();
        QPointer<QWebEnginePage> page = own->page();
        QTest::mouseClick(own->focusProxy(), Qt::LeftButton, {}, QPoint(40, 40)); // a user gesture
        WAIT(tabs()->fullScreenView() && tabs()->fullScreenView()->page() == page);

        QCOMPARE(handOver(at("handed").toEncoded() + "\n"), QByteArray("ok\n"));
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
    }

    // The client's own quit: closing its last main window ends the client even with the download
    // list or a popup open, which as windows of their own kept the process and proxy running.
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

    // A local socket's hand-over: only the first word of the first line opens; a line longer
    // than 64 KiB is cut off unanswered.
    void handOverInput_data()
    {
        columns<QByteArray, QByteArray>("sent", "answer");
        row("first word of the first line",
            at("first").toEncoded() + " more\n" + at("second").toEncoded() + "\n", QByteArray("ok\n"));
        row("line past 64 KiB", QByteArray(70 * 1024, 'a') + "\n", QByteArray());
    }
    void handOverInput()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, answer);
        view();
        QCOMPARE(handOver(sent), answer);
        QCOMPARE(tabs()->count(), answer.isEmpty() ? 1 : 2);
        if (!answer.isEmpty())
            WAIT_COMPARE(tabs()->webViewAt(1)->url(), at("first"));
    }
};

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);
    // Read when the first page is made: a camera for the permission questions.
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    BrowserApplication app(argc, argv);
    if (!app.ownsInstanceServer())
        return 1;
    qRegisterMetaType<QWebEnginePage::Feature>();
    qRegisterMetaType<QWebEnginePage::RenderProcessTerminationStatus>();
    ShellTest test;
    // Returns normally: the client's own teardown runs, so a crash on the way
    // out (downloads held at exit) fails the suite.
    return QTest::qExec(&test, argc, argv) == 0 ? 0 : 1;
}

#include "ShellTest.moc"
