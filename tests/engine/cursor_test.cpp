// Cursors: positioning over whole tables and selections, removal through a cursor,
// reset by commit, notification of other cursors, and sorting.
#include "cursor.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

namespace {

struct Word {
  const char* text;
  int32_t n;
  KELDRA_DESCRIBE(Word, KELDRA_FIELD(text), KELDRA_FIELD(n));
};
KELDRA_TABLE(Word);

// Records linked into a ring through `next`.
struct Link {
  int32_t n;
  dbReference<Link> next;
  KELDRA_DESCRIBE(Link, KELDRA_FIELD(n), KELDRA_FIELD(next));
};
KELDRA_TABLE(Link);

struct Measure {
  int32_t n;
  float f;
  double r;
  KELDRA_DESCRIBE(Measure, KELDRA_FIELD(n), KELDRA_FIELD(f), KELDRA_FIELD(r));
};
KELDRA_TABLE(Measure);

// Strings and arrays inside array elements.
struct Section {
  const char* title;
  dbArray<int32_t> pages;
  KELDRA_DESCRIBE(Section, KELDRA_FIELD(title), KELDRA_FIELD(pages));
};
struct Tagged {
  dbArray<const char*> tags;
  dbArray<Section> sections;
  KELDRA_DESCRIBE(Tagged, KELDRA_FIELD(tags), KELDRA_FIELD(sections));
};
KELDRA_TABLE(Tagged);

// Opens the selection of a cursor to the tests.
class SelectionCursor : public dbCursor<Word> {
 public:
  using dbCursor<Word>::dbCursor;
  using dbAnyCursor::linkToTransaction;
  dbSelection& chosen() { return selection; }
  bool hasSeenMap() const { return seenMap != nullptr; }
  // A selection of the given oids, as a search would leave it.
  void choose(TestDb& db, const std::vector<oid_t>& oids) {
    resetCursor();
    db.lockDatabase(type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock);
    linkToTransaction();
    for (oid_t oid : oids) addToSelection(oid);
    if (moveFirst()) fetchCurrent();
  }
};

class CursorTest : public ::testing::Test {
 protected:
  explicit CursorTest(int threads = 1) : db(dbReadWrite, 0, 4194304, 65536, threads) {}
  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), file.c_str())); }
  void TearDown() override {
    db.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  std::vector<oid_t> insert(const std::vector<const char*>& texts) {
    std::vector<oid_t> oids;
    int32_t n = 0;
    for (const char* t : texts) {
      Word w{t, n++};
      oids.push_back(db.insertRecord(&Word_descriptor, &w));
    }
    db.commit();
    return oids;
  }
  std::vector<oid_t> insertMany(int count) {
    return insert(std::vector<const char*>(size_t(count), "w"));
  }
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("cur");
  std::string file = dir.file("c.kld");
  TestDb db;
};

TEST_F(CursorTest, EmptyTableSelectsNothing) {
  dbCursor<Word> cursor;
  EXPECT_EQ(cursor.select(), 0u);
  EXPECT_TRUE(cursor.isEmpty());
  EXPECT_EQ(cursor.next(), nullptr);
  db.commit();
}

TEST_F(CursorTest, WholeTableWalkAndRemoveOfTheLast) {
  std::vector<oid_t> oids = insert({"a", "b", "c"});
  dbCursor<Word> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select(), 3u);
  EXPECT_STREQ(cursor->text, "a");
  EXPECT_STREQ(cursor.next()->text, "b");
  EXPECT_STREQ(cursor.next()->text, "c");
  EXPECT_EQ(cursor.next(), nullptr);
  EXPECT_EQ(cursor.getOid(), oids[2]) << "stays on the last record";
  cursor.remove();
  EXPECT_EQ(cursor.getOid(), oids[1]) << "moves to the previous record";
  EXPECT_STREQ(cursor->text, "b");
  EXPECT_EQ(cursor.next(), nullptr) << "which is now the last";
  cursor.remove();
  cursor.remove();
  EXPECT_TRUE(cursor.isEmpty());
  db.commit();
}

