// The T-tree index: node fill and push-down, equal keys, range bounds, ordered
// walks, removal with borrowing and rebalancing, and the tree following record
// inserts, key updates, removals and rollback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "cursor.h"
#include "index.h"
#include "query.h"
#include "testdb.h"
#include "testsupport.h"
#include "ttree.h"

namespace {

struct Num {
  int32_t n;
  KELDRA_DESCRIBE(Num, KELDRA_KEY(n, INDEXED));
};
KELDRA_TABLE(Num);

struct Word {
  const char* s;
  int32_t tag;
  KELDRA_DESCRIBE(Word, KELDRA_KEY(s, INDEXED), KELDRA_FIELD(tag));
};
KELDRA_TABLE(Word);

struct Measure {
  double v;
  KELDRA_DESCRIBE(Measure, KELDRA_KEY(v, INDEXED));
};
KELDRA_TABLE(Measure);

class TtreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.open(name.c_str(), file.c_str())); }
  void TearDown() override {
    db.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
  }

  dbTableDescriptor* table(dbTableDescriptor& declared) { return db.findTable(&declared); }
  dbFieldDescriptor* field(dbTableDescriptor& declared, const char* name) {
    return table(declared)->findSymbol(name);
  }
  oid_t treeOf(dbTableDescriptor& declared, const char* name) { return field(declared, name)->tTree; }
  oid_t rootOf(oid_t tree) { return reinterpret_cast<const dbTtreeHeader*>(db.getObject(tree))->root; }
  const dbTtreeNode& nodeAt(oid_t id) { return *reinterpret_cast<const dbTtreeNode*>(db.getObject(id)); }

  oid_t insertNum(int32_t n) {
    Num r{n};
    return db.insertRecord(&Num_descriptor, &r);
  }
  int32_t numKey(oid_t oid) {
    int32_t v;
    memcpy(&v, reinterpret_cast<const char*>(db.getRecord(oid)) + field(Num_descriptor, "n")->dbsOffs, 4);
    return v;
  }
  std::vector<int32_t> numKeys(const std::vector<oid_t>& oids) {
    std::vector<int32_t> keys;
    for (oid_t oid : oids) keys.push_back(numKey(oid));
    return keys;
  }

  static std::vector<oid_t> selected(dbAnyCursor& cursor) {
    std::vector<oid_t> oids;
    for (bool more = cursor.moveFirst(); more; more = cursor.moveNext()) oids.push_back(cursor.getOid());
    return oids;
  }
  // The records of the int4 tree of Num within the bounds, as the search finds them.
  std::vector<oid_t> findNum(const int32_t* low, bool lowIncl, const int32_t* high, bool highIncl) {
    Num buffer{};
    dbAnyCursor cursor(*table(Num_descriptor), dbCursorForReading, &buffer, &db);
    dbFieldDescriptor* fd = field(Num_descriptor, "n");
    dbSearchContext sc;
    sc.db = &db;
    sc.cursor = &cursor;
    sc.firstKey = reinterpret_cast<const char*>(low);
    sc.firstKeyInclusion = lowIncl;
    sc.lastKey = reinterpret_cast<const char*>(high);
    sc.lastKeyInclusion = highIncl;
    sc.type = fd->type;
    sc.sizeofType = int(fd->dbsSize);
    sc.offs = int(fd->dbsOffs);
    sc.comparator = fd->comparator;
    dbTtree::find(&db, fd->tTree, sc);
    return selected(cursor);
  }
  std::vector<oid_t> walk(dbTableDescriptor& declared, const char* name, bool forward,
                          const dbExprNode* condition = nullptr, uint32_t maxRows = 0) {
    std::vector<char> buffer(declared.appSize);
    dbAnyCursor cursor(*table(declared), dbCursorForReading, buffer.data(), &db);
    if (maxRows != 0) cursor.setMaxRows(maxRows);
    oid_t tree = treeOf(declared, name);
    bool completed = forward ? dbTtree::traverseForward(&db, tree, &cursor, condition)
                             : dbTtree::traverseBackward(&db, tree, &cursor, condition);
    EXPECT_EQ(completed, maxRows == 0) << "a walk stops exactly when the cursor is full";
    return selected(cursor);
  }

  // Checks the tree's shape (counts, balance factors, heights) and returns its items
  // in order.
  std::vector<oid_t> inspect(oid_t tree) {
    std::vector<oid_t> items;
    shape(rootOf(tree), items, 0);
    return items;
  }
  int shape(oid_t id, std::vector<oid_t>& items, int depth) {
    if (id == 0) return 0;
    if (depth > 64) {
      ADD_FAILURE() << "tree too deep";
      return 0;
    }
    const dbTtreeNode n = nodeAt(id);
    int hl = shape(n.left, items, depth + 1);
    EXPECT_GE(n.nItems, 1) << "node " << id;
    EXPECT_LE(n.nItems, dbTtreeNode::maxItems) << "node " << id;
    items.insert(items.end(), n.item, n.item + n.nItems);
    int hr = shape(n.right, items, depth + 1);
    EXPECT_EQ(n.balance, hr - hl) << "node " << id;
    EXPECT_LE(std::abs(hr - hl), 1) << "node " << id;
    return std::max(hl, hr) + 1;
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("ttree");
  std::string file = dir.file("t.kld");
  TestDb db;
};

