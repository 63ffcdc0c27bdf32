#include "messagetable.h"

#include <QByteArray>

#include <algorithm>

namespace {
bool validCell(int column, int row, int rows) { return row >= 0 && row < rows && column >= 0 && column < 5; }
}  // namespace

void MessageTable::setRowCount(int count) { rows.resize(size_t(std::max(count, 1))); }

QString MessageTable::cell(int column, int row) const {
  return validCell(column, row, rowCount()) ? rows[size_t(row)][size_t(column)] : QString();
}

void MessageTable::setCell(int column, int row, const QString& text) {
  if (validCell(column, row, rowCount())) rows[size_t(row)][size_t(column)] = text;
}

void MessageTable::sortByMark() {
  // Byte order of the marks, stable: as the window's grid sorts.
  std::stable_sort(rows.begin() + 1, rows.end(), [](const Row& a, const Row& b) { return a[4].toUtf8() < b[4].toUtf8(); });
}

void MessageTable::setStatusText(int panel, const QString& text) {
  if (panel >= 0 && panel < 3) status[size_t(panel)] = text;
}

void MessageTable::messagesListed() {
  listedRows.assign(rows.begin() + 1, rows.end());
  listedStatus = status;
  listed = true;
}
