// The query compiler: lexing, grammar, type checking, messages and their positions,
// ORDER BY / START FROM / FOLLOW BY, the node pool, and the saved fuzz inputs.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compiler.h"
#include "database.h"
#include "query.h"

namespace {

struct Part {
  int32_t weight;
  const char* label;
  KELDRA_DESCRIBE(Part, KELDRA_FIELD(weight), KELDRA_FIELD(label));
};

struct Other;
struct Sample {
  bool flag;
  int8_t i1;
  int16_t i2;
  int32_t i4;
  int64_t i8;
  float r4;
  double r8;
  const char* s;
  dbReference<Sample> next;
  dbReference<Other> other;
  dbArray<int32_t> ints;
  dbArray<double> reals;
  dbArray<bool> flags;
  dbArray<const char*> strs;
  dbArray<dbReference<Sample>> refs;
  dbArray<dbReference<Other>> others;
  dbArray<Part> parts;
  dbArray<dbArray<int8_t>> nested;
  Part part;
  char raw[8];
  int32_t twice() const { return i4 * 2; }
  KELDRA_DESCRIBE(Sample, KELDRA_FIELD(flag), KELDRA_FIELD(i1), KELDRA_FIELD(i2), KELDRA_FIELD(i4), KELDRA_FIELD(i8),
                  KELDRA_FIELD(r4), KELDRA_FIELD(r8), KELDRA_FIELD(s), KELDRA_FIELD(next), KELDRA_FIELD(other),
                  KELDRA_FIELD(ints), KELDRA_FIELD(reals), KELDRA_FIELD(flags), KELDRA_FIELD(strs), KELDRA_FIELD(refs),
                  KELDRA_FIELD(others), KELDRA_FIELD(parts), KELDRA_FIELD(nested), KELDRA_FIELD(part),
                  KELDRA_RAWFIELD(raw), KELDRA_METHOD(twice));
};

struct Other {
  dbReference<Sample> back;
  const char* title;
  KELDRA_DESCRIBE(Other, KELDRA_FIELD(title), KELDRA_FIELD(back));
};

KELDRA_TABLE(Sample);
KELDRA_TABLE(Other);

struct Report {
  int code;
  std::string message;
  int position;
};
std::vector<Report> reports;
void recordError(int code, const char* message, int position) { reports.push_back({code, message, position}); }

bool positive(int64_t v) { return v > 0; }
double half(double v) { return v / 2; }
int64_t mix(dbUserFunctionArgument a, dbUserFunctionArgument b) { return a.type + b.type; }
bool three(dbUserFunctionArgument, dbUserFunctionArgument, dbUserFunctionArgument) { return true; }
char* name(dbUserFunctionArgument) { return nullptr; }
dbUserFunction positiveFunction("positive", &positive);
dbUserFunction halfFunction("half", &half);
dbUserFunction mixFunction("mix", &mix);
dbUserFunction threeFunction("three", &three);
dbUserFunction nameFunction("name", &name);

// Bound variables of every kind, named in case texts as {kind}.
bool vBool;
int8_t vInt1;
int16_t vInt2;
int32_t vInt4;
int64_t vInt8;
float vReal4;
double vReal8;
char vString[] = "abc";
char* vStringPtr = vString;
dbReference<Sample> vRef;
dbReference<Other> vOtherRef;
dbArray<dbReference<Sample>> vRefs;
dbArray<dbReference<Other>> vOtherRefs;
char vRaw[8];

// Builds `q` from a text where {b} {i1} {i2} {i4} {i8} {r4} {r8} {s} {sp} {ref} {oref}
// {refs} {orefs} {prefs} {raw} stand for bound variables.
void build(dbQuery& q, const std::string& text, std::vector<std::string>& pieces) {
  pieces.reserve(text.size() + 1);
  size_t from = 0;
  for (;;) {
    size_t open = text.find('{', from);
    size_t close = open == std::string::npos ? open : text.find('}', open);
    if (close == std::string::npos) {
      pieces.push_back(text.substr(from));
      q.append(pieces.back().c_str());
      return;
    }
    pieces.push_back(text.substr(from, open - from));
    q.append(pieces.back().c_str());
    std::string kind = text.substr(open + 1, close - open - 1);
    if (kind == "b") q, vBool;
    else if (kind == "i1") q, vInt1;
    else if (kind == "i2") q, vInt2;
    else if (kind == "i4") q, vInt4;
    else if (kind == "i8") q, vInt8;
    else if (kind == "r4") q, vReal4;
    else if (kind == "r8") q, vReal8;
    else if (kind == "s") q, vString;
    else if (kind == "sp") q, &vStringPtr;
    else if (kind == "ref") q, vRef;
    else if (kind == "oref") q, vOtherRef;
    else if (kind == "refs") q, vRefs;
    else if (kind == "orefs") q, vOtherRefs;
    else if (kind == "prefs") q, &vRefs;
    else if (kind == "raw") q.raw(vRaw);
    else ADD_FAILURE() << "unknown parameter " << kind;
    from = close + 1;
  }
}

// The dump in one line: "op(child, child)".
std::string compact(const std::string& dump) {
  struct Line {
    int depth;
    std::string text;
  };
  std::vector<Line> lines;
  std::istringstream in(dump);
  for (std::string line; std::getline(in, line);) {
    size_t indent = line.find_first_not_of(' ');
    lines.push_back({int(indent / 2), line.substr(indent)});
  }
  std::string out;
  size_t i = 0;
  auto emit = [&](auto& self) -> void {
    int depth = lines[i].depth;
    out += lines[i++].text;
    if (i < lines.size() && lines[i].depth > depth) {
      out += "(";
      for (bool first = true; i < lines.size() && lines[i].depth > depth; first = false) {
        if (!first) out += ", ";
        self(self);
      }
      out += ")";
    }
  };
  while (i < lines.size()) emit(emit);
  return out;
}

// Compiles `text` for Sample: the compact dump of the tree, then " start N", one
// " order ..." per key and one " follow F" per follow field; or the single reported
// error as "error: MESSAGE @POSITION".
std::string compile(const std::string& text, dbTableDescriptor* table = &Sample_descriptor) {
  dbDatabase db;
  db.setErrorHandler(recordError);
  reports.clear();
  std::vector<std::string> pieces;
  dbQuery q;
  build(q, text, pieces);
  bool ok = dbCompile(q, table, &db);
  if (!ok) {
    EXPECT_EQ(reports.size(), 1u) << text;
    EXPECT_EQ(q.tree, nullptr);
    if (reports.empty()) return "error without a report";
    EXPECT_EQ(reports[0].code, dbQueryError);
    return "error: " + reports[0].message + " @" + std::to_string(reports[0].position);
  }
  EXPECT_TRUE(reports.empty()) << text;
  std::string result = compact(dbDumpExpression(q.tree));
  if (q.startFrom != dbCompiledQuery::startFromNone) result += " start " + std::to_string(q.startFrom);
  for (dbOrderKey* key = q.orderBy; key != nullptr; key = key->next) {
    EXPECT_EQ(key->table, table);
    result += std::string(" order ") + (key->ascending ? "asc " : "desc ");
    result += key->field != nullptr ? "field " + key->field->longName : compact(dbDumpExpression(key->expression));
  }
  for (dbFollowByNode* f = q.follow; f != nullptr; f = f->next) result += " follow " + f->field->longName;
  return result;
}

struct Case {
  std::string text;
  std::string expected;
};

void check(const std::vector<Case>& cases) {
  size_t nodes = dbExprNode::liveCount();
  for (const Case& c : cases) {
    EXPECT_EQ(compile(c.text), c.expected) << "text: " << c.text;
    EXPECT_EQ(dbExprNode::liveCount(), nodes) << "nodes left behind by: " << c.text;
  }
}

TEST(Compiler, Lexing) {
  const std::string long4096(4096, 'x');
  check({
      // literals
      {"s = 'it''s'", "string =(field.string s, string 'it's')"},
      {"s = ''''", "string =(field.string s, string ''')"},
      {"s = '" + long4096 + "' and false", "and(string =(field.string s, string '" + long4096 + "'), false)"},
      {"s = '" + long4096 + "x'", "error: String constant too long @4101"},
      {"s = 'abc", "error: Unterminated character constant @7"},
      {"i8 = 123456789", "int =(field.int8 i8, int 123456789)"},
      {"i8 = 1234567890", "int =(field.int8 i8, int 1234567890)"},
      {"i8 = 9223372036854775807", "int =(field.int8 i8, int 9223372036854775807)"},
      {"i8 = 9223372036854775808", "error: Bad integer constant @23"},
      {"i8 = 007", "int =(field.int8 i8, int 7)"},
      {"r8 = 1e3", "real =(field.real8 r8, real 1000)"},
      {"r8 = 1.5", "real =(field.real8 r8, real 1.5)"},
      {"r8 = 2.5E-1", "real =(field.real8 r8, real 0.25)"},
      {"r8 = 1.", "real =(field.real8 r8, real 1)"},
      {"r8 = 1e", "error: Bad floating point constant @6"},
      {"r8 = 1e+x", "error: Bad floating point constant @7"},
      {"r8 = .5", "error: operand expected @4"},
      // operators and punctuation
      {"s || 'x' = 'y'", "string =(concat(field.string s, string 'x'), string 'y')"},
      {"i4 != 1", "int <>(field.int4 i4, int 1)"},
      {"i4 <> 1", "int <>(field.int4 i4, int 1)"},
      {"i4 >= 1", "int >=(field.int4 i4, int 1)"},
      {"i4 > 1", "int >(field.int4 i4, int 1)"},
      {"i4 <= 1", "int <=(field.int4 i4, int 1)"},
      {"i4 < 1", "int <(field.int4 i4, int 1)"},
      {"i4*2/3^4 = 0", "int =(int /(int *(field.int4 i4, int 2), int ^(int 3, int 4)), int 0)"},
      {"i4 - -1 = 0", "int =(int -(field.int4 i4, int -1), int 0)"},
      {"i4 = 1 -- a comment\nor i4 = 2", "or(int =(field.int4 i4, int 1), int =(field.int4 i4, int 2))"},
      {"-- only a comment", "void"},
      {"i4 = 1 --", "int =(field.int4 i4, int 1)"},
      {"i4!3", "error: Invalid token '!' @2"},
      {"i4|3", "error: Invalid token '|' @2"},
      {"#", "error: Invalid symbol @0"},
      {"i4 = \x80", "error: Invalid symbol @5"},
      // identifiers and keywords
      {"$x = 1", "error: Field not found @0"},
      {"_x_1$ = 1", "error: Field not found @0"},
      {std::string(4096, 'n') + " = 1", "error: Field not found @0"},
      {std::string(4097, 'n'), "error: Name too long @4096"},
      {"s LIKE 'a%'", "error: Conditional expression should have boolean type\n @0"},
      {"TRUE", "error: Field not found @0"},
      {"select", "error: operand expected @0"},
      {"i4 = 1 and table", "error: operand expected @10"},
      // positions: per line of a piece, never before WHERE
      {"i4 = 1 and\n  i4 = #", "error: Invalid symbol @7"},
      {"i4 = 1 and\n\n i4 = #", "error: Invalid symbol @6"},
      {"where 'a' + 1 = 2", "error: operands of arithmentic operator should be of integer or real type @5"},
      {"where\t\tflag", "field.bool flag"},
  });
}

TEST(Compiler, Compiles) {
  check({
      // empty conditions
      {"", "void"},
      {"  ", "void"},
      {"where", "void"},
      {"order by i4", "void order asc field i4"},
      // fields of every type, methods, structures, raw
      {"flag", "field.bool flag"},
      {"i1 + i2 + i4 + i8 = 0",
       "int =(int +(int +(int +(field.int1 i1, field.int2 i2), field.int4 i4), field.int8 i8), int 0)"},
      {"r4 < r8", "real <(field.real4 r4, field.real8 r8)"},
      {"twice = 4", "int =(field.method.int4 twice, int 4)"},
      {"part.weight = 1", "int =(field.int4 part.weight, int 1)"},
      {"part.label like 'a%'", "like(field.string part.label, string 'a%')"},
      {"part = 1", "error: '.' expected @5"},
      {"part.nothing = 1", "error: Field not found @11"},
      {"part[0] = 1", "error: Index can be applied only to arrays @4"},
      {"raw = {raw}", "raw = size 8(field.raw raw, param.raw)"},
      {"{raw} < raw", "raw > size 8(field.raw raw, param.raw)"},
      {"{raw} = {raw}", "error: Operations with raw binary types should include at least one record field @0"},
      {"raw between {raw} and {raw}", "raw.between size 8(field.raw raw, param.raw, param.raw)"},
      {"{raw} between raw and raw", "error: Operations with raw binary types should include at least one record field @19"},
      // parameters: a parameter on the left is swapped to the right, the relation mirrored
      {"i4={i4}", "int =(field.int4 i4, param.int4)"},
      {"{i4} < i4", "int >(field.int4 i4, param.int4)"},
      {"{i4} >= i4", "int <=(field.int4 i4, param.int4)"},
      {"{i4} <> i4", "int <>(field.int4 i4, param.int4)"},
      {"1 < i4", "int <(int 1, field.int4 i4)"},
      {"{b} = flag and {i1} = i1 and {i2} = i2 and {i8} = i8",
       "and(bool =(field.bool flag, param.bool), and(int =(field.int1 i1, param.int1), and(int =(field.int2 i2, "
       "param.int2), int =(field.int8 i8, param.int8))))"},
      {"r4 = {r4} or r8 = {r8}", "or(real =(field.real4 r4, param.real4), real =(field.real8 r8, param.real8))"},
      {"s = {s} or s > {sp}", "or(string =(field.string s, param.string), string >(field.string s, param.stringptr))"},
      {"next = {ref}", "ref =(field.ref next, param.ref)"},
      {"next in {refs} and next in {prefs}",
       "and(in.array.ref(field.ref next, param.refarray), in.array.ref(field.ref next, param.refarrayptr))"},
      {"{ref}.i4 = 1", "int =(load.int4 i4(deref(param.ref)), int 1)"},
      {"{oref}.title = 'x'", "string =(load.string title(deref(param.ref)), string 'x')"},
      {"{refs}[0].s = 'x'", "string =(load.string s(deref(load.ref(element size 4(param.refarray, int 0)))), string 'x')"},
      {"{i4}.x = 1", "error: Left operand of '.' should be structure or reference @1"},
      // conversions
      {"i4 = 2.5", "real =(int.to.real(field.int4 i4), real 2.5)"},
      {"r8 + 1 > i4 * 2",
       "real >(real +(field.real8 r8, int.to.real(int 1)), int.to.real(int *(field.int4 i4, int 2)))"},
      {"next = 5", "ref =(field.ref next, int.to.ref(int 5))"},
      {"5 <> next", "ref <>(int.to.ref(int 5), field.ref next)"},
      {"next > next", "error: References can be checked only for equality @0"},
      {"flag < flag", "error: Boolean variables can be checked only for equality @0"},
      {"s = 1", "error: operands of relation operator should be of integer, real or string type @0"},
      {"s = 1.5", "error: operands of relation operator should be of intger, real or string type @0"},
      {"1.5 = s", "error: operands of relation operator should be of intger, real or string type @5"},
      // arithmetic
      {"i4 ^ 2 = 4", "int =(int ^(field.int4 i4, int 2), int 4)"},
      {"r8 ^ 2 = 4", "real =(real ^int(field.real8 r8, int 2), int.to.real(int 4))"},
      {"2 ^ r8 = 4", "real =(real ^(int.to.real(int 2), field.real8 r8), int.to.real(int 4))"},
      {"2 ^ 3 ^ 2 = 0", "int =(int ^(int 2, int ^(int 3, int 2)), int 0)"},
      {"s ^ 2.0 = 0", "error: operands of arithmetic operators should be of integer or real type @0"},
      {"2.0 ^ s = 0", "error: operands of arithmetic operator should be of integer or real type @5"},
      {"s ^ 2 = 0", "error: operands of arithmentic operator should be of integer or real type @0"},
      {"i4 - r8 = 0", "real =(real -(int.to.real(field.int4 i4), field.real8 r8), int.to.real(int 0))"},
      {"s + 1.0 = 0", "error: operands of arithmetic operators should be of integer or real type @0"},
      {"1.0 + s = 0", "error: operands of arithmetic operator should be of integer or real type @5"},
      {"s - s = ''", "error: Operation - is not defined for strings @3"},
      {"s * s = ''", "error: operands of arithmentic operator should be of integer or real type @0"},
      {"s / 1.0 = 0", "error: operands of arithmetic operators should be of integer or real type @0"},
      {"flag + 1 = 0", "error: operands of arithmentic operator should be of integer or real type @0"},
      {"i4 + +1 = 0", "error: Using of unary plus operator has no sence @5"},
      // folding of unary minus and NOT into literals
      {"i4 = -2", "int =(field.int4 i4, int -2)"},
      {"r8 = -2.5", "real =(field.real8 r8, real -2.5)"},
      {"i4 = -i4", "int =(field.int4 i4, int.neg(field.int4 i4))"},
      {"r8 = -r8", "real =(field.real8 r8, real.neg(field.real8 r8))"},
      {"i8 = -9223372036854775807 - 1", "int =(field.int8 i8, int -(int -9223372036854775807, int 1))"},
      {"i4 = - -3", "int =(field.int4 i4, int 3)"},
      {"-s = 1", "error: Unary minus can be applied only to integer or real expressions @1"},
      {"i4 = not 5", "int =(field.int4 i4, int -6)"},
      {"not i4 = 3", "not(int =(field.int4 i4, int 3))"},
      {"i4 = not i4 ", "int =(field.int4 i4, int.bitnot(field.int4 i4))"},
      {"not s", "error: NOT operator can be applied only to integer or boolean expressions @3"},
      // logic
      {"flag or not flag and flag",
       "or(field.bool flag, and(not(field.bool flag), field.bool flag))"},
      {"(i4 or 3) = 1", "int =(int.bitor(field.int4 i4, int 3), int 1)"},
      {"(i4 and 3) = 1", "int =(int.bitand(field.int4 i4, int 3), int 1)"},
      {"i4 = 1 and i8", "error: Bad operands for AND operator @0"},
      {"s or flag", "error: Bad operands for OR operator @0"},
      {"i4 + 1", "error: Conditional expression should have boolean type\n @0"},
      {"i4 = 1 xyz", "int =(field.int4 i4, int 1)"},
      {"(i4 = 1", "error: ')' expected @6"},
      {"i4 = ", "error: operands of relation operator should be of integer, real or string type @0"},
      {"i4 = )", "error: operand expected @4"},
      {"true = false", "bool =(true, false)"},
      {"next is null", "is.null(field.ref next)"},
      {"next is not null", "not(is.null(field.ref next))"},
      {"i4 is null", "error: IS [NOT] NULL predicate can be applied only to references @0"},
      {"next is not 1", "error: NULL expected @12"},
      {"next is 1", "error: [NOT] NULL expected @8"},
      {"next = null and current <> first and last = next",
       "and(ref =(field.ref next, null), and(ref <>(current, first), ref =(last, field.ref next)))"},
      {"first.i4 = 1", "int =(load.int4 i4(deref(first)), int 1)"},
      {"current.next.next.s = 'x'",
       "string =(load.string s(deref(load.ref next(deref(load.ref next(deref(current)))))), string 'x')"},
      {"other.title = 'x' and other.back.i4 = 1",
       "and(string =(load.string title(deref(field.ref other)), string 'x'), "
       "int =(load.int4 i4(deref(load.ref back(deref(field.ref other)))), int 1))"},
      {"other.i4 = 1", "error: Field not found @7"},
      {"other. = 1", "error: identifier expected @7"},
      // strings
      {"s[0] = 97", "int =(char(field.string s, int 0), int 97)"},
      {"'abc'[1] = 98", "int =(char(string 'abc', int 1), int 98)"},
      {"s[0].x = 1", "error: Conditional expression should have boolean type\n @0"},
      {"s['a'] = 1", "error: Index should have integer type @2"},
      {"s[0 = 1", "error: ']' expected @6"},
      {"i4[0] = 1", "error: Index can be applied only to arrays @2"},
      {"upper(s) = lower(s) || string(i4) || string(r8)",
       "string =(upper(field.string s), concat(concat(lower(field.string s), int.to.string(field.int4 i4)), "
       "real.to.string(field.real8 r8)))"},
      {"length(s) = length(ints)", "int =(length.string(field.string s), length.array(field.array ints))"},
      {"abs(i4) < abs(r8) and integer(r8) = real(i4)",
       "and(real <(int.to.real(int.abs(field.int4 i4)), real.abs(field.real8 r8)), "
       "real =(int.to.real(real.to.int(field.real8 r8)), int.to.real(field.int4 i4)))"},
      {"length(i4) = 1", "error: LENGTH function is defined only for arrays and strings @6"},
      {"lower(i4) = ''", "error: LOWER function can be applied only to string argument @5"},
      {"upper(i4) = ''", "error: UPPER function can be applied only to string argument @5"},
      {"abs(s) = 1", "error: ABS function can be applied only to integer or real expression @3"},
      {"integer(i4) = 1", "error: INTEGER function can be applied only to expression of real type @7"},
      {"real(r8) = 1", "error: REAL function can be applied only to expression of integer type @4"},
      {"string(s) = ''", "error: STRING function can be applied only to integer or real expression @6"},
      {"upper(s)[0] = 65", "int =(char(upper(field.string s), int 0), int 65)"},
      // LIKE
      {"s like 'a%'", "like(field.string s, string 'a%')"},
      {"s not like 'a%'", "not(like(field.string s, string 'a%'))"},
      {"s like 'a\\%' escape '\\'", "like.escape(field.string s, string 'a\\%', string '\\')"},
      {"s like 'a%' escape s", "error: String literal espected after ESCAPE @19"},
      {"i4 like 'a'", "error: operands of LIKE operator should be of string type @0"},
      {"s not 'a'", "error: LIKE, BETWEEN or IN expected @8"},
      // BETWEEN
      {"i4 between 1 and 10", "int.between(field.int4 i4, int 1, int 10)"},
      {"i4 between 1 and 2.5",
       "real.between(int.to.real(field.int4 i4), int.to.real(int 1), real 2.5)"},
      {"s between 'a' and 'b'", "string.between(field.string s, string 'a', string 'b')"},
      {"i4 not between 1 and 2", "not(int.between(field.int4 i4, int 1, int 2))"},
      {"i4 between 1 or 2", "error: AND expected @14"},
      {"r8 between s and 1", "error: operand of BETWEEN operator should be of integer, real or string type @10"},
      {"s between 1 and 2", "error: operands of BETWEEN operator should be of integer, real or string type @0"},
      // IN
      {"'b' in s", "in.string(string 'b', field.string s)"},
      {"i4 in s", "error: Left operand of IN expression hasn't string type @0"},
      {"i4 in ints and r8 in reals and flag in flags and s in strs",
       "and(in.array.int4(field.int4 i4, field.array ints), and(in.array.real8(field.real8 r8, field.array reals), "
       "and(in.array.bool(field.bool flag, field.array flags), in.array.string(field.string s, field.array strs))))"},
      {"next in refs and 7 in refs",
       "and(in.array.ref(field.ref next, field.array refs), in.array.ref(int.to.ref(int 7), field.array refs))"},
      {"r8 in ints", "error: Type of selective expression of IN operator doesn't match type of the array @0"},
      {"i4 in i4", "error: List of expressions or array expected @5"},
      {"i4 in (1, 2.5)",
       "or(int =(field.int4 i4, int 1), real =(int.to.real(field.int4 i4), real 2.5))"},
      {"i4 not in (1, 2, 3)",
       "not(or(or(int =(field.int4 i4, int 1), int =(field.int4 i4, int 2)), int =(field.int4 i4, int 3)))"},
      {"r8 in (1, 2.5)",
       "or(real =(field.real8 r8, int.to.real(int 1)), real =(field.real8 r8, real 2.5))"},
      {"next in (next, 3)", "or(ref =(field.ref next, field.ref next), ref =(field.ref next, int.to.ref(int 3)))"},
      {"3 in (next)", "error: List of expressions or array expected @4"},
      {"s in ('a', 'b') and flag in (true, false)",
       "and(or(string =(field.string s, string 'a'), string =(field.string s, string 'b')), "
       "or(bool =(field.bool flag, true), bool =(field.bool flag, false)))"},
      {"3 in (next, 4)", "or(ref =(int.to.ref(int 3), field.ref next), int =(int 3, int 4))"},
      {"raw in ({raw}, raw)", "or(raw = size 8(field.raw raw, param.raw), raw = size 8(field.raw raw, field.raw raw))"},
      {"i4 in (1, 's', 3)", "error: Expression 2 in right part of IN operator have incompatible type @16"},
      // arrays
      {"ints[1] = 5", "int =(load.int4 ints[](element size 4(field.array ints, int 1)), int 5)"},
      {"parts[0].weight = 5", "int =(load.int4 parts[].weight(element size 12(field.array parts, int 0)), int 5)"},
      {"refs[0].s = 'x'",
       "string =(load.string s(deref(load.ref refs[](element size 4(field.array refs, int 0)))), string 'x')"},
      {"nested[1][2] = 3",
       "int =(load.int1 nested[][](element size 1(load.array nested[](element size 8(field.array nested, int 1)), int 2)), int 3)"},
      {"ints[1.5] = 1", "error: Index should have integer type @5"},
      {"parts[0] = 1", "error: '.' expected @9"},
      {"parts[0].x = 1", "error: Field not found @9"},
      // EXISTS
      {"exists i: (ints[i] = 5)",
       "exists 0(int =(load.int4 ints[](element size 4(field.array ints, var 0)), int 5))"},
      {"exists i: (exists j: (nested[i][j] = 1))",
       "exists 0(exists 1(int =(load.int1 nested[][](element size 1(load.array nested[](element size 8(field.array nested, var 0)), "
       "var 1)), int 1)))"},
      {"exists i: (flag)", "field.bool flag"},
      {"exists i: (exists j: (exists k: (nested[i][j] = parts[k].weight)))",
       "exists 0(exists 1(exists 2(int =(load.int1 nested[][](element size 1(load.array nested[](element size 8(field.array "
       "nested, var 0)), var 1)), load.int4 parts[].weight(element size 12(field.array parts, var 2))))))"},
      {"exists i: (exists j: (exists k: (exists l: (flag))))", "error: Too many nested EXISTS clauses\n @40"},
      {"exists i: (ints[i] = 5) and exists j: (refs[j] = next)",
       "and(exists 0(int =(load.int4 ints[](element size 4(field.array ints, var 0)), int 5)), exists 0(ref =(load.ref "
       "refs[](element size 4(field.array refs, var 0)), field.ref next)))"},
      {"exists i: ints[i] = 5", "error: Expresion in EXISTS clause should be of boolean type @9"},
      {"exists 1: flag", "error: Free variable name expected @7"},
      {"exists i flag", "error: ':' expected @12"},
      {"exists i: (ints[i] = 1) and i = 1", "error: Field not found @27"},
      // user functions
      {"positive(i4)", "userfunc.0 positive(field.int4 i4)"},
      {"half(i4) > 1.0", "real >(userfunc.7 half(int.to.real(field.int4 i4)), real 1)"},
      {"positive(s)", "error: Incompatible function argument @8"},
      {"mix(i4, s) = 3", "int =(userfunc.17 mix(field.int4 i4, field.string s), int 3)"},
      {"i4 mix s = 3", "int =(userfunc.17 mix(field.int4 i4, field.string s), int 3)"},
      {"i4 positive s", "error: Only function with two arguments can be used as operator @10"},
      {"three(flag, 2.5, next)", "userfunc.20 three(field.bool flag, real 2.5, field.ref next)"},
      {"mix(i4) = 1", "error: Too few paramters for user defined function @3"},
      {"mix(i4, i4, i4) = 1", "error: Too many parameters for user defined function @3"},
      {"three(i4, i4) ", "error: Too few parameters for user defined function @5"},
      {"mix(i4, ints) = 1",
       "error: User function should receive parameters of boolean, integer, real, string, reference or user defined "
       "type @3"},
      {"name(ints) = 's'",
       "error: User function should receive parameter of boolean, integer, real, string, reference or user defined "
       "type @4"},
      {"ints mix 1 = 1",
       "error: User function should receive parameter of boolean, integer, real, string, reference or user defined "
       "type @8"},
      {"nothing(1)", "error: Field not found @0"},
      // START FROM / FOLLOW BY
      {"start from first", "void start 1"},
      {"i4 = 1 start from last follow by next", "int =(field.int4 i4, int 1) start 2 follow next"},
      {"start from {ref} follow by next, refs", "void start 3 follow refs follow next"},
      {"start from {refs}", "void start 4"},
      {"start from {prefs}", "void start 5"},
      {"start from {oref}", "error: Incompatiable type of reference variable @0"},
      {"start from {orefs}", "error: Incompatiable type of array of reference variable @0"},
      {"start from {i4}", "error: Reference or array of reference variable expected @0"},
      {"start from next", "error: FIRST, LAST or reference varaible expected @14"},
      {"start first", "error: FROM expected after START @10"},
      {"start from first follow next", "error: BY expected after FOLLOW @27"},
      {"start from first follow by 1", "error: Field name expected @27"},
      {"start from first follow by nothing", "error: Field not found @33"},
      {"start from first follow by other", "error: Follow field should be of compatibale reference or array of "
                                           "reference type @31"},
      {"start from first follow by others", "error: Follow field should be of compatibale reference or array of "
                                            "reference type @32"},
      {"start from first follow by part", "error: '.' expected @30"},
      {"start from first follow by part.", "error: Field name expected @31"},
      {"start from first follow by part.x", "error: Field not found @32"},
      // ORDER BY
      {"flag order by i4 desc, s asc, r8",
       "field.bool flag order desc field i4 order asc field s order asc field r8"},
      {"order by (i4 desc, s)", "void order desc field i4 order asc field s"},
      {"order by length(ints), raw, part.weight",
       "void order asc field ints order asc field raw order asc field part.weight"},
      {"order by i4 + 1 desc, length(s), upper(s)",
       "void order desc int +(field.int4 i4, int 1) order asc length.string(field.string s) order asc "
       "upper(field.string s)"},
      {"order by next.i4", "void order asc load.int4 i4(deref(field.ref next))"},
      {"order by ints", "void order asc field ints"},
      {"order by i4)", "error: Unbalanced parentheses  @11"},
      {"order i4", "error: BY expected after ORDER @7"},
      {"order by ints[0] + 1, s = 'a', exists i: (ints[i] = 1)",
       "void order asc int +(load.int4 ints[](element size 4(field.array ints, int 0)), int 1) order asc "
       "string =(field.string s, string 'a') order asc exists 0(int =(load.int4 ints[](element size 4(field.array "
       "ints, var 0)), int 1))"},
      {"order by twice", "void order asc field.method.int4 twice"},
      {"order by {refs}", "error: Expressions in ORDER BY part should have scalar type @8"},
      {"order by i4, 'x' ", "void order asc field i4 order asc string 'x'"},
      {"start from first order by i4", "void start 1 order asc field i4"},
  });
}

// Text pieces and parameters: positions restart in every piece; the position base
// shifts the columns.
TEST(Compiler, PositionsAcrossPiecesAndBase) {
  dbDatabase db;
  db.setErrorHandler(recordError);
  int32_t value = 1;
  dbQuery q;
  q = "i4 = ", value, " and s = #";
  reports.clear();
  EXPECT_FALSE(q.compileFor(&Sample_descriptor, &db));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message, "Invalid symbol");
  EXPECT_EQ(reports[0].position, 9);

