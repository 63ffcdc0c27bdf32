// The hash index of key fields: kept by inserts, key updates and removals, created
// and dropped with the declaration, grown under many rows, undone by rollback, and
// checked by the consistency checker.
#include "hashtab.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "index.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct Key {
  const char* text;
  int32_t n;
  KELDRA_DESCRIBE(Key, KELDRA_KEY(text, HASHED), KELDRA_KEY(n, HASHED));
};
KELDRA_TABLE(Key);

// Tables bound to one database object, for changed declarations.
struct Plain {
  const char* text;
  int32_t n;
  KELDRA_DESCRIBE(Plain, KELDRA_FIELD(text), KELDRA_FIELD(n));
};
// Plain with one more field: a changed layout; an index no longer declared is
// dropped either way.
struct PlainWider {
  const char* text;
  int32_t n;
  int32_t extra;
  KELDRA_DESCRIBE(PlainWider, KELDRA_FIELD(text), KELDRA_FIELD(n), KELDRA_FIELD(extra));
};
struct Hashed {
  const char* text;
  int32_t n;
  KELDRA_DESCRIBE(Hashed, KELDRA_FIELD(text), KELDRA_KEY(n, HASHED));
};

// A cursor whose selection the test reads back in the order found.
class Collector : public dbAnyCursor {
 public:
  Collector(dbTableDescriptor& table, dbDatabase& db) : dbAnyCursor(table, dbCursorForReading, &buffer, &db) {}
  std::vector<oid_t> oids() const {
    std::vector<oid_t> result;
    for (auto* s = selection.head; s != nullptr; s = s->next) result.insert(result.end(), s->ids, s->ids + s->used);
    return result;
  }

 private:
  char buffer[64] = {};
};

// Records whose `field` equals `key` (a C string for string fields, else the value's bytes).
std::vector<oid_t> findKey(TestDb& db, dbTableDescriptor* table, const char* field, const void* key,
                           uint32_t limit = 0) {
  dbFieldDescriptor* fd = table->find(field);
  EXPECT_NE(fd->hashTable, 0u);
  Collector cursor(*table, db);
  if (limit != 0) cursor.setMaxRows(limit);
  dbSearchContext sc;
  sc.db = &db;
  sc.cursor = &cursor;
  sc.firstKey = static_cast<const char*>(key);
  sc.type = fd->type;
  sc.sizeofType = int(fd->dbsSize);
  sc.offs = int(fd->dbsOffs);
  db.beginRead();
  dbHashTable::find(&db, fd->hashTable, sc);
  return cursor.oids();
}

dbHashHeader headerOf(TestDb& db, oid_t hashId) {
  return *reinterpret_cast<const dbHashHeader*>(db.getObject(hashId));
}

std::vector<oid_t> oids(std::initializer_list<oid_t> list) { return list; }

TEST(HashCode, FollowsTheStatedFormula) {
  EXPECT_EQ(dbHashTable::hashCode("abc", 3), 96354u);
  EXPECT_EQ(dbHashTable::hashCode("abc", 3) % dbHashTable::minSize, 14439u);
  EXPECT_EQ(dbHashTable::hashCode("", 0), 0u);
  const unsigned char high[] = {0xFF, 0x80};
  EXPECT_EQ(dbHashTable::hashCode(high, 2), 0xFFu * 31 + 0x80);  // bytes are unsigned
}

TEST(HashCode, BucketCountForExpectedRows) {
  struct Case {
    uint32_t rows, size;
  };
  for (Case c : {Case{0, 16383}, {16382, 16383}, {16383, 32767}, {32767, 65535}, {100000, 131071}}) {
    EXPECT_EQ(dbHashTable::sizeFor(c.rows), c.size) << c.rows;
  }
}

class HashIndexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), file.c_str())); }
  void TearDown() override {
    if (db.isOpen()) db.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  dbTableDescriptor* keys() { return db.findTable(&Key_descriptor); }
  oid_t insert(const char* text, int32_t n) {
    Key k{text, n};
    return db.insertRecord(&Key_descriptor, &k);
  }
  void update(oid_t oid, const char* text, int32_t n) {
    Key k{text, n};
    db.updateRecord(oid, keys(), &k);
  }
  std::vector<oid_t> byText(const char* text) { return findKey(db, keys(), "text", text); }
  std::vector<oid_t> byNumber(int32_t n) { return findKey(db, keys(), "n", &n); }
  dbHashHeader textHeader() { return headerOf(db, keys()->find("text")->hashTable); }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("hash");
  std::string file = dir.file("h.kld");
  TestDb db;
};

