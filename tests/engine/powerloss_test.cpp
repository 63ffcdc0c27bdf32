// Power loss. A killed process leaves everything it wrote in the page cache, so the
// kill tests cannot tell whether a commit flushes at the right moments. Here the disk
// is modelled instead: dbFlushHook stands in for msync and fdatasync and keeps the
// image of the file as of each completed flush. A power failure at any moment leaves
// that image plus any subset of the pages written since (the kernel writes pages back
// whenever it likes, each whole or not at all), and a file grown since may come back
// with its old length. At many moments before, inside and after commits the test
// builds such an image, checks it, opens it (the file is dirty, so recovery runs),
// compares its rows with the committed states that moment allows, changes it once
// more and checks it again.
//
// The model shows that it can fail: with either flush of every commit, or the wait
// for a grown file's length, left out of it, it finds bad images.
//
// POSTSIFT_POWERLOSS_CUTS=N checks N images instead of the default.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "cursor.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

namespace {

struct Counter {
  int32_t key;
  int64_t value;
  const char* note;
  KELDRA_DESCRIBE(Counter, KELDRA_KEY(key, HASHED), KELDRA_KEY(value, INDEXED), KELDRA_FIELD(note));
};
// Detached: every database opened in this process (the one the workload changes and
// the ones that open its images) binds a copy of its own.
dbTableDescriptor Counter_descriptor("Counter", dbTableDescriptor::DETACHED_TABLE, sizeof(Counter),
                                     &dbDescribeTable<Counter>);
dbTableDescriptor& Counter::dbTable() { return Counter_descriptor; }

// The row with this key numbers the last committed transaction.
constexpr int32_t kSeqKey = 0;

struct Row {
  int64_t value;
  std::string note;
  bool operator==(const Row&) const = default;
};
typedef std::map<int32_t, Row> State;  // every row by key; empty before the first commit
typedef std::shared_ptr<const State> Snapshot;

uint32_t seqOf(const State& state) {
  auto it = state.find(kSeqKey);
  return it == state.end() ? 0 : uint32_t(it->second.value);
}

class PowerDb : public TestDb {
 public:
  // Small to begin with, so that it grows soon.
  PowerDb() : TestDb(dbReadWrite, dbSegmentSize, dbSegmentSize, 0, 1) {}
  const dbFile& mappedFile() const { return file; }
  dbTableDescriptor* counters() { return findTable(&Counter_descriptor); }
};

typedef std::shared_ptr<const std::vector<char>> Image;

// A moment at which the power may fail: what the disk holds for sure, what the page
// cache holds, and the committed states that may come back.
struct Cut {
  Image durable;
  Image cached;
  std::vector<Snapshot> allowed;
  std::string where;
};

// The image a power failure at the cut could leave: the durable image with a subset
// of the pages that differ from it in the cache, in one of the lengths the file had.
std::vector<char> powerLossImage(const Cut& cut, std::mt19937& rng, std::string& how) {
  const std::vector<char>& durable = *cut.durable;
  const std::vector<char>& cached = *cut.cached;
  // Pages past the end of the durable image count as zeros there.
  static const char zeros[dbPageSize] = {};
  std::vector<size_t> written;
  for (size_t from = 0; from < cached.size(); from += dbPageSize) {
    const size_t bytes = std::min<size_t>(dbPageSize, cached.size() - from);
    const size_t old = from < durable.size() ? std::min(bytes, durable.size() - from) : 0;
    if ((old != 0 && memcmp(cached.data() + from, durable.data() + from, old) != 0) ||
        memcmp(cached.data() + from + old, zeros, bytes - old) != 0) {
      written.push_back(from / dbPageSize);
    }
  }
  // A new length is on the disk only once the file system has committed it; the
  // old one is the case that matters.
  size_t length = durable.size();
  if (cached.size() != durable.size() && rng() % 4 == 0) length = cached.size();
  std::vector<bool> chosen(written.size(), false);
  const size_t n = written.size();
  const size_t one = n != 0 ? rng() % n : 0;
  switch (rng() % 20) {
    case 0: case 1: case 2:
      chosen.assign(n, true);
      how = "all";
      break;
    case 3: case 4:
      how = "none";
      break;
    case 5: case 6: case 7:
      chosen.assign(n, true);
      if (n != 0) chosen[one] = false;
      how = n != 0 ? "all but page " + std::to_string(written[one]) : "none";
      break;
    case 8: case 9:
      if (n != 0) chosen[one] = true;
      how = n != 0 ? "only page " + std::to_string(written[one]) : "none";
      break;
    case 10: case 11: case 12:
      // The header page decides which state the image holds.
      for (size_t i = 0; i < n; i++) chosen[i] = written[i] == 0 || rng() % 2;
      how = "the header page and a random half";
      break;
    default:
      for (size_t i = 0; i < n; i++) chosen[i] = rng() % 2;
      how = "a random half";
  }
  std::vector<char> image(durable.begin(), durable.begin() + std::min(durable.size(), length));
  image.resize(length, 0);
  size_t taken = 0;
  for (size_t i = 0; i < n; i++) {
    if (!chosen[i]) continue;
    size_t from = written[i] * dbPageSize;
    if (from >= length) continue;
    size_t bytes = std::min<size_t>({dbPageSize, length - from, cached.size() - from});
    memcpy(image.data() + from, cached.data() + from, bytes);
    taken += 1;
  }
  how += " (" + std::to_string(taken) + " of " + std::to_string(n) + " written pages), " +
         std::to_string(length) + " bytes of " + std::to_string(durable.size()) + " durable and " +
         std::to_string(cached.size()) + " cached";
  return image;
}

// The rows of an open database; problems of the indexes go to `problems`.
State readState(PowerDb& db, std::vector<std::string>& problems) {
  State state;
  dbCursor<Counter> all(dbCursorForReading, &db);
  const uint32_t n = all.select();
  for (uint32_t i = 0; i < n; i++) {
    if (!state.emplace(all->key, Row{all->value, all->note}).second) {
      problems.push_back("key " + std::to_string(all->key) + " twice");
    }
    all.next();
  }
  // The checker verifies the hash index of `key`; the T-tree of `value` is walked
  // here: an ordered select of the whole table goes through it.
  dbCursor<Counter> ordered(dbCursorForReading, &db);
  const uint32_t m = ordered.select("order by value");
  std::map<int32_t, int> seen;
  int64_t last = INT64_MIN;
  bool inOrder = true;
  for (uint32_t i = 0; i < m; i++) {
    inOrder = inOrder && ordered->value >= last;
    last = ordered->value;
    seen[ordered->key] += 1;
    ordered.next();
  }
  for (const auto& [key, row] : state) {
    if (seen[key] != 1) problems.push_back("the T-tree of value holds key " + std::to_string(key) + " " +
                                           std::to_string(seen[key]) + " times");
  }
  if (!inOrder) problems.push_back("the T-tree of value is out of order");
  if (m != n) {
    problems.push_back("the T-tree of value holds " + std::to_string(m) + " of " + std::to_string(n) + " rows");
  }
  db.commit();
  return state;
}

std::string describe(const State& found, const State& expected) {
  size_t differing = 0;
  std::string first;
  for (const auto& [key, row] : expected) {
    auto it = found.find(key);
    if (it != found.end() && it->second == row) continue;
    if (differing++ == 0) first = "key " + std::to_string(key) + (it == found.end() ? " missing" : " differs");
  }
  for (const auto& [key, row] : found) {
    if (expected.count(key) == 0 && differing++ == 0) first = "key " + std::to_string(key) + " extra";
  }
  return "transaction " + std::to_string(seqOf(expected)) + ": " + std::to_string(differing) + " rows differ" +
         (first.empty() ? "" : ", first " + first);
}

int flushNothing(const dbFile&, dbDurability) { return 0; }

// Runs in a child: opens the image, compares it with the allowed states, commits one
// more change and checks the file. Reports problems one line each.
int verifyInChild(const std::string& name, const std::string& path, const std::vector<Snapshot>& allowed,
                  Child& me) {
  // This process only reads its result back through the page cache.
  dbFlushHook = flushNothing;
  auto report = [&](const std::string& problem) {
    std::string line = problem.substr(0, 400) + "\n";
    me.sendBytes(line.data(), line.size());
  };
  PowerDb db;
  if (!db.open(name.c_str(), path.c_str())) {
    report("the engine refused to open it");
    return 1;
  }
  std::vector<std::string> problems;
  State found = readState(db, problems);
  bool matches = false;
  for (const Snapshot& state : allowed) matches = matches || found == *state;
  if (!matches) {
    std::string text = "it holds transaction " + std::to_string(seqOf(found)) + ", none of the allowed states:";
    for (const Snapshot& state : allowed) text += " [" + describe(found, *state) + "]";
    problems.push_back(text);
  }
  // Recovery leaves a database that takes changes.
  Counter extra{-1, 0, "after recovery"};
  db.insertRecord(&Counter_descriptor, &extra);
  db.commit();
  db.close();
  dbCheckReport check = dbCheckFile(path.c_str());
  for (const std::string& e : check.errors) problems.push_back("after recovery: " + e);
  for (size_t i = 0; i < problems.size() && i < 20; i++) report(problems[i]);
  return problems.empty() ? 0 : 1;
}

// The workload and the model of its disk.
class PowerLossRun {
 public:
  // What the model leaves out, to show that the checks would notice.
  enum class Leave { nothing, firstCommitFlush, secondCommitFlush, lengthWait };
  // One note in `largeNoteOneIn` is large: those make the file grow.
  explicit PowerLossRun(Leave leaveOut = Leave::nothing, uint32_t largeNoteOneIn = 30)
      : leaveOut(leaveOut), largeNoteOneIn(largeNoteOneIn) {}
  ~PowerLossRun() {
    if (db.isOpen()) db.close();
    dbFlushHook = nullptr;
    active = nullptr;
    if (checkFailed) {
      // A check that failed may have left the shared objects of its database
      // behind; the last close of a fresh file of that name removes them.
      PowerDb tidy;
      unlink(imagePath.c_str());
      if (tidy.open(imageName.c_str(), imagePath.c_str())) tidy.close();
    }
  }

