// Compiled queries: typed expression trees, ORDER BY keys and FOLLOW BY fields.
//
// The compiler decides every type once: each operator gets a type-specific
// operation code, so the evaluator never looks at types at run time. The result
// type of a node and the number of operand subtrees it owns are fixed functions of
// its operation code (the tables dbExprNode::nodeTypes and dbExprNode::nodeOperands).
#pragma once

#include <cstddef>
#include <cstdint>

#include "class.h"
#include "sync.h"

enum dbExprResultType : uint8_t {
  exInteger = 0,
  exBoolean = 1,
  exReal = 2,
  exString = 3,
  exReference = 4,
  exArray = 5,
  exRaw = 6,
  exFreeVar = 7,
  exList = 8,
  exVoid = 9,
};

// Operation codes. Families whose members follow a type or relation order are
// addressed as base + offset; the relation tokens are = 20, <> 21, > 22, >= 23,
// < 24, <= 25.
enum dbExprOpCode : uint8_t {
  opOperandField = 0,    // 0..18: field (code = stored type) of the record operand 0 yields
  opOperandRaw = 19,
  opRecordField = 20,    // 20..38: field of the current record (code = 20 + type)
  opRecordRaw = 39,
  opInArray = 40,        // 40..48: left IN array, code = 40 + element type
  opInString = 49,
  opArrayLength = 50,
  opStringLength = 51,
  opArrayElement = 52,   // offset = element size; a load of the element follows
  opStringChar = 53,
  opParam = 53,          // 54..66: parameter, code = 53 + parameter kind
  opParamReserved = 67,
  opTrue = 68,
  opFalse = 69,
  opCurrent = 70,
  opFirst = 71,
  opLast = 72,
  opNull = 73,
  opIntConst = 74,
  opRealConst = 75,
  opStringConst = 76,
  opOr = 77,
  opAnd = 78,
  opNot = 79,
  opIsNull = 80,
  opIntNeg = 81,
  opIntAdd = 82,
  opIntSub = 83,
  opIntMul = 84,
  opIntDiv = 85,
  opIntBitAnd = 86,
  opIntBitOr = 87,
  opIntBitNot = 88,
  opIntAbs = 89,
  opIntPow = 90,
  opIntCmp = 71,         // 91..96: = <> > >= < <=, code = 71 + relation token
  opIntBetween = 97,
  opRealNeg = 98,
  opRealAdd = 99,
  opRealSub = 100,
  opRealMul = 101,
  opRealDiv = 102,
  opRealAbs = 103,
  opRealPow = 104,
  opRealPowInt = 105,
  opRawCmp = 86,         // 106..111, code = 86 + relation token
  opRawBetween = 112,
  opRealCmp = 93,        // 113..118, code = 93 + relation token
  opRealBetween = 119,
  opBoolCmp = 100,       // 120, 121: = <>, code = 100 + relation token
  opRefCmp = 102,        // 122, 123: = <>, code = 102 + relation token
  opStrCmp = 104,        // 124..129, code = 104 + relation token
  opStrBetween = 130,
  opLike = 131,
  opLikeEscape = 132,
  opUpper = 133,
  opLower = 134,
  opIntToRef = 135,
  opIntToReal = 136,
  opRealToInt = 137,
  opIntToStr = 138,
  opRealToStr = 139,
  opConcat = 140,
  opDeref = 141,
  opExists = 142,        // offset = variable slot
  opFreeVar = 143,       // offset = variable slot
  opList = 144,          // operand 0 = preceding cells, operand 1 = this expression
  opUserFunc = 145,      // 145..168: code = 145 + function kind
  opVoid = 169,
};
constexpr int dbExprOpCount = 170;

// Relation tokens as the comparison families count them.
enum dbRelation : uint8_t { relEq = 20, relNe = 21, relGt = 22, relGe = 23, relLt = 24, relLe = 25 };

typedef void (*dbUserFunctionPointer)();  // cast to the kind's signature when called

class dbExprNode {
 public:
  uint8_t op = opVoid;
  uint8_t resultType = exVoid;
  uint16_t offset = 0;  // field offset, element size, EXISTS slot, raw comparator size
  uint32_t height = 1;  // levels of the subtree below and including this node (kept by the compiler)
  union {
    dbExprNode* operand[3];
    struct {
      dbExprNode* base;         // operand 0 of a field load (null for record fields)
      dbFieldDescriptor* field;
    } ref;
    struct {
      char* str;                // owned copy
      uint32_t size;            // bytes with the NUL
    } svalue;
    int64_t ivalue;
    double fvalue;
    void* var;                  // address of a bound parameter
    struct {
      dbExprNode* arg[3];
      dbUserFunctionPointer fptr;
    } func;
    struct {
      dbExprNode* left;
      dbExprNode* right;
      dbExprNode* extra;
      int (*comparator)(const void*, const void*, size_t);
    } raw;
  };

