// Pages in real views, served by a loopback origin: favicons through the
// local proxy, windows opened by pages, permissions, the credential dialog
// with its Chinese translation and the reuse of typed credentials, and the
// reload after the render process dies.
#include "shell/WebView.h"
#include "LoopbackOrigin.h"
#include "ShellTestSupport.h"
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/PopupWindow.h"
#include "shell/TabWidget.h"

#include <QAuthenticator>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTranslator>
#include <QtTest>

#include <csignal>

namespace {

// Answers every credential dialog as the pupil, keeping what it showed.
struct CredentialAnswer {
    explicit CredentialAnswer(bool accept)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, accept] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            ++dialogs;
            title = dialog->windowTitle();
            intro = dialog->findChild<QLabel*>("introLabel")->text();
            dialog->findChild<QLineEdit*>("userNameLineEdit")->setText("pupil");
            dialog->findChild<QLineEdit*>("passwordLineEdit")->setText("secret");
            accept ? dialog->accept() : dialog->reject();
        });
        timer.start(50);
    }
    QTimer timer;
    int dialogs = 0;
    QString title;
    QString intro;
};

template <typename T> QList<T*> topLevels()
{
    QList<T*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* typed = qobject_cast<T*>(widget))
            found << typed;
    }
    return found;
}

} // namespace

class WebViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void faviconFetchedThroughTheLocalProxy();
    void pagesOpenTabsAndPopups();
    void windowCloseClosesTheTab();
    void permissionsGrantedWithoutPrompt_data();
    void permissionsGrantedWithoutPrompt();
    void credentialDialog_data();
    void credentialDialog();
    void proxyDialogRemembersForTheSameProxy();
    void killedRenderProcessReloads();

private:
    WebView* view() const { return m_window->tabWidget()->currentWebView(); }

    QPointer<BrowserMainWindow> m_window;
    LoopbackOrigin* m_origin = nullptr;
    QUrl at(const QString& path) const { return QUrl(m_origin->url(path)); }
};

void WebViewTest::initTestCase()
{
    qRegisterMetaType<QWebEnginePage::Feature>();
    qRegisterMetaType<QWebEnginePage::RenderProcessTerminationStatus>();
}

