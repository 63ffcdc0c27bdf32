// Cursors and selections: positioning, fetch, update and remove through a cursor,
// duplicate elimination and the sort of a selection.
#include "cursor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------
// dbSelection

dbSelection::~dbSelection() {
  reset();
  free(spare);
}

void dbSelection::add(oid_t oid) {
  if (tail == nullptr || tail->used == segmentSize) {
    segment* s = spare;
    spare = nullptr;
    if (s == nullptr) s = static_cast<segment*>(malloc(sizeof(segment)));
    if (s == nullptr) abort();
    s->prev = tail;
    s->next = nullptr;
    s->used = 0;
    if (tail != nullptr) tail->next = s;
    else head = s;
    tail = s;
  }
  tail->ids[tail->used++] = oid;
  count += 1;
}

void dbSelection::reset() {
  while (segment* s = head) {
    head = s->next;
    if (spare == nullptr) spare = s;
    else free(s);
  }
  head = tail = current = nullptr;
  count = position = 0;
}

void dbSelection::reverse() {
  for (segment* s = head; s != nullptr; s = s->prev) {
    std::reverse(s->ids, s->ids + s->used);
    std::swap(s->prev, s->next);
  }
  std::swap(head, tail);
}

void dbSelection::append(dbSelection& other) {
  if (other.head == nullptr) return;
  if (tail != nullptr) tail->next = other.head;
  else head = other.head;
  other.head->prev = tail;
  tail = other.tail;
  count += other.count;
  other.head = other.tail = other.current = nullptr;
  other.count = other.position = 0;
}

// ---------------------------------------------------------------------------
// Construction and positioning

dbAnyCursor::dbAnyCursor(dbTableDescriptor& descriptor, dbCursorType cursorType, void* record, dbDatabase* database)
    : db(database != nullptr ? database : descriptor.db),
      table(&descriptor),
      type(cursorType),
      defaultType(cursorType),
      appRecord(record) {}

dbAnyCursor::~dbAnyCursor() {
  unlink();
  free(seenMap);
}

void dbAnyCursor::resetCursor() {
  if (db == nullptr || db == dbTableDescriptor::DETACHED_TABLE) {
    db = table->db;
    if (!(table->tableId != 0)) {
      dbAssertionFailed("cursor associated with online database table", __FILE__, __LINE__);
    }
  }
  if (table->db != db) {
    // A descriptor of another database (or a template for clones): use this
    // database's descriptor of the same table.
    dbTableDescriptor* own = db->findTable(table);
    if (own == nullptr) own = db->findTableByName(table->name);
    if (own == nullptr) dbAssertionFailed("cursor associated with online database table", __FILE__, __LINE__);
    table = own;
  }
  unlink();
  selection.reset();
  dedupActive = false;
  wholeTable = false;
  currId = 0;
  followingRemoved = 0;
  selfUpdating = false;
}

void dbAnyCursor::linkToTransaction() {
  dbDatabaseThreadContext* ctx = db->threadContext.get();
  dbAssert(ctx != NULL);
  unlink();
  ctx->cursors.link(this);
}

uint32_t dbAnyCursor::select(dbQuery& query, dbCursorType cursorType, const char* origin) {
  type = cursorType;
  resetCursor();
  paramOrigin = origin;
  db->select(this, query);
  paramOrigin = nullptr;
  positionCurrent();
  return selection.count;
}

uint32_t dbAnyCursor::select(const char* condition, dbCursorType cursorType, const char* origin) {
  dbQuery query(condition);
  return select(query, cursorType, origin);
}

uint32_t dbAnyCursor::select(dbCursorType cursorType) {
  type = cursorType;
  resetCursor();
  selectWholeTable();
  positionCurrent();
  return selection.count;
}

void dbAnyCursor::positionCurrent() {
  if (moveFirst() && autoFetch) fetchCurrent();
}

void dbAnyCursor::selectWholeTable() {
  db->lockDatabase(type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock);
  const dbTable* stored = db->getTableRecord(table->tableId);
  tableFirst = stored->firstRow;
  tableLast = stored->lastRow;
  selection.count = uint32_t(stored->nRows);
  wholeTable = true;
  linkToTransaction();
}

