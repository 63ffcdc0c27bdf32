// Evaluation of compiled expression trees against stored records.
//
// The compiler has fixed every type, so evaluation is one recursive switch over
// the operation codes. Each evaluation of a condition or an ORDER BY key has its
// own context on the caller's stack: the current record, the parameters' origin,
// an 8 KiB scratch area for temporary strings (larger temporaries go to heap
// blocks freed with the context) and the three EXISTS slots.
//
// Leaving an evaluation early uses longjmp: the end of an EXISTS iteration jumps
// back to its slot, and a run-time error whose report returns (an overriding
// reportError) jumps back to the top, where the condition counts as false. The
// evaluator's own frames therefore hold no objects with destructors.
#include "evaluate.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler.h"
#include "database.h"
#include "query.h"


// The value of a node; its meaning is fixed by the node's result type. Booleans
// and oids are kept in `ivalue` (zero-extended), addresses of records, elements
// and raw values in `base`, strings and arrays as `base` plus `size` (bytes with
// the NUL for strings, elements for arrays).
struct dbSynthesizedAttribute {
  union {
    int64_t ivalue;
    double fvalue;
    char* base;
  };
  uint32_t size;
};

struct dbOverflowBlock {
  dbOverflowBlock* next;
};

// The context of one evaluation.
struct dbInheritedAttribute {
  char* record = nullptr;
  oid_t oid = 0;
  const dbTable* tableRecord = nullptr;
  dbDatabase* db = nullptr;
  dbOverflowBlock* overflow = nullptr;
  const char* paramOrigin = nullptr;
  uint32_t scratchUsed = 0;
  struct Slot {
    uint32_t index;
    bool active;     // inside this slot's EXISTS
    bool read;       // the variable was read during the current pass over the body
    jmp_buf target;  // leaves the slot's iteration
  } exists[dbMaxExistsSlots];
  jmp_buf abandon;   // leaves the whole evaluation after a reported error
  char errorText[64];
  alignas(16) char scratch[dbEvaluationScratchSize];

  dbInheritedAttribute() {
    for (Slot& s : exists) {
      s.index = 0;
      s.active = false;
      s.read = false;
    }
  }
  ~dbInheritedAttribute() { freeOverflow(); }
  dbInheritedAttribute(const dbInheritedAttribute&) = delete;
  dbInheritedAttribute& operator=(const dbInheritedAttribute&) = delete;

  void freeOverflow() {
    while (overflow != nullptr) {
      dbOverflowBlock* next = overflow->next;
      free(overflow);
      overflow = next;
    }
  }

  // Room for a temporary of n bytes, valid until the context is destroyed.
  char* allocate(size_t n) {
    if (scratchUsed + n <= dbEvaluationScratchSize) {
      char* p = scratch + scratchUsed;
      scratchUsed += uint32_t(n);
      return p;
    }
    auto* block = static_cast<dbOverflowBlock*>(malloc(sizeof(dbOverflowBlock) + n));
    if (block == nullptr) {
      freeOverflow();
      db->reportError(dbOutOfMemoryError, "Not enough memory", int(n));
      longjmp(abandon, 1);
    }
    block->next = overflow;
    overflow = block;
    return reinterpret_cast<char*>(block + 1);
  }
};

class dbEvaluator {
 public:
  using Value = dbSynthesizedAttribute;

  static Value evaluate(const dbExprNode* expr, dbInheritedAttribute& iattr);

  // Sets up a context for record `oid` of `table`.
  static void prepare(dbInheritedAttribute& iattr, dbDatabase* db, oid_t oid, dbTableDescriptor* table,
                      const char* paramOrigin) {
    iattr.db = db;
    iattr.oid = oid;
    iattr.record = reinterpret_cast<char*>(db->getRecord(oid));
    iattr.tableRecord = table != nullptr && table->tableId != 0 ? db->getTableRecord(table->tableId) : nullptr;
    iattr.paramOrigin = paramOrigin;
  }

 private:
  [[noreturn]] static void fail(dbInheritedAttribute& iattr, int code, const char* message, int argument) {
    iattr.freeOverflow();
    iattr.db->reportError(code, message, argument);
    longjmp(iattr.abandon, 1);
  }

  // An index outside its array or string: the end of the EXISTS iteration when the
  // index is that EXISTS' variable, else a run-time error.
  [[noreturn]] static void indexOutOfRange(dbInheritedAttribute& iattr, const dbExprNode* index, int64_t value) {
    if (index->op == opFreeVar && index->offset < dbMaxExistsSlots && iattr.exists[index->offset].active) {
      longjmp(iattr.exists[index->offset].target, 1);
    }
    snprintf(iattr.errorText, sizeof iattr.errorText, "Index %d is out of range", int(value));
    fail(iattr, dbIndexOutOfRangeError, iattr.errorText, int(value));
  }

  static Value integer(int64_t v) {
    Value r;
    r.ivalue = v;
    r.size = 0;
    return r;
  }
  static Value real(double v) {
    Value r;
    r.fvalue = v;
    r.size = 0;
    return r;
  }
  static Value address(char* p, uint32_t size = 0) {
    Value r;
    r.base = p;
    r.size = size;
    return r;
  }
  static Value string(const char* s) { return address(const_cast<char*>(s), uint32_t(strlen(s) + 1)); }

