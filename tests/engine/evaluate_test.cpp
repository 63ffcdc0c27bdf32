// Evaluation of compiled conditions against the records of a small table: each
// case is a condition with the rows it selects, or the run-time error it raises.
#include <gtest/gtest.h>

#include <clocale>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "compiler.h"
#include "evaluate.h"
#include "query.h"
#include "testdb.h"
#include "testsupport.h"

struct Pair {
  int32_t key;
  const char* label;
  KELDRA_DESCRIBE(Pair, KELDRA_FIELD(key), KELDRA_FIELD(label));
};

struct Row {
  const char* name;
  int8_t i1;
  int16_t i2;
  int32_t i4;
  int64_t i8;
  float r4;
  double r8;
  bool flag;
  dbArray<int32_t> nums;
  dbArray<int8_t> bytes;
  dbArray<const char*> words;
  dbArray<Pair> pairs;
  dbReference<Row> next;
  int64_t sum() const { return int64_t(i4) + i8; }
  const char* shout() const {
    char* s = new char[strlen(name) + 1];
    for (size_t i = 0; name[i] != '\0' || (s[i] = '\0', false); i++) s[i] = char(toupper(uint8_t(name[i])));
    return s;
  }
  KELDRA_DESCRIBE(Row, KELDRA_FIELD(name), KELDRA_FIELD(i1), KELDRA_FIELD(i2), KELDRA_FIELD(i4), KELDRA_FIELD(i8),
                  KELDRA_FIELD(r4), KELDRA_FIELD(r8), KELDRA_FIELD(flag), KELDRA_FIELD(nums), KELDRA_FIELD(bytes),
                  KELDRA_FIELD(words), KELDRA_FIELD(pairs), KELDRA_FIELD(next), KELDRA_METHOD(sum),
                  KELDRA_METHOD(shout));
};
KELDRA_TABLE(Row);

namespace {

// Records the run-time errors instead of ending the process; the evaluation that
// raised one then counts as false.
class EvalDb : public TestDb {
 public:
  using TestDb::TestDb;
  void reportError(int code, const char* message, int argument) override {
    if (forward) dbDatabase::reportError(code, message, argument);
    errors.push_back({code, message, argument});
  }
  bool forward = false;  // report as the engine does by default
  struct Error {
    int code;
    std::string message;
    int argument;
  };
  std::vector<Error> errors;
};

const std::string longName = std::string(594, 'x') + "needle";

// Builds trees by hand, owning every node it makes.
class Tree {
 public:
  explicit Tree(dbTableDescriptor* t) : table(t) {}

  dbExprNode* node(int op, int type, dbExprNode* a = nullptr, dbExprNode* b = nullptr, dbExprNode* c = nullptr) {
    nodes.push_back(std::make_unique<dbExprNode>());
    dbExprNode* n = nodes.back().get();
    n->op = uint8_t(op);
    n->resultType = uint8_t(type);
    n->operand[0] = a;
    n->operand[1] = b;
    n->operand[2] = c;
    return n;
  }
  static int typeOf(int fieldType) {
    static const uint8_t types[] = {exBoolean, exInteger, exInteger, exInteger, exInteger,  exReal,
                                    exReal,    exString,  exReference, exArray};
    return types[fieldType >= dbField::tpMethodBool ? fieldType - dbField::tpMethodBool : fieldType];
  }
  dbFieldDescriptor* field(const char* name) {
    dbFieldDescriptor* fd = table->find(name);
    if (fd == nullptr) fd = table->findSymbol(name);  // methods
    EXPECT_NE(fd, nullptr) << name;
    return fd;
  }
  // A field of the current record.
  dbExprNode* f(const char* name) {
    dbFieldDescriptor* fd = field(name);
    dbExprNode* n = node(opRecordField + fd->type, typeOf(fd->type));
    n->offset = uint16_t(fd->dbsOffs);
    n->ref.field = fd;
    return n;
  }
  // A field of the record, element or structure whose address `base` yields.
  dbExprNode* of(dbExprNode* base, dbFieldDescriptor* fd) {
    dbExprNode* n = node(opOperandField + fd->type, typeOf(fd->type), base);
    n->offset = uint16_t(fd->dbsOffs);
    n->ref.field = fd;
    return n;
  }
  dbExprNode* of(dbExprNode* base, const char* name) { return of(base, field(name)); }
  // array[index] of an array field: the element's address and the load of the element.
  dbExprNode* at(const char* array, dbExprNode* index) {
    dbFieldDescriptor* element = field(array)->components;
    dbExprNode* e = node(opArrayElement, exInteger, f(array), index);
    e->offset = uint16_t(element->dbsSize);
    return element->type == dbField::tpStructure ? e : of(e, element);
  }
  // A component of a structure element, e.g. pairs[i].key.
  dbExprNode* member(const char* array, dbExprNode* index, const char* name) {
    dbFieldDescriptor* element = field(array)->components;
    dbExprNode* e = node(opArrayElement, exInteger, f(array), index);
    e->offset = uint16_t(element->dbsSize);
    dbFieldDescriptor* c = element->components;
    while (strcmp(c->name, name) != 0) c = c->next;
    return of(e, c);
  }
  dbExprNode* i(int64_t v) {
    dbExprNode* n = node(opIntConst, exInteger);
    n->ivalue = v;
    return n;
  }
  dbExprNode* r(double v) {
    dbExprNode* n = node(opRealConst, exReal);
    n->fvalue = v;
    return n;
  }
  dbExprNode* s(const char* v) {
    dbExprNode* n = node(opStringConst, exString);
    n->svalue.str = const_cast<char*>(v);
    n->svalue.size = uint32_t(strlen(v) + 1);
    return n;
  }
  dbExprNode* s(const std::string& v) { return s(keep(v)); }
  dbExprNode* param(int kind, const void* address, int type) {
    dbExprNode* n = node(opParam + kind, type);
    n->var = const_cast<void*>(address);
    return n;
  }
  dbExprNode* var(int slot) {
    dbExprNode* n = node(opFreeVar, exFreeVar);
    n->offset = uint16_t(slot);
    return n;
  }
  dbExprNode* exists(int slot, dbExprNode* body) {
    dbExprNode* n = node(opExists, exBoolean, body);
    n->offset = uint16_t(slot);
    return n;
  }
  dbExprNode* b(int op, dbExprNode* l, dbExprNode* r) { return node(op, exBoolean, l, r); }
  dbExprNode* ieq(dbExprNode* l, dbExprNode* r) { return b(int(opIntCmp) + relEq, l, r); }
  dbExprNode* seq(dbExprNode* l, dbExprNode* r) { return b(int(opStrCmp) + relEq, l, r); }
  dbExprNode* req(dbExprNode* l, dbExprNode* r) { return b(int(opRealCmp) + relEq, l, r); }
  dbExprNode* in(dbExprNode* x, dbExprNode* y) { return b(opInString, x, y); }
  dbExprNode* like(dbExprNode* x, dbExprNode* p, dbExprNode* e = nullptr) {
    return node(e ? opLikeEscape : opLike, exBoolean, x, p, e);
  }
  dbExprNode* ia(int op, dbExprNode* l, dbExprNode* r = nullptr) { return node(op, exInteger, l, r); }
  dbExprNode* ra(int op, dbExprNode* l, dbExprNode* r = nullptr) { return node(op, exReal, l, r); }
  dbExprNode* str(int op, dbExprNode* l, dbExprNode* r = nullptr) { return node(op, exString, l, r); }
  const char* keep(const std::string& text) { return texts.emplace_back(std::make_unique<std::string>(text))->c_str(); }

