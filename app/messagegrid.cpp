#include "messagegrid.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPainter>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <algorithm>
#include <array>
#include <vector>

// ---------------------------------------------------------------------------------------
// Painting

void paintGridCellInPalette(QPainter& painter, const QRect& rect, const QString& text,
                            CellLook look, const QPalette& palette) {
  painter.save();
  // Every text on a background it can be read on, in light and dark themes alike: the
  // theme's text colours on its base and button colours, black on the yellow of a
  // condemning cell, white on the selection.
  QColor textColor = Qt::black;
  switch (look) {
    case CellLook::header:
      painter.fillRect(rect, palette.color(QPalette::Active, QPalette::Button));
      textColor = palette.color(QPalette::Active, QPalette::ButtonText);
      break;
    case CellLook::selected:
      painter.fillRect(rect, palette.color(QPalette::Active, QPalette::Highlight));
      textColor = Qt::white;
      break;
    case CellLook::marked: painter.fillRect(rect, QColor(255, 255, 0)); break;
    case CellLook::plain:
      painter.fillRect(rect, palette.color(QPalette::Active, QPalette::Base));
      textColor = palette.color(QPalette::Active, QPalette::Text);
      break;
  }
  if (!text.isEmpty()) {
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.setPen(textColor);
    const QFontMetrics metrics(painter.font());
    const int top = rect.top() + (rect.height() - metrics.height()) / 2;
    painter.drawText(QPoint(rect.left() + 1, top + metrics.ascent()), text);
  }
  painter.restore();
}

void paintGridCell(QPainter& painter, const QRect& rect, const QString& text, CellLook look,
                   const QColor& background) {
  QPalette palette = QApplication::palette();
  palette.setColor(QPalette::Active, QPalette::Base, background);
  paintGridCellInPalette(painter, rect, text, look, palette);
}

CellLook dataCellLook(int column, const QString& mark, bool selected) {
  if (selected) {
    return CellLook::selected;
  }
  if ((column == fromColumn && mark == QLatin1String("From")) ||
      (column == toColumn && mark == QLatin1String("To")) ||
      (column == subjectColumn && mark == QLatin1String("Sub"))) {
    return CellLook::marked;
  }
  return CellLook::plain;
}

// ---------------------------------------------------------------------------------------
// Model: the header texts (grid row 0) and one row of five texts per message (grid rows
// 1..N are model rows 0..N-1).

class MessageGridModel : public QAbstractTableModel {
 public:
  using Row = std::array<QString, gridColumns>;

  explicit MessageGridModel(QObject* parent) : QAbstractTableModel(parent) {}

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : int(rows.size());
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : gridColumns;
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || role != Qt::DisplayRole) {
      return {};
    }
    return rows[size_t(index.row())][size_t(index.column())];
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= gridColumns) {
      return {};
    }
    return headers[size_t(section)];
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
  }

  void setMessageRows(int count) {
    count = std::max(count, 0);
    const int now = int(rows.size());
    if (count > now) {
      beginInsertRows({}, now, count - 1);
      rows.resize(size_t(count));
      endInsertRows();
    } else if (count < now) {
      beginRemoveRows({}, count, now - 1);
      rows.resize(size_t(count));
      endRemoveRows();
    }
  }

  QString text(int column, int gridRow) const {
    if (column < 0 || column >= gridColumns || gridRow < 0 || gridRow > int(rows.size())) {
      return {};
    }
    return gridRow == 0 ? headers[size_t(column)] : rows[size_t(gridRow - 1)][size_t(column)];
  }

  void setText(int column, int gridRow, const QString& value) {
    if (column < 0 || column >= gridColumns || gridRow < 0 || gridRow > int(rows.size())) {
      return;
    }
    if (gridRow == 0) {
      headers[size_t(column)] = value;
      emit headerDataChanged(Qt::Horizontal, column, column);
    } else {
      rows[size_t(gridRow - 1)][size_t(column)] = value;
      const QModelIndex changed = index(gridRow - 1, column);
      emit dataChanged(changed, changed, {Qt::DisplayRole});
    }
  }

  // Stable sort by the mark in byte order; selection and current cell follow their rows.
  void sortByMark() {
    const int count = int(rows.size());
    std::vector<int> order(static_cast<size_t>(count));
    std::vector<QByteArray> keys(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      order[size_t(i)] = i;
      keys[size_t(i)] = rows[size_t(i)][markColumn].toUtf8();
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return keys[size_t(a)] < keys[size_t(b)]; });
    if (std::is_sorted(order.begin(), order.end())) {
      return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newPosition(static_cast<size_t>(count));
    std::vector<Row> sorted;
    sorted.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
      newPosition[size_t(order[size_t(i)])] = i;
      sorted.push_back(std::move(rows[size_t(order[size_t(i)])]));
    }
    rows = std::move(sorted);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
      after.append(index(newPosition[size_t(old.row())], old.column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
  }

 private:
  std::array<QString, gridColumns> headers{QStringLiteral("ID"), QStringLiteral("From"),
                                           QStringLiteral("To"), QStringLiteral("Subject"),
                                           QStringLiteral("Remove")};
  std::vector<Row> rows;
};

// ---------------------------------------------------------------------------------------
// View parts

