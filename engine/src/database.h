// The database object: opening and closing a database file shared by processes,
// thread contexts, the shared monitor record and error reporting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "class.h"
#include "file.h"
#include "format.h"
#include "sync.h"

enum dbAccessType {
  dbReadOnly = 0,
  dbReadWrite = 1,
  dbConcurrentRead = 2,    // readers see the committed state while one writer works
  dbConcurrentUpdate = 3,  // updaters serialised by the mutator lock
};

// Error codes of reportError. Codes marked "returns" print and let the caller go on;
// all others end the process.
enum dbErrorClass {
  dbNoError = 0,
  dbQueryError = 1,                    // returns
  dbArithmeticError = 2,
  dbIndexOutOfRangeError = 3,
  dbDatabaseOpenError = 4,             // returns
  dbFileError = 5,
  dbOutOfMemoryError = 6,
  dbDeadlock = 7,
  dbNullReferenceError = 8,
  dbLockRevoked = 9,
  dbInconsistentInverseReference = 11, // returns
  dbDatabaseReadOnly = 12,
};

typedef void (*dbErrorHandler)(int error, const char* message, int argument);

constexpr uint32_t dbWaitForever = 0xFFFFFFFF;
constexpr size_t dbDirtyIndexPagesBytes = 524288;  // one bit per index page of 4 G handles

constexpr int dbMaxProcesses = 256;  // processes that may have one database open at once

// What the threads of one process hold of the readers-writer lock and wait for. Entry
// k of the monitor belongs to the process holding slot k of the lock file "%s.in";
// the monitor's counters are the sums of all entries. A process whose slot is free
// (it died) while its entry is not empty has exactly the entry's locks removed. A
// lock handed to a waiting thread is counted as held at once and marked handed over
// until one of the process's waiting threads takes it: the threads of one process are
// interchangeable, so it is the process that a lock is handed to.
struct dbProcessEntry {
  uint32_t wakeCount;         // futex word: +1 whenever the process is handed a lock
  int32_t readers;            // threads holding the shared lock, a committing one included
  int32_t writers;            // 1 while a thread holds the exclusive lock
  int32_t waitingReaders;
  int32_t waitingWriters;     // the upgrading reader included
  int32_t upgrading;          // 1 while a thread waits to turn its shared lock exclusive
  int32_t readersHandedOver;  // of `readers`, the ones no waiting thread has taken yet
  int32_t writerHandedOver;   // of `writers`, likewise for a waiting writer
  int32_t upgradeHandedOver;  // of `writers`, likewise for the upgrading reader
  int32_t committing;         // 1 while a thread commits (holding the shared lock)
  int32_t updating;           // 1 while the process holds the mutator lock "%s.mcs"
  int32_t reserved;
  bool isEmpty() const {
    return readers == 0 && writers == 0 && waitingReaders == 0 && waitingWriters == 0 && upgrading == 0 &&
           readersHandedOver == 0 && writerHandedOver == 0 && upgradeHandedOver == 0 && committing == 0 &&
           updating == 0;
  }
};
static_assert(sizeof(dbProcessEntry) == 48);

// Identifies the layout of dbMonitor and dbProcessEntry: a process of a build with
// another layout refuses the monitor. Change it with the layout (the static_asserts
// below tell when).
constexpr uint32_t dbMonitorLayout = 0x4B4D0002;

// Values of dbMonitor::recoveryNeeded but 0, which every writer and updater repairs
// before its transaction. The working index holds a complete state that readers go on
// reading (a commit that died, an updater that died between commits), or half a
// transaction that every reader has to avoid by reading the committed state.
constexpr int32_t dbRebuildWorkingIndex = 1;
constexpr int32_t dbReadCommittedState = 2;