TEST_F(CursorTest, SegmentsHold1024Oids) {
  std::vector<oid_t> oids = insertMany(1025);
  SelectionCursor cursor;
  cursor.choose(db, std::vector<oid_t>(oids.begin(), oids.begin() + 1024));
  EXPECT_EQ(cursor.chosen().head, cursor.chosen().tail) << "1024 oids fill one segment";
  cursor.choose(db, oids);
  ASSERT_NE(cursor.chosen().head, cursor.chosen().tail) << "the 1025th opens a second";
  EXPECT_EQ(cursor.chosen().tail->used, 1u);
  for (int i = 0; i < 1023; i++) ASSERT_TRUE(cursor.moveNext());
  EXPECT_EQ(cursor.getOid(), oids[1023]);
  ASSERT_TRUE(cursor.moveNext()) << "crosses into the next segment";
  EXPECT_EQ(cursor.getOid(), oids[1024]);
  EXPECT_FALSE(cursor.moveNext());
  db.commit();
}

TEST_F(CursorTest, RemoveRepositionsInTheSelection) {
  std::vector<oid_t> oids = insertMany(1027);
  SelectionCursor cursor(dbCursorForUpdate);

  // The only selected record: its segment is freed and nothing is current.
  cursor.choose(db, {oids[0]});
  cursor.remove();
  EXPECT_TRUE(cursor.isEmpty());
  EXPECT_EQ(cursor.chosen().head, nullptr);

  // The only oid of the last segment: back to the last oid of the previous one.
  std::vector<oid_t> some(oids.begin() + 1, oids.begin() + 1026);  // 1025 oids
  cursor.choose(db, some);
  while (cursor.moveNext()) {
  }
  cursor.remove();
  EXPECT_EQ(cursor.getOid(), some[1023]);
  EXPECT_EQ(cursor.chosen().head, cursor.chosen().tail);

  // The last oid of a segment that keeps others: one slot back.
  cursor.remove();
  EXPECT_EQ(cursor.getOid(), some[1022]);
  // A middle oid: the following one takes its place.
  cursor.moveFirst();
  cursor.remove();
  EXPECT_EQ(cursor.getOid(), some[1]);
  EXPECT_EQ(cursor->n, 2);
  db.commit();
}

TEST_F(CursorTest, CommitResetsPositionedCursors) {
  insert({"a", "b"});
  dbCursor<Word> cursor;
  ASSERT_EQ(cursor.select(), 2u);
  EXPECT_FALSE(cursor.isEmpty());
  db.commit();
  EXPECT_TRUE(cursor.isEmpty());
  EXPECT_EQ(cursor.getNumberOfRecords(), 0u);
  EXPECT_EQ(cursor.next(), nullptr);
}

TEST_F(CursorTest, UpdateRefetchesIntoOtherCursorsOnTheSameRecord) {
  std::vector<oid_t> oids = insert({"old"});
  dbCursor<Word> writer(dbCursorForUpdate), reader(dbCursorForUpdate);
  writer.at(dbReference<Word>(oids[0]));
  reader.at(dbReference<Word>(oids[0]));
  writer->text = "new";
  writer->n = 42;
  writer.update();
  EXPECT_STREQ(reader->text, "new") << "re-fetched";
  EXPECT_EQ(reader->n, 42);
  writer->n = 7;  // the writer's own buffer is not overwritten by its update
  writer.update();
  EXPECT_EQ(writer->n, 7);
  reader.remove();
  EXPECT_TRUE(writer.isEmpty()) << "a removal clears other cursors on the record";
  db.commit();
}

