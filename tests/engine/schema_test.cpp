// Tables declared by the program meet the stored schema at open: added, bound,
// converted with their records, or refused.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "check.h"
#include "cursor.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct PersonV1 {
  const char* name;
  int32_t age;
  double score;
  KELDRA_DESCRIBE(PersonV1, KELDRA_FIELD(name), KELDRA_FIELD(age), KELDRA_FIELD(score));
};

// A field added at the front, age narrowed, score made an integer.
struct PersonV2 {
  bool active;
  const char* name;
  int16_t age;
  int32_t score;
  KELDRA_DESCRIBE(PersonV2, KELDRA_FIELD(active), KELDRA_FIELD(name), KELDRA_FIELD(age), KELDRA_FIELD(score));
};

// score removed.
struct PersonV3 {
  const char* name;
  int32_t age;
  KELDRA_DESCRIBE(PersonV3, KELDRA_FIELD(name), KELDRA_FIELD(age));
};

struct Pet {
  const char* kind;
  KELDRA_DESCRIBE(Pet, KELDRA_FIELD(kind));
};

// Equal layouts with a hashed and an indexed field; the second renames the indexed
// field, the third declares no index.
struct KeyedA {
  int32_t key;
  int32_t a;
  KELDRA_DESCRIBE(KeyedA, KELDRA_KEY(key, HASHED), KELDRA_KEY(a, INDEXED));
};
struct KeyedB {
  int32_t key;
  int32_t b;
  KELDRA_DESCRIBE(KeyedB, KELDRA_KEY(key, HASHED), KELDRA_KEY(b, INDEXED));
};
struct Unkeyed {
  int32_t key;
  int32_t a;
  KELDRA_DESCRIBE(Unkeyed, KELDRA_FIELD(key), KELDRA_FIELD(a));
};


