// libFuzzer target: arbitrary bytes as query text (with bound parameters) compiled
// for two tables. The compiler must not crash, hang or leak, and must give back
// every expression node and query element it took.
//
// Input: text pieces separated by "\x01K": a bound parameter whose kind is K % 13 + 1
// (K's top bit picks which table a reference parameter refers to).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compiler.h"
#include "database.h"
#include "query.h"

namespace {

struct FuzzPart {
  int32_t weight;
  const char* label;
  char code[4];
  KELDRA_DESCRIBE(FuzzPart, KELDRA_FIELD(weight), KELDRA_FIELD(label), KELDRA_RAWFIELD(code));
};

struct FuzzOther;
struct FuzzRecord {
  bool flag;
  int8_t i1;
  int16_t i2;
  int32_t i4;
  int64_t i8;
  float r4;
  double r8;
  const char* s;
  dbReference<FuzzRecord> next;
  dbReference<FuzzOther> other;
  dbArray<int32_t> ints;
  dbArray<const char*> strs;
  dbArray<dbReference<FuzzRecord>> refs;
  dbArray<FuzzPart> parts;
  dbArray<dbArray<int8_t>> nested;
  FuzzPart part;
  char raw[8];
  int32_t twice() const { return i4 * 2; }
  KELDRA_DESCRIBE(FuzzRecord, KELDRA_FIELD(flag), KELDRA_FIELD(i1), KELDRA_FIELD(i2), KELDRA_FIELD(i4),
                  KELDRA_FIELD(i8), KELDRA_FIELD(r4), KELDRA_FIELD(r8), KELDRA_FIELD(s), KELDRA_FIELD(next),
                  KELDRA_FIELD(other), KELDRA_FIELD(ints), KELDRA_FIELD(strs), KELDRA_FIELD(refs),
                  KELDRA_FIELD(parts), KELDRA_FIELD(nested), KELDRA_FIELD(part), KELDRA_RAWFIELD(raw),
                  KELDRA_METHOD(twice));
};

struct FuzzOther {
  const char* title;
  dbReference<FuzzRecord> back;
  dbArray<dbReference<FuzzOther>> children;
  KELDRA_DESCRIBE(FuzzOther, KELDRA_FIELD(title), KELDRA_FIELD(back), KELDRA_FIELD(children));
};

KELDRA_TABLE(FuzzRecord);
KELDRA_TABLE(FuzzOther);

// Reports nothing: the default action prints every query error.
class QuietDatabase : public dbDatabase {
 public:
  void reportError(int code, const char*, int) override {
    if (code != dbQueryError) abort();
  }
};

bool isNumber(int64_t v) { return v > 0; }
int64_t combine(dbUserFunctionArgument a, dbUserFunctionArgument b) { return a.type + b.type; }
double triple(dbUserFunctionArgument, dbUserFunctionArgument, dbUserFunctionArgument) { return 0; }
char* describe(double) { return nullptr; }
dbUserFunction isNumberFunction("isnumber", &isNumber);
dbUserFunction combineFunction("combine", &combine);
dbUserFunction tripleFunction("triple", &triple);
dbUserFunction describeFunction("describe", &describe);

bool vBool;
int8_t vInt1;
int16_t vInt2;
int32_t vInt4;
int64_t vInt8;
float vReal4;
double vReal8;
char vString[] = "abc";
char* vStringPtr = vString;
dbReference<FuzzRecord> vRef;
dbReference<FuzzOther> vOtherRef;
dbArray<dbReference<FuzzRecord>> vRefs;
dbArray<dbReference<FuzzOther>> vOtherRefs;
char vRaw[8];

void bind(dbQuery& q, uint8_t k) {
  bool other = (k & 0x80) != 0;
  switch (k % 13 + 1) {
    case 1: q.add(dbQueryElement::qVarBool, &vBool); break;
    case 2: q.add(dbQueryElement::qVarInt1, &vInt1); break;
    case 3: q.add(dbQueryElement::qVarInt2, &vInt2); break;
    case 4: q.add(dbQueryElement::qVarInt4, &vInt4); break;
    case 5: q.add(dbQueryElement::qVarInt8, &vInt8); break;
    case 6: q.add(dbQueryElement::qVarReal4, &vReal4); break;
    case 7: q.add(dbQueryElement::qVarReal8, &vReal8); break;
    case 8: q.add(dbQueryElement::qVarString, vString); break;
    case 9: q.add(dbQueryElement::qVarStringPtr, &vStringPtr); break;
    case 10: if (other) q, vOtherRef; else q, vRef; break;
    case 11: if (other) q, vOtherRefs; else q, vRefs; break;
    case 12: if (other) q, &vOtherRefs; else q, &vRefs; break;
    default: q.raw(vRaw); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietDatabase db;
  size_t nodesBefore = dbExprNode::liveCount();
  size_t elementsBefore = dbQueryElement::liveCount();
  std::vector<std::string> pieces;  // the text pieces must outlive the query
  pieces.reserve(size + 1);
  {
    dbQuery q;
    std::string piece;
    for (size_t i = 0; i < size; i++) {
      if (data[i] == 0x01 && i + 1 < size) {
        pieces.push_back(piece);
        q.append(pieces.back().c_str());
        bind(q, data[++i]);
        piece.clear();
      } else if (data[i] != 0) {
        piece.push_back(char(data[i]));
      }
    }
    pieces.push_back(piece);
    q.append(pieces.back().c_str());
    for (dbTableDescriptor* table : {&FuzzRecord_descriptor, &FuzzOther_descriptor}) {
      if (q.compileFor(table, &db)) {
        std::string dump = dbDumpExpression(q.tree);
        dbExprNode::release(dbExprNode::copy(q.tree));
        for (dbOrderKey* key = q.orderBy; key != nullptr; key = key->next) dump += dbDumpExpression(key->expression);
        if (dump.empty()) abort();
      }
    }
  }
  if (dbExprNode::liveCount() != nodesBefore || dbQueryElement::liveCount() != elementsBefore) {
    fprintf(stderr, "pooled objects leaked: nodes %zu -> %zu, elements %zu -> %zu\n", nodesBefore,
            dbExprNode::liveCount(), elementsBefore, dbQueryElement::liveCount());
    abort();
  }
  return 0;
}