// Another cursor of the thread removes the current record: the cursor is empty, and
// its next step goes on with the record that followed.
TEST_F(CursorTest, NextAfterTheCurrentRecordWasRemovedElsewhere) {
  std::vector<oid_t> oids = insert({"a", "b", "c", "d"});
  SelectionCursor walker(dbCursorForUpdate);
  walker.choose(db, oids);
  ASSERT_STREQ(walker.next()->text, "b");
  dbCursor<Word> remover(dbCursorForUpdate);
  remover.at(dbReference<Word>(oids[1]));
  remover.remove();
  EXPECT_TRUE(walker.isEmpty());
  Word* next = walker.next();
  ASSERT_NE(next, nullptr);
  EXPECT_STREQ(next->text, "c");
  EXPECT_STREQ(walker.next()->text, "d");
  EXPECT_EQ(walker.next(), nullptr);

  // The same along the whole table, at its first and at its last record.
  dbCursor<Word> whole(dbCursorForUpdate);
  ASSERT_EQ(whole.select(), 3u);
  remover.at(dbReference<Word>(oids[0]));
  remover.remove();
  EXPECT_TRUE(whole.isEmpty());
  next = whole.next();
  ASSERT_NE(next, nullptr);
  EXPECT_STREQ(next->text, "c");
  ASSERT_STREQ(whole.next()->text, "d");
  remover.at(dbReference<Word>(oids[3]));
  remover.remove();
  EXPECT_EQ(whole.next(), nullptr);
  db.commit();
}

// The file grows while a cursor holds a fetched record and the mapping moves: the
// strings and arrays inside array elements are read at the new place.
TEST_F(CursorTest, ArrayElementsFollowAMovedMapping) {
  const char* tags[2] = {"red", "green"};
  int32_t pages[3] = {4, 5, 6};
  Section section;
  section.title = "intro";
  section.pages.assign(pages, 3);
  Tagged value;
  value.tags.assign(tags, 2);
  value.sections.assign(&section, 1);
  db.insertRecord(&Tagged_descriptor, &value);
  db.commit();
  dbCursor<Tagged> cursor(dbCursorForUpdate);
  ASSERT_EQ(cursor.select(), 1u);
  // The pages after the mapping are taken, so that it cannot grow in place.
  char* oldBase = db.baseAddress();
  const size_t oldSize = db.fileSize();
  void* guard = mmap(oldBase + oldSize, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  std::string big(oldSize, 'x');
  Word w{big.c_str(), 0};
  db.insertRecord(&Word_descriptor, &w);
  if (guard != MAP_FAILED) munmap(guard, 4096);
  ASSERT_NE(db.baseAddress(), oldBase) << "the mapping moved";
  auto inMapping = [&](const void* p) {
    return p >= db.baseAddress() && p < db.baseAddress() + db.fileSize();
  };
  ASSERT_EQ(cursor->tags.length(), 2u);
  ASSERT_TRUE(inMapping(cursor->tags[1]));
  EXPECT_STREQ(cursor->tags[1], "green");
  ASSERT_EQ(cursor->sections.length(), 1u);
  ASSERT_TRUE(inMapping(cursor->sections[0].title));
  EXPECT_STREQ(cursor->sections[0].title, "intro");
  ASSERT_TRUE(inMapping(cursor->sections[0].pages.get()));
  EXPECT_EQ(cursor->sections[0].pages[2], 6);
  db.commit();
}

TEST_F(CursorTest, SortOrdersByKeysInByteOrder) {
  std::vector<oid_t> oids = insert({"b", "B", "a", "A", "c"});
  SelectionCursor cursor;
  cursor.choose(db, oids);
  dbTableDescriptor* table = db.findTable(&Word_descriptor);
  dbOrderKey byText;
  byText.field = table->find("text");
  byText.table = table;
  dbAnyCursor::sortSelection(&db, cursor.chosen(), &byText);
  std::vector<std::string> order;
  for (bool more = cursor.moveFirst(); more; more = cursor.moveNext()) {
    cursor.fetchCurrent();
    order.push_back(cursor->text);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "a", "b", "c"}));
  byText.field = nullptr;  // owned by the table
  db.commit();
}

