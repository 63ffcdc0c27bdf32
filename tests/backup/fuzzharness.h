// Feeds one arbitrary input to the archive reader, the way a damaged archive
// would reach it. Shared by the fuzz target and the test that replays the saved
// inputs, so both exercise exactly the same paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzharness {

// Separates the volumes of one input: the first part is the archive file, the
// next ones its continuation volumes.
constexpr char kVolumeSeparator[] = "\xF0VOL";

// Runs Restore on the volumes (from a file or a stream, with options taken from
// the first byte), GetArchiveTitle and DeCompress, inside `workDirectory`. Returns
// false when anything appeared outside the restore directory.
bool replayArchiveInput(const uint8_t* data, size_t size, const std::string& workDirectory);

}  // namespace fuzzharness
