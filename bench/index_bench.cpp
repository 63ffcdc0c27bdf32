// Index costs: inserts with 0, 1 and 2 indexes, point lookups and range queries.
//
//   index_bench [DIRECTORY] [ROWS] [QUERIES]     (default: /tmp, 1000000, 100000)
//
// Three tables of (int4 x, int4 y) records differ only in their indexes: none, a
// hash index on x, and a hash index on x plus a T-tree on y. Each is filled with
// ROWS records (x and y two independent permutations of 0 .. ROWS-1) in one
// transaction of its own database file, commit included in the insert cost. On the
// two-index table QUERIES random point lookups go through the hash index
// ("x = ?") and through the T-tree ("y = ?"), and QUERIES range queries
// "y between ? and ?" each return 100 rows through the T-tree. Lookups reuse one
// query with bound variables and commit after every batch to release the lock.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "keldraCursor.h"

namespace {

struct Plain {
  int32_t x;
  int32_t y;
  KELDRA_DESCRIBE(Plain, KELDRA_FIELD(x), KELDRA_FIELD(y));
};
KELDRA_TABLE(Plain);

struct OneIndex {
  int32_t x;
  int32_t y;
  KELDRA_DESCRIBE(OneIndex, KELDRA_KEY(x, HASHED), KELDRA_FIELD(y));
};
KELDRA_TABLE(OneIndex);

struct TwoIndexes {
  int32_t x;
  int32_t y;
  KELDRA_DESCRIBE(TwoIndexes, KELDRA_KEY(x, HASHED), KELDRA_KEY(y, INDEXED));
};
KELDRA_TABLE(TwoIndexes);

constexpr uint32_t batch = 1000;  // lookups between two commits
constexpr int32_t width = 100;    // rows per range query


std::vector<int32_t> permutation(uint32_t rows, uint32_t seed) {
  std::vector<int32_t> v(rows);
  std::iota(v.begin(), v.end(), 0);
  std::mt19937 rng(seed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

// Inserts all rows into a fresh database and commits; returns µs per row.
template <class T>
double fill(keldraDatabase& db, const std::string& name, const std::string& path, const std::vector<int32_t>& xs,
            const std::vector<int32_t>& ys) {
  unlink(path.c_str());
  if (!db.open(name.c_str(), path.c_str())) {
    fprintf(stderr, "cannot open %s\n", path.c_str());
    exit(1);
  }
  T row{};
  double start = nowSeconds();
  for (size_t i = 0; i < xs.size(); i++) {
    row.x = xs[i];
    row.y = ys[i];
    db.insertRecord(&T::dbTable(), &row);
  }
  db.commit();
  return (nowSeconds() - start) * 1e6 / double(xs.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const uint32_t rows = argc > 2 ? uint32_t(strtoul(argv[2], nullptr, 10)) : 1000000;
  const uint32_t queries = argc > 3 ? uint32_t(strtoul(argv[3], nullptr, 10)) : 100000;
  if (rows < uint32_t(width) || queries == 0) {
    fprintf(stderr, "need at least %d rows and one query\n", width);
    return 2;
  }
  const std::vector<int32_t> xs = permutation(rows, 1);
  const std::vector<int32_t> ys = permutation(rows, 2);
  const std::string tag = std::to_string(getpid());

  const char* names[3] = {"index_bench0", "index_bench1", "index_bench2"};
  std::string paths[3];
  double insertUs[3];
  for (int i = 0; i < 3; i++) paths[i] = dir + "/" + names[i] + ".kld";

  {
    keldraDatabase db;
    insertUs[0] = fill<Plain>(db, names[0] + tag, paths[0], xs, ys);
    db.close();
  }
  {
    keldraDatabase db;
    insertUs[1] = fill<OneIndex>(db, names[1] + tag, paths[1], xs, ys);
    db.close();
  }
  keldraDatabase db;
  insertUs[2] = fill<TwoIndexes>(db, names[2] + tag, paths[2], xs, ys);

  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> anyKey(0, int32_t(rows) - 1);
  std::uniform_int_distribution<int32_t> anyStart(0, int32_t(rows) - width);
  keldraCursor<TwoIndexes> cursor(dbCursorForReading, &db);

  // Point lookups: "field = value" with the value bound; every key exists once.
  auto lookups = [&](const char* field) {
    int32_t value = 0;
    dbQuery q;
    q = field, value;
    uint64_t found = 0;
    double start = nowSeconds();
    for (uint32_t i = 0; i < queries; i++) {
      value = anyKey(rng);
      found += cursor.select(q);
      if ((i + 1) % batch == 0) db.commit();
    }
    db.commit();
    double seconds = nowSeconds() - start;
    if (found != queries) fprintf(stderr, "%s: %llu rows found for %u lookups\n", field, (unsigned long long)found, queries);
    return queries / seconds;
  };
  double hashRate = lookups("x =");
  double treeRate = lookups("y =");

  // Range queries: y in [from, from + 99], 100 rows each.
  int32_t from = 0, till = 0;
  dbQuery range;
  range = "y between", from, "and", till;
  uint64_t found = 0;
  double start = nowSeconds();
  for (uint32_t i = 0; i < queries; i++) {
    from = anyStart(rng);
    till = from + width - 1;
    found += cursor.select(range);
    if ((i + 1) % batch == 0) db.commit();
  }
  db.commit();
  double rangeSeconds = nowSeconds() - start;
  double rangeRate = queries / rangeSeconds;
  db.close();
  for (const std::string& p : paths) unlink(p.c_str());

  printf("%u rows, %u queries of each kind\n\n", rows, queries);
  printf("| measure | value |\n|---|---|\n");
  printf("| insert, 0 indexes (µs/row, commit included) | %.3f |\n", insertUs[0]);
  printf("| insert, 1 index: hash on x (µs/row, commit included) | %.3f |\n", insertUs[1]);
  printf("| insert, 2 indexes: hash on x + T-tree on y (µs/row, commit included) | %.3f |\n", insertUs[2]);
  printf("| point lookup through the hash index, `x = ?` (lookups/s) | %.0f |\n", hashRate);
  printf("| point lookup through the T-tree, `y = ?` (lookups/s) | %.0f |\n", treeRate);
  printf("| range query through the T-tree, `y between ? and ?`, %.1f rows each (queries/s) | %.0f |\n",
         double(found) / queries, rangeRate);
  return 0;
}