// The first insert makes a one-item root; a full node sends a greater key to a new
// right child and a smaller one to a new left child.
TEST_F(TtreeTest, NodeFillAndFirstChildren) {
  struct Case {
    const char* what;
    int count;
    bool ascending;
    int rootItems;
    int32_t leftKey;   // 0 = no left child
    int32_t rightKey;  // 0 = no right child
  } cases[] = {
      {"one key", 1, true, 1, 0, 0},
      {"125 ascending fill the root", 125, true, 125, 0, 0},
      {"the 126th ascending key goes right", 126, true, 125, 0, 126},
      {"125 descending fill the root", 125, false, 125, 0, 0},
      {"the 126th descending key goes left", 126, false, 125, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int i = 0; i < c.count; i++) insertNum(c.ascending ? i + 1 : c.count - i);
    const oid_t tree = treeOf(Num_descriptor, "n");
    const dbTtreeNode root = nodeAt(rootOf(tree));
    EXPECT_EQ(root.nItems, c.rootItems);
    EXPECT_EQ(root.left != 0 ? numKey(nodeAt(root.left).item[0]) : 0, c.leftKey);
    EXPECT_EQ(root.right != 0 ? numKey(nodeAt(root.right).item[0]) : 0, c.rightKey);
    EXPECT_EQ(root.balance, (c.rightKey != 0) - (c.leftKey != 0));
    std::vector<int32_t> expected(c.count);
    for (int i = 0; i < c.count; i++) expected[i] = i + 1;
    EXPECT_EQ(numKeys(inspect(tree)), expected);
    db.rollback();
  }
}

// A key equal to a node's first key goes to the front of that node when it has
// room, even though the node has a left child.
TEST_F(TtreeTest, KeyEqualToFirstKeyGoesToTheFrontOfANodeWithRoom) {
  std::map<int32_t, oid_t> byKey;
  for (int32_t k = 126; k >= 1; k--) byKey[k] = insertNum(k);  // root 2..126, left child 1
  db.removeRecord(&Num_descriptor, byKey[126]);                // root keeps 124 items
  const oid_t tree = treeOf(Num_descriptor, "n");
  ASSERT_NE(nodeAt(rootOf(tree)).left, 0u);
  ASSERT_EQ(nodeAt(rootOf(tree)).nItems, 124);
  oid_t twin = insertNum(2);
  EXPECT_EQ(nodeAt(rootOf(tree)).item[0], twin);
  EXPECT_EQ(nodeAt(rootOf(tree)).nItems, 125);
  EXPECT_EQ(nodeAt(nodeAt(rootOf(tree)).left).nItems, 1) << "the left child is untouched";
  inspect(tree);
  db.commit();
}

