#include "shell/WebView.h"

#include "shell/BrowserApplication.h"

#include <QtDebug>

WebPage::WebPage(QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent)
{
}

WebView::WebView(QWidget* parent)
    : QWebEngineView(parent)
{
    connect(this, &QWebEngineView::loadProgress, this, &WebView::setProgress);
    connect(this, &QWebEngineView::loadFinished, this, &WebView::loadFinished);
    connect(this, QOverload<const QIcon&>::of(&QWebEngineView::iconChanged), this,
        [this](const QIcon&) { emit iconChanged(); });
}

void WebView::setPage(WebPage* page)
{
    if (m_page)
        m_page->deleteLater();
    m_page = page;
    QWebEngineView::setPage(page);
}

void WebView::loadUrl(const QUrl& url)
{
    m_initialUrl = url;
    load(url);
}

QUrl WebView::url() const
{
    const QUrl current = QWebEngineView::url();
    return current.isEmpty() ? m_initialUrl : current;
}

QIcon WebView::icon() const
{
    const QIcon own = QWebEngineView::icon();
    return own.isNull() ? BrowserApplication::instance()->fallbackIcon() : own;
}

void WebView::loadFinished(bool success)
{
    if (success && m_progress != 100)
        qWarning() << "Received finished signal while progress is still:" << m_progress << "Url:" << url();
    m_progress = 0;
    // A page without a favicon never changes its icon; the tab still has to
    // drop its loading indicator.
    emit iconChanged();
}
