// The database object: open, close, thread contexts, error reporting and the
// creation and validation of the database file.
#include "database.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"

void (*dbTestHook)(dbTestPoint point) = nullptr;

namespace {

void testPoint(dbTestPoint point) {
  if (dbTestHook != nullptr) dbTestHook(point);
}

uint32_t roundUp(uint64_t value, uint32_t multiple) {
  return uint32_t((value + multiple - 1) / multiple * multiple);
}

// The system's text for an error code, as code 5 prints it.
std::string systemErrorText(int code) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (text == nullptr || strncmp(text, "Unknown error", 13) == 0) {
    snprintf(buffer, sizeof buffer, "unknown error code %u", unsigned(code));
    return buffer;
  }
  return std::string(text).substr(0, 255);
}

// The name part the shared objects of the database `name` on the file `path` have in
// common: "NAME@TAG". TAG is the 64-bit FNV-1a hash of the file's canonical path in
// 16 hex digits, so that every process working on one file, by whatever path, shares
// the objects, and databases of one name on different files are independent. A long
// name is cut so that the system's name of every object fits in NAME_MAX bytes: the
// user scope "kld.EUID." takes up to 15, "@TAG" 17 and the longest suffix ".mcs" 4,
// and the scope escapes '/' and '%' into three bytes each.
std::string sharedObjectName(const std::string& name, const std::string& path) {
  constexpr size_t kNameBudget = NAME_MAX - 15 - 17 - 4;
  std::string result;
  size_t escapedLength = 0;
  for (char c : name) {
    escapedLength += (c == '/' || c == '%') ? 3 : 1;
    if (escapedLength > kNameBudget) break;
    result += c;
  }
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : dbCanonicalFilePath(path.c_str())) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char tag[24];
  snprintf(tag, sizeof tag, "@%016llx", static_cast<unsigned long long>(hash));
  return result + tag;
}

// The Metatable's own descriptor, written field by field: (name, type, size, offset).
struct MetaField {
  const char* name;
  int32_t type;
  int32_t size;
  int32_t offset;
};
constexpr MetaField kMetatableFields[] = {
    {"name", 7, 8, 12},
    {"fields", 9, 8, 20},
    {"fields[]", 19, 44, 0},
    {"fields[].name", 7, 8, 0},
    {"fields[].tableName", 7, 8, 8},
    {"fields[].inverse", 7, 8, 16},
    {"fields[].type", 3, 4, 24},
    {"fields[].offset", 3, 4, 28},
    {"fields[].size", 3, 4, 32},
    {"fields[].hashTable", 8, 4, 36},
    {"fields[].tTree", 8, 4, 40},
    {"fixedSize", 3, 4, 28},
    {"nRows", 3, 4, 32},
    {"nColumns", 3, 4, 36},
    {"firstRow", 8, 4, 40},
    {"lastRow", 8, 4, 44},
};
constexpr int kMetatableFieldCount = sizeof(kMetatableFields) / sizeof(kMetatableFields[0]);
constexpr const char kMetatableName[] = "Metatable";

uint32_t metatableRecordSize() {
  uint32_t size = sizeof(dbTable) + kMetatableFieldCount * sizeof(dbField) + sizeof(kMetatableName);
  for (const MetaField& f : kMetatableFields) size += uint32_t(strlen(f.name)) + 3;
  return size;
}

