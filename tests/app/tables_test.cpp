// The application's tables and queries on a real database in a temporary directory.
#include "tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "settings.h"
#include "testsupport.h"

namespace {

int queryErrors = 0;
void countErrors(int code, const char*, int) {
  if (code == dbQueryError) queryErrors++;
}

class TablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queryErrors = 0;
    db.setErrorHandler(countErrors);
    ASSERT_TRUE(db.open(name.c_str(), dir.file("t.kld").c_str()));
  }
  void TearDown() override {
    db.close();
    EXPECT_EQ(queryErrors, 0);
  }

  // The texts a selection holds, in any order.
  template <class Rule>
  static std::multiset<std::string> texts(keldraCursor<Rule>& cursor, uint32_t count) {
    std::multiset<std::string> found;
    if (count > 0) {
      do found.insert(cursor->text);
      while (cursor.next() != nullptr);
    }
    EXPECT_EQ(found.size(), count);
    return found;
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("tables");
  keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
};

template <class Rule>
class RuleTableTest : public TablesTest {};
using RuleTables = ::testing::Types<EmailFrom, EmailTo, EmailSubject>;
TYPED_TEST_SUITE(RuleTableTest, RuleTables);

TYPED_TEST(RuleTableTest, KeepAndRemoveRulesSplitTheTable) {
  const std::vector<std::pair<const char*, bool>> rules = {
      {"spam.example", true}, {"friend@home.example", false}, {"", true},
      {"offer", true},        {"news", false},                {"remove", false}};
  for (auto [text, remove] : rules) insertRule<TypeParam>(this->db, text, remove);
  this->db.commit();

  keldraCursor<TypeParam> keep(dbCursorForReading, &this->db);
  keldraCursor<TypeParam> drop(dbCursorForReading, &this->db);
  keldraCursor<TypeParam> all(dbCursorForReading, &this->db);
  auto kept = this->texts(keep, selectKeepRules(keep));
  auto removed = this->texts(drop, selectRemoveRules(drop));
  auto everything = this->texts(all, selectAllRules(all));

  EXPECT_EQ(kept, (std::multiset<std::string>{"friend@home.example", "news", "remove"}));
  EXPECT_EQ(removed, (std::multiset<std::string>{"spam.example", "", "offer"}));
  std::multiset<std::string> both = kept;
  both.insert(removed.begin(), removed.end());
  EXPECT_EQ(both, everything);
  EXPECT_EQ(everything.size(), rules.size());
  this->db.commit();
}

TYPED_TEST(RuleTableTest, TextEqualsFindsExactlyTheRule) {
  for (const char* text : {"abc", "abcd", "xabc", "ab", "o'brien", ""}) insertRule<TypeParam>(this->db, text, true);
  this->db.commit();
  for (const char* wanted : {"abc", "o'brien", "", "ab"}) {
    keldraCursor<TypeParam> cursor(dbCursorForReading, &this->db);
    EXPECT_EQ(this->texts(cursor, selectRuleByText(cursor, wanted)), (std::multiset<std::string>{wanted})) << wanted;
  }
  keldraCursor<TypeParam> cursor(dbCursorForReading, &this->db);
  EXPECT_EQ(selectRuleByText(cursor, "abcde"), 0u);
  this->db.commit();
}

TYPED_TEST(RuleTableTest, ByIdCursorEditsAndDeletesOneRule) {
  insertRule<TypeParam>(this->db, "first", true);
  const oid_t second = insertRule<TypeParam>(this->db, "second", false);
  insertRule<TypeParam>(this->db, "third", true);
  this->db.commit();
  {
    keldraCursor<TypeParam> cursor(dbCursorForUpdate, &this->db);
    selectRuleById(cursor, second);
    EXPECT_STREQ(cursor->text, "second");
    cursor->text = "changed";
    cursor->remove = true;
    cursor.update();
  }
  this->db.commit();
  {
    keldraCursor<TypeParam> cursor(dbCursorForReading, &this->db);
    ASSERT_EQ(selectRuleByText(cursor, "changed"), 1u);
    EXPECT_TRUE(cursor->remove);
    EXPECT_EQ(cursor.getOid(), second);
  }
  this->db.commit();
  {
    keldraCursor<TypeParam> cursor(dbCursorForUpdate, &this->db);
    selectRuleById(cursor, second);
    cursor.remove();
  }
  this->db.commit();
  keldraCursor<TypeParam> all(dbCursorForReading, &this->db);
  EXPECT_EQ(this->texts(all, selectAllRules(all)), (std::multiset<std::string>{"first", "third"}));
  this->db.commit();
}