TEST_F(HashIndexTest, NewTableGetsMinimalIndexes) {
  for (const char* field : {"text", "n"}) {
    oid_t hashId = keys()->find(field)->hashTable;
    ASSERT_NE(hashId, 0u) << field;
    EXPECT_EQ(db.handle(hashId) & 7, uint32_t(dbHashMarker));
    dbHashHeader h = headerOf(db, hashId);
    EXPECT_EQ(h.size, 16383u);
    EXPECT_EQ(h.used, 0u);
    for (oid_t p = 0; p < 16; p++) {
      EXPECT_EQ(db.handle(h.page + p), (db.handle(h.page) & ~15u) + p * dbPageSize + dbPageMarker);
    }
    EXPECT_EQ(db.handle(h.page) % dbPageSize, uint32_t(dbPageMarker));
  }
}

TEST_F(HashIndexTest, EqualKeysComeNewestFirstAndOnlyExactMatches) {
  oid_t a1 = insert("abc", 1), other = insert("abd", 2), a2 = insert("abc", 3), a3 = insert("abc", 1);
  EXPECT_EQ(byText("abc"), oids({a3, a2, a1}));
  EXPECT_EQ(byText("abd"), oids({other}));
  EXPECT_EQ(byText("ab"), oids({}));
  EXPECT_EQ(byText("abcd"), oids({}));
  EXPECT_EQ(byNumber(1), oids({a3, a1}));
  EXPECT_EQ(byNumber(4), oids({}));
  EXPECT_EQ(findKey(db, keys(), "text", "abc", 2), oids({a3, a2}));  // stops at the cursor's limit
  db.commit();
  EXPECT_EQ(byText("abc"), oids({a3, a2, a1}));
}

// " " and "\1\1" hash alike (32) but differ in length; "Aa" and "BB" hash alike
// with equal length. Neither pair may find the other.
TEST_F(HashIndexTest, CollidingKeysAreTellApart) {
  ASSERT_EQ(dbHashTable::hashCode(" ", 1), dbHashTable::hashCode("\1\1", 2));
  ASSERT_EQ(dbHashTable::hashCode("Aa", 2), dbHashTable::hashCode("BB", 2));
  oid_t ones = insert("\1\1", 0), aa = insert("Aa", 0);
  EXPECT_EQ(byText(" "), oids({}));
  EXPECT_EQ(byText("BB"), oids({}));
  oid_t space = insert(" ", 0), bb = insert("BB", 0);
  EXPECT_EQ(byText(" "), oids({space}));
  EXPECT_EQ(byText("\1\1"), oids({ones}));
  EXPECT_EQ(byText("BB"), oids({bb}));
  EXPECT_EQ(byText("Aa"), oids({aa}));
  oid_t empty = insert("", 0);
  EXPECT_EQ(byText(""), oids({empty}));
}

// 1 and 7936 (bytes 1,0,0,0 and 0,31,0,0) share their hash code, so their records
// make one chain of equal hashes, longer than the lookup compares at a time.
TEST_F(HashIndexTest, LongChainsOfOneHashCodeKeepTheOrderAndTheLimit) {
  ASSERT_EQ(dbHashTable::hashCode("\1\0\0\0", 4), dbHashTable::hashCode("\0\37\0\0", 4));
  std::vector<oid_t> ones, others;
  for (int i = 0; i < 40; i++) {
    ones.insert(ones.begin(), insert("x", 1));
    others.insert(others.begin(), insert("y", 7936));
  }
  EXPECT_EQ(byNumber(1), ones);
  EXPECT_EQ(byNumber(7936), others);
  EXPECT_EQ(byNumber(7937), oids({}));
  int32_t one = 1;
  for (uint32_t limit : {1u, 16u, 17u, 33u}) {
    EXPECT_EQ(findKey(db, keys(), "n", &one, limit), std::vector<oid_t>(ones.begin(), ones.begin() + limit)) << limit;
  }
}