// The monitor record, in the named shared memory "%s.dm". Every field but
// pendingLockRequests (atomic) and dirtyIndexPages (the working index's writer's) is
// changed only inside "%s.cs", and every change but the single increment of
// fileVersion is journaled by it (dbSharedCriticalSection::write): a process killed
// inside leaves the monitor as it found it. The first process to open a database (no
// other live process) initialises it.
struct dbMonitor {
  uint32_t layout;             // dbMonitorLayout
  int32_t mutatorCount;        // kept at 1: "%s.mcs" is a lock of its own
  int32_t nReaders;            // threads holding the shared lock
  int32_t nWriters;            // threads holding the exclusive lock: 0 or 1
  int32_t nWaitingReaders;
  int32_t nWaitingWriters;     // an upgrading reader included
  int32_t waitForUpgrade;      // 1 while a reader waits to become the writer
  int32_t pendingLockRequests; // lock requests under way while a commit delay is set
  int32_t committedRoot;       // copy of the header's activeRoot
  int32_t commitRunning;       // 1 while a commit writes the file
  uint32_t lastLockBreakTime;  // tick count of the last removal of a dead process's locks
  uint32_t fileVersion;        // mapping generation, +1 at every file extension
  int32_t processCount;        // completed opens not yet closed
  uint32_t writerThreadId;     // holder of the exclusive lock, 0 = none
  uint64_t pendingCommitContext;  // meaningful only in the process that stored it
  uint8_t dirtyIndexPages[dbDirtyIndexPagesBytes];
  uint32_t processSlotLimit;   // process slots ever claimed (see dbProcessLock)
  int32_t recoveryNeeded;      // 0, dbRebuildWorkingIndex or dbReadCommittedState
  int32_t nextWriterSlot;      // where the search for a waiting writer to hand over to starts
  int32_t reserved;
  dbProcessEntry processes[dbMaxProcesses];
};
static_assert(offsetof(dbMonitor, dirtyIndexPages) == 64);
static_assert(offsetof(dbMonitor, processes) == 64 + dbDirtyIndexPagesBytes + 16);
static_assert(sizeof(dbMonitor) == 64 + dbDirtyIndexPagesBytes + 16 + dbMaxProcesses * 48);

class dbDatabase;
class dbExprNode;
class dbEvaluator;
class dbAnyCursor;

// A ring of doubly linked elements; an element not in a ring points to itself.
struct dbL2List {
  dbL2List* next = this;
  dbL2List* prev = this;
  dbL2List() = default;
  dbL2List(const dbL2List&) = delete;
  dbL2List& operator=(const dbL2List&) = delete;
  void link(dbL2List* element) {  // inserts `element` after this one
    element->next = next;
    element->prev = this;
    next->prev = element;
    next = element;
  }
  void unlink() {
    next->prev = prev;
    prev->next = next;
    next = prev = this;
  }
  bool isEmpty() const { return next == this; }
};

// One per thread and database, reached through the database's thread-local slot.
struct dbDatabaseThreadContext {
  dbL2List cursors;  // the thread's positioned cursors; reset at the end of its transaction
  bool readAccess = false;      // holds the shared lock
  bool writeAccess = false;     // holds the exclusive lock
  bool mutatorLocked = false;   // holds "%s.mcs"
  bool commitDelayed = false;   // its commit is handed to the delayed-commit thread
  bool removeWhenCommitted = false;
  uint32_t threadId = 0;
  dbDatabaseThreadContext* nextContext = nullptr;  // list of the database's contexts
};

enum dbLockType {
  dbSharedLock = 0,
  dbExclusiveLock = 1,
  dbCommitLock = 2,  // exclusive, for a thread holding the mutator lock; no set-up
};

// Points in `open` and in a commit where tests may stop or kill the process.
enum class dbTestPoint {
  firstOpenerInitializing,  // holds the initialisation lock, before the file is touched
  insideCriticalSection,    // inside "%s.cs" while counting the process
  commitBeforeSwitch,       // commit holds the shared lock; the header names the old state
  commitAfterSwitch,        // the new state is committed; the next working index is not ready
};
extern void (*dbTestHook)(dbTestPoint point);

class dbDatabase {
  friend class dbEvaluator;  // reads records and reports run-time errors
  friend class dbAnyCursor;
  friend class dbHashTable;  // the indexes allocate and change their own objects
  friend class dbTtree;

 public:
  enum DetachFlags { COMMIT = 1, DESTROY_CONTEXT = 2 };