  q.reset();
  q = "i4 = #";
  q.positionBase = 100;
  reports.clear();
  EXPECT_FALSE(q.compileFor(&Sample_descriptor, &db));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].position, 105);
}

// The saved fuzz inputs (pieces separated by "\x01K", see fuzz_compiler.cpp) compile
// or fail cleanly and give back every pooled node.
TEST(Compiler, ReplaysFuzzCorpus) {
  std::string dir = std::string(COMPILER_CORPUS_DIR);
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  int files = 0;
  size_t nodes = dbExprNode::liveCount();
  size_t elements = dbQueryElement::liveCount();
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + entry->d_name, std::ios::binary);
    std::string input((std::istreambuf_iterator<char>(in)), {});
    files += 1;
    dbDatabase db;
    db.setErrorHandler(recordError);
    std::vector<std::string> pieces;
    pieces.reserve(input.size() + 1);
    dbQuery q;
    std::string piece;
    for (size_t i = 0; i < input.size(); i++) {
      if (input[i] == '\x01' && i + 1 < input.size()) {
        pieces.push_back(piece);
        q.append(pieces.back().c_str());
        q.add(dbQueryElement::ElementType(uint8_t(input[++i]) % 13 + 1), vRaw, "Sample");
        piece.clear();
      } else if (input[i] != '\0') {
        piece.push_back(input[i]);
      }
    }
    pieces.push_back(piece);
    q.append(pieces.back().c_str());
    reports.clear();
    bool ok = q.compileFor(&Sample_descriptor, &db);
    EXPECT_EQ(reports.size(), ok ? 0u : 1u) << entry->d_name;
    if (ok) {
      EXPECT_FALSE(dbDumpExpression(q.tree).empty());
    }
  }
  closedir(d);
  EXPECT_GT(files, 0);
  EXPECT_EQ(dbExprNode::liveCount(), nodes);
  EXPECT_EQ(dbQueryElement::liveCount(), elements);
}

