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
    serve(TrustedOrigins::instance().isTrusted(page->url()));
}

void PageBridge::attach(QWebEnginePage* page, const QString& objectName)
{
    if (!page->findChild<PageBridge*>(QString(), Qt::FindDirectChildrenOnly))
        new PageBridge(page, objectName);
}

void PageBridge::prepareFor(QWebEnginePage* page, const QUrl& url)
{
    if (!TrustedOrigins::instance().isTrusted(url))
        follow(page, false);
}

void PageBridge::follow(QWebEnginePage* page, bool trusted)
{
    if (auto* bridge = page->findChild<PageBridge*>(QString(), Qt::FindDirectChildrenOnly))
        bridge->serve(trusted);
}

void PageBridge::serve(bool trusted)
{
    QWebChannel* wanted = trusted ? m_bridge : m_empty;
    if (m_page->webChannel() != wanted)
        m_page->setWebChannel(wanted);
}
