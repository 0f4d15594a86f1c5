#include "shell/StoppedPage.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

bool ReloadBound::allowReload()
{
    const qint64 now = m_clock.elapsed();
    while (!m_reloads.isEmpty() && now - m_reloads.first() >= WindowMs)
        m_reloads.removeFirst();
    if (m_reloads.size() >= MaxReloads)
        return false;
    m_reloads.append(now);
    return true;
}

StoppedPage::StoppedPage(QWidget* parent)
    : QWidget(parent)
    , m_address(new QLabel(this))
{
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Base));
    setPalette(palette);

    auto* heading = new QLabel(tr("This page stopped working."), this);
    QFont font = heading->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    heading->setFont(font);
    // The address is the page's own: never markup.
    m_address->setTextFormat(Qt::PlainText);
    m_address->setWordWrap(true);
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* reload = new QPushButton(tr("Reload"), this);
    reload->setObjectName(QStringLiteral("reloadButton"));
    connect(reload, &QPushButton::clicked, this, [this] { emit reloadRequested(m_url); });

    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    for (QWidget* widget : { static_cast<QWidget*>(heading), static_cast<QWidget*>(m_address) }) {
        layout->addWidget(widget, 0, Qt::AlignHCenter);
        static_cast<QLabel*>(widget)->setAlignment(Qt::AlignHCenter);
    }
    layout->addWidget(reload, 0, Qt::AlignHCenter);
    layout->addStretch();
}

void StoppedPage::showFor(const QUrl& url)
{
    m_url = url;
    m_address->setText(url.toDisplayString());
    setGeometry(parentWidget()->rect());
    show();
    raise();
}
