// The readers-writer lock shared by the threads of all processes that open one
// database. Its state is the monitor record; every change of it happens inside the
// process-shared critical section "%s.cs", which journals the changes, so that a
// process killed inside leaves the state as it found it. Each process accounts for
// its own threads in its entry of the monitor (dbProcessEntry); a waiting thread
// sleeps on its process's wake word.
//
// Invariants whenever no thread is inside "%s.cs":
//   - each counter of the monitor is the sum of the processes' entries; none is
//     negative;
//   - nWriters is 0 or 1; when it is 1, nReaders is 0 (a committing thread counts as
//     a reader);
//   - writeAccess is true exactly for the thread of the process counted in nWriters
//     that took the lock, and writerThreadId holds its id;
//   - every waiting thread is counted once in nWaitingReaders or nWaitingWriters; an
//     upgrading reader is counted in both nReaders and nWaitingWriters, with
//     waitForUpgrade = 1;
//   - a releaser counts the lock as held by the process it hands it to, and marks it
//     handed over, before it wakes that process's waiting threads.
// A thread that has waited for the lock wait timeout looks for processes that died
// (their slot in "%s.in" is free) and removes exactly what their entries hold and wait
// for. A live process keeps its locks however long it takes; without a timeout nobody
// looks.
// Lock order: stopTimerMutex, then "%s.mcs", then "%s.cs". Nobody waits inside "%s.cs"
// (the threads that wait leave it first).
#include <algorithm>
#include <atomic>
#include <ctime>

#include "database.h"

namespace {
uint64_t secondsNow() { return uint64_t(time(nullptr)); }
}  // namespace

bool dbDatabase::lockDatabase(dbLockType kind) {
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbAssert(ctx != NULL);
  if (commitDelay != 0 && kind != dbCommitLock) {
    dbCriticalSection guard(stopTimerMutex);
    std::atomic_ref<int32_t>(monitor->pendingLockRequests).fetch_add(1);
    cancelDelayedCommit(ctx);
  }
  if (accessType == dbConcurrentUpdate && kind != dbCommitLock) {
    // Updaters run one at a time under the mutator lock; the exclusive lock is taken
    // only to commit, so readers of other processes keep going meanwhile.
    if (!ctx->mutatorLocked) {
      bool holderDied = mutatorCs.enter();
      ctx->mutatorLocked = true;
      cs.enter();
      set(ownEntry().updating, 1);
      // The previous updater died inside its transaction or its commit, whose work
      // is in the working index, or a dead process left that index to be repaired:
      // start again from the committed state. Until then the file needs recovery.
      const bool repair = holderDied || monitor->recoveryNeeded;
      if (repair) set(monitor->recoveryNeeded, std::max(monitor->recoveryNeeded, dbRebuildWorkingIndex));
      cs.leave();
      if (repair) repairForUpdater(ctx);
    }
  } else if (kind != dbSharedLock) {
    if (!ctx->writeAccess) {
      dbAssert(accessType != dbReadOnly && accessType != dbConcurrentRead);
      cs.enter();
      acquireExclusive(ctx);
      set(monitor->writerThreadId, ctx->threadId);
      ctx->writeAccess = true;
      cs.leave();
    } else if (monitor->writerThreadId != ctx->threadId) {
      reportError(dbLockRevoked, "Lock is revoked by some other client");
    }
  } else if (!ctx->readAccess && !ctx->writeAccess) {
    cs.enter();
    dbProcessEntry& me = ownEntry();
    if (monitor->nWriters + monitor->nWaitingWriters == 0) {
      add(monitor->nReaders, 1);
      add(me.readers, 1);
    } else {
      add(monitor->nWaitingReaders, 1);  // writers go first
      add(me.waitingReaders, 1);
      waitForLock(Waiter::reader);
    }
    ctx->readAccess = true;
    cs.leave();
  }
  if (kind == dbCommitLock) return true;
  if (commitDelay != 0) {
    dbCriticalSection guard(stopTimerMutex);
    std::atomic_ref<int32_t>(monitor->pendingLockRequests).fetch_sub(1);
  }
  return beginTransaction(ctx);
}

