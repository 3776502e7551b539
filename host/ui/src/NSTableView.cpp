#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableWidget>

#include "host/AppKitControls.h"

void NSTableView::setDataSource(NumberOfRows numberOfRows, ObjectValue objectValue, int columns) {
    numberOfRowsSource_ = std::move(numberOfRows);
    objectValueSource_ = std::move(objectValue);
    if (!isConnected() && columns > 0) columns_ = columns;
}

void NSTableView::setDelegate(SelectionDidChange selectionDidChange) {
    delegate_ = std::move(selectionDidChange);
}

void NSTableView::reloadData() {
    rows_.clear();
    const int count = numberOfRowsSource_ ? numberOfRowsSource_() : 0;
    for (int row = 0; row < count; ++row) {
        std::vector<std::string> cells;
        cells.reserve(columns_ > 0 ? static_cast<std::size_t>(columns_) : 0);
        for (int column = 0; column < columns_; ++column)
            cells.push_back(objectValueSource_ ? objectValueSource_(row, column) : std::string());
        rows_.push_back(std::move(cells));
    }
    if (selectedRow_ >= count || selectedRow_ < 0) selectedRow_ = count > 0 ? 0 : -1;
    updateView();
}

std::string NSTableView::stringValue(int row, int column) const {
    if (row < 0 || row >= numberOfRows() || column < 0 || column >= columns_) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

bool NSTableView::selectRow(int row) {
    if (row < 0 || row >= numberOfRows()) return false;
    if (row != selectedRow_) {
        selectedRow_ = row;
        updateView();
        if (delegate_) delegate_({NSTableViewSelectionDidChangeNotification, this});
    }
    return true;
}

void NSTableView::userSelected(int row) {
    if (row == selectedRow_) return;
    selectedRow_ = row;
    if (delegate_) delegate_({NSTableViewSelectionDidChangeNotification, this});
}

bool NSTableView::acceptsView(QWidget* widget) const {
    return qobject_cast<QTableWidget*>(widget) != nullptr;
}

void NSTableView::attachView(QWidget* widget) {
    auto* table = static_cast<QTableWidget*>(widget);
    columns_ = table->columnCount();
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the table, as it leaves an AppKit table; Up and Down move
    // the selection.
    table->setTabKeyNavigation(false);
    QObject::connect(table, &QTableWidget::itemSelectionChanged, viewContext(), [this, table] {
        if (updating_) return;
        const QModelIndexList selected = table->selectionModel()->selectedRows();
        if (selected.isEmpty()) {
            // The shown card is always the selected row: a selection the
            // user cleared comes back.
            updateView();
            return;
        }
        userSelected(selected.first().row());
    });
}

void NSTableView::updateView() {
    auto* table = qobject_cast<QTableWidget*>(view());
    if (table == nullptr) return;
    updating_ = true;
    table->setRowCount(numberOfRows());
    for (int row = 0; row < numberOfRows(); ++row) {
        for (int column = 0; column < columns_; ++column) {
            auto* item = new QTableWidgetItem(QString::fromStdString(stringValue(row, column)));
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            table->setItem(row, column, item);
        }
    }
    if (selectedRow_ >= 0)
        table->selectRow(selectedRow_);
    else
        table->clearSelection();
    updating_ = false;
}
