// Allocation of space and oids, copy on write, and growth of the index and the file.
#include <gtest/gtest.h>

#include <cstring>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

namespace {

class AllocatorTest : public ::testing::Test {
 protected:
  // A database with the smallest index (9216 handles): one bitmap page at 77824,
  // the Metatable record at 81920.
  void open(size_t indexSize = 0, size_t extensionQuantum = 4194304) {
    db = std::make_unique<TestDb>(dbReadWrite, 1048576, extensionQuantum, indexSize, 1);
    ASSERT_TRUE(db->open(name.c_str(), dir.file("a.kld").c_str()));
    ASSERT_TRUE(db->beginWrite());
  }
  // Tests that leave raw space or oids without an owning object skip the check.
  void TearDown() override {
    if (db) db->close();
    db.reset();
    if (!expectClean) return;
    dbCheckReport report = dbCheckFile(dir.file("a.kld").c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  bool expectClean = true;
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("alloc");
  std::unique_ptr<TestDb> db;
};

TEST_F(AllocatorTest, SmallRequestsTakeWholeQuantaAfterTheMetatable) {
  open(65536);
  expectClean = false;
  offs_t first = db->allocateSpace(1);
  EXPECT_EQ(first, 536576u + 992u) << "right after the Metatable record";
  offs_t second = db->allocateSpace(16);
  EXPECT_EQ(second, first + 16) << "a 1-byte request takes one quantum";
  EXPECT_EQ(db->allocateSpace(17), second + 16);
  EXPECT_EQ(db->allocateSpace(1), second + 48) << "17 bytes take two quanta";
  // The committed bitmap is untouched: the working one is a copy.
  EXPECT_TRUE(db->isMarked(first));
  EXPECT_FALSE(db->isMarked(first, true));
  EXPECT_NE(db->handle(3), db->committedHandle(3));
}

TEST_F(AllocatorTest, PageSizedRequestsArePageAligned) {
  open(65536);
  expectClean = false;
  offs_t small = db->allocateSpace(1);  // page requests must not follow it directly
  offs_t page = db->allocateSpace(4096);
  EXPECT_EQ(page % 4096, 0u);
  EXPECT_GT(page, small);
  offs_t pair = db->allocateSpace(8192);
  EXPECT_EQ(pair % 4096, 0u);
  EXPECT_NE(pair, page);
  for (offs_t o = page; o < page + 4096; o += 16) ASSERT_TRUE(db->isMarked(o));
  // 4000 bytes are no multiple of a page: the second one follows the first directly.
  offs_t odd = db->allocateSpace(4000);
  EXPECT_EQ(db->allocateSpace(4000), odd + 4000);
}

// A two-quantum request that meets the byte 0x39 (bits 1, 2, 6 and 7 free) with no
// free run before it lands at bit 1 of that byte.
TEST_F(AllocatorTest, TwoQuantaFitTheLowestRunOfTheByte0x39) {
  open(65536);
  offs_t first = db->allocateSpace(16);  // the cursor is now on this object's byte
  uint32_t quantum = first / 16 - 32768;  // bitmap page 1 (oid 3)
  uint8_t* bits = reinterpret_cast<uint8_t*>(db->getObjectForUpdate(3));
  uint32_t byte = quantum / 8;
  const uint8_t saved[2] = {bits[byte], bits[byte + 1]};
  bits[byte] = 0xFF;
  bits[byte + 1] = 0x39;
  offs_t placed = db->allocateSpace(32);
  EXPECT_EQ(placed, (32768 + 8 * (byte + 1) + 1) * 16u);
  EXPECT_EQ(bits[byte + 1], 0x3F);
  bits[byte] = saved[0];  // hand the tampered quanta back: nothing owns them
  bits[byte + 1] = saved[1];
  db->freeSpace(first, 16);
}

TEST_F(AllocatorTest, FreeingFreshSpaceAtOnceAndCommittedSpaceAtCommit) {
  open(65536);
  oid_t kept = db->allocateRecord(100);
  offs_t keptAt = db->handle(kept);
  db->commit();

  ASSERT_TRUE(db->beginWrite());
  oid_t fresh = db->allocateRecord(100);
  offs_t freshAt = db->handle(fresh);
  db->freeObject(fresh);
  EXPECT_FALSE(db->isMarked(freshAt)) << "made in this transaction: free at once";
  oid_t again = db->allocateRecord(100);
  EXPECT_EQ(db->handle(again), freshAt) << "the same place is found again";
  EXPECT_EQ(again, fresh) << "and the released oid is reused";

  db->freeObject(kept);
  EXPECT_TRUE(db->isMarked(keptAt)) << "shared with the committed state: kept until commit";
  EXPECT_TRUE(db->handle(kept) & dbFreeHandleMarker);
  db->commit();
  ASSERT_TRUE(db->beginWrite());
  EXPECT_FALSE(db->isMarked(keptAt));
  EXPECT_FALSE(db->isMarked(keptAt, true));
}

TEST_F(AllocatorTest, ReleasedOidsAreReusedLastFreedFirst) {
  open(65536);
  expectClean = false;
  oid_t a = db->allocateObjectId(3);
  EXPECT_EQ(a, dbFirstUserObjectId);
  EXPECT_EQ(db->allocateObjectId(1), a + 3);
  db->freeObjectId(a, 2);  // a, then a+1 on top
  EXPECT_EQ(db->workingRoot().freeIdHead, a + 1);
  EXPECT_EQ(db->allocateObjectId(1), a + 1);
  EXPECT_EQ(db->allocateObjectId(1), a);
  EXPECT_EQ(db->allocateObjectId(1), a + 4) << "chain empty: a new oid";
  EXPECT_EQ(db->allocateObjectId(2), a + 5) << "several oids are always new";
}

// 9216 handles in use: the next oid doubles the capacity and moves the working
// index to a new page-aligned area; after commit both roots have the new size and
// the old committed index area is free.
TEST_F(AllocatorTest, IndexDoublesWhenFull) {
  open(0);
  ASSERT_EQ(db->workingRoot().indexCapacity, 9216u);
  offs_t oldCommittedIndex = db->committedRoot().indexOffset;
  oid_t last = 0;
  while (db->getWorkingIdCount() < 9216) last = db->allocateRecord(20);
  EXPECT_EQ(db->workingRoot().indexCapacity, 9216u);
  oid_t next = db->allocateRecord(20);
  EXPECT_EQ(next, 9216u);
  EXPECT_EQ(db->workingRoot().indexCapacity, 18432u);
  EXPECT_EQ(db->workingRoot().indexOffset % 4096, 0u);
  EXPECT_EQ(db->handle(last) & 15, 0u);
  db->commit();
  ASSERT_TRUE(db->beginWrite());
  EXPECT_EQ(db->fileHeader()->root[0].indexCapacity, 18432u);
  EXPECT_EQ(db->fileHeader()->root[1].indexCapacity, 18432u);
  EXPECT_FALSE(db->isMarked(oldCommittedIndex));
  EXPECT_NE(db->getRecord(next), nullptr);
}

// No bitmap page has room: new bitmap pages appear right after the part of the
// object that lies in the first new segment, and the file grows to twice its size.
TEST_F(AllocatorTest, ExtensionAddsBitmapPagesAfterTheObject) {
  struct Case {
    uint32_t size;
    uint32_t newPages;  // ceil(max(4 MiB, size) / 520192)
  } cases[] = {{600000, 9}, {(6 << 20) + 16, 13}};
  expectClean = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    open(0);
    ASSERT_EQ(db->handle(3), dbFreeHandleMarker) << "one bitmap page only";
    uint32_t run = db->freeQuantaAtEnd();
    uint32_t q = c.size / 16;
    ASSERT_LT(run, q);
    offs_t at = db->allocateSpace(c.size);
    EXPECT_EQ(at, 524288 - 16 * run) << "starts in the free run at the end of the last page";
    uint32_t pagesAt = 524288 + 16 * ((q - run + 255) / 256 * 256);
    for (uint32_t k = 0; k < c.newPages; k++) EXPECT_EQ(db->handle(3 + k), pagesAt + 4096 * k + 1) << k;
    EXPECT_EQ(db->handle(3 + c.newPages), dbFreeHandleMarker);
    uint32_t pagesEnd = pagesAt + 4096 * c.newPages;
    if (pagesEnd <= 1048576) {
      EXPECT_EQ(db->fileSize(), 1048576u) << "the new pages fit: the file keeps its size";
    } else {
      EXPECT_GE(db->fileSize(), std::max<uint32_t>(2 << 20, pagesEnd)) << "at least doubled";
    }
    for (offs_t o = at; o < at + c.size; o += 4096) ASSERT_TRUE(db->isMarked(o)) << o;
    EXPECT_TRUE(db->isMarked(pagesAt));
    db->commit();
    db->close();
    db.reset();
    dbCheckReport report = dbCheckFile(dir.file("a.kld").c_str());
    ASSERT_EQ(report.errors.size(), 1u) << "only the raw area, which has no owner";
    EXPECT_EQ(report.unownedBytes, uint64_t(c.size + 15) / 16 * 16) << "the raw area has no owner";
    std::remove(dir.file("a.kld").c_str());
  }
}

TEST_F(AllocatorTest, CopyOnWriteKeepsTheCommittedObject) {
  open(65536);
  oid_t oid = db->allocateRecord(64);
  memset(reinterpret_cast<char*>(db->getRecord(oid)) + 12, 'a', 52);
  db->commit();
  ASSERT_TRUE(db->beginWrite());
  offs_t committedAt = db->handle(oid);
  EXPECT_TRUE(db->isSharedWithCommitted(oid));
  char* copy = reinterpret_cast<char*>(db->getRecordForUpdate(oid));
  EXPECT_FALSE(db->isSharedWithCommitted(oid));
  EXPECT_NE(db->handle(oid), committedAt);
  EXPECT_EQ(copy[12], 'a') << "the copy has the contents";
  copy[12] = 'b';
  EXPECT_EQ(db->baseAddress()[committedAt + 12], 'a') << "the committed object is untouched";
  EXPECT_EQ(reinterpret_cast<char*>(db->getRecordForUpdate(oid)), copy) << "copied once per transaction";

  dbRecord* bigger = db->resizeRecord(oid, 200);
  EXPECT_EQ(bigger->size, 200u);
  dbRecord* same = db->resizeRecord(oid, 200);
  EXPECT_EQ(same, bigger) << "an equal size stays in place";
}

}  // namespace
