// Platform layer: the only place of the engine that calls pthread, futex, shm_open
// and fcntl lock services (the file module owns the file mapping).
#include "sync.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void dbAssertionFailed(const char* condition, const char* file, int line) {
  fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
  fflush(stderr);
  abort();
}

uint32_t dbGetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

uint64_t dbGetMicroseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

uint32_t dbGetThreadId() { return static_cast<uint32_t>(gettid()); }

unsigned dbGetProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? unsigned(n) : 1;
}

// ---------------------------------------------------------------------------
// Process-local primitives

void dbLocalEvent::wait(dbMutex& mutex) {
  mutex.unlock();
  {
    std::unique_lock<std::mutex> guard(m);
    cv.wait(guard, [this] { return signaled; });
  }
  mutex.lock();
}

bool dbLocalEvent::wait(dbMutex& mutex, uint32_t timeoutMs) {
  mutex.unlock();
  bool result;
  {
    std::unique_lock<std::mutex> guard(m);
    result = cv.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return signaled; });
  }
  mutex.lock();
  return result;
}

void dbLocalEvent::signal() {
  std::lock_guard<std::mutex> guard(m);
  signaled = true;
  cv.notify_all();
}

void dbLocalEvent::reset() {
  std::lock_guard<std::mutex> guard(m);
  signaled = false;
}

void dbLocalSemaphore::wait(dbMutex& mutex) {
  mutex.unlock();
  {
    std::unique_lock<std::mutex> guard(m);
    cv.wait(guard, [this] { return count > 0; });
    count -= 1;
  }
  mutex.lock();
}

void dbLocalSemaphore::signal(unsigned n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(m);
  count += n;
  cv.notify_all();
}

namespace {
struct ThreadStart {
  dbThread::thread_proc_t function;
  void* argument;
};

void* threadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.function(start.argument);
  return nullptr;
}
}  // namespace

dbThread::~dbThread() {
  if (started) pthread_detach(handle);
}

void dbThread::create(thread_proc_t function, void* argument) {
  auto* start = new ThreadStart{function, argument};
  int rc = pthread_create(&handle, nullptr, threadTrampoline, start);
  dbAssert(rc == 0);
  started = true;
}

void dbThread::join() {
  if (!started) return;
  pthread_join(handle, nullptr);
  started = false;
}

// ---------------------------------------------------------------------------
// Named objects

const char* dbFailNamedObjectSuffix = nullptr;

namespace {

// Every named block starts with this signature, so that an object left by an
// incompatible build, or by another kind of object with the same name, is refused.
constexpr uint32_t kBlockSignature = 0x4B4C4431;  // "KLD1"

bool injectedFailure(const std::string& name) {
  const char* suffix = dbFailNamedObjectSuffix;
  if (suffix == nullptr) return false;
  size_t n = strlen(suffix);
  return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
}

long futexWait(const uint32_t* word, uint32_t expected, const timespec* relative) {
  return syscall(SYS_futex, word, FUTEX_WAIT, expected, relative, nullptr, 0);
}

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative) {
  return futexWait(reinterpret_cast<const uint32_t*>(word), expected, relative);
}

void futexWake(uint32_t* word, int count) { syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0); }

void futexWake(std::atomic<uint32_t>* word, int count) { futexWake(reinterpret_cast<uint32_t*>(word), count); }

// Remaining time of a wait that started at `start` (ms ticks); false when it is over.
bool remainingTime(uint32_t start, uint32_t timeoutMs, timespec* out) {
  uint32_t elapsed = dbGetTickCount() - start;
  if (elapsed >= timeoutMs) return false;
  uint32_t left = timeoutMs - elapsed;
  out->tv_sec = left / 1000;
  out->tv_nsec = long(left % 1000) * 1000000;
  return true;
}

// Waits until `ready()` holds, sleeping on the futex word while it equals `sleepValue`.
template <class Ready>
bool futexWaitUntil(std::atomic<uint32_t>* word, uint32_t sleepValue, uint32_t timeoutMs, Ready ready) {
  uint32_t start = dbGetTickCount();
  while (!ready()) {
    timespec left;
    const timespec* limit = nullptr;
    if (timeoutMs != 0xFFFFFFFF) {
      if (!remainingTime(start, timeoutMs, &left)) return false;
      limit = &left;
    }
    futexWait(word, sleepValue, limit);
  }
  return true;
}

