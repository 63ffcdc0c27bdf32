// The application-facing database and cursor classes.
#pragma once

#include <string>

#include "cursor.h"
#include "database.h"

class keldraDatabase : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  ~keldraDatabase() override;

  // Opens `name`; without a file name the file is "NAME.kld" in the current
  // directory. The first open records the absolute directory of the file in
  // homeDirectory, and refuses silently (returns false, prints nothing) when that
  // directory lies on a network or optical file system.
  bool open(const char* name, const char* fileName = nullptr,
            uint32_t waitLockTimeout = dbWaitForever, uint32_t commitDelay = 0);

  const std::string& homeDirectory() const { return home; }
  // Takes a lock for the calling thread's transaction (held until its commit): a
  // backup reads the file under the exclusive lock, so no process writes it meanwhile.
  using dbDatabase::lockDatabase;
  const std::string& baseName() const { return base; }

 private:
  std::string home;  // absolute, no trailing "/" (except for the root directory)
  std::string base;  // the name given to the last open
};

// Application-facing cursors: the same as dbAnyCursor and dbCursor<T>.
class keldraAnyCursor : public dbAnyCursor {
 public:
  using dbAnyCursor::dbAnyCursor;
};

template <class T>
class keldraCursor : public dbTypedCursor<T, keldraAnyCursor> {
 public:
  using dbTypedCursor<T, keldraAnyCursor>::dbTypedCursor;
};
