// Cost of the shared readers-writer lock.
//
//   lock_bench [DIRECTORY] [SECONDS]    (default: /tmp, 2 seconds per contended run)
//
// Uncontended, one thread of one process, nanoseconds per operation:
//   - shared lock + release: lockDatabase(shared), commit (releases only);
//   - exclusive lock + release: lockDatabase(exclusive), commit with no change, which
//     only releases;
//   - read-only transaction: shared lock, read one record, commit.
// Contended, 4 processes with one thread each, each open on the same database, for
// SECONDS seconds; transactions per second over all processes:
//   - readers: each process runs read-only transactions (read two records);
//   - writers: each process runs write transactions (change three records, commit with
//     its two flushes);
//   - mixed: each process runs 9 read-only transactions for every write transaction.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "database.h"

namespace {

class BenchDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::allocateRecord;
  using dbDatabase::getRecord;
  using dbDatabase::getRecordForUpdate;
  using dbDatabase::lockDatabase;
};

struct Value {
  dbRecord header;
  int64_t value;
};
constexpr oid_t kFirst = dbFirstUserObjectId;  // three records: kFirst .. kFirst + 2

double nowNs() {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t& valueOf(BenchDb& db, oid_t oid, bool forUpdate) {
  dbRecord* r = forUpdate ? db.getRecordForUpdate(oid) : db.getRecord(oid);
  return reinterpret_cast<Value*>(r)->value;
}

int64_t readTransaction(BenchDb& db) {
  db.lockDatabase(dbSharedLock);
  int64_t sum = valueOf(db, kFirst, false) + valueOf(db, kFirst + 1, false);
  db.commit();
  return sum;
}

void writeTransaction(BenchDb& db, int64_t amount) {
  db.lockDatabase(dbExclusiveLock);
  valueOf(db, kFirst, true) -= amount;
  valueOf(db, kFirst + 1, true) += amount;
  valueOf(db, kFirst + 2, true) += 1;
  db.commit();
}

template <class Op>
double nsPerOp(int n, Op op) {
  for (int i = 0; i < n / 10; i++) op();  // warm up
  double start = nowNs();
  for (int i = 0; i < n; i++) op();
  return (nowNs() - start) / n;
}

volatile int64_t sink;

// Runs `processes` processes on the database for `seconds`; each runs read-only
// transactions and, every `writeEvery` transactions, a write transaction (0: none;
// 1: only writes). Returns transactions per second over all processes.
double contended(const std::string& name, const std::string& path, int processes, double seconds, int writeEvery) {
  int ready[2], go[2], results[2];
  if (pipe(ready) != 0 || pipe(go) != 0 || pipe(results) != 0) return 0;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; p++) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      BenchDb db(dbReadWrite, 1048576, 4194304, 65536, 1);
      if (!db.open(name.c_str(), path.c_str())) _exit(1);
      char c = 'R';
      if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
      double end = nowNs() + seconds * 1e9;
      uint64_t count = 0;
      while (nowNs() < end) {
        for (int i = 0; i < 64; i++, count++) {
          if (writeEvery != 0 && count % uint64_t(writeEvery) == uint64_t(writeEvery) - 1) {
            writeTransaction(db, int64_t(count % 7));
          } else {
            sink = readTransaction(db);
          }
        }
      }
      db.close();
      if (write(results[1], &count, sizeof count) != sizeof count) _exit(3);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (int p = 0; p < processes; p++) {
    char c;
    if (read(ready[0], &c, 1) != 1) return 0;
  }
  double start = nowNs();
  std::string starts(size_t(processes), 'g');
  if (write(go[1], starts.data(), starts.size()) != ssize_t(starts.size())) return 0;
  uint64_t total = 0;
  for (int p = 0; p < processes; p++) {
    uint64_t count = 0;
    if (read(results[0], &count, sizeof count) == sizeof count) total += count;
  }
  double elapsed = (nowNs() - start) / 1e9;
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  for (int fd : {ready[0], ready[1], go[0], go[1], results[0], results[1]}) close(fd);
  return double(total) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string directory = argc > 1 ? argv[1] : "/tmp";
  double seconds = argc > 2 ? atof(argv[2]) : 2.0;
  std::string path = directory + "/lock_bench_" + std::to_string(getpid()) + ".kld";
  std::string name = "lockbench" + std::to_string(getpid());
  unlink(path.c_str());

  BenchDb db(dbReadWrite, 1048576, 4194304, 65536, 1);
  if (!db.open(name.c_str(), path.c_str())) return 1;
  db.lockDatabase(dbExclusiveLock);
  for (int i = 0; i < 3; i++) {
    oid_t oid = db.allocateRecord(sizeof(Value));
    reinterpret_cast<Value*>(db.getRecord(oid))->value = 0;
  }
  db.commit();

  const int n = 1000000;
  double shared = nsPerOp(n, [&] {
    db.lockDatabase(dbSharedLock);
    db.commit();
  });
  double exclusive = nsPerOp(n, [&] {
    db.lockDatabase(dbExclusiveLock);
    db.commit();
  });
  double readOnly = nsPerOp(n, [&] {
    db.lockDatabase(dbSharedLock);
    sink = valueOf(db, kFirst, false);
    db.commit();
  });
  printf("| uncontended, one thread | ns per operation |\n|---|---|\n");
  printf("| shared lock + release | %.0f |\n", shared);
  printf("| exclusive lock + release (no change) | %.0f |\n", exclusive);
  printf("| read-only transaction (lock, read one record, commit) | %.0f |\n\n", readOnly);
  db.close();

  printf("| contended, 4 processes x 1 thread, %.0f s | transactions/s (all processes) |\n|---|---|\n", seconds);
  printf("| readers: read two records per transaction | %.0f |\n", contended(name, path, 4, seconds, 0));
  printf("| writers: change three records and commit | %.0f |\n", contended(name, path, 4, seconds, 1));
  printf("| mixed: 9 read-only for each write transaction | %.0f |\n", contended(name, path, 4, seconds, 10));
  unlink(path.c_str());
  return 0;
}
