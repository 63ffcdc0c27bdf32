// The database file format: constants and the structures that are read and written
// in place through the file mapping. All integers are little-endian; offsets are
// unsigned 32-bit, so a database file never exceeds 4 GiB.
//
// A new file, in order of offset:
//   0                 header page (dbHeader in its first 72 bytes, the rest zero)
//   4096              object index A   (indexCapacity x 4 bytes)
//   4096 + 4C         object index B   (same size)
//   4096 + 8C         the first bitmap pages
//   then              the Metatable's own descriptor record (oid 1)
// Everything later is placed by the allocator.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t oid_t;
typedef uint32_t offs_t;

constexpr uint32_t dbPageSize = 4096;
constexpr uint32_t dbAllocationQuantum = 16;
constexpr uint32_t dbIdsPerPage = 1024;                 // handles in one index page
constexpr uint32_t dbSegmentSize = 524288;              // file bytes one bitmap page describes
constexpr uint32_t dbBitmapPageCount = 8192;            // enough for 4 GiB
constexpr uint32_t dbBitmapSegmentPayload = 520192;     // 127 pages of other data per segment
constexpr oid_t dbNullId = 0;
constexpr oid_t dbMetatableId = 1;
constexpr oid_t dbFirstBitmapId = 2;                    // bitmap page k has oid 2 + k
constexpr oid_t dbFirstUserObjectId = dbFirstBitmapId + dbBitmapPageCount;  // 8194
constexpr uint32_t dbDefaultInitialFileSize = 1048576;
constexpr int dbVersionMajor = 2;
constexpr int dbVersionMinor = 86;

// Handles. Bit 31 set: the oid is free (on the free chain the low 31 bits name the
// next free oid, 0 ending the chain). Bit 31 clear: the handle with its low four bits
// cleared is the object's file offset and bits 0..2 are the object kind; bit 3 is 0.
constexpr uint32_t dbFreeHandleMarker = 0x80000000;
constexpr uint32_t dbInternalObjectMarker = 7;

enum dbObjectMarker : uint32_t {
  dbRecordMarker = 0,     // a table record; size in its header
  dbPageMarker = 1,       // 4096: bitmap page, hash bucket page
  dbTreeMarker = 2,       // 4: T-tree header
  dbTreeNodeMarker = 3,   // 512: T-tree node
  dbHashMarker = 4,       // 12: hash index header
  dbHashItemMarker = 5,   // 12: hash chain item
  dbArrayPageMarker = 6,  // 4096: counted as a page when released
};

// Size of an internal object (tags 1..6); records carry their size in their header.
constexpr uint32_t dbInternalObjectSize[8] = {0, 4096, 4, 512, 12, 12, 4096, 0};

// One of the two roots in the header. Root `activeRoot` describes the committed state;
// the other one the transaction in progress (its index is the working index).
// Invariant: the working root's indexOffset equals the committed root's
// twinIndexOffset unless the working index grew during the current transaction.
struct dbRoot {
  offs_t indexOffset;        // this root's object index
  offs_t twinIndexOffset;    // the index area paired with it
  uint32_t indexCapacity;    // handles the area at indexOffset holds
  uint32_t twinIndexCapacity;
  uint32_t usedIds;          // oids below usedIds have meaningful handles
  oid_t freeIdHead;          // first released oid, 0 = none
};
static_assert(sizeof(dbRoot) == 24);

// The header at offset 0. Written only by the thread holding the exclusive lock (and
// by open/close inside the process-shared critical section). `activeRoot` changes
// only between two flushes of the whole mapping, which makes commit atomic.
struct dbHeader {
  uint32_t size;         // file size as last set by the engine
  int32_t activeRoot;    // 0 or 1
  int32_t dirty;         // 1 from the first change after an open until a clean close
  int32_t initialized;   // 1 once creation has been completed and flushed
  dbRoot root[2];
  int32_t versionMajor;
  int32_t versionMinor;
};
static_assert(sizeof(dbHeader) == 72);
static_assert(offsetof(dbHeader, root) == 16);
static_assert(offsetof(dbHeader, versionMajor) == 64);

// Header of every record (tag 0). Records of one table form a doubly linked list in
// insertion order; the space taken is `size` rounded up to 16.
struct dbRecord {
  uint32_t size;   // bytes, header included
  oid_t nextId;    // next record of the same table, 0 for the last
  oid_t prevId;    // previous record, 0 for the first
};
static_assert(sizeof(dbRecord) == 12);

// A string or array inside a record: `count` bytes (NUL included) or elements at
// `offset`, relative to the innermost structure holding the pair.
struct dbVarying {
  uint32_t count;
  uint32_t offset;
};
static_assert(sizeof(dbVarying) == 8);

// Record of the Metatable describing one table; oid 1 describes the Metatable itself
// and is not in the nextId/prevId chain of the application tables' descriptors.
struct dbTable {
  uint32_t size;        // the record header, as in dbRecord
  oid_t nextId;
  oid_t prevId;
  dbVarying name;
  dbVarying fields;     // array of dbField, one per stored field, depth first
  int32_t fixedSize;    // fixed part of the table's records, header included
  int32_t nRows;
  int32_t nColumns;
  oid_t firstRow;
  oid_t lastRow;
};
static_assert(sizeof(dbTable) == 48);
static_assert(offsetof(dbTable, name) == 12 && offsetof(dbTable, lastRow) == 44);

// Field entry of a table-descriptor record; string offsets are relative to the entry.
// Its scope holds the field type codes.
struct dbField {
  enum FieldTypes {
    tpBool = 0,
    tpInt1 = 1,
    tpInt2 = 2,
    tpInt4 = 3,
    tpInt8 = 4,
    tpReal4 = 5,
    tpReal8 = 6,
    tpString = 7,      // stored as a varying pair: bytes with the NUL, offset
    tpReference = 8,   // an oid, 4 bytes
    tpArray = 9,       // stored as a varying pair: elements, offset
    tpMethodBool = 10, // a method: 10 + the type code of its result, no storage
    tpMethodInt1, tpMethodInt2, tpMethodInt4, tpMethodInt8,
    tpMethodReal4, tpMethodReal8, tpMethodString, tpMethodReference = 18,
    tpStructure = 19,  // an embedded structure: its components in place
    tpRawBinary = 20,  // a fixed-size byte block
    tpUnknown = 22,    // old type of a field that did not exist before a schema change
  };

  dbVarying name;
  dbVarying tableName;  // referenced table, "" for non-references
  dbVarying inverse;    // inverse reference field, "" if none
  int32_t type;
  int32_t offset;       // within the fixed part, or within the containing element
  int32_t size;         // bytes in the fixed part (8 for a varying pair)
  oid_t hashTable;      // hash index, 0 if none
  oid_t tTree;          // T-tree index, 0 if none
};
static_assert(sizeof(dbField) == 44);

// The values a new file is made with, derived from the caller's initial sizes.
struct dbInitialLayout {
  uint32_t indexCapacity;   // handles per index, a multiple of 1024, at least 8194
  uint32_t fileSize;        // a multiple of dbSegmentSize
  uint32_t usedBytes;       // U: header page and both index areas
  uint32_t bitmapPages;     // n: bitmap pages that describe everything up to themselves
  uint32_t metatableOffset; // where the Metatable record lands

  static dbInitialLayout compute(uint32_t initialIndexSize, uint32_t initialFileSize);
};
