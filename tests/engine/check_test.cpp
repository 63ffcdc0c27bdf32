// The consistency checker: a new database is clean, hand-made damage to the raw
// file is found and named, and no damage makes the checker crash.
#include "check.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "database.h"
#include "format.h"
#include "testsupport.h"

using testsupport::TempDir;

namespace {

// Where a new database of the application's sizes (index 65536, 1 MiB) puts things.
constexpr uint32_t kFileSize = 1048576;
constexpr uint32_t kIndexA = 4096;
constexpr uint32_t kIndexB = 266240;
constexpr uint32_t kBitmapPage0 = 528384;
constexpr uint32_t kBitmapPage1 = 532480;
constexpr uint32_t kMetatable = 536576;  // 985 bytes, taking 992
constexpr uint32_t kFirstFree = 537568;

// Objects added to the new file by hand, all in its free space.
constexpr uint32_t kRecordAt = 540672;    // oid 8194, a 64-byte record
constexpr uint32_t kNodeAt = 540736;      // oid 8195, a T-tree node (512)
constexpr uint32_t kHashItemAt = 541248;  // oid 8197, a hash item (12)
constexpr uint32_t kPageAt = 544768;      // oid 8198, a page (4096)

std::vector<char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A database file image with accessors for the committed index and bitmap.
struct Image {
  std::vector<char> bytes;

  template <class T>
  T get(size_t offset) const {
    T value;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  }
  template <class T>
  void set(size_t offset, T value) {
    memcpy(bytes.data() + offset, &value, sizeof value);
  }

  static size_t rootField(int root, size_t field) {
    return offsetof(dbHeader, root) + root * sizeof(dbRoot) + field;
  }
  int committed() const { return get<int32_t>(offsetof(dbHeader, activeRoot)); }
  void setRoot(int root, size_t field, uint32_t value) { set(rootField(root, field), value); }

  size_t handleAt(oid_t oid) const {
    return get<uint32_t>(rootField(committed(), offsetof(dbRoot, indexOffset))) + 4 * size_t(oid);
  }
  uint32_t handle(oid_t oid) const { return get<uint32_t>(handleAt(oid)); }
  void setHandle(oid_t oid, uint32_t h) { set(handleAt(oid), h); }

  // Sets or clears the committed bitmap bits of the quanta of [offset, offset + size).
  void mark(uint32_t offset, uint32_t size, bool on) {
    for (uint32_t q = offset / 16; q < (offset + size + 15) / 16; q++) {
      size_t page = handle(dbFirstBitmapId + q / 32768) & ~0xFu;
      size_t at = page + (q % 32768) / 8;
      uint8_t bit = uint8_t(1u << (q % 8));
      bytes[at] = char(on ? (bytes[at] | bit) : (bytes[at] & ~bit));
    }
  }

  // A live object as the allocator would leave it: handle, bitmap bits, record header.
  void addObject(oid_t oid, uint32_t offset, uint32_t tag, uint32_t size) {
    if (tag == dbRecordMarker) set(offset, dbRecord{size, 0, 0});
    setHandle(oid, offset | tag);
    mark(offset, size, true);
  }
};

class CheckTest : public ::testing::Test {
 protected:
  // One new database file per test process, created through the engine.
  static void SetUpTestSuite() {
    TempDir dir;
    std::string path = dir.file("new.kld");
    {
      dbDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
      ASSERT_TRUE(db.open(testsupport::uniqueName("check").c_str(), path.c_str()));
      db.close();
    }
    fresh = new Image{readFile(path)};
    ASSERT_EQ(fresh->bytes.size(), kFileSize);
    ASSERT_EQ(fresh->handle(dbMetatableId), kMetatable) << "layout differs from the one assumed here";
  }
  static void TearDownTestSuite() {
    delete fresh;
    fresh = nullptr;
  }