// A named block that starts with the signature: made fresh by create, and accepted
// by open only when it was made by a compatible build for the same purpose.
template <class Block>
Block* createBlock(dbSharedMemory& memory, const std::string& name) {
  if (!memory.create(name, sizeof(Block))) return nullptr;
  auto* block = static_cast<Block*>(memory.get());
  block->signature = kBlockSignature;
  return block;
}

template <class Block>
Block* openBlock(dbSharedMemory& memory, const std::string& name) {
  if (!memory.open(name, sizeof(Block))) return nullptr;
  auto* block = static_cast<Block*>(memory.get());
  if (block->signature == kBlockSignature) return block;
  memory.close();
  return nullptr;
}

}  // namespace

std::string dbScopedObjectName(const std::string& name) {
  std::string scoped = "/kld." + std::to_string(geteuid()) + ".";
  for (char c : name) {
    // Shared-memory names hold no further slash; escape it and the escape character.
    if (c == '/') scoped += "%2F";
    else if (c == '%') scoped += "%25";
    else scoped += c;
  }
  return scoped;
}

bool dbSharedMemory::map(int fd, size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) return false;
  base = p;
  mappedSize = size;
  return true;
}

bool dbSharedMemory::create(const std::string& name, size_t size) {
  close();
  if (injectedFailure(name)) return false;
  std::string scoped = dbScopedObjectName(name);
  shm_unlink(scoped.c_str());
  int fd = shm_open(scoped.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (ftruncate(fd, off_t(size)) != 0) {
    ::close(fd);
    shm_unlink(scoped.c_str());
    return false;
  }
  return map(fd, size);  // fresh shared memory reads as zero
}

bool dbSharedMemory::open(const std::string& name, size_t size) {
  close();
  if (injectedFailure(name)) return false;
  int fd = shm_open(dbScopedObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || size_t(st.st_size) != size) {
    ::close(fd);
    return false;
  }
  return map(fd, size);
}

void dbSharedMemory::close() {
  if (base != nullptr) munmap(base, mappedSize);
  base = nullptr;
  mappedSize = 0;
}

void dbSharedMemory::remove(const std::string& name) {
  shm_unlink(dbScopedObjectName(name).c_str());
}

// --- named semaphore: a counter in shared memory, waiters sleep on its futex.

struct dbNamedSemaphore::Block {
  uint32_t signature;
  std::atomic<uint32_t> count;
};

bool dbNamedSemaphore::create(const std::string& name) { return (block = createBlock<Block>(memory, name)) != nullptr; }

bool dbNamedSemaphore::open(const std::string& name) { return (block = openBlock<Block>(memory, name)) != nullptr; }

void dbNamedSemaphore::close() {
  memory.close();
  block = nullptr;
}

bool dbNamedSemaphore::wait(uint32_t timeoutMs) {
  auto tryTake = [this] {
    uint32_t c = block->count.load();
    while (c > 0) {
      if (block->count.compare_exchange_weak(c, c - 1)) return true;
    }
    return false;
  };
  return futexWaitUntil(&block->count, 0, timeoutMs, tryTake);
}

void dbNamedSemaphore::signal(unsigned n) {
  if (n == 0) return;
  block->count.fetch_add(n);
  futexWake(&block->count, int(n));
}

void dbNamedSemaphore::reset() { block->count.store(0); }

void dbNamedSemaphore::remove(const std::string& name) { dbSharedMemory::remove(name); }

// --- named manual-reset event: a flag in shared memory, waiters sleep on its futex.

struct dbNamedEvent::Block {
  uint32_t signature;
  std::atomic<uint32_t> signaled;
};

bool dbNamedEvent::create(const std::string& name) { return (block = createBlock<Block>(memory, name)) != nullptr; }

bool dbNamedEvent::open(const std::string& name) { return (block = openBlock<Block>(memory, name)) != nullptr; }

void dbNamedEvent::close() {
  memory.close();
  block = nullptr;
}

bool dbNamedEvent::wait(uint32_t timeoutMs) {
  return futexWaitUntil(&block->signaled, 0, timeoutMs, [this] { return block->signaled.load() != 0; });
}

void dbNamedEvent::signal() {
  block->signaled.store(1);
  futexWake(&block->signaled, 0x7FFFFFFF);
}

void dbNamedEvent::reset() { block->signaled.store(0); }

void dbNamedEvent::remove(const std::string& name) { dbSharedMemory::remove(name); }

// --- waiting for a change of a word in shared memory

bool dbWaitForChange(const uint32_t& word, uint32_t seen, uint32_t timeoutMs) {
  std::atomic_ref<uint32_t> value(const_cast<uint32_t&>(word));
  uint32_t start = dbGetTickCount();
  while (value.load() == seen) {
    timespec left;
    const timespec* limit = nullptr;
    if (timeoutMs != 0xFFFFFFFF) {
      if (!remainingTime(start, timeoutMs, &left)) return false;
      limit = &left;
    }
    futexWait(&word, seen, limit);
  }
  return true;
}

void dbWakeAll(uint32_t& word) {
  std::atomic_ref<uint32_t>(word).fetch_add(1);
  futexWake(&word, 0x7FFFFFFF);
}

// --- process-shared critical section: a robust mutex with an undo journal.

struct dbSharedCriticalSection::Block {
  uint32_t signature;
  pthread_mutex_t mutex;
  // Changes of the guarded memory made by the holder since it entered, oldest first.
  // An entry is complete before it is counted, and counted before its field changes.
  uint32_t journalLength;
  struct Entry {
    uint32_t offset;  // of the field in the guarded memory
    uint32_t value;   // its value before the change
  } journal[journalCapacity];
};

bool dbSharedCriticalSection::create(const std::string& name) {
  if (!memory.create(name, sizeof(Block))) return false;
  block = static_cast<Block*>(memory.get());
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  int rc = pthread_mutex_init(&block->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    close();
    return false;
  }
  block->signature = kBlockSignature;
  return true;
}

bool dbSharedCriticalSection::open(const std::string& name) {
  return (block = openBlock<Block>(memory, name)) != nullptr;
}

void dbSharedCriticalSection::close() {
  memory.close();
  block = nullptr;
}

void dbSharedCriticalSection::guard(void* base, size_t size) {
  guarded = static_cast<char*>(base);
  guardedSize = size;
}

bool dbSharedCriticalSection::enter() {
  int rc;
  do {
    rc = pthread_mutex_lock(&block->mutex);
  } while (rc == EINTR);
  if (rc == EOWNERDEAD) {
    // The previous holder died inside: whatever it had changed of the guarded memory
    // is taken back, and the mutex made usable again.
    undo();
    pthread_mutex_consistent(&block->mutex);
    return true;
  }
  dbAssert(rc == 0);
  return false;
}

void dbSharedCriticalSection::undo() {
  std::atomic_ref<uint32_t> length(block->journalLength);
  uint32_t n = std::min(length.load(), journalCapacity);
  if (guarded != nullptr) {
    while (n > 0) {
      const Block::Entry& e = block->journal[--n];
      if (e.offset <= guardedSize - sizeof(uint32_t)) {
        std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(guarded + e.offset)).store(e.value);
      }
    }
  }
  length.store(0);
}

