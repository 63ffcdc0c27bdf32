// The engine's platform layer: process-local and process-shared synchronisation,
// threads, thread-local slots and the thread pool.
//
// Named objects live in POSIX shared memory under a per-user scope: the OS name of
// the object "N" of user U is "/kld.U.N", created with mode 0600 and O_EXCL, and its
// owner is checked after every open, so two users never share or block each other's
// objects even when one of them is root.
//
// Lifetime: POSIX objects outlive the processes that made them. The engine therefore
// decides with dbProcessLock (open-file-description locks on a lock file, which the
// kernel drops when a process dies) whether any live process still uses a database.
// The first opener that finds none creates every shared object afresh; only it may
// unlink and recreate them. The process-shared critical section is a robust mutex,
// so a process killed inside it never blocks the next one.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Internal consistency check: prints "Assertion failed: COND, file F, line L" and
// ends the process.
[[noreturn]] void dbAssertionFailed(const char* condition, const char* file, int line);
#define dbAssert(cond) ((cond) ? (void)0 : dbAssertionFailed(#cond, __FILE__, __LINE__))

uint32_t dbGetTickCount();     // milliseconds of CLOCK_MONOTONIC, wrapping at 2^32
uint64_t dbGetMicroseconds();  // microseconds of CLOCK_MONOTONIC
uint32_t dbGetThreadId();      // kernel thread id of the caller
unsigned dbGetProcessorCount();

// Process-local recursive mutex. Locking and unlocking do nothing once the mutex has
// been destroyed, so static objects may still be used during process exit.
class dbMutex {
 public:
  dbMutex() : initialized(true) {}
  ~dbMutex() { initialized = false; }
  dbMutex(const dbMutex&) = delete;
  dbMutex& operator=(const dbMutex&) = delete;
  void lock() {
    if (initialized) m.lock();
  }
  void unlock() {
    if (initialized) m.unlock();
  }

 private:
  std::recursive_mutex m;
  bool initialized;
};

// Holds a dbMutex for the duration of a scope.
class dbCriticalSection {
 public:
  explicit dbCriticalSection(dbMutex& guard) : mutex(guard) { mutex.lock(); }
  ~dbCriticalSection() { mutex.unlock(); }
  dbCriticalSection(const dbCriticalSection&) = delete;
  dbCriticalSection& operator=(const dbCriticalSection&) = delete;

 private:
  dbMutex& mutex;
};

// Process-local manual-reset event. wait() releases the given mutex while it sleeps
// and holds it again when it returns.
class dbLocalEvent {
 public:
  void wait(dbMutex& mutex);
  bool wait(dbMutex& mutex, uint32_t timeoutMs);  // false on time-out
  void signal();
  void reset();

 private:
  std::mutex m;
  std::condition_variable cv;
  bool signaled = false;
};

// Process-local counting semaphore, initial count 0.
class dbLocalSemaphore {
 public:
  void wait(dbMutex& mutex);  // releases `mutex` while it sleeps
  void signal(unsigned n = 1);

 private:
  std::mutex m;
  std::condition_variable cv;
  unsigned count = 0;
};

// A joinable thread; destruction without join lets it run on detached.
class dbThread {
 public:
  typedef void (*thread_proc_t)(void*);
  dbThread() = default;
  ~dbThread();
  dbThread(const dbThread&) = delete;
  dbThread& operator=(const dbThread&) = delete;
  void create(thread_proc_t function, void* argument);
  void join();
  bool isRunning() const { return started; }

 private:
  pthread_t handle{};
  bool started = false;
};

// One thread-local storage slot holding a T*.
template <class T>
class dbThreadContext {
 public:
  dbThreadContext() {
    int rc = pthread_key_create(&key, nullptr);
    dbAssert(rc == 0);
  }
  ~dbThreadContext() { pthread_key_delete(key); }
  dbThreadContext(const dbThreadContext&) = delete;
  dbThreadContext& operator=(const dbThreadContext&) = delete;
  T* get() const { return static_cast<T*>(pthread_getspecific(key)); }
  void set(T* value) { pthread_setspecific(key, value); }

 private:
  pthread_key_t key;
};

// ---------------------------------------------------------------------------
// Named objects

// The OS name of the named object `name` in the caller's per-user scope.
std::string dbScopedObjectName(const std::string& name);

// Test seam: when set, creating or opening the named object whose engine name ends
// with the given suffix fails as if the system had refused it.
extern const char* dbFailNamedObjectSuffix;

// A block of named shared memory.
class dbSharedMemory {
 public:
  ~dbSharedMemory() { close(); }
  bool create(const std::string& name, size_t size);  // replaces any stale object
  bool open(const std::string& name, size_t size);    // joins an existing one
  void close();
  void* get() const { return base; }
  static void remove(const std::string& name);

 private:
  bool map(int fd, size_t size);
  void* base = nullptr;
  size_t mappedSize = 0;
};

// Named counting semaphore, initial count 0. Only ever used to wake waiters, never as
// a lock: a count taken by a process that dies is never given back.
class dbNamedSemaphore {
 public:
  ~dbNamedSemaphore() { close(); }
  bool create(const std::string& name);  // replaces any stale object
  bool open(const std::string& name);
  void close();
  bool wait(uint32_t timeoutMs);  // 0xFFFFFFFF waits for ever; false on time-out
  void signal(unsigned n = 1);
  void reset();  // takes the semaphore with zero wait until that fails
  static void remove(const std::string& name);

 private:
  struct Block;
  dbSharedMemory memory;
  Block* block = nullptr;
};