 private:
  dbTableDescriptor* table;
  std::vector<std::unique_ptr<dbExprNode>> nodes;
  std::vector<std::unique_ptr<std::string>> texts;
};

using Names = std::set<std::string>;
const Names all = {"alpha", "beta", "50%", longName};

struct Case {
  const char* condition;  // the condition in the query language, for the failure message
  std::function<dbExprNode*(Tree&)> build;
  Names selected;
  int errorCode = 0;       // the run-time error raised for the rows in `failing`
  const char* errorText = nullptr;
  Names failing = {};
};

class EvaluateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.open(name.c_str(), file.c_str()));
    table = db.findTable(&Row_descriptor);
    const int32_t nums[] = {1, 5, 9};
    const int8_t minusOne[] = {-1};
    const char* colours[] = {"red", "green"};
    const Pair pairs[] = {{1, "one"}, {2, "two"}};
    const int32_t five[] = {5};
    const char* blue[] = {"blue"};

    Row b{"beta", 3, -300, -7, 100, 0.5f, -8.0, false, {}, {}, {}, {}, {}};
    beta = db.insertRecord(table, &b);
    Row a{"alpha", -1, 300, 7, -7, 1.5f, 2.5, true, dbArray<int32_t>(nums, 3), dbArray<int8_t>(minusOne, 1),
          dbArray<const char*>(colours, 2), dbArray<Pair>(pairs, 2), dbReference<Row>(beta)};
    alpha = db.insertRecord(table, &a);
    Row c{"50%", 0, 0, 0, 0, 0.0f, 0.0, false, dbArray<int32_t>(five, 1), {}, dbArray<const char*>(blue, 1), {},
          dbReference<Row>(alpha)};
    db.insertRecord(table, &c);
    Row d{longName.c_str(), 0, 0, 2, 3, 0.0f, 1e300, true, {}, {}, {}, {}, {}};
    db.insertRecord(table, &d);
    db.commit();
    ASSERT_TRUE(db.beginRead());
    for (oid_t oid = db.getTableRecord(table->tableId)->firstRow; oid != 0; oid = db.getRecord(oid)->nextId) {
      rows.push_back(oid);
    }
  }
  void TearDown() override {
    db.commit();
    db.close();
  }
  std::string nameOf(oid_t oid) {
    const char* record = reinterpret_cast<const char*>(db.getRecord(oid));
    dbFieldDescriptor* fd = table->find("name");
    dbVarying v;
    memcpy(&v, record + fd->dbsOffs, sizeof v);
    return record + v.offset;
  }
  // Rows for which `condition` holds, and rows for which it raised an error.
  void run(const dbExprNode* condition, Names& selected, Names& failing, const char* paramOrigin = nullptr) {
    for (oid_t oid : rows) {
      size_t before = db.errors.size();
      if (db.evaluateCondition(condition, oid, table, paramOrigin)) selected.insert(nameOf(oid));
      if (db.errors.size() != before) failing.insert(nameOf(oid));
    }
  }
  // The walk a scan makes, every `stride`-th row with one evaluation context, must
  // select the rows that evaluating each row alone selects, and raise the same errors
  // for the others while going on to the next row.
  void checkScan(const dbExprNode* condition, const Names& selected, const Names& failing) {
    for (int stride : {1, 2}) {
      SCOPED_TRACE("scan with stride " + std::to_string(stride));
      Names expected, expectedFailing;
      for (size_t i = 0; i < rows.size(); i += size_t(stride)) {
        if (selected.count(nameOf(rows[i])) != 0) expected.insert(nameOf(rows[i]));
        if (failing.count(nameOf(rows[i])) != 0) expectedFailing.insert(nameOf(rows[i]));
      }
      struct Found {
        EvaluateTest* test;
        Names names;
      } found{this, {}};
      const size_t before = db.errors.size();
      auto add = [](void* arg, oid_t oid) {
        auto* f = static_cast<Found*>(arg);
        f->names.insert(f->test->nameOf(oid));
        return true;
      };
      db.scanChain(condition, table, nullptr, rows.front(), rows.back(), stride, add, &found);
      EXPECT_EQ(found.names, expected);
      EXPECT_EQ(db.errors.size() - before, expectedFailing.size());
    }
  }
  void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.condition);
      Tree t(table);
      db.errors.clear();
      Names selected, failing;
      const dbExprNode* condition = c.build(t);
      run(condition, selected, failing);
      checkScan(condition, selected, failing);
      EXPECT_EQ(selected, c.selected);
      EXPECT_EQ(failing, c.failing);
      for (const EvalDb::Error& e : db.errors) {
        EXPECT_EQ(e.code, c.errorCode);
        EXPECT_EQ(e.message, c.errorText);
      }
    }
  }

  testsupport::TempDir dir;
  std::string name = testsupport::uniqueName("eval");
  std::string file = dir.file("e.kld");
  EvalDb db;
  dbTableDescriptor* table = nullptr;
  oid_t alpha = 0, beta = 0;
  std::vector<oid_t> rows;
};

