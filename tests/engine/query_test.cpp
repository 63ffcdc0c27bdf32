// Query objects: building from text pieces and bound variables, compile once per
// table, re-binding without recompiling, reset and the element pool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler.h"
#include "database.h"
#include "query.h"

namespace {

struct Rule {
  dbReference<Rule> parent;
  int32_t kind;
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(Rule, KELDRA_FIELD(parent), KELDRA_FIELD(kind), KELDRA_FIELD(text), KELDRA_FIELD(remove));
};

struct Folder {
  const char* text;
  int32_t kind;
  KELDRA_DESCRIBE(Folder, KELDRA_FIELD(text), KELDRA_FIELD(kind));
};

KELDRA_TABLE(Rule);
KELDRA_TABLE(Folder);

std::vector<std::string> reported;
void recordError(int, const char* message, int) { reported.push_back(message); }

// A compiled tree carries this mark until it is compiled again (nodes come from
// the pool zeroed, and comparison nodes do not use `offset`).
constexpr uint16_t mark = 0xBEEF;

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.setErrorHandler(recordError);
    reported.clear();
    nodes = dbExprNode::liveCount();
    elements = dbQueryElement::liveCount();
  }
  void TearDown() override {
    EXPECT_EQ(dbExprNode::liveCount(), nodes);
    EXPECT_EQ(dbQueryElement::liveCount(), elements);
  }
  // Executes `q` on `table` the way a search does: true when it was compiled now.
  bool execute(dbQuery& q, dbTableDescriptor* table) {
    bool compiledNow = q.tree == nullptr || q.tree->offset != mark;
    if (!q.compileFor(table, &db)) return false;
    compiledNow = compiledNow || q.tree->offset != mark;
    q.tree->offset = mark;
    return compiledNow;
  }
  std::vector<uint8_t> kinds(const dbQuery& q) {
    std::vector<uint8_t> result;
    for (dbQueryElement* e = q.elements; e != nullptr; e = e->next) result.push_back(e->kind);
    return result;
  }
  dbDatabase db;
  size_t nodes = 0, elements = 0;
};

TEST_F(QueryTest, CompilesOnceAndReadsRebindingsThroughTheParameter) {
  int32_t kind = 3;
  dbQuery q;
  q = "kind=", kind;
  EXPECT_TRUE(execute(q, &Rule_descriptor));
  ASSERT_EQ(q.tree->op, int(opIntCmp) + relEq);
  const dbExprNode* param = q.tree->operand[1];
  ASSERT_EQ(param->op, int(opParam) + dbQueryElement::qVarInt4);
  EXPECT_EQ(*static_cast<int32_t*>(param->var), 3);
  kind = 7;
  EXPECT_FALSE(execute(q, &Rule_descriptor));
  EXPECT_EQ(*static_cast<int32_t*>(q.tree->operand[1]->var), 7);

  dbQuery flag("remove=true");
  EXPECT_TRUE(execute(flag, &Rule_descriptor));
  EXPECT_FALSE(execute(flag, &Rule_descriptor));
}

TEST_F(QueryTest, RecompilesAtEverySwitchOfTable) {
  const char* text = "abc";
  dbQuery q;
  q = "text=", text, "and kind > 1";
  dbTableDescriptor* tables[] = {&Rule_descriptor, &Folder_descriptor, &Folder_descriptor, &Rule_descriptor};
  bool expected[] = {true, true, false, true};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(execute(q, tables[i]), expected[i]) << i;
    EXPECT_EQ(q.table, tables[i]);
    // The field loaded is the one of the table compiled for.
    const dbExprNode* field = q.tree->operand[0]->operand[0];
    ASSERT_EQ(field->op, int(opRecordField) + dbField::tpString);
    EXPECT_EQ(field->ref.field, tables[i]->findSymbol("text"));
  }
}

TEST_F(QueryTest, StringsAfterTextAreParametersOtherwiseText) {
  const char* a = "x";
  char* b = const_cast<char*>("y");
  int32_t n = 1;
  dbQuery q;
  q = "text=", a, "or text=", b;
  EXPECT_EQ(kinds(q), (std::vector<uint8_t>{0, 8, 0, 8}));
  EXPECT_TRUE(execute(q, &Rule_descriptor));
  EXPECT_EQ(q.tree->operand[1]->operand[1]->var, b);

  // After a parameter a string is text again.
  q = "kind=", n, " and text='z'";
  EXPECT_EQ(kinds(q), (std::vector<uint8_t>{0, 4, 0}));
  EXPECT_TRUE(execute(q, &Rule_descriptor));
  EXPECT_EQ(q.tree->op, opAnd);

  char** pointer = &b;
  q = "text=", pointer;
  EXPECT_EQ(kinds(q), (std::vector<uint8_t>{0, 9}));
}

