// Replays the saved fuzzing inputs through the archive reader: none may crash,
// hang or write outside the restore directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "archivetestutil.h"
#include "fuzzharness.h"
#include "testsupport.h"

namespace fs = std::filesystem;

namespace {

TEST(BackupArchiveCorpus, SavedInputsAreReadSafely) {
  testsupport::TempDir work;
  size_t replayed = 0;
  for (const auto& entry : fs::directory_iterator(BACKUP_CORPUS_DIR)) {
    std::string input = archivetest::readFile(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_TRUE(fuzzharness::replayArchiveInput(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                                                work.path()));
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