  dbExprNode() : operand{nullptr, nullptr, nullptr} {}

  static const uint8_t nodeTypes[dbExprOpCount];     // result type by op
  static const uint8_t nodeOperands[dbExprOpCount];  // owned operand subtrees by op

  // Nodes come from one process-wide pool (blocks of 1024, a free list).
  static dbExprNode* allocate();
  static void release(dbExprNode* node);  // and its owned operands, recursively
  static dbExprNode* copy(const dbExprNode* node);
  // Nodes currently taken from the pool and not released (for leak checks).
  static size_t liveCount();
};

// One key of ORDER BY, in the order written.
struct dbOrderKey {
  dbOrderKey* next = nullptr;
  dbFieldDescriptor* field = nullptr;  // a plain field key
  dbTableDescriptor* table = nullptr;
  dbExprNode* expression = nullptr;    // otherwise the compiled key
  bool ascending = true;
  ~dbOrderKey();
};

// One field of FOLLOW BY; the list holds them in reverse written order.
struct dbFollowByNode {
  dbFollowByNode* next = nullptr;
  dbFieldDescriptor* field = nullptr;
};

// The compiled part of a query.
class dbCompiledQuery {
 public:
  enum StartKind : uint8_t {
    startFromNone = 0,
    startFromFirst = 1,
    startFromLast = 2,
    startFromRef = 3,
    startFromArray = 4,
    startFromArrayPtr = 5,
  };
  dbExprNode* tree = nullptr;  // null = not compiled
  // The condition as the search tests it on records: `tree` itself, or when it reads
  // through references a copy of it in which a comparison through a null reference
  // does not hold (see dbCompile). Its AND, OR, NOT and EXISTS nodes stand where
  // those of `tree` stand, so a part of `tree` has its counterpart at the same path.
  dbExprNode* scanTree = nullptr;
  dbOrderKey* orderBy = nullptr;
  dbFollowByNode* follow = nullptr;
  dbTableDescriptor* table = nullptr;
  StartKind startFrom = startFromNone;
  void* root = nullptr;  // the start parameter's address for kinds 3..5

  bool compiled() const { return tree != nullptr; }
  void destroy();  // clears the compiled part
};

// ---------------------------------------------------------------------------
// Tokens of the query language (the lexer's results; keywords are interned with
// their token code as tag).
enum dbToken : uint8_t {
  tknIdent = 0, tknLpar = 1, tknRpar = 2, tknLbr = 3, tknRbr = 4, tknDot = 5, tknComma = 6,
  tknPower = 7, tknIconst = 8, tknSconst = 9, tknFconst = 10, tknAdd = 11, tknSub = 12,
  tknMul = 13, tknDiv = 14, tknAnd = 15, tknOr = 16, tknNot = 17, tknNull = 18,
  tknEq = 20, tknNe = 21, tknGt = 22, tknGe = 23, tknLt = 24, tknLe = 25,
  tknBetween = 26, tknEscape = 27, tknExists = 28, tknLike = 29, tknIn = 30,
  tknLength = 31, tknLower = 32, tknUpper = 33, tknAbs = 34, tknIs = 35,
  tknInteger = 36, tknReal = 37, tknString = 38, tknFirst = 39, tknLast = 40,
  tknCurrent = 41, tknVar = 42, tknCol = 43, tknTrue = 44, tknFalse = 45,
  tknWhere = 46, tknFollow = 47, tknStart = 48, tknFrom = 49, tknOrder = 50,
  tknBy = 51, tknAsc = 52, tknDesc = 53, tknEof = 54, tknInsert = 55, tknInto = 56,
  tknSelect = 57, tknTable = 58, tknAll = 60,
};

// The process-wide identifier table: keywords (tag = token code), user-function
// names and whatever else is interned through add(). Equal names share one pointer.
class dbSymbolTable {
 public:
  static constexpr unsigned hashTableSize = 1009;
  // Interns `name` (replaced by the stored pointer) and returns the entry's tag; a new
  // entry gets `tag` and, when `copy` is set, its own copy of the text.
  static int add(const char*& name, int tag, bool copy = true);
  // Looks `name` up without adding it: the stored pointer and tag, or null.
  static const char* find(const char* name, size_t length, int* tag);
  static void loadKeywords();  // once per process; every compiler calls it
  static uint32_t hash(const char* name, size_t length);
};

// Tagged argument of the user functions of kinds 12-23.
struct dbUserFunctionArgument {
  enum ArgumentType : int32_t { atInteger = 0, atBoolean = 1, atString = 2, atReal = 3, atReference = 4, atRawBinary = 5 };
  int32_t type;
  union {
    int64_t intValue;
    bool boolValue;
    const char* strValue;
    double realValue;
    oid_t oidValue;
    const void* rawValue;
  } u;
};