  // Runs transactions until `cuts` images have been checked, or, with `stopAtBad`,
  // until the first bad one. Every problem of a bad image goes to `problems`.
  void run(int cuts, bool stopAtBad) {
    target = cuts;
    stopAtFirstBad = stopAtBad;
    active = this;
    dbFlushHook = onFlush;
    where = "creating the file";
    ASSERT_TRUE(db.open(name.c_str(), dbPath.c_str()));
    processCuts();
    while (!done()) {
      if (seq % 40 == 39 && !reopened) {
        reopened = true;
        where = "closing after transaction " + std::to_string(seq);
        db.close();
        cutNow("after closing after transaction " + std::to_string(seq), 1.0);
        where = "reopening after transaction " + std::to_string(seq);
        ASSERT_TRUE(db.open(name.c_str(), dbPath.c_str()));
        cutNow("after reopening after transaction " + std::to_string(seq), 1.0);
        continue;
      }
      reopened = false;
      transaction();
    }
  }

  uint32_t transactions() const { return seq; }
  int checked = 0;
  int bad = 0;
  int indexGrowths = 0;
  int fileGrowths = 0;
  std::vector<std::string> problems;

 private:
  bool done() const { return checked >= target || (stopAtFirstBad && bad > 0); }

  static int onFlush(const dbFile& file, dbDurability what) { return active->flushed(file, what); }