TEST_F(EvaluateTest, LoadsAndComparisons) {
  check({
      {"i1 = -1", [](Tree& t) { return t.ieq(t.f("i1"), t.i(-1)); }, {"alpha"}},
      {"i2 = -300", [](Tree& t) { return t.ieq(t.f("i2"), t.i(-300)); }, {"beta"}},
      {"i4 > i8", [](Tree& t) { return t.b(int(opIntCmp) + relGt, t.f("i4"), t.f("i8")); }, {"alpha"}},
      {"i4 <> 0", [](Tree& t) { return t.b(int(opIntCmp) + relNe, t.f("i4"), t.i(0)); }, {"alpha", "beta", longName}},
      {"i4 <= 0", [](Tree& t) { return t.b(int(opIntCmp) + relLe, t.f("i4"), t.i(0)); }, {"beta", "50%"}},
      {"r4 = 1.5", [](Tree& t) { return t.req(t.f("r4"), t.r(1.5)); }, {"alpha"}},
      {"r8 < 0", [](Tree& t) { return t.b(int(opRealCmp) + relLt, t.f("r8"), t.r(0)); }, {"beta"}},
      {"flag", [](Tree& t) { return t.f("flag"); }, {"alpha", longName}},
      {"flag = false", [](Tree& t) { return t.b(int(opBoolCmp) + relEq, t.f("flag"), t.node(opFalse, exBoolean)); },
       {"beta", "50%"}},
      {"not flag or i4 = 7",
       [](Tree& t) {
         return t.b(opOr, t.node(opNot, exBoolean, t.f("flag")), t.ieq(t.f("i4"), t.i(7)));
       },
       {"alpha", "beta", "50%"}},
      {"next is null", [](Tree& t) { return t.node(opIsNull, exBoolean, t.f("next")); }, {"beta", longName}},
      {"next = first",
       [](Tree& t) { return t.b(int(opRefCmp) + relEq, t.f("next"), t.node(opFirst, exReference)); }, {"alpha"}},
      {"current = last",
       [](Tree& t) { return t.b(int(opRefCmp) + relEq, t.node(opCurrent, exReference), t.node(opLast, exReference)); },
       {longName}},
      {"'B' < 'a'", [](Tree& t) { return t.b(int(opStrCmp) + relLt, t.s("B"), t.s("a")); }, all},
      {"name >= 'b'", [](Tree& t) { return t.b(int(opStrCmp) + relGe, t.f("name"), t.s("b")); }, {"beta", longName}},
      {"i4 between -7 and 0",
       [](Tree& t) { return t.node(opIntBetween, exBoolean, t.f("i4"), t.i(-7), t.i(0)); }, {"beta", "50%"}},
      {"r8 between 0 and 2.5",
       [](Tree& t) { return t.node(opRealBetween, exBoolean, t.f("r8"), t.r(0), t.r(2.5)); }, {"alpha", "50%"}},
      {"name between 'a' and 'b'",
       [](Tree& t) { return t.node(opStrBetween, exBoolean, t.f("name"), t.s("a"), t.s("b")); }, {"alpha"}},
      {"length(nums) = 1", [](Tree& t) { return t.ieq(t.ia(opArrayLength, t.f("nums")), t.i(1)); }, {"50%"}},
      {"nums[2] = 9 (and is guarded by length)",
       [](Tree& t) {
         return t.b(opAnd, t.b(int(opIntCmp) + relGt, t.ia(opArrayLength, t.f("nums")), t.i(2)),
                    t.ieq(t.at("nums", t.i(2)), t.i(9)));
       },
       {"alpha"}},
      {"pairs[1].label = 'two'", [](Tree& t) {
         return t.b(opAnd, t.b(int(opIntCmp) + relGt, t.ia(opArrayLength, t.f("pairs")), t.i(1)),
                    t.seq(t.member("pairs", t.i(1), "label"), t.s("two")));
       },
       {"alpha"}},
      {"words[1] = 'green' (and guarded)", [](Tree& t) {
         return t.b(opAnd, t.b(int(opIntCmp) + relGt, t.ia(opArrayLength, t.f("words")), t.i(1)),
                    t.seq(t.at("words", t.i(1)), t.s("green")));
       },
       {"alpha"}},
      {"sum = 0", [](Tree& t) { return t.ieq(t.f("sum"), t.i(0)); }, {"alpha", "50%"}},
      {"shout = 'BETA'", [](Tree& t) { return t.seq(t.f("shout"), t.s("BETA")); }, {"beta"}},
      {"no condition", [](Tree& t) { return t.node(opVoid, exVoid); }, all},
  });
}

