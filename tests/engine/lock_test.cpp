// The readers-writer lock shared by the threads of several processes: upgrades and
// their deadlock, readers admitted during a commit, waiting without take-over, the
// removal of exactly the locks of a process killed holding them or inside its commit,
// with crash recovery, concurrent readers beside an updater, and stress runs of
// transfers between two counters, one of them with processes killed all along.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <vector>
#include <thread>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

namespace {

// The records every scenario works on: a counter, and two accounts whose sum
// transfers between them keep at kTotal.
struct Counter {
  dbRecord header;
  int32_t value;
};
constexpr oid_t kCounter = dbFirstUserObjectId;
constexpr oid_t kAccountA = kCounter + 1;
constexpr oid_t kAccountB = kCounter + 2;
constexpr int32_t kTotal = 1000000;

int32_t load(const int32_t& field) { return __atomic_load_n(&field, __ATOMIC_SEQ_CST); }
uint32_t load(const uint32_t& field) { return __atomic_load_n(&field, __ATOMIC_SEQ_CST); }

// Polls `condition` until it holds or `timeoutMs` passed.
bool eventually(const std::function<bool()>& condition, int timeoutMs = 20000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    usleep(500);
  }
  return true;
}

int32_t& counterOf(TestDb& db, bool forUpdate = false, oid_t oid = kCounter) {
  dbRecord* record = forUpdate ? db.getRecordForUpdate(oid) : db.getRecord(oid);
  return reinterpret_cast<Counter*>(record)->value;
}

int32_t sumOf(TestDb& db) { return counterOf(db, false, kAccountA) + counterOf(db, false, kAccountB); }

std::string bytesOf(int32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// One step of a scenario, run by an actor on its database. The answer is the command
// itself, except for 'v' and 's', which answer with four bytes.
//   r: shared lock   w: exclusive lock (an upgrade when the shared lock is held)
//   m: add 1 to the counter   v: read the counter   s: read the sum of the accounts
//   a: take 10 from account A   b: give 10 to account B   c: commit   q: quit
std::string perform(TestDb& db, char command) {
  switch (command) {
    case 'r':
      db.beginRead();
      break;
    case 'w':
      db.beginWrite();
      break;
    case 'm':
      counterOf(db, true) += 1;
      break;
    case 'v':
      return bytesOf(counterOf(db));
    case 's':
      return bytesOf(sumOf(db));
    case 'a':
      counterOf(db, true, kAccountA) -= 10;
      break;
    case 'b':
      counterOf(db, true, kAccountB) += 10;
      break;
    case 'c':
      db.commit();
      break;
  }
  return std::string(1, command);
}

// A participant of a scenario: a thread of this process sharing its database object,
// or a process with a database object of its own.
class Actor {
 public:
  virtual ~Actor() = default;
  virtual void order(char command) = 0;
  virtual char answer(int timeoutMs) = 0;  // 0 when none came in time
  // Orders `command` and returns its answer; fails the test when none comes.
  char ask(char command) {
    order(command);
    char a = answer(20000);
    EXPECT_NE(a, 0) << "no answer to '" << command << "'";
    return a;
  }
  // The counter ('v') or the sum of the accounts ('s') as the actor reads them.
  int32_t value(char command = 'v') {
    order(command);
    char bytes[4];
    for (char& b : bytes) {
      if (!answerByte(20000, &b)) {
        ADD_FAILURE() << "no value";
        return -1;
      }
    }
    int32_t v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  // True when no answer comes within a short time: the actor is blocked.
  bool silent() { return answer(100) == 0; }

 protected:
  virtual bool answerByte(int timeoutMs, char* c) = 0;
};

class ThreadActor : public Actor {
 public:
  explicit ThreadActor(TestDb& database) : db(database), thread([this] { run(); }) {}
  ~ThreadActor() override {
    order('q');
    if (!waitFor(answers, 30000)) {
      fprintf(stderr, "a thread of the scenario is stuck\n");
      abort();  // the database it uses is about to go away
    }
    thread.join();
  }
  void order(char command) override { push(orders, command); }
  char answer(int timeoutMs) override {
    char c = 0;
    return answerByte(timeoutMs, &c) ? c : 0;
  }

 protected:
  bool answerByte(int timeoutMs, char* c) override {
    if (!waitFor(answers, timeoutMs)) return false;
    *c = pop(answers);
    return true;
  }

 private:
  void run() {
    db.attach();
    while (true) {
      waitFor(orders, -1);
      char command = pop(orders);
      if (command == 'q') break;
      for (char c : perform(db, command)) push(answers, c);
    }
    db.detach();
    push(answers, 'q');
  }
  void push(std::deque<char>& queue, char c) {
    std::lock_guard<std::mutex> guard(mutex);
    queue.push_back(c);
    changed.notify_all();
  }
  char pop(std::deque<char>& queue) {
    std::lock_guard<std::mutex> guard(mutex);
    char c = queue.front();
    queue.pop_front();
    return c;
  }
  bool waitFor(std::deque<char>& queue, int timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex);
    auto ready = [&] { return !queue.empty(); };
    if (timeoutMs < 0) {
      changed.wait(guard, ready);
      return true;
    }
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready);
  }

  TestDb& db;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<char> orders, answers;
  std::thread thread;
};