// The search text is a bound parameter: quotes and backslashes are taken literally and
// cannot break the condition, while '%' (any run) and '_' (any one character) typed
// into it act as pattern characters.
TEST_F(TablesTest, SearchTakesQuotesLiterallyAndPatternCharactersAsPatterns) {
  const std::vector<const char*> stored = {"50% off",   "500 off", "a_b",     "axb",       "it's",
                                           "its",       "it''s",   "c:\\mail", "c:mail",    "plain text",
                                           "100%",      "1000",    "x'; y",   "%_%"};
  for (const char* text : stored) insertRule<EmailSubject>(db, text, true);
  db.commit();

  struct Case {
    std::string search;
    std::multiset<std::string> expected;
  };
  const std::multiset<std::string> all(stored.begin(), stored.end());
  const std::vector<Case> cases = {
      {"%", all},
      {"0%", {"50% off", "500 off", "100%", "1000"}},
      {"0%f", {"50% off", "500 off"}},
      {"_", all},
      {"a_b", {"a_b", "axb"}},
      {"it_s", {"it's"}},
      {"it%s", {"it's", "its", "it''s"}},
      {"'", {"it's", "it''s", "x'; y"}},
      {"it's", {"it's"}},
      {"''", {"it''s"}},
      {"\\", {"c:\\mail"}},
      {"c:\\m", {"c:\\mail"}},
      {"' or 'a'='a", {}},
      {"x'; y", {"x'; y"}},
      {"plain", {"plain text"}},
      {"PLAIN", {}},
      {"", all},
  };
  for (const Case& c : cases) {
    keldraCursor<EmailSubject> cursor(dbCursorForReading, &db);
    EXPECT_EQ(texts(cursor, selectRulesContaining(cursor, c.search)), c.expected) << "search: " << c.search;
  }
  db.commit();
}

TEST_F(TablesTest, SearchPatternEscapesOnlyTheEscapeCharacter) {
  EXPECT_EQ(ruleSearchPattern(""), "%%");
  EXPECT_EQ(ruleSearchPattern("ab'c"), "%ab'c%");
  EXPECT_EQ(ruleSearchPattern("5%_\\"), "%5%_\\\\%");
}

TEST_F(TablesTest, ConfigRecordKeepsEveryField) {
  insertConfig(db, firstRunConfig());
  db.commit();
  keldraCursor<Config> cursor(dbCursorForReading, &db);
  ASSERT_EQ(selectConfig(cursor), 1u);
  EXPECT_STREQ(cursor->server, "");
  EXPECT_EQ(cursor->port, 110);
  EXPECT_STREQ(cursor->username, "");
  EXPECT_STREQ(cursor->password, "");
  EXPECT_TRUE(cursor->fromAdd);
  EXPECT_TRUE(cursor->toAdd);
  EXPECT_FALSE(cursor->subjectAdd);
  EXPECT_FALSE(cursor->autoRemove);
  EXPECT_FALSE(cursor->autoExecute);
  EXPECT_STREQ(cursor->emailProgram, "/usr/bin/thunderbird");
  db.commit();
}

TEST_F(TablesTest, ColumnWidthsAreSelectedByGridType) {
  insertColumnWidth(db, 0, 1, 180);
  insertColumnWidth(db, 1, 1, 77);
  insertColumnWidth(db, 0, 3, -5);
  insertColumnWidth(db, -1, 2, 32000);
  db.commit();
  for (int32_t type : {0, 1, -1, 2}) {
    keldraCursor<ColumnWidth> cursor(dbCursorForReading, &db);
    const uint32_t count = selectColumnWidths(cursor, type);
    EXPECT_EQ(count, type == 0 ? 2u : type == 2 ? 0u : 1u) << type;
    for (uint32_t i = 0; i < count; i++) {
      EXPECT_EQ(cursor->type, type);
      cursor.next();
    }
  }
  db.commit();
}

