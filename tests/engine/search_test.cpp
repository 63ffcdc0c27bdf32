// Searches answered by indexes give exactly what a scan of the same data gives:
// the same records, each once, in the order ORDER BY asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "keldraCursor.h"
#include "testsupport.h"

namespace {

// The same record, with indexes and without.
struct Indexed {
  int32_t id;
  int32_t a;
  int32_t b;
  const char* s;
  double r;
  KELDRA_DESCRIBE(Indexed, KELDRA_KEY(id, HASHED | INDEXED), KELDRA_KEY(a, HASHED), KELDRA_KEY(b, INDEXED),
                  KELDRA_KEY(s, HASHED | INDEXED), KELDRA_KEY(r, INDEXED));
};
struct Plain {
  int32_t id;
  int32_t a;
  int32_t b;
  const char* s;
  double r;
  KELDRA_DESCRIBE(Plain, KELDRA_FIELD(id), KELDRA_FIELD(a), KELDRA_FIELD(b), KELDRA_FIELD(s), KELDRA_FIELD(r));
};
KELDRA_TABLE(Indexed);
KELDRA_TABLE(Plain);

// Records of one table reached from another through references: `owner` and
// `tags` have inverses kept in Group, `keyed` and `ranked` are indexed reference
// fields, `plain` and `plainTags` hold the same references with neither, so a
// query on them is always answered by the scan.
struct Member;
struct Group {
  int32_t code;
  int32_t size;
  dbArray<dbReference<Member>> members;
  dbArray<dbReference<Member>> taggedBy;
  KELDRA_DESCRIBE(Group, KELDRA_KEY(code, HASHED), KELDRA_KEY(size, INDEXED), KELDRA_RELATION(members, owner),
                  KELDRA_RELATION(taggedBy, tags));
};
struct Member {
  int32_t id;
  int32_t a;
  dbReference<Group> owner;
  dbReference<Group> keyed;
  dbReference<Group> ranked;
  dbReference<Group> plain;
  dbArray<dbReference<Group>> tags;
  dbArray<dbReference<Group>> plainTags;
  KELDRA_DESCRIBE(Member, KELDRA_FIELD(id), KELDRA_FIELD(a), KELDRA_RELATION(owner, members),
                  KELDRA_KEY(keyed, HASHED), KELDRA_KEY(ranked, INDEXED), KELDRA_FIELD(plain),
                  KELDRA_RELATION(tags, taggedBy), KELDRA_FIELD(plainTags));
};
KELDRA_TABLE(Group);
KELDRA_TABLE(Member);

class SearchByIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    std::mt19937 rng(42);
    const char* words[] = {"abc", "abd", "ab", "abcd", "b", "", "zz\xff", "zz\xff\x01", "zz\xfe", "abc%"};
    for (int i = 0; i < 400; i++) {
      Indexed x{i, int32_t(rng() % 20), int32_t(rng() % 50), words[rng() % 10], double(rng() % 30) / 4};
      Plain p{x.id, x.a, x.b, x.s, x.r};
      db.insertRecord(&Indexed_descriptor, &x);
      db.insertRecord(&Plain_descriptor, &p);
    }
    db.commit();
  }
  void TearDown() override {
    db.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }
  template <class T>
  std::vector<int32_t> ids(dbQuery& query) {
    keldraCursor<T> cursor;
    std::vector<int32_t> result;
    if (cursor.select(query) > 0) {
      do result.push_back(cursor->id);
      while (cursor.next() != nullptr);
    }
    return result;
  }
  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("idx");
  std::string file = dir.file("i.kld");
  keldraDatabase db;
};