TEST_F(EvaluateTest, Arithmetic) {
  auto pow = [](Tree& t, int64_t b, int64_t e) { return t.ia(opIntPow, t.i(b), t.i(e)); };
  check({
      {"7 / 2 = 3", [](Tree& t) { return t.ieq(t.ia(opIntDiv, t.i(7), t.i(2)), t.i(3)); }, all},
      {"-7 / 2 = -3", [](Tree& t) { return t.ieq(t.ia(opIntDiv, t.i(-7), t.i(2)), t.i(-3)); }, all},
      {"i4 / i8 = -1", [](Tree& t) { return t.ieq(t.ia(opIntDiv, t.f("i4"), t.f("i8")), t.i(-1)); }, {"alpha"},
       dbArithmeticError, "Division by zero", {"50%"}},
      {"(-9223372036854775808) / -1 wraps",
       [](Tree& t) { return t.ieq(t.ia(opIntDiv, t.i(INT64_MIN), t.i(-1)), t.i(INT64_MIN)); }, all},
      {"9223372036854775807 + 1 wraps",
       [](Tree& t) { return t.ieq(t.ia(opIntAdd, t.i(INT64_MAX), t.i(1)), t.i(INT64_MIN)); }, all},
      {"abs(-9223372036854775808) wraps",
       [](Tree& t) { return t.ieq(t.ia(opIntAbs, t.i(INT64_MIN)), t.i(INT64_MIN)); }, all},
      {"(i4 - i8) * 2 = 28",
       [](Tree& t) { return t.ieq(t.ia(opIntMul, t.ia(opIntSub, t.f("i4"), t.f("i8")), t.i(2)), t.i(28)); },
       {"alpha"}},
      {"-i4 = 7", [](Tree& t) { return t.ieq(t.ia(opIntNeg, t.f("i4")), t.i(7)); }, {"beta"}},
      {"abs(i8) = 7", [](Tree& t) { return t.ieq(t.ia(opIntAbs, t.f("i8")), t.i(7)); }, {"alpha"}},
      {"(i4 & 6) | 8 = 14", [](Tree& t) {
         return t.ieq(t.ia(opIntBitOr, t.ia(opIntBitAnd, t.f("i4"), t.i(6)), t.i(8)), t.i(14));
       },
       {"alpha"}},
      {"~0 = -1", [](Tree& t) { return t.ieq(t.ia(opIntBitNot, t.i(0)), t.i(-1)); }, all},
      {"2^10 = 1024", [pow](Tree& t) { return t.ieq(pow(t, 2, 10), t.i(1024)); }, all},
      {"2^63 = min", [pow](Tree& t) { return t.ieq(pow(t, 2, 63), t.i(INT64_MIN)); }, all},
      {"2^64 = 0", [pow](Tree& t) { return t.ieq(pow(t, 2, 64), t.i(0)); }, all},
      {"2^-1 = 0", [pow](Tree& t) { return t.ieq(pow(t, 2, -1), t.i(0)); }, all},
      {"3^-1 = 0", [pow](Tree& t) { return t.ieq(pow(t, 3, -1), t.i(0)); }, all},
      {"1^-5 = 1", [pow](Tree& t) { return t.ieq(pow(t, 1, -5), t.i(1)); }, all},
      {"(-1)^-3 = -1", [pow](Tree& t) { return t.ieq(pow(t, -1, -3), t.i(-1)); }, all},
      {"(-1)^min = 1", [pow](Tree& t) { return t.ieq(pow(t, -1, INT64_MIN), t.i(1)); }, all},
      {"0^0 = 1", [pow](Tree& t) { return t.ieq(pow(t, 0, 0), t.i(1)); }, all},
      {"(-3)^3 = -27", [pow](Tree& t) { return t.ieq(pow(t, -3, 3), t.i(-27)); }, all},
      {"3^40 wraps", [pow](Tree& t) { return t.ieq(pow(t, 3, 40), t.i(int64_t(12157665459056928801ull))); }, all},
      {"2.0^-2 = 0.25", [](Tree& t) { return t.req(t.ra(opRealPowInt, t.r(2), t.i(-2)), t.r(0.25)); }, all},
      {"(-2.0)^3 = -8", [](Tree& t) { return t.req(t.ra(opRealPowInt, t.r(-2), t.i(3)), t.f("r8")); }, {"beta"}},
      {"4.0^0.5 = 2", [](Tree& t) { return t.req(t.ra(opRealPow, t.r(4), t.r(0.5)), t.r(2)); }, all},
      {"r8 / 2 + 1 = 2.25", [](Tree& t) {
         return t.req(t.ra(opRealAdd, t.ra(opRealDiv, t.f("r8"), t.r(2)), t.r(1)), t.r(2.25));
       },
       {"alpha"}},
      {"abs(r8) * -1 - 0 = -8", [](Tree& t) {
         return t.req(t.ra(opRealSub, t.ra(opRealMul, t.ra(opRealAbs, t.f("r8")), t.ra(opRealNeg, t.r(1))), t.r(0)),
                      t.r(-8));
       },
       {"beta"}},
      {"i4 / (i4 - 7)", [](Tree& t) { return t.ieq(t.ia(opIntDiv, t.f("i4"), t.ia(opIntSub, t.f("i4"), t.i(7))), t.i(0)); },
       {"beta", "50%", longName}, dbArithmeticError, "Division by zero", {"alpha"}},
      {"r8 / 0.0", [](Tree& t) { return t.req(t.ra(opRealDiv, t.f("r8"), t.r(0)), t.r(0)); }, {},
       dbArithmeticError, "Division by zero", all},
      {"0^-1", [pow](Tree& t) { return t.ieq(pow(t, 0, -1), t.i(0)); }, {}, dbArithmeticError,
       "Raise zero to negative power", all},
      {"0.0^-1", [](Tree& t) { return t.req(t.ra(opRealPowInt, t.r(0), t.i(-1)), t.r(0)); }, {}, dbArithmeticError,
       "Raise zero to negative power", all},
      {"0.0^-0.5", [](Tree& t) { return t.req(t.ra(opRealPow, t.r(0), t.r(-0.5)), t.r(0)); }, {},
       dbArithmeticError, "Raise zero to negative power", all},
      {"(-8.0)^0.5", [](Tree& t) { return t.req(t.ra(opRealPow, t.r(-8), t.r(0.5)), t.r(0)); }, {},
       dbArithmeticError, "Power operator returns complex result", all},
      {"false and 1/0 = 0 (the right side is skipped)", [](Tree& t) {
         return t.b(opAnd, t.node(opFalse, exBoolean), t.ieq(t.ia(opIntDiv, t.i(1), t.i(0)), t.i(0)));
       },
       {}},
      {"i4 between 8 and 1/0 (the upper bound is skipped)", [](Tree& t) {
         return t.node(opIntBetween, exBoolean, t.f("i4"), t.i(8), t.ia(opIntDiv, t.i(1), t.i(0)));
       },
       {}},
  });
}