// Keys 1..300 inserted in ascending order give the root 126..250 with the children
// 1..125 and 251..300, so the bounds fall on first and last keys of nodes.
TEST_F(TtreeTest, RangeBoundsInclusiveAndExclusive) {
  for (int32_t k = 1; k <= 300; k++) insertNum(k);
  const oid_t tree = treeOf(Num_descriptor, "n");
  ASSERT_EQ(numKey(nodeAt(rootOf(tree)).item[0]), 126);
  ASSERT_EQ(numKey(nodeAt(nodeAt(rootOf(tree)).left).item[124]), 125);
  const int32_t none = std::numeric_limits<int32_t>::min();
  struct Case {
    int32_t low;
    bool lowIncl;
    int32_t high;
    bool highIncl;
  } cases[] = {
      {125, false, none, true},  // the last key of a node: nothing from it, its right side continues
      {125, true, none, true},   {250, false, none, true}, {250, true, none, true},
      {126, false, none, true},  {126, true, none, true},  {none, true, 126, false},
      {none, true, 126, true},   {none, true, 125, false}, {100, true, 100, true},
      {100, false, 100, true},   {100, true, 100, false},  {0, true, 0, true},
      {300, false, none, true},  {300, true, none, true},  {none, true, 1, false},
      {none, true, none, true},  {125, true, 251, true},   {125, false, 251, false},
      {-5, false, 1000, false},  {251, true, 250, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.lowIncl ? "[" : "(") << c.low << ", " << c.high << (c.highIncl ? "]" : ")"));
    std::vector<int32_t> expected;
    for (int32_t k = 1; k <= 300; k++) {
      if (c.low != none && (c.lowIncl ? k < c.low : k <= c.low)) continue;
      if (c.high != none && (c.highIncl ? k > c.high : k >= c.high)) continue;
      expected.push_back(k);
    }
    EXPECT_EQ(numKeys(findNum(c.low != none ? &c.low : nullptr, c.lowIncl, c.high != none ? &c.high : nullptr,
                              c.highIncl)),
              expected);
  }
  db.commit();
}

// Equal keys spread over several nodes are all found by low = high, and each of them
// can be removed again, in any order.
TEST_F(TtreeTest, DuplicatesOverSeveralNodes) {
  std::mt19937 rng(7);
  std::vector<oid_t> sevens;
  std::map<int32_t, int> counts;
  for (int i = 0; i < 700; i++) {
    int32_t k = i % 3 == 0 ? int32_t(rng() % 15) : 7;
    oid_t oid = insertNum(k);
    counts[k]++;
    if (k == 7) sevens.push_back(oid);
  }
  const oid_t tree = treeOf(Num_descriptor, "n");
  const int32_t seven = 7;
  std::vector<oid_t> found = findNum(&seven, true, &seven, true);
  std::vector<oid_t> sortedFound = found, sortedSevens = sevens;
  std::sort(sortedFound.begin(), sortedFound.end());
  std::sort(sortedSevens.begin(), sortedSevens.end());
  EXPECT_EQ(sortedFound, sortedSevens);
  EXPECT_TRUE(findNum(&seven, false, &seven, true).empty());
  EXPECT_EQ(findNum(&seven, false, nullptr, true).size(), size_t(700 - counts[7] - [&] {
              int below = 0;
              for (auto& [k, n] : counts) below += k < 7 ? n : 0;
              return below;
            }()));
  db.commit();

  db.beginWrite();
  std::shuffle(sevens.begin(), sevens.end(), rng);
  for (size_t i = 0; i < sevens.size(); i++) {
    db.removeRecord(&Num_descriptor, sevens[i]);
    if (i % 50 == 0) inspect(tree);
  }
  EXPECT_TRUE(findNum(&seven, true, &seven, true).empty());
  std::vector<int32_t> keys = numKeys(inspect(tree));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(keys.size(), size_t(700 - counts[7]));
  db.commit();
}

TEST_F(TtreeTest, AscendingAndDescendingWalks) {
  std::vector<int32_t> ascending;
  for (int32_t k = 1; k <= 300; k++) ascending.push_back(k);
  std::vector<int32_t> shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  for (int32_t k : shuffled) insertNum(k);
  std::vector<int32_t> descending(ascending.rbegin(), ascending.rend());
  EXPECT_EQ(numKeys(walk(Num_descriptor, "n", true)), ascending);
  EXPECT_EQ(numKeys(walk(Num_descriptor, "n", false)), descending);
  EXPECT_EQ(numKeys(walk(Num_descriptor, "n", false, nullptr, 3)), (std::vector<int32_t>{300, 299, 298}));

  dbQuery ends("n < 4 or n > 297");
  ASSERT_TRUE(ends.compileFor(table(Num_descriptor), &db));
  EXPECT_EQ(numKeys(walk(Num_descriptor, "n", true, ends.tree)), (std::vector<int32_t>{1, 2, 3, 298, 299, 300}));
  EXPECT_EQ(numKeys(walk(Num_descriptor, "n", false, ends.tree)), (std::vector<int32_t>{300, 299, 298, 3, 2, 1}));
  db.commit();
}

