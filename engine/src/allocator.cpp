// Object allocation and the object index: shadow paging at the object level.
//
// An object of the committed state is never changed in place: the first write to it
// in a transaction copies it to a fresh place and points the working index at the
// copy. The allocation bitmap consists of ordinary page objects and is copied on
// write the same way, so the committed bitmap stays intact until commit.
//
// Invariants (REQUIRES for every changing operation: the calling thread holds the
// exclusive lock, so no other thread of any process changes the bitmap, the indexes
// or the allocator state meanwhile):
//   - an oid is shared with the committed state when oid < committedIdCount and both
//     indexes hold the same handle for it; such objects are only ever copied;
//   - every handle change marks the handle's index page in dirtyIndexPages;
//   - an area on reservedAreas has been chosen but its bits are not yet set; no
//     allocation returns an area overlapping it.
#include <algorithm>
#include <climits>
#include <cstring>

#include "database.h"

namespace {

// The four byte tables, for a bitmap byte m whose bit 0 is the lowest address.
struct ByteTables {
  uint8_t lowZeros[256];          // zero bits from bit 0 upwards
  uint8_t highZeros[256];         // zero bits from bit 7 downwards
  uint8_t longestRun[256];        // length of the longest run of zero bits
  uint8_t longestRunStart[256];   // lowest bit of the lowest-placed longest run

  constexpr ByteTables() : lowZeros(), highZeros(), longestRun(), longestRunStart() {
    for (int m = 0; m < 256; m++) {
      int low = 0;
      while (low < 8 && !(m & (1 << low))) low++;
      int high = 0;
      while (high < 8 && !(m & (0x80 >> high))) high++;
      int best = 0, bestStart = 0, run = 0;
      for (int b = 0; b < 8; b++) {
        run = (m & (1 << b)) ? 0 : run + 1;
        if (run > best) {
          best = run;
          bestStart = b - run + 1;
        }
      }
      lowZeros[m] = uint8_t(low);
      highZeros[m] = uint8_t(high);
      longestRun[m] = uint8_t(best);
      longestRunStart[m] = uint8_t(bestStart);
    }
  }
};
constexpr ByteTables kBytes;

constexpr uint32_t kQuantaPerPage = dbPageSize * 8;     // quanta one bitmap page describes
constexpr uint32_t kBitmapBytesPerFilePage = dbPageSize / dbAllocationQuantum / 8;  // 32
constexpr uint32_t kMaxFileSize = 0xFFF80000;           // the last whole segment below 4 GiB

uint32_t roundUp(uint32_t value, uint32_t multiple) { return (value + multiple - 1) / multiple * multiple; }

}  // namespace

void dbDatabase::markModified() {
  if (header->dirty == 0) {
    if (accessType == dbReadOnly) reportError(dbDatabaseReadOnly, "Attempt to modify readonly database");
    header->dirty = 1;
    flushOrDie();
  }
  modified = true;
}

void dbDatabase::setHandle(oid_t oid, uint32_t handle) {
  markIndexPageDirty(oid);
  currIndex[oid] = handle;
}

dbRecord* dbDatabase::getRecord(oid_t oid) const {
  dbAssert(!(currIndex[oid] & (dbFreeHandleMarker | dbInternalObjectMarker)));
  return reinterpret_cast<dbRecord*>(baseAddress() + currIndex[oid]);
}

uint32_t dbDatabase::objectSize(uint32_t handle) const {
  uint32_t tag = handle & dbInternalObjectMarker;
  if (tag != dbRecordMarker) return dbInternalObjectSize[tag];
  return reinterpret_cast<const dbRecord*>(baseAddress() + handle)->size;
}

bool dbDatabase::overlapsReservedArea(offs_t offset, uint32_t size) const {
  for (const Area& a : reservedAreas) {
    if (offset < a.offset + a.size && a.offset < offset + size) return true;
  }
  return false;
}

oid_t dbDatabase::firstMissingBitmapPage() const {
  oid_t i = dbFirstBitmapId;
  while (i < dbFirstUserObjectId && currIndex[i] != dbFreeHandleMarker) i++;
  return i;
}

