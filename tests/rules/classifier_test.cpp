// Classification: the fixed order of steps over rules and message fields, with the
// fields as the message parser yields them from real header text; and the compiled
// matchers of long rule lists against the walk, on random rules and messages.
#include "classifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "lowercase.h"
#include "mailmessage.h"
#include "rulematcher.h"
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
      {"accepted recipients that are all empty texts accept no one", {{}, keep({"", ""}), {}}, plain, Mark::to},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classifyMessage(c.rules, c.fields), c.expected) << c.name;
    RuleBook compiled = c.rules;
    compiled.prepare(1);
    EXPECT_EQ(classifyMessage(compiled, c.fields), c.expected) << c.name << " (compiled)";
  }
}

TEST(RuleMatcherTest, FindsTextsWhereverTheyLie) {
  const std::string longText(40, 'x');
  struct Probe {
    const char* name;
    std::vector<std::string> texts;
    std::string field;
    bool expected;
  };
  const std::vector<Probe> probes = {
      {"at the end of the field", {"abc"}, "xxabc", true},
      {"the whole field", {"abcde"}, "abcde", true},
      {"cut by the end of the field", {"abcd"}, "xxabc", false},
      {"longer than the field", {"abcdef"}, "abcde", false},
      {"the second of two texts sharing their first 32 bytes", {longText + "1", longText + "2"}, "a" + longText + "2",
       true},
      {"a shared first 32 bytes alone is not a match", {longText + "1"}, longText + "2", false},
      {"one of several window widths", {"ab", "wxyz.", "a-very-long-domain.example"}, "mail@wxyz.org", true},
      {"byte for byte, even inside a character", {"\xBC"}, "grün", true},
      {"empty texts only", {"", ""}, "anything", false},
      {"an empty field", {"a"}, "", false},
  };
  for (const Probe& probe : probes) {
    EXPECT_EQ(RuleMatcher(probe.texts).matchesAny(probe.field), probe.expected) << probe.name;
  }
}

// Random rule books and messages for comparing the compiled matchers with the walk.
// Texts are made of few pieces so that they overlap and recur: ASCII of addresses and
// phrases, capitals (a field has them before lower-casing; a rule holding one never
// matches), and two- to four-byte characters, so that texts and windows begin and end
// inside characters. Some texts are cut from other texts or from fields (matches at any
// place); some extend another text by a tail, change its last byte, or share a long
// common start (texts filed under the same first bytes); some are empty; many are
// repeated within and across lists.
class RandomBooks {
 public:
  explicit RandomBooks(uint64_t seed) : random(seed) {}

  std::string pieces(std::size_t count) {
    static const char* const all[] = {"a", "b", "c", ".", "@", " ", "-", "ü",
                                      "я", "€", "😀", "A", "Ü", "Я", "com", "ab"};
    std::string text;
    for (std::size_t i = 0; i < count; i++) text += all[below(std::size(all))];
    return text;
  }

  std::string cut(const std::string& from) {
    if (from.empty()) return from;
    const std::size_t start = below(from.size());
    return from.substr(start, 1 + below(from.size() - start));
  }

  std::string text() {
    const std::size_t kind = below(10);
    if (kind == 0) return "";
    if (kind <= 3) return made[below(made.size())];  // a repeat
    std::string text;
    if (kind == 4) {
      text = cut(made[below(made.size())]);
    } else if (kind == 5) {
      text = made[below(made.size())] + pieces(1 + below(3));
    } else if (kind == 6) {
      text = made[below(made.size())];  // a sibling: the last byte changed
      if (!text.empty()) text.back() = "abc.@"[below(5)];
    } else if (kind == 7) {
      text = longBase + pieces(1 + below(3));
    } else {
      text = pieces(1 + below(5));
    }
    made.push_back(text);
    return text;
  }

  std::vector<std::string> list() {
    static const std::size_t sizes[] = {0, 0, 1, 2, 3, 8, 30, 100};
    std::vector<std::string> texts(sizes[below(std::size(sizes))]);
    for (std::string& text : texts) text = this->text();
    return texts;
  }

  RuleBook book() {
    made.clear();
    for (int i = 0; i < 20; i++) made.push_back(cut(pieces(12)));
    longBase = pieces(20);
    RuleBook book{{list(), list()}, {list(), list()}, {list(), list()}};
    // Accepted recipients decide most messages when present: leave them out of half.
    if (below(2) == 0) book.to.keep.clear();
    return book;
  }