  // The disk: a completed flush or wait for the length makes the whole file as the
  // page cache holds it durable. Just before it, the power may fail.
  int flushed(const dbFile& file, dbDurability what) {
    if (&file != &db.mappedFile()) return 0;  // only the workload's file is modelled
    std::vector<Snapshot> allowed{committed};
    if (inCommit && flushesInCommit >= 1) allowed.push_back(workingSnapshot());  // the switch may be on the disk
    std::string at = where;
    bool left = false;
    if (what == dbDurability::length) {
      at += ", before the wait for the grown file's length";
      left = leaveOut == Leave::lengthWait;
    } else if (inCommit) {
      const int ordinal = flushesInCommit++;
      at = "commit of transaction " + std::to_string(seq + 1) + ", before its flush " + std::to_string(ordinal + 1);
      left = (ordinal == 0 && leaveOut == Leave::firstCommitFlush) ||
             (ordinal == 1 && leaveOut == Leave::secondCommitFlush);
    }
    Image cached = cachedBytes(file);
    if (!inCommit || what == dbDurability::length || newLength(cached->size()) || rng() % 2) {
      cuts.push_back(Cut{durable, cached, allowed, at});
    }
    if (!left) durable = cached;
    return 0;
  }

  // The file's bytes as the page cache holds them. A grown file that is not yet
  // mapped again reads as zeros past the mapping.
  static Image cachedBytes(const dbFile& file) {
    auto bytes = std::make_shared<std::vector<char>>(file.base(), file.base() + file.size());
    bytes->resize(std::max<size_t>(bytes->size(), file.fileLength()), 0);
    return bytes;
  }