struct ProcessSetup {
  std::string name, file;
  dbAccessType access = dbReadWrite;
  uint32_t timeout = dbWaitForever;
  std::string stderrFile;  // where the process's error output goes; empty: inherited
};

// Opening a database takes the lock to load the schema: scenarios start their
// processes before anyone holds it.
class ProcessActor : public Actor {
 public:
  explicit ProcessActor(const ProcessSetup& s)
      : child([s](Child& me) {
          if (!s.stderrFile.empty()) {
            int fd = ::open(s.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
          }
          TestDb db(s.access, 1048576, 1048576, 0, 1);
          if (!db.open(s.name.c_str(), s.file.c_str(), s.timeout)) return 1;
          me.send('O');
          for (char c; (c = me.hear()) != 0 && c != 'q';) {
            std::string a = perform(db, c);
            me.sendBytes(a.data(), a.size());
          }
          db.close();
          return 0;
        }) {
    EXPECT_EQ(child.receive(), 'O') << "the process could not open the database";
  }
  // Asks the process to close the database and end, which it must do.
  ~ProcessActor() override {
    if (gone) return;
    order('q');
    char c;
    while (child.receive(&c, 20000)) {
    }
    EXPECT_EQ(child.wait(), 0) << "the process did not close the database and end";
  }
  // Kills the process (SIGKILL), wherever it is.
  void kill() {
    child.kill();
    gone = true;
  }
  // Waits for the process to end by itself; its exit status, -signal when killed.
  int wait() {
    gone = true;
    return child.wait();
  }
  void order(char command) override { child.tell(command); }
  char answer(int timeoutMs) override {
    char c = 0;
    return child.receive(&c, timeoutMs) ? c : 0;
  }
  Child& process() { return child; }

 protected:
  bool answerByte(int timeoutMs, char* c) override { return child.receive(c, timeoutMs); }

 private:
  Child child;
  bool gone = false;
};

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }  // orders to a process that died
  // Creates the database with the counter at 0; this process keeps it open.
  void create(dbAccessType access = dbReadWrite, uint32_t timeout = dbWaitForever, uint32_t commitDelay = 0) {
    db = std::make_unique<TestDb>(access, 1048576, 1048576, 0, 1);
    ASSERT_TRUE(db->open(name.c_str(), file.c_str(), timeout, commitDelay));
    db->beginWrite();
    for (oid_t oid : {kCounter, kAccountA, kAccountB}) ASSERT_EQ(db->allocateRecord(sizeof(Counter)), oid);
    counterOf(*db, false, kCounter) = 0;
    counterOf(*db, false, kAccountA) = kTotal;
    counterOf(*db, false, kAccountB) = 0;
    db->commit();
  }
  ProcessSetup setup(uint32_t timeout = dbWaitForever, dbAccessType access = dbReadWrite) const {
    return ProcessSetup{name, file, access, timeout, {}};
  }
  int32_t committedCounter() {
    db->beginRead();
    int32_t value = counterOf(*db);
    db->commit();
    return value;
  }
  dbMonitor& monitor() { return *db->getMonitor(); }
  // The lock is free and nobody waits.
  void expectLockFree() {
    EXPECT_EQ(load(monitor().nReaders), 0);
    EXPECT_EQ(load(monitor().nWriters), 0);
    EXPECT_EQ(load(monitor().nWaitingReaders), 0);
    EXPECT_EQ(load(monitor().nWaitingWriters), 0);
    EXPECT_EQ(load(monitor().waitForUpgrade), 0);
    EXPECT_EQ(load(monitor().commitRunning), 0);
  }
  void expectFileClean() {
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
    EXPECT_EQ(report.unownedBytes, 0u);
  }
  void TearDown() override {
    if (db) db->close();
    db.reset();
    expectFileClean();
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("lock");
  std::string file = dir.file("lock.kld");
  std::unique_ptr<TestDb> db;
};

// Scenarios whose participants are threads of this process or processes of their own.
enum class Kind { threads, processes };

class LockScenario : public LockTest, public ::testing::WithParamInterface<Kind> {
 protected:
  std::unique_ptr<Actor> actor(uint32_t timeout = dbWaitForever) {
    if (GetParam() == Kind::threads) return std::make_unique<ThreadActor>(*db);
    return std::make_unique<ProcessActor>(setup(timeout));
  }
};

INSTANTIATE_TEST_SUITE_P(Participants, LockScenario, ::testing::Values(Kind::threads, Kind::processes),
                         [](const auto& info) { return info.param == Kind::threads ? "Threads" : "Processes"; });

