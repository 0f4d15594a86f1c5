// Tabs of a real main window: the placeholder, creation and cloning, the
// recently closed list, wrapping, the Ctrl+N shortcuts, and the script bridge.
#include "shell/TabWidget.h"
#include "ShellTestSupport.h"
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/TabBar.h"
#include "shell/WebView.h"

#include <QAction>
#include <QDrag>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTimer>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>
#include <QtTest>

class TabWidgetTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void placeholderReplacedByFirstView();
    void newAndClonedTabs();
    void elevenClosedTabsLeaveNineNewestFirst();
    void nextAndPreviousWrap();
    void ctrlNumberSelectsOnlyExistingTabs();
    void closingTheLastTabOpensAPlaceholder();
    void closeButtonAsksThePage();
    void closeOtherTabsKeepsOne();
    void pagesSeeTheBridgeObject();
    void fullScreenMovesThePageAndBack();
    void draggingUpStartsADragSidewaysReorders();

private:
    QPointer<BrowserMainWindow> m_window;
    TabWidget* tabs() const { return m_window->tabWidget(); }
};

void TabWidgetTest::init()
{
    m_window = BrowserApplication::instance()->newMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TabWidgetTest::cleanup()
{
    delete m_window.data();
}

void TabWidgetTest::placeholderReplacedByFirstView()
{
    QCOMPARE(tabs()->count(), 1);
    QCOMPARE(tabs()->tabText(0), QStringLiteral("(Untitled)"));
    QVERIFY(!qobject_cast<WebView*>(tabs()->widget(0)));

    QSignalSpy countSpy(tabs(), SIGNAL(tabsChanged()));
    int mostTabsPainted = 0;
    connect(tabs()->tabBar(), &QTabBar::currentChanged, this,
        [&] { mostTabsPainted = qMax(mostTabsPainted, tabs()->updatesEnabled() ? tabs()->count() : 0); });
    m_window->loadPage(titledPage("First").toString());
    QCOMPARE(tabs()->count(), 1);
    QVERIFY(qobject_cast<WebView*>(tabs()->widget(0)));
    QCOMPARE(mostTabsPainted, 0); // the swap happened with updates off
    QCOMPARE(qobject_cast<QStackedWidget*>(tabs()->lineEditStack())->count(), 1);
    QVERIFY(tabs()->currentLineEdit()->text().startsWith("data:text/html"));
    QTRY_COMPARE(tabs()->tabText(0), QStringLiteral("First"));
}

void TabWidgetTest::newAndClonedTabs()
{
    m_window->loadPage(titledPage("Origin").toString());
    QTRY_COMPARE(tabs()->tabText(0), QStringLiteral("Origin"));

    WebView* background = tabs()->newTab(false);
    QVERIFY(background);
    QCOMPARE(tabs()->count(), 2);
    QCOMPARE(tabs()->currentIndex(), 0);
    WebView* front = tabs()->newTab(true);
    QCOMPARE(tabs()->currentWidget(), front);
    QCOMPARE(qobject_cast<QStackedWidget*>(tabs()->lineEditStack())->count(), 3);

    tabs()->cloneTab(0);
    QCOMPARE(tabs()->count(), 4);
    QCOMPARE(tabs()->currentWidget(), front); // a clone is not made current
    QCOMPARE(tabs()->webViewAt(3)->url(), titledPage("Origin"));
    QTRY_COMPARE(tabs()->tabText(3), QStringLiteral("Origin"));

    tabs()->cloneTab(99); // out of range: ignored
    QCOMPARE(tabs()->count(), 4);
}

void TabWidgetTest::elevenClosedTabsLeaveNineNewestFirst()
{
    QVERIFY(!tabs()->recentlyClosedTabsAction()->isEnabled());
    tabs()->currentWebView(); // the placeholder becomes a real tab
    QList<QUrl> urls;
    for (int i = 1; i <= 11; ++i) {
        urls << QUrl(QStringLiteral("data:text/html,tab%1").arg(i));
        tabs()->newTab(true)->loadUrl(urls.last());
    }
    QCOMPARE(tabs()->count(), 12);
    for (int i = 0; i < 11; ++i)
        tabs()->closeTab(1); // oldest of the eleven first
    QCOMPARE(tabs()->count(), 1);

    QList<QUrl> expected;
    for (int i = 10; i >= 2; --i)
        expected << urls[i];
    QCOMPARE(tabs()->recentlyClosedUrls(), expected);
    QVERIFY(tabs()->recentlyClosedTabsAction()->isEnabled());
}

void TabWidgetTest::nextAndPreviousWrap()
{
    tabs()->currentWebView();
    tabs()->newTab(true);
    tabs()->newTab(true);
    QCOMPARE(tabs()->currentIndex(), 2);
    tabs()->nextTab();
    QCOMPARE(tabs()->currentIndex(), 0);
    tabs()->previousTab();
    QCOMPARE(tabs()->currentIndex(), 2);
    tabs()->previousTab();
    QCOMPARE(tabs()->currentIndex(), 1);
}

void TabWidgetTest::ctrlNumberSelectsOnlyExistingTabs()
{
    tabs()->currentWebView();
    tabs()->newTab(true);
    QCOMPARE(tabs()->count(), 2);
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));

    QTest::keyClick(m_window, Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(tabs()->currentIndex(), 0);
    QTest::keyClick(m_window, Qt::Key_2, Qt::ControlModifier);
    QCOMPARE(tabs()->currentIndex(), 1);
    QTest::keyClick(m_window, Qt::Key_3, Qt::ControlModifier); // no third tab
    QCOMPARE(tabs()->currentIndex(), 1);
}

