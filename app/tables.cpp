#include "tables.h"

KELDRA_TABLE(EmailFrom);
KELDRA_TABLE(EmailTo);
KELDRA_TABLE(EmailSubject);
KELDRA_TABLE(Config);
KELDRA_TABLE(ColumnWidth);
KELDRA_TABLE(BackupRecord);

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