// Two readers; one asks for the exclusive lock: it waits until the other commits,
// then holds the exclusive lock alone.
TEST_P(LockScenario, UpgradeWaitsForTheOtherReader) {
  create();
  auto a = actor(), b = actor();
  a->ask('r');
  b->ask('r');
  EXPECT_EQ(load(monitor().nReaders), 2);
  a->order('w');
  ASSERT_TRUE(eventually([&] { return load(monitor().waitForUpgrade) == 1; }));
  EXPECT_EQ(load(monitor().nWaitingWriters), 1);
  EXPECT_TRUE(a->silent()) << "upgraded while another reader holds the lock";
  b->ask('c');
  EXPECT_EQ(a->answer(20000), 'w');
  EXPECT_EQ(load(monitor().nWriters), 1);
  EXPECT_EQ(load(monitor().nReaders), 0);
  EXPECT_EQ(load(monitor().nWaitingWriters), 0);
  EXPECT_EQ(load(monitor().waitForUpgrade), 0);
  EXPECT_NE(load(monitor().writerThreadId), 0u);
  a->ask('m');
  a->ask('c');
  expectLockFree();
  EXPECT_EQ(committedCounter(), 1);
}

// A writer commits while two readers and a writer wait: the readers get in during the
// commit, although a writer waits; that writer gets the lock only once the committing
// thread and both readers have released theirs.
TEST_P(LockScenario, CommitAdmitsWaitingReadersBeforeTheWaitingWriter) {
  create();
  auto w1 = actor(), r1 = actor(), r2 = actor(), w2 = actor();
  w1->ask('w');
  w1->ask('m');
  r1->order('r');
  r2->order('r');
  ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingReaders) == 2; }));
  w2->order('w');
  ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingWriters) == 1; }));
  w1->ask('c');
  EXPECT_EQ(r1->answer(20000), 'r');
  EXPECT_EQ(r2->answer(20000), 'r');
  EXPECT_EQ(r1->value(), 1) << "readers see the committed change";
  EXPECT_EQ(load(monitor().nReaders), 2);
  EXPECT_EQ(load(monitor().nWriters), 0);
  EXPECT_EQ(load(monitor().nWaitingWriters), 1);
  EXPECT_TRUE(w2->silent());
  r1->ask('c');
  EXPECT_TRUE(w2->silent()) << "the writer got in while a reader holds the lock";
  EXPECT_EQ(load(monitor().nReaders), 1);
  r2->ask('c');
  EXPECT_EQ(w2->answer(20000), 'w');
  EXPECT_EQ(load(monitor().nWriters), 1);
  EXPECT_EQ(load(monitor().nReaders), 0);
  w2->ask('m');
  w2->ask('c');
  expectLockFree();
  EXPECT_EQ(committedCounter(), 2);
}

// Without a lock wait timeout a stopped holder is never presumed dead: the waiter
// keeps waiting and proceeds normally once the holder goes on and commits.
TEST_P(LockScenario, WithoutTimeoutAStoppedHolderKeepsItsLock) {
  create();
  ProcessActor holder(setup());
  auto waiter = actor();
  holder.ask('w');
  holder.ask('m');
  kill(holder.process().pid(), SIGSTOP);
  waiter->order('r');
  ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingReaders) == 1; }));
  usleep(500000);
  EXPECT_EQ(waiter->answer(0), 0) << "the lock of a stopped holder was taken";
  EXPECT_EQ(load(monitor().nWriters), 1);
  EXPECT_EQ(load(monitor().lastLockBreakTime), 0u);
  kill(holder.process().pid(), SIGCONT);
  holder.ask('c');
  EXPECT_EQ(waiter->answer(20000), 'r');
  EXPECT_EQ(waiter->value(), 1);
  waiter->ask('c');
  expectLockFree();
}

// A writer process killed while it holds the exclusive lock: a reader that has waited
// the lock wait timeout takes the lock over, repairs the database first, and sees the
// last committed state.
TEST_P(LockScenario, ReaderTakesOverTheLockOfAKilledWriter) {
  create(dbReadWrite, 2000);
  db->beginWrite();
  counterOf(*db, true) = 5;
  db->commit();
  ProcessActor writer(setup(2000));
  auto reader = actor(2000);
  writer.ask('w');
  writer.ask('m');
  reader->order('r');
  ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingReaders) == 1; }));
  auto waitStart = std::chrono::steady_clock::now();
  writer.kill();
  EXPECT_EQ(reader->answer(20000), 'r');
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - waitStart);
  EXPECT_GE(waited.count(), 1900) << "took the lock over before the timeout";
  EXPECT_EQ(reader->value(), 5) << "the dead writer's change is visible";
  EXPECT_EQ(load(monitor().nWriters), 0);
  EXPECT_EQ(load(monitor().nReaders), 1);
  reader->ask('c');
  expectLockFree();
  expectFileClean();
  // The lock and the database work on as before.
  db->beginWrite();
  EXPECT_EQ(counterOf(*db, true)++, 5);
  db->commit();
  EXPECT_EQ(committedCounter(), 6);
}