// Writes the Metatable record at `rec` (zeroed memory of at least its size).
void writeMetatableRecord(char* rec) {
  auto* table = reinterpret_cast<dbTable*>(rec);
  table->size = metatableRecordSize();
  table->nextId = table->prevId = 0;
  table->fixedSize = sizeof(dbTable);
  table->nRows = 0;
  table->nColumns = 5;
  table->firstRow = table->lastRow = 0;
  uint32_t fieldsOffset = sizeof(dbTable);
  uint32_t stringOffset = fieldsOffset + kMetatableFieldCount * sizeof(dbField);
  table->fields = {uint32_t(kMetatableFieldCount), fieldsOffset};
  table->name = {uint32_t(sizeof(kMetatableName)), stringOffset};
  memcpy(rec + stringOffset, kMetatableName, sizeof(kMetatableName));
  stringOffset += sizeof(kMetatableName);
  for (int i = 0; i < kMetatableFieldCount; i++) {
    uint32_t entryOffset = fieldsOffset + i * sizeof(dbField);
    auto* field = reinterpret_cast<dbField*>(rec + entryOffset);
    uint32_t nameLength = uint32_t(strlen(kMetatableFields[i].name)) + 1;
    memcpy(rec + stringOffset, kMetatableFields[i].name, nameLength);
    field->name = {nameLength, stringOffset - entryOffset};
    stringOffset += nameLength;
    field->tableName = {1, stringOffset++ - entryOffset};  // "" : the NUL of zeroed memory
    field->inverse = {1, stringOffset++ - entryOffset};
    field->type = kMetatableFields[i].type;
    field->size = kMetatableFields[i].size;
    field->offset = kMetatableFields[i].offset;
    field->hashTable = field->tTree = 0;
  }
}

// The largest file the allocator makes: the last whole segment below 4 GiB.
constexpr uint64_t kMaxFileSize = 0xFFF80000;

// Whether a new file of these sizes, and its extensions, fit the 32-bit offsets of
// the format: the initial file (at least 16 bytes per handle of the initial index,
// rounded up to whole segments) and the extension quantum no larger than the largest
// file.
bool sizesFitTheFormat(size_t indexSize, size_t fileSize, size_t quantum) {
  if (indexSize > kMaxFileSize / 16 || fileSize > kMaxFileSize || quantum > kMaxFileSize) return false;
  const uint64_t capacity = (std::max<uint64_t>(indexSize, dbFirstUserObjectId) + dbIdsPerPage - 1) /
                            dbIdsPerPage * dbIdsPerPage;
  uint64_t length = std::max<uint64_t>(fileSize != 0 ? fileSize : dbDefaultInitialFileSize, capacity * 16);
  length = (length + dbSegmentSize - 1) / dbSegmentSize * dbSegmentSize;
  return length <= kMaxFileSize;
}

}  // namespace

dbInitialLayout dbInitialLayout::compute(uint32_t initialIndexSize, uint32_t initialFileSize) {
  dbInitialLayout l;
  l.indexCapacity = roundUp(std::max<uint32_t>(initialIndexSize, dbFirstUserObjectId), dbIdsPerPage);
  uint64_t fileSize = initialFileSize != 0 ? initialFileSize : dbDefaultInitialFileSize;
  fileSize = std::max<uint64_t>(fileSize, uint64_t(l.indexCapacity) * 16);
  l.fileSize = roundUp(fileSize, dbSegmentSize);
  l.usedBytes = dbPageSize + 8 * l.indexCapacity;
  l.bitmapPages = (l.usedBytes + dbBitmapSegmentPayload - 1) / dbBitmapSegmentPayload;
  l.metatableOffset = l.usedBytes + dbPageSize * l.bitmapPages;
  return l;
}

// ---------------------------------------------------------------------------

dbDatabase::dbDatabase(dbAccessType type, size_t initFileSize, size_t extQuantum,
                       size_t initIndexSize, int threadCount)
    : accessType(type),
      initialFileSize(initFileSize),
      extensionQuantum(extQuantum),
      initialIndexSize(initIndexSize),
      parallelScanThreads(threadCount == 0 ? int(dbGetProcessorCount())
                                           : std::min(threadCount, 64)) {
  std::fill(std::begin(freeSpaceHints), std::end(freeSpaceHints), INT32_MAX);
  smallCursor = pageCursor = {dbFirstBitmapId, 0};
}

dbDatabase::~dbDatabase() {
  if (opened) close();
  releaseFile();
  releaseNamedObjects();
  deleteThreadContexts();
}

dbErrorHandler dbDatabase::setErrorHandler(dbErrorHandler handler) {
  dbErrorHandler previous = errorHandler;
  errorHandler = handler;
  return previous;
}

