// Rule lists as text files: what a file's lines become, what an import adds and skips,
// and an export that imports back to the same rules.
#include "ruleimport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tables.h"
#include "testsupport.h"

namespace {

using Texts = std::vector<std::string>;

TEST(RuleFileTest, LinesBecomeTrimmedLowerCaseTexts) {
  const std::string file =
      "\xEF\xBB\xBF# a block list\r\n"
      "Spam.Example\r\n"
      "\r\n"
      "   \t\r\n"
      "  casino.example  \n"
      "#not a rule\n"
      "ÜNÏCODE.Example\n"
      "spam.example\n"
      "免費\n"
      "last line without end";
  EXPECT_EQ(parseRuleFile(file), (Texts{"spam.example", "casino.example", "ünïcode.example", "spam.example", "免費",
                                        "last line without end"}));
  EXPECT_EQ(parseRuleFile(""), Texts{});
}

TEST(RuleFileTest, AnInvalidByteIsRefusedWithItsLine) {
  try {
    parseRuleFile("good.example\nalso.good\nbad\xFF.example\n");
    FAIL() << "accepted";
  } catch (const RuleFileError& error) {
    EXPECT_EQ(error.line, 3);
    EXPECT_STREQ(error.what(), "Line 3 is not valid UTF-8; nothing was imported.");
  }
  EXPECT_THROW(parseRuleFile("\xC3\n"), RuleFileError);  // a sequence cut short
}

class RuleImportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.open(testsupport::uniqueName("import").c_str(), dir.file("i.kld").c_str())); }
  void TearDown() override { db.close(); }
  std::set<std::pair<std::string, bool>> stored(RuleTable table) {
    std::set<std::pair<std::string, bool>> rules;
    for (const RuleRow& row : searchRules(db, table, RuleFilter::all, QString())) rules.emplace(row.text.toStdString(), row.remove);
    db.commit();
    return rules;
  }
  testsupport::TempDir dir;
  keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
};

TEST_F(RuleImportTest, DuplicatesInTheFileAndInTheTableAreSkippedAndCounted) {
  insertRule<EmailFrom>(db, "casino.example", false);  // a keep rule already there
  db.commit();
  int reported = 0;
  const ImportReport report = importRules(db, RuleTable::from, true,
                                          {"spam.example", "casino.example", "spam.example", "bulk.example"},
                                          [&](int done) { reported = done; });
  db.commit();
  EXPECT_EQ(report.added, 2);
  EXPECT_EQ(report.skipped, 2);
  EXPECT_EQ(importReportText(report), QStringLiteral("2 added, 2 skipped"));
  EXPECT_EQ(reported, 4);
  EXPECT_EQ(stored(RuleTable::from), (std::set<std::pair<std::string, bool>>{
                                         {"casino.example", false}, {"spam.example", true}, {"bulk.example", true}}));
}

TEST_F(RuleImportTest, AnImportRolledBackAddsNothing) {
  importRules(db, RuleTable::subject, true, {"one", "two"});
  db.rollback();
  EXPECT_TRUE(stored(RuleTable::subject).empty());
}

TEST_F(RuleImportTest, AnExportImportsBackToTheSameRules) {
  for (const char* text : {"spam.example", "ünïcode", "免費", "a b c"}) insertRule<EmailSubject>(db, text, true);
  db.commit();
  const std::string file = ruleFileOf(searchRules(db, RuleTable::subject, RuleFilter::all, QString()));
  db.commit();
  importRules(db, RuleTable::to, true, parseRuleFile(file));
  db.commit();
  EXPECT_EQ(stored(RuleTable::to), stored(RuleTable::subject));
}

}  // namespace
