#include "shell/StoppedPage.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
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
    // The address is the page's own: never markup. Word wrap would break it
    // after "http://" and cut the rest; it is shortened in the middle instead,
    // whole in the tool tip.
    m_address->setTextFormat(Qt::PlainText);
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_address->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_address->installEventFilter(this);
    auto* reload = new QPushButton(tr("Reload"), this);
    reload->setObjectName(QStringLiteral("reloadButton"));
    connect(reload, &QPushButton::clicked, this, [this] { emit reloadRequested(m_url); });

    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    heading->setAlignment(Qt::AlignHCenter);
    layout->addWidget(heading, 0, Qt::AlignHCenter);
    m_address->setAlignment(Qt::AlignHCenter);
    layout->addWidget(m_address);
    layout->addWidget(reload, 0, Qt::AlignHCenter);
    layout->addStretch();
}

void StoppedPage::showFor(const QUrl& url)
{
    m_url = url;
    m_address->setToolTip(Qt::convertFromPlainText(url.toDisplayString(), Qt::WhiteSpaceNormal));
    showAddress();
    setGeometry(parentWidget()->rect());
    show();
    raise();
}

void StoppedPage::showAddress()
{
    m_address->setText(m_address->fontMetrics().elidedText(
        m_url.toDisplayString(), Qt::ElideMiddle, m_address->contentsRect().width()));
}

bool StoppedPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_address && event->type() == QEvent::Resize)
        showAddress();
    return QWidget::eventFilter(watched, event);
}
