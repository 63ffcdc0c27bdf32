// Commit latency of a one-object transaction on databases of growing size.
//
//   commit_bench [DIRECTORY] [SIZES_MB...]    (default: /tmp, 10 100 1000)
//
// Fills a database with 1000-byte records up to the size, then times 300 commits
// that each change one random record, and reports the latency distribution, the
// index pages each commit touched, and one msync of a single dirty page of the
// same file as the floor (a commit flushes twice).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "database.h"

namespace {

class BenchDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::allocateRecord;
  using dbDatabase::getRecordForUpdate;
  using dbDatabase::lockDatabase;
};

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[size_t(p * double(v.size() - 1))];
}

// The floor of one flush: msync of the whole mapping of the file, as the engine
// does, with a single dirty page.
double singlePageFlushMs(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR);
  size_t size = size_t(lseek(fd, 0, SEEK_END));
  char* map = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  std::vector<double> times;
  for (int i = 0; i < 100; i++) {
    map[100] ^= 1;  // the header page's unused tail
    double t = nowMs();
    msync(map, size, MS_SYNC);
    times.push_back(nowMs() - t);
    map[100] ^= 1;
  }
  msync(map, size, MS_SYNC);
  munmap(map, size);
  ::close(fd);
  return percentile(times, 0.5);
}

void run(const std::string& directory, uint32_t megabytes) {
  std::string path = directory + "/commit_bench_" + std::to_string(megabytes) + ".kld";
  unlink(path.c_str());
  BenchDb db(dbReadWrite, 1048576, 4194304, 65536, 1);
  if (!db.open(("commitbench" + std::to_string(getpid())).c_str(), path.c_str())) return;
  const uint32_t recordSize = 1000;
  const uint32_t records = uint32_t(uint64_t(megabytes) * 1048576 / (recordSize + 24));
  std::vector<oid_t> oids;
  double fillStart = nowMs();
  db.lockDatabase(dbExclusiveLock);
  for (uint32_t i = 0; i < records; i++) {
    oids.push_back(db.allocateRecord(recordSize));
    if (i % 100000 == 99999) {
      db.commit();
      db.lockDatabase(dbExclusiveLock);
    }
  }
  db.commit();
  double fillMs = nowMs() - fillStart;

  std::mt19937 rng(7);
  std::vector<double> latencies, outsideFlush;
  uint32_t compared = 0, copied = 0;
  for (int i = 0; i < 300; i++) {
    double t = nowMs();
    db.lockDatabase(dbExclusiveLock);
    dbRecord* r = db.getRecordForUpdate(oids[rng() % oids.size()]);
    memset(reinterpret_cast<char*>(r) + sizeof(dbRecord), i, 64);
    db.commit();
    latencies.push_back(nowMs() - t);
    outsideFlush.push_back(latencies.back() - db.getLastCommitStatistics().flushMicroseconds / 1000.0);
    compared = std::max(compared, db.getLastCommitStatistics().comparedIndexPages);
    copied = std::max(copied, db.getLastCommitStatistics().copiedIndexPages);
  }
  db.close();
  printf("| %6u MB | %9u | %8.0f | %8.3f | %8.3f | %8.3f | %11u | %9u | %15.3f | %14.3f |\n", megabytes, records,
         fillMs, percentile(latencies, 0.5), percentile(latencies, 0.9), percentile(latencies, 0.99), compared,
         copied, percentile(outsideFlush, 0.5), singlePageFlushMs(path));
  unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string directory = argc > 1 ? argv[1] : "/tmp";
  std::vector<uint32_t> sizes;
  for (int i = 2; i < argc; i++) sizes.push_back(uint32_t(atoi(argv[i])));
  if (sizes.empty()) sizes = {10, 100, 1000};
  printf("| database | records   | fill ms  | p50 ms   | p90 ms   | p99 ms   | compared pg | copied pg | p50 w/o flushes | 1-page msync ms |\n");
  printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (uint32_t mb : sizes) run(directory, mb);
  return 0;
}
