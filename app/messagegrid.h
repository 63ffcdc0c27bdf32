// The main window's message grid. It keeps the addressing of the grid the rest of the
// program works with: row 0 holds the column headers, rows 1..N one message each,
// columns 0 "ID", 1 "From", 2 "To", 3 "Subject", 4 "Remove" (the removal mark:
// "", "From", "To" or "Sub"). Row 0 is shown as the view's header, which is also the
// handle for resizing columns by dragging; rows 1..N are the view's rows.
#pragma once

#include <QTableView>

class QPainter;

class MessageGridModel;

enum GridColumn { idColumn = 0, fromColumn = 1, toColumn = 2, subjectColumn = 3, markColumn = 4, gridColumns = 5 };

// How one cell is painted.
enum class CellLook { header, plain, selected, marked };

// Paints one cell: header cells on the button-face colour, selected cells on the
// highlight colour with white text, marked cells on yellow, others on `background`;
// the text 1 pixel from the left edge, vertically centred, clipped to `rect`.
// The button-face and highlight colours come from the application palette.
void paintGridCell(QPainter& painter, const QRect& rect, const QString& text, CellLook look,
                   const QColor& background);
// The same with all colours from `palette` (active group): Button, Highlight and Base.
// (A separate name: an overload would make calls with a Qt::GlobalColor ambiguous.)
void paintGridCellInPalette(QPainter& painter, const QRect& rect, const QString& text,
                            CellLook look, const QPalette& palette);

// The look of data cell (column, row) given the row's mark and selection: the cell of
// the column that condemned the row is marked ("From" column 1, "To" column 2, "Sub"
// column 3); selection wins over the mark.
CellLook dataCellLook(int column, const QString& mark, bool selected);

class TMessageGrid : public QTableView {
  Q_OBJECT

 public:
  explicit TMessageGrid(QWidget* parent = nullptr);

  // Rows including the header row (1 when empty). setRowCount keeps row 0 and the
  // first rows, adds empty rows or drops the last ones; it never goes below 1.
  int rowCount() const;
  void setRowCount(int rows);
  QString cell(int column, int row) const;
  void setCell(int column, int row, const QString& text);

  int gridColumnWidth(int column) const;
  void setGridColumnWidth(int column, int width);

  // Stable ascending sort of rows 1..N by the mark column.
  void sortByMark();

  // The grid row and column under a point of the viewport (-1 outside).
  int rowAtPoint(const QPoint& point) const;
  int columnAtPoint(const QPoint& point) const;
  bool isRowSelected(int row) const;
  int currentRow() const;  // the grid row of the current cell, -1 if none
  int firstSelectedRow() const;  // the first selected grid row, -1 if none

 signals:
  void gridClick(int column, int row);
  void gridDblClick(int column, int row);

 private:
  MessageGridModel* gridModel;  // not "model": that would hide QAbstractItemView::model()
};