void dbDatabase::reportError(int code, const char* message, int argument) {
  if (errorHandler != nullptr) errorHandler(code, message, argument);
  switch (code) {
    case dbQueryError:
      fprintf(stderr, "%s in position %d\n", message, argument);
      return;
    case dbDatabaseOpenError:
    case dbInconsistentInverseReference:
      fprintf(stderr, "%s\n", message);
      return;
    case dbArithmeticError:
      fprintf(stderr, "%s\n", message);
      break;
    case dbIndexOutOfRangeError:
      fprintf(stderr, "Index %d is out of range\n", argument);
      break;
    case dbFileError:
      fprintf(stderr, "%s: %s\n", message, systemErrorText(argument).c_str());
      break;
    case dbOutOfMemoryError:
      fprintf(stderr, "Not enough memory: failed to allocate %d bytes\n", argument);
      break;
    case dbDeadlock:
      fputs("Deadlock is caused by upgrading shared locks to exclusive", stderr);
      break;
    case dbNullReferenceError:
      fputs("Null object reference is accessed\n", stderr);
      break;
    case dbLockRevoked:
      fputs("Lock is revoked by some other client", stderr);
      break;
    case dbDatabaseReadOnly:
      fputs("Attempt to modify readonly database", stderr);
      break;
    default:
      return;  // no error, or a code nothing raises
  }
  fflush(stderr);
  abort();
}

// ---------------------------------------------------------------------------
// open

// `message` is null when the failure has been reported already.
bool dbDatabase::openFailed(const char* message) {
  if (message != nullptr) reportError(dbDatabaseOpenError, message);
  detachTables();
  // A failed open gives back everything it took, so that the next opener neither
  // waits for this process nor joins a half-initialised monitor, and removes a file
  // it created: no other opener can have used it while this process held the
  // initialisation lock.
  file.closeAndRemove();
  releaseFile();
  releaseNamedObjects();
  deleteThreadContexts();
  return false;
}

bool dbDatabase::open(const char* name, const char* dbFileName, uint32_t timeout,
                      uint32_t delay) {
  if (opened) close();
  if (!sizesFitTheFormat(initialIndexSize, initialFileSize, extensionQuantum)) {
    // Refused before anything is made: the 32-bit offsets of the file cannot hold them.
    return openFailed("Database sizes exceed the limits of the 32-bit file format");
  }
  waitLockTimeout = timeout;
  commitDelay = 0;
  opened = false;
  databaseName = name;
  fileName = dbFileName != nullptr ? dbFileName : databaseName;
  sharedName = sharedObjectName(databaseName, fileName);

  if (!processLock.open(objectName(".in")) || !processLock.lockInitialization()) {
    return openFailed("Failed to start database initialization");
  }
  bool first = processLock.becomeLive();
  if (!first) processLock.unlockInitialization();  // joiners wait and release at once

  commitDelay = delay;
  if (!openNamedObjects(first)) return false;

  std::fill(std::begin(freeSpaceHints), std::end(freeSpaceHints), INT32_MAX);
  smallCursor = pageCursor = {dbFirstBitmapId, 0};
  modified = false;
  attach();

  if (first) {
    testPoint(dbTestPoint::firstOpenerInitializing);
    if (!cs.create(objectName(".cs")) ||
        (accessType == dbConcurrentUpdate && !mutatorCs.create(objectName(".mcs")))) {
      return openFailed("Failed to initialize database monitor");
    }
    memset(monitor, 0, sizeof(dbMonitor));
    monitor->layout = dbMonitorLayout;
    monitor->mutatorCount = 1;
    monitor->fileVersion = 1;
    cs.guard(monitor, sizeof(dbMonitor));
    if (!claimProcessSlot()) return openFailed("Too many processes have the database open");
    mappedVersion = 1;
    mappingName = sharedName + ".1";
    if (!openFileFirst()) return false;
    if (!loadSchema(true)) return openFailed(nullptr);
    countProcess();  // before other openers are let in, so they see it counted
    processLock.unlockInitialization();
  } else {
    if (!cs.open(objectName(".cs")) ||
        (accessType == dbConcurrentUpdate && !mutatorCs.open(objectName(".mcs")))) {
      return openFailed("Failed to open shared semaphore");
    }
    cs.guard(monitor, sizeof(dbMonitor));
    // The slot is taken before the schema is loaded: every lock a process takes is
    // accounted for in its slot's entry.
    if (!claimProcessSlot()) return openFailed("Too many processes have the database open");
    mappedVersion = 0;  // the first transaction maps the file
    if (!loadSchema(false)) return openFailed(nullptr);
    countProcess();
  }
  opened = true;
  if (commitDelay != 0) startDelayedCommitThread();
  return true;
}

