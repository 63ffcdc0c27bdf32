#include "classifier.h"

#include <algorithm>

#include "lowercase.h"
#include "tables.h"

const char* markText(Mark mark) {
  switch (mark) {
    case Mark::from: return "From";
    case Mark::to: return "To";
    case Mark::subject: return "Sub";
    case Mark::none: break;
  }
  return "";
}

namespace {

template <class Rule>
std::vector<std::string> selectedTexts(dbDatabase& db, uint32_t (*select)(keldraCursor<Rule>&)) {
  std::vector<std::string> texts;
  keldraCursor<Rule> cursor(dbCursorForReading, &db);
  if (select(cursor) == 0) return texts;
  do {
    texts.emplace_back(cursor->text != nullptr ? cursor->text : "");
  } while (cursor.next() != nullptr);
  return texts;
}

template <class Rule>
RuleTexts readTable(dbDatabase& db) {
  return {selectedTexts<Rule>(db, &selectKeepRules<Rule>), selectedTexts<Rule>(db, &selectRemoveRules<Rule>)};
}

bool anyMatches(const std::string& lowerField, const std::vector<std::string>& rules) {
  return std::any_of(rules.begin(), rules.end(),
                     [&](const std::string& rule) { return ruleMatches(lowerField, rule); });
}

bool isBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

}  // namespace

RuleBook loadRuleBook(dbDatabase& db) {
  return {readTable<EmailFrom>(db), readTable<EmailTo>(db), readTable<EmailSubject>(db)};
}

bool ruleMatches(const std::string& lowerField, const std::string& rule) {
  return !rule.empty() && !lowerField.empty() && lowerField.find(rule) != std::string::npos;
}

Mark classifyMessage(const RuleBook& rules, const MessageFields& fields) {
  if (isBlank(fields.from)) return Mark::from;
  const std::string from = lowerText(fields.from);
  const std::string to = lowerText(fields.to);
  const std::string subject = lowerText(fields.subject);
  if (!rules.to.keep.empty() && !anyMatches(to, rules.to.keep)) return Mark::to;
  if (anyMatches(subject, rules.subject.keep)) return Mark::none;
  if (anyMatches(from, rules.from.keep)) return Mark::none;
  if (anyMatches(to, rules.to.remove)) return Mark::to;
  if (anyMatches(subject, rules.subject.remove)) return Mark::subject;
  if (anyMatches(from, rules.from.remove)) return Mark::from;
  return Mark::none;
}