TEST_F(EvaluateTest, LikeAndIn) {
  auto constLike = [](const char* s, const char* p, const char* e = nullptr) {
    return [=](Tree& t) { return t.like(t.s(s), t.s(p), e ? t.s(e) : nullptr); };
  };
  check({
      {"'abc' like 'a%'", constLike("abc", "a%"), all},
      {"'abc' like '%c'", constLike("abc", "%c"), all},
      {"'abc' like 'a_c'", constLike("abc", "a_c"), all},
      {"'abc' like 'a_'", constLike("abc", "a_"), {}},
      {"'ab' like 'ab%'", constLike("ab", "ab%"), all},
      {"'' like '%'", constLike("", "%"), all},
      {"'' like '_'", constLike("", "_"), {}},
      {"'abc' like 'abcd'", constLike("abc", "abcd"), {}},
      {"'aXbXyc' like '%X_c' (backtracks past the first X)", constLike("aXbXyc", "%X_c"), all},
      {"'abcabd' like 'a%abd'", constLike("abcabd", "a%abd"), all},
      {"'abcab' like 'a%b%c'", constLike("abcab", "a%b%c"), {}},
      {"'aab' like '%ab%' (found after a false start)", constLike("aab", "%ab%"), all},
      {"'abc' like '%abc%' (the whole string)", constLike("abc", "%abc%"), all},
      {"'xab' like '%abc%' (the string ends inside the text)", constLike("xab", "%abc%"), {}},
      {"'xyz' like '%_z%' (_ stays a wildcard)", constLike("xyz", "%_z%"), all},
      {"'ABC' like '%b%' (case-sensitive)", constLike("ABC", "%b%"), {}},
      {"'a%c' like '%a!%c%' escape '!'", constLike("a%c", "%a!%c%", "!"), all},
      {"'ac' like '%a!%c%' escape '!'", constLike("ac", "%a!%c%", "!"), {}},
      {"'ABC' like 'abc' (case-sensitive)", constLike("ABC", "abc"), {}},
      {"'50%' like '50\\%' escape '\\'", constLike("50%", "50\\%", "\\"), all},
      {"'50x' like '50\\%' escape '\\'", constLike("50x", "50\\%", "\\"), {}},
      {"'a_b' like 'a\\_b' escape '\\'", constLike("a_b", "a\\_b", "\\"), all},
      {"'axb' like 'a\\_b' escape '\\'", constLike("axb", "a\\_b", "\\"), {}},
      {"'a\\b' like 'a\\\\b' escape '\\'", constLike("a\\b", "a\\\\b", "\\"), all},
      {"'x%y%' like '%!%' escape '!' (escaped % after a wildcard)", constLike("x%y%", "%!%", "!"), all},
      {"'abc' like 'abc!' escape '!' (escape at the pattern's end)", constLike("abc", "abc!", "!"), {}},
      {"'abc' like 'abc' escape ''", constLike("abc", "abc", ""), all},
      {"'abd' like 'abc' escape ''", constLike("abd", "ab", ""), {}},
      {"name like '%a'", [](Tree& t) { return t.like(t.f("name"), t.s("%a")); }, {"alpha", "beta"}},
      {"name like '%\\%' escape '\\'",
       [](Tree& t) { return t.like(t.f("name"), t.s("%\\%"), t.s("\\")); }, {"50%"}},
      {"'bc' in 'abcd'", [](Tree& t) { return t.in(t.s("bc"), t.s("abcd")); }, all},
      {"'abcde' in 'abc'", [](Tree& t) { return t.in(t.s("abcde"), t.s("abc")); }, {}},
      {"'' in name", [](Tree& t) { return t.in(t.s(""), t.f("name")); }, all},
      {"'needle' in name (600 characters, found at the very end)",
       [](Tree& t) { return t.in(t.s("needle"), t.f("name")); }, {longName}},
      {"'xneedle' in name", [](Tree& t) { return t.in(t.s("xneedle"), t.f("name")); }, {longName}},
      {"'needlx' in name", [](Tree& t) { return t.in(t.s("needlx"), t.f("name")); }, {}},
      {"'exx' in name (no false match in the long text)", [](Tree& t) { return t.in(t.s("exx"), t.f("name")); },
       {}},
      {"name in 'alphabet'", [](Tree& t) { return t.in(t.f("name"), t.s("alphabet")); }, {"alpha"}},
      {"5 in nums", [](Tree& t) { return t.b(int(opInArray) + dbField::tpInt4, t.i(5), t.f("nums")); },
       {"alpha", "50%"}},
      {"-1 in bytes", [](Tree& t) { return t.b(int(opInArray) + dbField::tpInt1, t.i(-1), t.f("bytes")); }, {"alpha"}},
      {"255 in bytes", [](Tree& t) { return t.b(int(opInArray) + dbField::tpInt1, t.i(255), t.f("bytes")); },
       {"alpha"}},
      {"254 in bytes", [](Tree& t) { return t.b(int(opInArray) + dbField::tpInt1, t.i(254), t.f("bytes")); }, {}},
      {"'green' in words", [](Tree& t) { return t.b(int(opInArray) + dbField::tpString, t.s("green"), t.f("words")); },
       {"alpha"}},
      {"'gree' in words", [](Tree& t) { return t.b(int(opInArray) + dbField::tpString, t.s("gree"), t.f("words")); },
       {}},
  });
}

