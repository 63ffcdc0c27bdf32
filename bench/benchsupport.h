// Pieces shared by the benchmark programs.
#pragma once

#include <chrono>

#include "cursor.h"

inline double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A reading cursor over rows of type Row whose selection is emptied before each
// index operation, so that one cursor serves a whole run of lookups.
template <class Row>
class ReusableCursor : public dbAnyCursor {
 public:
  ReusableCursor(dbTableDescriptor& table, dbDatabase& db) : dbAnyCursor(table, dbCursorForReading, &row, &db) {}
  void clear() { selection.reset(); }
  uint32_t found() const { return selection.count; }

 private:
  Row row{};
};
