#include "shell/PageBridge.h"

#include "shell/JSObject.h"
#include "shell/TrustedOrigins.h"

#include <QWebChannel>
#include <QWebEnginePage>

PageBridge::PageBridge(QWebEnginePage* page, const QString& objectName)
    : QObject(page)
    , m_page(page)
    , m_bridge(new QWebChannel(this))
    , m_empty(new QWebChannel(this))
{
    m_bridge->registerObject(objectName, new JSObject(this));
    connect(page, &QWebEnginePage::urlChanged, this, &PageBridge::follow);
    // A navigation that was let through and then came to nothing (refused,
    // a download) leaves the page where it was.
    connect(page, &QWebEnginePage::loadFinished, this, [this] { follow(m_page->url()); });
    follow(page->url());
}

void PageBridge::attach(QWebEnginePage* page, const QString& objectName)
{
    if (!page->findChild<PageBridge*>(QString(), Qt::FindDirectChildrenOnly))
        new PageBridge(page, objectName);
}

void PageBridge::prepareFor(QWebEnginePage* page, const QUrl& url)
{
    auto* bridge = page->findChild<PageBridge*>(QString(), Qt::FindDirectChildrenOnly);
    if (bridge && !TrustedOrigins::instance().isTrusted(url))
        bridge->follow(url);
}

void PageBridge::follow(const QUrl& url)
{
    QWebChannel* wanted = TrustedOrigins::instance().isTrusted(url) ? m_bridge : m_empty;
    if (m_page->webChannel() != wanted)
        m_page->setWebChannel(wanted);
}