// Sets the bits of `count` quanta from `firstQuantum`, page by page from the last
// page backwards, each bitmap page got for update first. Pages covered entirely
// get the hint 0.
void dbDatabase::setBitmapBits(uint64_t firstQuantum, uint64_t count) {
  uint64_t end = firstQuantum + count;
  while (end > firstQuantum) {
    oid_t page = oid_t(dbFirstBitmapId + (end - 1) / kQuantaPerPage);
    uint64_t pageStart = uint64_t(page - dbFirstBitmapId) * kQuantaPerPage;
    uint64_t from = std::max(firstQuantum, pageStart);
    uint8_t* bits = reinterpret_cast<uint8_t*>(getObjectForUpdate(page));
    for (uint64_t q = from; q < end; q++) {
      uint64_t bit = q - pageStart;
      bits[bit >> 3] |= uint8_t(1 << (bit & 7));
    }
    if (from == pageStart && end - pageStart == kQuantaPerPage) freeSpaceHints[page] = 0;
    end = from;
  }
}

// Copies the object `oid` to `to` and points its handle there, keeping its tag.
void dbDatabase::moveObject(oid_t oid, offs_t to) {
  uint32_t handle = currIndex[oid];
  uint32_t tag = handle & dbInternalObjectMarker;
  uint32_t size = objectSize(handle);
  memcpy(baseAddress() + to, baseAddress() + (handle - tag), size);
  setHandle(oid, to + tag);
}

// Takes the place found by a scan: reserves it, moves the cursor, grows the file if
// needed, moves the object there (oid != 0) and sets its bits.
offs_t dbDatabase::takeSpace(offs_t offset, uint32_t size, oid_t oid, const ScanPosition& cursorPos,
                             bool pageAligned) {
  reservedAreas.push_back({offset, size});
  AllocationCursor& cursor = pageAligned ? pageCursor : smallCursor;
  cursor = {cursorPos.page, cursorPos.offset};
  extendFile(uint64_t(offset) + size);
  // The object moves before its bits are set: when it is itself a bitmap page that
  // describes its new place, the bits then go into the copy, not into a second one.
  if (oid != 0) moveObject(oid, offset);
  setBitmapBits(offset / dbAllocationQuantum, size / dbAllocationQuantum);
  reservedAreas.pop_back();
  return offset;
}

// Scans one bitmap page from pos.offset for q free quanta (a run may continue from
// the previous page). On success takes the place and returns true.
bool dbDatabase::scanPage(ScanPosition& pos, uint32_t q, uint32_t size, bool pageAligned, oid_t oid,
                          offs_t& found) {
  const oid_t i = pos.page;
  const uint64_t pageQuantum = uint64_t(i - dbFirstBitmapId) * kQuantaPerPage;
  const uint32_t skipBytes = pageAligned ? q / 8 : (q + 7) / 8;
  const uint8_t* bits = reinterpret_cast<const uint8_t*>(getObject(i));
  uint32_t j = pos.offset;
  while (j < dbPageSize) {
    const uint8_t m = bits[j];
    if (pageAligned) {
      if (m != 0) {
        pos.run = 0;
        j = (j / kBitmapBytesPerFilePage + 1) * kBitmapBytesPerFilePage;
        continue;
      }
      pos.run += 8;
      j += 1;
      if (pos.run < q) continue;
      offs_t offset = offs_t((pageQuantum + 8 * j - q) * dbAllocationQuantum);
      if (overlapsReservedArea(offset, size)) {
        j = roundUp(j + skipBytes, kBitmapBytesPerFilePage);
        pos.run = 0;
        continue;
      }
      found = takeSpace(offset, size, oid, {i, j, 0}, true);
      return true;
    }
    if (pos.run + kBytes.lowZeros[m] >= q) {
      offs_t offset = offs_t((pageQuantum + 8 * j - pos.run) * dbAllocationQuantum);
      if (overlapsReservedArea(offset, size)) {
        j += skipBytes;
        pos.run = 0;
        continue;
      }
      found = takeSpace(offset, size, oid, {i, j, 0}, false);
      return true;
    }
    if (kBytes.longestRun[m] >= q) {
      offs_t offset = offs_t((pageQuantum + 8 * j + kBytes.longestRunStart[m]) * dbAllocationQuantum);
      if (overlapsReservedArea(offset, size)) {
        j += skipBytes;
        pos.run = 0;
        continue;
      }
      found = takeSpace(offset, size, oid, {i, j, 0}, false);
      return true;
    }
    pos.run = m == 0 ? pos.run + 8 : kBytes.highZeros[m];
    j += 1;
  }
  return false;
}