  dbDatabase(dbAccessType type = dbReadWrite, size_t initialFileSize = 0,
             size_t extensionQuantum = 4194304, size_t initialIndexSize = 65536,
             int threadCount = 1);
  // Virtual operations, in this order: reportError, then the destructor.
  virtual void reportError(int code, const char* message, int argument = 0);
  virtual ~dbDatabase();

  bool open(const char* name, const char* fileName = nullptr,
            uint32_t waitLockTimeout = dbWaitForever, uint32_t commitDelay = 0);
  void close();
  void attach();
  void detach(int flags = COMMIT | DESTROY_CONTEXT);
  void commit();
  void rollback();
  int getProcessCount();
  void setColumnRemovalAllowed(bool allowed) { columnRemovalAllowed = allowed; }
  dbErrorHandler setErrorHandler(dbErrorHandler handler);

  // --- records (REQUIRES: an open database; they take the exclusive lock)
  oid_t insertRecord(dbTableDescriptor* table, const void* record);
  void updateRecord(oid_t oid, dbTableDescriptor* table, const void* record);
  void removeRecord(dbTableDescriptor* table, oid_t oid);
  // The descriptor attached to this database that is `table` or was cloned from it.
  dbTableDescriptor* findTable(dbTableDescriptor* table) const;
  dbTableDescriptor* findTableByName(const char* name) const;
  dbTableDescriptor* getTables() const { return tables; }
  void forgetTable(dbTableDescriptor* table);  // a descriptor destroyed while attached

  // --- evaluation of compiled expressions (evaluate.cpp)
  // Whether `condition` holds for the record `oid` of `table`; parameters are read
  // at their bound address plus `paramOrigin`.
  bool evaluateCondition(const dbExprNode* condition, oid_t oid, dbTableDescriptor* table,
                         const char* paramOrigin = nullptr);
  // Tests `condition` on every `stride`-th record of the row chain from `first`
  // (the table's last row `last` ends it) and calls `found` for each record where it
  // holds, until `found` returns false.
  void scanChain(const dbExprNode* condition, dbTableDescriptor* table, const char* paramOrigin, oid_t first,
                 oid_t last, int stride, bool (*found)(void* arg, oid_t oid), void* arg);
  // Compares two records by an ORDER BY expression key: < 0, 0 or > 0.
  int compareExpressionKey(const dbExprNode* key, oid_t a, oid_t b, dbTableDescriptor* table);

  // --- search (search.cpp): fills the cursor with the records the query selects.
  void select(dbAnyCursor* cursor, class dbQuery& query);
  bool isOpen() const { return opened; }
  dbAccessType getAccessType() const { return accessType; }

  // The OS-independent name of the current mapping: "NAME@TAG.1" (see sharedName).
  const std::string& getMappingName() const { return mappingName; }

  // What the last commit of this process did, for measurements.
  struct CommitStatistics {
    uint32_t comparedIndexPages = 0;  // index pages searched for replaced objects
    uint32_t copiedIndexPages = 0;    // index pages copied into the next working index
    uint32_t flushMicroseconds = 0;   // time spent in the two flushes
  };
  const CommitStatistics& getLastCommitStatistics() const { return lastCommit; }

 protected:
  // Construction parameters.
  const dbAccessType accessType;
  const size_t initialFileSize;
  const size_t extensionQuantum;
  const size_t initialIndexSize;
  const int parallelScanThreads;

  bool opened = false;
  std::string databaseName;
  std::string fileName;
  // "%s" of the shared objects' names below: "NAME@TAG", the database name and a tag
  // of the file's canonical path, so that only processes on one file share them.
  std::string sharedName;
  std::string mappingName;  // "%s.%d": shared name and mapping generation

  dbFile file;
  dbHeader* header = nullptr;  // the base of the mapping; null while unmapped
  uint32_t* currIndex = nullptr;  // the index this process works on
  uint32_t workingIdCount = 0;
  uint32_t committedIdCount = 0;
  uint32_t mappedVersion = 0;     // generation of this process's mapping; 0 = none

