#include "tables.h"

KELDRA_TABLE(EmailFrom);
KELDRA_TABLE(EmailTo);
KELDRA_TABLE(EmailSubject);
KELDRA_TABLE(Config);
KELDRA_TABLE(ColumnWidth);
KELDRA_TABLE(BackupRecord);
KELDRA_TABLE(TrustedCertificate);

Config firstRunConfig() {
  Config config{};
  config.server = "";
  config.port = 110;
  config.username = "";
  config.password = "";
  config.fromAdd = true;
  config.toAdd = true;
  config.subjectAdd = false;
  config.autoRemove = false;
  config.autoExecute = false;
  config.emailProgram = "/usr/bin/thunderbird";
  config.security = "STARTTLS";
  return config;
}

uint32_t selectColumnWidths(keldraCursor<ColumnWidth>& cursor, int32_t type) {
  // The query reads the parameter through its address during select.
  int32_t typeParameter = type;
  dbQuery query;
  query = "type=", typeParameter;
  return cursor.select(query);
}

oid_t insertColumnWidth(dbDatabase& db, int8_t type, int8_t col, int16_t width) {
  ColumnWidth record{type, col, width};
  return db.insertRecord(&ColumnWidth_descriptor, &record);
}

uint32_t selectConfig(keldraCursor<Config>& cursor) { return cursor.select(); }

oid_t insertConfig(dbDatabase& db, const Config& config) {
  return db.insertRecord(&Config_descriptor, &config);
}

std::string ruleSearchPattern(const std::string& search) {
  const char escape = ruleSearchEscape[0];
  std::string pattern = "%";
  for (char c : search) {
    if (c == escape) pattern.push_back(escape);
    pattern.push_back(c);
  }
  pattern.push_back('%');
  return pattern;
}

namespace {
uint32_t selectTrusted(keldraCursor<TrustedCertificate>& cursor, const std::string& server, int32_t& port) {
  dbQuery query;
  query = "server=", server.c_str(), "and port=", port;
  return cursor.select(query);
}
}  // namespace

std::string trustedFingerprint(dbDatabase& db, const std::string& server, int port) {
  keldraCursor<TrustedCertificate> cursor(dbCursorForReading, &db);
  int32_t portParameter = port;
  if (selectTrusted(cursor, server, portParameter) == 0) return "";
  return cursor->fingerprint != nullptr ? cursor->fingerprint : "";
}

void trustFingerprint(dbDatabase& db, const std::string& server, int port, const std::string& fingerprint) {
  keldraCursor<TrustedCertificate> cursor(dbCursorForUpdate, &db);
  int32_t portParameter = port;
  if (selectTrusted(cursor, server, portParameter) > 0) {
    while (!cursor.isEmpty()) cursor.remove();  // each remove steps to the next selected
  }
  TrustedCertificate trusted{server.c_str(), port, fingerprint.c_str()};
  db.insertRecord(&TrustedCertificate_descriptor, &trusted);
}
