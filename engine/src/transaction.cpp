// Transactions: set-up, commit, rollback, crash recovery and remapping after another
// process grew the file.
//
// The file always holds one complete committed state, described by the root
// `activeRoot`. A transaction builds the next state in the other root's index (the
// working index), every changed object copied to a fresh place. Commit flushes
// everything, switches `activeRoot` with one header write, flushes again, and then
// brings the other index up to date for the next transaction. Rollback and recovery
// both rebuild the working index from the committed one.
#include <cstring>

#include "database.h"

namespace {
void testPoint(dbTestPoint point) {
  if (dbTestHook != nullptr) dbTestHook(point);
}
}  // namespace

bool dbDatabase::beginTransaction(dbDatabaseThreadContext* ctx) {
  if (!remapIfExtended()) {
    unlockDatabase(ctx);
    return false;
  }
  cs.enter();
  if (monitor->recoveryNeeded && ctx->writeAccess) {
    // A writer died and the process that removed its lock could not repair, or a
    // process died inside its commit or between an updater's commits: the working
    // index is rebuilt now that nobody else reads it.
    set(monitor->committedRoot, header->activeRoot);
    recoverAfterCrash();
    set(monitor->recoveryNeeded, 0);
  }
  const int c = monitor->committedRoot;
  // A concurrent reader reads the committed state; so does every reader while a dead
  // writer's transaction is still in the working index.
  const int current = (accessType == dbConcurrentRead || monitor->recoveryNeeded == dbReadCommittedState) ? c : 1 - c;
  currIndex = reinterpret_cast<uint32_t*>(baseAddress() + header->root[current].indexOffset);
  workingIdCount = header->root[current].usedIds;
  committedIdCount = header->root[c].usedIds;
  cs.leave();
  return true;
}

bool dbDatabase::remapIfExtended() {
  const uint32_t version = monitor->fileVersion;
  if (mappedVersion == version) return true;
  mappingName = sharedName + "." + std::to_string(version);
  if (mappedVersion != 0) {
    char* oldBase = baseAddress();
    const size_t oldSize = file.size();
    if (int rc = file.remap(header->size)) reportError(dbFileError, "Failed to reopen database file", rc);
    header = reinterpret_cast<dbHeader*>(baseAddress());
    if (baseAddress() != oldBase) mappingMoved(oldBase, oldSize, baseAddress() - oldBase);
  } else {
    // The first transaction of a process that joined an open database. The file
    // exists while others have it open; a missing one is an error, not a new file.
    bool readOnly = accessType == dbReadOnly || accessType == dbConcurrentRead;
    if (file.open(fileName.c_str(), readOnly, false) != 0 || file.map(size_t(file.fileLength())) != 0) {
      file.close();
      reportError(dbDatabaseOpenError, "Failed to open database file");
      return false;
    }
    header = reinterpret_cast<dbHeader*>(baseAddress());
  }
  mappedVersion = version;
  dbAssert(file.size() == header->size);
  return true;
}

int dbDatabase::flushOrDie() {
  // A commit that cannot reach the disk must not look like one that did.
  if (int rc = file.flush()) reportError(dbFileError, "Failed to flush database file", rc);
  return 0;
}

// ---------------------------------------------------------------------------
// commit

void dbDatabase::commit() {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr || ctx->commitDelayed) return;
  if (ctx->writeAccess && monitor->writerThreadId != ctx->threadId) {
    reportError(dbLockRevoked, "Lock is revoked by some other client");
  }
  cs.enter();
  bool hasChanges = modified && !monitor->commitRunning && (ctx->writeAccess || ctx->mutatorLocked);
  cs.leave();
  if (!hasChanges) {
    if (ctx->writeAccess || ctx->readAccess || ctx->mutatorLocked) unlockDatabase(ctx);
    return;
  }
  if (!ctx->writeAccess) lockDatabase(ctx->mutatorLocked ? dbCommitLock : dbExclusiveLock);
  // Inside open (loading the schema) the delayed-commit thread does not run yet, and
  // starting it forgets any commit handed over: such a commit is written now.
  if (commitDelay != 0 && delayedCommitThread.isRunning()) {
    dbCriticalSection guard(startTimerMutex);
    pendingCommit = ctx;
    ctx->commitDelayed = true;
    startTimerEvent.signal();
    return;
  }
  commitTransaction(ctx);
}