TEST_F(EvaluateTest, StringsAndConversions) {
  check({
      {"upper('abc') = 'ABC'", [](Tree& t) { return t.seq(t.str(opUpper, t.s("abc")), t.s("ABC")); }, all},
      {"lower(name) = 'beta'", [](Tree& t) { return t.seq(t.str(opLower, t.s("BeTa")), t.f("name")); }, {"beta"}},
      {"name || '!' = 'beta!'", [](Tree& t) { return t.seq(t.str(opConcat, t.f("name"), t.s("!")), t.s("beta!")); },
       {"beta"}},
      {"'' || '' = ''", [](Tree& t) { return t.seq(t.str(opConcat, t.s(""), t.s("")), t.s("")); }, all},
      {"length('abc') = 3", [](Tree& t) { return t.ieq(t.ia(opStringLength, t.s("abc")), t.i(3)); }, all},
      {"'abc'[2] = 99", [](Tree& t) { return t.ieq(t.ia(opStringChar, t.s("abc"), t.i(2)), t.i(99)); }, all},
      {"'\\xff'[0] = 255", [](Tree& t) { return t.ieq(t.ia(opStringChar, t.s("\xff"), t.i(0)), t.i(255)); }, all},
      {"string(2.5) = '2.500000'", [](Tree& t) { return t.seq(t.str(opRealToStr, t.r(2.5)), t.s("2.500000")); },
       all},
      {"string(-12) = '-12'", [](Tree& t) { return t.seq(t.str(opIntToStr, t.i(-12)), t.s("-12")); }, all},
      {"length(string(r8)) = 308 (1e300 printed in full)", [](Tree& t) {
         return t.ieq(t.ia(opStringLength, t.str(opRealToStr, t.f("r8"))), t.i(308));
       },
       {longName}},
      {"integer(-2.7) = -2", [](Tree& t) { return t.ieq(t.ia(opRealToInt, t.r(-2.7)), t.i(-2)); }, all},
      {"integer(r8) = max (saturates)", [](Tree& t) { return t.ieq(t.ia(opRealToInt, t.f("r8")), t.i(INT64_MAX)); },
       {longName}},
      {"real(i4) = 7.0", [](Tree& t) { return t.req(t.ra(opIntToReal, t.f("i4")), t.r(7)); }, {"alpha"}},
      {"reference(2^32 + current) = current", [](Tree& t) {
         return t.b(int(opRefCmp) + relEq, t.node(opIntToRef, exReference, t.ia(opIntAdd, t.i(int64_t(1) << 32),
                                                                             t.ia(opIntAdd, t.i(0), t.node(opCurrent, exReference)))),
                    t.node(opCurrent, exReference));
       },
       all},
      {"name[3] = 'h'", [](Tree& t) { return t.ieq(t.ia(opStringChar, t.f("name"), t.i(3)), t.i('h')); },
       {"alpha"}, dbIndexOutOfRangeError, "Index 3 is out of range", {"50%"}},
      {"name[-1] = 0", [](Tree& t) { return t.ieq(t.ia(opStringChar, t.f("name"), t.i(-1)), t.i(0)); }, {},
       dbIndexOutOfRangeError, "Index -1 is out of range", all},
      {"'abc'[3] = 0", [](Tree& t) { return t.ieq(t.ia(opStringChar, t.s("abc"), t.i(3)), t.i(0)); }, {},
       dbIndexOutOfRangeError, "Index 3 is out of range", all},
      {"nums[0] = 1", [](Tree& t) { return t.ieq(t.at("nums", t.i(0)), t.i(1)); }, {"alpha"},
       dbIndexOutOfRangeError, "Index 0 is out of range", {"beta", longName}},
  });
}

TEST_F(EvaluateTest, ReferencesAndExists) {
  check({
      {"next.name = 'beta'", [](Tree& t) { return t.seq(t.of(t.node(opDeref, exReference, t.f("next")), "name"), t.s("beta")); },
       {"alpha"}, dbNullReferenceError, "Null object reference is accessed", {"beta", longName}},
      {"next.next.i4 = -7", [](Tree& t) {
         dbExprNode* nn = t.node(opDeref, exReference, t.of(t.node(opDeref, exReference, t.f("next")), "next"));
         return t.ieq(t.of(nn, "i4"), t.i(-7));
       },
       {"50%"}, dbNullReferenceError, "Null object reference is accessed", {"alpha", "beta", longName}},
      {"next is not null and next.flag", [](Tree& t) {
         return t.b(opAnd, t.node(opNot, exBoolean, t.node(opIsNull, exBoolean, t.f("next"))),
                    t.of(t.node(opDeref, exReference, t.f("next")), "flag"));
       },
       {"50%"}},
      {"exists i: nums[i] = 5", [](Tree& t) { return t.exists(0, t.ieq(t.at("nums", t.var(0)), t.i(5))); },
       {"alpha", "50%"}},
      {"exists i: nums[i] = 4", [](Tree& t) { return t.exists(0, t.ieq(t.at("nums", t.var(0)), t.i(4))); }, {}},
      {"exists i: pairs[i].key = 2 and pairs[i].label = 'two'", [](Tree& t) {
         return t.exists(0, t.b(opAnd, t.ieq(t.member("pairs", t.var(0), "key"), t.i(2)),
                                t.seq(t.member("pairs", t.var(0), "label"), t.s("two"))));
       },
       {"alpha"}},
      {"exists i: (exists j: words[i][j] = 'e')", [](Tree& t) {
         return t.exists(0, t.exists(1, t.ieq(t.ia(opStringChar, t.at("words", t.var(0)), t.var(1)), t.i('e'))));
       },
       {"alpha", "50%"}},
      {"exists i: (exists j: words[i][j] = 'n' and j = 4)", [](Tree& t) {
         return t.exists(0, t.exists(1, t.b(opAnd, t.ieq(t.ia(opStringChar, t.at("words", t.var(0)), t.var(1)), t.i('n')),
                                            t.ieq(t.var(1), t.i(4)))));
       },
       {"alpha"}},
      {"exists i: i > 1 and nums[i] = 9 (the variable read before any indexing)", [](Tree& t) {
         return t.exists(0, t.b(opAnd, t.b(int(opIntCmp) + relGt, t.var(0), t.i(1)), t.ieq(t.at("nums", t.var(0)), t.i(9))));
       },
       {"alpha"}},
      {"exists i: i = 5 (no indexing)", [](Tree& t) { return t.exists(0, t.ieq(t.var(0), t.i(5))); }, all},
      {"exists i: flag and nums[i] = 9 (ends although nothing is indexed)", [](Tree& t) {
         return t.exists(0, t.b(opAnd, t.f("flag"), t.ieq(t.at("nums", t.var(0)), t.i(9))));
       },
       {"alpha"}},
      {"exists i: false", [](Tree& t) { return t.exists(0, t.node(opFalse, exBoolean)); }, {}},
      {"exists i: nums[i + 1] = 5 (an index that is not the variable)", [](Tree& t) {
         return t.exists(0, t.ieq(t.at("nums", t.ia(opIntAdd, t.var(0), t.i(1))), t.i(5)));
       },
       {"alpha"}, dbIndexOutOfRangeError, "Index 1 is out of range", {"beta", "50%", longName}},
  });
}