TEST_F(HashIndexTest, UsedCountsNonEmptyBuckets) {
  db.beginWrite();
  uint32_t used0 = textHeader().used;
  oid_t aa = insert("Aa", 0);
  EXPECT_EQ(textHeader().used, used0 + 1);
  oid_t bb = insert("BB", 0);  // same bucket
  EXPECT_EQ(textHeader().used, used0 + 1);
  oid_t abc = insert("abc", 0);
  EXPECT_EQ(textHeader().used, used0 + 2);
  db.removeRecord(keys(), aa);  // one of two: the bucket stays
  EXPECT_EQ(textHeader().used, used0 + 2);
  EXPECT_EQ(byText("BB"), oids({bb}));
  db.removeRecord(keys(), abc);  // the only one
  EXPECT_EQ(textHeader().used, used0 + 1);
  db.removeRecord(keys(), bb);
  EXPECT_EQ(textHeader().used, used0);
  db.commit();
}

TEST_F(HashIndexTest, RemoveUnlinksFromAnyPlaceInTheChain) {
  // Head, middle and tail of one chain of three equal keys.
  for (int victim = 0; victim < 3; victim++) {
    std::vector<oid_t> r = {insert("same", 7), insert("same", 7), insert("same", 7)};
    db.removeRecord(keys(), r[victim]);
    std::vector<oid_t> expected;
    for (int i = 2; i >= 0; i--) {
      if (i != victim) expected.push_back(r[i]);
    }
    EXPECT_EQ(byText("same"), expected) << victim;
    EXPECT_EQ(byNumber(7), expected) << victim;
    for (oid_t oid : expected) db.removeRecord(keys(), oid);
    EXPECT_EQ(byText("same"), oids({}));
    db.commit();
  }
}

TEST_F(HashIndexTest, KeyUpdatesMoveTheRecord) {
  oid_t a = insert("old", 1), b = insert("keep", 2);
  db.commit();
  update(a, "new", 1);  // only the text changes
  EXPECT_EQ(byText("old"), oids({}));
  EXPECT_EQ(byText("new"), oids({a}));
  EXPECT_EQ(byNumber(1), oids({a}));
  update(b, "keep", 5);  // only the number changes
  EXPECT_EQ(byNumber(2), oids({}));
  EXPECT_EQ(byNumber(5), oids({b}));
  EXPECT_EQ(byText("keep"), oids({b}));
  db.commit();
  EXPECT_EQ(byText("new"), oids({a}));
}

TEST_F(HashIndexTest, RollbackRestoresTheCommittedIndex) {
  oid_t a = insert("a", 1), b = insert("b", 2);
  db.commit();
  db.beginWrite();
  dbHashHeader before = textHeader();
  insert("a", 3);
  update(b, "c", 2);
  db.removeRecord(keys(), a);
  for (int i = 0; i < 40000; i++) insert("bulk", i);  // grows the tables
  EXPECT_GT(textHeader().size, before.size);
  db.rollback();
  db.beginRead();
  dbHashHeader after = textHeader();
  EXPECT_EQ(after.size, before.size);
  EXPECT_EQ(after.used, before.used);
  EXPECT_EQ(after.page, before.page);
  EXPECT_EQ(byText("a"), oids({a}));
  EXPECT_EQ(byText("b"), oids({b}));
  EXPECT_EQ(byText("c"), oids({}));
  EXPECT_EQ(byText("bulk"), oids({}));
  EXPECT_EQ(byNumber(3), oids({}));
  db.commit();
}

TEST_F(HashIndexTest, GrowsUnderManyRowsAndKeepsNewestFirst) {
  // More than two rows per slot of the minimal table: one doubling.
  const int n = 2 * 16384 + 1000;
  std::vector<oid_t> first;
  for (int i = 0; i < n; i++) {
    oid_t oid = insert("dup", i);
    if (i < 3) first.push_back(oid);
  }
  dbHashHeader h = textHeader();
  EXPECT_EQ(h.size, 32767u);
  EXPECT_EQ(headerOf(db, keys()->find("n")->hashTable).size, 32767u);
  std::vector<oid_t> dup = byText("dup");
  ASSERT_EQ(dup.size(), size_t(n));
  EXPECT_EQ(std::vector<oid_t>(dup.end() - 3, dup.end()), oids({first[2], first[1], first[0]}));
  for (int i : {0, 1, 16383, n - 1}) EXPECT_EQ(byNumber(i).size(), 1u) << i;
  db.commit();
  EXPECT_LE(headerOf(db, keys()->find("n")->hashTable).used, 32767u);
  EXPECT_EQ(byNumber(n / 2).size(), 1u);
}