  Snapshot workingSnapshot() {
    if (!workingCopy) workingCopy = std::make_shared<const State>(working);
    return workingCopy;
  }

  // Whether the file has a length the disk may not have and no cut has seen yet.
  // The first moment after a growth is always a cut: the header names the new size.
  bool newLength(size_t length) {
    if (length == durable->size() || length == lengthCut) return false;
    lengthCut = length;
    return true;
  }

  // A cut between two calls of the engine, taken with probability `p`, or always
  // when the file grew, then with three images.
  void cutNow(const std::string& at, double p) {
    const size_t length = db.isOpen() ? db.mappedFile().size() : durable->size();
    const int images = newLength(length) ? 3 : std::uniform_real_distribution<double>(0, 1)(rng) < p ? 1 : 0;
    if (images != 0) {
      Image cached = db.isOpen() ? cachedBytes(db.mappedFile())
                                 : std::make_shared<std::vector<char>>(testsupport::readFile(dbPath));
      for (int i = 0; i < images; i++) cuts.push_back(Cut{durable, cached, {committed}, at});
    }
    processCuts();
  }

  void processCuts() {
    for (const Cut& cut : cuts) {
      if (done()) break;
      verify(cut);
    }
    cuts.clear();
  }

  void verify(const Cut& cut) {
    std::string how;
    std::vector<char> image = powerLossImage(cut, rng, how);
    checked += 1;
    std::vector<std::string> found;
    // An image of a file whose creation never completed is no database yet: opening
    // it creates one afresh.
    dbHeader header{};
    if (image.size() >= sizeof header) memcpy(&header, image.data(), sizeof header);
    if (header.initialized == 1) {
      dbCheckReport raw = dbCheckImage(image.data(), image.size());
      for (const std::string& e : raw.errors) found.push_back("before recovery: " + e);
    }
    if (!found.empty()) {
      // Bad already. The engine is not asked to open an image that may be damaged
      // in ways its open does not look for.
    } else if (!testsupport::writeFile(imagePath, image)) {
      found.push_back("could not write the image");
    } else {
      Child child([&](Child& me) { return verifyInChild(imageName, imagePath, cut.allowed, me); });
      std::string text;
      const timespec start = now();
      bool timedOut = false;
      for (char c;;) {
        const timespec before = now();
        if (child.receive(&c, 1000)) {
          text += c;
          continue;
        }
        if (secondsSince(before) < 0.9) break;  // the pipe ended with the child
        if (secondsSince(start) > 60) {
          timedOut = true;
          break;
        }
      }
      int status = 0;
      if (timedOut) {
        child.kill();
        found.push_back("checking it did not end within a minute");
      } else {
        status = child.wait();
      }
      checkFailed = checkFailed || timedOut || status != 0;
      for (size_t from = 0; from < text.size();) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        found.push_back(text.substr(from, end - from));
        from = end + 1;
      }
      if (!timedOut && status != 0 && found.empty()) {
        found.push_back("the check ended with status " + std::to_string(status));
      }
    }
    if (found.empty()) return;
    bad += 1;
    for (const std::string& f : found) problems.push_back(cut.where + ", " + how + ": " + f);
  }

