#pragma once
#include <QTableView>

// A table view whose Delete and Backspace keys remove the current row.
class EditTableView : public QTableView {
    Q_OBJECT
public:
    explicit EditTableView(QWidget* parent = nullptr);

public slots:
    void removeOne();
    void removeAll();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