// The same evaluation reached from condition text through the compiler.
TEST_F(EvaluateTest, CompiledConditions) {
  struct TextCase {
    const char* condition;
    Names selected;
    int errorCode = 0;
    const char* errorText = nullptr;
    Names failing = {};
  };
  const std::vector<TextCase> cases = {
      {"i4 / i8 = -1", {"alpha"}, dbArithmeticError, "Division by zero", {"50%"}},
      {"2 ^ -1 = 0 and (-1) ^ -3 = -1 and 2 ^ 64 = 0", all},
      {"0 ^ -1 = 0", {}, dbArithmeticError, "Raise zero to negative power", all},
      {"r8 ^ 0.5 > 0", {"alpha", longName}, dbArithmeticError, "Power operator returns complex result", {"beta"}},
      {"name like '%a'", {"alpha", "beta"}},
      {"name like '50\\%' escape '\\'", {"50%"}},
      {"name like 'a_p%'", {"alpha"}},
      {"'needle' in name", {longName}},
      {"'green' in words", {"alpha"}},
      {"-1 in bytes and 255 in bytes", {"alpha"}},
      {"name[3] = 104", {"alpha"}, dbIndexOutOfRangeError, "Index 3 is out of range", {"50%"}},
      {"exists i: (nums[i] = 5)", {"alpha", "50%"}},
      {"exists i: (pairs[i].key = 2 and pairs[i].label = 'two')", {"alpha"}},
      {"next.name = 'beta'", {"alpha"}, dbNullReferenceError, "Null object reference is accessed",
       {"beta", longName}},
      {"upper(name) = 'BETA' and length(name) = 4", {"beta"}},
      {"string(r8) = '2.500000' and string(i8) = '-7' and integer(-2.7) = -2", {"alpha"}},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.condition);
    dbQuery q(c.condition);
    ASSERT_TRUE(q.compileFor(table, &db));
    db.errors.clear();
    Names selected, failing;
    run(q.tree, selected, failing);
    checkScan(q.tree, selected, failing);
    EXPECT_EQ(selected, c.selected);
    EXPECT_EQ(failing, c.failing);
    for (const EvalDb::Error& e : db.errors) {
      EXPECT_EQ(e.code, c.errorCode);
      EXPECT_EQ(e.message, c.errorText);
    }
  }
}

// A program that takes its locale from the environment (as every Qt program does)
// may have a decimal comma: real constants are still read, and string(real) still
// written, with a decimal point. The locale is an installed German one, or one
// built for the test from the system's locale sources.
TEST_F(EvaluateTest, NumbersIgnoreTheProcessLocale) {
  testsupport::TempDir locales;
  struct Restore {
    const char* old = getenv("LOCPATH");
    const bool had = old != nullptr;
    const std::string path = had ? old : "";
    ~Restore() {
      setlocale(LC_ALL, "C");
      if (had) setenv("LOCPATH", path.c_str(), 1);
      else unsetenv("LOCPATH");
    }
  } restore;
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    const std::string build = "localedef -i de_DE -f ISO-8859-1 " + locales.file("de_DE") + " >/dev/null 2>&1";
    setenv("LOCPATH", locales.path().c_str(), 1);
    if (system(build.c_str()) != 0 || setlocale(LC_ALL, "de_DE") == nullptr) {
      GTEST_SKIP() << "no German locale installed, and localedef could not build one";
    }
  }
  ASSERT_STREQ(localeconv()->decimal_point, ",");
  dbQuery q("r8 = 2.5 and string(r8) = '2.500000' and string(-1e3 / 8) = '-125.000000'");
  ASSERT_TRUE(q.compileFor(table, &db));
  Names selected, failing;
  run(q.tree, selected, failing);
  EXPECT_EQ(selected, Names{"alpha"});
  EXPECT_NE(dbDumpExpression(q.tree).find("real 2.5\n"), std::string::npos) << dbDumpExpression(q.tree);
}

// Parameters are read at their address plus the origin the caller gives.
TEST_F(EvaluateTest, Parameters) {
  struct Bound {
    bool b;
    int8_t i1;
    int16_t i2;
    int32_t i4;
    int64_t i8;
    float r4;
    double r8;
    char text[8];
    const char* textPtr;
    dbReference<Row> ref;
    dbArray<dbReference<Row>> refs;
    const dbArray<dbReference<Row>>* refsPtr;
  };
  const dbReference<Row> betaRef[] = {dbReference<Row>(beta)};
  Bound p{true, -1, 300, 7, -7, 1.5f, 2.5, "beta", "alpha", dbReference<Row>(beta), {}, nullptr};
  p.refs.assign(betaRef, 1);
  p.refsPtr = &p.refs;
  Bound q{false, 3, -300, -7, 100, 0.5f, -8.0, "50%", nullptr, {}, {}, nullptr};
  const char* origin = reinterpret_cast<const char*>(&p);
#define AT(m) reinterpret_cast<const void*>(offsetof(Bound, m))
  struct ParamCase {
    const char* condition;
    std::function<dbExprNode*(Tree&)> build;
    Names withP, withQ;
  };
  const std::vector<ParamCase> cases = {
      {"flag = b", [](Tree& t) { return t.b(int(opBoolCmp) + relEq, t.f("flag"), t.param(1, AT(b), exBoolean)); },
       {"alpha", longName}, {"beta", "50%"}},
      {"i1 = i1'", [](Tree& t) { return t.ieq(t.f("i1"), t.param(2, AT(i1), exInteger)); }, {"alpha"}, {"beta"}},
      {"i2 = i2'", [](Tree& t) { return t.ieq(t.f("i2"), t.param(3, AT(i2), exInteger)); }, {"alpha"}, {"beta"}},
      {"i4 = i4'", [](Tree& t) { return t.ieq(t.f("i4"), t.param(4, AT(i4), exInteger)); }, {"alpha"}, {"beta"}},
      {"i8 = i8'", [](Tree& t) { return t.ieq(t.f("i8"), t.param(5, AT(i8), exInteger)); }, {"alpha"}, {"beta"}},
      {"r4 = r4'", [](Tree& t) { return t.req(t.f("r4"), t.param(6, AT(r4), exReal)); }, {"alpha"}, {"beta"}},
      {"r8 = r8'", [](Tree& t) { return t.req(t.f("r8"), t.param(7, AT(r8), exReal)); }, {"alpha"}, {"beta"}},
      {"name = text", [](Tree& t) { return t.seq(t.f("name"), t.param(8, AT(text), exString)); }, {"beta"}, {"50%"}},
      {"name = *textPtr (null reads as '')",
       [](Tree& t) { return t.seq(t.f("name"), t.param(9, AT(textPtr), exString)); }, {"alpha"}, {}},
      {"next = ref", [](Tree& t) { return t.b(int(opRefCmp) + relEq, t.f("next"), t.param(10, AT(ref), exReference)); },
       {"alpha"}, {"beta", longName}},
      {"next in refs",
       [](Tree& t) { return t.b(int(opInArray) + dbField::tpReference, t.f("next"), t.param(11, AT(refs), exArray)); },
       {"alpha"}, {}},
      {"next in *refsPtr (null is empty)", [](Tree& t) {
         return t.b(int(opInArray) + dbField::tpReference, t.f("next"), t.param(12, AT(refsPtr), exArray));
       },
       {"alpha"}, {}},
  };
#undef AT
  for (const ParamCase& c : cases) {
    SCOPED_TRACE(c.condition);
    Tree t(table);
    dbExprNode* tree = c.build(t);
    Names withP, withQ, failing;
    run(tree, withP, failing, origin);
    run(tree, withQ, failing, reinterpret_cast<const char*>(&q));
    EXPECT_EQ(withP, c.withP);
    EXPECT_EQ(withQ, c.withQ);
    EXPECT_TRUE(failing.empty());
  }
  // Without an origin the node's address is used as it is.
  Tree t(table);
  EXPECT_TRUE(db.evaluateCondition(t.ieq(t.param(4, &p.i4, exInteger), t.i(7)), alpha, table));
}