bool dbDatabase::openNamedObjects(bool first) {
  auto join = [first](auto& object, const std::string& name) {
    return first ? object.create(name) : object.open(name);
  };
  bool monitorReady = first ? monitorMemory.create(objectName(".dm"), sizeof(dbMonitor))
                            : monitorMemory.open(objectName(".dm"), sizeof(dbMonitor));
  monitor = static_cast<dbMonitor*>(monitorReady ? monitorMemory.get() : nullptr);
  // The first opener initialises the monitor before it lets any joiner in.
  if (monitor == nullptr || (!first && monitor->layout != dbMonitorLayout)) {
    monitor = nullptr;
    return openFailed("Failed to open database monitor");
  }
  if (commitDelay != 0 && !join(delayedCommitEvent, objectName(".dce"))) {
    return openFailed("Failed to initialize delayed commit event");
  }
  return true;
}

void dbDatabase::countProcess() {
  cs.enter();
  add(monitor->processCount, 1);
  testPoint(dbTestPoint::insideCriticalSection);
  cs.leave();
}

// Takes a process slot of "%s.in" and with it the slot's entry in the monitor, which
// a process that died in the slot may have left: what it held is removed first.
bool dbDatabase::claimProcessSlot() {
  cs.enter();
  processSlot = processLock.claimSlot(dbMaxProcesses);
  if (processSlot >= 0) {
    set(monitor->processSlotLimit, std::max<uint32_t>(monitor->processSlotLimit, uint32_t(processSlot) + 1));
    if (!ownEntry().isEmpty()) {
      removeProcess(processSlot);
      set(monitor->lastLockBreakTime, dbGetTickCount());
      handOverLock();
    }
  }
  cs.leave();
  return processSlot >= 0;
}

// Opens, validates or creates the database file for the first opener. Reports and
// returns false on failure.
bool dbDatabase::openFileFirst() {
  const char* sizeMessage = "Database file was corrupted: file size in header differs from actual file size";
  const char* rootMessage = "Database file was corrupted: invalid root index";
  bool readOnly = accessType == dbReadOnly || accessType == dbConcurrentRead;
  if (file.open(fileName.c_str(), readOnly, true) != 0) return openFailed("Failed to create database file");

  // The header is read before anything is mapped: bytes past the end of a short file
  // read as zeros, so an empty file is an uninitialised one.
  dbHeader head;
  memset(&head, 0, sizeof head);
  if (file.read(&head, sizeof head, 0) != 0) return openFailed("Failed to create database file");
  if (uint32_t(head.activeRoot) > 1) return openFailed(rootMessage);

  if (head.initialized != 1) {
    if (readOnly) return openFailed("Can not open uninitialized file in read only mode");
    dbInitialLayout layout = dbInitialLayout::compute(uint32_t(std::min<size_t>(initialIndexSize, UINT32_MAX)),
                                                      uint32_t(std::min<size_t>(initialFileSize, UINT32_MAX)));
    // Whatever a crash during an earlier creation left is replaced entirely.
    if (file.truncate(layout.fileSize) != 0) return openFailed("Failed to create database file");
    header = reinterpret_cast<dbHeader*>(file.base());
    if (!createDatabase(layout)) return openFailed("Failed to create database file");
  } else {
    uint64_t length = file.fileLength();
    if (length > UINT32_MAX) return openFailed(sizeMessage);  // offsets are 32-bit
    if (file.map(size_t(length)) != 0) return openFailed("Failed to create database file");
    header = reinterpret_cast<dbHeader*>(file.base());
    monitor->committedRoot = header->activeRoot;
    if (header->dirty == 1) {
      if (readOnly) return openFailed("Can not open dirty file in read only moode");
      if (!checkRoot(header->root[header->activeRoot], true)) return openFailed(rootMessage);
    } else {
      if (header->size != file.size()) return openFailed(sizeMessage);
      if (!checkRoot(header->root[0], false) || !checkRoot(header->root[1], false)) {
        return openFailed(rootMessage);
      }
    }
    // Everything opening reads (and recovery writes) is located through the index:
    // a damaged handle or descriptor must be refused before anything follows it.
    dbCheckReport structure = dbCheckStructure(file.base(), file.size());
    if (!structure.ok()) {
      return openFailed(("Database file was corrupted: " + structure.errors[0]).c_str());
    }
    if (header->dirty == 1) recoverAfterCrash();
  }
  return true;
}