namespace {

constexpr int gridRowHeight = 21;

QColor gridLineColor(const QTableView* view) {
  QStyleOptionViewItem option;
  option.initFrom(view);
  return QColor::fromRgba(
      QRgb(view->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, view)));
}

// Grid row 0: painted like the data cells, as a row of fixed cells separated by the
// grid's lines. It stays the handle for resizing columns; clicking it selects nothing.
class GridHeader : public QHeaderView {
 public:
  explicit GridHeader(TMessageGrid* grid) : QHeaderView(Qt::Horizontal, grid), grid(grid) {}

  QSize sizeHint() const override { return {QHeaderView::sizeHint().width(), gridRowHeight}; }

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
    if (!rect.isValid()) {
      return;
    }
    // The same layout as a data cell: the cell area, then a line right and below.
    QRect cellRect = rect;
    if (grid->showGrid()) {
      cellRect.adjust(0, 0, -1, -1);
      painter->save();
      painter->setPen(gridLineColor(grid));
      painter->drawLine(rect.topRight(), rect.bottomRight());
      painter->drawLine(rect.bottomLeft(), rect.bottomRight());
      painter->restore();
    }
    paintGridCellInPalette(*painter, cellRect, grid->cell(logicalIndex, 0), CellLook::header,
                           grid->palette());
  }

 private:
  TMessageGrid* grid;
};

class GridDelegate : public QStyledItemDelegate {
 public:
  explicit GridDelegate(TMessageGrid* grid) : QStyledItemDelegate(grid), grid(grid) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const int gridRow = index.row() + 1;
    const CellLook look =
        dataCellLook(index.column(), grid->cell(markColumn, gridRow), grid->isRowSelected(gridRow));
    painter->save();
    painter->setFont(option.font);
    paintGridCellInPalette(*painter, option.rect, index.data(Qt::DisplayRole).toString(), look,
                           grid->palette());
    painter->restore();
  }

 private:
  TMessageGrid* grid;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// TMessageGrid

TMessageGrid::TMessageGrid(QWidget* parent)
    : QTableView(parent), gridModel(new MessageGridModel(this)) {
  QFont gridFont = font();
  gridFont.setFamilies({QStringLiteral("AR PL UMing TW"), QStringLiteral("AR PL UMing HK"),
                        QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL Mingti2L Big5"),
                        QStringLiteral("WenQuanYi Micro Hei")});
  gridFont.setPixelSize(13);
  setFont(gridFont);

  auto* header = new GridHeader(this);
  setHorizontalHeader(header);
  setModel(gridModel);
  setItemDelegate(new GridDelegate(this));

  header->setMinimumSectionSize(0);  // the ID column is 1 pixel wide
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(false);
  header->setSectionsClickable(false);
  header->setHighlightSections(false);
  static constexpr std::array<int, gridColumns> widths{1, 180, 180, 300, 50};
  for (int column = 0; column < gridColumns; ++column) {
    header->resizeSection(column, widths[size_t(column)]);
  }

  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setMinimumSectionSize(0);
  rows->setDefaultSectionSize(gridRowHeight);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  setCornerButtonEnabled(false);

  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setWordWrap(false);

  connect(this, &QAbstractItemView::clicked, this,
          [this](const QModelIndex& index) { emit gridClick(index.column(), index.row() + 1); });
  connect(this, &QAbstractItemView::doubleClicked, this,
          [this](const QModelIndex& index) { emit gridDblClick(index.column(), index.row() + 1); });
  // A row's look depends on its selection as a whole: repaint when it changes.
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, viewport(),
          qOverload<>(&QWidget::update));
}

int TMessageGrid::rowCount() const { return gridModel->rowCount() + 1; }

void TMessageGrid::setRowCount(int rows) { gridModel->setMessageRows(rows - 1); }

QString TMessageGrid::cell(int column, int row) const { return gridModel->text(column, row); }

void TMessageGrid::setCell(int column, int row, const QString& text) {
  gridModel->setText(column, row, text);
}

int TMessageGrid::gridColumnWidth(int column) const {
  return horizontalHeader()->sectionSize(column);
}

void TMessageGrid::setGridColumnWidth(int column, int width) {
  if (column >= 0 && column < gridColumns) {
    horizontalHeader()->resizeSection(column, std::max(width, 0));
  }
}

void TMessageGrid::sortByMark() { gridModel->sortByMark(); }

int TMessageGrid::rowAtPoint(const QPoint& point) const {
  const int row = rowAt(point.y());
  return row < 0 || columnAt(point.x()) < 0 ? -1 : row + 1;
}

int TMessageGrid::columnAtPoint(const QPoint& point) const {
  return rowAt(point.y()) < 0 ? -1 : columnAt(point.x());
}

bool TMessageGrid::isRowSelected(int row) const {
  if (row < 1 || row > gridModel->rowCount()) {
    return false;
  }
  return selectionModel()->rowIntersectsSelection(row - 1, {});
}

int TMessageGrid::currentRow() const {
  const QModelIndex current = currentIndex();
  return current.isValid() ? current.row() + 1 : -1;
}

int TMessageGrid::firstSelectedRow() const {
  int first = -1;
  for (const QModelIndex& index : selectionModel()->selectedRows()) {
    if (first < 0 || index.row() + 1 < first) first = index.row() + 1;
  }
  return first;
}
