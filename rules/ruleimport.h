// Rule lists as plain text files, for importing block lists and exporting rules: UTF-8,
// one rule text a line. Lines that are blank or start with '#' are ignored; every text
// is trimmed (characters 0..32) and lower-cased as the program stores rules.
#pragma once

#include <QString>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ruletables.h"

// A rule file that cannot be read: the message names the line.
class RuleFileError : public std::runtime_error {
 public:
  RuleFileError(const std::string& message, int line) : std::runtime_error(message), line(line) {}
  int line;
};

// The rule texts of a file's bytes, in file order (duplicates kept). Throws
// RuleFileError for a line that is not valid UTF-8.
std::vector<std::string> parseRuleFile(std::string_view bytes);

struct ImportReport {
  int added = 0;
  int skipped = 0;  // already in the table, or a repeat within the file
};
// "N added, M skipped"
QString importReportText(const ImportReport& report);

// Adds `texts` as rules of one kind to `table`, skipping texts the table has (of either
// kind) and repeats. `progress` is called now and then with the count done. Everything
// happens in the caller's transaction: the caller commits, or rolls back to add nothing.
ImportReport importRules(dbDatabase& db, RuleTable table, bool remove, const std::vector<std::string>& texts,
                         const std::function<void(int done)>& progress = {});

// The file of `rows`: their texts lower-cased, one a line.
std::string ruleFileOf(const std::vector<RuleRow>& rows);
