// The readers-writer lock shared by the threads of all processes that open one
// database. Its state is the monitor record; every change of it happens inside the
// process-shared critical section "%s.cs"; waiting threads sleep on the semaphores
// "%s.ws" (writers), "%s.rs" (readers) and "%s.us" (the upgrading reader).
//
// Invariants whenever no thread is inside "%s.cs":
//   - nWriters is 0 or 1; when it is 1, nReaders is 0 (a committing thread counts as
//     a reader);
//   - writeAccess is true exactly for the thread counted in nWriters, and
//     writerThreadId holds its id;
//   - every waiting thread is counted once in nWaitingReaders or nWaitingWriters; an
//     upgrading reader is counted in both nReaders and nWaitingWriters, with
//     waitForUpgrade = 1;
//   - a releaser counts the threads it wakes before it wakes them, so a woken thread
//     finds itself already counted.
// Lock order: stopTimerMutex, then "%s.mcs", then "%s.cs". Nobody waits on a
// semaphore inside "%s.cs" (a zero-time attempt to take one is no wait).
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
      if (holderDied) {
        // The previous updater died inside its transaction, whose half-done work is in
        // the working index: start again from the committed state.
        cs.enter();
        repairAfterDeadWriter();
        cs.leave();
      }
    }
  } else if (kind != dbSharedLock) {
    if (!ctx->writeAccess) {
      dbAssert(accessType != dbReadOnly && accessType != dbConcurrentRead);
      cs.enter();
      if (ctx->readAccess) {
        dbAssert(monitor->nWriters == 0);
        if (monitor->nReaders == 1) {
          monitor->nWriters = 1;
          monitor->nReaders = 0;
        } else {
          if (monitor->waitForUpgrade) {
            cs.leave();
            reportError(dbDeadlock, "Deadlock is caused by upgrading shared locks to exclusive");
          }
          monitor->waitForUpgrade = 1;
          monitor->nWaitingWriters += 1;
          cs.leave();
          waitForLock(upgradeSem, Waiter::upgrader);
          cs.enter();
        }
        ctx->readAccess = false;
      } else if (monitor->nWriters == 0 && monitor->nReaders == 0) {
        monitor->nWriters = 1;
      } else {
        monitor->nWaitingWriters += 1;
        cs.leave();
        waitForLock(writeSem, Waiter::writer);
        cs.enter();
      }
      if (monitor->commitRunning && kind != dbCommitLock) {
        // No commit runs while a thread holds the exclusive lock: the committing thread
        // died after it had turned its lock into a shared one, and its transaction,
        // committed or not, has to be settled before anything is built on it. (An
        // updater taking the commit lock settled it when it got the mutator lock.)
        repairAfterDeadWriter();
      }
      monitor->writerThreadId = ctx->threadId;
      ctx->writeAccess = true;
      cs.leave();
    } else if (monitor->writerThreadId != ctx->threadId) {
      reportError(dbLockRevoked, "Lock is revoked by some other client");
    }
  } else if (!ctx->readAccess && !ctx->writeAccess) {
    cs.enter();
    if (monitor->nWriters + monitor->nWaitingWriters == 0) {
      monitor->nReaders += 1;
    } else {
      monitor->nWaitingReaders += 1;  // writers go first
      cs.leave();
      waitForLock(readSem, Waiter::reader);
      cs.enter();
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

bool dbDatabase::lockHandedOver(Waiter who) const {
  if (who == Waiter::reader) return monitor->nWriters == 0 && monitor->nReaders >= 1;
  return monitor->nWriters == 1 && monitor->nReaders == 0;
}

// Called inside "%s.cs" when a wait timed out: the holder is presumed dead. Returns
// true when the waiting thread now holds the lock.
bool dbDatabase::takeOverLock(Waiter who) {
  switch (who) {
    case Waiter::upgrader:
      if (monitor->nReaders > 1) monitor->nReaders -= 1;  // one reader presumed dead
      if (monitor->nReaders != 1) return false;
      monitor->nWriters = 1;
      monitor->nReaders = 0;
      monitor->nWaitingWriters -= 1;
      monitor->waitForUpgrade = 0;
      return true;
    case Waiter::writer:
      if (monitor->nWriters != 0) {
        // An updater waiting to commit has repaired what a dead updater left when it
        // got the mutator lock; repairing now would discard its own transaction.
        if (threadContext.get()->mutatorLocked) {
          monitor->writerThreadId = 0;
        } else {
          repairAfterDeadWriter();
        }
      } else if (monitor->nReaders > 0 && --monitor->nReaders != 0) {
        return false;
      }
      monitor->nWriters = 1;
      monitor->nWaitingWriters -= 1;
      return true;
    case Waiter::reader:
      if (monitor->nWriters != 0) {
        repairAfterDeadWriter();
        monitor->nWriters = 0;
      } else if (monitor->nWaitingWriters > 0) {
        monitor->nWaitingWriters -= 1;  // a waiting writer presumed dead
      }
      monitor->nReaders += 1;
      monitor->nWaitingReaders -= 1;
      return true;
  }
  return false;
}

// The writer died in the middle of a transaction or of its commit: discard what it had
// not committed. A process that cannot write leaves the repair to the next writer and
// reads the committed state meanwhile. REQUIRES: "%s.cs".
void dbDatabase::repairAfterDeadWriter() {
  monitor->writerThreadId = 0;
  monitor->commitRunning = 0;
  if (!remapIfExtended()) {
    monitor->recoveryNeeded = 1;
    return;
  }
  // A commit that died between the switch of the header and its last step, or an
  // updater's commit that had already shown its new state to concurrent readers,
  // left the monitor's copy of the committed root behind the header.
  monitor->committedRoot = header->activeRoot;
  if (accessType == dbReadOnly || accessType == dbConcurrentRead) {
    monitor->recoveryNeeded = 1;
    return;
  }
  recoverAfterCrash();
  monitor->recoveryNeeded = 0;
}

void dbDatabase::waitForLock(dbNamedSemaphore& sem, Waiter who) {
  if (commitDelay != 0) delayedCommitEvent.signal();  // a pending delayed commit runs now
  while (true) {
    bool signaled = sem.wait(waitLockTimeout);
    cs.enter();
    // A releaser counts the thread it wakes inside "%s.cs" and signals before it
    // leaves: a wait that timed out just before that has still been handed the lock,
    // and must take it rather than take the lock over from a holder presumed dead.
    if (!signaled) signaled = sem.wait(0);
    if (signaled && lockHandedOver(who)) {
      cs.leave();
      return;
    }
    bool done = false;
    if (!signaled) {
      uint32_t now = dbGetTickCount();
      if (now - monitor->lastLockBreakTime >= waitLockTimeout) {
        monitor->lastLockBreakTime = now;
        done = takeOverLock(who);
      }
    }
    cs.leave();
    if (done) return;
  }
}

void dbDatabase::unlockDatabase(dbDatabaseThreadContext* ctx) {
  resetCursors(ctx);
  if (ctx->writeAccess) {
    cs.enter();
    monitor->nWriters -= 1;
    monitor->writerThreadId = 0;
    dbAssert(monitor->nWriters == 0 && !monitor->waitForUpgrade);
    if (monitor->nWaitingWriters > 0) {
      monitor->nWaitingWriters -= 1;
      monitor->nWriters = 1;
      writeSem.signal(1);
    } else if (monitor->nWaitingReaders > 0) {
      int32_t n = monitor->nWaitingReaders;
      monitor->nReaders = n;
      monitor->nWaitingReaders = 0;
      readSem.signal(unsigned(n));
    }
    cs.leave();
  } else if (ctx->readAccess) {
    cs.enter();
    monitor->nReaders -= 1;
    if (monitor->nReaders == 1 && monitor->waitForUpgrade) {
      // The remaining reader is the one waiting to upgrade.
      dbAssert(monitor->nWriters == 0);
      monitor->waitForUpgrade = 0;
      monitor->nWaitingWriters -= 1;
      monitor->nWriters = 1;
      monitor->nReaders = 0;
      upgradeSem.signal(1);
    } else if (monitor->nReaders == 0 && monitor->nWaitingWriters > 0) {
      dbAssert(monitor->nWriters == 0 && !monitor->waitForUpgrade);
      monitor->nWaitingWriters -= 1;
      monitor->nWriters = 1;
      writeSem.signal(1);
    }
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