TEST_F(QueryTest, ParameterKindsAndReferencedTables) {
  bool b = false;
  int8_t i1 = 0;
  int16_t i2 = 0;
  int64_t i8 = 0;
  float r4 = 0;
  double r8 = 0;
  dbReference<Rule> ref;
  dbArray<dbReference<Rule>> refs;
  char raw[4] = {};
  dbQuery q;
  q = "", b, "", i1, "", i2, "", i8, "", r4, "", r8, "", ref, "", refs, "", &refs;
  q.raw(raw);
  std::vector<uint8_t> expected = {0, 1, 0, 2, 0, 3, 0, 5, 0, 6, 0, 7, 0, 10, 0, 11, 0, 12, 13};
  EXPECT_EQ(kinds(q), expected);
  for (dbQueryElement* e = q.elements; e != nullptr; e = e->next) {
    bool reference = e->kind >= dbQueryElement::qVarReference && e->kind <= dbQueryElement::qVarArrayOfRefPtr;
    EXPECT_EQ(e->refTable, reference ? &Rule_descriptor : nullptr) << int(e->kind);
    EXPECT_STREQ(e->refTableName, reference ? "Rule" : nullptr);
  }

  // A reference parameter dereferences into its table; START FROM takes it as root.
  dbQuery start;
  start = "", ref, ".kind = 1 start from", ref, "follow by parent";
  EXPECT_TRUE(execute(start, &Rule_descriptor));
  EXPECT_EQ(start.startFrom, dbCompiledQuery::startFromRef);
  EXPECT_EQ(start.root, &ref);
  ASSERT_NE(start.follow, nullptr);
  EXPECT_EQ(start.follow->field, Rule_descriptor.findSymbol("parent"));
  // For another table the reference parameter is of the wrong type.
  EXPECT_FALSE(start.compileFor(&Folder_descriptor, &db));
  EXPECT_EQ(reported, std::vector<std::string>{"Incompatiable type of reference variable"});
  EXPECT_EQ(start.startFrom, dbCompiledQuery::startFromNone);
}

TEST_F(QueryTest, FailedCompilationStaysUncompiledAndReportsAgain) {
  dbQuery q("kind = 'x'");
  EXPECT_FALSE(q.compileFor(&Rule_descriptor, &db));
  EXPECT_FALSE(q.compiled());
  EXPECT_FALSE(q.compileFor(&Rule_descriptor, &db));
  EXPECT_EQ(reported.size(), 2u);
  // Text appended afterwards is compiled with the rest.
  q = "kind = 1";
  EXPECT_TRUE(q.compileFor(&Rule_descriptor, &db));
}

TEST_F(QueryTest, AppendingKeepsTheCompiledTreeUntilReset) {
  dbQuery q("kind = 1");
  EXPECT_TRUE(execute(q, &Rule_descriptor));
  q.append(" and kind = 2");
  EXPECT_FALSE(execute(q, &Rule_descriptor));  // the old tree stays in use
  EXPECT_EQ(q.tree->op, int(opIntCmp) + relEq);
  q.reset();
  EXPECT_FALSE(q.compiled());
  EXPECT_EQ(q.table, nullptr);
  EXPECT_EQ(q.elements, nullptr);
  EXPECT_FALSE(q.lastWasText);
  q = "kind = 1 and kind = 2 order by text";
  EXPECT_TRUE(execute(q, &Rule_descriptor));
  EXPECT_EQ(q.tree->op, opAnd);
  ASSERT_NE(q.orderBy, nullptr);
}

TEST_F(QueryTest, ResetReturnsElementsToThePool) {
  size_t before = dbQueryElement::liveCount();
  {
    int32_t kind = 1;
    dbQuery never;  // never compiled: reset only returns the elements
    never = "kind=", kind;
    never, "and text = 'x'";
    EXPECT_EQ(dbQueryElement::liveCount(), before + 3);
    never.reset();
    EXPECT_EQ(dbQueryElement::liveCount(), before);
    never = "kind = 1";
  }
  EXPECT_EQ(dbQueryElement::liveCount(), before);
  // Elements are recycled: a new chain takes the ones just returned.
  dbQuery a("kind = 1");
  dbQueryElement* first = a.elements;
  a.reset();
  dbQuery b("kind = 2");
  EXPECT_EQ(b.elements, first);
}

}  // namespace
