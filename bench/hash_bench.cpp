// Hash index: inserts and point lookups with and without growth.
//
//   hash_bench [DIRECTORY] [ROWS] [LOOKUPS]     (default: /tmp, 1000000, 1000000)
//
// Rows with a hashed int4 key (distinct, in scrambled order) are inserted in one
// transaction and committed; then random keys are looked up through the index.
// This is done once with growth and once with growth turned off, where the table
// keeps its creation size of 16383 buckets. Reported: microseconds per insert and
// per lookup, the bucket count, and the average chain length (rows per non-empty
// bucket, which is also the expected number of items a lookup walks).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "benchsupport.h"
#include "cursor.h"
#include "database.h"
#include "hashtab.h"
#include "index.h"

namespace {

struct Row {
  int32_t key;
  int32_t value;
  KELDRA_DESCRIBE(Row, KELDRA_KEY(key, HASHED), KELDRA_FIELD(value));
};
KELDRA_TABLE(Row);

class BenchDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  bool beginRead() { return lockDatabase(dbSharedLock); }
  dbHashHeader header(oid_t hashId) const { return *reinterpret_cast<const dbHashHeader*>(getObject(hashId)); }
};



int32_t keyOf(uint32_t i) { return int32_t(i * 2654435761u); }  // distinct for distinct i

void run(const std::string& dir, bool growth, uint32_t rows, uint32_t lookups) {
  std::string file = dir + "/hash_bench_" + std::to_string(getpid()) + ".kld";
  std::string name = "hash_bench_" + std::to_string(getpid()) + (growth ? "g" : "n");
  unlink(file.c_str());
  dbHashTable::growthEnabled = growth;
  BenchDb db;
  if (!db.open(name.c_str(), file.c_str())) {
    fprintf(stderr, "cannot open %s\n", file.c_str());
    exit(1);
  }
  double start = nowSeconds();
  Row row{};
  for (uint32_t i = 0; i < rows; i++) {
    row.key = keyOf(i);
    row.value = int32_t(i);
    db.insertRecord(&Row_descriptor, &row);
  }
  db.commit();
  double insertSeconds = nowSeconds() - start;

  dbTableDescriptor* table = db.findTable(&Row_descriptor);
  dbFieldDescriptor* fd = table->find("key");
  ReusableCursor<Row> cursor(*table, db);
  db.beginRead();
  const dbHashHeader h = db.header(fd->hashTable);
  std::mt19937 random(42);
  std::uniform_int_distribution<uint32_t> pick(0, rows - 1);
  uint64_t found = 0;
  start = nowSeconds();
  for (uint32_t i = 0; i < lookups; i++) {
    int32_t key = keyOf(pick(random));
    dbSearchContext sc;
    sc.db = &db;
    sc.cursor = &cursor;
    sc.firstKey = reinterpret_cast<const char*>(&key);
    sc.type = fd->type;
    sc.sizeofType = int(fd->dbsSize);
    sc.offs = int(fd->dbsOffs);
    cursor.clear();
    dbHashTable::find(&db, fd->hashTable, sc);
    found += cursor.found();
  }
  double lookupSeconds = nowSeconds() - start;
  db.commit();
  if (found != lookups) fprintf(stderr, "expected %u records, found %llu\n", lookups, (unsigned long long)found);
  printf("| %s | %u | %.3f | %.3f | %u | %u | %.2f |\n", growth ? "on" : "off", rows, insertSeconds * 1e6 / rows,
         lookupSeconds * 1e6 / lookups, h.size, h.used, h.used != 0 ? double(rows) / h.used : 0.0);
  db.close();
  unlink(file.c_str());
  dbHashTable::growthEnabled = true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  uint32_t rows = argc > 2 ? uint32_t(atol(argv[2])) : 1000000;
  uint32_t lookups = argc > 3 ? uint32_t(atol(argv[3])) : 1000000;
  if (rows == 0) rows = 1;
  printf("| growth | rows | µs/insert | µs/lookup | buckets | non-empty | avg chain |\n");
  printf("|---|---|---|---|---|---|---|\n");
  run(dir, true, rows, lookups);
  run(dir, false, rows, lookups);
  return 0;
}