void TabWidgetTest::closingTheLastTabOpensAPlaceholder()
{
    m_window->loadPage(titledPage("Only").toString());
    QSignalSpy lastClosed(tabs(), SIGNAL(lastTabClosed()));
    tabs()->closeTab(0);
    QCOMPARE(lastClosed.count(), 1);
    QCOMPARE(tabs()->count(), 1);
    QVERIFY(!qobject_cast<WebView*>(tabs()->widget(0)));
    QCOMPARE(tabs()->tabText(0), QStringLiteral("(Untitled)"));
}

void TabWidgetTest::closeButtonAsksThePage()
{
    tabs()->currentWebView();
    for (const char* title : { "Keep", "Leave" })
        QVERIFY(loadAndWait(tabs()->newTab(true), titledPage(title)));
    QCOMPARE(tabs()->count(), 3);

    // The close button goes through the page, which agrees and closes its tab.
    QWidget* button = tabs()->tabBar()->tabButton(2, QTabBar::RightSide);
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(tabs()->count(), 2);
    QCOMPARE(tabs()->tabText(1), QStringLiteral("Keep"));
    QCOMPARE(tabs()->recentlyClosedUrls().value(0), titledPage("Leave"));
}

void TabWidgetTest::closeOtherTabsKeepsOne()
{
    tabs()->currentWebView();
    for (int i = 1; i <= 4; ++i)
        tabs()->newTab(true)->loadUrl(QUrl(QStringLiteral("data:text/html,other%1").arg(i)));
    QCOMPARE(tabs()->count(), 5);
    tabs()->lineEditAt(2)->setText(QStringLiteral("kept"));
    tabs()->closeOtherTabs(2);
    QCOMPARE(tabs()->count(), 1);
    QCOMPARE(tabs()->webViewAt(0)->url(), QUrl(QStringLiteral("data:text/html,other2")));
    QCOMPARE(tabs()->lineEditAt(0)->text(), QStringLiteral("kept"));
    tabs()->closeOtherTabs(-1);
    QCOMPARE(tabs()->count(), 1);
}