  // Allocator state: per-bitmap-page free-space hints (in quanta), two cursors.
  int32_t freeSpaceHints[dbFirstUserObjectId];
  struct AllocationCursor {
    oid_t page;
    uint32_t offset;
  } smallCursor, pageCursor;
  bool modified = false;

  // Shared objects.
  dbMonitor* monitor = nullptr;
  dbProcessLock processLock;    // "%s.in"
  dbSharedMemory monitorMemory; // "%s.dm"
  int processSlot = -1;         // this process's slot in "%s.in" and entry in the monitor
  dbNamedEvent delayedCommitEvent;  // "%s.dce"
  dbSharedCriticalSection cs;   // "%s.cs"
  dbSharedProcessMutex mutatorCs;  // "%s.mcs": any thread of the holder may release it

  dbThreadContext<dbDatabaseThreadContext> threadContext;
  dbMutex threadContextListMutex;
  dbDatabaseThreadContext* threadContexts = nullptr;  // guarded by the mutex above

  uint32_t waitLockTimeout = dbWaitForever;
  uint32_t commitDelay = 0;
  bool columnRemovalAllowed = false;
  dbErrorHandler errorHandler = nullptr;

 protected:
  // --- locking
  // Takes the lock for the calling thread unless it holds it already, then sets up
  // the transaction. False when the transaction cannot be set up.
  bool lockDatabase(dbLockType kind);
  void unlockDatabase(dbDatabaseThreadContext* ctx);

  // --- objects (REQUIRES: the exclusive lock, except for the readers getObject,
  // getRecord and getRow)
  void markModified();
  offs_t allocateSpace(uint32_t size, oid_t oid = 0);
  void freeSpace(offs_t offset, uint32_t size);
  void prepareBitmapRange(offs_t offset, uint32_t size);
  oid_t allocateObjectId(uint32_t n = 1);
  void freeObjectId(oid_t oid, uint32_t n = 1);
  void freeObject(oid_t oid);  // any object, records included, and its oid
  char* getObject(oid_t oid) const { return baseAddress() + (currIndex[oid] & ~(dbAllocationQuantum - 1)); }
  char* getObjectForUpdate(oid_t oid);
  dbRecord* getRecord(oid_t oid) const;
  dbRecord* getRecordForUpdate(oid_t oid);
  dbRecord* resizeRecord(oid_t oid, uint32_t newSize);
  void extendFile(uint64_t size);
  // Allocates a record of `size` bytes with a new oid; nextId and prevId are 0.
  oid_t allocateRecord(uint32_t size);
  bool isSharedWithCommitted(oid_t oid) const {
    return oid < committedIdCount && committedIndex()[oid] == currIndex[oid];
  }

  // --- transactions
  bool beginTransaction(dbDatabaseThreadContext* ctx);
  bool remapIfExtended();
  void recoverAfterCrash();
  void repairRowChains();
  // Called after the mapping of `oldSize` bytes at `oldBase` moved by `delta`
  // bytes: the calling thread's cursors adjust the pointers of their records.
  void mappingMoved(const char* oldBase, size_t oldSize, ptrdiff_t delta);

  // --- rows and inverse references (REQUIRES: the exclusive lock)
  oid_t allocateRow(oid_t tableId, size_t size);
  void freeRow(oid_t tableId, oid_t oid);
  void insertInverseReference(dbFieldDescriptor* field, oid_t from, oid_t to);
  void removeInverseReference(dbFieldDescriptor* field, oid_t from, oid_t to);
  void notifyCursors(oid_t oid, bool removed);
  dbTable* getTableRecord(oid_t tableId) const { return reinterpret_cast<dbTable*>(getRecord(tableId)); }
  dbTable* getTableRecordForUpdate(oid_t tableId) {
    return reinterpret_cast<dbTable*>(getRecordForUpdate(tableId));
  }

  char* baseAddress() const { return file.base(); }
  dbHeader* fileHeader() const { return header; }
  uint32_t* committedIndex() const {
    return reinterpret_cast<uint32_t*>(baseAddress() + header->root[header->activeRoot].indexOffset);
  }
  dbMonitor* getMonitor() const { return monitor; }
  dbDatabaseThreadContext* getThreadContext() { return threadContext.get(); }
  uint32_t getWorkingIdCount() const { return workingIdCount; }
  uint32_t getCommittedIdCount() const { return committedIdCount; }
  bool isModified() const { return modified; }