  // A field of random pieces, often with one of `texts` (by default any text made)
  // inside, or a near miss of one: without its last byte, or with it changed.
  std::string field(const std::vector<std::string>* texts = nullptr) {
    const std::vector<std::string>& inside = texts != nullptr && !texts->empty() ? *texts : made;
    std::string field = pieces(below(12));
    std::string text = inside[below(inside.size())];
    const std::size_t kind = below(4);
    if (kind == 0 || text.empty()) return field;
    if (kind == 1) text.pop_back();
    if (kind == 2) text.back() = "abc.@"[below(5)];
    field.insert(below(field.size() + 1), text);
    return field;
  }

  MessageFields message() {
    MessageFields fields{field(), field(), field()};
    if (below(8) == 0) fields.from = below(2) == 0 ? "" : " \t";
    return fields;
  }

  std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random); }

 private:
  std::mt19937_64 random;
  std::vector<std::string> made;
  std::string longBase;
};

// Rounds of the randomized comparisons: a few hundred by default, more for a long run
// with POSTSIFT_CLASSIFIER_ROUNDS; the seed moves with POSTSIFT_CLASSIFIER_SEED.
int randomRounds() {
  const char* rounds = std::getenv("POSTSIFT_CLASSIFIER_ROUNDS");
  return rounds != nullptr ? std::atoi(rounds) : 300;
}

uint64_t randomSeed() {
  const char* seed = std::getenv("POSTSIFT_CLASSIFIER_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 10) : 20261211;
}

TEST(RuleMatcherTest, AnswersAsTheWalkOnRandomTexts) {
  const uint64_t seed = randomSeed();
  for (int round = 0; round < randomRounds(); round++) {
    RandomBooks books(seed + round);
    books.book();
    const std::vector<std::string> texts = books.list();
    const RuleMatcher matcher(texts);
    for (int i = 0; i < 50; i++) {
      const std::string field = books.below(4) == 0 ? books.cut(books.field(&texts)) : books.field(&texts);
      const bool walked = std::any_of(texts.begin(), texts.end(),
                                      [&](const std::string& text) { return ruleMatches(field, text); });
      if (matcher.matchesAny(field) != walked) {
        ADD_FAILURE() << "seed " << seed << " round " << round << ": field \"" << field << "\", walk " << walked
                      << ", " << texts.size() << " texts";
        return;
      }
    }
  }
}

TEST(ClassifierTest, CompiledRulesMarkAsTheWalk) {
  const uint64_t seed = randomSeed();
  std::array<int, 4> walkedMarks{}, compiledMarks{}, preparedMarks{};
  for (int round = 0; round < randomRounds(); round++) {
    RandomBooks books(seed + round);
    const RuleBook walked = books.book();
    RuleBook compiled = walked;
    compiled.prepare(1);
    RuleBook prepared = walked;
    prepared.prepare();
    for (int i = 0; i < 40; i++) {
      const MessageFields fields = books.message();
      const Mark expected = classifyMessage(walked, fields);
      const Mark byMatchers = classifyMessage(compiled, fields);
      const Mark byThreshold = classifyMessage(prepared, fields);
      walkedMarks[int(expected)]++;
      compiledMarks[int(byMatchers)]++;
      preparedMarks[int(byThreshold)]++;
      if (byMatchers != expected || byThreshold != expected) {
        ADD_FAILURE() << "seed " << seed << " round " << round << " message " << i << ": walk \""
                      << markText(expected) << "\", matchers \"" << markText(byMatchers) << "\", threshold \""
                      << markText(byThreshold) << "\"; from \"" << fields.from << "\" to \"" << fields.to
                      << "\" subject \"" << fields.subject << "\"";
        return;
      }
    }
  }
  EXPECT_EQ(compiledMarks, walkedMarks);
  EXPECT_EQ(preparedMarks, walkedMarks);
  // Every mark occurs, so that no step goes untested (a short run may miss one).
  for (int mark = 0; mark < 4 && randomRounds() >= 100; mark++) EXPECT_GT(walkedMarks[mark], 0) << markText(Mark(mark));
  std::printf("marks over %d rounds: none %d, From %d, To %d, Sub %d\n", randomRounds(), walkedMarks[0],
              walkedMarks[1], walkedMarks[2], walkedMarks[3]);
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
