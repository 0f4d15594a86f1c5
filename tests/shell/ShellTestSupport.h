#pragma once
#include <QString>
#include <QVariant>

class QWebEngineView;

// Each test class of the in-process shell suite; main() runs them in turn
// inside one BrowserApplication (a process has only one).
int runBrowserApplicationTest(int argc, char** argv);
int runBrowserMainWindowTest(int argc, char** argv);
int runTabWidgetTest(int argc, char** argv);
int runWebViewTest(int argc, char** argv);

// Loads a page and waits until it has finished loading.
bool loadAndWait(QWebEngineView* view, const QUrl& url, int timeoutMs = 20000);
// Runs script in the page and returns its result (invalid on time-out).
QVariant evaluate(QWebEngineView* view, const QString& script, int timeoutMs = 10000);
// An HTML page with the given title as a data: URL.
QUrl titledPage(const QString& title);