TEST_F(HashIndexTest, GrowthCanBeTurnedOff) {
  dbHashTable::growthEnabled = false;
  for (int i = 0; i < 2 * 16384 + 10; i++) insert("x", i);
  dbHashTable::growthEnabled = true;
  EXPECT_EQ(textHeader().size, 16383u);
  EXPECT_EQ(byNumber(5).size(), 1u);
  db.commit();
}

// --- Creation and removal with the declaration ------------------------------

class HashSchemaTest : public ::testing::Test {
 protected:
  template <class T>
  std::unique_ptr<dbTableDescriptor> table(dbDatabase& db) {
    return std::make_unique<dbTableDescriptor>("Row", &db, sizeof(T), &dbDescribeTable<T>);
  }
  // The committed field entry of `field` in the stored descriptor of `t`.
  dbField storedEntry(TestDb& db, dbTableDescriptor& t, const char* field) {
    db.beginRead();
    const dbTable* stored = db.getTableRecord(t.tableId);
    const auto* entries = reinterpret_cast<const dbField*>(reinterpret_cast<const char*>(stored) + stored->fields.offset);
    for (uint32_t i = 0; i < stored->fields.count; i++) {
      const char* entryName = reinterpret_cast<const char*>(&entries[i]) + entries[i].name.offset;
      if (strcmp(entryName, field) == 0) return entries[i];
    }
    ADD_FAILURE() << "no entry " << field;
    return {};
  }
  void TearDown() override {
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("hashs");
  std::string file = dir.file("s.kld");
};

TEST_F(HashSchemaTest, OpenCreatesAndFillsTheIndexOfExistingRows) {
  std::vector<oid_t> rows;
  {
    TestDb db;
    auto t = table<Plain>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    for (int32_t i = 0; i < 1000; i++) {
      Plain p{"r", i % 500};
      rows.push_back(db.insertRecord(t.get(), &p));
    }
    db.commit();
    EXPECT_EQ(storedEntry(db, *t, "n").hashTable, 0u);
    db.close();
  }
  TestDb db;
  auto t = table<Hashed>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  oid_t hashId = storedEntry(db, *t, "n").hashTable;
  ASSERT_NE(hashId, 0u);
  EXPECT_EQ(t->find("n")->hashTable, hashId);
  EXPECT_EQ(headerOf(db, hashId).size, 16383u);
  EXPECT_EQ(headerOf(db, hashId).used, 500u);
  for (int32_t i : {0, 7, 499}) {
    EXPECT_EQ(findKey(db, t.get(), "n", &i), oids({rows[size_t(i) + 500], rows[size_t(i)]})) << i;
  }
  int32_t missing = 500;
  EXPECT_EQ(findKey(db, t.get(), "n", &missing), oids({}));
  db.commit();
  db.close();
}

TEST_F(HashSchemaTest, LosingTheDeclarationDropsTheIndex) {
  oid_t hashId, page;
  uint32_t size;
  {
    TestDb db;
    auto t = table<Hashed>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    for (int32_t i = 0; i < 100; i++) {
      Hashed h{"r", i};
      db.insertRecord(t.get(), &h);
    }
    db.commit();
    hashId = t->find("n")->hashTable;
    ASSERT_NE(hashId, 0u);
    page = headerOf(db, hashId).page;
    size = headerOf(db, hashId).size;
    db.close();
  }
  TestDb db;
  auto t = table<PlainWider>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(storedEntry(db, *t, "n").hashTable, 0u);
  EXPECT_EQ(t->find("n")->hashTable, 0u);
  EXPECT_TRUE(db.committedHandle(hashId) & dbFreeHandleMarker);
  for (oid_t p = page; p < page + (size + 1) / dbHashTable::slotsPerPage; p++) {
    EXPECT_TRUE(db.committedHandle(p) & dbFreeHandleMarker) << p;
  }
  db.close();
}

// --- The checker ------------------------------------------------------------

// A committed file with a hashed table, and ways to damage its index in a copy.
class HashCheckTest : public HashIndexTest {
 protected:
  void SetUp() override {
    HashIndexTest::SetUp();
    for (int i = 0; i < 6; i++) rows.push_back(insert("same", i));
    other = insert("other", 99);
    db.commit();
    hashId = keys()->find("text")->hashTable;
    header = textHeader();
    db.close();
    image = readFile(file);
  }
  void TearDown() override { writeFile(file, image); HashIndexTest::TearDown(); }