// The declarations are the stored schema: field names, types and order, no index.
TEST(TableDeclarations, FieldsInDeclaredOrderWithoutIndexes) {
  using dbField::tpBool, dbField::tpInt1, dbField::tpInt2, dbField::tpString;
  const std::vector<std::pair<dbTableDescriptor*, std::vector<std::pair<std::string, int>>>> tables = {
      {&EmailFrom_descriptor, {{"text", tpString}, {"remove", tpBool}}},
      {&EmailTo_descriptor, {{"text", tpString}, {"remove", tpBool}}},
      {&EmailSubject_descriptor, {{"text", tpString}, {"remove", tpBool}}},
      {&Config_descriptor,
       {{"server", tpString}, {"port", tpInt2}, {"username", tpString}, {"password", tpString},
        {"fromAdd", tpBool}, {"toAdd", tpBool}, {"subjectAdd", tpBool}, {"autoRemove", tpBool},
        {"autoExecute", tpBool}, {"emailProgram", tpString}, {"security", tpString}}},
      {&TrustedCertificate_descriptor, {{"server", tpString}, {"port", dbField::tpInt4}, {"fingerprint", tpString}}},
      {&ColumnWidth_descriptor, {{"type", tpInt1}, {"col", tpInt1}, {"width", tpInt2}}},
  };
  for (const auto& [table, expected] : tables) {
    std::vector<std::pair<std::string, int>> declared;
    const dbFieldDescriptor* field = table->columns;
    ASSERT_NE(field, nullptr) << table->name;
    do {
      declared.emplace_back(field->name, field->type);
      EXPECT_EQ(field->indexType, 0) << table->name << "." << field->name;
      field = field->next;
    } while (field != table->columns);
    EXPECT_EQ(declared, expected) << table->name;
  }
}

}  // namespace

// A database written before the security field existed opens with the field added: its
// settings are kept, and the security reads as none, so old set-ups behave as before.
TEST(TableDeclarations, ASettingsRecordWithoutSecurityIsUpgraded) {
  testsupport::TempDir dir;
  const std::string file = dir.file("legacy.kld");
  ASSERT_EQ(std::system((std::string(LEGACY_CONFIG_WRITER) + " " + file).c_str()), 0);
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  db.setColumnRemovalAllowed(true);
  ASSERT_TRUE(db.open("legacy", file.c_str()));
  const std::optional<Settings> settings = readSettings(db);
  db.commit();
  ASSERT_TRUE(settings.has_value());
  EXPECT_EQ(settings->server, "pop.example.org");
  EXPECT_EQ(settings->port, 40000);
  EXPECT_EQ(settings->password, "old secret");
  EXPECT_FALSE(settings->fromAdd);
  EXPECT_TRUE(settings->subjectAdd);
  EXPECT_EQ(settings->emailProgram, "/usr/bin/mailer");
  EXPECT_EQ(settings->security, "None");
  db.close();
}

TEST(TrustedCertificates, OneFingerprintPerServerAndPort) {
  testsupport::TempDir dir;
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  ASSERT_TRUE(db.open(testsupport::uniqueName("trust").c_str(), dir.file("t.kld").c_str()));
  EXPECT_EQ(trustedFingerprint(db, "pop.example.org", 995), "");
  trustFingerprint(db, "pop.example.org", 995, "aa");
  trustFingerprint(db, "pop.example.org", 110, "bb");
  trustFingerprint(db, "pop.example.org", 995, "cc");  // replaces
  db.commit();
  EXPECT_EQ(trustedFingerprint(db, "pop.example.org", 995), "cc");
  EXPECT_EQ(trustedFingerprint(db, "pop.example.org", 110), "bb");
  EXPECT_EQ(trustedFingerprint(db, "other.example.org", 995), "");
  {
    keldraCursor<TrustedCertificate> all(dbCursorForReading, &db);
    EXPECT_EQ(all.select(), 2u);
  }
  db.commit();
  db.close();
}