void dbDatabase::commitTransaction(dbDatabaseThreadContext* ctx) {
  const int c = header->activeRoot, w = 1 - c;
  const uint32_t committedCapacity = header->root[c].indexCapacity;

  // 1. A grown working index needs a twin of its size for the next transaction;
  // the committed index area is free from the new state on.
  if (header->root[w].indexCapacity > committedCapacity) {
    uint32_t capacity = header->root[w].indexCapacity;
    offs_t twin = allocateSpace(capacity * 4, 0);
    header->root[w].twinIndexOffset = twin;
    header->root[w].twinIndexCapacity = capacity;
    prepareBitmapRange(header->root[c].indexOffset, committedCapacity * 4);
    freeSpace(header->root[c].indexOffset, committedCapacity * 4);
  }

  // 2. Turn the exclusive lock into a shared one: readers may go on meanwhile.
  // Its process's entry says it commits, so that whoever finds the process dead
  // settles the commit instead of taking it for a reader.
  cs.enter();
  dbAssert(ctx->writeAccess);
  dbProcessEntry& me = ownEntry();
  set(monitor->commitRunning, 1);
  set(me.committing, 1);
  add(monitor->nWriters, -1);
  add(me.writers, -1);
  add(monitor->nReaders, 1);
  add(me.readers, 1);
  set(monitor->writerThreadId, 0);
  ctx->writeAccess = false;
  ctx->readAccess = true;
  if (accessType == dbConcurrentUpdate) set(monitor->committedRoot, w);
  admitWaitingReaders();
  cs.leave();

  freeReplacedObjects();
  testPoint(dbTestPoint::commitBeforeSwitch);
  // 4. Everything of the new state is on disk; the header still names the old root.
  const uint64_t flushStart = dbGetMicroseconds();
  flushOrDie();
  // 5. The switch: from this flush on, the new state is the committed one.
  cs.enter();
  header->activeRoot = w;
  cs.leave();
  flushOrDie();
  lastCommit.flushMicroseconds = uint32_t(dbGetMicroseconds() - flushStart);
  testPoint(dbTestPoint::commitAfterSwitch);

  prepareNextWorkingIndex(committedCapacity);
  cs.enter();
  modified = false;
  set(monitor->commitRunning, 0);
  set(me.committing, 0);
  if (accessType != dbConcurrentUpdate) set(monitor->committedRoot, w);
  cs.leave();
  unlockDatabase(ctx);
}

// Releases the committed objects that the transaction replaced or freed. Only index
// pages marked dirty can hold changed handles, except in the last, partial page.
void dbDatabase::freeReplacedObjects() {
  const uint32_t* committed = committedIndex();
  const uint32_t fullPages = committedIdCount / dbIdsPerPage;
  auto release = [&](oid_t oid) {
    uint32_t old = committed[oid];
    if (old == currIndex[oid] || (old & dbFreeHandleMarker)) return;
    uint32_t tag = old & dbInternalObjectMarker;
    freeSpace(old - tag, objectSize(old));
  };
  lastCommit = CommitStatistics{};
  for (uint32_t page = 0; page < fullPages; page++) {
    if (!isIndexPageDirty(page)) continue;
    lastCommit.comparedIndexPages += 1;
    for (oid_t oid = page * dbIdsPerPage; oid < (page + 1) * dbIdsPerPage; oid++) release(oid);
  }
  if (fullPages * dbIdsPerPage < committedIdCount) lastCommit.comparedIndexPages += 1;
  for (oid_t oid = fullPages * dbIdsPerPage; oid < committedIdCount; oid++) release(oid);
}

// After the switch: the old committed root becomes the working root of the next
// transaction, its index made equal to the new committed one.
void dbDatabase::prepareNextWorkingIndex(uint32_t oldCommittedCapacity) {
  const int now = header->activeRoot, next = 1 - now;
  dbRoot& committed = header->root[now];
  dbRoot& working = header->root[next];
  working.usedIds = workingIdCount;
  working.freeIdHead = committed.freeIdHead;
  const uint32_t* from = reinterpret_cast<const uint32_t*>(baseAddress() + committed.indexOffset);
  if (oldCommittedCapacity == committed.indexCapacity) {
    uint32_t* to = reinterpret_cast<uint32_t*>(baseAddress() + working.indexOffset);
    const uint32_t fullPages = committedIdCount / dbIdsPerPage;
    for (uint32_t page = 0; page < fullPages; page++) {
      if (!isIndexPageDirty(page)) continue;
      file.prepareForWrite(to + page * dbIdsPerPage, dbPageSize);
      memcpy(to + page * dbIdsPerPage, from + page * dbIdsPerPage, dbPageSize);
      monitor->dirtyIndexPages[page >> 3] &= uint8_t(~(1 << (page & 7)));
      lastCommit.copiedIndexPages += 1;
    }
    const oid_t tail = fullPages * dbIdsPerPage;
    memcpy(to + tail, from + tail, size_t(workingIdCount - tail) * sizeof(uint32_t));
    lastCommit.copiedIndexPages += (workingIdCount - tail + dbIdsPerPage - 1) / dbIdsPerPage;
    for (uint32_t page = fullPages; page <= workingIdCount / dbIdsPerPage; page++) {
      monitor->dirtyIndexPages[page >> 3] &= uint8_t(~(1 << (page & 7)));
    }
  } else {
    working.indexOffset = committed.twinIndexOffset;
    working.indexCapacity = committed.twinIndexCapacity;
    working.twinIndexOffset = committed.indexOffset;
    working.twinIndexCapacity = committed.indexCapacity;
    uint32_t* to = reinterpret_cast<uint32_t*>(baseAddress() + working.indexOffset);
    memcpy(to, from, size_t(workingIdCount) * sizeof(uint32_t));
    clearDirtyIndexPages(workingIdCount);
    lastCommit.copiedIndexPages += (workingIdCount + dbIdsPerPage - 1) / dbIdsPerPage;
  }
  currIndex = reinterpret_cast<uint32_t*>(baseAddress() + working.indexOffset);
}

