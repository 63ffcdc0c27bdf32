#include "ruleimport.h"

#include <QStringDecoder>

#include <unordered_set>

#include "lowercase.h"
#include "tables.h"

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

bool isUtf8(std::string_view text) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  [[maybe_unused]] const QString decoded = decoder(QByteArrayView(text.data(), qsizetype(text.size())));
  return !decoder.hasError();
}

template <class Rule>
std::unordered_set<std::string> storedTexts(dbDatabase& db) {
  std::unordered_set<std::string> texts;
  keldraCursor<Rule> cursor(dbCursorForReading, &db);
  if (selectAllRules(cursor) > 0) {
    texts.reserve(cursor.getNumberOfRecords());
    do texts.insert(cursor->text != nullptr ? cursor->text : "");
    while (cursor.next() != nullptr);
  }
  return texts;
}

template <class Rule>
ImportReport importInto(dbDatabase& db, bool remove, const std::vector<std::string>& texts,
                        const std::function<void(int)>& progress) {
  // The table's texts are read once: checking each line with a query would walk the
  // table once a line.
  std::unordered_set<std::string> known = storedTexts<Rule>(db);
  ImportReport report;
  int done = 0;
  for (const std::string& text : texts) {
    if (known.insert(text).second) {
      insertRule<Rule>(db, text.c_str(), remove);
      report.added++;
    } else {
      report.skipped++;
    }
    if (progress && ++done % 1000 == 0) progress(done);
  }
  if (progress) progress(done);
  return report;
}

}  // namespace

std::vector<std::string> parseRuleFile(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);  // a byte order mark is no text
  std::vector<std::string> texts;
  int lineNumber = 0;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
    lineNumber++;
    if (!isUtf8(line)) {
      throw RuleFileError("Line " + std::to_string(lineNumber) + " is not valid UTF-8; nothing was imported.",
                          lineNumber);
    }
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    texts.push_back(lowerText(line));
  }
  return texts;
}

QString importReportText(const ImportReport& report) {
  return QStringLiteral("%1 added, %2 skipped").arg(report.added).arg(report.skipped);
}

ImportReport importRules(dbDatabase& db, RuleTable table, bool remove, const std::vector<std::string>& texts,
                         const std::function<void(int)>& progress) {
  switch (table) {
    case RuleTable::to: return importInto<EmailTo>(db, remove, texts, progress);
    case RuleTable::subject: return importInto<EmailSubject>(db, remove, texts, progress);
    case RuleTable::from: break;
  }
  return importInto<EmailFrom>(db, remove, texts, progress);
}

std::string ruleFileOf(const std::vector<RuleRow>& rows) {
  std::string file;
  for (const RuleRow& row : rows) file += lowerText(row.text.toStdString()) + "\n";
  return file;
}