// Scans bitmap pages [pos.page, endPage). On failure pos names endPage with the run
// of free quanta at the end of the last page scanned.
bool dbDatabase::scanBitmap(ScanPosition& pos, oid_t endPage, uint32_t q, uint32_t size, bool pageAligned,
                            oid_t oid, offs_t& found) {
  for (; pos.page < endPage; pos.page++, pos.offset = 0) {
    const int32_t need = int32_t(std::min<uint32_t>(q - std::min(pos.run, q), kQuantaPerPage));
    if (freeSpaceHints[pos.page] <= need) {
      pos.run = 0;
      continue;
    }
    bool fromStart = pos.offset == 0;
    if (scanPage(pos, q, size, pageAligned, oid, found)) return true;
    if (fromStart && pos.run == 0 && need < freeSpaceHints[pos.page]) freeSpaceHints[pos.page] = need;
  }
  return false;
}

offs_t dbDatabase::allocateSpace(uint32_t size, oid_t oid) {
  markModified();
  size = roundUp(size, dbAllocationQuantum);
  const uint32_t q = size / dbAllocationQuantum;
  const bool pageAligned = size % dbPageSize == 0;
  const AllocationCursor start = pageAligned ? pageCursor : smallCursor;
  const oid_t endPage = firstMissingBitmapPage();

  ScanPosition pos{start.page, pageAligned ? roundUp(start.offset, kBitmapBytesPerFilePage) : start.offset, 0};
  offs_t found;
  bool ok = scanBitmap(pos, endPage, q, size, pageAligned, oid, found);
  uint32_t tailRun = pos.run;  // free quanta at the end of the last existing page
  if (!ok && start.page != dbFirstBitmapId) {
    // Wrap around: from the first page up to and including where this scan began.
    ScanPosition again{dbFirstBitmapId, 0, 0};
    ok = scanBitmap(again, std::min<oid_t>(start.page + 1, endPage), q, size, pageAligned, oid, found);
    if (!ok && again.page >= endPage) tailRun = again.run;
  }
  if (!ok) found = extendBitmap(q, size, tailRun, oid, pageAligned);
  return found;
}

// No existing bitmap page has room: add bitmap pages at the end, placed right after
// the part of the object that lies in the first new segment. The object starts in
// the free run (`run` quanta) at the end of the last existing page.
offs_t dbDatabase::extendBitmap(uint32_t q, uint32_t size, uint32_t run, oid_t oid, bool pageAligned) {
  const oid_t i = firstMissingBitmapPage();
  if (i == dbFirstUserObjectId) reportError(dbOutOfMemoryError, "", int(size));
  dbAssert(currIndex[i] == dbFreeHandleMarker);
  uint64_t extra = std::max<uint64_t>(extensionQuantum, size);
  uint32_t k = uint32_t((extra + dbBitmapSegmentPayload - 1) / dbBitmapSegmentPayload);
  if (i + k > dbFirstUserObjectId) {
    k = (size + dbBitmapSegmentPayload - 1) / dbBitmapSegmentPayload;
    if (i + k > dbFirstUserObjectId) reportError(dbOutOfMemoryError, "", int(size));
  }
  const uint32_t objectQuanta = q - run;  // q': the part in the new segments
  const uint32_t skip = roundUp(objectQuanta, dbPageSize / dbAllocationQuantum);
  const uint64_t pagesAt = uint64_t(i - dbFirstBitmapId) * dbSegmentSize + uint64_t(skip) * dbAllocationQuantum;
  if (pagesAt + uint64_t(dbPageSize) * k > kMaxFileSize) reportError(dbOutOfMemoryError, "", int(size));
  extendFile(pagesAt + uint64_t(dbPageSize) * k);

  uint8_t* pages = reinterpret_cast<uint8_t*>(baseAddress() + pagesAt);
  memset(pages, 0, size_t(dbPageSize) * k);
  auto setRun = [pages](uint64_t from, uint64_t count) {
    for (uint64_t b = from; b < from + count; b++) pages[b >> 3] |= uint8_t(1 << (b & 7));
  };
  setRun(0, objectQuanta);
  setRun(skip, uint64_t(dbPageSize / dbAllocationQuantum) * k);
  for (uint32_t j = 0; j < k; j++) {
    setHandle(i + j, offs_t(pagesAt + uint64_t(dbPageSize) * j) + dbPageMarker);
    freeSpaceHints[i + j] = INT32_MAX;
  }
  const oid_t cursorPage = i + objectQuanta / kQuantaPerPage;
  AllocationCursor& cursor = pageAligned ? pageCursor : smallCursor;
  cursor = {cursorPage, 0};
  for (oid_t p = i; p < cursorPage; p++) freeSpaceHints[p] = 0;

  const offs_t offset = offs_t((uint64_t(i - dbFirstBitmapId) * kQuantaPerPage - run) * dbAllocationQuantum);
  if (oid != 0) moveObject(oid, offset);
  if (run > 0) {
    reservedAreas.push_back({offset, size});
    setBitmapBits(offset / dbAllocationQuantum, run);
    reservedAreas.pop_back();
  }
  return offset;
}

