#include "shell/PopupWindow.h"

#include "shell/PageBridge.h"
#include "shell/PlainText.h"
#include "shell/TabWidget.h"
#include "shell/WebView.h"

#include <QLineEdit>
#include <QVBoxLayout>

PopupWindow::PopupWindow(QWebEngineProfile* profile)
    : m_addressBar(new QLineEdit(this))
    , m_view(new WebView(this))
{
    auto* page = new WebPage(profile, m_view);
    m_view->setPage(page);
    // Popups run the profile's bridge script as tabs do, so they get a
    // bridge on the same terms.
    PageBridge::attach(page, TabWidget::bridgeObjectName());

    // It shows where the popup is; there is nothing to navigate to from it.
    m_addressBar->setReadOnly(true);

    auto* layout = new QVBoxLayout(this);
    // No gaps: the page area is exactly the window less the address line.
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_addressBar);
    layout->addWidget(m_view);
    m_view->setFocus();

    connect(m_view, &QWebEngineView::titleChanged, this,
        [this](const QString& title) { setWindowTitle(PlainText::forWindowTitle(title)); });
    connect(m_view, SIGNAL(urlChanged(QUrl)), this, SLOT(setUrl(QUrl)));
    connect(page, SIGNAL(geometryChangeRequested(QRect)), this, SLOT(adjustGeometry(QRect)));
    connect(page, SIGNAL(windowCloseRequested()), this, SLOT(close()));
}

void PopupWindow::setUrl(const QUrl& url)
{
    m_addressBar->setText(url.toString());
}

void PopupWindow::adjustGeometry(const QRect& newGeometry)
{
    const int left = frameGeometry().left() - geometry().left();
    const int top = frameGeometry().top() - geometry().top();
    const int right = frameGeometry().right() - geometry().right();
    const int bottom = frameGeometry().bottom() - geometry().bottom();
    setGeometry(newGeometry.adjusted(left, top - m_addressBar->height(), right, bottom));
}
