// legacyconfig_writer FILE: writes a database whose Config table has the declaration of
// the program before the connection's security was stored, with one settings record,
// for the upgrade test.
#include <cstdio>

#include "keldraCursor.h"

struct Config {
  const char* server;
  int16_t port;
  const char* username;
  const char* password;
  bool fromAdd;
  bool toAdd;
  bool subjectAdd;
  bool autoRemove;
  bool autoExecute;
  const char* emailProgram;
  KELDRA_DESCRIBE(Config, KELDRA_FIELD(server), KELDRA_FIELD(port), KELDRA_FIELD(username),
                  KELDRA_FIELD(password), KELDRA_FIELD(fromAdd), KELDRA_FIELD(toAdd),
                  KELDRA_FIELD(subjectAdd), KELDRA_FIELD(autoRemove), KELDRA_FIELD(autoExecute),
                  KELDRA_FIELD(emailProgram));
};
KELDRA_TABLE(Config);

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  if (!db.open("legacy", argv[1])) return 1;
  Config config{"pop.example.org", int16_t(40000), "me", "old secret", false, true, true, true, false, "/usr/bin/mailer"};
  db.insertRecord(&Config_descriptor, &config);
  db.commit();
  db.close();
  return 0;
}
