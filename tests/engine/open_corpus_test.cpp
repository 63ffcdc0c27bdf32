// Opening damaged database files: the saved fuzzing inputs are replayed, and each
// damage that once got past the checks of open is refused with its message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "openharness.h"
#include "testsupport.h"

namespace fs = std::filesystem;

namespace {

class OpenDamagedFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testsupport::TempDir;
    harness = new openharness::OpenHarness(dir->path());
  }
  static void TearDownTestSuite() {
    delete harness;
    delete dir;
  }
  static testsupport::TempDir* dir;
  static openharness::OpenHarness* harness;
};

testsupport::TempDir* OpenDamagedFile::dir = nullptr;
openharness::OpenHarness* OpenDamagedFile::harness = nullptr;

TEST_F(OpenDamagedFile, SavedInputsAreRefusedOrOpenedSoundly) {
  size_t replayed = 0;
  for (const auto& entry : fs::directory_iterator(OPEN_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string input((std::istreambuf_iterator<char>(in)), {});
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(harness->replay(reinterpret_cast<const uint8_t*>(input.data()), input.size()), "");
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

// Inputs in the harness's encoding (openharness.h): the options byte, then patches.
// Both roots' indexes are damaged alike where the damage must reach the committed one.
TEST_F(OpenDamagedFile, DamageThatOpenMustRefuse) {
  struct Case {
    const char* label;
    std::string input;
    const char* message;
  } cases[] = {
      {"Metatable handle outside the file",
       std::string("\x00\x19\x04\x00\x30\x2b\x01\x65\x1b\x04\x00\x30\x2b\x01\x65", 15),
       "Database file was corrupted: oid 1 (Metatable): record at 1694575408 lies outside the file"},
      {"Metatable handle outside the file, recovery pending",
       std::string("\x04\x19\x04\x00\x30\x2b\x01\x65\x1b\x04\x00\x30\x2b\x01\x65", 15),
       "Database file was corrupted: oid 1 (Metatable): record at 1694575408 lies outside the file"},
      {"field type changed to one its values cannot be converted from",
       std::string("\x00\x06\x48\x00\x04", 5),
       "Incompatible class definition in application: field sender can not be converted to its new type"},
      {"changed field type, read only", std::string("\x01\x06\x48\x00\x04", 5),
       "Incompatible class definition in application"},
      {"changed field type, concurrent read", std::string("\x02\x06\x48\x00\x04", 5),
       "Incompatible class definition in application"},
      {"working index differs from the committed one in a clean file", std::string("\x00\x81\x04\x00\x10", 5),
       "Database file was corrupted: root 0 (working): the handle of oid 1 differs from the committed index in a "
       "clean file"},
      {"lastRow beyond the used oids, recovery pending", std::string("\x04\x1e\x2c\x00\x28\x23\x00\x00", 8),
       "Database file was corrupted: table Mail: lastRow 9000 is not a live record"},
      {"hash index oid naming a record", std::string("\x00\x1e\x54\x00\x02\x20\x00\x00", 8),
       "Database file was corrupted: table Mail: hash index 8194 of field sender: not a live hash header"},
      {"working root's twin moved in a clean file", std::string("\x00\x00\x16\x00\x01", 5),
       "Database file was corrupted: root 0 (working): twin at 106496 of 9216 handles is not the committed index at "
       "40960 of 9216 handles in a clean file"},
      {"two fields naming one hash index", std::string("\x00\x1e\x96\x01\x03\x20\x00\x00", 8),
       "Database file was corrupted: table Folder: field name names index 8195, which another field names too"},
      {"bitmap page inside an index area", std::string("\x00\x19\x08\x00\x01\x10\x00\x00\x1b\x08\x00\x01\x10\x00\x00", 15),
       "Database file was corrupted: oid 2 (bitmap page 0): object at 4096 size 4096 overlaps twin index area"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> messages;
    EXPECT_EQ(harness->replay(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size(), &messages), "");
    EXPECT_EQ(messages, std::vector<std::string>{c.message});
  }
}

}  // namespace