// ---------------------------------------------------------------------------

// Two readers both asking for the exclusive lock can never get it: the second
// request reports the deadlock and stops the process.
TEST_F(LockTest, TwoUpgradingThreadsReportTheDeadlock) {
  create();
  EXPECT_EXIT(
      {
        db->beginRead();
        std::thread other([&] {
          db->attach();
          db->beginRead();
          db->beginWrite();  // waits for the main thread's shared lock for ever
        });
        while (load(monitor().waitForUpgrade) == 0) usleep(500);
        db->beginWrite();
        other.join();
      },
      testing::KilledBySignal(SIGABRT), "Deadlock is caused by upgrading shared locks to exclusive");
}

TEST_F(LockTest, TwoUpgradingProcessesReportTheDeadlock) {
  create();
  ProcessActor a(setup());
  ProcessSetup second = setup();
  second.stderrFile = dir.file("stderr");
  ProcessActor b(second);
  a.ask('r');
  b.ask('r');
  a.order('w');
  ASSERT_TRUE(eventually([&] { return load(monitor().waitForUpgrade) == 1; }));
  b.order('w');
  EXPECT_EQ(b.wait(), -SIGABRT);
  std::ifstream in(second.stderrFile);
  std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(printed, "Deadlock is caused by upgrading shared locks to exclusive");
  EXPECT_TRUE(a.silent()) << "the first upgrade still waits for the dead reader";
  a.kill();
}

// A writer process killed in the middle of a commit, while it holds the lock as a
// reader: the writer that takes its lock over repairs the database, and its own
// commit is durable.
TEST_F(LockTest, WriterTakesOverFromAProcessKilledDuringCommit) {
  create(dbReadWrite, 2000);
  ProcessActor writer(setup(2000));
  Child committer([&](Child& me) {
    TestDb other(dbReadWrite, 1048576, 1048576, 0, 1);
    if (!other.open(name.c_str(), file.c_str(), 2000)) return 1;
    me.send('O');
    while (true) {
      other.beginWrite();
      counterOf(other, true) += 1;
      other.allocateRecord(4000);  // something for the commit to write
      other.commit();
    }
  });
  ASSERT_EQ(committer.receive(), 'O');
  // Stop the committer at random moments until it is caught inside a commit.
  std::mt19937 rng(7);
  bool caught = false;
  for (int attempt = 0; attempt < 20000 && !caught; attempt++) {
    usleep(useconds_t(rng() % 3000));
    kill(committer.pid(), SIGSTOP);
    eventually([&] {
      char state[64];
      snprintf(state, sizeof state, "/proc/%d/stat", committer.pid());
      std::ifstream in(state);
      std::string pid, comm, status;
      in >> pid >> comm >> status;
      return status == "T";
    });
    caught = load(monitor().commitRunning) == 1 && load(monitor().nWriters) == 0;
    if (!caught) kill(committer.pid(), SIGCONT);
  }
  ASSERT_TRUE(caught);
  committer.kill();

  ASSERT_EQ(writer.ask('w'), 'w');
  int32_t before = writer.value();
  writer.ask('m');
  writer.ask('c');
  expectLockFree();
  expectFileClean();
  // What the taker committed is in the committed state.
  writer.order('q');
  EXPECT_EQ(writer.wait(), 0);
  db->beginRead();
  auto* committed = reinterpret_cast<const Counter*>(db->baseAddress() + (db->committedHandle(kCounter) & ~15u));
  EXPECT_EQ(committed->value, before + 1);
  db->commit();
}

// A process of the scenarios below that is killed while it holds the shared lock, the
// exclusive lock with half a transfer done, or inside its commit before or after the
// switch of the header. It says 'K' when it is there and waits to be killed.
enum class Victim { reading, writing, beforeSwitch, afterSwitch };

int victimProcess(const std::string& name, const std::string& file, Victim state, Child& me) {
  static Child* self = nullptr;
  static dbTestPoint stopAt;
  self = &me;
  TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
  if (!db.open(name.c_str(), file.c_str(), 2000)) return 1;
  if (state == Victim::reading) {
    db.beginRead();
    me.send(sumOf(db) == kTotal ? 'K' : 'X');
    pause();
  }
  db.beginWrite();
  counterOf(db, true, kAccountA) -= 10;
  if (state == Victim::writing) {
    me.send('K');
    pause();
  }
  counterOf(db, true, kAccountB) += 10;
  counterOf(db, true) += 1;
  stopAt = state == Victim::beforeSwitch ? dbTestPoint::commitBeforeSwitch : dbTestPoint::commitAfterSwitch;
  dbTestHook = [](dbTestPoint point) {
    if (point != stopAt) return;
    self->send('K');
    pause();
  };
  db.commit();
  return 2;
}

