#pragma once
#include <QWidget>

class QLabel;
class QPropertyAnimation;

// The notice shown on top of a page that went full screen; it fades out by
// itself. Its parent is the full-screen view.
class FullScreenNotification : public QWidget {
    Q_OBJECT
public:
    explicit FullScreenNotification(QWidget* parent);

    // Shows the notice after a short delay (the view must reach its full
    // size first) and starts the fade-out a few seconds later.
    void show();

public slots:
    void fadeOut();
    void fadeOutFinished();

private:
    int m_width = 400;
    int m_height = 80;
    int m_x;
    int m_y = 80;
    QLabel* m_label;
    QPropertyAnimation* m_animation;
};