// Takes the exclusive lock for the calling thread, upgrading its shared lock when it
// holds one; returns inside "%s.cs" with the lock counted for its process.
void dbDatabase::acquireExclusive(dbDatabaseThreadContext* ctx) {
  dbProcessEntry& me = ownEntry();
  if (ctx->readAccess) {
    dbAssert(monitor->nWriters == 0);
    if (monitor->nReaders == 1) {
      set(monitor->nWriters, 1);
      set(monitor->nReaders, 0);
      add(me.readers, -1);
      add(me.writers, 1);
    } else {
      if (monitor->waitForUpgrade) {
        cs.leave();
        reportError(dbDeadlock, "Deadlock is caused by upgrading shared locks to exclusive");
      }
      set(monitor->waitForUpgrade, 1);
      add(monitor->nWaitingWriters, 1);
      set(me.upgrading, 1);
      add(me.waitingWriters, 1);
      waitForLock(Waiter::upgrader);
    }
    ctx->readAccess = false;
  } else if (monitor->nWriters == 0 && monitor->nReaders == 0) {
    set(monitor->nWriters, 1);
    add(me.writers, 1);
  } else {
    add(monitor->nWaitingWriters, 1);
    add(me.waitingWriters, 1);
    waitForLock(Waiter::writer);
  }
}

// The calling thread, counted as waiting, waits until the lock is handed to its
// process and takes it. Returns inside "%s.cs".
void dbDatabase::waitForLock(Waiter who) {
  if (commitDelay != 0) delayedCommitEvent.signal();  // a pending delayed commit runs now
  dbProcessEntry& me = ownEntry();
  uint32_t waitStart = dbGetTickCount();
  while (!takeHandedOverLock(who)) {
    // Read inside "%s.cs": a hand-over after it changes the word, so none is missed.
    const uint32_t seen = std::atomic_ref<uint32_t>(me.wakeCount).load();
    uint32_t left = dbWaitForever;
    if (waitLockTimeout != dbWaitForever) {
      const uint32_t waited = dbGetTickCount() - waitStart;
      left = waited >= waitLockTimeout ? 1 : std::max<uint32_t>(waitLockTimeout - waited, 1);
    }
    cs.leave();
    const bool woken = dbWaitForChange(me.wakeCount, seen, left);
    cs.enter();
    if (!woken && waitLockTimeout != dbWaitForever && dbGetTickCount() - waitStart >= waitLockTimeout) {
      // As long as the lock wait timeout: a holder may have died.
      removeDeadProcesses();
      waitStart = dbGetTickCount();
    }
  }
}

// Takes a lock handed to the calling thread's process for a waiter of its kind.
bool dbDatabase::takeHandedOverLock(Waiter who) {
  dbProcessEntry& me = ownEntry();
  int32_t& handedOver = who == Waiter::reader   ? me.readersHandedOver
                        : who == Waiter::writer ? me.writerHandedOver
                                                : me.upgradeHandedOver;
  if (handedOver == 0) return false;
  add(handedOver, -1);
  return true;
}

// Hands the lock to the waiters it is free for, as every release does: the exclusive
// lock to the upgrading reader once it is the only reader left, or else to a waiting
// writer once no reader is left; when no writer waits, the shared lock to every
// waiting reader.
void dbDatabase::handOverLock() {
  dbMonitor* m = monitor;
  if (m->nWriters != 0) return;
  const int limit = int(m->processSlotLimit);
  if (m->waitForUpgrade) {
    if (m->nReaders != 1) return;
    for (int k = 0; k < limit; k++) {
      dbProcessEntry& e = m->processes[k];
      if (e.upgrading == 0) continue;
      set(e.upgrading, 0);
      add(e.waitingWriters, -1);
      add(e.readers, -1);
      add(e.writers, 1);
      set(e.upgradeHandedOver, 1);
      set(m->waitForUpgrade, 0);
      add(m->nWaitingWriters, -1);
      set(m->nReaders, 0);
      set(m->nWriters, 1);
      dbWakeAll(e.wakeCount);
      return;
    }
    return;
  }
  if (m->nWaitingWriters > 0) {
    if (m->nReaders != 0) return;
    for (int i = 0; i < limit; i++) {
      const int k = (m->nextWriterSlot + i) % limit;  // each process in turn
      dbProcessEntry& e = m->processes[k];
      if (e.waitingWriters == 0) continue;
      add(e.waitingWriters, -1);
      add(e.writers, 1);
      set(e.writerHandedOver, 1);
      add(m->nWaitingWriters, -1);
      set(m->nWriters, 1);
      set(m->nextWriterSlot, (k + 1) % limit);
      dbWakeAll(e.wakeCount);
      return;
    }
    return;
  }
  admitWaitingReaders();
}

// Lets every waiting reader in, whether writers wait or not.
void dbDatabase::admitWaitingReaders() {
  if (monitor->nWaitingReaders == 0) return;
  const int limit = int(monitor->processSlotLimit);
  for (int k = 0; k < limit; k++) {
    dbProcessEntry& e = monitor->processes[k];
    const int32_t n = e.waitingReaders;
    if (n == 0) continue;
    add(e.readers, n);
    add(e.readersHandedOver, n);
    set(e.waitingReaders, 0);
    dbWakeAll(e.wakeCount);
  }
  add(monitor->nReaders, monitor->nWaitingReaders);
  set(monitor->nWaitingReaders, 0);
}