bool dbAnyCursor::moveFirst() {
  followingRemoved = 0;
  if (wholeTable) {
    currId = tableFirst;
  } else {
    selection.current = selection.head;
    selection.position = 0;
    currId = selection.head != nullptr && selection.head->used > 0 ? selection.head->ids[0] : 0;
  }
  return currId != 0;
}

bool dbAnyCursor::moveNext() {
  if (currId == 0) {
    // The current record was removed elsewhere: the selection (or the walk) is
    // already positioned on the record that followed it.
    currId = followingRemoved;
    followingRemoved = 0;
    return currId != 0;
  }
  if (wholeTable) {
    // The chain ends at tableLast even when a transaction linked more after it.
    if (currId == tableLast) return false;
    oid_t next = db->getRecord(currId)->nextId;
    if (next == 0) return false;
    currId = next;
    return true;
  }
  dbSelection::segment* s = selection.current;
  if (s == nullptr) return false;
  if (selection.position + 1 >= s->used) {
    if (s->next == nullptr) return false;
    selection.current = s->next;
    selection.position = 0;
  } else {
    selection.position += 1;
  }
  currId = selection.current->ids[selection.position];
  return true;
}

void dbAnyCursor::fetchCurrent() {
  dbAssert(!(db->currIndex[currId] & (dbInternalObjectMarker | dbFreeHandleMarker)));
  dbFieldDescriptor::fetchRecord(table->columns, appRecord, reinterpret_cast<const char*>(db->getRecord(currId)));
}

void dbAnyCursor::update() {
  dbAssert(type == dbCursorForUpdate && currId != 0);
  selfUpdating = true;
  db->updateRecord(currId, table, appRecord);
  selfUpdating = false;
}

void dbAnyCursor::remove() {
  oid_t removedId = currId;
  dbAssert(type == dbCursorForUpdate && removedId != 0);
  if (wholeTable) {
    const dbRecord* record = db->getRecord(removedId);
    oid_t successor = removedId == tableLast ? 0 : record->nextId;
    oid_t predecessor = record->prevId;
    if (successor == 0) {
      if (removedId == tableFirst) currId = tableFirst = tableLast = 0;
      else currId = tableLast = predecessor;
    } else {
      currId = successor;
      if (removedId == tableFirst) tableFirst = successor;
    }
  } else {
    unlinkCurrent();
    currId = selection.current != nullptr ? selection.current->ids[selection.position] : 0;
  }
  selfUpdating = true;
  db->removeRecord(table, removedId);
  selfUpdating = false;
  if (currId != 0 && autoFetch) fetchCurrent();
}

oid_t dbAnyCursor::unlinkCurrent() {
  dbSelection::segment* s = selection.current;
  if (s == nullptr) return 0;
  s->used -= 1;
  if (s->used == 0) {
    dbSelection::segment* following = s->next;
    if (s->prev != nullptr) s->prev->next = following;
    else selection.head = following;
    if (following != nullptr) following->prev = s->prev;
    else selection.tail = s->prev;
    if (following != nullptr) {
      selection.current = following;
      selection.position = 0;
    } else {
      selection.current = s->prev;
      selection.position = s->prev != nullptr ? s->prev->used - 1 : 0;
    }
    free(s);
    return following != nullptr ? following->ids[0] : 0;
  }
  memmove(s->ids + selection.position, s->ids + selection.position + 1, (s->used - selection.position) * sizeof(oid_t));
  if (selection.position < s->used) return s->ids[selection.position];
  // The last oid of its segment: the following one starts the next segment.
  if (s->next != nullptr) {
    selection.current = s->next;
    selection.position = 0;
    return s->next->ids[0];
  }
  selection.position -= 1;
  return 0;
}

void dbAnyCursor::recordRemoved(oid_t oid) {
  // The current record, or the one the next step would land on after a removal.
  const bool current = currId == oid || (currId == 0 && followingRemoved == oid && oid != 0);
  if (wholeTable) {
    if (!current && oid != tableFirst && oid != tableLast) return;
    // The walk's bounds stay on records of the table.
    const dbRecord* record = db->getRecord(oid);
    const oid_t following = oid == tableLast ? 0 : record->nextId;
    const oid_t preceding = oid == tableFirst ? 0 : record->prevId;
    if (current) followingRemoved = following;
    if (oid == tableFirst) tableFirst = following;
    if (oid == tableLast) tableLast = preceding;
  } else if (current) {
    followingRemoved = unlinkCurrent();
  }
  if (current) currId = 0;
}

