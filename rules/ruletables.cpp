#include "ruletables.h"

#include "lowercase.h"
#include "tables.h"

namespace {

// Calls `work` with a null pointer of the table's record type.
template <class Work>
auto withTable(RuleTable table, Work work) {
  switch (table) {
    case RuleTable::to: return work(static_cast<EmailTo*>(nullptr));
    case RuleTable::subject: return work(static_cast<EmailSubject*>(nullptr));
    case RuleTable::from: break;
  }
  return work(static_cast<EmailFrom*>(nullptr));
}

template <class Pointer>
using RuleOf = std::remove_pointer_t<Pointer>;

std::string lowered(const QString& text) { return lowerText(text.toStdString()); }

template <class Rule>
bool hasText(dbDatabase& db, const std::string& lowerText) {
  keldraCursor<Rule> existing(dbCursorForReading, &db);
  return selectRuleByText(existing, lowerText.c_str()) > 0;
}

// The search text without leading and trailing characters 0..32.
QString trimmedSearch(const QString& search) {
  qsizetype begin = 0;
  qsizetype end = search.size();
  while (begin < end && search[begin].unicode() <= 32) ++begin;
  while (end > begin && search[end - 1].unicode() <= 32) --end;
  return search.mid(begin, end - begin);
}

}  // namespace

QString duplicateRuleText(RuleTable table) {
  return table == RuleTable::subject ? QStringLiteral("This subject has been added already.")
                                     : QStringLiteral("This email has been added already.");
}

std::vector<RuleRow> searchRules(dbDatabase& db, RuleTable table, RuleFilter filter, const QString& search) {
  const std::string text = trimmedSearch(search).toStdString();
  return withTable(table, [&](auto* type) {
    using Rule = RuleOf<decltype(type)>;
    std::vector<RuleRow> rows;
    keldraCursor<Rule> cursor(dbCursorForReading, &db);
    uint32_t count = 0;
    if (!text.empty()) {
      count = selectRulesContaining(cursor, text);
    } else if (filter == RuleFilter::remove) {
      count = selectRemoveRules(cursor);
    } else if (filter == RuleFilter::keep) {
      count = selectKeepRules(cursor);
    } else {
      count = selectAllRules(cursor);
    }
    if (count == 0) return rows;
    rows.reserve(count);
    do {
      rows.push_back({cursor.getOid(), QString::fromUtf8(cursor->text != nullptr ? cursor->text : ""), cursor->remove});
    } while (cursor.next() != nullptr);
    return rows;
  });
}

std::optional<uint32_t> addRule(dbDatabase& db, RuleTable table, const QString& text, bool remove) {
  const std::string lower = lowered(text);
  return withTable(table, [&](auto* type) -> std::optional<uint32_t> {
    using Rule = RuleOf<decltype(type)>;
    if (hasText<Rule>(db, lower)) return std::nullopt;
    return insertRule<Rule>(db, lower.c_str(), remove);
  });
}

EditResult editRule(dbDatabase& db, RuleTable table, uint32_t oid, const QString& shownText, const QString& newText,
                    bool remove) {
  const std::string lower = lowered(newText);
  return withTable(table, [&](auto* type) {
    using Rule = RuleOf<decltype(type)>;
    keldraCursor<Rule> rule(dbCursorForUpdate, &db);
    selectRuleById(rule, oid);
    rule->remove = remove;
    if (newText != shownText) {
      if (hasText<Rule>(db, lower)) return EditResult::duplicate;
      rule->text = lower.c_str();
    }
    rule.update();
    return EditResult::updated;
  });
}

void deleteRule(dbDatabase& db, RuleTable table, uint32_t oid) {
  withTable(table, [&](auto* type) {
    using Rule = RuleOf<decltype(type)>;
    keldraCursor<Rule> rule(dbCursorForUpdate, &db);
    selectRuleById(rule, oid);
    rule.remove();
  });
}

std::optional<uint32_t> findRule(dbDatabase& db, RuleTable table, const QString& text) {
  const std::string lower = lowered(text);
  return withTable(table, [&](auto* type) -> std::optional<uint32_t> {
    using Rule = RuleOf<decltype(type)>;
    keldraCursor<Rule> rule(dbCursorForReading, &db);
    if (selectRuleByText(rule, lower.c_str()) == 0) return std::nullopt;
    return rule.getOid();
  });
}