// Arbitrary text must neither exhaust the stack nor build unbounded trees.
TEST(Compiler, RejectsTooDeepExpressions) {
  size_t nodes = dbExprNode::liveCount();
  std::string deep(100000, '(');
  EXPECT_EQ(compile(deep), "error: Expression is too complex @199");
  std::string chain = "i4 = 0";
  for (int i = 0; i < 5000; i++) chain += "+1";
  EXPECT_EQ(compile(chain), "error: Expression is too complex @2006");
  std::string minus(20000, ' ');
  for (size_t i = 0; i < minus.size(); i += 2) minus[i] = '-';
  EXPECT_EQ(compile(minus + "1 = i4"), "error: Expression is too complex @1990");
  std::string list = "i4 in (0";
  for (int i = 0; i < 5000; i++) list += ",1";
  EXPECT_EQ(compile(list + ")"), "error: Expression is too complex @2006");
  std::string keys = "order by i4";
  for (int i = 0; i < 200000; i++) keys += ",1.5";
  EXPECT_EQ(compile(keys), "error: Expression is too complex @400006");
  EXPECT_EQ(dbExprNode::liveCount(), nodes);
  // Within the bounds, an IN list of a thousand values compiles.
  std::string many = "i4 in (0";
  for (int i = 1; i < 900; i++) many += "," + std::to_string(i);
  EXPECT_EQ(compile(many + ")").substr(0, 6), "or(or(");
}

