// The consistency checker: a new database and one with tables and rows written by
// the engine are clean, hand-made damage to the raw file is found and named, and no
// damage makes the checker crash.
#include "check.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "class.h"
#include "database.h"
#include "format.h"
#include "testsupport.h"

using testsupport::TempDir;

using testsupport::readFile;
using testsupport::writeFile;

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

// Two tables: Rule has a string, a scalar and an array of structures holding a
// string (offsets relative to each element); Note has one scalar.
struct Tag {
  const char* label;
  int32_t weight;
  KELDRA_DESCRIBE(Tag, KELDRA_FIELD(label), KELDRA_FIELD(weight));
};

struct Rule {
  const char* text;
  bool remove;
  dbArray<Tag> tags;
  KELDRA_DESCRIBE(Rule, KELDRA_FIELD(text), KELDRA_FIELD(remove), KELDRA_FIELD(tags));
};

struct Note {
  int32_t id;
  KELDRA_DESCRIBE(Note, KELDRA_FIELD(id));
};



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

  size_t recordAt(oid_t oid) const { return handle(oid) & ~0xFu; }

  // Offset of the field entry named `name` in the descriptor record of `table`.
  size_t entryAt(oid_t table, const char* name) const {
    size_t record = recordAt(table);
    dbTable d = get<dbTable>(record);
    for (uint32_t i = 0; i < d.fields.count; i++) {
      size_t entry = record + d.fields.offset + i * sizeof(dbField);
      if (strcmp(bytes.data() + entry + get<dbField>(entry).name.offset, name) == 0) return entry;
    }
    ADD_FAILURE() << "no field entry " << name;
    return 0;
  }

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
    buildTables();
  }
  static void TearDownTestSuite() {
    delete fresh;
    fresh = nullptr;
    delete tables;
    tables = nullptr;
  }

  // A file with the tables Rule and Note written through the engine: four rules
  // inserted and committed, then the third one updated to a longer text and more
  // tags (so that it moves) and the second one removed, and one note.
  struct Tables {
    Image image;
    oid_t rule = 0, note = 0;  // descriptor records
    oid_t rows[3] = {};        // the rules in chain order
    oid_t noteRow = 0;
  };

  static void buildTables() {
    TempDir dir;
    std::string path = dir.file("tables.kld");
    tables = new Tables;
    dbDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    // Bound to this database alone, so that the other files of this test stay empty.
    dbTableDescriptor rules("Rule", &db, sizeof(Rule), &dbDescribeTable<Rule>);
    dbTableDescriptor notes("Note", &db, sizeof(Note), &dbDescribeTable<Note>);
    ASSERT_TRUE(db.open(testsupport::uniqueName("check").c_str(), path.c_str()));
    const Tag two[] = {{"a", 1}, {"bb", 2}}, one[] = {{"c", 3}}, three[] = {{"d", 4}, {"ee", 5}, {"fff", 6}};
    Rule first{"spam", true, dbArray<Tag>(two, 2)};
    Rule second{nullptr, false, {}};
    Rule third{"x", false, dbArray<Tag>(one, 1)};
    Rule fourth{"last", true, dbArray<Tag>(two, 1)};
    Note note{7};
    oid_t ids[4];
    for (int i = 0; Rule* rule : {&first, &second, &third, &fourth}) ids[i++] = db.insertRecord(&rules, rule);
    tables->noteRow = db.insertRecord(&notes, &note);
    db.commit();
    third.text = "a much longer text than before";
    third.tags = dbArray<Tag>(three, 3);
    db.updateRecord(ids[2], &rules, &third);
    db.removeRecord(&rules, ids[1]);
    db.commit();
    tables->rule = rules.tableId;
    tables->note = notes.tableId;
    tables->rows[0] = ids[0];
    tables->rows[1] = ids[2];
    tables->rows[2] = ids[3];
    db.close();
    tables->image.bytes = readFile(path);
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
  static Tables* tables;
};

Image* CheckTest::fresh = nullptr;
CheckTest::Tables* CheckTest::tables = nullptr;

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
      {"working root's twin moved in a clean file", root(1, offsetof(dbRoot, twinIndexOffset), 600064),
       "root 1 (working): twin at 600064 of 65536 handles is not the committed index at 4096"},
      {"working root's usedIds differ in a clean file", root(1, offsetof(dbRoot, usedIds), 8199),
       "root 1 (working): usedIds 8199 and freeIdHead"},
      {"working index differs in a clean file", [](Image& f) { f.set<uint32_t>(kIndexB + 4 * 8194, 0x12345670); },
       "root 1 (working): the handle of oid 8194 differs from the committed index in a clean file"},
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