// Removing every record, in an order that makes nodes borrow and subtrees rotate,
// frees every node and leaves the root at 0.
TEST_F(TtreeTest, RemovingEveryItemEmptiesTheTree) {
  std::vector<oid_t> oids;
  for (int32_t k = 0; k < 2000; k++) oids.push_back(insertNum(k * 7 % 2000));
  const oid_t tree = treeOf(Num_descriptor, "n");
  std::vector<oid_t> nodes;
  std::vector<oid_t> stack{rootOf(tree)};
  while (!stack.empty()) {
    oid_t id = stack.back();
    stack.pop_back();
    nodes.push_back(id);
    if (nodeAt(id).left) stack.push_back(nodeAt(id).left);
    if (nodeAt(id).right) stack.push_back(nodeAt(id).right);
  }
  EXPECT_GT(nodes.size(), 16u);
  db.commit();
  db.beginWrite();
  std::shuffle(oids.begin(), oids.end(), std::mt19937(11));
  for (size_t i = 0; i < oids.size(); i++) {
    db.removeRecord(&Num_descriptor, oids[i]);
    if (i % 97 == 0) {
      EXPECT_EQ(inspect(tree).size(), oids.size() - i - 1);
    }
  }
  EXPECT_EQ(rootOf(tree), 0u);
  for (oid_t id : nodes) EXPECT_NE(db.handle(id) & dbFreeHandleMarker, 0u) << "node " << id << " freed";
  db.commit();
}

// Records changed through the engine keep the tree in step: key updates move the
// record, removal takes it out, rollback brings back the committed tree.
TEST_F(TtreeTest, RecordChangesAndRollback) {
  std::vector<oid_t> oids;
  for (int32_t k = 0; k < 400; k++) oids.push_back(insertNum(k));
  db.commit();
  const oid_t tree = treeOf(Num_descriptor, "n");
  db.beginRead();
  const std::vector<oid_t> committed = inspect(tree);
  db.commit();

  db.beginWrite();
  for (int32_t k = 0; k < 400; k += 3) {
    Num changed{1000 - k};
    db.updateRecord(oids[k], &Num_descriptor, &changed);
  }
  for (int32_t k = 1; k < 400; k += 5) db.removeRecord(&Num_descriptor, oids[k]);
  for (int32_t k = 0; k < 200; k++) insertNum(-k);
  std::vector<int32_t> keys = numKeys(inspect(tree));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(keys.size(), size_t(400 - 80 + 200));
  EXPECT_EQ(keys.back(), 1000);
  db.rollback();

  db.beginRead();
  EXPECT_EQ(inspect(tree), committed);
  db.commit();

  // The same changes committed this time, the tree then checked on the file.
  db.beginWrite();
  for (int32_t k = 0; k < 400; k += 3) {
    Num changed{1000 - k};
    db.updateRecord(oids[k], &Num_descriptor, &changed);
  }
  Num same{numKey(oids[1])};
  db.updateRecord(oids[1], &Num_descriptor, &same);  // an unchanged key leaves the tree alone
  db.commit();
  db.beginRead();
  keys = numKeys(inspect(tree));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(keys.size(), 400u);
  db.commit();
}

TEST_F(TtreeTest, StringKeysInByteOrderWithPrefixesAndLongValues) {
  std::vector<std::string> values = {"b", "", "ab", "a", "abc", "B", "\xc3\xa9t\xc3\xa9", "zz", "a"};
  for (int i = 0; i < 300; i++) values.push_back(std::string(size_t(i % 40), char('a' + i % 26)) + std::to_string(i));
  values.push_back(std::string(5000, 'q'));
  for (const std::string& v : values) {
    Word w{v.c_str(), 0};
    db.insertRecord(&Word_descriptor, &w);
  }
  auto text = [&](oid_t oid) {
    const char* rec = reinterpret_cast<const char*>(db.getRecord(oid));
    dbVarying v;
    memcpy(&v, rec + field(Word_descriptor, "s")->dbsOffs, sizeof v);
    return std::string(rec + v.offset);
  };
  std::vector<std::string> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> walked;
  for (oid_t oid : walk(Word_descriptor, "s", true)) walked.push_back(text(oid));
  EXPECT_EQ(walked, sorted);

  // Prefix range of "a": from "a" inclusive to "b" exclusive.
  Word buffer{};
  dbAnyCursor cursor(*table(Word_descriptor), dbCursorForReading, &buffer, &db);
  dbFieldDescriptor* fd = field(Word_descriptor, "s");
  dbSearchContext sc;
  sc.db = &db;
  sc.cursor = &cursor;
  sc.firstKey = "a";
  sc.lastKey = "b";
  sc.lastKeyInclusion = false;
  sc.type = fd->type;
  sc.sizeofType = int(fd->dbsSize);
  sc.offs = int(fd->dbsOffs);
  EXPECT_FALSE(dbTtree::find(&db, fd->tTree, sc)) << "stops at the first key past the high bound";
  std::vector<std::string> found, expected;
  for (oid_t oid : selected(cursor)) found.push_back(text(oid));
  for (const std::string& v : sorted) {
    if (v >= "a" && v < "b") expected.push_back(v);
  }
  EXPECT_EQ(found, expected);
  db.commit();
}