  // A copy of `s` (size bytes with the NUL) in the context.
  static Value temporary(dbInheritedAttribute& iattr, const char* s, size_t size) {
    char* p = iattr.allocate(size);
    memcpy(p, s, size);
    return address(p, uint32_t(size));
  }

  static Value load(int type, char* base, uint32_t offset, const dbFieldDescriptor* field,
                    dbInheritedAttribute& iattr);
  static Value callMethod(int type, char* base, const dbFieldDescriptor* field, dbInheritedAttribute& iattr);
  static Value param(int kind, const dbExprNode* expr, dbInheritedAttribute& iattr);
  static bool inArray(int elementType, const Value& x, const Value& array);
  static bool inString(const Value& x, const Value& y);
  static bool exists(const dbExprNode* expr, dbInheritedAttribute& iattr);
  static Value userFunction(const dbExprNode* expr, dbInheritedAttribute& iattr);

 public:
  static bool like(const char* s, const char* p, int escape);
  static int64_t intPower(int64_t base, int64_t exponent);
  static double realPowerInt(double base, int64_t exponent);
  static int64_t realToInt(double v);
};

// ---------------------------------------------------------------------------
// Loads

namespace {
// A value stored at any byte position of a record.
template <class T>
T readUnaligned(const char* at) {
  T value;
  memcpy(&value, at, sizeof value);
  return value;
}
}  // namespace

dbSynthesizedAttribute dbEvaluator::load(int type, char* base, uint32_t offset, const dbFieldDescriptor* field,
                                         dbInheritedAttribute& iattr) {
  const char* at = base + offset;
  switch (type) {
    case dbField::tpBool:
      return integer(*reinterpret_cast<const uint8_t*>(at));
    case dbField::tpInt1:
      return integer(*reinterpret_cast<const int8_t*>(at));
    case dbField::tpInt2: return integer(readUnaligned<int16_t>(at));
    case dbField::tpInt4: return integer(readUnaligned<int32_t>(at));
    case dbField::tpInt8: return integer(readUnaligned<int64_t>(at));
    case dbField::tpReal4: return real(readUnaligned<float>(at));
    case dbField::tpReal8: return real(readUnaligned<double>(at));
    case dbField::tpReference: return integer(readUnaligned<oid_t>(at));
    case dbField::tpString:
    case dbField::tpArray: {
      // A size/offset pair; the offset counts from where this load starts.
      dbVarying v;
      memcpy(&v, at, sizeof v);
      return address(base + v.offset, v.count);
    }
    default:
      if (type >= dbField::tpMethodBool && type <= dbField::tpMethodReference) {
        return callMethod(type, base, field, iattr);
      }
      dbAssert(false);
      return integer(0);
  }
}

dbSynthesizedAttribute dbEvaluator::callMethod(int type, char* base, const dbFieldDescriptor* field,
                                               dbInheritedAttribute& iattr) {
  dbAssert(field != nullptr && field->method != nullptr);
  alignas(16) char result[16] = {};
  field->method->invoke(base, result);
  if (type == dbField::tpMethodString) {
    char* s;
    memcpy(&s, result, sizeof s);
    if (s == nullptr) return temporary(iattr, "", 1);
    Value v = temporary(iattr, s, strlen(s) + 1);
    delete[] s;
    return v;
  }
  // The other results are stored like the field types they mirror.
  return load(type - dbField::tpMethodBool, result, 0, nullptr, iattr);
}

dbSynthesizedAttribute dbEvaluator::param(int kind, const dbExprNode* expr, dbInheritedAttribute& iattr) {
  char* at = static_cast<char*>(expr->var) + reinterpret_cast<uintptr_t>(iattr.paramOrigin);
  switch (kind) {
    case dbQueryElement::qVarBool:
      return integer(*reinterpret_cast<const uint8_t*>(at));
    case dbQueryElement::qVarInt1:
      return load(dbField::tpInt1, at, 0, nullptr, iattr);
    case dbQueryElement::qVarInt2:
      return load(dbField::tpInt2, at, 0, nullptr, iattr);
    case dbQueryElement::qVarInt4:
      return load(dbField::tpInt4, at, 0, nullptr, iattr);
    case dbQueryElement::qVarInt8:
      return load(dbField::tpInt8, at, 0, nullptr, iattr);
    case dbQueryElement::qVarReal4:
      return load(dbField::tpReal4, at, 0, nullptr, iattr);
    case dbQueryElement::qVarReal8:
      return load(dbField::tpReal8, at, 0, nullptr, iattr);
    case dbQueryElement::qVarString:
      return string(at);
    case dbQueryElement::qVarStringPtr: {
      const char* s = *reinterpret_cast<char* const*>(at);
      return string(s != nullptr ? s : "");  // an unset pointer reads as the empty string
    }
    case dbQueryElement::qVarReference:
      return load(dbField::tpReference, at, 0, nullptr, iattr);
    case dbQueryElement::qVarArrayOfRef:
    case dbQueryElement::qVarArrayOfRefPtr: {
      const dbAnyArray* array = reinterpret_cast<const dbAnyArray*>(at);
      if (kind == dbQueryElement::qVarArrayOfRefPtr) array = *reinterpret_cast<const dbAnyArray* const*>(at);
      if (array == nullptr) return address(nullptr, 0);  // no array: no elements
      return address(static_cast<char*>(const_cast<void*>(array->base())), uint32_t(array->length()));
    }
    case dbQueryElement::qVarRawData:
      return address(at);
    default:
      dbAssert(false);
      return integer(0);
  }
}

