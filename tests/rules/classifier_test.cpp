// Classification: the fixed order of steps over rules and message fields, with the
// fields as the message parser yields them from real header text.
#include "classifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowercase.h"
#include "mailmessage.h"
#include "tables.h"
#include "testsupport.h"

namespace {

struct Case {
  const char* name;
  RuleBook rules;
  MessageFields fields;
  Mark expected;
};

RuleTexts keep(std::vector<std::string> texts) { return {std::move(texts), {}}; }
RuleTexts remove(std::vector<std::string> texts) { return {{}, std::move(texts)}; }

const MessageFields plain{"alice@friends.example", "me@home.example", "Lunch on Friday"};

TEST(ClassifierTest, StepsDecideInTheirOrder) {
  const std::vector<Case> cases = {
      {"no rules keep the message", {}, plain, Mark::none},
      {"an empty sender is condemned whatever the rules", {keep({"alice"}), {}, keep({"lunch"})},
       {"", "me@home.example", "Lunch"}, Mark::from},
      {"a sender of blanks and control characters counts as empty", {}, {" \t\r\n", "me@home.example", "x"}, Mark::from},
      {"accepted recipients: none matches", {{}, keep({"me@home.example"}), {}},
       {"alice@friends.example", "other@home.example", "x"}, Mark::to},
      {"accepted recipients win over From and Subject keep rules",
       {keep({"alice"}), keep({"me@home.example"}), keep({"lunch"})},
       {"alice@friends.example", "other@home.example", "Lunch"}, Mark::to},
      {"a message without recipients fails the accepted list", {{}, keep({"me@home.example"}), {}},
       {"alice@friends.example", "", "x"}, Mark::to},
      {"an accepted recipient passes on to the remove rules", {remove({"alice"}), keep({"me@home"}), {}}, plain,
       Mark::from},
      {"a subject keep rule beats every remove rule", {remove({"alice"}), remove({"home"}), keep({"lunch"})}, plain,
       Mark::none},
      {"a From keep rule beats a Subject remove rule", {keep({"friends.example"}), {}, remove({"lunch"})}, plain,
       Mark::none},
      {"keep before remove in one table", {{{"alice"}, {"alice@friends"}}, {}, {}}, plain, Mark::none},
      {"To remove before Subject remove before From remove", {remove({"alice"}), remove({"home"}), remove({"lunch"})},
       plain, Mark::to},
      {"Subject remove before From remove", {remove({"alice"}), {}, remove({"friday"})}, plain, Mark::subject},
      {"From remove", {remove({"friends.example"}), {}, {}}, plain, Mark::from},
      {"an empty rule text never matches", {remove({""}), remove({""}), remove({""})}, plain, Mark::none},
      {"an empty field never matches", {{}, {}, remove({"x"})}, {"alice@friends.example", "", ""}, Mark::none},
      {"upper case in the field still matches a lower-case rule", {remove({"alice@friends"}), {}, {}},
       {"ALICE@Friends.Example", "", ""}, Mark::from},
      {"a rule stored with upper case never matches", {remove({"Alice"}), {}, {}}, plain, Mark::none},
      {"non-ASCII upper case in the field", {{}, {}, remove({"ünïcode angebot"})}, {"a@b.c", "", "ÜNÏCODE ANGEBOT"},
       Mark::subject},
      {"Cyrillic capitals", {{}, {}, remove({"привет"})}, {"a@b.c", "", "ПРИВЕТ мир"}, Mark::subject},
      {"a rule matches inside a longer field only as a whole", {{}, {}, remove({"ünïcode angebot"})},
       {"a@b.c", "", "ÜNÏCODE ANGE"}, Mark::none},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classifyMessage(c.rules, c.fields), c.expected) << c.name;
  }
}

// Subjects as they arrive in headers, decoded by the parser, then matched by lower-case
// rules as the rule editor stores them.
TEST(ClassifierTest, EncodedSubjectsMatchLowerCaseRules) {
  struct Encoded {
    const char* charset;
    const char* header;
    const char* rule;
  };
  const std::vector<Encoded> subjects = {
      {"UTF-8", "Subject: =?UTF-8?B?R1JBVElTIFbDlkxMSUcgS09TVEVOTE9T?=", "gratis völlig kostenlos"},
      {"UTF-8 quoted-printable", "Subject: =?utf-8?Q?=C3=9Cberraschung_f=C3=BCr_Sie?=", "überraschung für sie"},
      {"Big5", "Subject: =?Big5?B?p0u2T6RqvPo=?=", "免費大獎"},
      {"ISO-2022-JP", "Subject: =?ISO-2022-JP?B?GyRCTDVOQSVXJWwlPCVzJUhFdkEqGyhC?=", "無料プレゼント当選"},
      {"ISO-8859-1", "Subject: =?ISO-8859-1?Q?GR=C1TIS_A=D1O_NUEVO?=", "grátis año nuevo"},
  };
  RuleBook rules;
  for (const Encoded& subject : subjects) rules.subject.remove.push_back(lowerText(subject.rule));
  for (const Encoded& subject : subjects) {
    const std::string raw = std::string("From: shop@spam.example\r\nTo: me@home.example\r\n") + subject.header + "\r\n\r\n";
    const MailMessage header = parseMailMessage(raw);
    const MessageFields fields{header.fromAddress, header.recipients, header.subject};
    EXPECT_EQ(classifyMessage(rules, fields), Mark::subject) << subject.charset << ": " << header.subject;
  }
}

TEST(ClassifierTest, RuleBookSplitsEachTableIntoKeepAndRemove) {
  testsupport::TempDir dir;
  keldraDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
  ASSERT_TRUE(db.open(testsupport::uniqueName("classifier").c_str(), dir.file("c.kld").c_str()));
  insertRule<EmailFrom>(db, "spam.example", true);
  insertRule<EmailFrom>(db, "friend.example", false);
  insertRule<EmailTo>(db, "me@home.example", false);
  insertRule<EmailSubject>(db, "offer", true);
  insertRule<EmailSubject>(db, "prize", true);
  db.commit();

  const RuleBook rules = loadRuleBook(db);
  db.commit();
  EXPECT_EQ(rules.from.keep, std::vector<std::string>{"friend.example"});
  EXPECT_EQ(rules.from.remove, std::vector<std::string>{"spam.example"});
  EXPECT_EQ(rules.to.keep, std::vector<std::string>{"me@home.example"});
  EXPECT_TRUE(rules.to.remove.empty());
  EXPECT_EQ(rules.subject.remove, (std::vector<std::string>{"offer", "prize"}));
  EXPECT_TRUE(rules.subject.keep.empty());
  db.close();
}

}  // namespace