 private:
  struct ScanPosition {
    oid_t page;       // bitmap page oid
    uint32_t offset;  // byte within the page
    uint32_t run;     // free quanta seen just before `offset`
  };
  struct Area {
    offs_t offset;
    uint32_t size;
  };

  bool openFailed(const char* message);
  bool openNamedObjects(bool first);
  bool openFileFirst();
  bool checkRoot(const dbRoot& root, bool withTwin) const;
  bool createDatabase(const dbInitialLayout& layout);
  dbRecord* recordOrNull(oid_t oid, size_t minSize) const;
  uint32_t committedIdLimit() const { return header->root[header->activeRoot].usedIds; }
  void countProcess();
  void releaseFile();
  void releaseNamedObjects();
  void deleteThreadContexts();
  void removeContext(dbDatabaseThreadContext* ctx);
  void resetCursors(dbDatabaseThreadContext* ctx);
  std::string objectName(const char* suffix) const { return sharedName + suffix; }
  // schema
  bool loadSchema(bool alterAllowed);
  bool rowsCanBeWalked();
  bool rowsChecked = false;  // loadSchema has checked the whole committed state
  bool loadTable(dbTableDescriptor* table, bool alterAllowed, oid_t& searchFrom);
  oid_t findStoredTable(const char* name, oid_t& searchFrom);
  void attachTable(dbTableDescriptor* table, oid_t tableId);
  void addNewTable(dbTableDescriptor* table);
  void rewriteTableRecord(dbTableDescriptor* table);
  bool convertTable(dbTableDescriptor* table, std::string& problem);
  bool updateTableIndexes(dbTableDescriptor* table, bool alterAllowed);
  void resolveReferences(dbTableDescriptor* table);
  void checkInverseReferences(dbTableDescriptor* table);
  void detachTables();
  // The persistent indexes of key fields (index.cpp: the hash table and the T-tree).
  oid_t createHashIndex(uint32_t expectedRows);
  oid_t createTtreeIndex();
  void dropHashIndex(oid_t index);
  void dropTtreeIndex(oid_t tree);
  void hashInsert(dbFieldDescriptor* field, oid_t oid, int32_t expectedRows);
  void hashRemove(dbFieldDescriptor* field, oid_t oid);
  void ttreeInsert(dbFieldDescriptor* field, oid_t oid);
  void ttreeRemove(dbFieldDescriptor* field, oid_t oid);
  // indexes of one record
  void insertIntoIndexes(dbTableDescriptor* table, oid_t oid, int32_t nRows, bool onlyUpdated);
  void removeFromIndexes(dbTableDescriptor* table, oid_t oid, bool onlyUpdated);
  void storeInto(oid_t oid, dbTableDescriptor* table, const void* record, size_t newSize);

  // allocator
  void setHandle(oid_t oid, uint32_t handle);
  // Marks the index page of `oid` as changed by this transaction. The first mark of
  // a page comes just before its first write in the transaction.
  void markIndexPageDirty(oid_t oid) {
    const uint32_t page = oid / dbIdsPerPage;
    const uint8_t bit = uint8_t(1 << (page & 7));
    if (monitor->dirtyIndexPages[page >> 3] & bit) return;
    monitor->dirtyIndexPages[page >> 3] |= bit;
    file.prepareForWrite(currIndex + size_t(page) * dbIdsPerPage, dbPageSize);
  }
  bool overlapsReservedArea(offs_t offset, uint32_t size) const;
  bool scanPage(ScanPosition& pos, uint32_t q, uint32_t size, bool pageAligned, oid_t oid, offs_t& found);
  bool scanBitmap(ScanPosition& pos, oid_t endPage, uint32_t q, uint32_t size, bool pageAligned, oid_t oid,
                  offs_t& found);
  offs_t takeSpace(offs_t offset, uint32_t size, oid_t oid, const ScanPosition& cursorPos,
                   bool pageAligned);
  offs_t extendBitmap(uint32_t q, uint32_t size, uint32_t run, oid_t oid, bool pageAligned);
  void setBitmapBits(uint64_t firstQuantum, uint64_t count);
  void moveObject(oid_t oid, offs_t to);
  oid_t firstMissingBitmapPage() const;
  uint32_t objectSize(uint32_t handle) const;

