#include "session.h"

#include <algorithm>

#include "tables.h"

const char* const openFailedText = "Fail to open the database.";
const char* const concurrentAccessText = "Database cannot be accessed concurrently.";

namespace {
// A stored column index outside the grid is ignored: the grid has no such column.
bool isGridColumn(int col) { return col >= 0 && col < messageGridColumns; }
}  // namespace

AppSession::AppSession(keldraDatabase& db, std::string name) : db(db), name(std::move(name)) {}

bool AppSession::start(MainWindowPort& window) {
  // Accept a stored table that has columns the declarations no longer have.
  db.setColumnRemovalAllowed(true);
  if (!db.open(name.c_str(), nullptr, dbWaitForever, 0)) {
    window.showMessage(openFailedText);
    window.closeWindow();
    return false;
  }
  if (db.getProcessCount() >= 2) {
    // Another process works on the same database: leave it alone, write nothing.
    db.close();
    window.showMessage(concurrentAccessText);
    window.closeWindow();
    return false;
  }
  restoreOrStoreColumnWidths(window);
  createFirstRunConfig();
  db.commit();
  window.dailyBackup();
  return true;
}

void AppSession::restoreOrStoreColumnWidths(MainWindowPort& window) {
  keldraCursor<ColumnWidth> widths(dbCursorForReading, &db);
  if (selectColumnWidths(widths, mainGridType) > 0) {
    // Restore what is stored, in selection order; columns without a record keep
    // their width and are not added.
    do {
      if (isGridColumn(widths->col)) window.setColumnWidth(widths->col, widths->width);
    } while (widths.next() != nullptr);
    return;
  }
  for (int col = 0; col < messageGridColumns; col++) {
    insertColumnWidth(db, int8_t(mainGridType), int8_t(col), int16_t(std::clamp(window.columnWidth(col), 0, 32767)));
  }
}

void AppSession::createFirstRunConfig() {
  keldraCursor<Config> config(dbCursorForReading, &db);
  if (selectConfig(config) == 0) insertConfig(db, firstRunConfig());
}

void AppSession::finish(MainWindowPort& window) {
  if (!db.isOpen()) return;  // start-up failed: nothing to store
  if (finished) return;      // closing runs once, however often the window is closed
  finished = true;
  window.hideAndDisableActions();
  storeColumnWidths(window);
  db.commit();
  window.exitBackup();
  if (window.mailboxConnected()) window.disconnectMailbox();
}

void AppSession::storeColumnWidths(MainWindowPort& window) {
  keldraCursor<ColumnWidth> widths(dbCursorForUpdate, &db);
  if (selectColumnWidths(widths, mainGridType) == 0) return;
  do {
    if (!isGridColumn(widths->col)) continue;
    widths->width = int16_t(std::clamp(window.columnWidth(widths->col), 0, 32767));
    widths.update();
  } while (widths.next() != nullptr);
}