TEST(Compiler, NodePoolCopiesAndReleasesTrees) {
  dbDatabase db;
  dbQuery q("s like 'a%' escape '\\' and i4 in (1, 2) order by upper(s)");
  size_t before = dbExprNode::liveCount();
  ASSERT_TRUE(q.compileFor(&Sample_descriptor, &db));
  size_t compiled = dbExprNode::liveCount();
  EXPECT_GT(compiled, before);
  dbExprNode* copy = dbExprNode::copy(q.tree);
  EXPECT_EQ(dbDumpExpression(copy), dbDumpExpression(q.tree));
  ASSERT_EQ(copy->op, opAnd);
  EXPECT_NE(copy->operand[0]->operand[1]->svalue.str, q.tree->operand[0]->operand[1]->svalue.str);
  dbExprNode::release(copy);
  EXPECT_EQ(dbExprNode::liveCount(), compiled);
  q.reset();
  EXPECT_EQ(dbExprNode::liveCount(), before);
  // More nodes than one block of the pool.
  std::string big = "i4 in (0";
  for (int i = 1; i < 700; i++) big += "," + std::to_string(i);
  big += ")";  // the query keeps the text's address
  dbQuery large(big.c_str());
  ASSERT_TRUE(large.compileFor(&Sample_descriptor, &db));
  EXPECT_GT(dbExprNode::liveCount(), before + 1024);
  large.reset();
  EXPECT_EQ(dbExprNode::liveCount(), before);
}