// Named manual-reset event, initially not signalled.
class dbNamedEvent {
 public:
  bool create(const std::string& name);
  bool open(const std::string& name);
  void close();
  bool wait(uint32_t timeoutMs);  // 0xFFFFFFFF waits for ever; false on time-out
  void signal();
  void reset();
  static void remove(const std::string& name);

 private:
  struct Block;
  dbSharedMemory memory;
  Block* block = nullptr;
};

// The process-shared critical section: a robust process-shared mutex in named shared
// memory. When its holder dies inside, the next enter() repairs the mutex and returns
// true, so that the caller knows the guarded state may be half changed.
//
// The 32-bit fields of one block of shared memory (see guard) that the holder changes
// with write() are journaled: the old value goes to an undo journal in the critical
// section's own shared memory before the field changes, and leave() empties the
// journal. When a holder dies inside, the next enter() writes the old values back, so
// that the guarded state is the one the dead holder found when it entered.
class dbSharedCriticalSection {
 public:
  static constexpr uint32_t journalCapacity = 8192;  // writes of one section
  bool create(const std::string& name);
  bool open(const std::string& name);
  void close();
  // The shared memory whose fields write() changes: the same object in every process,
  // wherever it is mapped. Set before the first enter().
  void guard(void* base, size_t size);
  bool enter();
  void leave();
  // REQUIRES: inside. Stores `value` into `field`, which lies in the guarded memory.
  void write(int32_t& field, int32_t value);
  void write(uint32_t& field, uint32_t value);
  static void remove(const std::string& name);

 private:
  struct Block;
  void undo();
  dbSharedMemory memory;
  Block* block = nullptr;
  char* guarded = nullptr;
  size_t guardedSize = 0;
};

// Waiting on a 32-bit word of process-shared memory: wait returns true once the word
// no longer holds `seen`, false when `timeoutMs` passed first (0xFFFFFFFF waits for
// ever); wakeAll adds 1 to the word and wakes every thread of every process waiting on
// it. Changes of the word are meant to be made inside a critical section that the
// waiter leaves after it has read `seen`, so that no change goes unnoticed.
bool dbWaitForChange(const uint32_t& word, uint32_t seen, uint32_t timeoutMs);
void dbWakeAll(uint32_t& word);

// A process-shared lock owned by the holding process rather than by the holding
// thread: any thread of that process may release it (a commit handed to another
// thread releases the lock its transaction began under), and the kernel releases it
// when the process dies. It is an open-file-description write lock on a named
// shared-memory object; the threads of one process share that description, so a
// process-local gate, which any thread may open again, keeps them apart. A flag in
// the object, set while the lock is held, tells the next holder that the previous
// one died inside.
class dbSharedProcessMutex {
 public:
  ~dbSharedProcessMutex() { close(); }
  bool create(const std::string& name);  // replaces any stale object
  bool open(const std::string& name);
  void close();
  bool enter();  // true when the previous holder died while holding the lock
  void leave();
  static void remove(const std::string& name);

 private:
  struct Block;
  bool attach(int descriptor);
  int fd = -1;
  Block* block = nullptr;
  std::mutex gateMutex;
  std::condition_variable gateFree;
  bool gateClosed = false;
};

// The initialisation and liveness lock of one database: a lock file in the per-user
// scope with open-file-description locks, which the kernel releases when the process
// dies. Byte 0 is the initialisation lock; byte 1 is held shared by every process that
// has the database open; bytes from 2 on are one slot per process that completed
// `open`, so live openers can be counted after others died.
class dbProcessLock {
 public:
  ~dbProcessLock() { close(); }
  bool open(const std::string& name);
  void close();
  bool isOpen() const { return fd >= 0; }
  bool lockInitialization();        // waits without limit
  void unlockInitialization();
  bool becomeLive();                // shared liveness lock; true when no other live process
  bool isLastLive();                // exclusive liveness possible: no other live process
  // Takes the lowest free process slot below `limit`; -1 when there is none.
  int claimSlot(int limit = 1 << 16);
  void releaseSlot();
  int countLiveSlots(int limit);    // slots held by live processes, the caller's included
  bool isSlotLive(int k);           // slot k is held by a live process (the caller's slot too)
  // Removes the lock file's name. Only the last live process, holding the
  // initialisation lock, may do this: a waiter that then gets the lock of the removed
  // file notices it and starts over with a new one.
  void remove();

 private:
  bool setLock(short type, off_t start, bool wait);
  bool reopen();
  bool isCurrent() const;
  std::string scopedName;
  int fd = -1;
  int slot = -1;
};

// ---------------------------------------------------------------------------
// Thread pool for parallel searches.

class dbThreadPool;

class dbPooledThread {
  friend class dbThreadPool;
  explicit dbPooledThread(dbThreadPool* pool);
  ~dbPooledThread();
  static void loop(void* arg);
  void run();

  dbThreadPool* pool;
  dbPooledThread* next = nullptr;
  dbThread thread;
  dbLocalSemaphore startSem;
  dbLocalSemaphore readySem;
  dbThread::thread_proc_t function = nullptr;
  void* argument = nullptr;
  bool running = true;
};

class dbThreadPool {
 public:
  dbThreadPool() = default;
  ~dbThreadPool();
  dbThreadPool(const dbThreadPool&) = delete;
  dbThreadPool& operator=(const dbThreadPool&) = delete;
  dbPooledThread* create(dbThread::thread_proc_t function, void* argument);
  void join(dbPooledThread* thread);

 private:
  friend class dbPooledThread;
  dbMutex mutex;
  dbPooledThread* freeThreads = nullptr;
};