// Once told 'g', reads the sum of the accounts in one transaction after another until
// the counter reaches `until` (or a minute passed); sends the number of wrong sums and
// the number of reads.
int checkingReader(const std::string& name, const std::string& file, uint32_t timeout, int32_t until, Child& me) {
  TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
  if (!db.open(name.c_str(), file.c_str(), timeout)) return 1;
  me.send('O');
  if (me.hear() != 'g') return 2;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int32_t wrong = 0, reads = 0;
  for (int32_t counter = INT32_MIN; counter < until && std::chrono::steady_clock::now() < deadline; reads++) {
    db.beginRead();
    if (sumOf(db) != kTotal) wrong++;
    counter = counterOf(db);
    db.commit();
  }
  me.sendBytes(&wrong, sizeof wrong);
  me.sendBytes(&reads, sizeof reads);
  db.close();
  return 0;
}

// A process is killed holding a lock or inside its commit. A writer (lock wait timeout
// 2 s) waits for the dead process's lock, and a reader (1 s) checks the sum of the
// accounts in every transaction meanwhile. Whoever waits out the timeout removes the
// dead process's locks and nothing else: the writer keeps its place, the reader never
// gets in while the writer is in the middle of a transfer, the dead process's
// uncommitted transfer is gone and every counter of the lock ends at 0.
TEST_F(LockTest, KilledProcessLosesExactlyItsLocks) {
  struct Case {
    const char* label;
    Victim victim;
    int32_t committed;  // what the dead process's transaction adds to the counter
  } cases[] = {
      {"reading", Victim::reading, 0},
      {"writing", Victim::writing, 0},
      {"committing, before the switch", Victim::beforeSwitch, 0},
      {"committing, after the switch", Victim::afterSwitch, 1},
  };
  constexpr int kTransfers = 3;
  create(dbReadWrite, 2000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const int32_t until = committedCounter() + c.committed + kTransfers;
    Child reader([&](Child& me) { return checkingReader(name, file, 1000, until, me); });
    ASSERT_EQ(reader.receive(), 'O');
    ProcessActor writer(setup(2000));
    Child victim([&](Child& me) { return victimProcess(name, file, c.victim, me); });
    ASSERT_EQ(victim.receive(), 'K');
    victim.kill();
    writer.order('w');
    ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingWriters) == 1; }));
    reader.tell('g');
    ASSERT_EQ(writer.answer(20000), 'w');
    for (int t = 0; t < kTransfers; t++) {
      if (t > 0) writer.ask('w');
      writer.ask('a');
      usleep(100000);  // half a transfer done: a reader let in now would see it
      writer.ask('b');
      writer.ask('m');
      writer.ask('c');
    }
    int32_t wrong = -1, reads = 0;
    ASSERT_TRUE(reader.receiveBytes(&wrong, sizeof wrong));
    ASSERT_TRUE(reader.receiveBytes(&reads, sizeof reads));
    EXPECT_EQ(wrong, 0) << "of " << reads << " reads";
    EXPECT_EQ(reader.wait(), 0);
    expectLockFree();
    EXPECT_EQ(committedCounter(), until);
  }
}

// ---------------------------------------------------------------------------
// Updaters under the mutator lock and concurrent readers

// A reader opened for concurrent reading neither waits for an updater in the middle
// of a transaction nor sees any of it; it sees each commit once it is complete.
TEST_F(LockTest, ConcurrentReaderNeverWaitsForAnUpdater) {
  create(dbConcurrentUpdate);
  ProcessActor updater(setup(dbWaitForever, dbConcurrentUpdate));
  ProcessActor reader(setup(dbWaitForever, dbConcurrentRead));
  updater.ask('w');
  updater.ask('m');
  updater.ask('a');  // half a transfer
  EXPECT_EQ(load(monitor().nWriters), 0) << "an updater holds no monitor lock";
  EXPECT_EQ(reader.ask('r'), 'r');
  EXPECT_EQ(reader.value('v'), 0);
  EXPECT_EQ(reader.value('s'), kTotal);
  reader.ask('c');
  updater.ask('b');
  reader.ask('r');  // a reader inside, while the updater's transaction goes on
  EXPECT_EQ(reader.value('v'), 0);
  updater.order('c');  // the commit waits for the reader's shared lock
  ASSERT_TRUE(eventually([&] { return load(monitor().nWaitingWriters) == 1; }));
  EXPECT_EQ(reader.value('s'), kTotal);
  reader.ask('c');
  EXPECT_EQ(updater.answer(20000), 'c');
  reader.ask('r');
  EXPECT_EQ(reader.value('v'), 1);
  EXPECT_EQ(reader.value('s'), kTotal);
  reader.ask('c');
  expectLockFree();
}