// The tables and rows the engine writes, including a removal and an update that
// moves a record, satisfy every table check.
TEST_F(CheckTest, TablesWrittenByTheEngineAreClean) {
  dbCheckReport report = check(tables->image);
  EXPECT_TRUE(report.ok()) << joined(report);
  EXPECT_EQ(report.tables, 2u);
  EXPECT_EQ(report.rows, 4u);  // three rules and a note

  // A writer links its first new row into the committed last row in place; with
  // the transaction in progress the committed chain still ends at lastRow.
  Image inProgress = tables->image;
  inProgress.set<int32_t>(offsetof(dbHeader, dirty), 1);
  inProgress.set<uint32_t>(inProgress.recordAt(tables->rows[2]) + offsetof(dbRecord, nextId), 60000);
  dbCheckReport dirty = check(inProgress);
  EXPECT_TRUE(dirty.ok()) << joined(dirty);
}

std::string text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char* fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

// Each damage to the descriptor records, the row chains and the rows, and the error
// that must name it.
TEST_F(CheckTest, FindsAndNamesTableDamage) {
  struct Case {
    const char* name;
    std::function<void(Image&)> damage;
    std::string expected;
  };
  const Image& clean = tables->image;
  const oid_t rule = tables->rule, note = tables->note;
  const oid_t r1 = tables->rows[0], r2 = tables->rows[1], r3 = tables->rows[2];
  const size_t ruleAt = clean.recordAt(rule), metaAt = clean.recordAt(dbMetatableId);
  const dbTable ruleTable = clean.get<dbTable>(ruleAt);
  const oid_t firstTable = clean.get<dbTable>(metaAt).firstRow;
  auto u32 = [](size_t offset, uint32_t value) { return [=](Image& f) { f.set(offset, value); }; };
  auto i32 = [](size_t offset, int32_t value) { return [=](Image& f) { f.set(offset, value); }; };
  auto entry = [&](const char* field, size_t member) { return clean.entryAt(rule, field) + member; };
  auto row = [&](oid_t oid, size_t member) { return clean.recordAt(oid) + member; };

  // Rule 1 is "spam" with the tags "a" and "bb": its text pair at 12, its tags pair
  // at 24, the elements of 12 bytes from `tagsAt`, ending with "bb" and its NUL.
  const size_t r1At = clean.recordAt(r1);
  const uint32_t r1Size = clean.get<uint32_t>(r1At);
  const dbVarying r1Text = clean.get<dbVarying>(r1At + 12);
  const uint32_t tagsAt = clean.get<dbVarying>(r1At + 24).offset;
  const size_t label1 = r1At + tagsAt + 12;  // the label pair of the second element
  ASSERT_EQ(clean.get<dbVarying>(r1At + 24).count, 2u);
  ASSERT_STREQ(clean.bytes.data() + r1At + r1Size - 3, "bb");

  const Case cases[] = {
      // Descriptor records.
      {"descriptor name one byte short", u32(ruleAt + offsetof(dbTable, name), 4),
       text("table oid %u: name of 4 bytes at %u does not end with NUL", rule, ruleTable.name.offset)},
      {"descriptor name with a NUL inside", [&](Image& f) { f.bytes[ruleAt + ruleTable.name.offset + 2] = 0; },
       text("table oid %u: name of 5 bytes at %u has a NUL at byte 2", rule, ruleTable.name.offset)},
      {"descriptor record too small", u32(clean.recordAt(note), 40),
       text("table oid %u: descriptor record size 40 is smaller than 48", note)},
      {"two tables of one name",
       [&](Image& f) { memcpy(f.bytes.data() + f.recordAt(note) + f.get<dbTable>(f.recordAt(note)).name.offset, "Rule", 4); },
       "repeats the name of descriptor oid"},
      {"fixedSize below the record header", i32(ruleAt + offsetof(dbTable, fixedSize), 8),
       "table Rule: fixedSize 8 is below 12"},
      {"Metatable fixedSize changed", i32(metaAt + offsetof(dbTable, fixedSize), 44),
       "table Metatable: fixedSize 44, expected 48"},
      {"field entries past the record", u32(ruleAt + offsetof(dbTable, fields), 100),
       text("table Rule: 100 field entries at 48 lie outside bytes 48 to %u of the record", clean.get<uint32_t>(ruleAt))},
      {"field name past the record", u32(entry("text", offsetof(dbField, name.offset)), 100000),
       "table Rule: field entry 0: name of 5 bytes at 100048 lies outside the record"},
      {"tableName with count 0", u32(entry("text", offsetof(dbField, tableName.count)), 0),
       "table Rule: field text: tableName has count 0"},
      {"type code past the last", i32(entry("remove", offsetof(dbField, type)), 21),
       "table Rule: field remove: type 21 is not a stored field type"},
      {"method type stored", i32(entry("remove", offsetof(dbField, type)), dbField::tpMethodInt4),
       "table Rule: field remove: type 13 is not a stored field type"},
      {"string entry of the wrong size", i32(entry("text", offsetof(dbField, size)), 4),
       "table Rule: field text: type 7 with size 4, expected 8"},
      {"field past the fixed part", i32(entry("remove", offsetof(dbField, offset)), 32),
       "table Rule: field remove: offset 32 size 1 lies outside the fixed part of 32 bytes"},
      {"field inside the record header", i32(entry("remove", offsetof(dbField, offset)), 8),
       "table Rule: field remove: offset 8 size 1 lies outside the fixed part"},
      {"element field past its element", i32(entry("tags[].weight", offsetof(dbField, offset)), 10),
       "table Rule: field tags[].weight: offset 10 size 4 lies outside its element of 12 bytes"},
      {"array without its element entry",
       [&](Image& f) {
         size_t e = f.entryAt(rule, "tags[]");
         memcpy(f.bytes.data() + e + f.get<dbField>(e).name.offset, "tags()", 6);
       },
       "table Rule: array tags has no element entry tags[]"},
      // Row chains.
      {"broken prevId", u32(row(r3, offsetof(dbRecord, prevId)), r1),
       text("table Rule: row %u prevId %u, expected %u", r3, r1, r2)},
      {"first row with a prevId", u32(row(r1, offsetof(dbRecord, prevId)), r3),
       text("table Rule: row %u prevId %u, expected 0", r1, r3)},
      {"nRows one too many", i32(ruleAt + offsetof(dbTable, nRows), 4),
       "table Rule: 3 rows from firstRow to lastRow, nRows is 4"},
      {"Metatable nRows one too few", i32(metaAt + offsetof(dbTable, nRows), 1),
       "table Metatable: 2 rows from firstRow to lastRow, nRows is 1"},
      {"cycle", u32(row(r2, offsetof(dbRecord, nextId)), r1),
       text("table Rule: cycle: row %u follows row %u again", r1, r2)},
      {"row linked to itself", u32(row(r1, offsetof(dbRecord, nextId)), r1),
       text("table Rule: cycle: row %u follows row %u again", r1, r1)},
      {"chain cut short", u32(row(r2, offsetof(dbRecord, nextId)), 0),
       text("table Rule: chain ends at row %u before lastRow %u", r2, r3)},
      {"last row with a nextId in a clean file", u32(row(r3, offsetof(dbRecord, nextId)), r1),
       text("table Rule: last row %u has nextId %u", r3, r1)},
      {"chain past usedIds", u32(row(r1, offsetof(dbRecord, nextId)), 60000),
       text("table Rule: row 60000 after row %u is not a live record", r1)},
      {"firstRow naming the Metatable", u32(ruleAt + offsetof(dbTable, firstRow), dbMetatableId),
       "table Rule: firstRow 1 is not a live record"},
      {"descriptor chain into a bitmap page", u32(row(firstTable, offsetof(dbRecord, nextId)), dbFirstBitmapId),
       text("table Metatable: row 2 after row %u is not a live record", firstTable)},
      {"row in two tables",
       [&](Image& f) {
         f.set<uint32_t>(f.recordAt(note) + offsetof(dbTable, firstRow), r1);
         f.set<uint32_t>(f.recordAt(note) + offsetof(dbTable, lastRow), r1);
       },
       text("row %u is also a row of table", r1)},
      {"firstRow without lastRow", u32(ruleAt + offsetof(dbTable, lastRow), 0),
       text("table Rule: firstRow %u but lastRow 0", r1)},
      {"no rows but counted",
       [&](Image& f) {
         f.set<uint32_t>(f.recordAt(note) + offsetof(dbTable, firstRow), 0);
         f.set<uint32_t>(f.recordAt(note) + offsetof(dbTable, lastRow), 0);
       },
       "table Note: no rows but nRows is 1"},
      // Rows.
      {"string past the record", u32(r1At + 12 + offsetof(dbVarying, offset), r1Size),
       text("table Rule: row %u: string text of 5 bytes at %u lies outside the record of %u bytes", r1, r1Size,
            r1Size)},
      {"string without its NUL", [&](Image& f) { f.bytes[r1At + r1Text.offset + 4] = 'X'; },
       text("table Rule: row %u: string text of 5 bytes at %u does not end with NUL", r1, r1Text.offset)},
      {"string of count 0", u32(row(r2, 12), 0), text("table Rule: row %u: string text has count 0", r2)},
      {"array past the record", u32(r1At + 24, 1000),
       text("table Rule: row %u: array tags of 1000 elements of 12 bytes at %u lies outside the record of %u bytes",
            r1, tagsAt, r1Size)},
      {"element string past the record", u32(label1 + offsetof(dbVarying, offset), 1000),
       text("table Rule: row %u: string tags[].label of 3 bytes at %u lies outside", r1, tagsAt + 12 + 1000)},
      // Valid if read relative to the record: "bb" ends it.
      {"element string placed relative to the record", u32(label1 + offsetof(dbVarying, offset), r1Size - 3),
       text("table Rule: row %u: string tags[].label of 3 bytes at %u lies outside", r1, tagsAt + 12 + r1Size - 3)},
      {"row smaller than the fixed part", u32(row(r2, 0), 20),
       text("table Rule: row %u: size 20 is smaller than the fixed part of 32 bytes", r2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image = clean;
    c.damage(image);
    dbCheckReport report = check(image);
    EXPECT_NE(joined(report).find(c.expected), std::string::npos)
        << "expected: " << c.expected << "\ngot:\n" << joined(report);
  }
}

// Random damage to the structures the checker reads: whatever it finds, it must
// return (the sanitizer build catches any read outside the image).
TEST_F(CheckTest, SurvivesRandomDamage) {
  struct Target {
    Image image;
    std::vector<std::pair<uint32_t, uint32_t>> regions;
  };
  // The tables file: its records lie between the Metatable and the end of the last one.
  const Image& withTables = tables->image;
  uint32_t recordsEnd = kFirstFree;
  uint32_t usedIds = withTables.get<uint32_t>(Image::rootField(withTables.committed(), offsetof(dbRoot, usedIds)));
  for (oid_t oid = dbFirstUserObjectId; oid < usedIds; oid++) {
    uint32_t h = withTables.handle(oid);
    if (!(h & dbFreeHandleMarker)) recordsEnd = std::max(recordsEnd, (h & ~0xFu) + withTables.get<uint32_t>(h & ~0xFu));
  }
  const Target targets[] = {
      {populated(),
       {
           {0, sizeof(dbHeader)},                      // header and roots
           {kIndexA, 4 * 8200},                        // committed handles
           {kBitmapPage0, 8192},                       // both bitmap pages
           {kMetatable, kPageAt + 4096 - kMetatable},  // the objects
       }},
      {withTables,
       {
           {kIndexA + 4 * dbFirstUserObjectId, 4 * (usedIds - dbFirstUserObjectId)},  // handles of the records
           {kMetatable, recordsEnd - kMetatable},                                     // descriptors and rows
       }},
  };
  std::mt19937 random(12345);
  for (const Target& target : targets) {
    for (int round = 0; round < 200; round++) {
      Image image = target.image;
      for (int flips = 1 + round % 4; flips > 0; flips--) {
        auto [start, length] = target.regions[random() % target.regions.size()];
        image.bytes[start + random() % length] ^= char(1 + random() % 255);
      }
      dbCheckReport report = check(image);
      EXPECT_LT(report.errors.size(), 300u);
    }
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
  EXPECT_NE(output().find("consistent; 3 live objects, 537568 used bytes, 0 unowned bytes; 0 tables, 0 rows"),
            std::string::npos)
      << output();
  writeFile(dir.file("tables.kld"), tables->image.bytes);
  EXPECT_EQ(run(dir.file("tables.kld")), 0);
  EXPECT_NE(output().find("; 2 tables, 4 rows\n"), std::string::npos) << output();
  EXPECT_EQ(run(dir.file("bad.kld")), 1);
  EXPECT_NE(output().find("oid 0: handle 0x00000000 is not 0x80000000\n"), std::string::npos) << output();
  EXPECT_EQ(run(dir.file("missing.kld")), 2);
  EXPECT_EQ(run(""), 2);
}

}  // namespace