// Removes what every dead process held and waited for, and hands the lock on. True
// when there was such a process.
bool dbDatabase::removeDeadProcesses() {
  bool removed = false;
  const int limit = int(monitor->processSlotLimit);
  for (int k = 0; k < limit; k++) {
    if (k == processSlot || monitor->processes[k].isEmpty() || processLock.isSlotLive(k)) continue;
    removeProcess(k);
    removed = true;
  }
  if (removed) {
    set(monitor->lastLockBreakTime, dbGetTickCount());
    handOverLock();
  }
  return removed;
}

// Takes the entry of the process of slot k, which is gone, out of the lock: exactly
// what it held and waited for. A transaction it had under the exclusive lock is
// discarded; a commit it had under way is settled.
void dbDatabase::removeProcess(int k) {
  dbProcessEntry& e = monitor->processes[k];
  // An exclusive lock handed over but never taken was never written under: an
  // updater of another process may be in the middle of its transaction meanwhile,
  // since updaters take the exclusive lock only to commit, and must not be repaired.
  const bool wrote = e.writers > e.writerHandedOver + e.upgradeHandedOver;
  const bool committing = e.committing != 0, updating = e.updating != 0;
  add(monitor->nReaders, -e.readers);
  add(monitor->nWriters, -e.writers);
  add(monitor->nWaitingReaders, -e.waitingReaders);
  add(monitor->nWaitingWriters, -e.waitingWriters);
  add(monitor->waitForUpgrade, -e.upgrading);
  add(monitor->commitRunning, -e.committing);
  for (int32_t* field : {&e.readers, &e.writers, &e.waitingReaders, &e.waitingWriters, &e.upgrading,
                         &e.readersHandedOver, &e.writerHandedOver, &e.upgradeHandedOver, &e.committing,
                         &e.updating}) {
    set(*field, 0);
  }
  dbAssert(monitor->nReaders >= 0 && monitor->nWriters >= 0 && monitor->nWaitingReaders >= 0 &&
           monitor->nWaitingWriters >= 0 && monitor->waitForUpgrade >= 0 && monitor->commitRunning >= 0);
  if (wrote) {
    // Nobody else holds the lock, nor the mutator lock that an updater holds while it
    // holds this one: the repair rewrites nothing that anyone reads or writes.
    repairAfterDeadWriter();
  } else if (committing) {
    settleDeadCommit();
  } else if (updating) {
    // An updater died inside its transaction. An updater that holds the mutator lock
    // now got it after that and repairs (or has repaired) itself; else the next one
    // will, and until then the file needs recovery.
    bool otherUpdater = false;
    for (int j = 0; j < int(monitor->processSlotLimit); j++) otherUpdater |= monitor->processes[j].updating != 0;
    if (!otherUpdater) set(monitor->recoveryNeeded, std::max(monitor->recoveryNeeded, dbRebuildWorkingIndex));
  }
}

// The writer died in the middle of a transaction or of its commit: discard what it had
// not committed. A process that cannot write leaves the repair to the next writer and
// reads the committed state meanwhile. REQUIRES: "%s.cs", and no live process reads
// the working index.
void dbDatabase::repairAfterDeadWriter() {
  set(monitor->writerThreadId, 0);
  set(monitor->commitRunning, 0);
  if (!remapIfExtended()) {
    set(monitor->recoveryNeeded, dbReadCommittedState);
    return;
  }
  // A commit that died between the switch of the header and its last step, or an
  // updater's commit that had already shown its new state to concurrent readers,
  // left the monitor's copy of the committed root behind the header.
  set(monitor->committedRoot, header->activeRoot);
  if (accessType == dbReadOnly || accessType == dbConcurrentRead) {
    set(monitor->recoveryNeeded, dbReadCommittedState);
    return;
  }
  recoverAfterCrash();
  set(monitor->recoveryNeeded, 0);
}

// A process died inside its commit, holding the shared lock: its new state is the
// committed one or not, as the header says, and complete either way. Readers that got
// in during the commit read that state, and readers go on reading it, so that none
// sees another state in the middle of its transaction; the next writer, once the
// exclusive lock has let them all out, repairs the working index.
void dbDatabase::settleDeadCommit() {
  set(monitor->recoveryNeeded, std::max(monitor->recoveryNeeded, dbRebuildWorkingIndex));
}

