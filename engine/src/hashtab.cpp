// The persistent hash index: see hashtab.h for the layout and the growth rule.
//
// Any allocation may extend the file and move the mapping, so no address into the
// mapping is kept across a call that allocates (allocateObjectId, allocateSpace,
// getObjectForUpdate of a committed object, freeObject); objects are named by oid
// and their addresses fetched again afterwards.
#include "hashtab.h"

#include <cstring>
#include <vector>

#include "database.h"
#include "index.h"

bool dbHashTable::growthEnabled = true;

namespace {

const dbHashHeader& headerOf(const char* object) { return *reinterpret_cast<const dbHashHeader*>(object); }

// The key of a string field: its characters without the NUL. A pair of count 0
// (a string field added by a schema change to records that had none) is empty.
struct StoredString {
  const char* text;
  uint32_t length;
};

bool storedString(const char* record, uint32_t recordSize, int offs, StoredString& out) {
  if (offs < 0 || uint64_t(offs) + sizeof(dbVarying) > recordSize) return false;
  dbVarying v;
  memcpy(&v, record + offs, sizeof v);
  if (v.count == 0) {
    out = {record, 0};
    return true;
  }
  if (uint64_t(v.offset) + v.count > recordSize) return false;
  out = {record + v.offset, v.count - 1};
  return true;
}

}  // namespace

bool dbHashTable::recordKeyHash(const char* record, uint32_t recordSize, int type, int sizeofType, int offs,
                                uint32_t& hash) {
  if (type == dbField::tpString) {
    StoredString s;
    if (!storedString(record, recordSize, offs, s)) return false;
    hash = hashCode(s.text, s.length);
    return true;
  }
  if (offs < 0 || sizeofType < 0 || uint64_t(offs) + uint64_t(sizeofType) > recordSize) return false;
  hash = hashCode(record + offs, size_t(sizeofType));
  return true;
}

namespace {

uint32_t keyHashOf(const dbRecord* record, int type, int sizeofType, int offs) {
  uint32_t hash = 0;
  bool inside = dbHashTable::recordKeyHash(reinterpret_cast<const char*>(record), record->size, type,
                                           sizeofType, offs, hash);
  dbAssert(inside);
  return hash;
}

}  // namespace

// Consecutive oids for the (size + 1) / 1024 pages, bound to one zeroed page-aligned
// area. The oids are fresh, so the pages are private to the transaction.
oid_t dbHashTable::allocatePages(dbDatabase* db, uint32_t size) {
  const uint32_t nPages = (size + 1) / slotsPerPage;
  const oid_t first = db->allocateObjectId(nPages);
  const uint64_t bytes = uint64_t(size + 1) * sizeof(oid_t);
  dbAssert(bytes < 0xFFFFFFFF);
  const offs_t pos = db->allocateSpace(uint32_t(bytes), 0);
  dbAssert((pos & (dbPageSize - 1)) == 0);
  memset(db->baseAddress() + pos, 0, bytes);
  for (uint32_t i = 0; i < nPages; i++) db->setHandle(first + i, pos + i * dbPageSize + dbPageMarker);
  return first;
}

oid_t dbHashTable::allocateItem(dbDatabase* db) {
  const oid_t oid = db->allocateObjectId(1);
  const offs_t pos = db->allocateSpace(sizeof(dbHashItem), 0);
  db->setHandle(oid, pos + dbHashItemMarker);
  return oid;
}

oid_t dbHashTable::allocate(dbDatabase* db, uint32_t expectedRows) {
  const uint32_t size = sizeFor(expectedRows);
  const oid_t hashId = db->allocateObjectId(1);
  db->setHandle(hashId, db->allocateSpace(sizeof(dbHashHeader), 0) + dbHashMarker);
  const oid_t page = allocatePages(db, size);
  auto* header = reinterpret_cast<dbHashHeader*>(db->getObject(hashId));
  header->size = size;
  header->used = 0;
  header->page = page;
  return hashId;
}