void dbDatabase::freeSpace(offs_t offset, uint32_t size) {
  dbAssert(offset != 0 && (offset & (dbAllocationQuantum - 1)) == 0);
  const uint32_t quantum = offset / dbAllocationQuantum;
  uint32_t n = (size + dbAllocationQuantum - 1) / dbAllocationQuantum;
  oid_t page = dbFirstBitmapId + quantum / kQuantaPerPage;
  uint32_t bit = quantum % kQuantaPerPage;
  const uint32_t byte = bit / 8;
  AllocationCursor& cursor = (offset % dbPageSize == 0 && size >= dbPageSize) ? pageCursor : smallCursor;
  if (cursor.page == page && cursor.offset > byte) cursor.offset = byte;
  while (n > 0) {
    freeSpaceHints[page] = INT32_MAX;
    uint8_t* bits = reinterpret_cast<uint8_t*>(getObjectForUpdate(page));
    for (; n > 0 && bit < kQuantaPerPage; n--, bit++) bits[bit >> 3] &= uint8_t(~(1 << (bit & 7)));
    page += 1;
    bit = 0;
  }
}

void dbDatabase::prepareBitmapRange(offs_t offset, uint32_t size) {
  const uint64_t first = offset / dbAllocationQuantum;
  const uint64_t last = (uint64_t(offset) + size - 1) / dbAllocationQuantum;
  for (uint64_t page = first / kQuantaPerPage; page <= last / kQuantaPerPage; page++) {
    getObjectForUpdate(oid_t(dbFirstBitmapId + page));
  }
}

oid_t dbDatabase::allocateObjectId(uint32_t n) {
  markModified();
  dbRoot& working = header->root[1 - header->activeRoot];
  if (n == 1 && working.freeIdHead != 0) {
    oid_t oid = working.freeIdHead;
    working.freeIdHead = currIndex[oid] - dbFreeHandleMarker;
    markIndexPageDirty(oid);
    return oid;
  }
  if (uint64_t(workingIdCount) + n > working.indexCapacity) {
    uint64_t capacity = uint64_t(working.indexCapacity) * 2;
    while (capacity < uint64_t(working.indexCapacity) + n) capacity *= 2;
    if (capacity * 4 > kMaxFileSize) reportError(dbOutOfMemoryError, "", int(n));
    offs_t area = allocateSpace(uint32_t(capacity * 4), 0);
    dbRoot& root = header->root[1 - header->activeRoot];  // the mapping may have moved
    memcpy(baseAddress() + area, currIndex, size_t(workingIdCount) * 4);
    offs_t oldArea = root.indexOffset;
    uint32_t oldCapacity = root.indexCapacity;
    root.indexOffset = area;
    root.indexCapacity = uint32_t(capacity);
    currIndex = reinterpret_cast<uint32_t*>(baseAddress() + area);
    freeSpace(oldArea, oldCapacity * 4);
  }
  oid_t oid = workingIdCount;
  workingIdCount += n;
  header->root[1 - header->activeRoot].usedIds += n;
  return oid;
}