void dbSharedCriticalSection::write(uint32_t& field, uint32_t value) {
  std::atomic_ref<uint32_t> target(field);
  const uint32_t old = target.load(std::memory_order_relaxed);
  if (old == value) return;
  const size_t offset = reinterpret_cast<char*>(&field) - guarded;
  dbAssert(guarded != nullptr && offset <= guardedSize - sizeof(uint32_t));
  std::atomic_ref<uint32_t> length(block->journalLength);
  const uint32_t n = length.load(std::memory_order_relaxed);
  dbAssert(n < journalCapacity);
  // The holder may be killed between any two of these stores; the signal fences keep
  // the compiler from reordering them, and the stores of one thread reach the memory
  // in program order for the next holder, who gets the mutex through the kernel.
  block->journal[n] = {uint32_t(offset), old};
  std::atomic_signal_fence(std::memory_order_seq_cst);
  length.store(n + 1, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  target.store(value, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void dbSharedCriticalSection::write(int32_t& field, int32_t value) {
  write(reinterpret_cast<uint32_t&>(field), uint32_t(value));
}

void dbSharedCriticalSection::leave() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::atomic_ref<uint32_t>(block->journalLength).store(0, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pthread_mutex_unlock(&block->mutex);
}

void dbSharedCriticalSection::remove(const std::string& name) { dbSharedMemory::remove(name); }

// --- process-owned shared lock: an OFD write lock on byte 0 of a named object.

struct dbSharedProcessMutex::Block {
  uint32_t signature;
  std::atomic<uint32_t> held;  // 1 from enter() to leave() of the holder
};

bool dbSharedProcessMutex::attach(int descriptor) {
  void* p = mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
  if (p == MAP_FAILED) {
    ::close(descriptor);
    return false;
  }
  fd = descriptor;
  block = static_cast<Block*>(p);
  return true;
}

bool dbSharedProcessMutex::create(const std::string& name) {
  close();
  if (injectedFailure(name)) return false;
  std::string scoped = dbScopedObjectName(name);
  shm_unlink(scoped.c_str());
  int descriptor = shm_open(scoped.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (descriptor < 0) return false;
  if (ftruncate(descriptor, off_t(sizeof(Block))) != 0) {
    ::close(descriptor);
    shm_unlink(scoped.c_str());
    return false;
  }
  if (!attach(descriptor)) {
    shm_unlink(scoped.c_str());
    return false;
  }
  block->signature = kBlockSignature;
  return true;
}

bool dbSharedProcessMutex::open(const std::string& name) {
  close();
  if (injectedFailure(name)) return false;
  int descriptor = shm_open(dbScopedObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (descriptor < 0) return false;
  struct stat st;
  if (fstat(descriptor, &st) != 0 || st.st_uid != geteuid() || size_t(st.st_size) != sizeof(Block)) {
    ::close(descriptor);
    return false;
  }
  if (!attach(descriptor)) return false;
  if (block->signature != kBlockSignature) {
    close();
    return false;
  }
  return true;
}

void dbSharedProcessMutex::close() {
  if (block != nullptr) munmap(block, sizeof(Block));
  if (fd >= 0) ::close(fd);  // drops the lock if this process still held it
  block = nullptr;
  fd = -1;
}

bool dbSharedProcessMutex::enter() {
  {
    std::unique_lock<std::mutex> guard(gateMutex);
    gateFree.wait(guard, [this] { return !gateClosed; });
    gateClosed = true;
  }
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  int rc;
  while ((rc = fcntl(fd, F_OFD_SETLKW, &fl)) != 0 && errno == EINTR) {
  }
  dbAssert(rc == 0);
  return block->held.exchange(1) != 0;
}

void dbSharedProcessMutex::leave() {
  block->held.store(0);
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  fcntl(fd, F_OFD_SETLK, &fl);
  {
    std::lock_guard<std::mutex> guard(gateMutex);
    gateClosed = false;
  }
  gateFree.notify_one();
}

void dbSharedProcessMutex::remove(const std::string& name) { dbSharedMemory::remove(name); }

// --- initialisation and liveness lock

namespace {
constexpr off_t kInitializationByte = 0;
constexpr off_t kLivenessByte = 1;
constexpr off_t kFirstSlotByte = 2;
}  // namespace

bool dbProcessLock::open(const std::string& name) {
  close();
  if (injectedFailure(name)) return false;
  scopedName = dbScopedObjectName(name);
  return reopen();
}

bool dbProcessLock::reopen() {
  if (fd >= 0) ::close(fd);
  fd = shm_open(scopedName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    close();
    return false;
  }
  return true;
}

// True when the lock file this process holds is still the one its name refers to
// (the last process to close a database removes the name).
bool dbProcessLock::isCurrent() const {
  int probe = shm_open(scopedName.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (probe < 0) return false;
  struct stat mine, named;
  bool same = fstat(fd, &mine) == 0 && fstat(probe, &named) == 0 && mine.st_ino == named.st_ino &&
              mine.st_dev == named.st_dev;
  ::close(probe);
  return same;
}

void dbProcessLock::remove() { shm_unlink(scopedName.c_str()); }

void dbProcessLock::close() {
  if (fd >= 0) {
    // Closing drops the locks only with the last descriptor of the description; a
    // child forked meanwhile holds another one and would keep them, the
    // initialisation lock included, until it ends.
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // the whole file
    fcntl(fd, F_OFD_SETLK, &fl);
    ::close(fd);
  }
  fd = -1;
  slot = -1;
}

bool dbProcessLock::setLock(short type, off_t start, bool wait) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  int rc;
  do {
    rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool dbProcessLock::lockInitialization() {
  while (true) {
    if (!setLock(F_WRLCK, kInitializationByte, true)) return false;
    if (isCurrent()) return true;
    // The file was removed by the last closer while this process waited for it.
    if (!reopen()) return false;
  }
}

void dbProcessLock::unlockInitialization() { setLock(F_UNLCK, kInitializationByte, false); }

bool dbProcessLock::becomeLive() {
  // Called with the initialisation lock held, so no other process changes its
  // liveness lock meanwhile: an exclusive lock succeeds exactly when nobody is live.
  bool first = setLock(F_WRLCK, kLivenessByte, false);
  setLock(F_RDLCK, kLivenessByte, true);  // converts atomically, or joins the others
  return first;
}

bool dbProcessLock::isLastLive() {
  bool last = setLock(F_WRLCK, kLivenessByte, false);
  if (last) setLock(F_RDLCK, kLivenessByte, false);  // a failed attempt keeps the shared lock
  return last;
}

int dbProcessLock::claimSlot(int limit) {
  for (int i = 0; i < limit; i++) {
    if (setLock(F_WRLCK, kFirstSlotByte + i, false)) {
      slot = i;
      return i;
    }
  }
  return -1;
}

void dbProcessLock::releaseSlot() {
  if (slot >= 0) setLock(F_UNLCK, kFirstSlotByte + slot, false);
  slot = -1;
}

bool dbProcessLock::isSlotLive(int k) {
  if (k == slot) return true;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kFirstSlotByte + k;
  fl.l_len = 1;
  // A slot that cannot be probed counts as live: its locks are never taken away.
  return fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
}

int dbProcessLock::countLiveSlots(int limit) {
  int count = 0;
  for (int i = 0; i < limit; i++) {
    if (isSlotLive(i)) count += 1;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Thread pool

dbPooledThread::dbPooledThread(dbThreadPool* owner) : pool(owner) { thread.create(loop, this); }

dbPooledThread::~dbPooledThread() { thread.join(); }

void dbPooledThread::loop(void* arg) { static_cast<dbPooledThread*>(arg)->run(); }

void dbPooledThread::run() {
  dbCriticalSection cs(pool->mutex);
  while (true) {
    startSem.wait(pool->mutex);
    if (!running) break;
    // The pool mutex guards only the idle list: pooled functions run in parallel.
    pool->mutex.unlock();
    function(argument);
    pool->mutex.lock();
    readySem.signal();
  }
  readySem.signal();
}

dbPooledThread* dbThreadPool::create(dbThread::thread_proc_t function, void* argument) {
  dbCriticalSection cs(mutex);
  dbPooledThread* t = freeThreads;
  if (t != nullptr) {
    freeThreads = t->next;
  } else {
    t = new dbPooledThread(this);
  }
  t->function = function;
  t->argument = argument;
  t->startSem.signal();
  return t;
}

void dbThreadPool::join(dbPooledThread* thread) {
  dbCriticalSection cs(mutex);
  thread->readySem.wait(mutex);
  thread->next = freeThreads;
  freeThreads = thread;
}

dbThreadPool::~dbThreadPool() {
  dbCriticalSection cs(mutex);
  while (dbPooledThread* t = freeThreads) {
    freeThreads = t->next;
    t->running = false;
    t->startSem.signal();
    t->readySem.wait(mutex);
    mutex.unlock();  // the thread takes the pool mutex once more on its way out
    delete t;
    mutex.lock();
  }
}