void dbAnyCursor::selectById(oid_t oid) {
  dbAssert(oid != 0);
  resetCursor();
  db->lockDatabase(type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock);
  linkToTransaction();
  currId = oid;
  selection.add(oid);
  selection.current = selection.head;
  selection.position = 0;
  if (autoFetch) fetchCurrent();
}

// ---------------------------------------------------------------------------
// Search support

bool dbAnyCursor::addToSelection(oid_t oid) {
  if (selection.count >= maxRows) return false;
  if (dedupActive) {
    if (isSeen(oid)) return true;
    markSeen(oid);
  }
  selection.add(oid);
  return selection.count < maxRows;
}

void dbAnyCursor::enableDedup() {
  if (dedupActive || maxRows < 2) return;
  dedupActive = true;
  uint32_t words = (db->workingIdCount + 31) / 32;
  if (seenMapSize < words) {
    free(seenMap);
    seenMap = static_cast<uint32_t*>(malloc(size_t(words) * sizeof(uint32_t)));
    if (seenMap == nullptr) abort();
    seenMapSize = words;
  }
  memset(seenMap, 0, size_t(seenMapSize) * sizeof(uint32_t));
}

bool dbAnyCursor::isSeen(oid_t oid) const {
  return seenMap != nullptr && oid / 32 < seenMapSize && (seenMap[oid / 32] >> (oid % 32)) & 1;
}

void dbAnyCursor::markSeen(oid_t oid) {
  if (seenMap != nullptr && oid / 32 < seenMapSize) seenMap[oid / 32] |= 1u << (oid % 32);
}

namespace {

// Moves the string and array pointers of one level of an application structure (a
// record, an embedded structure or an array element) that satisfy `inOld` by
// `delta`. Elements of other arrays are owned copies, but their strings and arrays
// point into the mapping as well.
template <class InOld>
void moveMappedPointers(const dbFieldDescriptor* fields, char* app, const InOld& inOld, ptrdiff_t delta) {
  const dbFieldDescriptor* fd = fields;
  do {
    if (fd->isMethod()) return;
    char* at = app + fd->appOffs;
    if (fd->type == dbField::tpString) {
      auto* s = reinterpret_cast<const char**>(at);
      if (inOld(*s)) *s += delta;
    } else if (fd->type == dbField::tpStructure) {
      moveMappedPointers(fd->components, at, inOld, delta);
    } else if (fd->type == dbField::tpArray) {
      auto* array = reinterpret_cast<dbAnyArray*>(at);
      char* elements = const_cast<char*>(static_cast<const char*>(array->base()));
      const dbFieldDescriptor* element = fd->components;
      if (fd->attr & dbFieldDescriptor::OneToOneMapping) {
        if (inOld(elements)) fd->arrayAllocator(array, elements + delta, array->length());
      } else if (element->type == dbField::tpString || element->type == dbField::tpArray ||
                 (element->attr & dbFieldDescriptor::HasArrayComponents)) {
        for (size_t i = 0; i < array->length(); i++) {
          moveMappedPointers(element, elements + i * element->appSize, inOld, delta);
        }
      }
    }
  } while ((fd = fd->next) != fields);
}

}  // namespace

// Moves the pointers of the record buffer that point into the old mapping, so that
// a record fetched before the file grew stays readable.
void dbAnyCursor::mappingMoved(const char* oldBase, size_t oldSize, ptrdiff_t delta) {
  if (appRecord == nullptr || currId == 0) return;
  auto inOld = [&](const void* p) {
    const char* c = static_cast<const char*>(p);
    return c >= oldBase && c < oldBase + oldSize;
  };
  moveMappedPointers(table->columns, static_cast<char*>(appRecord), inOld, delta);
}

// ---------------------------------------------------------------------------
// Calls from the storage engine

void dbDatabase::resetCursors(dbDatabaseThreadContext* ctx) {
  while (!ctx->cursors.isEmpty()) static_cast<dbAnyCursor*>(ctx->cursors.next)->resetCursor();
}