  static timespec now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
  }
  static double secondsSince(const timespec& t) {
    timespec n = now();
    return double(n.tv_sec - t.tv_sec) + double(n.tv_nsec - t.tv_nsec) / 1e9;
  }

  std::string noteFor(int32_t key, uint32_t t) {
    // Mostly short notes; a few large ones make the file grow. Their number is
    // bounded, so that the file, which every image copies, stays small.
    size_t large = 0;
    for (const auto& [k, row] : working) large += row.note.size() > 1000;
    size_t length = work() % largeNoteOneIn == 0 && large < 8 ? 10000 + work() % 60000 : work() % 300;
    std::string note = std::to_string(key) + "@" + std::to_string(t) + ":";
    note.append(length, char('a' + (key + t) % 26));
    return note;
  }

  void transaction() {
    const uint32_t t = seq + 1;
    where = "inside transaction " + std::to_string(t);
    working = *committed;
    workingCopy.reset();
    workingOids = oids;
    const uint32_t sizeBefore = db.fileSize();
    const uint32_t capacityBefore = db.committedRoot().indexCapacity;
    // Grow towards a few hundred rows, in bulk at times, so that the object index
    // outgrows its first size; then changes of every kind.
    const size_t rows = committed->size();
    const int steps = rows < 800 && work() % 3 == 0 ? 60 : 1 + int(work() % 6);
    for (int i = 0; i < steps; i++) {
      const uint32_t roll = work() % 100;
      const bool any = workingOids.size() > 1;
      if (!any || roll < (rows < 400 ? 60 : 35)) {
        const int32_t key = nextKey++;
        std::string note = noteFor(key, t);
        Counter row{key, int64_t(work() % 1000), note.c_str()};
        workingOids[key] = db.insertRecord(&Counter_descriptor, &row);
        working[key] = Row{row.value, note};
      } else {
        auto it = workingOids.begin();
        std::advance(it, 1 + work() % (workingOids.size() - 1));  // never the row of the sequence number
        const int32_t key = it->first;
        if (roll < 75) {
          std::string note = work() % 3 == 0 ? noteFor(key, t) : working[key].note;
          Counter row{key, int64_t(work() % 1000), note.c_str()};
          db.updateRecord(it->second, db.counters(), &row);
          working[key] = Row{row.value, note};
        } else {
          db.removeRecord(db.counters(), it->second);
          working.erase(key);
          workingOids.erase(it);
        }
      }
      cutNow("inside transaction " + std::to_string(t) + " after step " + std::to_string(i + 1), 0.8 / steps);
    }
    Counter stamp{kSeqKey, int64_t(t), ""};
    auto seqRow = workingOids.find(kSeqKey);
    if (seqRow == workingOids.end()) {
      workingOids[kSeqKey] = db.insertRecord(&Counter_descriptor, &stamp);
    } else {
      db.updateRecord(seqRow->second, db.counters(), &stamp);
    }
    working[kSeqKey] = Row{int64_t(t), ""};
    if (work() % 10 == 0) {
      db.rollback();
      cutNow("after rolling back transaction " + std::to_string(t), 0.5);
      return;
    }
    inCommit = true;
    flushesInCommit = 0;
    db.commit();
    inCommit = false;
    if (flushesInCommit != 2) {
      problems.push_back("transaction " + std::to_string(t) + " committed with " + std::to_string(flushesInCommit) +
                         " flushes");
      bad += 1;
    }
    committed = workingSnapshot();
    oids = workingOids;
    seq = t;
    if (db.fileSize() > sizeBefore) fileGrowths += 1;
    if (db.committedRoot().indexCapacity > capacityBefore) indexGrowths += 1;
    processCuts();
    where = "after transaction " + std::to_string(t);
    cutNow("after the commit of transaction " + std::to_string(t), 0.3);
  }

  static inline PowerLossRun* active = nullptr;
  const Leave leaveOut;
  const uint32_t largeNoteOneIn;
  testsupport::TempDir dir;
  const std::string name = testsupport::uniqueName("power");
  const std::string imageName = testsupport::uniqueName("powerimage");
  const std::string dbPath = dir.file("work.kld");
  const std::string imagePath = dir.file("image.kld");
  PowerDb db;
  std::mt19937 work{20240611};  // the workload, the same whatever the model does
  std::mt19937 rng{4711};       // the cuts and the images
  Image durable = std::make_shared<std::vector<char>>();  // the file does not exist yet
  std::vector<Cut> cuts;
  std::string where;
  bool inCommit = false;
  bool checkFailed = false;
  size_t lengthCut = 0;  // the file length the last cut after a growth saw
  int flushesInCommit = 0;
  int target = 0;
  bool stopAtFirstBad = false;
  bool reopened = false;
  uint32_t seq = 0;
  int32_t nextKey = 1;
  Snapshot committed = std::make_shared<const State>();
  State working;
  Snapshot workingCopy;  // of `working` once the transaction has made its changes
  std::map<int32_t, oid_t> oids, workingOids;
};

