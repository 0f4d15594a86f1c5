// Loads one page several times and prints how long each load took, from the
// call that starts it to the view's loadFinished, in one of two settings:
//   engine  a bare QWebEngineView in a tab widget of the window's size (what
//           the engine takes)
//   client  the client's own main window, tabs and views, loading through the
//           window as the client does (its INI files beside this program
//           decide whether the engine's traffic takes the local proxy)
// The first load is a warm-up and is not printed; each later one prints
// "load ms=T resources=N", N counting the page's fetched subresources. Exits
// non-zero when a load fails, misses resources, or takes longer than 30 s.
//
// Three more figures of what a user feels, each asked for by the environment:
// PAGE_LOAD_BENCH_STARTED=MICROSECONDS (the wall clock when the process was
// started, as the caller read it just before exec) prints "startup ms=T", the
// time from then to the first contentful paint of the start page (the bare
// view loads PAGE_LOAD_BENCH_START, the client its INI's start page);
// PAGE_LOAD_BENCH_MEMORY=1 prints, after the loads, "memory allocated-kb=A
// pss-kb=P rss-kb=R processes=N" over this process and all its descendants
// (the engine's zygotes, renderers and GPU process; A is the anonymous and
// shared-memory part of the PSS P); PAGE_LOAD_BENCH_TABS=N then
// opens N more tabs of the page at once and prints "tabs ms=T count=N" once
// all have loaded: the bare setting adds N views to its tab widget, the client
// is handed the N URLs over its instance socket as N later launches would.
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
#include "shell/TabWidget.h"
#include "shell/WebView.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTabWidget>
#include <QTimer>
#include <QUrlQuery>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <unistd.h>

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

// Runs script in a world of its own and waits (10 s at most) for its value.
QVariant evaluate(QWebEngineView* view, const QString& script)
{
    QVariant result;
    bool answered = false;
    view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant& value) {
        result = value;
        answered = true;
    });
    waitFor([&] { return answered; }, 10000);
    return result;
}

// Subresources the page fetched (each load is a new document, so a new list).
int fetchedResources(QWebEngineView* view)
{
    const QVariant count = evaluate(view,
        QStringLiteral("performance.getEntriesByType('resource')"
                       ".filter(e => !e.name.endsWith('/favicon.ico')).length"));
    return count.isValid() ? count.toInt() : -1;
}

// Prints the document's and its subresources' body sizes and addresses.
void listBodies(QWebEngineView* view)
{
    const QByteArray lines = evaluate(view,
        QStringLiteral("performance.getEntriesByType('navigation')"
                       ".concat(performance.getEntriesByType('resource'))"
                       ".filter(e => !e.name.endsWith('/favicon.ico'))"
                       ".map(e => 'body size=' + e.decodedBodySize + ' url=' + e.name)"
                       ".join('\\n')"))
                                 .toString()
                                 .toUtf8();
    if (!lines.isEmpty())
        std::printf("%s\n", lines.constData());
}

// The wall clock (ms since the epoch) of the first contentful paint of the
// document the view shows once it has loaded, or 0 when there is none yet.
double firstPaint(QWebEngineView* view)
{
    if (!view)
        return 0;
    return evaluate(view,
        QStringLiteral(
            "(() => { if (document.readyState !== 'complete' || location.href === 'about:blank') return 0;"
            " const p = performance.getEntriesByName('first-contentful-paint')[0];"
            " return p ? performance.timeOrigin + p.startTime : 0; })()"))
        .toDouble();
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

// Memory of this process and all its descendants. PSS charges each shared
// page to its sharers in equal parts, so the engine's zygote and renderers,
// which share most of their pages, are not counted several times over as
// their RSS would be. Its anonymous and shared-memory part is what the tree
// itself allocated; the rest, pages of the program and its libraries, is the
// same for every setting, but its share moves with whatever else on the
// machine maps those libraries.
struct TreeMemory {
    qint64 pssKb = 0;
    qint64 allocatedKb = 0; // Pss_Anon and Pss_Shmem
    qint64 rssKb = 0;
    int processes = 0;
};

TreeMemory treeMemory()
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!numeric || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children[fields.at(1).toLongLong()].append(pid);
    }
    TreeMemory memory;
    QList<qint64> pending { ::getpid() };
    while (!pending.isEmpty()) {
        const qint64 pid = pending.takeFirst();
        pending += children.value(pid);
        QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
        if (!rollup.open(QIODevice::ReadOnly))
            continue;
        ++memory.processes;
        for (const QByteArray& line : rollup.readAll().split('\n')) {
            const QList<QByteArray> words = line.simplified().split(' ');
            if (words.size() < 2)
                continue;
            const qint64 kb = words.at(1).toLongLong();
            if (words.at(0) == "Pss:")
                memory.pssKb += kb;
            else if (words.at(0) == "Pss_Anon:" || words.at(0) == "Pss_Shmem:")
                memory.allocatedKb += kb;
            else if (words.at(0) == "Rss:")
                memory.rssKb += kb;
        }
    }
    return memory;
}