// The same under load: one process commits transfers as fast as it can while another
// reads concurrently; every read finds the sum intact and the counter never goes back.
TEST_F(LockTest, ConcurrentReaderSeesOnlyCompleteStatesUnderLoad) {
  create(dbConcurrentUpdate);
  constexpr int kTransfers = 300;
  Child updater([&](Child&) {
    TestDb other(dbConcurrentUpdate, 1048576, 1048576, 0, 1);
    if (!other.open(name.c_str(), file.c_str())) return 1;
    for (int t = 0; t < kTransfers; t++) {
      other.beginWrite();
      counterOf(other, true, kAccountA) -= t;
      counterOf(other, true) += 1;
      counterOf(other, true, kAccountB) += t;
      other.commit();
    }
    other.close();
    return 0;
  });
  Child reader([&](Child& me) {
    TestDb other(dbConcurrentRead, 1048576, 1048576, 0, 1);
    if (!other.open(name.c_str(), file.c_str())) return 1;
    int32_t last = 0, reads = 0, wrong = 0;
    while (last < kTransfers) {
      other.beginRead();
      int32_t now = counterOf(other);
      if (sumOf(other) != kTotal || now < last) wrong++;
      last = now;
      other.commit();
      reads++;
    }
    other.close();
    me.sendBytes(&wrong, sizeof wrong);
    me.sendBytes(&reads, sizeof reads);
    return 0;
  });
  int32_t wrong = -1, reads = 0;
  ASSERT_TRUE(reader.receiveBytes(&wrong, sizeof wrong));
  ASSERT_TRUE(reader.receiveBytes(&reads, sizeof reads));
  EXPECT_EQ(wrong, 0) << "of " << reads << " reads";
  EXPECT_EQ(updater.wait(), 0);
  EXPECT_EQ(reader.wait(), 0);
  EXPECT_EQ(committedCounter(), kTransfers);
}

// A commit handed to the delayed-commit thread releases the mutator lock that the
// transaction's own thread took: other updaters, and that thread, go on afterwards.
TEST_F(LockTest, DelayedCommitReleasesTheMutatorLock) {
  create(dbConcurrentUpdate, dbWaitForever, 1);
  ThreadActor thread(*db);
  thread.ask('w');
  thread.ask('m');
  thread.ask('c');  // handed to the delayed-commit thread
  ProcessActor other(setup(dbWaitForever, dbConcurrentUpdate));
  other.order('w');
  EXPECT_EQ(other.answer(20000), 'w') << "the mutator lock stayed taken";
  EXPECT_EQ(other.value(), 1);
  other.ask('m');
  other.ask('c');
  thread.order('w');
  EXPECT_EQ(thread.answer(20000), 'w');
  EXPECT_EQ(thread.value(), 2);
  thread.ask('c');
}

// Opening a new database with a commit delay adds the program's tables inside open,
// before the delayed-commit thread runs: that commit is written, and the lock it
// took is free for the next process.
struct Note {
  const char* text;
  KELDRA_DESCRIBE(Note, KELDRA_FIELD(text));
};

TEST_F(LockTest, SchemaCommittedInsideOpenWithACommitDelayReleasesTheLock) {
  db = std::make_unique<TestDb>(dbReadWrite, 1048576, 1048576, 0, 1);
  dbTableDescriptor notes("Note", db.get(), sizeof(Note), &dbDescribeTable<Note>);
  ASSERT_TRUE(db->open(name.c_str(), file.c_str(), dbWaitForever, 1));
  expectLockFree();
  ProcessActor other(setup());
  EXPECT_EQ(other.ask('r'), 'r');
  other.ask('c');
  db->close();
  db.reset();
}

// An updater process killed in the middle of its transaction: the next updater finds
// the mutator lock free and starts from the last committed state, not from the dead
// one's half-done work.
TEST_F(LockTest, UpdaterKilledInsideItsTransactionIsDiscarded) {
  create(dbConcurrentUpdate);
  {
    ProcessActor victim(setup(dbWaitForever, dbConcurrentUpdate));
    victim.ask('w');
    victim.ask('m');
    victim.ask('a');
    victim.kill();
  }
  ProcessActor next(setup(dbWaitForever, dbConcurrentUpdate));
  EXPECT_EQ(next.ask('w'), 'w');
  EXPECT_EQ(next.value('v'), 0);
  EXPECT_EQ(next.value('s'), kTotal);
  next.ask('m');
  next.ask('c');
  EXPECT_EQ(committedCounter(), 1);
  expectFileClean();
}

// ---------------------------------------------------------------------------
// Stress: 4 processes of 2 threads each. Every thread runs kRounds rounds of a read
// transaction that checks the sum of the accounts and a write transaction that moves
// a random amount between them and adds 1 to the counter.

constexpr int kProcesses = 4, kThreadsPerProcess = 2, kRounds = 300;