TEST(Compiler, DumpIsOneNodePerLine) {
  dbDatabase db;
  dbQuery q("i4 = 1 or s = 'x'");
  ASSERT_TRUE(q.compileFor(&Sample_descriptor, &db));
  EXPECT_EQ(dbDumpExpression(q.tree),
            "or\n"
            "  int =\n"
            "    field.int4 i4\n"
            "    int 1\n"
            "  string =\n"
            "    field.string s\n"
            "    string 'x'\n");
}

// The search tests a copy of the condition in which each comparison through
// references first checks them, nearest first; AND, OR, NOT and EXISTS stay where
// they are. A condition without dereferences is tested as it is.
TEST(Compiler, ScanTreeChecksEveryDereferencedReference) {
  dbDatabase db;
  size_t nodes = dbExprNode::liveCount();
  {
    dbQuery plain("i4 = 1 and s = 'x'");
    ASSERT_TRUE(plain.compileFor(&Sample_descriptor, &db));
    EXPECT_EQ(plain.scanTree, plain.tree);
    dbQuery q("next.next.i4 = 1 or not other.title = 'x' and i4 = 2");
    ASSERT_TRUE(q.compileFor(&Sample_descriptor, &db));
    const std::string next = "deref(field.ref next)";
    EXPECT_EQ(compact(dbDumpExpression(q.scanTree)),
              "or(and(not(is.null(field.ref next)), and(not(is.null(load.ref next(" + next + "))), "
              "int =(load.int4 i4(deref(load.ref next(" + next + "))), int 1))), "
              "and(not(and(not(is.null(field.ref other)), "
              "string =(load.string title(deref(field.ref other)), string 'x'))), int =(field.int4 i4, int 2)))");
  }
  EXPECT_EQ(dbExprNode::liveCount(), nodes);
}

TEST(Compiler, KeywordsAreInternedOnce) {
  dbSymbolTable::loadKeywords();
  const char* a = "between";
  const char* b = "between";
  std::string c = "between";
  const char* cp = c.c_str();
  EXPECT_EQ(dbSymbolTable::add(a, 0), tknBetween);
  EXPECT_EQ(dbSymbolTable::add(cp, 0), tknBetween);
  EXPECT_EQ(a, cp);
  int tag = -1;
  EXPECT_EQ(dbSymbolTable::find(b, 7, &tag), a);
  EXPECT_EQ(tag, tknBetween);
  EXPECT_EQ(dbSymbolTable::find("Between", 7, &tag), nullptr);
}

}  // namespace