// ---------------------------------------------------------------------------
// Arithmetic (64-bit, wrapping: done in unsigned arithmetic)

int64_t dbEvaluator::intPower(int64_t b, int64_t e) {
  if (b == 2) return e >= 0 && e < 64 ? int64_t(uint64_t(1) << e) : 0;
  uint64_t n = uint64_t(e);
  if (e < 0) {
    b = 1 / b;  // 0 unless the base is 1 or -1; the caller has excluded 0
    n = uint64_t(0) - n;
  }
  uint64_t result = 1, square = uint64_t(b);
  while (n != 0) {
    if (n & 1) result *= square;
    square *= square;
    n >>= 1;
  }
  return int64_t(result);
}

double dbEvaluator::realPowerInt(double b, int64_t e) {
  uint64_t n = uint64_t(e);
  if (e < 0) {
    b = 1 / b;
    n = uint64_t(0) - n;
  }
  double result = 1;
  while (n != 0) {
    if (n & 1) result *= b;
    b *= b;
    n >>= 1;
  }
  return result;
}

// Truncation toward zero. Values outside the 64-bit range saturate and a NaN
// gives 0, where a plain conversion would be undefined.
int64_t dbEvaluator::realToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v < -9223372036854775808.0) return INT64_MIN;
  return int64_t(v);
}

// ---------------------------------------------------------------------------
// LIKE: '%' any run, '_' any one character, one backtrack point (the last '%').
// `escape` is the escape character, 0 for none (a pattern never holds a NUL).

bool dbEvaluator::like(const char* s, const char* p, int escape) {
  if (p[0] == '%') {
    // "%text%" with nothing special in the text: whether the text occurs in s, each
    // place of its first character found by the library's search.
    size_t n = 1;
    while (p[n] != '\0' && p[n] != '%' && p[n] != '_' && (escape == 0 || uint8_t(p[n]) != escape)) n++;
    if (n > 1 && p[n] == '%' && p[n + 1] == '\0') {
      for (const char* at = s; (at = strchr(at, p[1])) != nullptr; at++) {
        if (strncmp(at, p + 1, n - 1) == 0) return true;
      }
      return false;
    }
  }
  const char* wildString = nullptr;
  const char* wildPattern = nullptr;
  while (true) {
    if (*p == '%') {
      wildPattern = ++p;
      wildString = s;
      continue;
    }
    if (*s == '\0') return *p == '\0';
    if (escape != 0 && uint8_t(*p) == escape) {
      if (p[1] == *s) {
        s++;
        p += 2;
        continue;
      }
    } else if (*p == *s || *p == '_') {
      s++;
      p++;
      continue;
    }
    if (wildPattern == nullptr) return false;
    s = ++wildString;
    p = wildPattern;
  }
}

// ---------------------------------------------------------------------------
// IN

bool dbEvaluator::inString(const Value& x, const Value& y) {
  if (y.size < x.size) return false;
  const size_t m = x.size - 1;
  if (m == 0) return true;
  if (y.size <= 512) return strstr(y.base, x.base) != nullptr;
  // Boyer-Moore-Horspool for long texts.
  const auto* pattern = reinterpret_cast<const uint8_t*>(x.base);
  const auto* text = reinterpret_cast<const uint8_t*>(y.base);
  const size_t n = y.size - 1;
  size_t shift[256];
  for (size_t& s : shift) s = m;
  for (size_t i = 0; i + 1 < m; i++) shift[pattern[i]] = m - 1 - i;
  for (size_t end = m - 1; end < n; end += shift[text[end]]) {
    size_t i = 0;
    while (i < m && text[end - i] == pattern[m - 1 - i]) i++;
    if (i == m) return true;
  }
  return false;
}

