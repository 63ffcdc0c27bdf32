// libFuzzer entry point for the archive reader (built by scripts/fuzz-backup.sh).
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzzharness.h"

namespace {

std::string workDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "backup-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
}

// Never destroyed: the exit handler that removes the directory runs after the
// destructors of function-local statics.
const std::string* const work = new std::string(workDirectory());

void removeWorkDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(*work, ignored);
}

[[maybe_unused]] const int registered = atexit(removeWorkDirectory);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzharness::replayArchiveInput(data, size, *work)) {
    std::fprintf(stderr, "a file appeared outside the restore directory\n");
    abort();
  }
  return 0;
}
