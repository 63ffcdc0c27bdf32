// The three rule tables as the rule editor, the message list and the command line work
// on them: listing and searching, and adding, changing and deleting one rule with the
// duplicate check that keeps every text unique within its table. Texts are UTF-8;
// every stored text is lower-cased first (lowerText).
//
// None of these commit: the caller ends its operation with a commit.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class dbDatabase;

// The rule tables by the number the editor and the message grid's columns use.
enum class RuleTable { from = 1, to = 2, subject = 3 };

// The duplicate message of a table: "This email has been added already." (From, To)
// or "This subject has been added already." (Subject).
QString duplicateRuleText(RuleTable table);

struct RuleRow {
  uint32_t oid;
  QString text;
  bool remove;
};

enum class RuleFilter { all, remove, keep };

// The rules the editor's search lists, in selection order: with a search text that is
// not blank (after trimming characters 0..32) the rules containing it ('%' and '_' in
// it act as patterns, any other character matches itself), whatever `filter` says;
// otherwise all, the remove or the keep rules.
std::vector<RuleRow> searchRules(dbDatabase& db, RuleTable table, RuleFilter filter, const QString& search);

// Adds a rule with the lower-cased `text`; nothing when the table has that text already.
std::optional<uint32_t> addRule(dbDatabase& db, RuleTable table, const QString& text, bool remove);

enum class EditResult { updated, duplicate };
// Sets rule `oid`'s flag and, when `newText` differs from `shownText` (exactly, case
// included), its text to the lower-cased `newText`. Refused, changing nothing, when
// another rule (or this one: a change of case only) has that text.
EditResult editRule(dbDatabase& db, RuleTable table, uint32_t oid, const QString& shownText, const QString& newText,
                    bool remove);

void deleteRule(dbDatabase& db, RuleTable table, uint32_t oid);

// The rule whose text is the lower-cased `text`.
std::optional<uint32_t> findRule(dbDatabase& db, RuleTable table, const QString& text);