TEST(PowerLossTest, EveryImageAPowerFailureCanLeaveHoldsACommittedState) {
  int cuts = 300;
  if (const char* n = getenv("POSTSIFT_POWERLOSS_CUTS")) cuts = atoi(n);
  PowerLossRun run;
  run.run(cuts, false);
  for (size_t i = 0; i < run.problems.size() && i < 20; i++) ADD_FAILURE() << run.problems[i];
  EXPECT_EQ(run.bad, 0);
  if (cuts >= 300) {  // the default run reaches both kinds of growth
    EXPECT_GT(run.indexGrowths, 0);
    EXPECT_GT(run.fileGrowths, 0);
  }
  printf("%d images checked, %d bad, over %u commits; the object index grew %d times, the file %d times\n",
         run.checked, run.bad, run.transactions(), run.indexGrowths, run.fileGrowths);
}

// Without the flush before the switch, the switch may reach the disk before the
// state it names.
TEST(PowerLossTest, LeavingOutTheFlushBeforeTheSwitchIsFound) {
  PowerLossRun run(PowerLossRun::Leave::firstCommitFlush);
  run.run(300, true);
  ASSERT_GT(run.bad, 0) << "no bad image among " << run.checked;
  printf("found after %d images: %s\n", run.checked, run.problems[0].c_str());
}

// Without the flush after the switch, a commit that returned may be lost.
TEST(PowerLossTest, LeavingOutTheFlushAfterTheSwitchIsFound) {
  PowerLossRun run(PowerLossRun::Leave::secondCommitFlush);
  run.run(300, true);
  ASSERT_GT(run.bad, 0) << "no bad image among " << run.checked;
  printf("found after %d images: %s\n", run.checked, run.problems[0].c_str());
}

// Without the wait for a grown file's length, the header may name a size the file
// does not have. Large notes make the file grow often.
TEST(PowerLossTest, LeavingOutTheWaitForTheGrownLengthIsFound) {
  PowerLossRun run(PowerLossRun::Leave::lengthWait, 10);
  run.run(300, true);
  ASSERT_GT(run.bad, 0) << "no bad image among " << run.checked;
  printf("found after %d images: %s\n", run.checked, run.problems[0].c_str());
}

}  // namespace