// An updater that has to repair the working index first takes the exclusive lock, so
// that no reader still reads a state the repair rewrites, and gives it back after.
void dbDatabase::repairForUpdater(dbDatabaseThreadContext* ctx) {
  const bool reading = ctx->readAccess;
  cs.enter();
  acquireExclusive(ctx);
  set(monitor->writerThreadId, ctx->threadId);
  ctx->writeAccess = true;
  removeDeadProcesses();  // whatever dead updaters left is repaired here
  repairAfterDeadWriter();
  if (!reading) releaseLock(ctx);  // a reader keeps it: it upgraded to commit anyway
  cs.leave();
}

// Gives back the calling thread's shared or exclusive lock and hands it on.
void dbDatabase::releaseLock(dbDatabaseThreadContext* ctx) {
  dbProcessEntry& me = ownEntry();
  if (ctx->writeAccess) {
    add(monitor->nWriters, -1);
    add(me.writers, -1);
    set(monitor->writerThreadId, 0);
    dbAssert(monitor->nWriters == 0 && !monitor->waitForUpgrade);
  } else if (ctx->readAccess) {
    add(monitor->nReaders, -1);
    add(me.readers, -1);
    dbAssert(monitor->nReaders >= 0 && me.readers >= 0);
  } else {
    return;
  }
  ctx->writeAccess = ctx->readAccess = false;
  handOverLock();
}

void dbDatabase::unlockDatabase(dbDatabaseThreadContext* ctx) {
  resetCursors(ctx);
  if (ctx->writeAccess || ctx->readAccess || ctx->mutatorLocked) {
    cs.enter();
    releaseLock(ctx);
    if (ctx->mutatorLocked) set(ownEntry().updating, 0);
    cs.leave();
  }
  ctx->writeAccess = ctx->readAccess = false;
  if (ctx->mutatorLocked) {
    ctx->mutatorLocked = false;
    mutatorCs.leave();
  }
}


// ---------------------------------------------------------------------------
// Delayed commit: a commit handed to a thread that waits for the commit delay, so
// that consecutive transactions of one thread are written together.

void dbDatabase::cancelDelayedCommit(dbDatabaseThreadContext* ctx) {
  // REQUIRES: stopTimerMutex.
  if (pendingCommit != ctx || !ctx->commitDelayed) return;
  pendingCommit = nullptr;
  ctx->commitDelayed = false;
  if (delayStart != 0) {
    uint64_t elapsed = secondsNow() - delayStart;
    remainingDelay = elapsed >= remainingDelay ? 0 : uint32_t(remainingDelay - elapsed);
  }
  delayedCommitEvent.signal();
}

void dbDatabase::startDelayedCommitThread() {
  remainingDelay = commitDelay;
  delayStart = 0;
  stopDelayedCommit = false;
  pendingCommit = nullptr;
  startTimerEvent.reset();
  threadStartedEvent.reset();
  dbCriticalSection guard(startTimerMutex);
  delayedCommitThread.create(delayedCommitProc, this);
  threadStartedEvent.wait(startTimerMutex);
}

void dbDatabase::stopDelayedCommitThread() {
  delayedCommitEvent.signal();
  {
    dbCriticalSection guard(startTimerMutex);
    stopDelayedCommit = true;
    startTimerEvent.signal();
  }
  commitDelay = 0;
  delayedCommitThread.join();
}

void dbDatabase::delayedCommitProc(void* arg) { static_cast<dbDatabase*>(arg)->delayedCommit(); }

void dbDatabase::delayedCommit() {
  dbCriticalSection startGuard(startTimerMutex);
  threadStartedEvent.signal();
  while (!stopDelayedCommit) {
    startTimerEvent.wait(startTimerMutex);
    startTimerEvent.reset();
    bool wait = false;
    {
      dbCriticalSection guard(stopTimerMutex);
      if (!stopDelayedCommit && std::atomic_ref<int32_t>(monitor->pendingLockRequests).load() == 0) {
        delayStart = secondsNow();
        wait = true;
      }
    }
    if (wait) {
      delayedCommitEvent.wait(remainingDelay * 1000);
      delayedCommitEvent.reset();
    }
    dbCriticalSection guard(stopTimerMutex);
    delayStart = 0;
    if (dbDatabaseThreadContext* ctx = pendingCommit) {
      remainingDelay = commitDelay;
      pendingCommit = nullptr;
      threadContext.set(ctx);
      commitTransaction(ctx);
      ctx->commitDelayed = false;
      threadContext.set(nullptr);
      if (ctx->removeWhenCommitted) {
        dbCriticalSection listGuard(threadContextListMutex);
        removeContext(ctx);
      }
    }
  }
}
