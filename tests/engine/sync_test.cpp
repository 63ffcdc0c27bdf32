// The platform layer: primitives shared by processes survive the death of a
// process, the thread pool runs its functions in parallel.
#include "sync.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "testsupport.h"

using testsupport::Child;

namespace {

std::string objectName(const char* kind) { return testsupport::uniqueName(kind); }

TEST(NamedSemaphore, CountsAcrossProcessesAndTimesOut) {
  std::string name = objectName("sem");
  dbNamedSemaphore sem;
  ASSERT_TRUE(sem.create(name));
  EXPECT_FALSE(sem.wait(20)) << "initial count is 0";
  Child child([&](Child& me) {
    dbNamedSemaphore joined;
    if (!joined.open(name)) return 1;
    me.send('R');
    // Two signals from the parent wake two waits.
    return joined.wait(0xFFFFFFFF) && joined.wait(10000) ? 0 : 2;
  });
  ASSERT_EQ(child.receive(), 'R');
  sem.signal(2);
  EXPECT_EQ(child.wait(), 0);
  sem.signal(3);
  sem.reset();
  EXPECT_FALSE(sem.wait(0)) << "reset drains the count";
  sem.signal(0);
  EXPECT_FALSE(sem.wait(0));
  dbNamedSemaphore::remove(name);
}

TEST(NamedEvent, ManualResetWakesEveryWaiterUntilReset) {
  std::string name = objectName("ev");
  dbNamedEvent event;
  ASSERT_TRUE(event.create(name));
  EXPECT_FALSE(event.wait(10));
  Child child([&](Child& me) {
    dbNamedEvent joined;
    if (!joined.open(name)) return 1;
    me.send('R');
    return joined.wait(0xFFFFFFFF) && joined.wait(0) ? 0 : 2;
  });
  ASSERT_EQ(child.receive(), 'R');
  event.signal();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_TRUE(event.wait(0)) << "stays signalled";
  event.reset();
  EXPECT_FALSE(event.wait(0));
  dbNamedEvent::remove(name);
}

// A process killed inside the critical section does not block the next one, which
// learns that the guarded state may be half changed.
TEST(SharedCriticalSection, SurvivesAHolderKilledInside) {
  std::string name = objectName("cs");
  dbSharedCriticalSection cs;
  ASSERT_TRUE(cs.create(name));
  Child victim([&](Child& me) {
    dbSharedCriticalSection joined;
    if (!joined.open(name)) return 1;
    joined.enter();
    me.send('E');
    pause();
    return 0;
  });
  ASSERT_EQ(victim.receive(), 'E');
  victim.kill();
  EXPECT_TRUE(cs.enter()) << "owner died";
  cs.leave();
  EXPECT_FALSE(cs.enter());
  cs.leave();
  dbSharedCriticalSection::remove(name);
}

TEST(SharedMemory, ObjectsOfTheWrongSizeOrKindAreRefused) {
  std::string name = objectName("shm");
  dbSharedMemory block;
  ASSERT_TRUE(block.create(name, 64));
  dbSharedMemory other;
  EXPECT_FALSE(other.open(name, 128));
  dbNamedEvent event;  // the same name holds no event
  EXPECT_FALSE(event.open(name));
  dbSharedMemory::remove(name);
  EXPECT_FALSE(other.open(name, 64));
}

TEST(ScopedNames, CarryTheUserAndEscapeSlashes) {
  std::string prefix = "/kld." + std::to_string(geteuid()) + ".";
  EXPECT_EQ(dbScopedObjectName("Postsift.in"), prefix + "Postsift.in");
  EXPECT_EQ(dbScopedObjectName("a/b%c"), prefix + "a%2Fb%25c");
}

// The first process to become live is told so; the others join; once the first one
// is gone (killed), the next one is first again.
TEST(ProcessLock, TellsFirstAndLastLiveProcess) {
  std::string name = objectName("lock");
  dbProcessLock lock;
  ASSERT_TRUE(lock.open(name));
  ASSERT_TRUE(lock.lockInitialization());
  EXPECT_TRUE(lock.becomeLive());
  EXPECT_EQ(lock.claimSlot(), 0);
  lock.unlockInitialization();
  Child joiner([&](Child& me) {
    dbProcessLock mine;
    if (!mine.open(name) || !mine.lockInitialization()) return 1;
    bool first = mine.becomeLive();
    int slot = mine.claimSlot();
    mine.unlockInitialization();
    me.send(first ? 'F' : 'J');
    me.send(char('0' + slot));
    pause();
    return 0;
  });
  EXPECT_EQ(joiner.receive(), 'J');
  EXPECT_EQ(joiner.receive(), '1');
  EXPECT_EQ(lock.countLiveSlots(2), 2);
  EXPECT_FALSE(lock.isLastLive());
  joiner.kill();
  EXPECT_EQ(lock.countLiveSlots(2), 1);
  EXPECT_TRUE(lock.isLastLive());
  lock.remove();
}

TEST(ThreadPool, RunsFunctionsInParallelAndReusesThreads) {
  dbThreadPool pool;
  struct Meeting {
    std::atomic<int> arrived{0};
    std::atomic<bool> bothSeen{false};
  } meeting;
  // Each function waits until the other has started: only parallel threads finish.
  auto meet = [](void* arg) {
    auto* m = static_cast<Meeting*>(arg);
    m->arrived++;
    for (int i = 0; i < 5000 && m->arrived.load() < 2; i++) usleep(1000);
    if (m->arrived.load() == 2) m->bothSeen = true;
  };
  for (int round = 0; round < 3; round++) {
    meeting.arrived = 0;
    meeting.bothSeen = false;
    dbPooledThread* a = pool.create(meet, &meeting);
    dbPooledThread* b = pool.create(meet, &meeting);
    pool.join(a);
    pool.join(b);
    EXPECT_TRUE(meeting.bothSeen) << round;
  }
}

TEST(LocalEvent, TimedWaitAndSignal) {
  dbMutex mutex;
  dbLocalEvent event;
  dbCriticalSection guard(mutex);
  EXPECT_FALSE(event.wait(mutex, 10));
  std::thread signaller([&] {
    dbCriticalSection cs(mutex);  // obtainable only while the waiter sleeps
    event.signal();
  });
  event.wait(mutex);
  signaller.join();
  EXPECT_TRUE(event.wait(mutex, 0));
  event.reset();
  EXPECT_FALSE(event.wait(mutex, 0));
}

TEST(ThreadContext, EachThreadHasItsOwnSlot) {
  dbThreadContext<int> slot;
  int mine = 1, theirs = 2;
  slot.set(&mine);
  std::thread other([&] {
    EXPECT_EQ(slot.get(), nullptr);
    slot.set(&theirs);
    EXPECT_EQ(slot.get(), &theirs);
  });
  other.join();
  EXPECT_EQ(slot.get(), &mine);
}

TEST(AssertionDeathTest, PrintsConditionFileAndLine) {
  EXPECT_DEATH(dbAssert(1 + 1 == 3), "Assertion failed: 1 \\+ 1 == 3, file .*sync_test.cpp, line [0-9]+");
}

}  // namespace