void dbDatabase::freeObjectId(oid_t oid, uint32_t n) {
  dbRoot& working = header->root[1 - header->activeRoot];
  for (oid_t id = oid; id < oid + n; id++) {
    setHandle(id, dbFreeHandleMarker + working.freeIdHead);
    working.freeIdHead = id;
  }
}

void dbDatabase::freeObject(oid_t oid) {
  uint32_t handle = currIndex[oid];
  uint32_t tag = handle & dbInternalObjectMarker;
  uint32_t size = objectSize(handle);
  if (isSharedWithCommitted(oid)) {
    prepareBitmapRange(handle - tag, size);  // the commit clears the bits
  } else {
    freeSpace(handle - tag, size);
  }
  freeObjectId(oid, 1);
}

char* dbDatabase::getObjectForUpdate(oid_t oid) {
  if (isSharedWithCommitted(oid)) {
    uint32_t handle = currIndex[oid];
    uint32_t size = objectSize(handle);
    markIndexPageDirty(oid);
    allocateSpace(size, oid);
    prepareBitmapRange(handle & ~(dbAllocationQuantum - 1), size);
  }
  return getObject(oid);
}

dbRecord* dbDatabase::getRecordForUpdate(oid_t oid) {
  if (isSharedWithCommitted(oid)) {
    uint32_t handle = currIndex[oid];
    uint32_t size = getRecord(oid)->size;
    markIndexPageDirty(oid);
    prepareBitmapRange(handle, size);
    allocateSpace(size, oid);
  }
  return getRecord(oid);
}

dbRecord* dbDatabase::resizeRecord(oid_t oid, uint32_t newSize) {
  const offs_t oldOffset = currIndex[oid];
  const dbRecord old = *getRecord(oid);
  if (isSharedWithCommitted(oid)) {
    markIndexPageDirty(oid);
    prepareBitmapRange(oldOffset, old.size);
    setHandle(oid, allocateSpace(newSize, 0));
  } else if (old.size != newSize) {
    setHandle(oid, allocateSpace(newSize, 0));
    prepareBitmapRange(oldOffset, old.size);
    freeSpace(oldOffset, old.size);
  }
  dbRecord* record = getRecord(oid);
  record->nextId = old.nextId;
  record->prevId = old.prevId;
  record->size = newSize;
  return record;
}

oid_t dbDatabase::allocateRecord(uint32_t size) {
  oid_t oid = allocateObjectId(1);
  offs_t offset = allocateSpace(size, 0);
  setHandle(oid, offset + dbRecordMarker);
  dbRecord* record = getRecord(oid);
  record->size = size;
  record->nextId = record->prevId = 0;
  return oid;
}

void dbDatabase::extendFile(uint64_t size) {
  if (size <= header->size) return;
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbAssert(ctx != NULL);
  if (ctx->mutatorLocked && !ctx->writeAccess) lockDatabase(dbCommitLock);
  if (size > kMaxFileSize) reportError(dbOutOfMemoryError, "", int(size));
  uint64_t newSize = std::min<uint64_t>(std::max<uint64_t>(size, uint64_t(header->size) * 2), kMaxFileSize);

  char* oldBase = baseAddress();
  const size_t oldSize = file.size();
  // The file grows before the header says so, so that no process ever maps a size
  // the file does not have.
  if (int rc = file.setSize(size_t(newSize))) reportError(dbFileError, "Failed to extend file", rc);
  ptrdiff_t delta = baseAddress() - oldBase;
  header = reinterpret_cast<dbHeader*>(baseAddress());
  currIndex = reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(currIndex) + delta);
  header->size = uint32_t(newSize);
  cs.enter();
  monitor->fileVersion += 1;
  mappedVersion = monitor->fileVersion;
  cs.leave();
  mappingName = sharedName + "." + std::to_string(mappedVersion);
  if (delta != 0) mappingMoved(oldBase, oldSize, delta);
}
