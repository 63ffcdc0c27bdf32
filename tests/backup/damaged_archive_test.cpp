// Damaged archives: every case either raises, or ends the run with an error code,
// and nothing is ever written outside the target directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "archiveformat.h"
#include "archivetestutil.h"
#include "backupfile.h"
#include "backupfixture.h"

using namespace archivetest;
namespace fs = std::filesystem;

namespace {

const std::string kMarker("EC2\0", 4);
const std::string kEnd = le32(0);

std::string header(int32_t fileCount = 1) { return le32(0) + le32(100) + le32(fileCount); }
std::string entryHead(const std::string& name) { return le32(int32_t(name.size())) + name + le32(0x52CF5000); }
std::string storedBlock(const std::string& bytes) { return le32(-int32_t(bytes.size())) + bytes; }
std::string zlibBlock(const std::string& bytes) {
  std::string packed(bytes.size() + 64, '\0');
  uLongf length = packed.size();
  compress2(reinterpret_cast<Bytef*>(packed.data()), &length, reinterpret_cast<const Bytef*>(bytes.data()),
            bytes.size(), 1);
  return le32(int32_t(length)) + packed.substr(0, length);
}
std::string section(const std::string& blocks) { return kMarker + blocks + kEnd; }
std::string entry(const std::string& name, const std::string& blocks) { return entryHead(name) + section(blocks); }
std::string archiveOf(const std::string& entries) { return header() + entries + kEnd; }

std::string corruptedZlibBlock() {
  std::string block = zlibBlock(textBytes(2000));
  block[block.size() - 1] ^= 0x55;  // the Adler-32 trailer
  return block;
}

std::string truncatedZlibBlock() {
  std::string block = zlibBlock(textBytes(2000));
  int32_t length = backupformat::getInt32(block.data()) - 4;  // no trailer
  return le32(length) + block.substr(4, size_t(length));
}

struct DamageCase {
  const char* what;
  std::vector<std::string> volumes;  // arch.qbk, arch.002, ...
  bool restoreFullPath;
  const char* raised;    // the message Restore raises, or null when it returns
  int32_t errorCode;     // when it returns: the code recorded (0: none)
};

std::vector<DamageCase> damageCases() {
  const std::string good = storedBlock("fine");
  return {
      {"block longer than 16384 in a restored file",
       {archiveOf(entry("/x/a", le32(16385) + std::string(16385, 'a')))}, false, nullptr, 1},
      {"block length of -2^31 in a restored file", {archiveOf(entry("/x/a", le32(INT32_MIN)))}, false, nullptr, 1},
      {"block longer than 16384 in a skipped entry",
       {archiveOf(entry("FILE:LIST", le32(-16385) + std::string(16385, 'a')))}, false, "Invalid archive type", 0},
      {"header cut short", {le32(10) + "abc"}, false, "Cannot read archive", 0},
      {"negative title length", {le32(-1) + le32(0) + le32(0) + kEnd}, false, "Cannot read archive", 0},
      {"title length far beyond the file", {le32(INT32_MAX) + "abc"}, false, "Cannot read archive", 0},
      {"data cut short in a restored file", {header() + entryHead("/x/a") + kMarker + le32(-100) + "short"},
       false, nullptr, 1},
      {"end marker missing", {header() + entry("/x/a", good)}, false, "Stream read error", 0},
      {"wrong marker in a restored file", {archiveOf(entryHead("/x/a") + "EC3" + std::string(1, '\0') + kEnd)},
       false, nullptr, 1},
      {"wrong marker in a skipped entry", {archiveOf(entryHead("FILE:LIST") + "ZIP" + std::string(1, '\0') + kEnd)},
       false, "Invalid archive type", 0},
      {"zlib checksum wrong", {archiveOf(entry("/x/a", corruptedZlibBlock()))}, false, nullptr, 6},
      {"zlib stream without its end", {archiveOf(entry("/x/a", truncatedZlibBlock()))}, false, nullptr, 6},
      {"zlib block inflating past 16384 bytes", {archiveOf(entry("/x/a", zlibBlock(textBytes(20000))))}, false,
       nullptr, 6},
      {"name climbing out with ..", {archiveOf(entry("/x/../../evil", good))}, true, "Invalid archive type", 0},
      {"name climbing out with .. without full path", {archiveOf(entry("../evil", good))}, false,
       "Invalid archive type", 0},
      {"file-name part ..", {archiveOf(entry("/x/..", good))}, false, "Invalid archive type", 0},
      {"name ending in a slash", {archiveOf(entry("/x/", good))}, false, "Invalid archive type", 0},
      {"name with a zero byte", {archiveOf(entry(std::string("/x/a\0b", 6), good))}, true,
       "Invalid archive type", 0},
      {"negative name length", {header() + le32(-5) + "abcde"}, false, "Invalid archive type", 0},
      {"absolute name kept under the directory", {archiveOf(entry("//etc/evil", good))}, true, nullptr, 0},
      {"volume change naming a later volume", {header() + entry("/x/a", good) + le32(12) + "NEXT:DISK003"},
       false, "Invalid archive type", 0},
      {"volume change without digits", {header() + entry("/x/a", good) + le32(12) + "NEXT:DISKabc"}, false,
       "Invalid archive type", 0},
      {"volume naming itself as the next one",
       {header() + entry("/x/a", good) + le32(12) + "NEXT:DISK002", section(good) + le32(12) + "NEXT:DISK002"},
       false, "Invalid archive type", 0},
      {"continuation volume without its marker",
       {header() + entry("/x/a", good) + le32(12) + "NEXT:DISK002", "XXXX" + kEnd + kEnd}, false,
       "Invalid archive type", 0},
  };
}

// Every regular file under `root`, relative to it.
std::vector<std::string> filesUnder(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).string());
  return files;
}