int stressProcess(const std::string& name, const std::string& file, unsigned seed, Child& me) {
  TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
  if (!db.open(name.c_str(), file.c_str())) return 1;
  me.send('O');
  if (me.hear() != 'g') return 2;
  std::atomic<int32_t> wrongSums{0};
  auto rounds = [&](unsigned threadSeed) {
    std::mt19937 rng(threadSeed);
    for (int i = 0; i < kRounds; i++) {
      db.beginRead();
      if (sumOf(db) != kTotal) wrongSums++;
      db.commit();
      db.beginWrite();
      if (sumOf(db) != kTotal) wrongSums++;
      int32_t amount = int32_t(rng() % 201) - 100;
      counterOf(db, true, kAccountA) -= amount;
      counterOf(db, true, kAccountB) += amount;
      counterOf(db, true) += 1;
      db.commit();
    }
  };
  std::vector<std::thread> others;
  for (int t = 1; t < kThreadsPerProcess; t++) {
    others.emplace_back([&, t] {
      db.attach();
      rounds(seed * 16 + unsigned(t));
      db.detach();
    });
  }
  rounds(seed * 16);  // the thread that opened the database
  for (std::thread& t : others) t.join();
  int32_t wrong = wrongSums;
  me.sendBytes(&wrong, sizeof wrong);
  db.close();
  return 0;
}

TEST_F(LockTest, StressTransfersBetweenProcessesAndThreads) {
  create();
  db->close();
  db.reset();
  std::vector<std::unique_ptr<Child>> processes;
  for (int p = 0; p < kProcesses; p++) {
    processes.push_back(std::make_unique<Child>(
        [&, p](Child& me) { return stressProcess(name, file, unsigned(p + 1), me); }));
    ASSERT_EQ(processes.back()->receive(), 'O');
  }
  for (auto& p : processes) p->tell('g');
  for (auto& p : processes) {
    int32_t wrong = -1;
    EXPECT_TRUE(p->receiveBytes(&wrong, sizeof wrong));
    EXPECT_EQ(wrong, 0) << "reads saw a sum other than the constant";
    EXPECT_EQ(p->wait(), 0);
  }
  expectFileClean();
  db = std::make_unique<TestDb>(dbReadWrite, 1048576, 1048576, 0, 1);
  ASSERT_TRUE(db->open(name.c_str(), file.c_str()));
  db->beginRead();
  EXPECT_EQ(counterOf(*db), kProcesses * kThreadsPerProcess * kRounds);
  EXPECT_EQ(sumOf(*db), kTotal);
  db->commit();
}

// ---------------------------------------------------------------------------
// Stress with processes killed: 4 processes move random amounts between the accounts
// and check their sum in every transaction, while a supervisor kills one of them
// every few dozen milliseconds, at a random moment or stopped inside its commit, and
// starts another in its place. Either all 4 read and write (2 threads each), or 2
// updaters write under the mutator lock and 2 concurrent readers (2 threads each)
// read. With lock wait timeouts of 100 ms (the first two processes) and 300 ms (the
// others) the survivors remove what the dead held. No counter of the lock may ever be
// out of its range.

enum class Role { readerAndWriter, updater, concurrentReader };