void dbHashTable::insert(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs,
                         int32_t nRows) {
  const uint32_t hash = keyHashOf(db->getRecord(recordId), type, sizeofType, offs);
  if (growthEnabled && nRows > 0) {
    while (uint64_t(nRows) > uint64_t(loadLimit) * (uint64_t(headerOf(db->getObject(hashId)).size) + 1) &&
           headerOf(db->getObject(hashId)).size < 0x3FFFFFFF) {
      grow(db, hashId);
    }
  }
  const dbHashHeader header = headerOf(db->getObject(hashId));
  const uint32_t bucket = hash % header.size;
  const oid_t pageId = header.page + bucket / slotsPerPage;
  const oid_t itemId = allocateItem(db);
  oid_t* slot = reinterpret_cast<oid_t*>(db->getObjectForUpdate(pageId)) + bucket % slotsPerPage;
  const oid_t head = *slot;
  *slot = itemId;
  auto* item = reinterpret_cast<dbHashItem*>(db->getObject(itemId));
  item->next = head;
  item->record = recordId;
  item->hash = hash;
  if (head == 0) reinterpret_cast<dbHashHeader*>(db->getObjectForUpdate(hashId))->used += 1;
}

void dbHashTable::remove(dbDatabase* db, oid_t hashId, oid_t recordId, int type, int sizeofType, int offs) {
  const uint32_t hash = keyHashOf(db->getRecord(recordId), type, sizeofType, offs);
  const dbHashHeader header = headerOf(db->getObject(hashId));
  const uint32_t bucket = hash % header.size;
  const oid_t pageId = header.page + bucket / slotsPerPage;
  oid_t previous = 0;
  oid_t itemId = reinterpret_cast<const oid_t*>(db->getObject(pageId))[bucket % slotsPerPage];
  while (itemId != 0) {
    const auto& item = *reinterpret_cast<const dbHashItem*>(db->getObject(itemId));
    if (item.record == recordId) break;
    previous = itemId;
    itemId = item.next;
  }
  dbAssert(itemId != 0);
  const oid_t next = reinterpret_cast<const dbHashItem*>(db->getObject(itemId))->next;
  if (previous != 0) {
    reinterpret_cast<dbHashItem*>(db->getObjectForUpdate(previous))->next = next;
  } else {
    reinterpret_cast<oid_t*>(db->getObjectForUpdate(pageId))[bucket % slotsPerPage] = next;
    if (next == 0) reinterpret_cast<dbHashHeader*>(db->getObjectForUpdate(hashId))->used -= 1;
  }
  db->freeObject(itemId);
}

namespace {

// Whether the `size` bytes at `a` and `b` are equal; the usual key sizes compare
// without a call.
bool equalBytes(const char* a, const char* b, size_t size) {
  switch (size) {
    case 1: return a[0] == b[0];
    case 2: return memcmp(a, b, 2) == 0;
    case 4: return memcmp(a, b, 4) == 0;
    case 8: return memcmp(a, b, 8) == 0;
    default: return memcmp(a, b, size) == 0;
  }
}

}  // namespace

