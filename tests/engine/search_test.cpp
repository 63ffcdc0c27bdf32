// Searches answered by indexes give exactly what a scan of the same data gives:
// the same records, each once, in the order ORDER BY asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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
  int8_t c;
  float f;
  KELDRA_DESCRIBE(Indexed, KELDRA_KEY(id, HASHED | INDEXED), KELDRA_KEY(a, HASHED), KELDRA_KEY(b, INDEXED),
                  KELDRA_KEY(s, HASHED | INDEXED), KELDRA_KEY(r, HASHED | INDEXED), KELDRA_KEY(c, HASHED | INDEXED),
                  KELDRA_KEY(f, HASHED | INDEXED));
};
struct Plain {
  int32_t id;
  int32_t a;
  int32_t b;
  const char* s;
  double r;
  int8_t c;
  float f;
  KELDRA_DESCRIBE(Plain, KELDRA_FIELD(id), KELDRA_FIELD(a), KELDRA_FIELD(b), KELDRA_FIELD(s), KELDRA_FIELD(r),
                  KELDRA_FIELD(c), KELDRA_FIELD(f));
};
KELDRA_TABLE(Indexed);
KELDRA_TABLE(Plain);

const double nan = std::numeric_limits<double>::quiet_NaN();
// Strings around a prefix of 255 bytes, whose extensions all sort after it.
const char* const words[] = {"abc", "abd", "ab", "abcd", "b", "", "zz\xff", "zz\xff\x01", "zz\xfe", "abc%",
                             "zz\xff\xff\xff\xff\xff\xff", "\xff\xff\xff\xff\xff", "zz\xff\xff"};
constexpr unsigned wordCount = sizeof words / sizeof words[0];
// Reals with both zeros, NaN, values a float holds exactly and values it cannot.
const double reals[] = {0.0, -0.0, nan, 0.1, 0.5, 2.5, 1.0 / 3, -7.25, 1e-3, 1e30};
constexpr unsigned realCount = sizeof reals / sizeof reals[0];
// Values of an int1 field, among them those that keys truncated to 8 bits would find.
const int8_t smalls[] = {1, 127, -128, -1, 0, 100, -100, 5};
constexpr unsigned smallCount = sizeof smalls / sizeof smalls[0];

Indexed randomIndexed(std::mt19937& rng, int32_t id) {
  Indexed x{id, int32_t(rng() % 20), int32_t(rng() % 50), words[rng() % wordCount], double(rng() % 30) / 4,
            smalls[rng() % smallCount], float(reals[rng() % realCount])};
  if (rng() % 8 == 0) x.r = reals[rng() % 3];  // some zeros of either sign and NaN
  return x;
}
Plain plainOf(const Indexed& x) { return Plain{x.id, x.a, x.b, x.s, x.r, x.c, x.f}; }

