#pragma once
#include <QLabel>

// A label that, when its text is wider than the label, paints the text
// elided in the middle. The text property keeps the full text, shown as
// plain text.
class SqueezeLabel : public QLabel {
    Q_OBJECT
public:
    explicit SqueezeLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
