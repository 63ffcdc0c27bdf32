// T-tree index: inserts and range queries.
//
//   ttree_bench [DIRECTORY] [ROWS] [QUERIES]     (default: /tmp, 1000000, 100000)
//
// Rows with a tree-indexed int4 key (distinct keys 0 .. ROWS-1 in scrambled order)
// are inserted in one transaction and committed; then QUERIES range searches
// [k, k + 100) at random k each find 100 rows through the index. Reported:
// microseconds per insert (commit included), per range query and per row found.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <random>
#include <vector>
#include <string>

#include "benchsupport.h"
#include "cursor.h"
#include "database.h"
#include "index.h"
#include "ttree.h"

namespace {

struct Row {
  int32_t key;
  int32_t value;
  KELDRA_DESCRIBE(Row, KELDRA_KEY(key, INDEXED), KELDRA_FIELD(value));
};
KELDRA_TABLE(Row);

class BenchDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  bool beginRead() { return lockDatabase(dbSharedLock); }
};



}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const uint32_t rows = argc > 2 ? uint32_t(strtoul(argv[2], nullptr, 10)) : 1000000;
  const uint32_t queries = argc > 3 ? uint32_t(strtoul(argv[3], nullptr, 10)) : 100000;
  const uint32_t width = 100;
  const std::string file = dir + "/ttree_bench_" + std::to_string(getpid()) + ".kld";
  const std::string name = "ttree_bench_" + std::to_string(getpid());
  unlink(file.c_str());
  BenchDb db(dbReadWrite, 0, 64u << 20);
  if (!db.open(name.c_str(), file.c_str())) return 1;

  // Every key of 0 .. ROWS-1 once, in shuffled order.
  std::vector<int32_t> keys(rows);
  for (uint32_t i = 0; i < rows; i++) keys[i] = int32_t(i);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
  double start = nowSeconds();
  for (uint32_t i = 0; i < rows; i++) {
    Row r{keys[i], int32_t(i)};
    db.insertRecord(&Row_descriptor, &r);
  }
  db.commit();
  const double insertSeconds = nowSeconds() - start;

  dbTableDescriptor* table = db.findTable(&Row_descriptor);
  dbFieldDescriptor* fd = table->findSymbol("key");
  ReusableCursor<Row> cursor(*table, db);
  std::mt19937 rng(7);
  uint64_t found = 0;
  db.beginRead();
  start = nowSeconds();
  for (uint32_t q = 0; q < queries; q++) {
    const int32_t low = int32_t(rng() % (rows > width ? rows - width : 1)), high = low + int32_t(width);
    cursor.clear();
    dbSearchContext sc;
    sc.db = &db;
    sc.cursor = &cursor;
    sc.firstKey = reinterpret_cast<const char*>(&low);
    sc.firstKeyInclusion = true;
    sc.lastKey = reinterpret_cast<const char*>(&high);
    sc.lastKeyInclusion = false;
    sc.type = fd->type;
    sc.sizeofType = int(fd->dbsSize);
    sc.offs = int(fd->dbsOffs);
    sc.comparator = fd->comparator;
    dbTtree::find(&db, fd->tTree, sc);
    found += cursor.found();
  }
  const double querySeconds = nowSeconds() - start;
  db.commit();
  db.close();
  unlink(file.c_str());

  printf("rows %u, queries %u of [k, k+%u)\n", rows, queries, width);
  printf("%-28s %10.3f us\n", "insert (with commit)", insertSeconds * 1e6 / rows);
  printf("%-28s %10.3f us\n", "range query", querySeconds * 1e6 / queries);
  printf("%-28s %10.4f us   (%.1f rows per query)\n", "per row found", querySeconds * 1e6 / double(found),
         double(found) / queries);
  return found == uint64_t(queries) * width ? 0 : 2;
}