void dbDatabase::clearDirtyIndexPages(uint32_t toOid) {
  memset(monitor->dirtyIndexPages, 0, toOid / dbIdsPerPage / 8 + 1);
}

// ---------------------------------------------------------------------------
// rollback

void dbDatabase::rollback() {
  dbDatabaseThreadContext* ctx = threadContext.get();
  if (ctx == nullptr) return;
  if (modified && (ctx->writeAccess || ctx->mutatorLocked)) {
    const int c = header->activeRoot, w = 1 - c;
    dbRoot& committed = header->root[c];
    dbRoot& working = header->root[w];
    smallCursor = pageCursor = {dbFirstBitmapId, 0};
    const uint32_t pages = (committedIdCount + dbIdsPerPage - 1) / dbIdsPerPage;
    const uint32_t* from = committedIndex();
    uint32_t* to = reinterpret_cast<uint32_t*>(baseAddress() + committed.twinIndexOffset);
    const bool indexMoved = working.indexOffset != committed.twinIndexOffset;
    for (uint32_t page = 0; page < pages; page++) {
      if (indexMoved || isIndexPageDirty(page)) {
        memcpy(to + page * dbIdsPerPage, from + page * dbIdsPerPage, dbPageSize);
      }
    }
    working.indexCapacity = committed.twinIndexCapacity;
    working.usedIds = committed.usedIds;
    working.freeIdHead = committed.freeIdHead;
    working.indexOffset = committed.twinIndexOffset;
    currIndex = to;
    clearDirtyIndexPages(workingIdCount);
    workingIdCount = committed.usedIds;
    modified = false;
    repairRowChains();
  }
  if (ctx->writeAccess || ctx->readAccess || ctx->mutatorLocked) unlockDatabase(ctx);
}

// Rebuilds the working root and index from the committed state after a crash.
void dbDatabase::recoverAfterCrash() {
  int c = header->activeRoot, w = 1 - c;
  dbRoot& committed = header->root[c];
  dbRoot& working = header->root[w];
  header->size = uint32_t(file.size());
  working.usedIds = committed.usedIds;
  working.freeIdHead = committed.freeIdHead;
  working.indexOffset = committed.twinIndexOffset;
  working.indexCapacity = committed.twinIndexCapacity;
  working.twinIndexOffset = committed.indexOffset;
  working.twinIndexCapacity = committed.indexCapacity;
  char* base = file.base();
  const auto* from = reinterpret_cast<const uint32_t*>(base + committed.indexOffset);
  currIndex = reinterpret_cast<uint32_t*>(base + working.indexOffset);
  for (oid_t oid = 0; oid < committed.usedIds; oid++) {
    if (currIndex[oid] != from[oid]) currIndex[oid] = from[oid];
  }
  workingIdCount = committedIdCount = committed.usedIds;
  smallCursor = pageCursor = {dbFirstBitmapId, 0};
  modified = false;
  // A writer that died left its dirty marks; the indexes are equal again.
  memset(monitor->dirtyIndexPages, 0, sizeof monitor->dirtyIndexPages);
  repairRowChains();
}

// The record with this oid in the working index, or null when the handle does not
// name a record inside the file (a damaged file must not lead reads astray).
dbRecord* dbDatabase::recordOrNull(oid_t oid, size_t minSize) const {
  if (oid == 0 || oid >= committedIdLimit()) return nullptr;
  uint32_t handle = currIndex[oid];
  if (handle & (dbFreeHandleMarker | dbInternalObjectMarker)) return nullptr;
  if (uint64_t(handle) + minSize > file.size()) return nullptr;
  return reinterpret_cast<dbRecord*>(file.base() + handle);
}

// Inserting writes the previous last record's nextId in place; after a rollback or a
// crash it may name a record that no longer exists. Cut every table's chain at its
// last record.
void dbDatabase::repairRowChains() {
  uint32_t limit = committedIdLimit();
  auto cutChain = [this](oid_t tableId) {
    auto* table = reinterpret_cast<dbTable*>(recordOrNull(tableId, sizeof(dbTable)));
    if (table == nullptr || table->lastRow == 0) return table;
    if (dbRecord* last = recordOrNull(table->lastRow, sizeof(dbRecord))) last->nextId = 0;
    return table;
  };
  dbTable* meta = cutChain(dbMetatableId);
  oid_t next = meta != nullptr ? meta->firstRow : 0;
  for (uint32_t steps = 0; next != 0 && steps < limit; steps++) {
    dbTable* table = cutChain(next);
    next = table != nullptr ? table->nextId : 0;
  }
}