void WebViewTest::init()
{
    m_origin = new LoopbackOrigin;
    m_window = BrowserApplication::instance()->newMainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void WebViewTest::cleanup()
{
    for (PopupWindow* popup : topLevels<PopupWindow>())
        delete popup;
    delete m_window.data();
    delete m_origin;
}

void WebViewTest::faviconFetchedThroughTheLocalProxy()
{
    m_origin->pages["/page"] = "<link rel=icon href=/red.png><title>Iconic</title>";
    QVERIFY(loadAndWait(view(), at("page")));
    // The engine may fetch the icon itself as well; the view's own request
    // is the one the proxy marked.
    QTRY_COMPARE_WITH_TIMEOUT(m_origin->count("/red.png", { "X-Ncm-Proxy:" }), 1, 15000);
    QTRY_COMPARE(m_window->tabWidget()->tabIcon(0).pixmap(16).toImage().pixelColor(8, 8), QColor(Qt::red));
}

void WebViewTest::pagesOpenTabsAndPopups()
{
    TabWidget* tabs = m_window->tabWidget();
    m_origin->pages["/opener"] = "<title>Opener</title><a id=blank target=_blank href=/tab>tab</a>";
    QVERIFY(loadAndWait(view(), at("opener")));
    WebView* opener = view();

    evaluate(opener, "document.getElementById('blank').click()");
    QTRY_COMPARE_WITH_TIMEOUT(tabs->count(), 2, 10000);
    QCOMPARE(tabs->currentIndex(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(tabs->webViewAt(1)->url(), at("tab"), 10000);

    evaluate(opener, "window.open('/popup', 'pop', 'width=320,height=240')");
    QTRY_COMPARE_WITH_TIMEOUT(topLevels<PopupWindow>().size(), 1, 10000);
    QPointer<PopupWindow> popup = topLevels<PopupWindow>().first();
    QTRY_COMPARE_WITH_TIMEOUT(popup->view()->url(), at("popup"), 10000);
    QCOMPARE(popup->findChild<QLineEdit*>()->text(), at("popup").toString());
    QCOMPARE(tabs->count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(
        evaluate(popup->view(), "window.innerWidth + 'x' + window.innerHeight").toString(),
        QStringLiteral("320x240"), 10000);

    evaluate(popup->view(), "window.close()");
    QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 10000);
}

void WebViewTest::windowCloseClosesTheTab()
{
    TabWidget* tabs = m_window->tabWidget();
    QVERIFY(loadAndWait(view(), at("first")));
    WebView* second = tabs->newTab(true);
    QVERIFY(loadAndWait(second, at("second")));
    QPointer<WebView> guard(second);
    evaluate(second, "window.close()");
    QTRY_COMPARE_WITH_TIMEOUT(tabs->count(), 1, 10000);
    QCOMPARE(tabs->webViewAt(0)->url(), at("first"));
    QTRY_VERIFY(guard.isNull());
}

void WebViewTest::permissionsGrantedWithoutPrompt_data()
{
    QTest::addColumn<int>("feature");
    QTest::addColumn<QString>("script");
    // Without an answer the request would hang; a refusal reports "denied".
    QTest::newRow("geolocation")
        << int(QWebEnginePage::Geolocation)
        << "navigator.geolocation.getCurrentPosition(() => window.answer = 'granted', "
           "e => window.answer = e.code == e.PERMISSION_DENIED ? 'denied' : 'granted')";
    QTest::newRow("notifications") << int(QWebEnginePage::Notifications)
                                   << "Notification.requestPermission().then(p => window.answer = p)";
}

void WebViewTest::permissionsGrantedWithoutPrompt()
{
    QFETCH(int, feature);
    QFETCH(QString, script);
    QVERIFY(loadAndWait(view(), at("permissions")));
    QSignalSpy requests(view()->page(), &QWebEnginePage::featurePermissionRequested);
    evaluate(view(), script);
    QTRY_COMPARE_WITH_TIMEOUT(requests.size(), 1, 10000);
    QCOMPARE(requests.first().at(1).toInt(), feature);
    QTRY_COMPARE_WITH_TIMEOUT(evaluate(view(), "window.answer").toString(), QStringLiteral("granted"), 10000);
}

void WebViewTest::credentialDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("intro");
    QTest::newRow("cancelled") << false << false << "Authentication Required"
                               << "Enter username and password for \"Lessons &lt;b&gt;\" at http://";
    QTest::newRow("accepted, in Chinese")
        << true << true << QString::fromUtf8("需要身份验证") << QString::fromUtf8("<qt>请输入 http://");
}

void WebViewTest::credentialDialog()
{
    QFETCH(bool, accept);
    QFETCH(bool, chinese);
    QFETCH(QString, title);
    QFETCH(QString, intro);

    // The program installs the translation beside it whatever the locale;
    // the test does the same for the Chinese case only.
    QTranslator translator;
    const QLocale locale;
    if (chinese) {
        QVERIFY(translator.load(QStringLiteral(LUMAVIEW_TRANSLATION)));
        QApplication::installTranslator(&translator);
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    }
    auto restore = qScopeGuard([&] {
        QApplication::removeTranslator(&translator);
        QLocale::setDefault(locale);
    });

    CredentialAnswer answer(accept);
    m_origin->pages["/auth/lesson"] = "<link rel=icon href=/auth/icon.png><title>Lesson</title>";
    loadAndWait(view(), at("auth/lesson")); // a refused page may count as failed
    QCOMPARE(answer.dialogs, 1);
    QCOMPARE(answer.title, title);
    QVERIFY2(answer.intro.contains(intro), qPrintable(answer.intro));
    QTRY_COMPARE(view()->title(), accept ? QStringLiteral("Lesson") : QStringLiteral("Unauthorized"));
    if (!accept)
        return;

    // The view's icon request meets the same realm: the application hands
    // it the typed credentials without asking.
    QTRY_COMPARE_WITH_TIMEOUT(m_origin->count("/auth/icon.png",
                                  { "X-Ncm-Proxy:", "Authorization: " + LoopbackOrigin::credentials() }),
        1, 15000);
    // Another page of the realm in a new tab: no second dialog either.
    WebView* second = m_window->tabWidget()->newTab(true);
    QVERIFY(loadAndWait(second, at("auth/more")));
    QCOMPARE(second->title(), QStringLiteral("Auth/more"));
    QCOMPARE(answer.dialogs, 1);
    QCOMPARE(m_window->tabWidget()->tabText(0), QStringLiteral("Lesson"));
}

void WebViewTest::proxyDialogRemembersForTheSameProxy()
{
    CredentialAnswer answer(true);
    QAuthenticator auth;
    emit view()->page()->proxyAuthenticationRequired(at("lesson"), &auth, "127.0.0.1:3128");
    QCOMPARE(answer.dialogs, 1);
    QCOMPARE(answer.title, QStringLiteral("Proxy Authentication"));
    QVERIFY2(answer.intro.contains("\"127.0.0.1:3128\""), qPrintable(answer.intro));
    QCOMPARE(auth.user(), QStringLiteral("pupil"));

    // The application's own requests through the same proxy get the typed
    // credentials; through another port they do not.
    for (quint16 port : { 3128, 3129 }) {
        QAuthenticator asked;
        BrowserApplication::instance()->proxyAuthenticationRequired(
            QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", port, "pupil"), &asked);
        QCOMPARE(asked.password(), port == 3128 ? QStringLiteral("secret") : QString());
    }
}

void WebViewTest::killedRenderProcessReloads()
{
    QVERIFY(loadAndWait(view(), at("sturdy")));
    const qint64 pid = view()->page()->renderProcessPid();
    QVERIFY(pid > 0);
    QSignalSpy terminated(view(), &QWebEngineView::renderProcessTerminated);
    QSignalSpy loads(view(), &QWebEngineView::loadFinished);
    QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, 10000);
    QCOMPARE(terminated.first().at(0).value<QWebEnginePage::RenderProcessTerminationStatus>(),
        QWebEnginePage::KilledTerminationStatus);
    QTRY_VERIFY_WITH_TIMEOUT(loads.size() >= 1 && loads.last().at(0).toBool(), 15000);
    QCOMPARE(m_origin->count("/sturdy"), 2);
    QVERIFY(view()->page()->renderProcessPid() != pid);
}

int runWebViewTest(int argc, char** argv)
{
    WebViewTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WebViewTest.moc"
