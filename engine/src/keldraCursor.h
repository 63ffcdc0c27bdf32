// The application-facing database class.
#pragma once

#include <string>

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
  const std::string& baseName() const { return base; }

 private:
  std::string home;  // absolute, no trailing "/" (except for the root directory)
  std::string base;  // the name given to the last open
};