// NaN sorts after every number, so records holding it are found and removed again.
TEST_F(TtreeTest, RealKeysWithNanCanBeRemoved) {
  const double nan = std::nan("");
  std::vector<double> values = {1.5, nan, -0.0, 0.0, -7.25, nan, 1e300, -1e300, 2.0, nan};
  std::vector<oid_t> oids;
  for (double v : values) {
    Measure m{v};
    oids.push_back(db.insertRecord(&Measure_descriptor, &m));
  }
  auto keyOf = [&](oid_t oid) {
    double v;
    memcpy(&v, reinterpret_cast<const char*>(db.getRecord(oid)) + field(Measure_descriptor, "v")->dbsOffs, 8);
    return v;
  };
  std::vector<oid_t> order = walk(Measure_descriptor, "v", true);
  ASSERT_EQ(order.size(), values.size());
  for (size_t i = 0; i + 1 < order.size(); i++) {
    double a = keyOf(order[i]), b = keyOf(order[i + 1]);
    EXPECT_TRUE(std::isnan(b) || (!std::isnan(a) && a <= b)) << a << " before " << b;
  }
  db.commit();
  db.beginWrite();
  for (oid_t oid : oids) db.removeRecord(&Measure_descriptor, oid);
  EXPECT_EQ(rootOf(treeOf(Measure_descriptor, "v")), 0u);
  db.commit();
}

// A tree of its own, filled and dropped: every node and the header are freed.
TEST_F(TtreeTest, DropFreesNodesAndHeader) {
  std::vector<oid_t> oids;
  for (int32_t k = 0; k < 600; k++) oids.push_back(insertNum(k % 50));
  dbFieldDescriptor* fd = field(Num_descriptor, "n");
  oid_t tree = dbTtree::allocate(&db);
  for (oid_t oid : oids) {
    dbTtree::insert(&db, tree, oid, fd->type, int(fd->dbsSize), fd->comparator, int(fd->dbsOffs));
  }
  std::vector<oid_t> items = inspect(tree);
  EXPECT_EQ(items.size(), oids.size());
  std::vector<oid_t> nodes;
  std::vector<oid_t> stack{rootOf(tree)};
  while (!stack.empty()) {
    oid_t id = stack.back();
    stack.pop_back();
    nodes.push_back(id);
    if (nodeAt(id).left) stack.push_back(nodeAt(id).left);
    if (nodeAt(id).right) stack.push_back(nodeAt(id).right);
  }
  dbTtree::drop(&db, tree);
  EXPECT_NE(db.handle(tree) & dbFreeHandleMarker, 0u);
  for (oid_t id : nodes) EXPECT_NE(db.handle(id) & dbFreeHandleMarker, 0u);
  db.commit();
}