// Sorting checks the order first: ascending input for DESC is reversed, equal keys
// stay in scan order, and larger inputs come out sorted.
TEST_F(CursorTest, SortHandlesOrderedReversedAndLargeInputs) {
  std::vector<oid_t> oids = insertMany(300);
  dbTableDescriptor* table = db.findTable(&Word_descriptor);
  dbOrderKey byN;
  byN.field = table->find("n");
  byN.table = table;
  SelectionCursor cursor(dbCursorForUpdate);
  auto values = [&] {
    std::vector<int32_t> v;
    for (bool more = cursor.moveFirst(); more; more = cursor.moveNext()) {
      cursor.fetchCurrent();
      v.push_back(cursor->n);
    }
    return v;
  };
  cursor.choose(db, oids);
  byN.ascending = false;
  dbAnyCursor::sortSelection(&db, cursor.chosen(), &byN);
  std::vector<int32_t> v = values();
  EXPECT_TRUE(std::is_sorted(v.rbegin(), v.rend()));
  EXPECT_EQ(v.front(), 299);

  // A scrambled selection of 300 keys sorts.
  std::vector<oid_t> scrambled;
  for (size_t i = 0; i < oids.size(); i++) scrambled.push_back(oids[(i * 7919) % oids.size()]);
  cursor.choose(db, scrambled);
  byN.ascending = true;
  dbAnyCursor::sortSelection(&db, cursor.chosen(), &byN);
  v = values();
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  EXPECT_EQ(v.size(), 300u);

  // Equal keys: the scan order stays.
  dbOrderKey byText;
  byText.field = table->find("text");
  byText.table = table;
  cursor.choose(db, scrambled);
  dbAnyCursor::sortSelection(&db, cursor.chosen(), &byText);
  cursor.moveFirst();
  EXPECT_EQ(cursor.getOid(), scrambled[0]);
  byN.field = byText.field = nullptr;
  db.commit();
}

TEST_F(CursorTest, NoSeenMapWithASelectionLimitOfOne) {
  insert({"a"});
  SelectionCursor cursor;
  cursor.setMaxRows(1);
  cursor.choose(db, {});
  cursor.enableDedup();
  EXPECT_FALSE(cursor.hasSeenMap());
  cursor.setMaxRows(2000000000);
  cursor.enableDedup();
  EXPECT_TRUE(cursor.hasSeenMap());
  db.commit();
}

// ---------------------------------------------------------------------------
// Searches through queries

class SearchTest : public CursorTest {
 protected:
  explicit SearchTest(int threads = 1) : CursorTest(threads) {}
  std::vector<int32_t> selectN(const char* condition) {
    dbCursor<Word> cursor;
    std::vector<int32_t> values;
    if (cursor.select(condition) == 0) return values;
    do values.push_back(cursor->n);
    while (cursor.next() != nullptr);
    return values;
  }
};