  // The new file after a committed transaction made one object of several kinds and
  // released two oids (free chain 8196 -> 8199). As after any commit, the working
  // index B holds the same handles as the committed index A.
  static Image populated() {
    Image image = *fresh;
    for (int r : {0, 1}) {
      image.setRoot(r, offsetof(dbRoot, usedIds), 8200);
      image.setRoot(r, offsetof(dbRoot, freeIdHead), 8196);
    }
    image.addObject(8194, kRecordAt, dbRecordMarker, 64);
    image.addObject(8195, kNodeAt, dbTreeNodeMarker, 512);
    image.setHandle(8196, dbFreeHandleMarker | 8199);
    image.addObject(8197, kHashItemAt, dbHashItemMarker, 12);
    image.addObject(8198, kPageAt, dbPageMarker, 4096);
    image.setHandle(8199, dbFreeHandleMarker);
    memcpy(image.bytes.data() + kIndexB, image.bytes.data() + kIndexA, 4 * 8200);
    return image;
  }

  static dbCheckReport check(const Image& image) { return dbCheckImage(image.bytes.data(), image.bytes.size()); }

  static std::string joined(const dbCheckReport& report) {
    std::string all;
    for (const std::string& e : report.errors) all += e + "\n";
    return all;
  }

  static Image* fresh;
};

Image* CheckTest::fresh = nullptr;

TEST_F(CheckTest, NewDatabaseIsCleanWithExactCounts) {
  TempDir dir;
  std::string path = dir.file("copy.kld");
  writeFile(path, fresh->bytes);
  dbCheckReport report = dbCheckFile(path.c_str());
  EXPECT_TRUE(report.ok()) << joined(report);
  EXPECT_FALSE(report.unreadable);
  EXPECT_EQ(report.liveObjects, 3u);  // the Metatable and two bitmap pages
  EXPECT_EQ(report.usedBytes, kFirstFree);
  EXPECT_EQ(report.unownedBytes, 0u);

  dbCheckReport withObjects = check(populated());
  EXPECT_TRUE(withObjects.ok()) << joined(withObjects);
  EXPECT_EQ(withObjects.liveObjects, 7u);
  EXPECT_EQ(withObjects.usedBytes, kFirstFree + 64 + 512 + 16 + 4096);
}

// States other than the plain new file that are nonetheless consistent.
TEST_F(CheckTest, AcceptsOtherConsistentStates) {
  struct Case {
    const char* name;
    std::function<void(Image&)> change;
  };
  const Case cases[] = {
      {"committed through root 1",
       [](Image& f) { f.set<int32_t>(offsetof(dbHeader, activeRoot), 1); }},
      {"dirty file whose recorded size is below the real one",
       [](Image& f) {
         f.set<int32_t>(offsetof(dbHeader, dirty), 1);
         f.set<uint32_t>(offsetof(dbHeader, size), kFileSize - 4096);
       }},
      {"dirty file whose working index grew into space the committed bitmap leaves free",
       [](Image& f) {
         f.set<int32_t>(offsetof(dbHeader, dirty), 1);
         f.setRoot(1, offsetof(dbRoot, indexOffset), 600064);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image = populated();
    c.change(image);
    dbCheckReport report = check(image);
    EXPECT_TRUE(report.ok()) << joined(report);
  }
}

// Each damage to a consistent file, and the error that must name it.
TEST_F(CheckTest, FindsAndNamesDamage) {
  struct Case {
    const char* name;
    std::function<void(Image&)> damage;
    const char* expected;
  };
  auto header = [](size_t field, int32_t value) {
    return [=](Image& f) { f.set<int32_t>(field, value); };
  };
  auto root = [](int r, size_t field, uint32_t value) {
    return [=](Image& f) { f.setRoot(r, field, value); };
  };
  auto handle = [](oid_t oid, uint32_t h) { return [=](Image& f) { f.setHandle(oid, h); }; };
  const Case cases[] = {
      // Header and roots.
      {"activeRoot 2", header(offsetof(dbHeader, activeRoot), 2), "header: activeRoot is 2"},
      {"activeRoot -1", header(offsetof(dbHeader, activeRoot), -1), "header: activeRoot is -1"},
      {"not initialized", header(offsetof(dbHeader, initialized), 0), "header: initialized is 0"},
      {"dirty 2", header(offsetof(dbHeader, dirty), 2), "header: dirty is 2"},
      {"clean file truncated", [](Image& f) { f.bytes.resize(kFileSize - 65536); },
       "header: file size 1048576 differs from the actual file size 983040"},
      {"dirty file shorter than its recorded size",
       [](Image& f) {
         f.set<int32_t>(offsetof(dbHeader, dirty), 1);
         f.set<uint32_t>(offsetof(dbHeader, size), 2 * kFileSize);
       },
       "header: file size 2097152 exceeds the actual file size 1048576"},
      {"file shorter than the header page", [](Image& f) { f.bytes.resize(100); },
       "file is 100 bytes, shorter than the 4096-byte header page"},
      {"working index past the end", root(1, offsetof(dbRoot, indexOffset), kFileSize - 1024),
       "root 1 (working): index area at 1047552 of 65536 handles lies outside the file"},
      {"committed index misaligned", root(0, offsetof(dbRoot, indexOffset), kIndexA + 4),
       "root 0 (committed): index area offset 4100 is not 16-byte aligned"},
      {"working index misaligned", root(1, offsetof(dbRoot, indexOffset), kIndexB + 8),
       "root 1 (working): index area offset 266248 is not 16-byte aligned"},
      {"usedIds below the first user oid", root(0, offsetof(dbRoot, usedIds), 100),
       "root 0 (committed): usedIds 100 is below 8194"},
      {"usedIds above the capacity", root(1, offsetof(dbRoot, usedIds), 70000),
       "root 1 (working): usedIds 70000 exceeds indexCapacity 65536"},
      {"freeIdHead not below usedIds", root(0, offsetof(dbRoot, freeIdHead), 8200),
       "root 0 (committed): freeIdHead 8200 is not below usedIds 8200"},
      {"twin too small", root(0, offsetof(dbRoot, twinIndexCapacity), 8000),
       "root 0 (committed): twin capacity 8000 is below usedIds 8200"},
      {"twin past the end", root(0, offsetof(dbRoot, twinIndexOffset), kFileSize),
       "root 0 (committed): twin index area at 1048576 of 65536 handles lies outside the file"},
      {"working index moved in a clean file", root(1, offsetof(dbRoot, indexOffset), 600064),
       "root 1 (working): index at 600064 of 65536 handles is not the committed root's twin at 266240"},
      // Handles.
      {"oid 0 in use", handle(dbNullId, 0), "oid 0: handle 0x00000000 is not 0x80000000"},
      {"tag 7", handle(8194, kRecordAt | 7), "oid 8194: handle 0x00084007 has invalid tag 7"},
      {"bit 3 set", handle(8195, kNodeAt | 8 | dbTreeNodeMarker), "oid 8195: handle 0x0008404b has bit 3 set"},
      {"bitmap page after a missing one", handle(5, kPageAt + 4096 + dbPageMarker),
       "oid 5: bitmap page exists after the missing page of oid 4"},
      {"bitmap page with a record tag", handle(3, kBitmapPage1),
       "oid 3: bitmap handle 0x00082000 is not a page object (tag 1)"},
      {"bitmap oid with a damaged free marker", handle(100, dbFreeHandleMarker | 1),
       "oid 100: bitmap handle 0x80000001 is neither a page nor 0x80000000"},
      // Objects and their space.
      {"record header past the end", handle(8194, 0x7FFFFFF0),
       "oid 8194: record at 2147483632 lies outside the file"},
      {"object running past the end", handle(8195, (kFileSize - 256) | dbTreeNodeMarker),
       "oid 8195: object at 1048320 size 512 lies outside the file"},
      {"object in the header page", handle(8197, 1024 | dbHashItemMarker),
       "oid 8197: object at 1024 size 12 lies outside the file"},
      {"record smaller than its header", [](Image& f) { f.set<uint32_t>(kRecordAt, 8); },
       "oid 8194: record at 540672 has size 8, smaller than its 12-byte header"},
      {"two objects overlapping", handle(8197, (kRecordAt + 32) | dbHashItemMarker),
       "oid 8197: object at 540704 size 12 overlaps oid 8194"},
      {"object inside the committed index", handle(8197, (kIndexA + 8192) | dbHashItemMarker),
       "oid 8197: object at 12288 size 12 overlaps committed index"},
      {"object inside the twin index", handle(8197, (kIndexB + 64) | dbHashItemMarker),
       "oid 8197: object at 266304 size 12 overlaps twin index area"},
      {"object inside a bitmap page", handle(8197, (kBitmapPage0 + 64) | dbHashItemMarker),
       "oid 8197: object at 528448 size 12 overlaps oid 2 (bitmap page 0)"},
      {"bitmap bit of a live object cleared", [](Image& f) { f.mark(kNodeAt + 256, 16, false); },
       "oid 8195: object at 540736 size 512: 1 quanta are not marked in the bitmap"},
      {"bitmap bits of the header page cleared", [](Image& f) { f.mark(0, 64, false); },
       "header page at 0 size 4096: 4 quanta are not marked in the bitmap"},
      {"bitmap bit set for unowned space", [](Image& f) { f.mark(600064, 48, true); },
       "unowned space at 600064 size 48 is marked in the bitmap"},
      {"freed object left marked", handle(8198, dbFreeHandleMarker),
       "unowned space at 544768 size 4096 is marked in the bitmap"},
      {"bits marked beyond the end of the file",
       [](Image& f) {
         f.mark(kFileSize - 16, 16, true);
         f.bytes.resize(kFileSize - 4096);
         f.set<uint32_t>(offsetof(dbHeader, size), kFileSize - 4096);
       },
       "bitmap page 1 (oid 3): 1 quanta beyond the end of the file are marked"},
      // The Metatable.
      {"Metatable freed", handle(dbMetatableId, dbFreeHandleMarker), "oid 1 (Metatable): not in use"},
      {"Metatable as a hash header", handle(dbMetatableId, kMetatable | dbHashMarker),
       "oid 1 (Metatable): handle 0x00083004 is not a record"},
      {"Metatable too small", [](Image& f) { f.set<uint32_t>(kMetatable, 40); },
       "oid 1 (Metatable): record size 40 is smaller than 48"},
      // The free oid chain (8196 -> 8199).
      {"free chain cycle", handle(8199, dbFreeHandleMarker | 8196), "free chain: cycle at oid 8196"},
      {"free chain self-loop", handle(8196, dbFreeHandleMarker | 8196), "free chain: cycle at oid 8196"},
      {"free chain through a live oid", handle(8199, dbFreeHandleMarker | 8194),
       "free chain: oid 8194 is in use (handle 0x00084000)"},
      {"free chain past usedIds", handle(8199, dbFreeHandleMarker | 9000),
       "free chain: oid 9000 is not below usedIds 8200"},
      {"free chain into the bitmap oids", handle(8199, dbFreeHandleMarker | 7), "free chain: oid 7 is reserved"},
      {"free oid lost from the chain", handle(8196, dbFreeHandleMarker),
       "oid 8199: free but not on the free chain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image = populated();
    c.damage(image);
    dbCheckReport report = check(image);
    EXPECT_NE(joined(report).find(c.expected), std::string::npos)
        << "expected: " << c.expected << "\ngot:\n" << joined(report);
  }
}

TEST_F(CheckTest, CountsUnownedBytesAndCapsRepeatedErrors) {
  Image image = populated();
  image.mark(600064, 48, true);
  image.mark(700000, 16, true);  // quantum 43750 covers 700000..700015
  dbCheckReport report = check(image);
  EXPECT_EQ(report.unownedBytes, 64u);
  EXPECT_EQ(report.errors.size(), 2u) << joined(report);

  // A clear bitmap page leaves every object of its segment unmarked: the error
  // lines stop at a fixed number and a final line counts the rest.
  Image lost = populated();
  for (oid_t oid = 8200; oid < 8300; oid++) lost.addObject(oid, 600064 + 16 * (oid - 8200), dbHashItemMarker, 12);
  lost.setRoot(0, offsetof(dbRoot, usedIds), 8300);
  memset(lost.bytes.data() + kBitmapPage1, 0, 4096);
  dbCheckReport capped = check(lost);
  ASSERT_FALSE(capped.ok());
  EXPECT_LT(capped.errors.size(), 50u);
  EXPECT_NE(capped.errors.back().find("more errors of this kind: unmarked space"), std::string::npos)
      << joined(capped);
}

// Random damage to the structures the checker reads: whatever it finds, it must
// return (the sanitizer build catches any read outside the image).
TEST_F(CheckTest, SurvivesRandomDamage) {
  const Image base = populated();
  const std::pair<uint32_t, uint32_t> regions[] = {
      {0, sizeof(dbHeader)},                 // header and roots
      {kIndexA, 4 * 8200},                   // committed handles
      {kBitmapPage0, 8192},                  // both bitmap pages
      {kMetatable, kPageAt + 4096 - kMetatable},  // the objects
  };
  std::mt19937 random(12345);
  for (int round = 0; round < 200; round++) {
    Image image = base;
    for (int flips = 1 + round % 4; flips > 0; flips--) {
      auto [start, length] = regions[random() % std::size(regions)];
      image.bytes[start + random() % length] ^= char(1 + random() % 255);
    }
    dbCheckReport report = check(image);
    EXPECT_LT(report.errors.size(), 200u);
  }
}

TEST_F(CheckTest, FileErrorsAreReportedAsUnreadable) {
  TempDir dir;
  dbCheckReport missing = dbCheckFile(dir.file("missing.kld").c_str());
  EXPECT_TRUE(missing.unreadable);
  ASSERT_EQ(missing.errors.size(), 1u);
  EXPECT_NE(missing.errors[0].find("cannot open"), std::string::npos);

  writeFile(dir.file("empty.kld"), {});
  dbCheckReport empty = dbCheckFile(dir.file("empty.kld").c_str());
  EXPECT_FALSE(empty.unreadable);
  EXPECT_FALSE(empty.ok());
}

// The tool lies in the build tree next to this test's directory.
TEST_F(CheckTest, ToolExitCodes) {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::filesystem::path tool = self.parent_path().parent_path().parent_path() / "tools" / "kldcheck";
  if (!std::filesystem::exists(tool)) GTEST_SKIP() << "kldcheck is not built at " << tool;

  TempDir dir;
  writeFile(dir.file("good.kld"), fresh->bytes);
  Image bad = *fresh;
  bad.setHandle(dbNullId, 0);
  writeFile(dir.file("bad.kld"), bad.bytes);
  auto run = [&](const std::string& args) {
    std::string command = tool.string() + " " + args + " >" + dir.file("out") + " 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto output = [&] {
    std::vector<char> bytes = readFile(dir.file("out"));
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(run(dir.file("good.kld")), 0);
  EXPECT_NE(output().find("consistent; 3 live objects, 537568 used bytes, 0 unowned bytes"), std::string::npos)
      << output();
  EXPECT_EQ(run(dir.file("bad.kld")), 1);
  EXPECT_NE(output().find("oid 0: handle 0x00000000 is not 0x80000000\n"), std::string::npos) << output();
  EXPECT_EQ(run(dir.file("missing.kld")), 2);
  EXPECT_EQ(run(""), 2);
}

}  // namespace