void dbDatabase::notifyCursors(oid_t oid, bool removed) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr) return;
  for (dbL2List* l = ctx->cursors.next; l != &ctx->cursors; l = l->next) {
    auto* cursor = static_cast<dbAnyCursor*>(l);
    if (removed) cursor->recordRemoved(oid);
    else if (cursor->currId == oid && cursor->appRecord != nullptr && !cursor->selfUpdating) cursor->fetchCurrent();
  }
}

void dbDatabase::mappingMoved(const char* oldBase, size_t oldSize, ptrdiff_t delta) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr) return;
  for (dbL2List* l = ctx->cursors.next; l != &ctx->cursors; l = l->next) {
    static_cast<dbAnyCursor*>(l)->mappingMoved(oldBase, oldSize, delta);
  }
}

// ---------------------------------------------------------------------------
// Sorting a selection

namespace {

template <class T>
int compareValues(T a, T b) {
  return a < b ? -1 : a == b ? 0 : 1;
}

// Reals in the T-tree's total order: NaN after every number and equal to any NaN.
// (With NaN unordered, a NaN would be greater than everything in both directions,
// and the sort's sentinel would not hold.)
template <class T>
int compareReals(T a, T b) {
  const bool na = a != a, nb = b != b;  // NaN is the one value unequal to itself
  if (na || nb) return int(na) - int(nb);
  return a < b ? -1 : a == b ? 0 : 1;
}

int compareField(const dbFieldDescriptor* fd, const char* a, const char* b) {
  const char* x = a + fd->dbsOffs;
  const char* y = b + fd->dbsOffs;
  switch (fd->type) {
    case dbField::tpBool: return int(*reinterpret_cast<const uint8_t*>(x)) - int(*reinterpret_cast<const uint8_t*>(y));
    case dbField::tpInt1: return int(*reinterpret_cast<const int8_t*>(x)) - int(*reinterpret_cast<const int8_t*>(y));
    case dbField::tpInt2: return int(*reinterpret_cast<const int16_t*>(x)) - int(*reinterpret_cast<const int16_t*>(y));
    case dbField::tpInt4: return compareValues(*reinterpret_cast<const int32_t*>(x), *reinterpret_cast<const int32_t*>(y));
    case dbField::tpArray:
      return compareValues(int32_t(reinterpret_cast<const dbVarying*>(x)->count),
                           int32_t(reinterpret_cast<const dbVarying*>(y)->count));
    case dbField::tpInt8: return compareValues(*reinterpret_cast<const int64_t*>(x), *reinterpret_cast<const int64_t*>(y));
    case dbField::tpReal4:
      return compareReals(*reinterpret_cast<const float*>(x), *reinterpret_cast<const float*>(y));
    case dbField::tpReal8:
      return compareReals(*reinterpret_cast<const double*>(x), *reinterpret_cast<const double*>(y));
    case dbField::tpString:
      return strcmp(a + reinterpret_cast<const dbVarying*>(x)->offset, b + reinterpret_cast<const dbVarying*>(y)->offset);
    case dbField::tpReference:
      return compareValues(*reinterpret_cast<const oid_t*>(x), *reinterpret_cast<const oid_t*>(y));
    case dbField::tpRawBinary: return fd->comparator(x, y, fd->dbsSize);
    default: dbAssertionFailed("false", __FILE__, __LINE__);
  }
}

// The introspective sort of the selection: deterministic (a fixed pivot index for
// each length), so equal inputs always give equal orders.
class SelectionSorter {
 public:
  SelectionSorter(dbDatabase* database, dbOrderKey* orderKeys) : db(database), keys(orderKeys) {}

  void sort(oid_t* a, size_t n) {
    if (n <= 1 || nonDecreasing(a, n)) return;
    if (nonIncreasing(a, n)) {
      std::reverse(a, a + n);
      return;
    }
    size_t k = 2;
    for (size_t q = n / 4; q != 0; q >>= 1) k += 1;
    introSort(a, n, int(2 * k));
  }

