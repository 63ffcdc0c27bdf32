// Classification of one listed message by the filter rules. The steps run in a fixed
// order and the first that decides ends it:
//   a. an empty sender (after trimming characters 0..32): mark "From";
//   b. when there are EmailTo keep rules, a recipient text matching none of them:
//      mark "To" (the keep rules of EmailTo are the accepted recipients);
//   c. an EmailSubject keep rule matches the subject: the message stays;
//   d. an EmailFrom keep rule matches the sender: the message stays;
//   e. an EmailTo remove rule matches the recipients: mark "To";
//   f. an EmailSubject remove rule matches the subject: mark "Sub";
//   g. an EmailFrom remove rule matches the sender: mark "From";
//   h. otherwise the message stays.
// A rule matches when its text, as stored, occurs in the lower-cased field; an empty
// rule text or an empty field never matches.
//
// A step only asks whether some rule of its list matches, never which. A short list is
// answered by walking it, a substring search per rule; a long one (imported block lists
// run to a hundred thousand addresses) by one search of the field with a RuleMatcher
// compiled from the whole list, once for all the messages of a receive. Both give the
// same answer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class dbDatabase;

enum class Mark { none, from, to, subject };

// The grid text of a mark: "", "From", "To" or "Sub".
const char* markText(Mark mark);

// The rule texts of one table, split as the queries "remove=false" and "remove=true"
// select them, in selection order.
struct RuleTexts {
  std::vector<std::string> keep;
  std::vector<std::string> remove;
};

// Lists of at least this many rules get a compiled matcher from RuleBook::prepare();
// shorter ones are walked. Below it, walking a list costs no more than compiling it
// and searching with it, over a receive of 2,000 messages (docs/performance.md).
inline constexpr std::size_t matcherMinimumRules = 24;

// The compiled matchers of a prepared RuleBook (classifier.cpp).
struct PreparedRules;

struct RuleBook {
  RuleTexts from;
  RuleTexts to;
  RuleTexts subject;
  // Set by prepare(); without it every list is walked. Shared by copies: the matchers
  // never change once built.
  std::shared_ptr<const PreparedRules> prepared = nullptr;

  // Compiles a matcher for each of the six lists that has rules, and at least
  // `minimumRules` of them; the others keep the walk. The texts must not change
  // afterwards unless prepare() runs again. A list whose matcher cannot be built (out
  // of memory) is walked.
  void prepare(std::size_t minimumRules = matcherMinimumRules);
};

// Reads the rules of the three tables and prepares them. Rules cannot change while an
// operation holds the shared lock, so one reading serves every message of a receive.
// REQUIRES: an open database; the caller commits.
RuleBook loadRuleBook(dbDatabase& db);

// The grid texts of one message: sender address, recipient list, subject (UTF-8).
struct MessageFields {
  std::string from;
  std::string to;
  std::string subject;
};

Mark classifyMessage(const RuleBook& rules, const MessageFields& fields);

// Whether `rule` occurs in the already lower-cased `lowerField` (never for empty texts).
bool ruleMatches(const std::string& lowerField, const std::string& rule);
