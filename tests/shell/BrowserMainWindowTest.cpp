// The main window: title rule, size hint, the close question, zoom, the
// start page with the proxy state, and history jumps.
#include "shell/BrowserMainWindow.h"
#include "ShellTestSupport.h"
#include "shell/BrowserApplication.h"
#include "shell/ProxyHolder.h"
#include "shell/TabWidget.h"
#include "shell/WebView.h"

#include <QAbstractButton>
#include <QAction>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWebEngineHistory>
#include <QtTest>

namespace {

// Answers the next modal question with the given button and keeps its text.
void answerNextQuestion(QMessageBox::StandardButton button, QString* text)
{
    QTimer::singleShot(0, [button, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            answerNextQuestion(button, text);
            return;
        }
        *text = box->text();
        box->button(button)->click();
    });
}

} // namespace

class BrowserMainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void titleFollowsCurrentPage();
    void sizeHintIsNinetyPercentOfScreen();
    void closeQuestion_data();
    void closeQuestion();
    void zoomSteps();
    void homeShowsProxyState();
    void historyJumps();
};

void BrowserMainWindowTest::titleFollowsCurrentPage()
{
    QScopedPointer<BrowserMainWindow> window(BrowserApplication::instance()->newMainWindow());
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    QCOMPARE(window->windowTitle(), QStringLiteral("lumaview.example.org"));
    window->loadPage(titledPage("Lesson").toString());
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Lesson - lumaview.example.org"));

    // A background tab's title does not change the window title; switching does.
    WebView* other = window->tabWidget()->newTab(false);
    other->loadUrl(titledPage("Quiz"));
    QTRY_COMPARE(window->tabWidget()->tabText(1), QStringLiteral("Quiz"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Lesson - lumaview.example.org"));
    window->tabWidget()->setCurrentIndex(1);
    QCOMPARE(window->windowTitle(), QStringLiteral("Quiz - lumaview.example.org"));

    window->slotUpdateWindowTitle();
    QCOMPARE(window->windowTitle(), QStringLiteral("lumaview.example.org"));
}

void BrowserMainWindowTest::sizeHintIsNinetyPercentOfScreen()
{
    BrowserMainWindow window;
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(window.sizeHint(), QSize(qRound(screen.width() * 0.9), qRound(screen.height() * 0.9)));
}

void BrowserMainWindowTest::closeQuestion_data()
{
    QTest::addColumn<int>("tabs");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("one tab closes without asking") << 1 << int(QMessageBox::NoButton) << true;
    QTest::newRow("three tabs, No keeps everything") << 3 << int(QMessageBox::No) << false;
    QTest::newRow("three tabs, Yes closes") << 3 << int(QMessageBox::Yes) << true;
}

void BrowserMainWindowTest::closeQuestion()
{
    QFETCH(int, tabs);
    QFETCH(int, answer);
    QFETCH(bool, closes);

    QPointer<BrowserMainWindow> window = BrowserApplication::instance()->newMainWindow();
    window->currentTab();
    for (int i = 1; i < tabs; ++i)
        window->tabWidget()->newTab(true);
    QCOMPARE(window->tabWidget()->count(), tabs);

    QString question;
    if (answer != QMessageBox::NoButton)
        answerNextQuestion(QMessageBox::StandardButton(answer), &question);
    window->close();
    if (answer != QMessageBox::NoButton)
        QCOMPARE(
            question, QStringLiteral("Are you sure you want to close the window?  There are 3 tabs open"));
    if (closes) {
        QTRY_VERIFY(window.isNull());
        return;
    }
    QTest::qWait(50);
    QVERIFY(!window.isNull());
    QVERIFY(window->isVisible());
    QCOMPARE(window->tabWidget()->count(), tabs);
    delete window.data();
}

void BrowserMainWindowTest::zoomSteps()
{
    QScopedPointer<BrowserMainWindow> window(new BrowserMainWindow);
    window->loadPage(titledPage("Zoom").toString());
    window->slotViewZoomIn();
    window->slotViewZoomIn();
    QTRY_COMPARE(qRound(window->currentTab()->zoomFactor() * 100), 120);
    window->slotViewZoomOut();
    QTRY_COMPARE(qRound(window->currentTab()->zoomFactor() * 100), 110);
    window->slotViewResetZoom();
    QTRY_COMPARE(window->currentTab()->zoomFactor(), 1.0);
}

void BrowserMainWindowTest::homeShowsProxyState()
{
    // lumaview.ini beside this program names the bundled welcome page.
    QScopedPointer<BrowserMainWindow> window(new BrowserMainWindow);
    window->show();
    window->slotHome();
    const QString port = QString::number(ProxyHolder::instance().port());
    QTRY_COMPARE_WITH_TIMEOUT(
        window->windowTitle(), QStringLiteral("Lumaview - lumaview.example.org"), 15000);
    QCOMPARE(window->currentTab()->url(), QUrl(QStringLiteral("qrc:/welcome.html?proxy=") + port));
    QTRY_VERIFY_WITH_TIMEOUT(evaluate(window->currentTab(), "document.getElementById('proxy').textContent")
                                 .toString()
                                 .contains(QStringLiteral("running on 127.0.0.1 port ") + port),
        10000);
}

void BrowserMainWindowTest::historyJumps()
{
    QScopedPointer<BrowserMainWindow> window(new BrowserMainWindow);
    WebView* view = window->currentTab();
    for (const char* title : { "H1", "H2", "H3" })
        QVERIFY(loadAndWait(view, titledPage(title)));
    QAction jump;
    jump.setData(0);
    window->slotOpenActionUrl(&jump);
    QCOMPARE(view->history()->currentItemIndex(), 2);

    jump.setData(-2);
    window->slotOpenActionUrl(&jump);
    QTRY_COMPARE(view->title(), QStringLiteral("H1"));
    jump.setData(-5); // nothing that far back: no jump, no crash
    window->slotOpenActionUrl(&jump);
    jump.setData(2);
    window->slotOpenActionUrl(&jump);
    QTRY_COMPARE(view->title(), QStringLiteral("H3")); // the last of count - 2 + 1 forward items
}

int runBrowserMainWindowTest(int argc, char** argv)
{
    BrowserMainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "BrowserMainWindowTest.moc"
