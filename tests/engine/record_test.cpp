// Insert, update and remove of records: the row list, places, and inverse
// references kept consistent, also across rollback and a crash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

namespace {

struct Note {
  const char* text;
  int32_t n;
  KELDRA_DESCRIBE(Note, KELDRA_FIELD(text), KELDRA_FIELD(n));
};
KELDRA_TABLE(Note);

struct Item;
// An order owns items: each item names its order, each order lists its items.
struct Order {
  const char* customer;
  dbArray<dbReference<Item>> items;
  KELDRA_DESCRIBE(Order, KELDRA_FIELD(customer), KELDRA_RELATION(items, order));
};
struct Item {
  int32_t amount;
  dbReference<Order> order;
  KELDRA_DESCRIBE(Item, KELDRA_FIELD(amount), KELDRA_RELATION(order, items));
};
KELDRA_TABLE(Order);
KELDRA_TABLE(Item);

// A folder owns its files: removing the last owner of a file removes the file.
struct File;
struct Folder {
  dbArray<dbReference<File>> files;
  KELDRA_DESCRIBE(Folder, KELDRA_OWNER(files, folder));
};
struct File {
  dbReference<Folder> folder;
  KELDRA_DESCRIBE(File, KELDRA_RELATION(folder, files));
};
KELDRA_TABLE(Folder);
KELDRA_TABLE(File);

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), file.c_str())); }
  void TearDown() override {
    db.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  dbTableDescriptor* table(dbTableDescriptor& declared) { return db.findTable(&declared); }
  const dbTable& stored(dbTableDescriptor& declared) { return *db.getTableRecord(table(declared)->tableId); }
  template <class T>
  T fetch(dbTableDescriptor& declared, oid_t oid) {
    T value{};
    dbFieldDescriptor::fetchRecord(table(declared)->columns, &value, reinterpret_cast<const char*>(db.getRecord(oid)));
    return value;
  }
  std::vector<oid_t> itemsOf(oid_t order) {
    Order o = fetch<Order>(Order_descriptor, order);
    std::vector<oid_t> result;
    for (size_t i = 0; i < o.items.length(); i++) result.push_back(o.items[i].oid);
    return result;
  }
  oid_t insertItem(int32_t amount, oid_t order) {
    Item item{amount, dbReference<Order>(order)};
    return db.insertRecord(&Item_descriptor, &item);
  }
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("rec");
  std::string file = dir.file("r.kld");
  TestDb db;
};

TEST_F(RecordTest, InsertLinksRowsAndRollbackUnlinksThem) {
  Note first{"one", 1};
  oid_t a = db.insertRecord(&Note_descriptor, &first);
  EXPECT_EQ(stored(Note_descriptor).firstRow, a);
  EXPECT_EQ(stored(Note_descriptor).lastRow, a);
  EXPECT_EQ(stored(Note_descriptor).nRows, 1);
  EXPECT_EQ(db.getRecord(a)->prevId, 0u);
  EXPECT_EQ(db.getRecord(a)->nextId, 0u);
  db.commit();

  Note second{"two", 2};
  oid_t b = db.insertRecord(&Note_descriptor, &second);
  EXPECT_EQ(db.getRecord(a)->nextId, b) << "linked in place";
  EXPECT_EQ(db.committedHandle(a), db.handle(a)) << "without copying the committed record";
  EXPECT_EQ(db.getRecord(b)->prevId, a);
  db.rollback();
  db.beginRead();
  EXPECT_EQ(db.getRecord(a)->nextId, 0u) << "rollback cuts the link again";
  EXPECT_EQ(stored(Note_descriptor).nRows, 1);
  EXPECT_STREQ(fetch<Note>(Note_descriptor, a).text, "one");
  db.commit();
}

TEST_F(RecordTest, RemovingRowsKeepsTheChain) {
  Note n{"x", 0};
  std::vector<oid_t> oids;
  for (int i = 0; i < 4; i++) {
    n.n = i;
    oids.push_back(db.insertRecord(&Note_descriptor, &n));
  }
  db.commit();
  db.beginWrite();
  db.removeRecord(&Note_descriptor, oids[1]);  // a middle one
  db.removeRecord(&Note_descriptor, oids[0]);  // the first
  db.removeRecord(&Note_descriptor, oids[3]);  // the last
  EXPECT_EQ(stored(Note_descriptor).firstRow, oids[2]);
  EXPECT_EQ(stored(Note_descriptor).lastRow, oids[2]);
  EXPECT_EQ(db.getRecord(oids[2])->prevId, 0u);
  EXPECT_EQ(db.getRecord(oids[2])->nextId, 0u);
  db.removeRecord(&Note_descriptor, oids[2]);
  EXPECT_EQ(stored(Note_descriptor).firstRow, 0u);
  EXPECT_EQ(stored(Note_descriptor).lastRow, 0u);
  EXPECT_EQ(stored(Note_descriptor).nRows, 0);
  db.commit();
}

