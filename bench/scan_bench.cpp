// Full scans and sorting through cursors.
//
//   scan_bench [DIRECTORY] [ROWS]      (default: /tmp, 1000000)
//
// A table of (int4 key, ~32-byte string, bool) records is scanned with a LIKE
// condition and with a boolean condition, by one thread and by two, and the whole
// selection is sorted by the string.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "benchsupport.h"
#include "keldraCursor.h"

namespace {

struct Row {
  int32_t key;
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(Row, KELDRA_FIELD(key), KELDRA_FIELD(text), KELDRA_FIELD(remove));
};
KELDRA_TABLE(Row);


void fill(keldraDatabase& db, int rows) {
  char text[64];
  Row row{};
  for (int i = 0; i < rows; i++) {
    // 32 bytes of letters; every 100th row contains "abc".
    snprintf(text, sizeof text, "%08x%s%08x%08x", unsigned(i) * 2654435761u, i % 100 == 0 ? "abcd" : "wxyz",
             unsigned(i) ^ 0x5bd1e995u, unsigned(i) * 40503u);
    row.key = i;
    row.text = text;
    row.remove = i % 3 == 0;
    db.insertRecord(&Row_descriptor, &row);
  }
  db.commit();
}

void timeScan(const std::string& path, const char* name, int threads, int rows, const char* condition) {
  keldraDatabase db(dbReadWrite, 0, 4194304, 65536, threads);
  db.open(name, path.c_str());
  keldraCursor<Row> cursor;
  double start = nowSeconds();
  uint32_t found = cursor.select(condition);
  double seconds = nowSeconds() - start;
  db.commit();
  printf("| scan `%s` | %d | %u | %.3f | %.0f |\n", condition, threads, found, seconds, rows / seconds);
  db.close();
}

}  // namespace

int main(int argc, char** argv) {
  std::string directory = argc > 1 ? argv[1] : "/tmp";
  int rows = argc > 2 ? atoi(argv[2]) : 1000000;
  std::string path = directory + "/scan_bench.kld";
  std::string name = "scanbench" + std::to_string(getpid());
  unlink(path.c_str());
  {
    keldraDatabase db;
    db.open(name.c_str(), path.c_str());
    double start = nowSeconds();
    fill(db, rows);
    printf("filled %d rows in %.1f s\n\n", rows, nowSeconds() - start);
    db.close();
  }
  printf("| operation | threads | selected | seconds | records/s |\n|---|---|---|---|---|\n");
  for (int threads : {1, 2}) {
    timeScan(path, name.c_str(), threads, rows, "text like '%abc%'");
    timeScan(path, name.c_str(), threads, rows, "remove=true");
  }
  keldraDatabase db;
  db.open(name.c_str(), path.c_str());
  keldraCursor<Row> cursor;
  double start = nowSeconds();
  uint32_t n = cursor.select("order by text");
  double seconds = nowSeconds() - start;
  printf("| sort by the string (select all + order by) | 1 | %u | %.3f | %.0f |\n", n, seconds, rows / seconds);
  db.commit();
  db.close();
  unlink(path.c_str());
  return 0;
}
