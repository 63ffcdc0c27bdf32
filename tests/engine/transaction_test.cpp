// Commit, rollback, recovery, remapping by joining processes and the delayed commit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

using testsupport::readFile;
using testsupport::writeFile;

namespace {


char* payload(dbRecord* record) { return reinterpret_cast<char*>(record) + sizeof(dbRecord); }

class TransactionTest : public ::testing::Test {
 protected:
  std::unique_ptr<TestDb> open(uint32_t commitDelay = 0) {
    auto db = std::make_unique<TestDb>(dbReadWrite, 1048576, 1048576, 0, 1);
    EXPECT_TRUE(db->open(name.c_str(), file.c_str(), dbWaitForever, commitDelay));
    return db;
  }
  // Commits a record holding `text` and returns its oid.
  oid_t commitText(TestDb& db, const char* text) {
    db.beginWrite();
    oid_t oid = db.allocateRecord(uint32_t(sizeof(dbRecord) + strlen(text) + 1));
    strcpy(payload(db.getRecord(oid)), text);
    db.commit();
    return oid;
  }
  std::string textOf(TestDb& db, oid_t oid) {
    db.beginRead();
    std::string text = payload(db.getRecord(oid));
    db.commit();
    return text;
  }
  void TearDown() override {
    dbCheckReport report = dbCheckFile(file.c_str());
    EXPECT_EQ(report.unownedBytes, expectedUnownedBytes);
    if (expectedUnownedBytes == 0) {
      for (const std::string& e : report.errors) ADD_FAILURE() << e;
    }
  }
  uint64_t expectedUnownedBytes = 0;  // raw areas a test allocates without an owner
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("txn");
  std::string file = dir.file("t.kld");
};

TEST_F(TransactionTest, CommittedChangesSurviveCloseAndReopen) {
  oid_t oid;
  {
    auto db = open();
    oid = commitText(*db, "first");
    db->beginWrite();
    strcpy(payload(db->getRecordForUpdate(oid)), "second");
    db->commit();
  }
  auto db = open();
  EXPECT_EQ(textOf(*db, oid), "second");
}

TEST_F(TransactionTest, ReadOnlyTransactionWritesNothing) {
  auto db = open();
  oid_t oid = commitText(*db, "kept");
  db->close();
  db = open();
  std::vector<char> before = readFile(file);
  EXPECT_EQ(textOf(*db, oid), "kept");
  db->commit();  // nothing held: a no-op
  EXPECT_EQ(readFile(file), before);
  EXPECT_FALSE(db->isModified());
}

TEST_F(TransactionTest, RollbackRestoresHandlesAndFreesNewOids) {
  auto db = open();
  oid_t kept = commitText(*db, "old");
  uint32_t committedIds = db->committedRoot().usedIds;
  uint32_t keptHandle = db->committedHandle(kept);

  db->beginWrite();
  oid_t a = db->allocateRecord(40);
  oid_t b = db->allocateRecord(40);
  offs_t aAt = db->handle(a);
  strcpy(payload(db->getRecordForUpdate(kept)), "new");
  db->freeObject(kept);
  db->rollback();

  db->beginWrite();
  EXPECT_EQ(db->workingRoot().usedIds, committedIds);
  EXPECT_EQ(db->handle(kept), keptHandle) << "the committed object again";
  EXPECT_STREQ(payload(db->getRecord(kept)), "old");
  EXPECT_FALSE(db->isMarked(aAt)) << "the space of the rolled-back records is free";
  EXPECT_EQ(db->allocateRecord(40), a) << "their oids are handed out again";
  EXPECT_EQ(db->allocateRecord(40), b);
  db->rollback();
}

TEST_F(TransactionTest, RollbackAfterTheIndexGrewReturnsToTheOldArea) {
  auto db = open();
  db->beginWrite();
  offs_t workingArea = db->workingRoot().indexOffset;
  while (db->workingRoot().indexCapacity == 9216) db->allocateRecord(16);
  EXPECT_NE(db->workingRoot().indexOffset, workingArea);
  db->rollback();
  db->beginWrite();
  EXPECT_EQ(db->workingRoot().indexOffset, workingArea);
  EXPECT_EQ(db->workingRoot().indexCapacity, 9216u);
  db->rollback();
  oid_t oid = commitText(*db, "after");
  EXPECT_EQ(textOf(*db, oid), "after");
}

// Commit and the next transaction touch only dirty index pages and the last one: a
// change of one record in a full first page leaves every other page as it was.
TEST_F(TransactionTest, WorkingIndexEqualsCommittedAfterCommit) {
  auto db = open();
  db->beginWrite();
  std::vector<oid_t> oids;
  for (int i = 0; i < 3000; i++) oids.push_back(db->allocateRecord(24));
  db->commit();
  for (int round = 0; round < 3; round++) {
    db->beginWrite();
    db->getRecordForUpdate(oids[size_t(round) * 997]);
    db->freeObject(oids[size_t(round) * 1000 + 5]);
    db->commit();
    db->beginWrite();
    for (oid_t oid = 0; oid < db->workingRoot().usedIds; oid++) {
      ASSERT_EQ(db->handle(oid), db->committedHandle(oid)) << oid;
    }
    for (size_t i = 0; i < 65536; i++) ASSERT_EQ(db->getMonitor()->dirtyIndexPages[i], 0) << i;
    db->rollback();
  }
}

struct Note {
  const char* text;
  KELDRA_DESCRIBE(Note, KELDRA_FIELD(text));
};

// A process dies in the middle of a transaction that changed a committed record and
// linked a new one behind the last row of a table: the next open discards it all.
TEST_F(TransactionTest, CrashBeforeCommitIsDiscardedAtTheNextOpen) {
  auto notes = [](dbDatabase& db) {
    return std::make_unique<dbTableDescriptor>("Note", &db, sizeof(Note), &dbDescribeTable<Note>);
  };
  oid_t kept, last;
  {
    TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
    auto table = notes(db);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    Note committed{"committed"}, lastRow{"last row"};
    kept = db.insertRecord(table.get(), &committed);
    last = db.insertRecord(table.get(), &lastRow);
    db.commit();
  }
  Child writer([&](Child& me) {
    TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
    auto table = notes(db);
    if (!db.open(name.c_str(), file.c_str())) return 1;
    Note changed{"uncommitted"}, added{"added"};
    db.updateRecord(kept, table.get(), &changed);
    db.insertRecord(table.get(), &added);  // links it behind `last` in place
    me.send('W');
    pause();
    return 0;
  });
  ASSERT_EQ(writer.receive(), 'W');
  writer.kill();
  EXPECT_EQ(readFile(file)[8], 1) << "left dirty";
  TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
  auto table = notes(db);
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
  db.beginRead();
  Note note{};
  dbFieldDescriptor::fetchRecord(table->columns, &note, reinterpret_cast<const char*>(db.getRecord(kept)));
  EXPECT_STREQ(note.text, "committed");
  EXPECT_EQ(db.getRecord(last)->nextId, 0u);
  EXPECT_EQ(db.getTableRecord(table->tableId)->nRows, 2);
  db.commit();
}

// Another process grew the file twice: the joined process maps it under the third
// generation at its first transaction and sees what was written beyond the old end.
TEST_F(TransactionTest, JoiningProcessMapsTheNewGeneration) {
  auto db = open();
  const std::string shared = db->getMappingName().substr(0, db->getMappingName().rfind('.'));
  Child joiner([&](Child& me) {
    TestDb other(dbReadWrite, 1048576, 1048576, 0, 1);
    if (!other.open(name.c_str(), file.c_str())) return 1;
    me.send('J');
    oid_t oid = oid_t(uint8_t(me.hear())) + dbFirstUserObjectId;
    other.beginRead();
    bool seen = strcmp(payload(other.getRecord(oid)), "far") == 0 && other.fileHeader()->size > 2097152;
    me.send(seen ? 'S' : 'N');
    me.send(other.getMappingName() == shared + ".3" ? 'M' : 'X');
    other.commit();
    return 0;
  });
  ASSERT_EQ(joiner.receive(), 'J');
  db->beginWrite();
  db->allocateSpace(1500000);  // past the first and second end of the file
  db->allocateSpace(3000000);
  oid_t far = db->allocateRecord(16);
  strcpy(payload(db->getRecord(far)), "far");
  db->commit();
  EXPECT_EQ(db->getMappingName(), shared + ".3");
  joiner.tell(char(far - dbFirstUserObjectId));
  EXPECT_EQ(joiner.receive(), 'S');
  EXPECT_EQ(joiner.receive(), 'M');
  EXPECT_EQ(joiner.wait(), 0);
  expectedUnownedBytes = 4500000;
}

// With a commit delay the thread's commit is carried out by the delayed-commit
// thread; a new transaction of the same thread before that merges with it.
TEST_F(TransactionTest, DelayedCommitIsWrittenLaterOrMerged) {
  auto db = open(1);
  oid_t first = commitText(*db, "one");  // handed to the delayed-commit thread
  db->beginWrite();                      // cancels it: the transaction goes on
  oid_t second = db->allocateRecord(16);
  strcpy(payload(db->getRecord(second)), "two");
  db->commit();
  // Another process sees both once the delayed commit ran.
  Child reader([&](Child& me) {
    TestDb other(dbReadWrite, 1048576, 1048576, 0, 1);
    if (!other.open(name.c_str(), file.c_str())) return 1;
    other.beginRead();  // waits for the exclusive lock the delayed commit holds
    bool both = strcmp(payload(other.getRecord(first)), "one") == 0 &&
                strcmp(payload(other.getRecord(second)), "two") == 0;
    other.commit();
    me.send(both ? 'B' : 'N');
    return 0;
  });
  EXPECT_EQ(reader.receive(), 'B');
  EXPECT_EQ(reader.wait(), 0);
  db->close();
  db = open();
  EXPECT_EQ(textOf(*db, second), "two");
}

}  // namespace