// A function callable from queries, by name. The kind fixes argument and result types:
//   kinds 0-11: one argument of type integer, real, string (kind % 3); result boolean
//   (0-2), integer (3-5), real (6-8) or string (9-11, a heap string freed with delete[]);
//   kinds 12-23: tagged arguments, 1 (12-15), 2 (16-19) or 3 (20-23) of them, result
//   boolean, integer, real or string (kind % 4).
// Signatures, with A = dbUserFunctionArgument passed by value:
//   bool f(int64_t) / bool f(double) / bool f(const char*)           kinds 0, 1, 2
//   int64_t f(...)                                                   kinds 3, 4, 5
//   double f(...)                                                    kinds 6, 7, 8
//   char* f(...)                                                     kinds 9, 10, 11
//   bool / int64_t / double / char* f(A), f(A, A), f(A, A, A)        kinds 12-23
// Constructing one registers it for the process; destroying it removes it.
class dbUserFunction {
 public:
  dbUserFunction(const char* name, bool (*f)(int64_t)) { define(name, dbUserFunctionPointer(f), 0); }
  dbUserFunction(const char* name, bool (*f)(double)) { define(name, dbUserFunctionPointer(f), 1); }
  dbUserFunction(const char* name, bool (*f)(const char*)) { define(name, dbUserFunctionPointer(f), 2); }
  dbUserFunction(const char* name, int64_t (*f)(int64_t)) { define(name, dbUserFunctionPointer(f), 3); }
  dbUserFunction(const char* name, int64_t (*f)(double)) { define(name, dbUserFunctionPointer(f), 4); }
  dbUserFunction(const char* name, int64_t (*f)(const char*)) { define(name, dbUserFunctionPointer(f), 5); }
  dbUserFunction(const char* name, double (*f)(int64_t)) { define(name, dbUserFunctionPointer(f), 6); }
  dbUserFunction(const char* name, double (*f)(double)) { define(name, dbUserFunctionPointer(f), 7); }
  dbUserFunction(const char* name, double (*f)(const char*)) { define(name, dbUserFunctionPointer(f), 8); }
  dbUserFunction(const char* name, char* (*f)(int64_t)) { define(name, dbUserFunctionPointer(f), 9); }
  dbUserFunction(const char* name, char* (*f)(double)) { define(name, dbUserFunctionPointer(f), 10); }
  dbUserFunction(const char* name, char* (*f)(const char*)) { define(name, dbUserFunctionPointer(f), 11); }
  typedef dbUserFunctionArgument A;
  dbUserFunction(const char* name, bool (*f)(A)) { define(name, dbUserFunctionPointer(f), 12); }
  dbUserFunction(const char* name, int64_t (*f)(A)) { define(name, dbUserFunctionPointer(f), 13); }
  dbUserFunction(const char* name, double (*f)(A)) { define(name, dbUserFunctionPointer(f), 14); }
  dbUserFunction(const char* name, char* (*f)(A)) { define(name, dbUserFunctionPointer(f), 15); }
  dbUserFunction(const char* name, bool (*f)(A, A)) { define(name, dbUserFunctionPointer(f), 16); }
  dbUserFunction(const char* name, int64_t (*f)(A, A)) { define(name, dbUserFunctionPointer(f), 17); }
  dbUserFunction(const char* name, double (*f)(A, A)) { define(name, dbUserFunctionPointer(f), 18); }
  dbUserFunction(const char* name, char* (*f)(A, A)) { define(name, dbUserFunctionPointer(f), 19); }
  dbUserFunction(const char* name, bool (*f)(A, A, A)) { define(name, dbUserFunctionPointer(f), 20); }
  dbUserFunction(const char* name, int64_t (*f)(A, A, A)) { define(name, dbUserFunctionPointer(f), 21); }
  dbUserFunction(const char* name, double (*f)(A, A, A)) { define(name, dbUserFunctionPointer(f), 22); }
  dbUserFunction(const char* name, char* (*f)(A, A, A)) { define(name, dbUserFunctionPointer(f), 23); }
  ~dbUserFunction();
  dbUserFunction(const dbUserFunction&) = delete;
  dbUserFunction& operator=(const dbUserFunction&) = delete;

  // Number of arguments a kind takes.
  static int argumentCount(int kind) { return kind < 16 ? 1 : kind < 20 ? 2 : 3; }
  // The registered function of an interned name, or null.
  static dbUserFunction* find(const char* internedName);
  // The name of a registered function pointer (for dumps), or null.
  static const char* nameOf(dbUserFunctionPointer fptr);

  const char* name = nullptr;  // interned
  dbUserFunctionPointer fptr = nullptr;
  int kind = 0;
  dbUserFunction* next = nullptr;

 private:
  void define(const char* name, dbUserFunctionPointer f, int kind);
};
