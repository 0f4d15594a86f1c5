// Loads one page several times and prints how long each load took, from the
// call that starts it to the view's loadFinished, in one of two settings:
//   engine  a bare QWebEngineView of the window's size (what the engine takes)
//   client  the client's own main window, tabs and views, loading through the
//           window as the client does (its INI files beside this program
//           decide whether the engine's traffic takes the local proxy)
// The first load is a warm-up and is not printed; each later one prints
// "load ms=T resources=N", N counting the page's fetched subresources. Exits
// non-zero when a load fails, misses resources, or takes longer than 30 s.
//
// Two settings from the environment serve measurements on a bad network:
// PAGE_LOAD_BENCH_WARMUP=URL makes the warm-up load that page instead (a data:
// URL warms the engine without touching the network, so the measured load
// pays for its name lookups and connections as a user's first load does), and
// PAGE_LOAD_BENCH_LIST=1 prints, after each load, "body size=N url=U" for the
// document and every subresource (N the decoded body's bytes, by which the
// caller tells whose server sent it), then prints a failed or timed-out load
// as "load ms=T resources=N failed=1" before it exits.
//
// Usage: page_load_bench engine|client URL LOADS EXPECTED_RESOURCES
#include "shell/BrowserApplication.h"
#include "shell/BrowserMainWindow.h"
#include "shell/WebView.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrlQuery>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

constexpr int LoadTimeoutMs = 30000;

// Runs the event loop until done() holds or timeoutMs pass; tells which.
template <typename Done> bool waitFor(Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Subresources the page fetched (each load is a new document, so a new list).
int fetchedResources(QWebEngineView* view)
{
    int count = -1;
    bool answered = false;
    view->page()->runJavaScript(QStringLiteral("performance.getEntriesByType('resource')"
                                               ".filter(e => !e.name.endsWith('/favicon.ico')).length"),
        [&](const QVariant& value) {
            count = value.isValid() ? value.toInt() : -1;
            answered = true;
        });
    waitFor([&] { return answered; }, 10000);
    return count;
}

// Prints the document's and its subresources' body sizes and addresses.
void listBodies(QWebEngineView* view)
{
    bool answered = false;
    view->page()->runJavaScript(
        QStringLiteral("performance.getEntriesByType('navigation')"
                       ".concat(performance.getEntriesByType('resource'))"
                       ".filter(e => !e.name.endsWith('/favicon.ico'))"
                       ".map(e => 'body size=' + e.decodedBodySize + ' url=' + e.name)"
                       ".join('\\n')"),
        [&](const QVariant& value) {
            const QByteArray lines = value.toString().toUtf8();
            if (!lines.isEmpty())
                std::printf("%s\n", lines.constData());
            answered = true;
        });
    waitFor([&] { return answered; }, 10000);
}

// Each load gets its own query, so no load can be served as a same-document step.
QUrl numbered(const QUrl& url, int n)
{
    QUrl result(url);
    QUrlQuery query(result);
    query.addQueryItem(QStringLiteral("load"), QString::number(n));
    result.setQuery(query);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 5) {
        std::fputs("usage: page_load_bench engine|client URL LOADS EXPECTED_RESOURCES\n", stderr);
        return 2;
    }
    const QByteArray mode(argv[1]);
    const QUrl url(QString::fromLocal8Bit(argv[2]));
    const int loads = QByteArray(argv[3]).toInt();
    const int expected = QByteArray(argv[4]).toInt();
    const QUrl warmup(qEnvironmentVariable("PAGE_LOAD_BENCH_WARMUP"));
    const bool list = qEnvironmentVariableIntValue("PAGE_LOAD_BENCH_LIST") == 1;
    if ((mode != "engine" && mode != "client") || !url.isValid() || loads < 1) {
        std::fputs("page_load_bench: bad arguments\n", stderr);
        return 2;
    }

    // As the client's own start sets them, so the settings differ only in what is measured.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL, true);
    // What the engine asks for when it is not initialised before the application object.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);

    std::unique_ptr<QApplication> app;
    std::unique_ptr<QWebEngineView> bare;
    BrowserMainWindow* window = nullptr;
    if (mode == "engine") {
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        auto* client = new BrowserApplication(argc, argv);
        app.reset(client);
        if (!client->ownsInstanceServer())
            return 1;
    }
    // Every load fetches everything: the pages say no-store too.
    QWebEngineProfile::defaultProfile()->setHttpCacheType(QWebEngineProfile::NoCache);

    if (mode == "engine") {
        bare = std::make_unique<QWebEngineView>();
        bare->setGeometry(BrowserMainWindow::defaultGeometry());
        bare->show();
        // Like the client's window: the first page (its start page) is asked for once the loop runs.
        bool blank = false;
        QObject::connect(bare.get(), &QWebEngineView::loadFinished, [&] { blank = true; });
        QTimer::singleShot(0, [&] { bare->load(QUrl(QStringLiteral("about:blank"))); });
        if (!waitFor([&] { return blank; }, 10000)) {
            std::fputs("page_load_bench: the bare view shows no page\n", stderr);
            return 1;
        }
        QObject::disconnect(bare.get(), &QWebEngineView::loadFinished, nullptr, nullptr);
    } else {
        window = BrowserApplication::instance()->newMainWindow();
        // Let the client open its start page (about:blank in the bench's INI) first.
        if (!waitFor([&] { return window->currentTab() && !window->currentTab()->url().isEmpty(); }, 10000)) {
            std::fputs("page_load_bench: the client's window shows no page\n", stderr);
            return 1;
        }
    }

    int status = 0;
    for (int n = 0; n <= loads && status == 0; ++n) {
        QWebEngineView* view = bare ? bare.get() : window->currentTab();
        bool finished = false;
        bool ok = false;
        QMetaObject::Connection connection
            = QObject::connect(view, &QWebEngineView::loadFinished, [&](bool success) {
                  finished = true;
                  ok = success;
              });
        const bool warming = n == 0 && !warmup.isEmpty();
        const QUrl target = warming ? warmup : numbered(url, n);
        QElapsedTimer clock;
        clock.start();
        if (bare)
            bare->load(target);
        else
            window->loadPage(target.toString());
        const bool inTime = waitFor([&] { return finished; }, LoadTimeoutMs);
        const double ms = clock.nsecsElapsed() / 1e6;
        QObject::disconnect(connection);
        if (!inTime || !ok) {
            std::fprintf(stderr, "page_load_bench: load %d %s\n", n, inTime ? "failed" : "timed out");
            if (list && n > 0) {
                listBodies(view);
                std::printf("load ms=%.1f resources=%d failed=1\n", ms, fetchedResources(view));
                std::fflush(stdout);
            }
            status = 1;
            break;
        }
        if (warming)
            continue;
        if (list && n > 0)
            listBodies(view);
        const int resources = fetchedResources(view);
        if (resources != expected) {
            std::fprintf(
                stderr, "page_load_bench: load %d fetched %d resources, not %d\n", n, resources, expected);
            status = 1;
        }
        if (n > 0)
            std::printf("load ms=%.1f resources=%d\n", ms, resources);
        std::fflush(stdout);
    }

    bare.reset();
    // The client's teardown deletes its windows before the engine's profile goes.
    app.reset();
    return status;
}