// A root is usable when its index area (and, for the committed root of a dirty file,
// the twin area recovery copies into) lies inside the mapped file.
bool dbDatabase::checkRoot(const dbRoot& root, bool withTwin) const {
  auto areaInside = [this](offs_t offset, uint32_t capacity) {
    return offset >= dbPageSize && offset % dbAllocationQuantum == 0 &&
           uint64_t(offset) + uint64_t(capacity) * 4 <= file.size();
  };
  if (root.usedIds < dbFirstUserObjectId || root.usedIds > root.indexCapacity) return false;
  if (!areaInside(root.indexOffset, root.indexCapacity)) return false;
  if (root.freeIdHead >= root.usedIds) return false;
  if (!withTwin) return true;
  return root.twinIndexCapacity >= root.usedIds && areaInside(root.twinIndexOffset, root.twinIndexCapacity);
}

// Writes a new database into the zeroed mapping: header, both roots, both indexes,
// the first bitmap pages and the Metatable record, then makes it valid by setting
// `initialized` between two flushes. A crash before the second flush leaves a file
// that the next open creates afresh.
bool dbDatabase::createDatabase(const dbInitialLayout& layout) {
  char* base = file.base();
  const uint32_t capacity = layout.indexCapacity;
  header->size = layout.fileSize;
  header->activeRoot = 0;
  monitor->committedRoot = 0;
  header->root[0] = {dbPageSize, dbPageSize + 4 * capacity, capacity, capacity, dbFirstUserObjectId, 0};
  header->root[1] = {dbPageSize + 4 * capacity, dbPageSize, capacity, capacity, dbFirstUserObjectId, 0};
  header->versionMajor = dbVersionMajor;
  header->versionMinor = dbVersionMinor;

  auto* indexA = reinterpret_cast<uint32_t*>(base + header->root[0].indexOffset);
  auto* indexB = reinterpret_cast<uint32_t*>(base + header->root[1].indexOffset);
  for (oid_t oid = 0; oid < dbFirstUserObjectId; oid++) indexA[oid] = dbFreeHandleMarker;
  for (uint32_t k = 0; k < layout.bitmapPages; k++) {
    indexA[dbFirstBitmapId + k] = layout.usedBytes + dbPageSize * k + dbPageMarker;
  }
  // Header page, both indexes and the bitmap pages themselves are in use; the
  // initial bitmap pages are consecutive, so their bits form one run.
  char* bitmap = base + layout.usedBytes;
  memset(bitmap, 0xFF, layout.metatableOffset / (dbAllocationQuantum * 8));

  uint32_t metaSize = metatableRecordSize();
  uint32_t firstQuantum = layout.metatableOffset / dbAllocationQuantum;
  uint32_t quanta = (metaSize + dbAllocationQuantum - 1) / dbAllocationQuantum;
  for (uint32_t q = firstQuantum; q < firstQuantum + quanta; q++) bitmap[q / 8] |= char(1 << (q % 8));
  writeMetatableRecord(base + layout.metatableOffset);
  indexA[dbMetatableId] = layout.metatableOffset + dbRecordMarker;
  currIndex = indexA;
  workingIdCount = dbFirstUserObjectId;
  committedIdCount = 0;
  header->dirty = 1;
  memcpy(indexB, indexA, dbFirstUserObjectId * sizeof(uint32_t));

  if (file.flush() != 0) return false;
  header->initialized = 1;
  return file.flush() == 0;
}


