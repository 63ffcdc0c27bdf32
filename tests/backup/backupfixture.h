// The fixture shared by the backup tests: a temporary tree with a source
// directory, a restore directory, an archive path and a component that records
// the errors it reports.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "archivetestutil.h"
#include "backupfile.h"
#include "testsupport.h"

// The date every test file gets unless a test says otherwise.
inline std::time_t testFileTime() {
  static const std::time_t time = archivetest::localTime(2021, 6, 15, 10, 20, 30);
  return time;
}

class BackupTest : public ::testing::Test {
 protected:
  BackupTest() {
    std::filesystem::create_directories(dir.file("src"));
    std::filesystem::create_directories(restoreDir());
    backup.OnError = [this](TBackupFile&, int32_t code, const std::string& message) {
      errors.push_back(code);
      messages.push_back(message);
    };
  }

  // Writes src/`name` (directories included) with the given bytes and date.
  std::string makeFile(const std::string& name, const std::string& bytes,
                       std::time_t time = testFileTime()) {
    std::string path = dir.file("src/" + name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    archivetest::writeFile(path, bytes);
    archivetest::setModified(path, time);
    return path;
  }

  std::string archive() const { return dir.file("arch.qbk"); }
  std::string restoreDir() const { return dir.file("out"); }
  std::string restored(const std::string& name) const { return dir.file("out/" + name); }

  testsupport::TempDir dir;
  TBackupFile backup;
  std::vector<int32_t> errors;
  std::vector<std::string> messages;
};
