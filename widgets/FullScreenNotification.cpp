#include "widgets/FullScreenNotification.h"

#include <QEasingCurve>
#include <QGridLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QTimer>

FullScreenNotification::FullScreenNotification(QWidget* parent)
    : QWidget(parent)
    , m_x((parent ? parent->width() - 400 : 0) / 2)
    , m_label(new QLabel(tr("You are now in fullscreen mode. Press ESC to quit!"), this))
    , m_animation(new QPropertyAnimation(this, "windowOpacity", this))
{
    setVisible(false);
    setWindowFlags(Qt::ToolTip | Qt::WindowDoesNotAcceptFocus);
    auto* layout = new QGridLayout(this);
    layout->addWidget(m_label, 0, 0, Qt::AlignHCenter | Qt::AlignVCenter);
    setGeometry(m_x, m_y, m_width, m_height);
    setStyleSheet(QStringLiteral("background-color: white;        color: black;"));
    connect(m_animation, &QPropertyAnimation::finished, this, &FullScreenNotification::fadeOutFinished);
}

void FullScreenNotification::show()
{
    setWindowOpacity(1.0);
    QTimer::singleShot(300, this, [this] {
        QWidget* view = parentWidget();
        if (!view)
            return;
        m_x = (view->width() - m_width) / 2;
        move(view->mapToGlobal(QPoint(m_x, m_y)));
        QWidget::show();
        raise();
    });
    QTimer::singleShot(5000, this, &FullScreenNotification::fadeOut);
}

void FullScreenNotification::fadeOut()
{
    m_animation->setDuration(800);
    m_animation->setStartValue(1.0);
    m_animation->setEndValue(0.0);
    m_animation->setEasingCurve(QEasingCurve::OutQuad);
    m_animation->start();
}

void FullScreenNotification::fadeOutFinished()
{
    hide();
    m_animation->stop();
    setWindowOpacity(1.0);
}