// ---------------------------------------------------------------------------
// close

void dbDatabase::attach() {
  if (threadContext.get() != nullptr) return;
  auto* ctx = new dbDatabaseThreadContext;
  ctx->threadId = dbGetThreadId();
  dbCriticalSection guard(threadContextListMutex);
  ctx->nextContext = threadContexts;
  threadContexts = ctx;
  threadContext.set(ctx);
}

void dbDatabase::detach(int flags) {
  if (flags & COMMIT) commit();
  if (flags & DESTROY_CONTEXT) {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) return;
    threadContext.set(nullptr);
    dbCriticalSection timerGuard(stopTimerMutex);
    if (ctx->commitDelayed) {
      ctx->removeWhenCommitted = true;  // the delayed-commit thread deletes it
      return;
    }
    dbCriticalSection guard(threadContextListMutex);
    removeContext(ctx);
  }
}

// REQUIRES: threadContextListMutex.
void dbDatabase::removeContext(dbDatabaseThreadContext* ctx) {
  for (dbDatabaseThreadContext** p = &threadContexts; *p != nullptr; p = &(*p)->nextContext) {
    if (*p == ctx) {
      *p = ctx->nextContext;
      break;
    }
  }
  delete ctx;
}

void dbDatabase::deleteThreadContexts() {
  dbCriticalSection guard(threadContextListMutex);
  while (dbDatabaseThreadContext* ctx = threadContexts) {
    threadContexts = ctx->nextContext;
    delete ctx;
  }
  threadContext.set(nullptr);
}

int dbDatabase::getProcessCount() {
  if (monitor == nullptr) return 0;
  cs.enter();
  // Processes killed without close stay counted; the slot locks tell the truth.
  int live = processLock.countLiveSlots(int(monitor->processSlotLimit));
  set(monitor->processCount, live);
  cs.leave();
  return live;
}

void dbDatabase::close() {
  if (!opened) return;
  detach(COMMIT | DESTROY_CONTEXT);
  if (commitDelay != 0) stopDelayedCommitThread();
  deleteThreadContexts();
  opened = false;

  bool writable = accessType == dbReadWrite || accessType == dbConcurrentUpdate;
  cs.enter();
  add(monitor->processCount, -1);
  if (!ownEntry().isEmpty()) {
    // Threads of this process that still hold or wait for the lock lose it.
    removeProcess(processSlot);
    handOverLock();
  }
  if (header != nullptr && header->dirty && writable && isFileQuiet()) {
    file.flush();
    header->dirty = 0;  // reaches the disk with the page cache
  }
  processLock.releaseSlot();
  processSlot = -1;
  cs.leave();
  detachTables();
  releaseFile();
  releaseNamedObjects();
}

// No process has changes that are not committed, nor a commit under way, and none
// that died left any: the file may be marked clean. A process inside its commit holds
// only the shared lock, and an updater between its commits only the mutator lock.
bool dbDatabase::isFileQuiet() const {
  if (monitor->nWriters != 0 || monitor->commitRunning != 0 || monitor->recoveryNeeded != 0) return false;
  for (uint32_t k = 0; k < monitor->processSlotLimit; k++) {
    const dbProcessEntry& e = monitor->processes[k];
    if (e.writers != 0 || e.committing != 0 || e.updating != 0) return false;
  }
  return true;
}

void dbDatabase::releaseFile() {
  file.close();
  header = nullptr;
  currIndex = nullptr;
  mappedVersion = 0;
}

void dbDatabase::releaseNamedObjects() {
  if (processLock.isOpen() && processLock.lockInitialization() && processLock.isLastLive()) {
    // No other process uses the database: remove what a later open would replace.
    for (const char* suffix : {".dm", ".dce", ".cs", ".mcs"}) {
      dbSharedMemory::remove(objectName(suffix));
    }
    processLock.remove();
  }
  monitor = nullptr;
  monitorMemory.close();
  processSlot = -1;
  delayedCommitEvent.close();
  cs.close();
  mutatorCs.close();
  processLock.close();
}