TEST_F(RecordTest, UpdateMovesAGrowingRecordButKeepsItsOidAndPlaceInTheList) {
  Note n{"short", 1};
  oid_t a = db.insertRecord(&Note_descriptor, &n);
  oid_t b = db.insertRecord(&Note_descriptor, &n);
  oid_t c = db.insertRecord(&Note_descriptor, &n);
  db.commit();
  db.beginWrite();
  uint32_t before = db.handle(b);
  Note longer = fetch<Note>(Note_descriptor, b);
  longer.text = "a much longer text than before";
  db.updateRecord(b, &Note_descriptor, &longer);
  EXPECT_NE(db.handle(b), before);
  EXPECT_STREQ(fetch<Note>(Note_descriptor, b).text, "a much longer text than before");
  EXPECT_EQ(db.getRecord(b)->prevId, a);
  EXPECT_EQ(db.getRecord(b)->nextId, c);
  // Updating with strings that point into the record itself, in the same place.
  Note same = fetch<Note>(Note_descriptor, b);
  same.n = 9;
  db.updateRecord(b, &Note_descriptor, &same);
  Note back = fetch<Note>(Note_descriptor, b);
  EXPECT_STREQ(back.text, "a much longer text than before");
  EXPECT_EQ(back.n, 9);
  db.commit();
}

TEST_F(RecordTest, InverseReferencesFollowInsertUpdateAndRemove) {
  Order order{"acme", {}};
  oid_t o1 = db.insertRecord(&Order_descriptor, &order);
  oid_t o2 = db.insertRecord(&Order_descriptor, &order);
  oid_t i1 = insertItem(10, o1);
  oid_t i2 = insertItem(20, o1);
  EXPECT_EQ(itemsOf(o1), (std::vector<oid_t>{i1, i2}));
  db.commit();

  db.beginWrite();
  Item moved = fetch<Item>(Item_descriptor, i1);
  moved.order = dbReference<Order>(o2);
  db.updateRecord(i1, &Item_descriptor, &moved);
  EXPECT_EQ(itemsOf(o1), (std::vector<oid_t>{i2}));
  EXPECT_EQ(itemsOf(o2), (std::vector<oid_t>{i1}));

  db.removeRecord(&Item_descriptor, i2);
  EXPECT_TRUE(itemsOf(o1).empty());

  // An order given a list of items sets their back references.
  oid_t i3 = insertItem(30, 0);
  Order changed = fetch<Order>(Order_descriptor, o1);
  dbReference<Item> list[2] = {dbReference<Item>(i3), dbReference<Item>(i1)};
  changed.items.assign(list, 2);
  db.updateRecord(o1, &Order_descriptor, &changed);
  EXPECT_EQ(fetch<Item>(Item_descriptor, i3).order.oid, o1);
  EXPECT_EQ(fetch<Item>(Item_descriptor, i1).order.oid, o1);
  db.commit();
}

// The inverse array lives at the end of its record: when it outgrows the room it
// moves there with room for twice its size, and later ones are appended in place.
TEST_F(RecordTest, InverseArrayGrowsWithRoomToSpare) {
  Order order{"big", {}};
  oid_t o = db.insertRecord(&Order_descriptor, &order);
  std::vector<oid_t> items;
  std::vector<uint32_t> sizes;
  for (int i = 0; i < 20; i++) {
    items.push_back(insertItem(i, o));
    sizes.push_back(db.getRecord(o)->size);
  }
  EXPECT_EQ(itemsOf(o), items);
  // Sizes grow by doubling, not with every insertion.
  int growths = 0;
  for (size_t i = 1; i < sizes.size(); i++) growths += sizes[i] != sizes[i - 1];
  EXPECT_LE(growths, 5);
  EXPECT_STREQ(fetch<Order>(Order_descriptor, o).customer, "big");
  db.commit();
}

TEST_F(RecordTest, CascadeRemovesOwnedRecordsOnce) {
  Folder folder{};
  oid_t f = db.insertRecord(&Folder_descriptor, &folder);
  File child{dbReference<Folder>(f)};
  oid_t c1 = db.insertRecord(&File_descriptor, &child);
  oid_t c2 = db.insertRecord(&File_descriptor, &child);
  db.commit();
  db.beginWrite();
  db.removeRecord(&Folder_descriptor, f);
  EXPECT_TRUE(db.handle(c1) & dbFreeHandleMarker);
  EXPECT_TRUE(db.handle(c2) & dbFreeHandleMarker);
  EXPECT_EQ(stored(File_descriptor).nRows, 0);
  EXPECT_EQ(stored(Folder_descriptor).nRows, 0);
  db.commit();
}

// A crash after an insert into a non-empty table: the next open finds the last
// committed row ending the chain and the committed count.
TEST_F(RecordTest, CrashAfterInsertLeavesTheCommittedChain) {
  Note n{"kept", 1};
  oid_t last = db.insertRecord(&Note_descriptor, &n);
  db.commit();
  db.close();
  Child writer([&](Child& me) {
    TestDb other;
    if (!other.open(name.c_str(), file.c_str())) return 1;
    Note more{"lost", 2};
    other.insertRecord(&Note_descriptor, &more);
    me.send('I');
    pause();
    return 0;
  });
  ASSERT_EQ(writer.receive(), 'I');
  writer.kill();
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginRead();
  EXPECT_EQ(db.getRecord(last)->nextId, 0u);
  EXPECT_EQ(stored(Note_descriptor).nRows, 1);
  EXPECT_EQ(stored(Note_descriptor).lastRow, last);
  db.commit();
}

}  // namespace