TEST_F(BackupTest, DamagedArchivesRaiseOrFailAndStayInsideTheTarget) {
  for (const DamageCase& c : damageCases()) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir.path());
    fs::create_directories(restoreDir() + "/inner");
    for (size_t i = 0; i < c.volumes.size(); ++i)
      writeFile(i == 0 ? archive() : TBackupFile::VolumePath(archive(), int(i) + 1), c.volumes[i]);
    errors.clear();
    backup.RestoreFullPath = c.restoreFullPath;

    std::string raised;
    bool result = false;
    try {
      result = backup.Restore(archive(), restoreDir() + "/inner");
    } catch (const BackupError& error) {
      raised = error.what();
    }
    if (c.raised) {
      EXPECT_EQ(raised, c.raised);
    } else {
      EXPECT_EQ(raised, "");
      EXPECT_EQ(result, c.errorCode == 0);
      EXPECT_EQ(backup.ErrorCode(), c.errorCode);
      EXPECT_EQ(errors, c.errorCode ? std::vector<int32_t>{c.errorCode} : std::vector<int32_t>{});
    }
    EXPECT_FALSE(backup.Busy());
    for (const std::string& file : filesUnder(dir.path()))
      EXPECT_TRUE(file.starts_with("out/inner/") || file.starts_with("arch.")) << file;

    // The stream variants never raise.
    std::istringstream restoreSource(c.volumes[0]);
    backup.RestoreFromStream(restoreSource, restoreDir() + "/inner");
    std::istringstream titleSource(c.volumes[0]);
    std::vector<std::string> list;
    backup.GetArchiveTitleFromStream(titleSource, &list);
  }
}

TEST_F(BackupTest, VolumeChangeInAStreamIsDamage) {
  std::istringstream source(header() + entry("/x/a", storedBlock("data")) + le32(12) + "NEXT:DISK002");
  EXPECT_FALSE(backup.RestoreFromStream(source, restoreDir()));
  EXPECT_EQ(readFile(restored("a")), "data");
}

TEST_F(BackupTest, UnreadableHeaderOrFileIdListReportsInvalidArchiveType) {
  // A list entry whose blocks would inflate to more than 64 MiB.
  std::string bomb;
  std::string block = zlibBlock(std::string(16384, '\0'));
  for (int i = 0; i < 4200; ++i) bomb += block;
  struct Case {
    const char* what;
    std::string bytes;
    const char* title;
  };
  const Case cases[] = {
      {"header cut short", le32(5) + "ab", ""},
      {"list with a bad block", le32(1) + "T" + le32(0) + le32(1) + entry("FILE:LIST", corruptedZlibBlock()) + kEnd,
       "T"},
      {"list too large", le32(1) + "T" + le32(0) + le32(1) + entry("FILE:LIST", bomb) + kEnd, "T"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errors.clear();
    writeFile(archive(), c.bytes);
    std::vector<std::string> list = {"kept"};
    EXPECT_EQ(backup.GetArchiveTitle(archive(), &list), c.title);
    EXPECT_EQ(errors, std::vector<int32_t>{5});
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
  }
}

}  // namespace