 private:
  bool greater(oid_t a, oid_t b) { return dbAnyCursor::compareRecords(db, keys, a, b) > 0; }
  bool nonDecreasing(const oid_t* a, size_t n) {
    for (size_t i = 1; i < n; i++) {
      if (greater(a[i - 1], a[i])) return false;
    }
    return true;
  }
  bool nonIncreasing(const oid_t* a, size_t n) {
    for (size_t i = 1; i < n; i++) {
      if (greater(a[i], a[i - 1])) return false;
    }
    return true;
  }

  void introSort(oid_t* a, size_t n, int depth) {
    while (n > 50) {
      if (nonDecreasing(a, n)) return;
      if (depth == 0) {
        heapSort(a, n);
        return;
      }
      size_t p = partition(a, n);
      depth -= 1;
      introSort(a + p + 1, n - p - 1, depth);
      n = p;
    }
    insertionSort(a, n);
  }

  // Median of three with the pivot at the front; the pivot's final index.
  size_t partition(oid_t* a, size_t n) {
    // The first output of x := x * 69069 + 362437 from 123456789, restarted for
    // every partition: the pivot index is a fixed function of n.
    const uint32_t x = 123456789u * 69069u + 362437u;
    std::swap(a[0], a[x % (n - 1)]);
    if (greater(a[1], a[0])) std::swap(a[1], a[0]);
    if (greater(a[0], a[n - 1])) {
      std::swap(a[0], a[n - 1]);
      if (greater(a[1], a[0])) std::swap(a[1], a[0]);
    }
    const oid_t pivot = a[0];
    size_t i = 1, j = n - 1;
    while (true) {
      do i++; while (greater(pivot, a[i]));
      do j--; while (greater(a[j], pivot));
      if (i >= j) break;
      std::swap(a[i], a[j]);
    }
    std::swap(a[0], a[j]);
    return j;
  }

  void insertionSort(oid_t* a, size_t n) {
    if (n < 2) return;
    size_t smallest = 0;
    for (size_t i = 1; i < n; i++) {
      if (greater(a[smallest], a[i])) smallest = i;
    }
    std::swap(a[0], a[smallest]);  // a sentinel for the inner loop
    for (size_t i = 2; i < n; i++) {
      oid_t v = a[i];
      size_t j = i;
      while (greater(a[j - 1], v)) {
        a[j] = a[j - 1];
        j--;
      }
      a[j] = v;
    }
  }

  void heapSort(oid_t* a, size_t n) {
    auto sift = [&](size_t root, size_t end) {
      while (2 * root + 1 < end) {
        size_t child = 2 * root + 1;
        if (child + 1 < end && greater(a[child + 1], a[child])) child++;
        if (!greater(a[child], a[root])) return;
        std::swap(a[root], a[child]);
        root = child;
      }
    };
    for (size_t i = n / 2; i-- > 0;) sift(i, n);
    for (size_t end = n; end-- > 1;) {
      std::swap(a[0], a[end]);
      sift(0, end);
    }
  }

  dbDatabase* db;
  dbOrderKey* keys;
};

}  // namespace

int dbAnyCursor::compareRecords(dbDatabase* db, dbOrderKey* keys, oid_t a, oid_t b) {
  const char* x = reinterpret_cast<const char*>(db->getRecord(a));
  const char* y = reinterpret_cast<const char*>(db->getRecord(b));
  for (dbOrderKey* key = keys; key != nullptr; key = key->next) {
    int r = key->field != nullptr ? compareField(key->field, x, y)
                                  : db->compareExpressionKey(key->expression, a, b, key->table);
    if (!key->ascending) r = -r;
    if (r != 0) return r;
  }
  return 0;
}

void dbAnyCursor::sortSelection(dbDatabase* db, dbSelection& selection, dbOrderKey* keys) {
  if (selection.count < 2) return;
  std::vector<oid_t> ids;
  ids.reserve(selection.count);
  for (dbSelection::segment* s = selection.head; s != nullptr; s = s->next) ids.insert(ids.end(), s->ids, s->ids + s->used);
  SelectionSorter(db, keys).sort(ids.data(), ids.size());
  size_t i = 0;
  for (dbSelection::segment* s = selection.head; s != nullptr; s = s->next) {
    std::copy(ids.begin() + long(i), ids.begin() + long(i + s->used), s->ids);
    i += s->used;
  }
}