// Answers 'O' once open, 'X' for every wrong sum, 'N' when it saw a lock counter out
// of its range, 'r' every 16 rounds of a thread and 'K' when it stopped at the commit
// point it was told ('b': before the switch, 'a': after it); 'q' ends it, with 'E'.
int killableProcess(const std::string& name, const std::string& file, Role role, unsigned seed, uint32_t timeout,
                    Child& me) {
  static Child* self = nullptr;
  static std::atomic<int> stopAt{-1};
  self = &me;
  dbTestHook = [](dbTestPoint point) {
    int armed = int(point);
    if (!stopAt.compare_exchange_strong(armed, -1)) return;
    self->send('K');
    pause();
  };
  const dbAccessType access = role == Role::readerAndWriter ? dbReadWrite
                              : role == Role::updater       ? dbConcurrentUpdate
                                                            : dbConcurrentRead;
  TestDb db(access, 1048576, 1048576, 0, 1);
  if (!db.open(name.c_str(), file.c_str(), timeout)) return 1;
  me.send('O');
  std::atomic<bool> stop{false};
  auto rounds = [&](unsigned threadSeed) {
    db.attach();
    std::mt19937 rng(threadSeed);
    // The accounts are read, and changed, a moment apart: a reader let in while a
    // writer is in the middle of a transfer has time to see it.
    auto breathe = [&] { usleep(useconds_t(rng() % 300)); };
    for (int i = 1; !stop; i++) {
      if (role != Role::updater) {
        db.beginRead();
        int32_t a = counterOf(db, false, kAccountA);
        breathe();
        const bool right = a + counterOf(db, false, kAccountB) == kTotal;
        db.commit();
        if (!right) me.send('X');
      }
      if (role != Role::concurrentReader) {
        db.beginWrite();
        if (sumOf(db) != kTotal) me.send('X');
        int32_t amount = int32_t(rng() % 201) - 100;
        counterOf(db, true, kAccountA) -= amount;
        breathe();
        counterOf(db, true, kAccountB) += amount;
        counterOf(db, true) += 1;
        db.commit();
      }
      if (i % 16 == 0) me.send('r');
      const dbMonitor& m = *db.getMonitor();
      if (load(m.nReaders) < 0 || load(m.nWriters) < 0 || load(m.nWriters) > 1 || load(m.nWaitingReaders) < 0 ||
          load(m.nWaitingWriters) < 0 || load(m.waitForUpgrade) < 0 || load(m.commitRunning) < 0) {
        me.send('N');
      }
    }
    db.detach();
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < (role == Role::updater ? 1u : 2u); t++) threads.emplace_back(rounds, seed * 2 + t);
  for (char c; (c = me.hear()) != 0 && c != 'q';) {
    if (c == 'b') stopAt = int(dbTestPoint::commitBeforeSwitch);
    if (c == 'a') stopAt = int(dbTestPoint::commitAfterSwitch);
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  db.close();
  me.send('E');
  return 0;
}

TEST_F(LockTest, StressWithProcessesKilledHoldingLocksAndInsideCommits) {
  struct Case {
    const char* label;
    dbAccessType access;
    Role roles[4];  // updaters first: the first opener makes the mutator lock
    int runMs;
  } cases[] = {
      {"readers and writers", dbReadWrite, {Role::readerAndWriter, Role::readerAndWriter, Role::readerAndWriter,
                                            Role::readerAndWriter}, 16000},
      {"updaters and concurrent readers", dbConcurrentUpdate, {Role::updater, Role::concurrentReader,
                                                               Role::updater, Role::concurrentReader}, 10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (db) db->close();
    db.reset();
    file = dir.file(std::string(c.label) + ".kld");
    create(c.access, 200);
    db->close();
    db.reset();
    std::mt19937 rng(2024);
    unsigned seeds = 0;
    int wrong = 0, outOfRange = 0, rounds = 0, kills = 0, killedInsideCommit = 0;
    std::vector<std::unique_ptr<Child>> processes(4);
    // Counts what process p said until it says `until` (true) or nothing more comes
    // in `timeoutMs` (false).
    auto listen = [&](int p, char until, int timeoutMs) {
      for (char ch; processes[p]->receive(&ch, timeoutMs);) {
        if (ch == 'X') wrong++;
        if (ch == 'N') outOfRange++;
        if (ch == 'r') rounds += 16;
        if (ch == until) return true;
      }
      return false;
    };
    auto start = [&](int p) {
      const unsigned seed = ++seeds;
      const uint32_t timeout = p < 2 ? 100 : 300;  // whose wait ends first varies with the roles
      const Role role = c.roles[p];
      processes[p] = std::make_unique<Child>(
          [&, seed, timeout, role](Child& me) { return killableProcess(name, file, role, seed, timeout, me); });
      return processes[p]->receive() == 'O';
    };
    for (int p = 0; p < 4; p++) ASSERT_TRUE(start(p));
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.runMs);
    while (std::chrono::steady_clock::now() < end && !HasFailure()) {
      usleep(useconds_t(rng() % 60000));
      for (int p = 0; p < 4; p++) listen(p, 0, 0);
      const int victim = int(rng() % 4);
      const unsigned how = rng() % 4;  // 0, 1: at a random moment; 2, 3: inside a commit
      if (how >= 2 && c.roles[victim] != Role::concurrentReader) {
        processes[victim]->tell(how == 2 ? 'b' : 'a');
        EXPECT_TRUE(listen(victim, 'K', 10000)) << "the process stopped making progress";
        killedInsideCommit++;
      }
      processes[victim]->kill();
      listen(victim, 0, 0);
      kills++;
      ASSERT_TRUE(start(victim)) << "a new process could not open the database";
    }
    for (int p = 0; p < 4; p++) {
      processes[p]->tell('q');
      EXPECT_TRUE(listen(p, 'E', 20000)) << "process " << p << " did not end";
      EXPECT_EQ(processes[p]->wait(), 0);
    }
    printf("%s: %d kills, %d inside commits, %d rounds\n", c.label, kills, killedInsideCommit, rounds);
    EXPECT_EQ(wrong, 0) << "reads saw a sum other than the constant";
    EXPECT_EQ(outOfRange, 0) << "lock counters went out of their range";
    EXPECT_GT(rounds, 0);
    expectFileClean();
    db = std::make_unique<TestDb>(c.access, 1048576, 1048576, 0, 1);
    ASSERT_TRUE(db->open(name.c_str(), file.c_str()));
    db->beginRead();
    EXPECT_EQ(sumOf(*db), kTotal);
    db->commit();
    expectLockFree();
  }
}

}  // namespace
