#include "classifier.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "lowercase.h"
#include "rulematcher.h"
#include "tables.h"

// One matcher for each list prepare() found long enough; none (the walk) for the rest.
struct PreparedRules {
  std::optional<RuleMatcher> fromKeep, fromRemove, toKeep, toRemove, subjectKeep, subjectRemove;
};

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

const PreparedRules walkEveryList;

bool anyMatches(const std::string& lowerField, const std::vector<std::string>& rules,
                const std::optional<RuleMatcher>& matcher) {
  if (matcher) return matcher->matchesAny(lowerField);
  return std::any_of(rules.begin(), rules.end(),
                     [&](const std::string& rule) { return ruleMatches(lowerField, rule); });
}

void compile(std::optional<RuleMatcher>& matcher, const std::vector<std::string>& rules, std::size_t minimumRules) {
  if (rules.empty() || rules.size() < minimumRules) return;
  try {
    matcher.emplace(rules);
  } catch (const std::exception&) {
    // Out of memory (or over 4 GiB of text): the walk needs nothing more than the texts.
  }
}

bool isBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

}  // namespace

void RuleBook::prepare(std::size_t minimumRules) {
  auto compiled = std::make_shared<PreparedRules>();
  compile(compiled->fromKeep, from.keep, minimumRules);
  compile(compiled->fromRemove, from.remove, minimumRules);
  compile(compiled->toKeep, to.keep, minimumRules);
  compile(compiled->toRemove, to.remove, minimumRules);
  compile(compiled->subjectKeep, subject.keep, minimumRules);
  compile(compiled->subjectRemove, subject.remove, minimumRules);
  prepared = std::move(compiled);
}

RuleBook loadRuleBook(dbDatabase& db) {
  RuleBook rules{readTable<EmailFrom>(db), readTable<EmailTo>(db), readTable<EmailSubject>(db)};
  rules.prepare();
  return rules;
}

bool ruleMatches(const std::string& lowerField, const std::string& rule) {
  return !rule.empty() && !lowerField.empty() && lowerField.find(rule) != std::string::npos;
}

Mark classifyMessage(const RuleBook& rules, const MessageFields& fields) {
  if (isBlank(fields.from)) return Mark::from;
  const std::string from = lowerText(fields.from);
  const std::string to = lowerText(fields.to);
  const std::string subject = lowerText(fields.subject);
  const PreparedRules& compiled = rules.prepared ? *rules.prepared : walkEveryList;
  // The accepted recipients apply as soon as the list has rules, even rules that
  // cannot match (empty texts): then no recipient is accepted.
  if (!rules.to.keep.empty() && !anyMatches(to, rules.to.keep, compiled.toKeep)) return Mark::to;
  if (anyMatches(subject, rules.subject.keep, compiled.subjectKeep)) return Mark::none;
  if (anyMatches(from, rules.from.keep, compiled.fromKeep)) return Mark::none;
  if (anyMatches(to, rules.to.remove, compiled.toRemove)) return Mark::to;
  if (anyMatches(subject, rules.subject.remove, compiled.subjectRemove)) return Mark::subject;
  if (anyMatches(from, rules.from.remove, compiled.fromRemove)) return Mark::from;
  return Mark::none;
}