  // transactions
  void commitTransaction(dbDatabaseThreadContext* ctx);
  void freeReplacedObjects();
  void prepareNextWorkingIndex(uint32_t oldCommittedCapacity);
  void clearDirtyIndexPages(uint32_t toOid);
  bool isIndexPageDirty(uint32_t page) const {
    return (monitor->dirtyIndexPages[page >> 3] >> (page & 7)) & 1;
  }
  int flushOrDie();

  // locking (REQUIRES: "%s.cs", except repairForUpdater)
  enum class Waiter { reader, writer, upgrader };
  dbProcessEntry& ownEntry() const { return monitor->processes[processSlot]; }
  void set(int32_t& field, int32_t value) { cs.write(field, value); }
  void set(uint32_t& field, uint32_t value) { cs.write(field, value); }
  void add(int32_t& field, int32_t delta) { cs.write(field, field + delta); }
  void acquireExclusive(dbDatabaseThreadContext* ctx);
  void releaseLock(dbDatabaseThreadContext* ctx);
  void waitForLock(Waiter who);
  bool takeHandedOverLock(Waiter who);
  void handOverLock();
  void admitWaitingReaders();
  bool removeDeadProcesses();
  void removeProcess(int slot);
  void repairAfterDeadWriter();
  void settleDeadCommit();
  void repairForUpdater(dbDatabaseThreadContext* ctx);
  bool claimProcessSlot();
  bool isFileQuiet() const;

  // search
  bool selectByIdShortcut(dbAnyCursor* cursor, const dbExprNode* tree);
  void followBy(dbAnyCursor* cursor, dbQuery& query);
  void scanTable(dbAnyCursor* cursor, const dbExprNode* condition, struct dbOrderKey* orderBy);
  void parallelScan(dbAnyCursor* cursor, const dbExprNode* condition, struct dbOrderKey* orderBy);
  // Index answers for the search; false when no index can answer.
  bool searchByIndexes(dbAnyCursor* cursor, dbQuery& query);
  bool indexSearch(dbAnyCursor* cursor, const dbExprNode* condition, const dbExprNode* conjunction,
                   dbFieldDescriptor** answered);
  bool indexLookup(dbAnyCursor* cursor, const dbExprNode* comparison, const dbExprNode* filter);
  bool likeLookup(const dbExprNode* comparison, const char* pattern, struct dbSearchContext& sc,
                  const dbExprNode* filter);
  void orderAfterIndex(dbAnyCursor* cursor, dbQuery& query, dbFieldDescriptor* answered, bool conjunction);

  // delayed commit
  void startDelayedCommitThread();
  void stopDelayedCommitThread();
  static void delayedCommitProc(void* arg);
  void delayedCommit();
  void cancelDelayedCommit(dbDatabaseThreadContext* ctx);

  std::vector<Area> reservedAreas;
  CommitStatistics lastCommit;
  dbThreadPool threadPool;  // workers of parallel scans
  dbTableDescriptor* tables = nullptr;  // attached to this database, newest first
  oid_t updatedRecordId = 0;            // record whose inverse references an update adjusts
  std::vector<oid_t> removalStack;      // removals in progress, innermost last

  // Delayed-commit state; guarded by the two mutexes.
  dbMutex startTimerMutex;
  dbMutex stopTimerMutex;
  dbLocalEvent startTimerEvent;
  dbLocalEvent threadStartedEvent;
  dbThread delayedCommitThread;
  uint32_t remainingDelay = 0;  // seconds
  uint64_t delayStart = 0;      // seconds, 0 = no wait under way
  bool stopDelayedCommit = false;
  dbDatabaseThreadContext* pendingCommit = nullptr;
};
