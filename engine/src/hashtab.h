// The persistent hash index of a key field.
//
// An index is a header object naming a bucket array that lives in consecutive page
// objects, and one item object per indexed record, chained from its bucket:
//
//   header (tag dbHashMarker)     {size, used, page}
//   bucket pages (dbPageMarker)   (size + 1) / 1024 pages, oids page, page + 1, ...;
//                                 bucket b is slot b % 1024 of page page + b / 1024,
//                                 holding the oid of the chain's first item or 0
//   item (dbHashItemMarker)       {next, record, hash}
//
// size is always 2^k - 1 and at least 16383. A new item becomes the head of its
// chain, so records with equal keys are found newest first. Every object is changed
// through copy on write, so the index commits and rolls back with its transaction.
//
// Growth: when an insert is told the table holds more than twice as many rows as
// there are slots (size + 1), the index is rebuilt at twice the slot count before
// the item is added. The average chain therefore stays below two items (about one
// right after a rebuild), and a rebuild costs one pass over the items for every
// doubling of the row count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format.h"

class dbDatabase;
struct dbSearchContext;

struct dbHashHeader {
  uint32_t size;  // buckets: 2^k - 1
  uint32_t used;  // non-empty buckets
  oid_t page;     // first bucket page
};
static_assert(sizeof(dbHashHeader) == 12);

struct dbHashItem {
  oid_t next;     // next item of the chain, 0 at its end
  oid_t record;   // the indexed record
  uint32_t hash;  // the key's full hash code
};
static_assert(sizeof(dbHashItem) == 12);

class dbHashTable {
 public:
  static constexpr uint32_t minSize = 16383;
  static constexpr uint32_t slotsPerPage = dbPageSize / sizeof(oid_t);
  // An insert grows the table when the row count exceeds loadLimit slots per bucket.
  static constexpr uint32_t loadLimit = 2;

  // Whether inserts grow tables; on by default. Measurements turn it off to compare.
  static bool growthEnabled;

  // h := h * 31 + c over the bytes, unsigned 32-bit.
  static uint32_t hashCode(const void* key, size_t length) {
    const auto* p = static_cast<const unsigned char*>(key);
    uint32_t h = 0;
    for (size_t i = 0; i < length; i++) h = h * 31 + p[i];
    return h;
  }
  // Bucket count of a new table expected to hold `expectedRows` records.
  static uint32_t sizeFor(uint32_t expectedRows) {
    uint32_t size = minSize;
    while (size <= expectedRows && size < 0x7FFFFFFF) size = 2 * size + 1;
    return size;
  }
  // Hash of the key field of a stored record: a string over its characters without
  // the NUL, any other field over its `sizeofType` stored bytes. False when the
  // field does not lie inside the `recordSize` bytes of the record.
  static bool recordKeyHash(const char* record, uint32_t recordSize, int type, int sizeofType, int offs,
                            uint32_t& hash);

  // REQUIRES for the changing operations: the exclusive lock.
  static oid_t allocate(dbDatabase* db, uint32_t expectedRows);
  // Adds the record under its current key value. `nRows` is the table's row count,
  // which decides growth; 0 never grows.
  static void insert(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs,
                     int32_t nRows);
  // Removes the record, found under its current key value; it must be there.
  static void remove(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs);
  // Passes every record whose key equals sc.firstKey to sc.add, newest first within
  // equal keys, until it returns false. REQUIRES: the shared or exclusive lock.
  static void find(dbDatabase* db, oid_t hashId, dbSearchContext& sc);
  // Releases every item, every bucket page and the header.
  static void drop(dbDatabase* db, oid_t hashId);

 private:
  static void grow(dbDatabase* db, oid_t hashId);
  static oid_t allocatePages(dbDatabase* db, uint32_t size);
  static oid_t allocateItem(dbDatabase* db);
};
