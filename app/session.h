// Start-up and closing of the program around its one database: what the main window
// does when it is first shown and when it closes. The window itself is reached only
// through MainWindowPort, so that this sequence is tested without widgets.
//
// Transaction convention for the whole application: an operation that touches the
// database creates its cursors and queries locally, reads and writes, and commits at
// the end of its normal path (also when it only read). Between operations no
// transaction is open.
#pragma once

#include <string>

#include "keldraCursor.h"

// The number of columns of the main window's message grid.
constexpr int messageGridColumns = 5;

// What start-up and closing need of the main window.
class MainWindowPort {
 public:
  virtual ~MainWindowPort() = default;
  virtual int columnWidth(int column) const = 0;
  virtual void setColumnWidth(int column, int width) = 0;
  // Shows a message with a single "Okay" button and returns when it is answered.
  virtual void showMessage(const std::string& text) = 0;
  // Asks the window to close (the closing sequence runs as it closes).
  virtual void closeWindow() = 0;
  // Hides the window and disables every action, so that no key starts an operation
  // while closing proceeds.
  virtual void hideAndDisableActions() = 0;
  // The automatic backup checks at start-up and at exit.
  virtual void dailyBackup() = 0;
  virtual void exitBackup() = 0;
  // The mailbox connection, ended at exit.
  virtual bool mailboxConnected() = 0;
  virtual void disconnectMailbox() = 0;
};

// The texts start-up shows.
extern const char* const openFailedText;       // "Fail to open the database."
extern const char* const concurrentAccessText; // "Database cannot be accessed concurrently."

class AppSession {
 public:
  // `db` is the process's one database object; `name` the database name ("Postsift"),
  // whose file "NAME.kld" lies in the current directory.
  AppSession(keldraDatabase& db, std::string name);

  // The start-up sequence: opens the database (or shows why not and closes the
  // window), restores the stored column widths or stores the current ones, creates
  // the settings record on a first run, commits and runs the daily backup check.
  // True when the database is open for work.
  bool start(MainWindowPort& window);

  // The closing sequence: nothing when the database is not open; otherwise hides the
  // window, stores the column widths, commits, runs the exit backup and ends the
  // mailbox connection. The database stays open; the process end releases it. Runs
  // once: a later call does nothing.
  void finish(MainWindowPort& window);

  bool isOpen() const { return db.isOpen(); }
  keldraDatabase& database() { return db; }

 private:
  void restoreOrStoreColumnWidths(MainWindowPort& window);
  void createFirstRunConfig();
  void storeColumnWidths(MainWindowPort& window);

  keldraDatabase& db;
  std::string name;
  bool finished = false;
};
