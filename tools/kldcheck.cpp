// kldcheck FILE: checks the committed state of a database file without opening it as
// a database, so it also works on a file no process has open. Prints each error on
// its own line and a one-line summary with the counts of live objects, used and
// unowned bytes, tables and rows. Exit status: 0 consistent, 1 errors found,
// 2 usage or I/O error.
#include <cstdio>

#include "check.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: kldcheck FILE\n");
    return 2;
  }
  dbCheckReport report = dbCheckFile(argv[1]);
  if (report.unreadable) {
    for (const std::string& error : report.errors) fprintf(stderr, "kldcheck: %s\n", error.c_str());
    return 2;
  }
  for (const std::string& error : report.errors) printf("%s\n", error.c_str());
  printf("%s: %s; %llu live objects, %llu used bytes, %llu unowned bytes; %llu tables, %llu rows\n", argv[1],
         report.ok() ? "consistent" : "INCONSISTENT", (unsigned long long)report.liveObjects,
         (unsigned long long)report.usedBytes, (unsigned long long)report.unownedBytes,
         (unsigned long long)report.tables, (unsigned long long)report.rows);
  return report.ok() ? 0 : 1;
}