TEST_F(SearchTest, ConditionsOrderAndBoundParameters) {
  insert({"b", "a", "c", "a"});
  EXPECT_EQ(selectN("n > 1"), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(selectN("text = 'a' order by n desc"), (std::vector<int32_t>{3, 1}));
  EXPECT_EQ(selectN("order by text, n"), (std::vector<int32_t>{1, 3, 0, 2}));
  EXPECT_TRUE(selectN("n = 99").empty());
  // A bound variable is read at every select, without compiling again.
  int32_t limit = 0;
  dbQuery query;
  query = "n >=", limit;
  dbCursor<Word> cursor;
  EXPECT_EQ(cursor.select(query), 4u);
  const dbExprNode* compiled = query.tree;
  limit = 3;
  EXPECT_EQ(cursor.select(query), 1u);
  EXPECT_EQ(query.tree, compiled);
  db.commit();
}

// NaN sorts after every number (before them for DESC) and equal to any NaN, as in
// the T-tree, for real fields and real expressions alike.
TEST_F(SearchTest, OrderByPutsNaNAfterEveryNumber) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {2, nan, -1, 0.5, nan, -0.0, 7, nan, 3, 1e30, -1e30, nan, 0};
  for (int32_t n = 0; n < int32_t(std::size(values)); n++) {
    Measure m{n, float(values[n]), values[n]};
    db.insertRecord(&Measure_descriptor, &m);
  }
  db.commit();
  const std::vector<int32_t> ascending = {10, 2, 5, 12, 3, 0, 8, 6, 9, 1, 4, 7, 11};
  const std::vector<int32_t> descending = {1, 4, 7, 11, 9, 6, 8, 0, 3, 5, 12, 2, 10};
  struct Case {
    const char* query;
    const std::vector<int32_t>& expected;
  } cases[] = {
      {"order by r, n", ascending},           {"order by r desc, n", descending},
      {"order by f, n", ascending},           {"order by f desc, n", descending},
      {"order by r * 1.0, n", ascending},     {"order by r * 1.0 desc, n", descending},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    dbCursor<Measure> cursor;
    std::vector<int32_t> order;
    if (cursor.select(c.query) > 0) {
      do order.push_back(cursor->n);
      while (cursor.next() != nullptr);
    }
    EXPECT_EQ(order, c.expected);
  }
  db.commit();
}

TEST_F(SearchTest, CurrentEqualsReferenceSelectsOneRecord) {
  std::vector<oid_t> oids = insert({"a", "b"});
  dbReference<Word> ref(oids[1]);
  dbQuery query;
  query = "current =", ref;
  dbCursor<Word> cursor;
  EXPECT_EQ(cursor.select(query), 1u);
  EXPECT_STREQ(cursor->text, "b");
  db.commit();
}

// Worker w of n tests records w, w + n, ...: without ORDER BY the result is
// grouped by worker; with it, the merge equals the sequential sorted result.
class ParallelSearchTest : public SearchTest {
 protected:
  ParallelSearchTest() : SearchTest(4) {}
};

TEST_F(ParallelSearchTest, LargeTablesAreScannedByEveryWorker) {
  for (int rows : {999, 1000}) {
    SCOPED_TRACE(rows);
    dbCursor<Word> cursor(dbCursorForUpdate);
    cursor.select();
    while (!cursor.isEmpty()) cursor.remove();
    db.commit();
    insertMany(rows);
    std::vector<int32_t> all = selectN("n >= 0");
    ASSERT_EQ(all.size(), size_t(rows));
    std::vector<int32_t> expected;
    if (rows == 999) {
      for (int i = 0; i < rows; i++) expected.push_back(i);  // one thread, table order
    } else {
      for (int w = 0; w < 4; w++) {
        for (int i = w; i < rows; i += 4) expected.push_back(i);
      }
    }
    EXPECT_EQ(all, expected);
    std::vector<int32_t> sorted = selectN("n >= 0 order by n desc");
    EXPECT_TRUE(std::is_sorted(sorted.rbegin(), sorted.rend()));
    EXPECT_EQ(sorted.size(), size_t(rows));
    db.commit();
  }
}

TEST_F(SearchTest, FollowByVisitsACycleOnce) {
  std::vector<oid_t> oids;
  for (int i = 0; i < 5; i++) {
    Link link{i, {}};
    oids.push_back(db.insertRecord(&Link_descriptor, &link));
  }
  dbCursor<Link> update(dbCursorForUpdate);
  for (int i = 0; i < 5; i++) {
    update.at(dbReference<Link>(oids[size_t(i)]));
    update->next = dbReference<Link>(oids[size_t((i + 1) % 5)]);
    update.update();
  }
  db.commit();
  dbCursor<Link> cursor;
  ASSERT_EQ(cursor.select("start from first follow by next"), 5u);
  std::vector<int32_t> visited;
  do visited.push_back(cursor->n);
  while (cursor.next() != nullptr);
  EXPECT_EQ(visited, (std::vector<int32_t>{0, 1, 2, 3, 4}));
  db.commit();
}

}  // namespace