// Temporaries beyond the 8 KiB scratch area go to heap blocks (freed with the
// context; the sanitizer build checks that nothing leaks or is overrun).
TEST_F(EvaluateTest, TemporariesOverflowTheScratchArea) {
  Tree t(table);
  dbExprNode* text = t.f("name");
  for (int i = 0; i < 20; i++) text = t.str(opConcat, t.str(opUpper, text), t.f("name"));
  dbExprNode* longText = t.ieq(t.ia(opStringLength, text), t.i(21 * 600));
  EXPECT_TRUE(db.evaluateCondition(longText, rows.back(), table));
  dbExprNode* tail = t.in(t.s("NEEDLExxx"), text);
  EXPECT_TRUE(db.evaluateCondition(tail, rows.back(), table));
  // An error raised with overflow blocks in use frees them too.
  dbExprNode* failing = t.b(opAnd, longText, t.ieq(t.ia(opIntDiv, t.i(1), t.i(0)), t.i(0)));
  EXPECT_FALSE(db.evaluateCondition(failing, rows.back(), table));
  ASSERT_EQ(db.errors.size(), 1u);
  EXPECT_EQ(db.errors[0].message, "Division by zero");
  // A scan releases each record's blocks before the next record, and after an error.
  checkScan(t.b(opOr, longText, tail), {longName}, {});
  checkScan(failing, {}, {longName});
}

// A user function of a single native argument and one of tagged arguments.
char* repeat(const char* s) {
  size_t n = strlen(s);
  char* r = new char[2 * n + 1];
  memcpy(r, s, n);
  memcpy(r + n, s, n + 1);
  return r;
}
int64_t weigh(dbUserFunctionArgument a, dbUserFunctionArgument b) {
  int64_t w = a.type == dbUserFunctionArgument::atString ? int64_t(strlen(a.u.strValue)) : -1000;
  if (b.type == dbUserFunctionArgument::atReal) w += int64_t(b.u.realValue * 10);
  return w;
}

TEST_F(EvaluateTest, UserFunctions) {
  Tree t(table);
  dbExprNode* rep = t.node(opUserFunc + 11, exString, t.f("name"));
  rep->func.fptr = reinterpret_cast<dbUserFunctionPointer>(&repeat);
  dbExprNode* w = t.node(opUserFunc + 17, exInteger, t.f("name"), t.f("r8"));
  w->func.fptr = reinterpret_cast<dbUserFunctionPointer>(&weigh);
  Names selected, failing;
  run(t.seq(rep, t.s("betabeta")), selected, failing);
  EXPECT_EQ(selected, Names{"beta"});
  selected.clear();
  run(t.ieq(w, t.i(30)), selected, failing);  // "alpha": 5 + 2.5 * 10
  EXPECT_EQ(selected, Names{"alpha"});
  EXPECT_TRUE(failing.empty());
}

TEST_F(EvaluateTest, ExpressionKeysCompare) {
  Tree t(table);
  dbExprNode* byLength = t.ia(opStringLength, t.f("name"));
  dbExprNode* byUpper = t.str(opUpper, t.f("name"));
  dbExprNode* byFlag = t.f("flag");
  dbExprNode* byReal = t.ra(opIntToReal, t.f("i4"));
  dbExprNode* byNext = t.f("next");
  oid_t c = rows[2];
  EXPECT_LT(db.compareExpressionKey(byLength, beta, alpha, table), 0);
  EXPECT_EQ(db.compareExpressionKey(byLength, alpha, alpha, table), 0);
  EXPECT_GT(db.compareExpressionKey(byUpper, beta, alpha, table), 0);
  EXPECT_LT(db.compareExpressionKey(byUpper, c, alpha, table), 0);
  EXPECT_EQ(db.compareExpressionKey(byFlag, alpha, beta, table), 1);
  EXPECT_EQ(db.compareExpressionKey(byReal, beta, alpha, table), -1);
  EXPECT_EQ(db.compareExpressionKey(byNext, beta, alpha, table), -1);
}

// Without an overriding report, a run-time error ends the process with its text;
// a reference to a record that does not exist is a fatal assertion.
TEST_F(EvaluateTest, DefaultReportEndsTheProcess) {
  Tree t(table);
  db.forward = true;
  EXPECT_DEATH(db.evaluateCondition(t.ieq(t.ia(opIntDiv, t.i(1), t.i(0)), t.i(0)), alpha, table),
               "Division by zero");
  EXPECT_DEATH(db.evaluateCondition(t.ieq(t.ia(opStringChar, t.s("abc"), t.i(3)), t.i(0)), alpha, table),
               "Index 3 is out of range");
  dbExprNode* nextName = t.seq(t.of(t.node(opDeref, exReference, t.f("next")), "name"), t.s(""));
  EXPECT_DEATH(db.evaluateCondition(nextName, beta, table), "Null object reference is accessed");
  dbExprNode* far = t.node(opIntToRef, exReference, t.i(0x7fffffff));
  EXPECT_DEATH(db.evaluateCondition(t.seq(t.of(t.node(opDeref, exReference, far), "name"), t.s("")), alpha, table),
               "dbFreeHandleMarker");
}

}  // namespace
