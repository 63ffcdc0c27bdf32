// Crash safety: a child process runs random transactions and is killed with SIGKILL
// at random moments, also in the middle of commits. After each kill the file holds
// exactly the last commit that was reported finished or the one in flight, the
// consistency checker finds nothing wrong, and recovery makes it usable again.
//
// POSTSIFT_SOAK_KILLS=N runs N kills instead of the default.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <random>

#include "check.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;

namespace {

constexpr int kSlots = 24;
constexpr oid_t kDirectory = dbFirstUserObjectId;  // the first record made

// The directory record: the number of the last committed transaction and the oid of
// each slot's record (0 = none).
struct Directory {
  dbRecord header;
  uint32_t seq;
  oid_t slots[kSlots];
};

struct Slot {
  uint32_t size = 0;     // 0 = no record
  uint32_t writtenBy = 0;
};
typedef std::array<Slot, kSlots> Model;

uint8_t fill(uint32_t seq, int slot) { return uint8_t(seq * 31 + slot * 7 + 1); }

// One step of a transaction, decided only by the transaction's number and the model,
// so that the child and the parent agree on what transaction t does.
struct Step {
  enum Kind { write, resize, remove, nothing } kind;
  int slot;
  uint32_t size;
};

std::vector<Step> stepsOf(uint32_t t, const Model& model, bool* commits) {
  std::mt19937 rng(t);
  std::vector<Step> steps;
  int n = 1 + int(rng() % 6);
  Model m = model;
  for (int i = 0; i < n; i++) {
    int slot = int(rng() % kSlots);
    uint32_t roll = rng() % 100;
    uint32_t size = roll < 3 ? 100000 + rng() % 900000 : 16 + rng() % 3000;  // a few large ones
    Step step{Step::nothing, slot, size};
    if (roll < 55) step.kind = m[slot].size ? Step::resize : Step::write;
    else if (roll < 75) step.kind = m[slot].size ? Step::remove : Step::nothing;
    else if (roll < 90) step.kind = m[slot].size ? Step::write : Step::nothing;
    if (step.kind == Step::remove) m[slot].size = 0;
    if (step.kind == Step::write && !m[slot].size) m[slot].size = size;
    if (step.kind == Step::write && m[slot].size) step.size = m[slot].size;  // rewrite in place
    if (step.kind == Step::resize) m[slot].size = size;
    steps.push_back(step);
  }
  *commits = rng() % 100 < 85;
  return steps;
}

void applyToModel(uint32_t t, Model& model) {
  bool commits;
  std::vector<Step> steps = stepsOf(t, model, &commits);
  if (!commits) return;
  for (const Step& s : steps) {
    if (s.kind == Step::remove) model[s.slot] = Slot{};
    if (s.kind == Step::write || s.kind == Step::resize) model[s.slot] = Slot{s.size, t};
  }
}

Model modelAt(uint32_t seq) {
  Model model{};
  for (uint32_t t = 1; t <= seq; t++) applyToModel(t, model);
  return model;
}

void writePayload(dbRecord* record, uint32_t seq, int slot) {
  memset(reinterpret_cast<char*>(record) + sizeof(dbRecord), fill(seq, slot), record->size - sizeof(dbRecord));
}

// Runs transaction t on the database; returns whether it committed.
bool runTransaction(TestDb& db, uint32_t t, Model& model, Child& parent) {
  bool commits;
  std::vector<Step> steps = stepsOf(t, model, &commits);
  db.beginWrite();
  for (const Step& s : steps) {
    auto* dir = reinterpret_cast<Directory*>(db.getRecordForUpdate(kDirectory));
    oid_t oid = dir->slots[s.slot];
    switch (s.kind) {
      case Step::write:
        if (oid == 0) {
          oid = db.allocateRecord(s.size);
          reinterpret_cast<Directory*>(db.getRecordForUpdate(kDirectory))->slots[s.slot] = oid;
        }
        writePayload(db.getRecordForUpdate(oid), t, s.slot);
        break;
      case Step::resize:
        writePayload(db.resizeRecord(oid, s.size), t, s.slot);
        break;
      case Step::remove:
        db.freeObject(oid);
        dir->slots[s.slot] = 0;
        break;
      case Step::nothing:
        break;
    }
  }
  reinterpret_cast<Directory*>(db.getRecordForUpdate(kDirectory))->seq = t;
  if (!commits) {
    db.rollback();
    return false;
  }
  uint32_t message[2] = {'B', t};
  parent.sendBytes(message, sizeof message);
  db.commit();
  message[0] = 'E';
  parent.sendBytes(message, sizeof message);
  for (const Step& s : steps) {
    if (s.kind == Step::remove) model[s.slot] = Slot{};
    if (s.kind == Step::write || s.kind == Step::resize) model[s.slot] = Slot{s.size, t};
  }
  return true;
}

// The child: continues from the committed state until it is killed.
int runChild(const std::string& name, const std::string& file, Child& me) {
  TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
  if (!db.open(name.c_str(), file.c_str())) return 1;
  db.beginRead();
  uint32_t seq = reinterpret_cast<Directory*>(db.getRecord(kDirectory))->seq;
  db.commit();
  Model model = modelAt(seq);
  for (uint32_t t = seq + 1;; t++) runTransaction(db, t, model, me);
}

// Compares the database with the model; `seq` receives the committed number.
void verify(TestDb& db, uint32_t lastEnded, uint32_t lastBegun, uint32_t& seq) {
  db.beginRead();
  const auto* dir = reinterpret_cast<const Directory*>(db.getRecord(kDirectory));
  seq = dir->seq;
  EXPECT_TRUE(seq == lastEnded || seq == lastBegun) << seq << " not in {" << lastEnded << ", " << lastBegun << "}";
  Model model = modelAt(seq);
  for (int s = 0; s < kSlots; s++) {
    SCOPED_TRACE(s);
    oid_t oid = dir->slots[s];
    ASSERT_EQ(oid != 0, model[s].size != 0);
    if (oid == 0) continue;
    const dbRecord* record = db.getRecord(oid);
    ASSERT_EQ(record->size, model[s].size);
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(record) + sizeof(dbRecord);
    uint8_t expected = fill(model[s].writtenBy, s);
    for (uint32_t i = 0; i < record->size - sizeof(dbRecord); i++) {
      ASSERT_EQ(payload[i], expected) << "byte " << i;
    }
  }
  db.commit();
}

void expectClean(const std::string& file, const char* when) {
  dbCheckReport report = dbCheckFile(file.c_str());
  for (const std::string& e : report.errors) ADD_FAILURE() << when << ": " << e;
}

TEST(CrashTest, KilledAtRandomMomentsTheFileHoldsACommittedState) {
  int kills = 200;
  if (const char* soak = getenv("POSTSIFT_SOAK_KILLS")) kills = atoi(soak);
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("crash");
  std::string file = dir.file("crash.kld");
  {
    TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    db.beginWrite();
    ASSERT_EQ(db.allocateRecord(sizeof(Directory)), kDirectory);
    memset(reinterpret_cast<char*>(db.getRecord(kDirectory)) + sizeof(dbRecord), 0,
           sizeof(Directory) - sizeof(dbRecord));
    db.commit();
  }
  std::mt19937 rng(12345);
  uint32_t lastEnded = 0, lastBegun = 0, recoveries = 0, inFlight = 0;
  for (int k = 0; k < kills; k++) {
    Child child([&](Child& me) { return runChild(name, file, me); });
    // Let it run between a few hundred microseconds and a few dozen commits.
    usleep(useconds_t(rng() % 40000));
    child.kill();
    uint32_t message[2];
    while (child.receiveBytes(message, sizeof message)) {
      if (message[0] == 'B') lastBegun = message[1];
      if (message[0] == 'E') lastEnded = message[1];
    }
    if (lastBegun != lastEnded) inFlight += 1;
    expectClean(file, "after the kill");
    TestDb db(dbReadWrite, 1048576, 1048576, 0, 1);
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    recoveries += 1;
    uint32_t seq = 0;
    verify(db, lastEnded, lastBegun, seq);
    lastEnded = lastBegun = seq;
    db.close();
    expectClean(file, "after recovery");
    if (HasFailure()) break;
  }
  RecordProperty("kills", kills);
  printf("kills %d, recoveries %u, killed with a commit in flight %u, last commit %u\n", kills, recoveries,
         inFlight, lastEnded);
}

}  // namespace
