// One process, one application object: the shell's test classes share it.
// Beside this program the build places lumaview.ini (proxy on), a
// lumashell.ini whose override lets the proxy pick a free port, the web
// channel script, and a seed folder.
#include "ShellTestSupport.h"
#include "shell/BrowserApplication.h"

#include <QEventLoop>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>

bool loadAndWait(QWebEngineView* view, const QUrl& url, int timeoutMs)
{
    QEventLoop loop;
    bool ok = false;
    auto connection = QObject::connect(view, &QWebEngineView::loadFinished, &loop, [&](bool success) {
        ok = success;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    view->load(url);
    loop.exec();
    QObject::disconnect(connection);
    return ok;
}

QVariant evaluate(QWebEngineView* view, const QString& script, int timeoutMs)
{
    QEventLoop loop;
    QVariant result;
    view->page()->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return result;
}

QUrl titledPage(const QString& title)
{
    return QUrl(QStringLiteral("data:text/html,<html><head><title>%1</title></head><body>%1</body></html>")
                    .arg(title));
}

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);
    BrowserApplication app(argc, argv);
    if (!app.ownsInstanceServer())
        return 1;
    int failures = 0;
    failures += runBrowserApplicationTest(argc, argv);
    failures += runTabWidgetTest(argc, argv);
    failures += runBrowserMainWindowTest(argc, argv);
    failures += runWebViewTest(argc, argv);
    return failures == 0 ? 0 : 1;
}