// Records of one table reached from another through references: `owner` and
// `tags` have inverses kept in Group, `keyed` and `ranked` are indexed reference
// fields, `plain` and `plainTags` hold the same references with neither, so a
// query on them is always answered by the scan. A Group's `region` leads one hop
// further, with its inverse kept in Region.
struct Member;
struct Group;
struct Region {
  int32_t code;
  int32_t level;
  const char* name;
  dbArray<dbReference<Group>> groups;
  KELDRA_DESCRIBE(Region, KELDRA_KEY(code, HASHED), KELDRA_FIELD(level), KELDRA_KEY(name, INDEXED),
                  KELDRA_RELATION(groups, region));
};
struct Group {
  int32_t code;
  int32_t size;
  const char* name;
  dbReference<Region> region;
  dbArray<dbReference<Member>> members;
  dbArray<dbReference<Member>> taggedBy;
  KELDRA_DESCRIBE(Group, KELDRA_KEY(code, HASHED), KELDRA_KEY(size, INDEXED), KELDRA_KEY(name, INDEXED),
                  KELDRA_RELATION(region, groups), KELDRA_RELATION(members, owner), KELDRA_RELATION(taggedBy, tags));
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
KELDRA_TABLE(Region);
KELDRA_TABLE(Group);
KELDRA_TABLE(Member);

class SearchByIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    std::mt19937 rng(42);
    for (int i = 0; i < 400; i++) {
      Indexed x = randomIndexed(rng, i);
      Plain p = plainOf(x);
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
      // A LIKE that needs its pattern tested, inside AND.
      {"s like 'ab%c' and id >= 0", false},   {"s like 'abc\\%' escape '\\' and id >= 0", false},
      {"s like 'ab_' and a < 10", false},     {"s like 'zz\xff%' and a < 15", false},
      // Prefixes ending in 255 bytes: every extension is in the range.
      {"s like 'zz\xff\xff%'", false},       {"s like '\xff%'", false},  {"s like 'zz\xff_%'", false},
      // Keys the field cannot hold: out of its range, or reals a float cannot hold.
      {"c = 257", false},                     {"c = -129", false},        {"c = 1", false},
      {"c > 200", false},                     {"c < 200", false},         {"c >= -300", false},
      {"c <= -300", false},                   {"c between -300 and -100", false}, {"c between 100 and 300", false},
      {"c between 5 and 5", false},           {"id = 4294967297", false}, {"a = 4294967299", false},
      {"id > 4294967297", false},             {"id < 4294967297", false}, {"id between -4294967296 and 5", false},
      {"f = 0.1", false},                     {"f > 0.1", false},         {"f >= 0.1", false},
      {"f < 0.1", false},                     {"f <= 0.1", false},        {"f = 0.5", false},
      {"f between 0.1 and 2.5", false},       {"f between 0.5 and 0.5", false}, {"f > 1e300", false},
      {"f < 1e300", false},                   {"f >= -1e300", false},
      // Both zeros are equal, NaN satisfies no comparison.
      {"r = 0.0", false},                     {"r = -0.0", false},        {"f = -0.0", false},
      {"f = 0.0", false},                     {"r > -0.0", false},        {"r >= 0.0", false},
      {"r <= 0.0", false},                    {"r > 2.5", false},         {"r < 1e308", false},
      {"f > 0.0", false},                     {"r between -0.0 and 0.0", false},
      // ORDER BY holds when OR branches come from indexes and the rest from elsewhere.
      {"a = 3 or b <> 2 order by id", true},  {"a = 3 or s like '%c' order by id desc", true},
      {"b = 3 or a = 5 or id <> 7 order by id", true},
      // NaN sorts after every number, from the tree and from the sort alike.
      {"order by r, id", true},               {"order by f desc, id", true}, {"r >= 0 order by r desc, id", true},
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
  // Real parameters: a double a float cannot hold, a float, NaN, an int8 beyond int4.
  double tenth = 0.1, notANumber = nan;
  float tenthFloat = 0.1f;
  int64_t beyond = (int64_t(1) << 32) + 3;
  auto same = [&](const char* text, const auto& value) {
    SCOPED_TRACE(text);
    dbQuery x, y;
    x = text, value;
    y = text, value;
    EXPECT_EQ(sorted(ids<Indexed>(x)), sorted(ids<Plain>(y)));
  };
  same("f =", tenth);
  same("f >", tenth);
  same("f =", tenthFloat);
  same("f <=", tenthFloat);
  same("r =", notANumber);
  same("r <", notANumber);
  same("f >=", notANumber);
  same("a =", beyond);
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
// index of the reference field (hash or tree), over one hop or more, a LIKE too.
// Either way the result is that of a scan that skips the records whose references
// are null explicitly, with a conjunction filtering. Without an index the scan
// answers, and a comparison through a null reference does not hold there either.
TEST_F(SearchByIndexTest, JoinsThroughReferencesEqualTheScan) {
  std::mt19937 rng(7);
  std::vector<oid_t> regions;
  const char* regionNames[] = {"north", "nord", "south"};
  for (int i = 0; i < 6; i++) {
    Region r{i % 3, i % 2, regionNames[i % 3], {}};
    regions.push_back(db.insertRecord(&Region_descriptor, &r));
  }
  std::vector<oid_t> groups;
  const char* groupNames[] = {"abc", "abd", "ab", "xyz", "abcd", "a\xff\xff"};
  for (int i = 0; i < 12; i++) {
    // Codes repeat: two groups per code; some groups have no region.
    const oid_t region = i % 4 == 3 ? 0 : regions[rng() % regions.size()];
    Group g{i % 6, int32_t(rng() % 5), groupNames[i % 6], dbReference<Region>(region), {}, {}};
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
      // Two hops: inverse then inverse, reference index then inverse, under EXISTS.
      {"owner.region.code = 1", "plain is not null and plain.region is not null and plain.region.code = 1"},
      {"keyed.region.code = 2 and a = 1",
       "plain is not null and plain.region is not null and plain.region.code = 2 and a = 1"},
      {"exists i: (tags[i].region.code = 0)",
       "exists i: (plainTags[i] is not null and plainTags[i].region is not null and plainTags[i].region.code = 0)"},
      {"owner.region.name like 'no%'",
       "plain is not null and plain.region is not null and plain.region.name like 'no%'"},
      // LIKE through a join: a prefix alone, a pattern tested on the other table.
      {"owner.name like 'ab%'", "plain is not null and plain.name like 'ab%'"},
      {"owner.name like 'a_c%' and a = 1", "plain is not null and plain.name like 'a_c%' and a = 1"},
      {"ranked.name like 'abc_'", "plain is not null and plain.name like 'abc_'"},
      {"keyed.name like 'a\xff%' or owner.code = 1",
       "plain is not null and (plain.name like 'a\xff%' or plain.code = 1)"},
      // The scan: no index on the path, or a pattern without a prefix.
      {"plain.code = 2", "plain is not null and plain.code = 2"},
      {"plain.region.level = 1", "plain is not null and plain.region is not null and plain.region.level = 1"},
      {"owner.region.level = 0 and a = 2",
       "plain is not null and plain.region is not null and plain.region.level = 0 and a = 2"},
      {"owner.name like '%d'", "plain is not null and plain.name like '%d'"},
      {"not plain.code = 2 and a = 3", "(plain is null or plain.code <> 2) and a = 3"},
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
  auto change = [&](const char* condition, bool remove) {
    Indexed values = randomIndexed(rng, 0);
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
    x->c = y->c = values.c;
    x->f = y->f = values.f;
    x.update();
    y.update();
  };
  int32_t nextId = 1000;
  char condition[160];
  for (int step = 0; step < steps; step++) {
    switch (rng() % 4) {
      case 0: {
        Indexed x = randomIndexed(rng, nextId++);
        Plain p = plainOf(x);
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
    // Each template takes two numbers, offset + 0 ... 49.
    struct Template {
      const char* text;
      long long offset;
    } templates[] = {
        {"a = %lld", 0}, {"b > %lld", 0}, {"b <= %lld order by b desc, id", 0}, {"b between %lld and %lld", 0},
        {"a = %lld or b = %lld", 0}, {"a = %lld and b < %lld", 0}, {"s like 'ab%%' order by s, id", 0},
        {"r >= %lld.5 order by r, id", 0}, {"id > %lld order by id desc", 0},
        // LIKE inside AND, prefixes of 255 bytes
        {"s like 'ab%%c' and a < %lld", 0}, {"s like 'ab_' and b >= %lld", 0},
        {"s like 'zz\xff\xff%%' and a <> %lld order by s, id", 0}, {"s like '\xff%%' or a = %lld", 0},
        // keys out of the field's range, reals a float cannot hold, both zeros
        {"a = %lld", (1LL << 32) - 25}, {"c = %lld", 100}, {"c > %lld", 100}, {"c between -%lld and %lld", 100},
        {"id < %lld and a = %lld", (1LL << 31) - 25}, {"f = 0.%lld", 0}, {"f > 0.%lld order by f, id", 0},
        {"f <= 0.%lld or c = %lld", 0}, {"r = -0.0 or a = %lld", 0}, {"f = 0.0 and c < %lld", 0},
        // OR branches from indexes and the rest from elsewhere, in ORDER BY order
        {"a = %lld or b <> %lld order by id", 0}, {"a = %lld or s like '%%d' order by r, id", 0},
        {"c = %lld or f < 0.0 order by f desc, id", 0},
    };
    const Template& t = templates[rng() % (sizeof templates / sizeof templates[0])];
    const long long first = t.offset + rng() % 50, second = t.offset + rng() % 50;
    snprintf(condition, sizeof condition, t.text, first, second);
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