void TabWidgetTest::pagesSeeTheBridgeObject()
{
    // Several tabs share one copy of the bridge script in the profile.
    WebView* first = tabs()->currentWebView();
    WebView* second = tabs()->newTab(true);
    const QList<QWebEngineScript> scripts
        = QWebEngineProfile::defaultProfile()->scripts()->findScripts(QStringLiteral("qwebchannel.js"));
    QCOMPARE(scripts.size(), 1);

    for (WebView* view : { first, second }) {
        QVERIFY(loadAndWait(view, titledPage("Bridge")));
        QTRY_COMPARE_WITH_TIMEOUT(evaluate(view,
                                      "typeof window.external === 'object' && window.external !== null && "
                                      "typeof window.external.objectName === 'string'")
                                      .toBool(),
            true, 15000);
    }
}

void TabWidgetTest::fullScreenMovesThePageAndBack()
{
    WebView* view = tabs()->currentWebView();
    QWebEnginePage* page = view->page();
    // Full screen needs a user gesture: a real click on the page asks for it.
    QVERIFY(loadAndWait(view,
        QUrl("data:text/html,<title>Full</title><body style='height:100vh'>"
             "<script>document.onclick = function() {"
             " document.documentElement.requestFullscreen(); };</script>")));
    QWidget* surface = view->focusProxy();
    QVERIFY(surface);
    QTest::mouseClick(surface, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
    QTRY_VERIFY_WITH_TIMEOUT(tabs()->fullScreenView(), 10000);
    QWebEngineView* full = tabs()->fullScreenView();
    QCOMPARE(full->page(), page);
    QTRY_VERIFY(full->isFullScreen());
    QTRY_VERIFY(evaluate(full, "document.fullscreenElement !== null").toBool());

    page->triggerAction(QWebEnginePage::ExitFullScreen);
    QTRY_VERIFY_WITH_TIMEOUT(!tabs()->fullScreenView(), 10000);
    QCOMPARE(view->page(), page);
    QCOMPARE(tabs()->currentWebView(), view);
    QTRY_COMPARE(evaluate(view, "document.title").toString(), QStringLiteral("Full"));
}

void TabWidgetTest::draggingUpStartsADragSidewaysReorders()
{
    tabs()->currentWebView();
    tabs()->newTab(true);
    tabs()->lineEditAt(0)->setText(QStringLiteral("first"));
    tabs()->lineEditAt(1)->setText(QStringLiteral("second"));
    tabs()->tabBar()->setTabData(0, QUrl("http://127.0.0.1/first"));
    QTabBar* bar = tabs()->tabBar();
    const QPoint start = bar->tabRect(0).center();

    // Straight up: a drag carrying the tab's URL. The drag loop ends with the
    // release that the timer sends while it runs.
    bool dragSeen = false;
    QList<QUrl> dragUrls;
    QTimer::singleShot(200, this, [&] {
        if (auto* drag = bar->findChild<QDrag*>()) {
            dragSeen = true;
            dragUrls = drag->mimeData()->urls();
        }
        QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, start - QPoint(0, 30));
    });
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, start);
    QMouseEvent up(QEvent::MouseMove, start - QPoint(0, 30), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &up);
    QTRY_VERIFY(dragSeen);
    QCOMPARE(dragUrls, QList<QUrl> { QUrl("http://127.0.0.1/first") });
    QCOMPARE(tabs()->lineEditAt(0)->text(), QStringLiteral("first"));
    QTRY_VERIFY(!bar->findChild<QDrag*>()); // Qt deletes the finished drag later

    // Sideways past the neighbour: the tabs swap, and their line edits with them.
    const QPoint target = bar->tabRect(1).center() + QPoint(bar->tabRect(1).width() / 2, 0);
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, start);
    for (int x = start.x(); x <= target.x(); x += 5) {
        QMouseEvent move(
            QEvent::MouseMove, QPoint(x, start.y()), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &move);
    }
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, target);
    QTRY_COMPARE(tabs()->lineEditAt(0)->text(), QStringLiteral("second"));
    QCOMPARE(tabs()->lineEditAt(1)->text(), QStringLiteral("first"));
    QVERIFY(!bar->findChild<QDrag*>());
}

int runTabWidgetTest(int argc, char** argv)
{
    TabWidgetTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TabWidgetTest.moc"
