// The application's tables in the database "Postsift" and every query the program runs
// against them. Mail itself is never stored: the tables hold the filter rules, the one
// settings record and the message grid's column widths.
//
// No field has an index: the tables are small, and every query walks its table.
// String fields point into the mapped file after a fetch and stay valid until the
// transaction ends (the next commit).
#pragma once

#include <cstdint>
#include <string>

#include "keldraCursor.h"

// Filter rules, one table per message field: EmailFrom rules are matched against the
// sender's address, EmailTo rules against the recipient list, EmailSubject rules
// against the subject. `text` is stored in lower case and matches a message whose
// lower-cased field contains it; `remove` true condemns a matching message, false
// keeps it on the server. No two rules of one table have the same text; the engine
// does not enforce this, the paths that add and edit rules check it first.
struct EmailFrom {
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(EmailFrom, KELDRA_FIELD(text), KELDRA_FIELD(remove));
};

struct EmailTo {
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(EmailTo, KELDRA_FIELD(text), KELDRA_FIELD(remove));
};

struct EmailSubject {
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(EmailSubject, KELDRA_FIELD(text), KELDRA_FIELD(remove));
};

// The settings: one record, created on the first run. An empty `server` means that
// no mailbox is configured.
struct Config {
  const char* server;
  int16_t port;
  const char* username;
  const char* password;  // stored as typed
  bool fromAdd;          // a double click on a From cell adds a rule at once (else: dialog)
  bool toAdd;
  bool subjectAdd;
  bool autoRemove;       // after receiving, delete the marked messages at once
  bool autoExecute;      // after receiving, start the mail program
  const char* emailProgram;
  // How the connection is secured: "None", "STARTTLS" or "SSL/TLS". A record written
  // before the field existed reads "" after the conversion, which means "None".
  const char* security;
  KELDRA_DESCRIBE(Config, KELDRA_FIELD(server), KELDRA_FIELD(port), KELDRA_FIELD(username),
                  KELDRA_FIELD(password), KELDRA_FIELD(fromAdd), KELDRA_FIELD(toAdd),
                  KELDRA_FIELD(subjectAdd), KELDRA_FIELD(autoRemove), KELDRA_FIELD(autoExecute),
                  KELDRA_FIELD(emailProgram), KELDRA_FIELD(security));
};

// Certificates the user trusts although they do not verify: the SHA-256 fingerprint
// (lower-case hex) accepted for one server and port.
struct TrustedCertificate {
  const char* server;
  int32_t port;
  const char* fingerprint;
  KELDRA_DESCRIBE(TrustedCertificate, KELDRA_FIELD(server), KELDRA_FIELD(port), KELDRA_FIELD(fingerprint));
};

// Stored widths of grid columns. `type` names the grid: only 0, the main window's
// message grid, is used; `col` is the column index 0..4.
struct ColumnWidth {
  int8_t type;
  int8_t col;
  int16_t width;
  KELDRA_DESCRIBE(ColumnWidth, KELDRA_FIELD(type), KELDRA_FIELD(col), KELDRA_FIELD(width));
};

// The automatic-backup settings and rotation state: one record, created by the first
// backup window. `lastBackupDate` is the local midnight of the day of the last daily
// backup (stamp -1: none); `lastBackup` the slot the next automatic backup writes;
// `totalBackup` the number of slots, 1..100.
struct BackupRecord {
  dbDateTime lastBackupDate;
  bool everytime;  // back up at every exit
  bool everyday;   // back up at the first start of each day
  int8_t lastBackup;
  int8_t totalBackup;
  KELDRA_DESCRIBE(BackupRecord, KELDRA_FIELD(lastBackupDate), KELDRA_FIELD(everytime), KELDRA_FIELD(everyday),
                  KELDRA_FIELD(lastBackup), KELDRA_FIELD(totalBackup));
};

extern dbTableDescriptor EmailFrom_descriptor;
extern dbTableDescriptor EmailTo_descriptor;
extern dbTableDescriptor EmailSubject_descriptor;
extern dbTableDescriptor Config_descriptor;
extern dbTableDescriptor ColumnWidth_descriptor;
extern dbTableDescriptor BackupRecord_descriptor;
extern dbTableDescriptor TrustedCertificate_descriptor;

// The grid type of the main window's message grid in ColumnWidth.
constexpr int32_t mainGridType = 0;

// The settings record written on the first run.
Config firstRunConfig();

// --- ColumnWidth

// The stored widths of grid `type` ("type=" with a 4-byte integer parameter).
uint32_t selectColumnWidths(keldraCursor<ColumnWidth>& cursor, int32_t type);
oid_t insertColumnWidth(dbDatabase& db, int8_t type, int8_t col, int16_t width);

// --- Config

// The whole table; the program uses the first record selected.
uint32_t selectConfig(keldraCursor<Config>& cursor);
oid_t insertConfig(dbDatabase& db, const Config& config);

// --- TrustedCertificate

// The fingerprint trusted for `server`:`port`, "" when none.
std::string trustedFingerprint(dbDatabase& db, const std::string& server, int port);
// Trusts `fingerprint` for `server`:`port`, replacing what was trusted before.
void trustFingerprint(dbDatabase& db, const std::string& server, int port, const std::string& fingerprint);

// --- Rule tables (EmailFrom, EmailTo, EmailSubject)

// The LIKE pattern that finds `search` anywhere in a rule text: '%' and '_' in it keep
// their pattern meaning (any run, any one character); the escape character '\' is
// escaped, so that a backslash matches itself. Used with ruleSearchEscape as the
// ESCAPE character.
std::string ruleSearchPattern(const std::string& search);
constexpr const char* ruleSearchEscape = "\\";

// The keep rules ("remove=false").
template <class Rule>
uint32_t selectKeepRules(keldraCursor<Rule>& cursor) {
  return cursor.select("remove=false");
}

// The remove rules ("remove=true").
template <class Rule>
uint32_t selectRemoveRules(keldraCursor<Rule>& cursor) {
  return cursor.select("remove=true");
}

// The rule whose text is exactly `lowerText` ("text=" with a string parameter), for
// the duplicate check before a rule is added or changed.
template <class Rule>
uint32_t selectRuleByText(keldraCursor<Rule>& cursor, const char* lowerText) {
  dbQuery query;
  query = "text=", lowerText;
  return cursor.select(query);
}

// The rules whose text contains `search` ('%' and '_' in it acting as patterns). The
// search text is passed to the engine as a string parameter of a LIKE pattern, never
// pasted into the condition text: a quote in it cannot break the condition.
template <class Rule>
uint32_t selectRulesContaining(keldraCursor<Rule>& cursor, const std::string& search) {
  const std::string pattern = ruleSearchPattern(search);
  dbQuery query;
  query = "text like ", pattern.c_str(), " escape '\\'";
  return cursor.select(query);
}

// Every rule of the table.
template <class Rule>
uint32_t selectAllRules(keldraCursor<Rule>& cursor) {
  return cursor.select();
}

// Positions `cursor` (made for update) on the rule `oid` for editing or deleting.
template <class Rule>
void selectRuleById(keldraCursor<Rule>& cursor, oid_t oid) {
  cursor.selectById(oid);
}

// Adds a rule; `lowerText` must already be lower case.
template <class Rule>
oid_t insertRule(dbDatabase& db, const char* lowerText, bool remove) {
  Rule rule{lowerText, remove};
  return db.insertRecord(&Rule::dbTable(), &rule);
}