// Random inserts, key updates and removals against a sorted reference; the tree is
// checked along the way and on the committed file.
TEST_F(TtreeTest, RandomizedAgainstSortedReference) {
  std::mt19937 rng(2024);
  std::map<oid_t, int32_t> reference;
  std::vector<oid_t> live;
  const oid_t tree = treeOf(Num_descriptor, "n");
  auto verify = [&] {
    std::vector<oid_t> items = inspect(tree);
    ASSERT_EQ(items.size(), reference.size());
    std::vector<int32_t> keys = numKeys(items);
    ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    std::vector<oid_t> sortedItems = items;
    std::sort(sortedItems.begin(), sortedItems.end());
    ASSERT_TRUE(std::adjacent_find(sortedItems.begin(), sortedItems.end()) == sortedItems.end());
    for (oid_t oid : items) ASSERT_EQ(reference.count(oid), 1u);
  };
  for (int round = 0; round < 6; round++) {
    const int32_t span = round % 2 == 0 ? 500 : 1000000;  // many or few equal keys
    for (int op = 0; op < 1500; op++) {
      const unsigned what = rng() % 10;
      if (what < 5 || live.empty()) {
        int32_t k = int32_t(rng() % span);
        oid_t oid = insertNum(k);
        reference[oid] = k;
        live.push_back(oid);
      } else if (what < 8) {
        size_t at = rng() % live.size();
        db.removeRecord(&Num_descriptor, live[at]);
        reference.erase(live[at]);
        live[at] = live.back();
        live.pop_back();
      } else {
        oid_t oid = live[rng() % live.size()];
        Num changed{int32_t(rng() % span)};
        db.updateRecord(oid, &Num_descriptor, &changed);
        reference[oid] = changed.n;
      }
    }
    verify();
    const int32_t low = int32_t(rng() % span), high = low + span / 10;
    std::vector<int32_t> expected;
    for (auto& [oid, k] : reference) {
      if (k >= low && k < high) expected.push_back(k);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(numKeys(findNum(&low, true, &high, false)), expected);
    db.commit();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << "round " << round << ": " << e;
    db.beginWrite();
  }
  db.commit();
}

// The checker finds each kind of damage to a committed tree. Keys 1..300 ascending
// give the root 126..250 with the children 1..125 and 251..300.
TEST_F(TtreeTest, CheckerFindsDamagedTrees) {
  for (int32_t k = 1; k <= 300; k++) insertNum(k);
  db.commit();
  db.beginRead();
  const oid_t tree = treeOf(Num_descriptor, "n");
  const oid_t root = rootOf(tree), left = nodeAt(root).left, right = nodeAt(root).right;
  const uint32_t treeAt = db.committedHandle(tree) & ~15u, rootAt = db.committedHandle(root) & ~15u,
                 leftAt = db.committedHandle(left) & ~15u;
  const oid_t rootItem0 = nodeAt(root).item[0], rootItem1 = nodeAt(root).item[1];
  const oid_t someRow = nodeAt(right).item[0];
  db.commit();
  db.close();
  const std::vector<char> image = testsupport::readFile(file);
  ASSERT_TRUE(dbCheckImage(image.data(), image.size()).ok());
  auto put32 = [](std::vector<char>& bytes, size_t at, uint32_t v) { memcpy(&bytes[at], &v, 4); };
  struct Case {
    const char* what;
    std::function<void(std::vector<char>&)> damage;
    const char* expected;
  } cases[] = {
      {"two items swapped",
       [&](auto& b) {
         put32(b, rootAt + 12, rootItem1);
         put32(b, rootAt + 16, rootItem0);
       },
       "out of key order"},
      {"no items", [&](auto& b) { b[rootAt + 10] = 0; }, "holds 0 items"},
      {"too many items", [&](auto& b) { b[rootAt + 10] = 126; }, "holds 126 items"},
      {"wrong balance", [&](auto& b) { b[rootAt + 8] = 1; }, "has balance 1"},
      {"shared subtree", [&](auto& b) { put32(b, rootAt + 4, left); }, "reached again"},
      {"lost subtree", [&](auto& b) { put32(b, rootAt, 0); }, "is in no item"},
      {"row in two items", [&](auto& b) { put32(b, leftAt + 12 + 4 * 124, someRow); }, "in more than one item"},
      {"item not a row", [&](auto& b) { put32(b, rootAt + 12 + 4 * 5, tree); }, "not a row of the table"},
      {"root not a node", [&](auto& b) { put32(b, treeAt, someRow); }, "is not a live tree node"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> damaged = image;
    c.damage(damaged);
    dbCheckReport report = dbCheckImage(damaged.data(), damaged.size());
    std::string all;
    for (const std::string& e : report.errors) all += e + "\n";
    EXPECT_NE(all.find(c.expected), std::string::npos) << all;
    EXPECT_NE(all.find("T-tree"), std::string::npos) << all;
  }
  ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
}

}  // namespace