bool dbEvaluator::inArray(int elementType, const Value& x, const Value& array) {
  static const uint8_t elementSize[] = {1, 1, 2, 4, 8, 4, 8, sizeof(dbVarying), sizeof(oid_t)};
  dbAssert(elementType >= dbField::tpBool && elementType <= dbField::tpReference);
  const size_t step = elementSize[elementType];
  const char* e = array.base;
  for (uint32_t i = 0; i < array.size; i++, e += step) {
    bool equal;
    switch (elementType) {
      case dbField::tpBool:
        equal = (*e != 0) == (x.ivalue != 0);
        break;
      case dbField::tpInt1:
        equal = uint8_t(*e) == uint8_t(x.ivalue);
        break;
      case dbField::tpInt2: {
        uint16_t v;
        memcpy(&v, e, sizeof v);
        equal = v == uint16_t(x.ivalue);
        break;
      }
      case dbField::tpInt4:
      case dbField::tpReference: {
        uint32_t v;
        memcpy(&v, e, sizeof v);
        equal = v == uint32_t(x.ivalue);
        break;
      }
      case dbField::tpInt8: {
        int64_t v;
        memcpy(&v, e, sizeof v);
        equal = v == x.ivalue;
        break;
      }
      case dbField::tpReal4: {
        float v;
        memcpy(&v, e, sizeof v);
        equal = v == float(x.fvalue);
        break;
      }
      case dbField::tpReal8: {
        double v;
        memcpy(&v, e, sizeof v);
        equal = v == x.fvalue;
        break;
      }
      default: {  // strings: the element's pair points relative to the element
        dbVarying v;
        memcpy(&v, e, sizeof v);
        equal = strcmp(e + v.offset, x.base) == 0;
        break;
      }
    }
    if (equal) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// EXISTS
//
// The body is evaluated for index 0, 1, 2, ... until it holds (1), or until an
// array or string indexed by the variable runs out (0). Two rules end the other
// iterations, neither of which can change a result the iteration would reach:
// - A pass over the body that did not read the variable at all gave a value that
//   does not depend on it, so every later pass would give the same false value.
//   (This ends e.g. an EXISTS whose indexing sits behind a condition that is false.)
// - The index is 32-bit and no array or string has more than 2^32 - 2 elements,
//   so the iteration stops when the index reaches 2^32 - 1. This only ends bodies
//   that keep reading the variable without ever indexing with it.
// The body must be deterministic: user functions and methods it calls are assumed
// to have no state.

bool dbEvaluator::exists(const dbExprNode* expr, dbInheritedAttribute& iattr) {
  const unsigned k = expr->offset;
  dbAssert(k < unsigned(dbMaxExistsSlots));
  dbInheritedAttribute::Slot& slot = iattr.exists[k];
  const bool wasActive = slot.active;
  const uint32_t outerIndex = slot.index;
  slot.index = 0;
  slot.active = true;
  if (setjmp(slot.target) != 0) {
    slot.active = wasActive;
    slot.index = outerIndex;
    return false;
  }
  while (true) {
    slot.read = false;
    if (evaluate(expr->operand[0], iattr).ivalue != 0) break;
    if (!slot.read || slot.index == UINT32_MAX - 1) longjmp(slot.target, 1);
    slot.index++;
  }
  slot.active = wasActive;
  slot.index = outerIndex;
  return true;
}

// ---------------------------------------------------------------------------
// User functions

dbSynthesizedAttribute dbEvaluator::userFunction(const dbExprNode* expr, dbInheritedAttribute& iattr) {
  const int kind = expr->op - opUserFunc;
  const dbUserFunctionPointer f = expr->func.fptr;
  const int resultKind = kind < 12 ? kind / 3 : (kind - 12) % 4;  // bool, int, real, string
  int64_t i = 0;
  double r = 0;
  char* s = nullptr;
  bool b = false;
  if (kind < 12) {
    Value a = evaluate(expr->func.arg[0], iattr);
    switch (kind % 3 * 4 + resultKind) {
      case 0: b = reinterpret_cast<bool (*)(int64_t)>(f)(a.ivalue); break;
      case 1: i = reinterpret_cast<int64_t (*)(int64_t)>(f)(a.ivalue); break;
      case 2: r = reinterpret_cast<double (*)(int64_t)>(f)(a.ivalue); break;
      case 3: s = reinterpret_cast<char* (*)(int64_t)>(f)(a.ivalue); break;
      case 4: b = reinterpret_cast<bool (*)(double)>(f)(a.fvalue); break;
      case 5: i = reinterpret_cast<int64_t (*)(double)>(f)(a.fvalue); break;
      case 6: r = reinterpret_cast<double (*)(double)>(f)(a.fvalue); break;
      case 7: s = reinterpret_cast<char* (*)(double)>(f)(a.fvalue); break;
      case 8: b = reinterpret_cast<bool (*)(const char*)>(f)(a.base); break;
      case 9: i = reinterpret_cast<int64_t (*)(const char*)>(f)(a.base); break;
      case 10: r = reinterpret_cast<double (*)(const char*)>(f)(a.base); break;
      default: s = reinterpret_cast<char* (*)(const char*)>(f)(a.base); break;
    }
  } else {
    const int argc = kind < 16 ? 1 : kind < 20 ? 2 : 3;
    dbUserFunctionArgument args[3] = {};
    for (int n = 0; n < argc; n++) {
      const dbExprNode* arg = expr->func.arg[n];
      Value v = evaluate(arg, iattr);
      dbUserFunctionArgument& a = args[n];
      switch (arg->resultType) {
        case exInteger:
        case exFreeVar:
          a.type = dbUserFunctionArgument::atInteger;
          a.u.intValue = v.ivalue;
          break;
        case exBoolean:
          a.type = dbUserFunctionArgument::atBoolean;
          a.u.boolValue = v.ivalue != 0;
          break;
        case exString:
          a.type = dbUserFunctionArgument::atString;
          a.u.strValue = v.base;
          break;
        case exReal:
          a.type = dbUserFunctionArgument::atReal;
          a.u.realValue = v.fvalue;
          break;
        case exReference:
          a.type = dbUserFunctionArgument::atReference;
          a.u.oidValue = oid_t(v.ivalue);
          break;
        case exRaw:
          a.type = dbUserFunctionArgument::atRawBinary;
          a.u.rawValue = v.base;
          break;
        default:
          dbAssert(false);
      }
    }
    using A = dbUserFunctionArgument;
    switch ((argc - 1) * 4 + resultKind) {
      case 0: b = reinterpret_cast<bool (*)(A)>(f)(args[0]); break;
      case 1: i = reinterpret_cast<int64_t (*)(A)>(f)(args[0]); break;
      case 2: r = reinterpret_cast<double (*)(A)>(f)(args[0]); break;
      case 3: s = reinterpret_cast<char* (*)(A)>(f)(args[0]); break;
      case 4: b = reinterpret_cast<bool (*)(A, A)>(f)(args[0], args[1]); break;
      case 5: i = reinterpret_cast<int64_t (*)(A, A)>(f)(args[0], args[1]); break;
      case 6: r = reinterpret_cast<double (*)(A, A)>(f)(args[0], args[1]); break;
      case 7: s = reinterpret_cast<char* (*)(A, A)>(f)(args[0], args[1]); break;
      case 8: b = reinterpret_cast<bool (*)(A, A, A)>(f)(args[0], args[1], args[2]); break;
      case 9: i = reinterpret_cast<int64_t (*)(A, A, A)>(f)(args[0], args[1], args[2]); break;
      case 10: r = reinterpret_cast<double (*)(A, A, A)>(f)(args[0], args[1], args[2]); break;
      default: s = reinterpret_cast<char* (*)(A, A, A)>(f)(args[0], args[1], args[2]); break;
    }
  }
  switch (resultKind) {
    case 0: return integer(b ? 1 : 0);
    case 1: return integer(i);
    case 2: return real(r);
    default: {
      if (s == nullptr) return temporary(iattr, "", 1);
      Value v = temporary(iattr, s, strlen(s) + 1);
      delete[] s;
      return v;
    }
  }
}

// ---------------------------------------------------------------------------
// The evaluator

dbSynthesizedAttribute dbEvaluator::evaluate(const dbExprNode* expr, dbInheritedAttribute& iattr) {
  const unsigned op = expr->op;

  // Families addressed as base + type or base + relation.
  if (op < opOperandRaw) {
    Value target = evaluate(expr->ref.base, iattr);
    return load(int(op - opOperandField), target.base, expr->offset, expr->ref.field, iattr);
  }
  if (op == opOperandRaw) return address(evaluate(expr->operand[0], iattr).base + expr->offset);
  if (op >= opRecordField && op < opRecordRaw) {
    return load(int(op - opRecordField), iattr.record, expr->offset, expr->ref.field, iattr);
  }
  if (op == opRecordRaw) return address(iattr.record + expr->offset);
  if (op >= opInArray && op < opInString) {
    Value x = evaluate(expr->operand[0], iattr);
    Value array = evaluate(expr->operand[1], iattr);
    return integer(inArray(int(op - opInArray), x, array));
  }
  if (op > opParam && op < opParamReserved) return param(int(op - opParam), expr, iattr);
  if (op >= opUserFunc && op < opVoid) return userFunction(expr, iattr);

  auto relation = [](unsigned rel, int cmp) -> int64_t {
    switch (rel) {
      case relEq: return cmp == 0;
      case relNe: return cmp != 0;
      case relGt: return cmp > 0;
      case relGe: return cmp >= 0;
      case relLt: return cmp < 0;
      default: return cmp <= 0;
    }
  };
  if (op >= int(opIntCmp) + relEq && op <= int(opIntCmp) + relLe) {
    int64_t a = evaluate(expr->operand[0], iattr).ivalue;
    int64_t b = evaluate(expr->operand[1], iattr).ivalue;
    return integer(relation(op - opIntCmp, a < b ? -1 : a > b ? 1 : 0));
  }
  if (op >= int(opRealCmp) + relEq && op <= int(opRealCmp) + relLe) {
    // IEEE comparisons: a NaN is unordered, so only <> holds for it.
    double a = evaluate(expr->operand[0], iattr).fvalue;
    double b = evaluate(expr->operand[1], iattr).fvalue;
    switch (op - opRealCmp) {
      case relEq: return integer(a == b);
      case relNe: return integer(a != b);
      case relGt: return integer(a > b);
      case relGe: return integer(a >= b);
      case relLt: return integer(a < b);
      default: return integer(a <= b);
    }
  }
  if (op >= int(opStrCmp) + relEq && op <= int(opStrCmp) + relLe) {
    Value a = evaluate(expr->operand[0], iattr);
    Value b = evaluate(expr->operand[1], iattr);
    return integer(relation(op - opStrCmp, strcmp(a.base, b.base)));
  }
  if (op >= int(opRawCmp) + relEq && op <= int(opRawCmp) + relLe) {
    Value a = evaluate(expr->raw.left, iattr);
    Value b = evaluate(expr->raw.right, iattr);
    auto cmp = expr->raw.comparator != nullptr ? expr->raw.comparator : dbFieldDescriptor::defaultComparator;
    return integer(relation(op - opRawCmp, cmp(a.base, b.base, expr->offset)));
  }

  switch (op) {
    case opArrayLength:
      return integer(evaluate(expr->operand[0], iattr).size);
    case opStringLength:
      return integer(int64_t(evaluate(expr->operand[0], iattr).size) - 1);
    case opArrayElement: {
      Value array = evaluate(expr->operand[0], iattr);
      int64_t index = evaluate(expr->operand[1], iattr).ivalue;
      if (index < 0 || index >= int64_t(array.size)) indexOutOfRange(iattr, expr->operand[1], index);
      return address(array.base + size_t(index) * expr->offset);
    }
    case opStringChar: {
      Value s = evaluate(expr->operand[0], iattr);
      int64_t index = evaluate(expr->operand[1], iattr).ivalue;
      if (index < 0 || index > int64_t(s.size) - 2) indexOutOfRange(iattr, expr->operand[1], index);
      return integer(uint8_t(s.base[index]));
    }
    case opParamReserved:
    case opList:
      dbAssert(false);
      return integer(0);

    case opTrue:
    case opVoid:  // an empty condition holds for every record
      return integer(1);
    case opFalse:
    case opNull:
      return integer(0);
    case opCurrent:
      return integer(iattr.oid);
    case opFirst:
      return integer(iattr.tableRecord != nullptr ? iattr.tableRecord->firstRow : 0);
    case opLast:
      return integer(iattr.tableRecord != nullptr ? iattr.tableRecord->lastRow : 0);
    case opIntConst:
      return integer(expr->ivalue);
    case opRealConst:
      return real(expr->fvalue);
    case opStringConst:
      return address(expr->svalue.str, expr->svalue.size);

    case opOr:
      if (evaluate(expr->operand[0], iattr).ivalue != 0) return integer(1);
      return integer(evaluate(expr->operand[1], iattr).ivalue != 0);
    case opAnd:
      if (evaluate(expr->operand[0], iattr).ivalue == 0) return integer(0);
      return integer(evaluate(expr->operand[1], iattr).ivalue != 0);
    case opNot:
    case opIsNull:
      // Booleans and oids are 32-bit values.
      return integer(uint32_t(evaluate(expr->operand[0], iattr).ivalue) == 0);

    case opIntNeg:
      return integer(int64_t(uint64_t(0) - uint64_t(evaluate(expr->operand[0], iattr).ivalue)));
    case opIntAdd:
    case opIntSub:
    case opIntMul:
    case opIntDiv:
    case opIntBitAnd:
    case opIntBitOr:
    case opIntPow: {
      int64_t a = evaluate(expr->operand[0], iattr).ivalue;
      int64_t b = evaluate(expr->operand[1], iattr).ivalue;
      switch (op) {
        case opIntAdd: return integer(int64_t(uint64_t(a) + uint64_t(b)));
        case opIntSub: return integer(int64_t(uint64_t(a) - uint64_t(b)));
        case opIntMul: return integer(int64_t(uint64_t(a) * uint64_t(b)));
        case opIntDiv:
          if (b == 0) fail(iattr, dbArithmeticError, "Division by zero", 0);
          // The one quotient that overflows wraps like the other operations.
          if (b == -1) return integer(int64_t(uint64_t(0) - uint64_t(a)));
          return integer(a / b);
        case opIntBitAnd: return integer(a & b);
        case opIntBitOr: return integer(a | b);
        default:
          if (a == 0 && b < 0) fail(iattr, dbArithmeticError, "Raise zero to negative power", 0);
          return integer(intPower(a, b));
      }
    }
    case opIntBitNot:
      return integer(~evaluate(expr->operand[0], iattr).ivalue);
    case opIntAbs: {
      int64_t a = evaluate(expr->operand[0], iattr).ivalue;
      return integer(a < 0 ? int64_t(uint64_t(0) - uint64_t(a)) : a);
    }
    case opIntBetween: {
      int64_t v = evaluate(expr->operand[0], iattr).ivalue;
      if (v < evaluate(expr->operand[1], iattr).ivalue) return integer(0);
      return integer(v <= evaluate(expr->operand[2], iattr).ivalue);
    }

    case opRealNeg:
      return real(-evaluate(expr->operand[0], iattr).fvalue);
    case opRealAbs:
      return real(std::fabs(evaluate(expr->operand[0], iattr).fvalue));
    case opRealAdd:
    case opRealSub:
    case opRealMul:
    case opRealDiv:
    case opRealPow: {
      double a = evaluate(expr->operand[0], iattr).fvalue;
      double b = evaluate(expr->operand[1], iattr).fvalue;
      switch (op) {
        case opRealAdd: return real(a + b);
        case opRealSub: return real(a - b);
        case opRealMul: return real(a * b);
        case opRealDiv:
          if (b == 0.0) fail(iattr, dbArithmeticError, "Division by zero", 0);
          return real(a / b);
        default:
          if (a < 0) fail(iattr, dbArithmeticError, "Power operator returns complex result", 0);
          if (a == 0 && b < 0) fail(iattr, dbArithmeticError, "Raise zero to negative power", 0);
          return real(pow(a, b));
      }
    }
    case opRealPowInt: {
      double a = evaluate(expr->operand[0], iattr).fvalue;
      int64_t b = evaluate(expr->operand[1], iattr).ivalue;
      if (a == 0 && b < 0) fail(iattr, dbArithmeticError, "Raise zero to negative power", 0);
      return real(realPowerInt(a, b));
    }
    case opRealBetween: {
      // A NaN anywhere makes BETWEEN false.
      double v = evaluate(expr->operand[0], iattr).fvalue;
      if (!(v >= evaluate(expr->operand[1], iattr).fvalue)) return integer(0);
      return integer(v <= evaluate(expr->operand[2], iattr).fvalue);
    }

    case opRawBetween: {
      auto cmp = expr->raw.comparator != nullptr ? expr->raw.comparator : dbFieldDescriptor::defaultComparator;
      Value v = evaluate(expr->raw.left, iattr);
      if (cmp(v.base, evaluate(expr->raw.right, iattr).base, expr->offset) < 0) return integer(0);
      return integer(cmp(v.base, evaluate(expr->raw.extra, iattr).base, expr->offset) <= 0);
    }
    case int(opBoolCmp) + relEq:
    case int(opBoolCmp) + relNe:
    case int(opRefCmp) + relEq:
    case int(opRefCmp) + relNe: {
      uint32_t a = uint32_t(evaluate(expr->operand[0], iattr).ivalue);
      uint32_t b = uint32_t(evaluate(expr->operand[1], iattr).ivalue);
      bool eq = op == int(opBoolCmp) + relEq || op == int(opRefCmp) + relEq;
      return integer((a == b) == eq);
    }
    case opStrBetween: {
      Value v = evaluate(expr->operand[0], iattr);
      if (strcmp(v.base, evaluate(expr->operand[1], iattr).base) < 0) return integer(0);
      return integer(strcmp(v.base, evaluate(expr->operand[2], iattr).base) <= 0);
    }

    case opLike: {
      Value s = evaluate(expr->operand[0], iattr);
      Value p = evaluate(expr->operand[1], iattr);
      return integer(like(s.base, p.base, 0));
    }
    case opLikeEscape: {
      Value s = evaluate(expr->operand[0], iattr);
      Value p = evaluate(expr->operand[1], iattr);
      Value e = evaluate(expr->operand[2], iattr);
      return integer(like(s.base, p.base, uint8_t(e.base[0])));
    }
    case opInString: {
      Value x = evaluate(expr->operand[0], iattr);
      Value y = evaluate(expr->operand[1], iattr);
      return integer(inString(x, y));
    }

    case opUpper:
    case opLower: {
      Value s = evaluate(expr->operand[0], iattr);
      char* p = iattr.allocate(s.size);
      for (uint32_t i = 0; i < s.size; i++) {
        const int c = uint8_t(s.base[i]);
        p[i] = char(op == opUpper ? toupper(c) : tolower(c));
      }
      return address(p, s.size);
    }
    case opConcat: {
      Value a = evaluate(expr->operand[0], iattr);
      Value b = evaluate(expr->operand[1], iattr);
      const size_t size = size_t(a.size) + b.size - 1;
      char* p = iattr.allocate(size);
      memcpy(p, a.base, a.size - 1);
      memcpy(p + a.size - 1, b.base, b.size);
      return address(p, uint32_t(size));
    }
    case opIntToStr: {
      char text[32];
      int n = snprintf(text, sizeof text, "%" PRId64, evaluate(expr->operand[0], iattr).ivalue);
      return temporary(iattr, text, size_t(n) + 1);
    }
    case opRealToStr: {
      // printf's %f in the C locale (a decimal point whatever the process's locale):
      // up to 309 digits before the point for large values, 6 after it.
      double v = evaluate(expr->operand[0], iattr).fvalue;
      char text[320];
      const std::to_chars_result r = std::to_chars(text, text + sizeof text - 1, v, std::chars_format::fixed, 6);
      *r.ptr = '\0';
      return temporary(iattr, text, size_t(r.ptr - text) + 1);
    }
    case opIntToRef:
      return integer(uint32_t(evaluate(expr->operand[0], iattr).ivalue));
    case opIntToReal:
      return real(double(evaluate(expr->operand[0], iattr).ivalue));
    case opRealToInt:
      return integer(realToInt(evaluate(expr->operand[0], iattr).fvalue));

    case opDeref: {
      Value sattr = evaluate(expr->operand[0], iattr);
      const oid_t oid = oid_t(sattr.ivalue);
      if (oid == 0) fail(iattr, dbNullReferenceError, "Null object reference is accessed", 0);
      // An oid past the object index is no more a live record than a free one.
      if (oid >= iattr.db->workingIdCount) {
        dbAssertionFailed("!(iattr.db->currIndex[sattr.oid] & (dbInternalObjectMarker|dbFreeHandleMarker))",
                          __FILE__, __LINE__);
      }
      if (iattr.db->currIndex[oid] & (dbInternalObjectMarker | dbFreeHandleMarker)) {
        dbAssertionFailed("!(iattr.db->currIndex[sattr.oid] & (dbInternalObjectMarker|dbFreeHandleMarker))",
                          __FILE__, __LINE__);
      }
      return address(iattr.db->baseAddress() + iattr.db->currIndex[oid]);
    }
    case opExists:
      return integer(exists(expr, iattr));
    case opFreeVar: {
      dbAssert(expr->offset < dbMaxExistsSlots);
      dbInheritedAttribute::Slot& slot = iattr.exists[expr->offset];
      slot.read = true;
      return integer(slot.index);
    }
    default:
      dbAssert(false);
      return integer(0);
  }
}

// ---------------------------------------------------------------------------

bool dbDatabase::evaluateCondition(const dbExprNode* condition, oid_t oid, dbTableDescriptor* table,
                                   const char* paramOrigin) {
  dbInheritedAttribute iattr;
  dbEvaluator::prepare(iattr, this, oid, table, paramOrigin);
  if (setjmp(iattr.abandon) != 0) return false;  // a reported error whose report returned
  return dbEvaluator::evaluate(condition, iattr).ivalue != 0;
}

// One context serves every record of the walk, and one setjmp every record up to
// the next reported error: between records only the temporaries are released (a
// completed evaluation leaves its EXISTS slots as it found them). After an error
// the record counts as not holding, the slots are cleared and the walk goes on.
void dbDatabase::scanChain(const dbExprNode* condition, dbTableDescriptor* table, const char* paramOrigin,
                           oid_t first, oid_t last, int stride, bool (*found)(void* arg, oid_t oid), void* arg) {
  auto advance = [&](oid_t id) {
    for (int step = 0; step < stride && id != 0; step++) id = id == last ? 0 : getRecord(id)->nextId;
    return id;
  };
  if (first == 0) return;
  const bool all = condition->op == opVoid;
  dbInheritedAttribute iattr;
  dbEvaluator::prepare(iattr, this, first, table, paramOrigin);
  volatile oid_t resume = first;  // where the walk starts, again after an error
  volatile oid_t failed = 0;      // the record whose evaluation reported an error
  if (setjmp(iattr.abandon) != 0) {
    for (dbInheritedAttribute::Slot& slot : iattr.exists) slot.active = false;
    resume = advance(failed);
  }
  for (oid_t oid = resume; oid != 0; oid = advance(oid)) {
    bool holds = all;
    if (!all) {
      failed = oid;
      iattr.oid = oid;
      iattr.record = reinterpret_cast<char*>(getRecord(oid));
      iattr.scratchUsed = 0;
      if (iattr.overflow != nullptr) iattr.freeOverflow();
      holds = dbEvaluator::evaluate(condition, iattr).ivalue != 0;
    }
    if (holds && !found(arg, oid)) return;
  }
}

int dbDatabase::compareExpressionKey(const dbExprNode* key, oid_t a, oid_t b, dbTableDescriptor* table) {
  // Each record has its own context: a string key of `a` must outlive the
  // evaluation for `b`.
  dbInheritedAttribute ia, ib;
  dbEvaluator::prepare(ia, this, a, table, nullptr);
  dbEvaluator::prepare(ib, this, b, table, nullptr);
  if (setjmp(ia.abandon) != 0) return 0;
  memcpy(ib.abandon, ia.abandon, sizeof(jmp_buf));
  dbSynthesizedAttribute va = dbEvaluator::evaluate(key, ia);
  dbSynthesizedAttribute vb = dbEvaluator::evaluate(key, ib);
  switch (key->resultType) {
    case exBoolean: {
      bool x = uint32_t(va.ivalue) != 0, y = uint32_t(vb.ivalue) != 0;
      return int(x) - int(y);
    }
    case exInteger:
      return va.ivalue < vb.ivalue ? -1 : va.ivalue > vb.ivalue ? 1 : 0;
    case exReference: {
      oid_t x = oid_t(va.ivalue), y = oid_t(vb.ivalue);
      return x < y ? -1 : x > y ? 1 : 0;
    }
    case exReal: {
      // NaN after every number and equal to any NaN, as plain real keys sort.
      const bool na = std::isnan(va.fvalue), nb = std::isnan(vb.fvalue);
      if (na || nb) return int(na) - int(nb);
      return va.fvalue < vb.fvalue ? -1 : va.fvalue > vb.fvalue ? 1 : 0;
    }
    case exString:
      return strcmp(va.base, vb.base);
    default:
      dbAssert(false);
      return 0;
  }
}
