#pragma once
#include <QObject>
#include <QUrl>

class QWebChannel;
class QWebEnginePage;

// The script bridge of one page: a bridge object of its own on a channel of
// its own, so that what one page writes no other page reads. Only a page on a
// trusted origin is served that channel; any other page is served an empty
// one, so its script finds nothing to reach. The page keeps one transport
// throughout (a swap of channels leaves the document's transport in place):
// the bridge goes when a navigation to another origin is let through and
// comes when the page shows a trusted origin.
class PageBridge : public QObject {
    Q_OBJECT
public:
    static void attach(QWebEnginePage* page, const QString& objectName);
    // Before the page's main frame goes to url: withdraws the bridge unless url is trusted.
    static void prepareFor(QWebEnginePage* page, const QUrl& url);
    // Whenever the page shows another document: the bridge, or the empty channel.
    static void follow(QWebEnginePage* page, bool trusted);

private:
    PageBridge(QWebEnginePage* page, const QString& objectName);
    void serve(bool trusted);

    QWebEnginePage* m_page;
    QWebChannel* m_bridge;
    QWebChannel* m_empty;
};