// The chain is walked first, collecting the records whose hash matches (in chain
// order, a batch at a time), and each batch's handles and then records are asked
// of memory before any of them is compared: the cache misses of the records of one
// chain overlap instead of following each other. Keys of different values share a
// hash code often enough (h * 31 + c over few bytes) that a chain usually holds
// several records to compare.
void dbHashTable::find(dbDatabase* db, oid_t hashId, dbSearchContext& sc) {
  const dbHashHeader header = headerOf(db->getObject(hashId));
  if (header.size == 0) return;
  const bool isString = sc.type == dbField::tpString;
  const size_t keyLength = isString ? strlen(sc.firstKey) : size_t(sc.sizeofType);
  const uint32_t hash = hashCode(sc.firstKey, keyLength);
  const uint32_t bucket = hash % header.size;
  auto compare = sc.comparator != nullptr ? sc.comparator : dbFieldDescriptor::defaultComparator;
  const bool bytewise = compare == dbFieldDescriptor::defaultComparator;
  const uint32_t* handles = db->currIndex;
  constexpr int batchSize = 16;
  oid_t batch[batchSize];
  int n = 0;
  auto testBatch = [&]() {  // false when the search must stop
    for (int i = 0; i < n; i++) __builtin_prefetch(db->baseAddress() + (handles[batch[i]] & ~(dbAllocationQuantum - 1)));
    for (int i = 0; i < n; i++) {
      const dbRecord* record = db->getRecord(batch[i]);
      const char* bytes = reinterpret_cast<const char*>(record);
      bool match;
      if (isString) {
        StoredString s;
        match = storedString(bytes, record->size, sc.offs, s) && s.length == keyLength &&
                memcmp(s.text, sc.firstKey, keyLength) == 0;
      } else if (bytewise) {
        match = equalBytes(bytes + sc.offs, sc.firstKey, keyLength);
      } else {
        match = compare(bytes + sc.offs, sc.firstKey, keyLength) == 0;
      }
      if (match && !sc.add(batch[i])) return false;
    }
    n = 0;
    return true;
  };
  oid_t itemId = reinterpret_cast<const oid_t*>(db->getObject(header.page + bucket / slotsPerPage))[bucket % slotsPerPage];
  while (itemId != 0) {
    const dbHashItem item = *reinterpret_cast<const dbHashItem*>(db->getObject(itemId));
    itemId = item.next;
    if (item.hash != hash) continue;
    __builtin_prefetch(&handles[item.record]);
    batch[n++] = item.record;
    if (n == batchSize && !testBatch()) return;
  }
  testBatch();
}

// Rebuilds the table at twice the slot count. Each old chain is moved oldest item
// first onto the heads of the new buckets, so items that meet again in one bucket
// (equal keys always do) keep their newest-first order.
void dbHashTable::grow(dbDatabase* db, oid_t hashId) {
  const dbHashHeader old = headerOf(db->getObject(hashId));
  const uint32_t newSize = 2 * old.size + 1;
  const oid_t newPage = allocatePages(db, newSize);
  uint32_t used = 0;
  std::vector<oid_t> chain;
  for (uint32_t b = 0; b < old.size; b++) {
    chain.clear();
    for (oid_t id = reinterpret_cast<const oid_t*>(db->getObject(old.page + b / slotsPerPage))[b % slotsPerPage];
         id != 0; id = reinterpret_cast<const dbHashItem*>(db->getObject(id))->next) {
      chain.push_back(id);
    }
    for (size_t i = chain.size(); i-- > 0;) {
      auto* item = reinterpret_cast<dbHashItem*>(db->getObjectForUpdate(chain[i]));
      const uint32_t target = item->hash % newSize;
      // The new pages are fresh objects: getObject gives their only copy.
      oid_t* slot = reinterpret_cast<oid_t*>(db->getObject(newPage + target / slotsPerPage)) + target % slotsPerPage;
      if (*slot == 0) used += 1;
      item->next = *slot;
      *slot = chain[i];
    }
  }
  for (uint32_t i = 0; i < (old.size + 1) / slotsPerPage; i++) db->freeObject(old.page + i);
  auto* header = reinterpret_cast<dbHashHeader*>(db->getObjectForUpdate(hashId));
  header->size = newSize;
  header->used = used;
  header->page = newPage;
}

void dbHashTable::drop(dbDatabase* db, oid_t hashId) {
  const dbHashHeader header = headerOf(db->getObject(hashId));
  for (uint32_t b = 0; b < header.size; b++) {
    oid_t id = reinterpret_cast<const oid_t*>(db->getObject(header.page + b / slotsPerPage))[b % slotsPerPage];
    while (id != 0) {
      const oid_t next = reinterpret_cast<const dbHashItem*>(db->getObject(id))->next;
      db->freeObject(id);
      id = next;
    }
  }
  for (uint32_t i = 0; i < (header.size + 1) / slotsPerPage; i++) db->freeObject(header.page + i);
  db->freeObject(hashId);
}
