#include "widgets/EditTableView.h"

#include <QKeyEvent>

EditTableView::EditTableView(QWidget* parent)
    : QTableView(parent)
{
}

void EditTableView::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && model()) {
        removeOne();
        return;
    }
    QTableView::keyPressEvent(event);
}

void EditTableView::removeOne()
{
    if (!model() || !selectionModel())
        return;
    const int row = currentIndex().row();
    model()->removeRow(row, rootIndex());
    QModelIndex next = model()->index(row, 0, rootIndex());
    if (!next.isValid())
        next = model()->index(row - 1, 0, rootIndex());
    selectionModel()->setCurrentIndex(next, QItemSelectionModel::SelectCurrent | QItemSelectionModel::Rows);
}

void EditTableView::removeAll()
{
    if (model())
        model()->removeRows(0, model()->rowCount(rootIndex()), rootIndex());
}