class SchemaTest : public ::testing::Test {
 protected:
  // A table "Person" of layout T bound to `db`.
  template <class T>
  std::unique_ptr<dbTableDescriptor> person(dbDatabase& db) {
    return std::make_unique<dbTableDescriptor>("Person", &db, sizeof(T), &dbDescribeTable<T>);
  }
  template <class T>
  std::vector<T> rows(TestDb& db, dbTableDescriptor& table) {
    std::vector<T> result;
    db.beginRead();
    for (oid_t oid = db.getTableRecord(table.tableId)->firstRow; oid != 0; oid = db.getRecord(oid)->nextId) {
      T value{};
      dbFieldDescriptor::fetchRecord(table.columns, &value, reinterpret_cast<const char*>(db.getRecord(oid)));
      result.push_back(value);
    }
    return result;  // strings stay valid until the caller commits
  }
  void fillV1(bool withRecords = true) {
    TestDb db;
    auto table = person<PersonV1>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    if (!withRecords) return;
    PersonV1 a{"ann", 70000, -3.75}, b{"bob", -5, 2.5};
    db.insertRecord(table.get(), &a);
    db.insertRecord(table.get(), &b);
    db.commit();
  }
  // The number of records of `table` a query selects; commits.
  template <class T>
  uint32_t count(dbDatabase& db, dbTableDescriptor& table, const char* condition) {
    T buffer{};
    dbAnyCursor cursor(table, dbCursorForReading, &buffer, &db);
    uint32_t n = cursor.select(condition, dbCursorForReading);
    db.commit();
    return n;
  }
  template <class T>
  void insertKeys(dbDatabase& db, dbTableDescriptor& table, std::initializer_list<int32_t> keys) {
    for (int32_t key : keys) {
      T value{key, key};
      db.insertRecord(&table, &value);
    }
    db.commit();
  }
  void TearDown() override {
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("schema");
  std::string file = dir.file("s.kld");
};

TEST_F(SchemaTest, NewTablesAreAddedNewestDeclarationFirst) {
  TestDb db;
  auto person = this->person<PersonV1>(db);
  auto pet = std::make_unique<dbTableDescriptor>("Pet", &db, sizeof(Pet), &dbDescribeTable<Pet>);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginRead();
  const dbTable* meta = db.getTableRecord(dbMetatableId);
  EXPECT_EQ(meta->nRows, 2);
  EXPECT_EQ(meta->firstRow, pet->tableId) << "the newest descriptor comes first";
  EXPECT_EQ(meta->lastRow, person->tableId);
  const dbTable* stored = db.getTableRecord(person->tableId);
  EXPECT_STREQ(reinterpret_cast<const char*>(stored) + stored->name.offset, "Person");
  EXPECT_EQ(stored->nColumns, 3);
  EXPECT_EQ(uint32_t(stored->fixedSize), person->fixedSize);
  EXPECT_EQ(stored->size, person->descriptorRecordSize());
  db.commit();
}

TEST_F(SchemaTest, ReopeningWithTheSameDeclarationsWritesNothing) {
  fillV1();
  std::vector<char> before = readFile(file);
  {
    TestDb db;
    auto table = person<PersonV1>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    EXPECT_EQ(rows<PersonV1>(db, *table).size(), 2u);
    db.commit();
  }
  EXPECT_EQ(readFile(file), before);
}

TEST_F(SchemaTest, ChangedDeclarationConvertsEveryRecord) {
  fillV1();
  TestDb db;
  auto table = person<PersonV2>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  std::vector<PersonV2> people = rows<PersonV2>(db, *table);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_FALSE(people[0].active) << "a new field is 0";
  EXPECT_STREQ(people[0].name, "ann");
  EXPECT_EQ(people[0].age, int16_t(70000)) << "the lowest 16 bits";
  EXPECT_EQ(people[0].score, -3) << "truncated toward zero";
  EXPECT_STREQ(people[1].name, "bob");
  EXPECT_EQ(people[1].age, -5);
  EXPECT_EQ(people[1].score, 2);
  db.commit();
  db.close();
  // The conversion is committed: the new declaration now matches without change.
  std::vector<char> after = readFile(file);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.close();
  EXPECT_EQ(readFile(file), after);
}

TEST_F(SchemaTest, RemovingAFieldNeedsColumnRemovalAllowed) {
  fillV1();
  {
    TestDb db;
    auto table = person<PersonV3>(db);
    std::vector<std::string> messages;
    static std::vector<std::string>* reported;
    reported = &messages;
    db.setErrorHandler([](int, const char* message, int) { reported->push_back(message); });
    EXPECT_FALSE(db.open(name.c_str(), file.c_str()));
    EXPECT_EQ(messages, std::vector<std::string>{
                            "Incompatible class definition in application: field score can be removed only from an "
                            "empty table"});
  }
  TestDb db;
  db.setColumnRemovalAllowed(true);
  auto table = person<PersonV3>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  std::vector<PersonV3> people = rows<PersonV3>(db, *table);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_STREQ(people[1].name, "bob");
  EXPECT_EQ(people[1].age, -5);
  db.commit();
}

TEST_F(SchemaTest, AnEmptyTableTakesAnyNewDeclaration) {
  fillV1(false);
  TestDb db;
  auto table = person<PersonV3>(db);  // a removed field needs no permission here
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginRead();
  EXPECT_EQ(db.getTableRecord(table->tableId)->nColumns, 2);
  db.commit();
}

TEST_F(SchemaTest, AnEmptyTableWithRenamedFieldsGetsFreshIndexes) {
  {
    TestDb db;
    auto table = person<KeyedA>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  }
  {
    TestDb db;
    auto table = person<KeyedB>(db);  // as many fields and bytes, another name
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    const oid_t hash = table->find("key")->hashTable, tree = table->find("b")->tTree;
    ASSERT_NE(hash, 0u);
    ASSERT_NE(tree, 0u);
    ASSERT_FALSE(db.committedHandle(hash) & dbFreeHandleMarker);
    ASSERT_FALSE(db.committedHandle(tree) & dbFreeHandleMarker);
    insertKeys<KeyedB>(db, *table, {1, 2});
    EXPECT_EQ(count<KeyedB>(db, *table, "key = 2"), 1u);
  }
  TestDb db;
  auto table = person<KeyedB>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(count<KeyedB>(db, *table, "key = 1"), 1u);
  EXPECT_EQ(count<KeyedB>(db, *table, "b >= 1"), 2u);
}

// An index the declaration no longer names is dropped at open: inserts made without
// it are found, and declaring it again builds it from every record.
TEST_F(SchemaTest, AnIndexNoLongerDeclaredIsDropped) {
  {
    TestDb db;
    auto table = person<KeyedA>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    insertKeys<KeyedA>(db, *table, {1, 2, 3});
  }
  {
    TestDb db;
    auto table = person<Unkeyed>(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    insertKeys<Unkeyed>(db, *table, {5});
    EXPECT_EQ(count<Unkeyed>(db, *table, "key = 5"), 1u);
    EXPECT_EQ(count<Unkeyed>(db, *table, "a >= 2"), 3u);
  }
  TestDb db;
  auto table = person<KeyedA>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(count<KeyedA>(db, *table, "key = 5"), 1u);
  EXPECT_EQ(count<KeyedA>(db, *table, "a >= 2"), 3u);
}

// A joining process cannot drop an index the others keep up: it is refused rather
// than changing records without maintaining the index.
TEST_F(SchemaTest, JoiningProcessWithoutADeclaredIndexIsRefused) {
  TestDb db;
  auto table = person<KeyedA>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  Child other([&](Child& me) {
    static std::string message;
    TestDb theirs;
    theirs.setErrorHandler([](int, const char* text, int) { message = text; });
    auto mine = person<Unkeyed>(theirs);
    bool opened = theirs.open(name.c_str(), file.c_str());
    me.send(opened ? 'O' : message == "Failed to alter indices with active applications" ? 'R' : 'X');
    return 0;
  });
  EXPECT_EQ(other.receive(), 'R');
  EXPECT_EQ(other.wait(), 0);
  insertKeys<KeyedA>(db, *table, {7});
  EXPECT_EQ(count<KeyedA>(db, *table, "key = 7"), 1u);
}

TEST_F(SchemaTest, JoiningProcessWithOtherDeclarationsIsRefused) {
  TestDb db;
  auto table = person<PersonV1>(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  Child other([&](Child& me) {
    static std::string message;
    TestDb theirs;
    theirs.setErrorHandler([](int, const char* text, int) { message = text; });
    auto mine = person<PersonV2>(theirs);
    bool opened = theirs.open(name.c_str(), file.c_str());
    me.send(opened ? 'O' : message == "Incompatible class definition in application" ? 'R' : 'X');
    return 0;
  });
  EXPECT_EQ(other.receive(), 'R');
  EXPECT_EQ(other.wait(), 0);
  // The refused process left nothing locked behind.
  PersonV1 c{"cy", 1, 1};
  db.insertRecord(table.get(), &c);
  db.commit();
}

TEST_F(SchemaTest, ReadOnlyOpenCannotAddTables) {
  fillV1(false);
  TestDb db(dbReadOnly);
  static std::string message;
  db.setErrorHandler([](int, const char* text, int) { message = text; });
  auto table = person<PersonV1>(db);
  auto pet = std::make_unique<dbTableDescriptor>("Pet", &db, sizeof(Pet), &dbDescribeTable<Pet>);
  EXPECT_FALSE(db.open(name.c_str(), file.c_str()));
  EXPECT_EQ(message, "New table definition can not be added to read only database");
}

}  // namespace