// Counts the loads of the views it is shown until each has finished once.
class LoadCount {
public:
    void watch(QWebEngineView* view)
    {
        if (m_seen.contains(view))
            return;
        m_seen.insert(view);
        QObject::connect(view, &QWebEngineView::loadFinished, [this](bool ok) {
            ++m_finished;
            m_failed += ok ? 0 : 1;
        });
    }
    int finished() const { return m_finished; }
    int failed() const { return m_failed; }

private:
    QSet<QWebEngineView*> m_seen;
    int m_finished = 0;
    int m_failed = 0;
};

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
    const qint64 startedUs = qEnvironmentVariable("PAGE_LOAD_BENCH_STARTED").toLongLong();
    const QUrl startPage(qEnvironmentVariable("PAGE_LOAD_BENCH_START", QStringLiteral("about:blank")));
    const bool memory = qEnvironmentVariableIntValue("PAGE_LOAD_BENCH_MEMORY") == 1;
    const int tabs = qEnvironmentVariableIntValue("PAGE_LOAD_BENCH_TABS");
    if ((mode != "engine" && mode != "client") || !url.isValid() || loads < 1 || tabs < 0) {
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
    std::unique_ptr<QTabWidget> bareTabs;
    QWebEngineView* bare = nullptr;
    BrowserMainWindow* window = nullptr;
    if (mode == "engine") {
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        // Only the program's name: the client takes a last argument for the page to open first.
        static int clientArgc = 1;
        auto* client = new BrowserApplication(clientArgc, argv);
        app.reset(client);
        if (!client->ownsInstanceServer())
            return 1;
    }
    // Every load fetches everything: the pages say no-store too.
    QWebEngineProfile::defaultProfile()->setHttpCacheType(QWebEngineProfile::NoCache);

    // The view a tab shows, without making one (the client's first tab is a placeholder until then).
    auto currentView = [&]() -> QWebEngineView* {
        if (bare)
            return qobject_cast<QWebEngineView*>(bareTabs->currentWidget());
        return qobject_cast<WebView*>(window->tabWidget()->currentWidget());
    };
    if (mode == "engine") {
        bareTabs = std::make_unique<QTabWidget>();
        bare = new QWebEngineView;
        bareTabs->addTab(bare, QString());
        bareTabs->setGeometry(BrowserMainWindow::defaultGeometry());
        bareTabs->show();
        // Like the client's window: the first page (its start page) is asked for once the loop runs.
        QTimer::singleShot(0, [&] { bare->load(startPage); });
    } else {
        window = BrowserApplication::instance()->newMainWindow();
    }
    // The start page has to have loaded (and painted, when that is measured) before the loads.
    LoadCount start;
    if (bare) {
        start.watch(bare);
    } else {
        // The first tab's view replaces its placeholder once the loop runs, before its load starts.
        TabWidget* tabWidget = window->tabWidget();
        QObject::connect(tabWidget, &TabWidget::tabsChanged, [&start, tabWidget] {
            if (auto* view = qobject_cast<WebView*>(tabWidget->currentWidget()))
                start.watch(view);
        });
    }
    const bool started = waitFor(
        [&] {
            if (start.finished() == 0)
                return false;
            if (startedUs <= 0)
                return true;
            const double paintedMs = firstPaint(currentView());
            if (paintedMs <= 0)
                return false;
            std::printf("startup ms=%.1f\n", paintedMs - startedUs / 1e3);
            return true;
        },
        10000);
    if (!started) {
        std::fputs("page_load_bench: the window shows no start page\n", stderr);
        return 1;
    }

    int status = 0;
    for (int n = 0; n <= loads && status == 0; ++n) {
        QWebEngineView* view = currentView();
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

    if (status == 0 && memory) {
        // What the load left running (the client's icon fetch, say) settles first.
        waitFor([] { return false; }, 500);
        const TreeMemory used = treeMemory();
        std::printf("memory allocated-kb=%lld pss-kb=%lld rss-kb=%lld processes=%d\n", used.allocatedKb,
            used.pssKb, used.rssKb, used.processes);
        std::fflush(stdout);
    }

    if (status == 0 && tabs > 0) {
        LoadCount opened;
        QList<QUrl> urls;
        for (int i = 0; i < tabs; ++i)
            urls << numbered(url, 1000 + i);
        std::thread launches;
        QSet<QWidget*> before; // the tabs there already
        QElapsedTimer clock;
        clock.start();
        if (bare) {
            for (const QUrl& tabUrl : urls) {
                auto* view = new QWebEngineView;
                bareTabs->addTab(view, QString());
                bareTabs->setCurrentWidget(view);
                opened.watch(view);
                view->load(tabUrl);
            }
        } else {
            // Each new tab is heard of before its load starts.
            TabWidget* tabWidget = window->tabWidget();
            for (int i = 0; i < tabWidget->count(); ++i)
                before.insert(tabWidget->widget(i));
            QObject::connect(tabWidget, &TabWidget::tabsChanged, [&, tabWidget] {
                for (int i = 0; i < tabWidget->count(); ++i) {
                    auto* view = qobject_cast<WebView*>(tabWidget->widget(i));
                    if (view && !before.contains(view))
                        opened.watch(view);
                }
            });
            // One launch after another, each waiting for the acknowledgement, as from a shell loop.
            QString problem;
            const QString socketPath = BrowserApplication::instanceSocketPath(&problem);
            launches = std::thread([socketPath, urls] {
                for (const QUrl& tabUrl : urls) {
                    if (BrowserApplication::handOver(socketPath, tabUrl)
                        != BrowserApplication::HandOver::Delivered)
                        std::fputs("page_load_bench: a hand-over failed\n", stderr);
                }
            });
        }
        const bool inTime = waitFor([&] { return opened.finished() >= tabs; }, LoadTimeoutMs);
        const double ms = clock.nsecsElapsed() / 1e6;
        if (launches.joinable())
            launches.join();
        if (!inTime || opened.failed() > 0) {
            std::fprintf(stderr, "page_load_bench: %d of %d tabs loaded, %d failed\n", opened.finished(),
                tabs, opened.failed());
            status = 1;
        } else {
            std::printf("tabs ms=%.1f count=%d\n", ms, tabs);
        }
        std::fflush(stdout);
    }

    bareTabs.reset();
    // The client's teardown deletes its windows before the engine's profile goes.
    app.reset();
    return status;
}
