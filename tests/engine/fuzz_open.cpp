// libFuzzer target: damaged copies of a small sound database file, opened by the
// engine. Open must refuse them with an open error or open them soundly, and must
// never crash, hang or end the process with a fatal error. The input encoding is
// described in openharness.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "openharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The files live next to the fuzzer's corpus; one directory per process.
  static openharness::OpenHarness* harness = [] {
    std::string dir = "open-work-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    return new openharness::OpenHarness(dir);
  }();
  std::string failure = harness->replay(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "%s\n", failure.c_str());
    abort();
  }
  return 0;
}
