// A small demonstration of the engine: creates (or opens) a database in the current
// directory, reports what it found, closes it, opens it again and closes it.
#include <cstdio>

#include "keldraCursor.h"

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "Postsift";
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  for (int round = 1; round <= 2; round++) {
    if (!db.open(name)) {
      printf("could not open database %s\n", name);
      return 1;
    }
    printf("round %d: opened %s/%s.kld, %d process(es) have it open\n", round,
           db.homeDirectory().c_str(), db.baseName().c_str(), db.getProcessCount());
    db.close();
    printf("round %d: closed\n", round);
  }
  return 0;
}
