#include "widgets/SqueezeLabel.h"

#include <QPainter>
#include <QStyle>

SqueezeLabel::SqueezeLabel(QWidget* parent)
    : QLabel(parent)
{
    // It shows names that pages choose: never as markup.
    setTextFormat(Qt::PlainText);
}

void SqueezeLabel::paintEvent(QPaintEvent* event)
{
    const QFontMetrics metrics = fontMetrics();
    const QRect contents = contentsRect();
    if (metrics.horizontalAdvance(text()) <= contents.width()) {
        QLabel::paintEvent(event);
        return;
    }
    // Painting the elided text directly: swapping the text property for the
    // paint would schedule another paint each time, a repaint loop.
    QPainter painter(this);
    drawFrame(&painter);
    const QString elided = metrics.elidedText(text(), Qt::ElideMiddle, contents.width());
    style()->drawItemText(&painter, contents, QStyle::visualAlignment(layoutDirection(), alignment()),
        palette(), isEnabled(), elided, foregroundRole());
}