 public:  // for the damage functions

  uint32_t handle(oid_t oid) const {
    const auto* h = reinterpret_cast<const dbHeader*>(image.data());
    uint32_t value;
    memcpy(&value, image.data() + h->root[h->activeRoot].indexOffset + oid * 4, 4);
    return value;
  }
  void setHandle(oid_t oid, uint32_t value) {
    const auto* h = reinterpret_cast<const dbHeader*>(image.data());
    memcpy(image.data() + h->root[h->activeRoot].indexOffset + oid * 4, &value, 4);
  }
  template <class T>
  T* at(oid_t oid) {
    return reinterpret_cast<T*>(image.data() + (handle(oid) & ~15u));
  }
  oid_t* slotOf(const char* key) {
    uint32_t b = dbHashTable::hashCode(key, strlen(key)) % header.size;
    return at<oid_t>(header.page + b / 1024) + b % 1024;
  }
  std::vector<std::string> errorsOf(const std::vector<char>& damaged) {
    return dbCheckImage(damaged.data(), damaged.size()).errors;
  }

  std::vector<oid_t> rows;
  oid_t other = 0;
  oid_t hashId = 0;
  dbHashHeader header{};
  std::vector<char> image;
};

TEST_F(HashCheckTest, ReportsDamagedIndexes) {
  ASSERT_TRUE(errorsOf(image).empty());
  struct Case {
    const char* what;
    std::function<void(HashCheckTest&)> damage;
    const char* expected;
  };
  const Case cases[] = {
      {"wrong stored hash", [](HashCheckTest& t) { t.at<dbHashItem>(*t.slotOf("same"))->hash += 1; },
       "stored hash"},
      {"cycle", [](HashCheckTest& t) {
         oid_t head = *t.slotOf("same");
         oid_t second = t.at<dbHashItem>(head)->next;
         t.at<dbHashItem>(second)->next = head;
       }, "cycle"},
      {"lost row", [](HashCheckTest& t) {
         oid_t head = *t.slotOf("same");
         *t.slotOf("same") = t.at<dbHashItem>(head)->next;
       }, "in no item"},
      {"row twice", [](HashCheckTest& t) {
         oid_t head = *t.slotOf("same");
         t.at<dbHashItem>(t.at<dbHashItem>(head)->next)->record = t.at<dbHashItem>(head)->record;
       }, "more than one item"},
      {"record not a row", [](HashCheckTest& t) { t.at<dbHashItem>(*t.slotOf("same"))->record = t.hashId; },
       "not a row"},
      {"item not an item", [](HashCheckTest& t) { *t.slotOf("same") = t.header.page; }, "not a hash item"},
      {"header not a header", [](HashCheckTest& t) { t.at<dbHashHeader>(t.hashId)->size = 1000; },
       "size 1000"},
      {"missing bucket page", [](HashCheckTest& t) { t.setHandle(t.header.page + 3, dbFreeHandleMarker); },
       "bucket page 3"},
      {"used count", [](HashCheckTest& t) { t.at<dbHashHeader>(t.hashId)->used += 3; }, "used is"},
      {"wrong bucket", [](HashCheckTest& t) {
         // Move the "other" item to the head of the "same" chain, hash kept.
         oid_t item = *t.slotOf("other");
         *t.slotOf("other") = t.at<dbHashItem>(item)->next;
         t.at<dbHashItem>(item)->next = *t.slotOf("same");
         *t.slotOf("same") = item;
       }, "of bucket"},
  };
  const std::vector<char> clean = image;
  for (const Case& c : cases) {
    image = clean;
    c.damage(*this);
    std::vector<std::string> errors = errorsOf(image);
    bool found = false;
    for (const std::string& e : errors) found |= e.find(c.expected) != std::string::npos;
    EXPECT_TRUE(found) << c.what << ": " << ::testing::PrintToString(errors);
  }
  image = clean;
}

}  // namespace