TEST_F(SearchByIndexTest, IndexAnswersEqualTheScan) {
  int32_t seven = 7;
  const char* word = "abc";
  struct Case {
    const char* condition;
    bool ordered;  // the order is fully given by ORDER BY on a unique key
  } cases[] = {
      {"a = 3", false},                       // hash
      {"b = 10", false},                      // tree only: range [10, 10]
      {"b > 10", false},          {"b >= 10", false},  {"b < 5", false},  {"b <= 5", false},
      {"b between 10 and 12", false},         {"a between 4 and 4", false},
      {"r > 2.5", false},                     {"s = 'abc'", false},
      {"s like 'abc%'", false},               {"s like 'ab%c'", false},   {"s like '%bc'", false},
      {"s like 'ab_'", false},                {"s like 'zz\xff%'", false}, {"s like '%'", false},
      {"s like 'abc\\%' escape '\\'", false}, {"s like 'abc'", false},
      {"a = 1 or b = 2", false},              {"a = 1 or b <> 2", false}, {"a = 2 and b > 20", false},
      {"b = 3 or b = 4 or a = 5", false},
      {"a = 3 order by id desc", true},       {"b > 40 order by b, id", true},
      {"order by id", true},                  {"order by id desc", true},  {"id >= 390 order by id desc", true},
      {"s > 'ab' order by s, id", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    dbQuery indexed(c.condition), plain(c.condition);
    std::vector<int32_t> fromIndex = ids<Indexed>(indexed);
    std::vector<int32_t> fromScan = ids<Plain>(plain);
    std::set<int32_t> unique(fromIndex.begin(), fromIndex.end());
    EXPECT_EQ(unique.size(), fromIndex.size()) << "each record once";
    if (!c.ordered) {
      std::sort(fromIndex.begin(), fromIndex.end());
      std::sort(fromScan.begin(), fromScan.end());
    }
    EXPECT_EQ(fromIndex, fromScan);
  }
  // Bound parameters as keys.
  dbQuery byA, byS;
  byA = "a =", seven;
  byS = "s =", word;
  dbQuery plainA, plainS;
  plainA = "a =", seven;
  plainS = "s =", word;
  auto sorted = [](std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(ids<Indexed>(byA)), sorted(ids<Plain>(plainA)));
  EXPECT_EQ(sorted(ids<Indexed>(byS)), sorted(ids<Plain>(plainS)));
  seven = 8;
  EXPECT_EQ(sorted(ids<Indexed>(byA)), sorted(ids<Plain>(plainA)));
  db.commit();
}

TEST_F(SearchByIndexTest, IndexesFollowUpdatesAndRemovals) {
  {
    keldraCursor<Indexed> cursor(dbCursorForUpdate);
    cursor.select("a = 3");
    while (!cursor.isEmpty()) {
      cursor->a = 100;
      cursor.update();
      if (cursor.next() == nullptr) break;
    }
    keldraCursor<Plain> plain(dbCursorForUpdate);
    plain.select("a = 3");
    while (!plain.isEmpty()) {
      plain->a = 100;
      plain.update();
      if (plain.next() == nullptr) break;
    }
    db.commit();
  }
  {
    keldraCursor<Indexed> cursor(dbCursorForUpdate);
    cursor.select("b < 10");
    while (!cursor.isEmpty()) cursor.remove();
    keldraCursor<Plain> plain(dbCursorForUpdate);
    plain.select("b < 10");
    while (!plain.isEmpty()) plain.remove();
    db.commit();
  }
  for (const char* condition : {"a = 3", "a = 100", "b < 12", "b >= 0", "s = 'ab'"}) {
    SCOPED_TRACE(condition);
    dbQuery indexed(condition), plain(condition);
    std::vector<int32_t> x = ids<Indexed>(indexed), y = ids<Plain>(plain);
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    EXPECT_EQ(x, y);
  }
  db.commit();
}

// A comparison on an indexed field of a referenced table is answered by a join:
// through the inverse reference (single or array, under EXISTS) or through the
// index of the reference field (hash or tree). Either way the result is the scan's,
// with records whose references are null left out
// (the scan has to skip them explicitly: it may not dereference a null) and a conjunction filtering.
TEST_F(SearchByIndexTest, JoinsThroughReferencesEqualTheScan) {
  std::mt19937 rng(7);
  std::vector<oid_t> groups;
  for (int i = 0; i < 12; i++) {
    Group g{i % 6, int32_t(rng() % 5), {}, {}};  // codes repeat: two groups per code
    groups.push_back(db.insertRecord(&Group_descriptor, &g));
  }
  for (int i = 0; i < 300; i++) {
    const oid_t target = rng() % 5 == 0 ? 0 : groups[rng() % groups.size()];  // some null references
    Member m{};
    m.id = i;
    m.a = int32_t(rng() % 4);
    m.owner = m.keyed = m.ranked = m.plain = dbReference<Group>(target);
    dbReference<Group> tags[3];
    const size_t n = rng() % 4;
    for (size_t k = 0; k < n; k++) tags[k] = dbReference<Group>(groups[rng() % groups.size()]);
    m.tags.assign(tags, n);
    m.plainTags.assign(tags, n);
    db.insertRecord(&Member_descriptor, &m);
  }
  db.commit();
  int32_t code = 3;
  struct Case {
    const char* joined;
    const char* scanned;
  } cases[] = {
      {"owner.code = 2", "plain is not null and plain.code = 2"},                        // inverse of a single reference
      {"owner.size >= 3", "plain is not null and plain.size >= 3"},                      // the other table's tree
      {"owner.code = 4 and a = 1", "plain is not null and plain.code = 4 and a = 1"},    // conjunction filter
      {"owner.code = 1 or owner.code = 5", "plain is not null and (plain.code = 1 or plain.code = 5)"},
      {"exists i: (tags[i].code = 3)", "exists i: (plainTags[i] is not null and plainTags[i].code = 3)"},  // inverse array
      {"exists i: (tags[i].size < 2)", "exists i: (plainTags[i] is not null and plainTags[i].size < 2)"},
      {"exists i: (tags[i].code = 0) and a = 2", "exists i: (plainTags[i] is not null and plainTags[i].code = 0) and a = 2"},
      {"keyed.code = 2", "plain is not null and plain.code = 2"},                        // hash index of the reference
      {"keyed.code = 4 and a = 1", "plain is not null and plain.code = 4 and a = 1"},
      {"ranked.size between 1 and 2", "plain is not null and plain.size between 1 and 2"},  // tree of the reference
      {"ranked.code = 5 and a <> 0", "plain is not null and plain.code = 5 and a <> 0"},
      {"keyed.code = 99", "plain is not null and plain.code = 99"},                      // nothing found
      {"keyed.code = 1 order by id desc", "plain is not null and plain.code = 1 order by id desc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.joined);
    dbQuery joined(c.joined), scanned(c.scanned);
    std::vector<int32_t> x = ids<Member>(joined), y = ids<Member>(scanned);
    std::set<int32_t> unique(x.begin(), x.end());
    EXPECT_EQ(unique.size(), x.size()) << "each record once";
    EXPECT_FALSE(y.empty() && std::string(c.joined).find("99") == std::string::npos) << "the case selects something";
    if (std::string(c.joined).find("order by") == std::string::npos) {
      std::sort(x.begin(), x.end());
      std::sort(y.begin(), y.end());
    }
    EXPECT_EQ(x, y);
  }
  // A bound parameter as the key, read again at each select.
  dbQuery joined, scanned;
  joined = "keyed.code =", code, "and a = 0";
  scanned = "plain is not null and plain.code =", code, "and a = 0";
  for (int32_t value : {3, 0}) {
    code = value;
    std::vector<int32_t> x = ids<Member>(joined), y = ids<Member>(scanned);
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    EXPECT_EQ(x, y);
  }
  db.commit();
}

// Random inserts, updates, removes, commits and rollbacks applied alike to the
// indexed and the plain table; after each step random queries through the indexes
// give what the scan gives. POSTSIFT_SEARCH_STEPS=N runs a longer sequence.
TEST_F(SearchByIndexTest, RandomChangesKeepIndexAnswersEqualToTheScan) {
  int steps = 300;
  if (const char* n = getenv("POSTSIFT_SEARCH_STEPS")) steps = atoi(n);
  std::mt19937 rng(7);
  const char* words[] = {"abc", "abd", "ab", "abcd", "b", "", "zz\xff", "q"};
  auto randomRecord = [&](int32_t id) {
    return Indexed{id, int32_t(rng() % 20), int32_t(rng() % 50), words[rng() % 8], double(rng() % 30) / 4};
  };
  auto change = [&](const char* condition, bool remove) {
    Indexed values = randomRecord(0);
    keldraCursor<Indexed> x(dbCursorForUpdate);
    keldraCursor<Plain> y(dbCursorForUpdate);
    // The same record in both tables: chosen by id, which both hold.
    if (x.select(condition) == 0 || y.select(condition) == 0) return;
    if (remove) {
      x.remove();
      y.remove();
      return;
    }
    x->a = y->a = values.a;
    x->b = y->b = values.b;
    x->s = y->s = values.s;
    x->r = y->r = values.r;
    x.update();
    y.update();
  };
  int32_t nextId = 1000;
  char condition[160];
  for (int step = 0; step < steps; step++) {
    switch (rng() % 4) {
      case 0: {
        Indexed x = randomRecord(nextId++);
        Plain p{x.id, x.a, x.b, x.s, x.r};
        db.insertRecord(&Indexed_descriptor, &x);
        db.insertRecord(&Plain_descriptor, &p);
        break;
      }
      case 1:
        snprintf(condition, sizeof condition, "id = %d", int(rng() % unsigned(nextId)));
        change(condition, false);
        break;
      case 2:
        snprintf(condition, sizeof condition, "id = %d", int(rng() % unsigned(nextId)));
        change(condition, true);
        break;
      default:
        break;
    }
    if (rng() % 5 == 0) {
      if (rng() % 4 == 0) db.rollback();
      else db.commit();
    }
    const char* templates[] = {"a = %d", "b > %d", "b <= %d order by b desc, id", "b between %d and %d",
                               "a = %d or b = %d", "a = %d and b < %d", "s like 'ab%%' order by s, id",
                               "r >= %d.5 order by r, id", "id > %d order by id desc"};
    const char* t = templates[rng() % 9];
    snprintf(condition, sizeof condition, t, int(rng() % 50), int(rng() % 50));
    SCOPED_TRACE(testing::Message() << "step " << step << ": " << condition);
    dbQuery indexed(condition), plain(condition);
    std::vector<int32_t> fromIndex = ids<Indexed>(indexed), fromScan = ids<Plain>(plain);
    if (strstr(condition, "order by") == nullptr) {
      std::sort(fromIndex.begin(), fromIndex.end());
      std::sort(fromScan.begin(), fromScan.end());
    }
    ASSERT_EQ(fromIndex, fromScan);
  }
  db.commit();
}

}  // namespace
