// The query compiler: identifier table, lexer, recursive-descent parser with type
// checking, the expression-node pool, and a readable dump of compiled trees.
#include "compiler.h"

#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "database.h"
#include "query.h"

// ---------------------------------------------------------------------------
// Result types and operand counts by operation code

namespace {

constexpr uint8_t fieldResultType(int type) {
  switch (type) {
    case dbField::tpBool:
    case dbField::tpMethodBool:
      return exBoolean;
    case dbField::tpInt1:
    case dbField::tpInt2:
    case dbField::tpInt4:
    case dbField::tpInt8:
    case dbField::tpMethodInt1:
    case dbField::tpMethodInt2:
    case dbField::tpMethodInt4:
    case dbField::tpMethodInt8:
      return exInteger;
    case dbField::tpReal4:
    case dbField::tpReal8:
    case dbField::tpMethodReal4:
    case dbField::tpMethodReal8:
      return exReal;
    case dbField::tpString:
    case dbField::tpMethodString:
      return exString;
    case dbField::tpReference:
    case dbField::tpMethodReference:
      return exReference;
    case dbField::tpArray:
      return exArray;
    default:
      return exVoid;
  }
}

constexpr uint8_t paramResultType(int kind) {
  switch (kind) {
    case dbQueryElement::qVarBool:
      return exBoolean;
    case dbQueryElement::qVarInt1:
    case dbQueryElement::qVarInt2:
    case dbQueryElement::qVarInt4:
    case dbQueryElement::qVarInt8:
      return exInteger;
    case dbQueryElement::qVarReal4:
    case dbQueryElement::qVarReal8:
      return exReal;
    case dbQueryElement::qVarString:
    case dbQueryElement::qVarStringPtr:
      return exString;
    case dbQueryElement::qVarReference:
      return exReference;
    case dbQueryElement::qVarArrayOfRef:
    case dbQueryElement::qVarArrayOfRefPtr:
      return exArray;
    case dbQueryElement::qVarRawData:
      return exRaw;
    default:
      return exString;  // the reserved code
  }
}

struct NodeTables {
  uint8_t types[dbExprOpCount];
  uint8_t operands[dbExprOpCount];
};

constexpr NodeTables makeNodeTables() {
  NodeTables t{};
  auto set = [&t](int from, int to, uint8_t type, uint8_t operands) {
    for (int op = from; op <= to; op++) {
      t.types[op] = type;
      t.operands[op] = operands;
    }
  };
  for (int type = 0; type <= 18; type++) {
    set(opOperandField + type, opOperandField + type, fieldResultType(type), 1);
    set(opRecordField + type, opRecordField + type, fieldResultType(type), 0);
  }
  set(opOperandRaw, opOperandRaw, exRaw, 1);
  set(opRecordRaw, opRecordRaw, exRaw, 0);
  set(opInArray, opInString, exBoolean, 2);
  set(opArrayLength, opStringLength, exInteger, 1);
  set(opArrayElement, opStringChar, exInteger, 2);
  for (int kind = 1; kind <= 14; kind++) set(opParam + kind, opParam + kind, paramResultType(kind), 0);
  set(opTrue, opFalse, exBoolean, 0);
  set(opCurrent, opNull, exReference, 0);
  set(opIntConst, opIntConst, exInteger, 0);
  set(opRealConst, opRealConst, exReal, 0);
  set(opStringConst, opStringConst, exString, 0);
  set(opOr, opAnd, exBoolean, 2);
  set(opNot, opIsNull, exBoolean, 1);
  set(opIntNeg, opIntPow, exInteger, 2);
  set(opIntNeg, opIntNeg, exInteger, 1);
  set(opIntBitNot, opIntAbs, exInteger, 1);
  set(int(opIntCmp) + relEq, int(opIntCmp) + relLe, exBoolean, 2);
  set(opIntBetween, opIntBetween, exBoolean, 3);
  set(opRealNeg, opRealPowInt, exReal, 2);
  set(opRealNeg, opRealNeg, exReal, 1);
  set(opRealAbs, opRealAbs, exReal, 1);
  set(int(opRawCmp) + relEq, int(opRawCmp) + relLe, exBoolean, 2);
  set(opRawBetween, opRawBetween, exBoolean, 3);
  set(int(opRealCmp) + relEq, int(opRealCmp) + relLe, exBoolean, 2);
  set(opRealBetween, opRealBetween, exBoolean, 3);
  set(int(opBoolCmp) + relEq, int(opBoolCmp) + relNe, exBoolean, 2);
  set(int(opRefCmp) + relEq, int(opRefCmp) + relNe, exBoolean, 2);
  set(int(opStrCmp) + relEq, int(opStrCmp) + relLe, exBoolean, 2);
  set(opStrBetween, opStrBetween, exBoolean, 3);
  set(opLike, opLike, exBoolean, 2);
  set(opLikeEscape, opLikeEscape, exBoolean, 3);
  set(opUpper, opLower, exString, 1);
  set(opIntToRef, opIntToRef, exReference, 1);
  set(opIntToReal, opIntToReal, exReal, 1);
  set(opRealToInt, opRealToInt, exInteger, 1);
  set(opIntToStr, opRealToStr, exString, 1);
  set(opConcat, opConcat, exString, 2);
  set(opDeref, opDeref, exReference, 1);
  set(opExists, opExists, exBoolean, 1);
  set(opFreeVar, opFreeVar, exFreeVar, 0);
  set(opList, opList, exList, 2);
  static_assert(opUserFunc + 23 == opVoid - 1);
  for (int kind = 0; kind < 24; kind++) {
    constexpr uint8_t byResult[4] = {exBoolean, exInteger, exReal, exString};
    uint8_t type = kind < 12 ? byResult[kind / 3] : byResult[kind % 4];
    set(opUserFunc + kind, opUserFunc + kind, type, uint8_t(kind < 16 ? 1 : kind < 20 ? 2 : 3));
  }
  set(opVoid, opVoid, exVoid, 0);
  return t;
}

constexpr NodeTables nodeTables = makeNodeTables();

}  // namespace

const uint8_t dbExprNode::nodeTypes[dbExprOpCount] = {
#define T(i) nodeTables.types[i]
#define T10(i) T(i), T(i + 1), T(i + 2), T(i + 3), T(i + 4), T(i + 5), T(i + 6), T(i + 7), T(i + 8), T(i + 9)
    T10(0),   T10(10),  T10(20),  T10(30),  T10(40),  T10(50),  T10(60),  T10(70),  T10(80),
    T10(90),  T10(100), T10(110), T10(120), T10(130), T10(140), T10(150), T10(160),
#undef T
#undef T10
};

const uint8_t dbExprNode::nodeOperands[dbExprOpCount] = {
#define T(i) nodeTables.operands[i]
#define T10(i) T(i), T(i + 1), T(i + 2), T(i + 3), T(i + 4), T(i + 5), T(i + 6), T(i + 7), T(i + 8), T(i + 9)
    T10(0),   T10(10),  T10(20),  T10(30),  T10(40),  T10(50),  T10(60),  T10(70),  T10(80),
    T10(90),  T10(100), T10(110), T10(120), T10(130), T10(140), T10(150), T10(160),
#undef T
#undef T10
};

// ---------------------------------------------------------------------------
// The node pool: blocks of 1024 nodes, free nodes linked through operand[0].

namespace {

class dbExprNodeAllocator {
 public:
  static constexpr size_t blockSize = 1024;

  static dbExprNodeAllocator& instance() {
    static dbExprNodeAllocator allocator;
    return allocator;
  }
  ~dbExprNodeAllocator() {
    alive = false;
    while (blocks != nullptr) {
      Block* next = blocks->next;
      ::operator delete(blocks);
      blocks = next;
    }
    freeList = nullptr;
  }

  dbExprNode* allocate() {
    dbCriticalSection cs(mutex);
    if (freeList == nullptr) {
      Block* block = static_cast<Block*>(::operator new(sizeof(Block)));
      block->next = blocks;
      blocks = block;
      for (size_t i = 0; i < blockSize; i++) {
        block->nodes[i].operand[0] = freeList;
        freeList = &block->nodes[i];
      }
    }
    dbExprNode* node = freeList;
    freeList = node->operand[0];
    live += 1;
    return node;
  }

  void deallocate(dbExprNode* node) {
    dbCriticalSection cs(mutex);
    node->operand[0] = freeList;
    freeList = node;
    live -= 1;
  }

  bool alive = true;
  size_t live = 0;
  dbMutex mutex;

 private:
  struct Block {
    Block* next;
    dbExprNode nodes[blockSize];
  };
  dbExprNodeAllocator() = default;
  Block* blocks = nullptr;
  dbExprNode* freeList = nullptr;
};

// Frees one node (and its string) without touching its operands.
void releaseOne(dbExprNode* node) {
  if (node->op == opStringConst) delete[] node->svalue.str;
  dbExprNodeAllocator::instance().deallocate(node);
}

}  // namespace

dbExprNode* dbExprNode::allocate() {
  dbExprNode* node = dbExprNodeAllocator::instance().allocate();
  new (node) dbExprNode();
  return node;
}

void dbExprNode::release(dbExprNode* node) {
  if (node == nullptr || !dbExprNodeAllocator::instance().alive) return;
  for (int i = 0, n = node->op < dbExprOpCount ? nodeOperands[node->op] : 0; i < n; i++) release(node->operand[i]);
  releaseOne(node);
}

dbExprNode* dbExprNode::copy(const dbExprNode* node) {
  if (node == nullptr) return nullptr;
  dbExprNode* result = allocate();
  *result = *node;
  if (node->op == opStringConst) {
    result->svalue.str = new char[node->svalue.size];
    memcpy(result->svalue.str, node->svalue.str, node->svalue.size);
  } else {
    for (int i = 0, n = nodeOperands[node->op]; i < n; i++) result->operand[i] = copy(node->operand[i]);
  }
  return result;
}

size_t dbExprNode::liveCount() {
  dbExprNodeAllocator& pool = dbExprNodeAllocator::instance();
  dbCriticalSection cs(pool.mutex);
  return pool.live;
}

dbOrderKey::~dbOrderKey() { dbExprNode::release(expression); }

void dbCompiledQuery::destroy() {
  if (tree != nullptr && dbExprNodeAllocator::instance().alive) {
    dbCriticalSection cs(dbExprNodeAllocator::instance().mutex);
    if (scanTree != tree) dbExprNode::release(scanTree);
    dbExprNode::release(tree);
    while (orderBy != nullptr) {
      dbOrderKey* next = orderBy->next;
      delete orderBy;
      orderBy = next;
    }
    while (follow != nullptr) {
      dbFollowByNode* next = follow->next;
      delete follow;
      follow = next;
    }
  }
  tree = nullptr;
  scanTree = nullptr;
  orderBy = nullptr;
  follow = nullptr;
  table = nullptr;
  startFrom = startFromNone;
  root = nullptr;
}

// ---------------------------------------------------------------------------
// The identifier table

namespace {

struct SymbolEntry {
  SymbolEntry* next;
  const char* name;
  uint32_t hash;
  int tag;
  bool owned;
};

struct SymbolTableData {
  SymbolEntry* buckets[dbSymbolTable::hashTableSize] = {};
  dbMutex mutex;
  ~SymbolTableData() {
    for (SymbolEntry*& bucket : buckets) {
      while (bucket != nullptr) {
        SymbolEntry* next = bucket->next;
        if (bucket->owned) delete[] bucket->name;
        delete bucket;
        bucket = next;
      }
    }
  }
};

SymbolTableData& symbols() {
  static SymbolTableData data;
  return data;
}

SymbolEntry* findEntry(SymbolTableData& data, const char* name, size_t length, uint32_t h) {
  for (SymbolEntry* e = data.buckets[h % dbSymbolTable::hashTableSize]; e != nullptr; e = e->next) {
    if (e->hash == h && strncmp(e->name, name, length) == 0 && e->name[length] == '\0') return e;
  }
  return nullptr;
}

}  // namespace

uint32_t dbSymbolTable::hash(const char* name, size_t length) {
  uint32_t h = 0;
  for (size_t i = 0; i < length; i++) h = h * 31 + uint8_t(name[i]);
  return h;
}

int dbSymbolTable::add(const char*& name, int tag, bool copy) {
  SymbolTableData& data = symbols();
  size_t length = strlen(name);
  uint32_t h = hash(name, length);
  dbCriticalSection cs(data.mutex);
  if (SymbolEntry* e = findEntry(data, name, length, h)) {
    name = e->name;
    return e->tag;
  }
  const char* stored = name;
  if (copy) {
    char* text = new char[length + 1];
    memcpy(text, name, length + 1);
    stored = text;
  }
  SymbolEntry*& bucket = data.buckets[h % hashTableSize];
  bucket = new SymbolEntry{bucket, stored, h, tag, copy};
  name = stored;
  return tag;
}

const char* dbSymbolTable::find(const char* name, size_t length, int* tag) {
  SymbolTableData& data = symbols();
  uint32_t h = hash(name, length);
  dbCriticalSection cs(data.mutex);
  SymbolEntry* e = findEntry(data, name, length, h);
  if (e == nullptr) return nullptr;
  *tag = e->tag;
  return e->name;
}

void dbSymbolTable::loadKeywords() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const struct {
      const char* name;
      int token;
    } keywords[] = {
        {"all", tknAll},         {"abs", tknAbs},         {"and", tknAnd},       {"asc", tknAsc},
        {"between", tknBetween}, {"by", tknBy},           {"current", tknCurrent}, {"desc", tknDesc},
        {"escape", tknEscape},   {"exists", tknExists},   {"first", tknFirst},   {"false", tknFalse},
        {"follow", tknFollow},   {"from", tknFrom},       {"in", tknIn},         {"is", tknIs},
        {"integer", tknInteger}, {"insert", tknInsert},   {"into", tknInto},     {"last", tknLast},
        {"length", tknLength},   {"like", tknLike},       {"lower", tknLower},   {"not", tknNot},
        {"null", tknNull},       {"or", tknOr},           {"order", tknOrder},   {"real", tknReal},
        {"select", tknSelect},   {"start", tknStart},     {"string", tknString}, {"table", tknTable},
        {"true", tknTrue},       {"upper", tknUpper},     {"where", tknWhere},
    };
    for (const auto& k : keywords) {
      const char* name = k.name;
      add(name, k.token, false);
    }
  });
}

// ---------------------------------------------------------------------------
// The user-function registry

namespace {

struct FunctionRegistry {
  dbMutex mutex;
  dbUserFunction* first = nullptr;
};

FunctionRegistry& functions() {
  static FunctionRegistry registry;
  return registry;
}

}  // namespace

void dbUserFunction::define(const char* functionName, dbUserFunctionPointer f, int functionKind) {
  const char* interned = functionName;
  dbSymbolTable::add(interned, tknIdent, true);
  name = interned;
  fptr = f;
  kind = functionKind;
  FunctionRegistry& registry = functions();
  dbCriticalSection cs(registry.mutex);
  next = registry.first;
  registry.first = this;
}

dbUserFunction::~dbUserFunction() {
  FunctionRegistry& registry = functions();
  dbCriticalSection cs(registry.mutex);
  for (dbUserFunction** p = &registry.first; *p != nullptr; p = &(*p)->next) {
    if (*p == this) {
      *p = next;
      break;
    }
  }
}

dbUserFunction* dbUserFunction::find(const char* internedName) {
  FunctionRegistry& registry = functions();
  dbCriticalSection cs(registry.mutex);
  for (dbUserFunction* f = registry.first; f != nullptr; f = f->next) {
    if (f->name == internedName) return f;
  }
  return nullptr;
}

const char* dbUserFunction::nameOf(dbUserFunctionPointer fptr) {
  FunctionRegistry& registry = functions();
  dbCriticalSection cs(registry.mutex);
  for (dbUserFunction* f = registry.first; f != nullptr; f = f->next) {
    if (f->fptr == fptr) return f->name;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The compiler context

namespace {

// Bounds that keep arbitrary text from exhausting the stack or the memory: the
// parser's recursion, the height of a tree (copies, releases and the evaluator are
// recursive) and the nodes one compilation may build.
constexpr int maxNesting = 1000;
constexpr uint32_t maxTreeHeight = 1000;
constexpr size_t maxNodesPerQuery = 100000;
constexpr size_t maxStringLength = 4096;
constexpr size_t maxNameLength = 4096;
constexpr int maxExistsDepth = 3;

// The C locale, in which real constants are read whatever locale the process has
// set (a decimal comma would otherwise end "2.5" after the 2).
locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
  return c;
}

struct CompileError {};

struct Binding {
  Binding* next;
  std::string name;
  int index;
  bool used;
};

class dbExprCompiler {
 public:
  dbExprCompiler(dbDatabase* database, dbTableDescriptor* queryTable, dbQuery& q)
      : db(database), table(queryTable), query(q) {
    dbSymbolTable::loadKeywords();
    element = query.elements;
    lineOffset = query.positionBase;
  }
  ~dbExprCompiler() {
    delete[] svalue.str;
    for (dbExprNode* node : built) {
      if (node != nullptr) releaseOne(node);
    }
    for (dbOrderKey* key = orderList; key != nullptr;) {
      dbOrderKey* next = key->next;
      key->expression = nullptr;  // its nodes are among `built`
      delete key;
      key = next;
    }
    for (dbFollowByNode* f = follow; f != nullptr;) {
      dbFollowByNode* next = f->next;
      delete f;
      f = next;
    }
  }

  bool compile();

 private:
  // --- lexer
  int scan();
  [[noreturn]] void error(const char* message, int position = -1);
  const char* text() const { return element->data != nullptr ? static_cast<const char*>(element->data) : ""; }

  // --- node building
  dbExprNode* node(int op, dbExprNode* a = nullptr, dbExprNode* b = nullptr, dbExprNode* c = nullptr);
  dbExprNode* copyTree(const dbExprNode* tree);
  void forget(dbExprNode* node);  // releases a node built by this compilation
  dbExprNode* stringConstant();
  dbExprNode* convert(int op, dbExprNode* operand) { return node(op, operand); }
  dbExprNode* load(dbExprNode* base, dbFieldDescriptor* fd);
  dbFieldDescriptor* findField(dbFieldDescriptor* fields, const char* fieldName);
  dbTableDescriptor* findTable(const char* tableName);
  bool sameTable(const char* tableName) const;
  dbExprNode* rawCompare(int op, dbExprNode* left, dbExprNode* right, dbExprNode* extra);
  dbExprNode* listItemCompare(dbExprNode* left, dbExprNode* item, int n);

  // --- grammar
  dbExprNode* disjunction();
  dbExprNode* conjunction();
  dbExprNode* comparison();
  dbExprNode* sum();
  dbExprNode* product();
  void realOperands(dbExprNode*& left, dbExprNode*& right, int leftPos, int rightPos);
  dbExprNode* power();
  dbExprNode* binaryCall();
  dbExprNode* term();
  dbExprNode* postfix(dbExprNode* expr, dbFieldDescriptor* fd, dbTableDescriptor* refTable);
  dbExprNode* userFunction(dbUserFunction* f);
  void startFrom();
  void orderBy();

  struct Nest {
    explicit Nest(dbExprCompiler* c) : compiler(c) {
      if (++compiler->nesting > maxNesting) compiler->error("Expression is too complex");
    }
    ~Nest() { compiler->nesting -= 1; }
    dbExprCompiler* compiler;
  };

  dbDatabase* db;
  dbTableDescriptor* table;
  dbQuery& query;

  // lexer state
  dbQueryElement* element;
  int32_t currPos = 0;
  int32_t firstPos = 0;
  int32_t lineOffset = 0;
  int64_t ivalue = 0;
  double fvalue = 0;
  struct {
    char* str = nullptr;  // owned until a string-constant node takes it
    uint32_t size = 0;
  } svalue;
  const char* name = nullptr;  // interned, or nameBuffer when the name is not interned
  std::string nameBuffer;
  bool pushedBack = false;
  int lex = tknEof;
  int varType = 0;
  const void* varPtr = nullptr;
  const char* varTableName = nullptr;
  dbTableDescriptor* varTable = nullptr;

  // parser state
  Binding* bindings = nullptr;
  int existsDepth = 0;
  int nesting = 0;
  std::vector<dbExprNode*> built;  // every node of this compilation not yet released
  size_t nodesBuilt = 0;
  dbOrderKey* orderList = nullptr;
  dbOrderKey** orderTail = &orderList;
  dbFollowByNode* follow = nullptr;
};

// ---------------------------------------------------------------------------
// Lexer

void dbExprCompiler::error(const char* message, int position) {
  if (position < 0) {
    position = currPos > 0 ? currPos - 1 : 0;
  } else if (position < firstPos) {
    position = firstPos;
  }
  if (position + lineOffset >= 0) position += lineOffset;
  if (db != nullptr) db->reportError(dbQueryError, message, position);
  throw CompileError();
}

int dbExprCompiler::scan() {
  if (pushedBack) {
    pushedBack = false;
    return lex;
  }
  // A string literal no node took (text after the condition, a misplaced literal).
  delete[] svalue.str;
  svalue.str = nullptr;
  for (;;) {
    if (element == nullptr) return tknEof;
    if (element->kind != dbQueryElement::qExpression) {
      varType = element->kind;
      varPtr = element->data;
      varTable = element->refTable;
      varTableName = element->refTableName;
      element = element->next;
      currPos = 0;
      return tknVar;
    }
    const char* s = text();
    int32_t pos = currPos;
    unsigned char ch;
    while ((ch = uint8_t(s[pos])) != '\0' && isspace(ch)) {
      pos += 1;
      if (ch == '\n') {
        lineOffset = -pos;
        firstPos = 0;
      }
    }
    currPos = pos;
    if (ch == '\0') {
      // Past the last piece the position stays at its end, where errors about
      // missing tokens point.
      element = element->next;
      if (element != nullptr) currPos = 0;
      continue;
    }
    pos += 1;
    switch (ch) {
      case '-':
        if (s[pos] == '-') {
          while (s[pos] != '\0' && s[pos] != '\n') pos += 1;
          currPos = pos;
          continue;
        }
        currPos = pos;
        return tknSub;
      case '+':
        currPos = pos;
        return tknAdd;
      case '*':
        currPos = pos;
        return tknMul;
      case '/':
        currPos = pos;
        return tknDiv;
      case '^':
        currPos = pos;
        return tknPower;
      case '.':
        currPos = pos;
        return tknDot;
      case ',':
        currPos = pos;
        return tknComma;
      case '(':
        currPos = pos;
        return tknLpar;
      case ')':
        currPos = pos;
        return tknRpar;
      case '[':
        currPos = pos;
        return tknLbr;
      case ']':
        currPos = pos;
        return tknRbr;
      case ':':
        currPos = pos;
        return tknCol;
      case '=':
        currPos = pos;
        return tknEq;
      case '!':
        currPos = pos;
        if (s[pos] != '=') error("Invalid token '!'");
        currPos = pos + 1;
        return tknNe;
      case '|':
        currPos = pos;
        if (s[pos] != '|') error("Invalid token '|'");
        currPos = pos + 1;
        return tknAdd;
      case '<':
        if (s[pos] == '=') {
          currPos = pos + 1;
          return tknLe;
        }
        if (s[pos] == '>') {
          currPos = pos + 1;
          return tknNe;
        }
        currPos = pos;
        return tknLt;
      case '>':
        if (s[pos] == '=') {
          currPos = pos + 1;
          return tknGe;
        }
        currPos = pos;
        return tknGt;
      case '\'': {
        std::string value;
        for (;;) {
          char c = s[pos];
          if (c == '\0') {
            currPos = pos;
            error("Unterminated character constant");
          }
          pos += 1;
          if (c == '\'') {
            if (s[pos] != '\'') break;
            pos += 1;
          }
          if (value.size() == maxStringLength) {
            currPos = pos;
            error("String constant too long");
          }
          value.push_back(c);
        }
        currPos = pos;
        svalue.size = uint32_t(value.size() + 1);
        svalue.str = new char[svalue.size];
        memcpy(svalue.str, value.c_str(), svalue.size);
        return tknSconst;
      }
      default:
        break;
    }
    if (isdigit(ch)) {
      int32_t start = pos - 1;
      int64_t value = ch - '0';
      int digits = 1;
      while (isdigit(uint8_t(s[pos]))) {
        if (digits < 9) value = value * 10 + (s[pos] - '0');
        digits += 1;
        pos += 1;
      }
      if (s[pos] == '.' || s[pos] == 'e' || s[pos] == 'E') {
        // Digits [. digits] [e [sign] digits]: an exponent mark without digits
        // does not convert.
        int32_t end = pos;
        if (s[end] == '.') {
          end += 1;
          while (isdigit(uint8_t(s[end]))) end += 1;
        }
        if (s[end] == 'e' || s[end] == 'E') {
          end += 1;
          if (s[end] == '+' || s[end] == '-') end += 1;
          if (!isdigit(uint8_t(s[end]))) {
            currPos = end;
            error("Bad floating point constant");
          }
          while (isdigit(uint8_t(s[end]))) end += 1;
        }
        fvalue = strtod_l(s + start, nullptr, cLocale());
        currPos = end;
        return tknFconst;
      }
      currPos = pos;
      if (digits < 10) {
        ivalue = value;
      } else {
        char* end;
        errno = 0;
        long long v = strtoll(s + start, &end, 10);
        if (end != s + pos || errno == ERANGE) error("Bad integer constant");
        ivalue = v;
      }
      return tknIconst;
    }
    if (isalpha(ch) || ch == '_' || ch == '$') {
      int32_t start = pos - 1;
      while (isalnum(uint8_t(s[pos])) || s[pos] == '_' || s[pos] == '$') {
        if (size_t(pos - start) == maxNameLength) {
          currPos = pos + 1;
          error("Name too long");
        }
        pos += 1;
      }
      currPos = pos;
      size_t length = size_t(pos - start);
      int tag = tknIdent;
      // Names are looked up, not added: user text must not grow the process-wide
      // table. A name that is not there is neither a keyword nor a function.
      name = dbSymbolTable::find(s + start, length, &tag);
      if (name == nullptr) {
        nameBuffer.assign(s + start, length);
        name = nameBuffer.c_str();
        tag = tknIdent;
      }
      return tag;
    }
    currPos = pos;
    error("Invalid symbol");
  }
}

// ---------------------------------------------------------------------------
// Node building

dbExprNode* dbExprCompiler::node(int op, dbExprNode* a, dbExprNode* b, dbExprNode* c) {
  if (++nodesBuilt > maxNodesPerQuery) error("Expression is too complex");
  dbExprNode* n = dbExprNode::allocate();
  built.push_back(n);
  n->op = uint8_t(op);
  n->resultType = dbExprNode::nodeTypes[op];
  n->operand[0] = a;
  n->operand[1] = b;
  n->operand[2] = c;
  uint32_t height = 0;
  for (int i = 0; i < dbExprNode::nodeOperands[op]; i++) {
    if (n->operand[i] != nullptr && n->operand[i]->height > height) height = n->operand[i]->height;
  }
  n->height = height + 1;
  if (n->height > maxTreeHeight) error("Expression is too complex");
  return n;
}

dbExprNode* dbExprCompiler::copyTree(const dbExprNode* tree) {
  if (tree == nullptr) return nullptr;
  dbExprNode* result = node(tree->op);
  dbExprNode* saved[3] = {};
  int n = dbExprNode::nodeOperands[tree->op];
  for (int i = 0; i < n; i++) saved[i] = copyTree(tree->operand[i]);
  *result = *tree;
  for (int i = 0; i < n; i++) result->operand[i] = saved[i];
  if (tree->op == opStringConst) {
    result->svalue.str = nullptr;  // not owned until the copy below succeeds
    char* text = new char[tree->svalue.size];
    memcpy(text, tree->svalue.str, tree->svalue.size);
    result->svalue.str = text;
  }
  return result;
}

void dbExprCompiler::forget(dbExprNode* n) {
  if (n == nullptr) return;
  for (int i = 0; i < dbExprNode::nodeOperands[n->op]; i++) forget(n->operand[i]);
  for (size_t i = built.size(); i-- > 0;) {
    if (built[i] == n) {
      built[i] = nullptr;
      break;
    }
  }
  releaseOne(n);
}

dbExprNode* dbExprCompiler::stringConstant() {
  dbExprNode* n = node(opStringConst);
  n->svalue.str = svalue.str;
  n->svalue.size = svalue.size;
  svalue.str = nullptr;
  return n;
}

dbFieldDescriptor* dbExprCompiler::findField(dbFieldDescriptor* fields, const char* fieldName) {
  if (fields == nullptr) return nullptr;
  dbFieldDescriptor* fd = fields;
  do {
    if (fd->name != nullptr && strcmp(fd->name, fieldName) == 0) return fd;
  } while ((fd = fd->next) != fields);
  return nullptr;
}

bool dbExprCompiler::sameTable(const char* tableName) const {
  return tableName != nullptr && (tableName == table->name || strcmp(tableName, table->name) == 0);
}

// The descriptor of a referenced table: the query's own table, the database's
// table of that name, else the program's declared descriptor.
dbTableDescriptor* dbExprCompiler::findTable(const char* tableName) {
  if (tableName == nullptr) return nullptr;
  if (sameTable(tableName)) return table;
  if (db != nullptr) {
    if (dbTableDescriptor* t = db->findTableByName(tableName)) return t;
  }
  for (dbTableDescriptor* t = dbTableDescriptor::chain; t != nullptr; t = t->nextStatic) {
    if (strcmp(t->name, tableName) == 0) return t;
  }
  return nullptr;
}

// The load of field `fd` from the record or structure `base` yields (the current
// record when null). A structure gives no node: a component must follow.
dbExprNode* dbExprCompiler::load(dbExprNode* base, dbFieldDescriptor* fd) {
  if (fd->type == dbField::tpStructure) return base;
  int op;
  if (fd->type == dbField::tpRawBinary) {
    op = base != nullptr ? opOperandRaw : opRecordRaw;
  } else if (fd->type >= dbField::tpBool && fd->type <= dbField::tpMethodReference) {
    op = (base != nullptr ? opOperandField : opRecordField) + fd->type;
  } else {
    error("Field not found");
  }
  dbExprNode* n = node(op, base);
  n->ref.field = fd;
  n->offset = uint16_t(fd->dbsOffs);
  return n;
}

bool isParam(const dbExprNode* n) { return n->op > opParam && n->op <= opParamReserved; }

bool isRawField(const dbExprNode* n) {
  return (n->op == opRecordRaw || n->op == opOperandRaw) && n->ref.field != nullptr;
}

dbExprNode* dbExprCompiler::rawCompare(int op, dbExprNode* left, dbExprNode* right, dbExprNode* extra) {
  dbFieldDescriptor* fd = isRawField(left) ? left->ref.field : isRawField(right) ? right->ref.field : nullptr;
  if (op == opRawBetween) fd = isRawField(left) ? left->ref.field : nullptr;
  if (fd == nullptr) error("Operations with raw binary types should include at least one record field");
  dbExprNode* n = node(op, left, right, extra);
  n->raw.comparator = fd->comparator;
  n->offset = uint16_t(fd->dbsSize);
  return n;
}

// ---------------------------------------------------------------------------
// Grammar

dbExprNode* dbExprCompiler::disjunction() {
  Nest nest(this);
  int leftPos = currPos;
  dbExprNode* left = conjunction();
  if (lex == tknOr) {
    dbExprNode* right = disjunction();
    if (left->resultType == exBoolean && right->resultType == exBoolean) return node(opOr, left, right);
    if (left->resultType == exInteger && right->resultType == exInteger) return node(opIntBitOr, left, right);
    error("Bad operands for OR operator", leftPos);
  }
  return left;
}

dbExprNode* dbExprCompiler::conjunction() {
  Nest nest(this);
  int leftPos = currPos;
  dbExprNode* left = comparison();
  if (lex == tknAnd) {
    dbExprNode* right = conjunction();
    if (left->resultType == exBoolean && right->resultType == exBoolean) return node(opAnd, left, right);
    if (left->resultType == exInteger && right->resultType == exInteger) return node(opIntBitAnd, left, right);
    error("Bad operands for AND operator", leftPos);
  }
  return left;
}

dbExprNode* dbExprCompiler::listItemCompare(dbExprNode* left, dbExprNode* item, int n) {
  int lt = left->resultType, it = item->resultType;
  if (lt == exInteger && it == exInteger) return node(int(opIntCmp) + relEq, left, item);
  if ((lt == exInteger || lt == exReal) && it == exReal) {
    if (lt == exInteger) left = convert(opIntToReal, left);
    return node(int(opRealCmp) + relEq, left, item);
  }
  if (lt == exReal && it == exInteger) return node(int(opRealCmp) + relEq, left, convert(opIntToReal, item));
  if (lt == exReference && (it == exReference || it == exInteger)) {
    if (it == exInteger) item = convert(opIntToRef, item);
    return node(int(opRefCmp) + relEq, left, item);
  }
  if (lt == exInteger && it == exReference) return node(int(opRefCmp) + relEq, convert(opIntToRef, left), item);
  if (lt == exString && it == exString) return node(int(opStrCmp) + relEq, left, item);
  if (lt == exBoolean && it == exBoolean) return node(int(opBoolCmp) + relEq, left, item);
  if (lt == exRaw && it == exRaw) return rawCompare(int(opRawCmp) + relEq, left, item, nullptr);
  char message[128];
  snprintf(message, sizeof message, "Expression %d in right part of IN operator have incompatible type", n);
  error(message);
}

dbExprNode* dbExprCompiler::comparison() {
  Nest nest(this);
  int leftPos = currPos;
  dbExprNode* left = sum();
  int rightPos = currPos;
  bool negate = false;
  if (lex == tknNot) {
    lex = scan();
    if (lex != tknLike && lex != tknBetween && lex != tknIn) error("LIKE, BETWEEN or IN expected");
    negate = true;
    rightPos = currPos;
  }
  dbExprNode* result = nullptr;
  switch (lex) {
    case tknIs: {
      if (left->resultType != exReference) {
        error("IS [NOT] NULL predicate can be applied only to references", leftPos);
      }
      lex = scan();
      bool isNot = false;
      if (lex == tknNot) {
        isNot = true;
        lex = scan();
        if (lex != tknNull) error("NULL expected");
      } else if (lex != tknNull) {
        error("[NOT] NULL expected");
      }
      result = node(opIsNull, left);
      if (isNot) result = node(opNot, result);
      lex = scan();
      break;
    }
    case tknIn: {
      dbExprNode* right = sum();
      switch (right->resultType) {
        case exString:
          if (left->resultType != exString) error("Left operand of IN expression hasn't string type", leftPos);
          result = node(opInString, left, right);
          break;
        case exArray: {
          int elementType;
          if (right->op == int(opParam) + dbQueryElement::qVarArrayOfRef ||
              right->op == int(opParam) + dbQueryElement::qVarArrayOfRefPtr) {
            elementType = dbField::tpReference;
          } else {
            dbFieldDescriptor* fd = right->ref.field;
            elementType = fd != nullptr && fd->components != nullptr ? fd->components->type : dbField::tpUnknown;
          }
          int lt = left->resultType;
          bool match = (lt == exBoolean && elementType == dbField::tpBool) ||
                       (lt == exInteger && elementType >= dbField::tpInt1 && elementType <= dbField::tpInt8) ||
                       (lt == exReal && (elementType == dbField::tpReal4 || elementType == dbField::tpReal8)) ||
                       (lt == exString && elementType == dbField::tpString) ||
                       ((lt == exReference || lt == exInteger) && elementType == dbField::tpReference);
          if (!match) error("Type of selective expression of IN operator doesn't match type of the array", leftPos);
          if (lt == exInteger && elementType == dbField::tpReference) left = convert(opIntToRef, left);
          result = node(opInArray + elementType, left, right);
          break;
        }
        case exList: {
          std::vector<dbExprNode*> items;
          for (dbExprNode* cell = right; cell != nullptr; cell = cell->operand[0]) items.push_back(cell);
          for (size_t i = items.size(); i-- > 0;) {
            dbExprNode* item = items[i]->operand[1];
            int number = int(items.size() - i);
            dbExprNode* cmp = listItemCompare(i == 0 ? left : copyTree(left), item, number);
            result = result == nullptr ? cmp : node(opOr, result, cmp);
          }
          for (dbExprNode* cell : items) {  // the cells themselves; the items now belong to the comparisons
            cell->operand[0] = cell->operand[1] = nullptr;
            forget(cell);
          }
          break;
        }
        default:
          error("List of expressions or array expected", rightPos);
      }
      break;
    }
    case tknBetween: {
      int fromPos = currPos;
      dbExprNode* from = sum();
      if (lex != tknAnd) error("AND expected");
      int tillPos = currPos;
      dbExprNode* till = sum();
      dbExprNode* operands[3] = {left, from, till};
      int positions[3] = {leftPos, fromPos, tillPos};
      bool anyReal = false, allInt = true, allString = true, allRaw = true;
      for (dbExprNode* e : operands) {
        anyReal |= e->resultType == exReal;
        allInt &= e->resultType == exInteger;
        allString &= e->resultType == exString;
        allRaw &= e->resultType == exRaw;
      }
      if (anyReal) {
        for (int i = 0; i < 3; i++) {
          if (operands[i]->resultType == exInteger) {
            operands[i] = convert(opIntToReal, operands[i]);
          } else if (operands[i]->resultType != exReal) {
            error("operand of BETWEEN operator should be of integer, real or string type", positions[i]);
          }
        }
        result = node(opRealBetween, operands[0], operands[1], operands[2]);
      } else if (allInt) {
        result = node(opIntBetween, left, from, till);
      } else if (allString) {
        result = node(opStrBetween, left, from, till);
      } else if (allRaw) {
        result = rawCompare(opRawBetween, left, from, till);
      } else {
        error("operands of BETWEEN operator should be of integer, real or string type", leftPos);
      }
      break;
    }
    case tknLike: {
      dbExprNode* pattern = sum();
      if (left->resultType != exString || pattern->resultType != exString) {
        error("operands of LIKE operator should be of string type", leftPos);
      }
      if (lex == tknEscape) {
        lex = scan();
        if (lex != tknSconst) error("String literal espected after ESCAPE");
        dbExprNode* escape = stringConstant();
        lex = scan();
        result = node(opLikeEscape, left, pattern, escape);
      } else {
        result = node(opLike, left, pattern);
      }
      break;
    }
    case tknEq:
    case tknNe:
    case tknGt:
    case tknGe:
    case tknLt:
    case tknLe: {
      int rel = lex;
      dbExprNode* right = sum();
      int lt = left->resultType, rt = right->resultType;
      int op;
      if (lt == exReal || rt == exReal) {
        if (lt == exInteger) {
          left = convert(opIntToReal, left);
        } else if (lt != exReal) {
          error("operands of relation operator should be of intger, real or string type", leftPos);
        }
        if (rt == exInteger) {
          right = convert(opIntToReal, right);
        } else if (rt != exReal) {
          error("operands of relation operator should be of intger, real or string type", rightPos);
        }
        op = opRealCmp + rel;
      } else if (lt == exInteger && rt == exInteger) {
        op = opIntCmp + rel;
      } else if (lt == exString && rt == exString) {
        op = opStrCmp + rel;
      } else if (lt == exBoolean && rt == exBoolean) {
        if (rel != relEq && rel != relNe) error("Boolean variables can be checked only for equality", leftPos);
        op = opBoolCmp + rel;
      } else if ((lt == exReference && (rt == exReference || rt == exInteger)) ||
                 (lt == exInteger && rt == exReference)) {
        if (rel != relEq && rel != relNe) error("References can be checked only for equality", leftPos);
        if (lt == exInteger) left = convert(opIntToRef, left);
        if (rt == exInteger) right = convert(opIntToRef, right);
        op = opRefCmp + rel;
      } else if (lt == exRaw && rt == exRaw) {
        op = opRawCmp + rel;
      } else {
        error("operands of relation operator should be of integer, real or string type", leftPos);
      }
      if (isParam(left)) {
        static constexpr uint8_t mirror[] = {relEq, relNe, relLt, relLe, relGt, relGe};
        op = op - rel + mirror[rel - relEq];
        std::swap(left, right);
      }
      result = op >= int(opRawCmp) + relEq && op <= int(opRawCmp) + relLe ? rawCompare(op, left, right, nullptr)
                                                               : node(op, left, right);
      break;
    }
    default:
      return left;
  }
  return negate ? node(opNot, result) : result;
}

// Converts the integer operands of a real operation to reals; any other type is an
// error at its operand's position.
void dbExprCompiler::realOperands(dbExprNode*& left, dbExprNode*& right, int leftPos, int rightPos) {
  if (left->resultType == exInteger) {
    left = convert(opIntToReal, left);
  } else if (left->resultType != exReal) {
    error("operands of arithmetic operators should be of integer or real type", leftPos);
  }
  if (right->resultType == exInteger) {
    right = convert(opIntToReal, right);
  } else if (right->resultType != exReal) {
    error("operands of arithmetic operator should be of integer or real type", rightPos);
  }
}

dbExprNode* dbExprCompiler::sum() {
  int leftPos = currPos;
  dbExprNode* left = product();
  while (lex == tknAdd || lex == tknSub) {
    int op = lex;
    int rightPos = currPos;
    dbExprNode* right = product();
    if (left->resultType == exReal || right->resultType == exReal) {
      realOperands(left, right, leftPos, rightPos);
      left = node(op == tknAdd ? opRealAdd : opRealSub, left, right);
    } else if (left->resultType == exInteger && right->resultType == exInteger) {
      left = node(op == tknAdd ? opIntAdd : opIntSub, left, right);
    } else if (left->resultType == exString && right->resultType == exString) {
      if (op != tknAdd) error("Operation - is not defined for strings", rightPos);
      left = node(opConcat, left, right);
    } else {
      error("operands of arithmentic operator should be of integer or real type", leftPos);
    }
  }
  return left;
}

dbExprNode* dbExprCompiler::product() {
  int leftPos = currPos;
  dbExprNode* left = power();
  while (lex == tknMul || lex == tknDiv) {
    int op = lex;
    int rightPos = currPos;
    dbExprNode* right = power();
    if (left->resultType == exReal || right->resultType == exReal) {
      realOperands(left, right, leftPos, rightPos);
      left = node(op == tknMul ? opRealMul : opRealDiv, left, right);
    } else if (left->resultType == exInteger && right->resultType == exInteger) {
      left = node(op == tknMul ? opIntMul : opIntDiv, left, right);
    } else {
      error("operands of arithmentic operator should be of integer or real type", leftPos);
    }
  }
  return left;
}

dbExprNode* dbExprCompiler::power() {
  Nest nest(this);
  int leftPos = currPos;
  dbExprNode* left = binaryCall();
  if (lex != tknPower) return left;
  int rightPos = currPos;
  dbExprNode* right = power();
  if (left->resultType == exReal || right->resultType == exReal) {
    if (left->resultType == exInteger) {
      left = convert(opIntToReal, left);
    } else if (left->resultType != exReal) {
      error("operands of arithmetic operators should be of integer or real type", leftPos);
    }
    if (right->resultType == exReal) return node(opRealPow, left, right);
    if (right->resultType == exInteger) return node(opRealPowInt, left, right);
    error("operands of arithmetic operator should be of integer or real type", rightPos);
  }
  if (left->resultType == exInteger && right->resultType == exInteger) return node(opIntPow, left, right);
  error("operands of arithmentic operator should be of integer or real type", leftPos);
}

bool anyArgumentType(int type) {
  return type == exBoolean || type == exInteger || type == exReal || type == exString || type == exReference ||
         type == exRaw;
}

dbExprNode* dbExprCompiler::binaryCall() {
  dbExprNode* left = term();
  dbUserFunction* f;
  while (lex == tknIdent && (f = dbUserFunction::find(name)) != nullptr) {
    if (dbUserFunction::argumentCount(f->kind) != 2) error("Only function with two arguments can be used as operator");
    int rightPos = currPos;
    dbExprNode* right = term();
    if (!anyArgumentType(left->resultType) || !anyArgumentType(right->resultType)) {
      error("User function should receive parameter of boolean, integer, real, string, reference or user defined type",
            rightPos);
    }
    left = node(opUserFunc + f->kind, left, right);
    left->func.fptr = f->fptr;
  }
  return left;
}

dbExprNode* dbExprCompiler::userFunction(dbUserFunction* f) {
  int pos = currPos;
  int count = dbUserFunction::argumentCount(f->kind);
  dbExprNode* arg = term();
  dbExprNode* result;
  if (count == 1) {
    if (f->kind < 12) {
      static constexpr uint8_t argType[3] = {exInteger, exReal, exString};
      int expected = argType[f->kind % 3];
      if (expected == exReal && arg->resultType == exInteger) {
        arg = convert(opIntToReal, arg);
      } else if (arg->resultType != expected) {
        error("Incompatible function argument", pos);
      }
    } else if (!anyArgumentType(arg->resultType)) {
      error("User function should receive parameter of boolean, integer, real, string, reference or user defined type",
            pos);
    }
    result = node(opUserFunc + f->kind, arg);
  } else {
    if (arg->resultType != exList) error("Too few paramters for user defined function", pos);
    std::vector<dbExprNode*> cells;
    for (dbExprNode* cell = arg; cell != nullptr; cell = cell->operand[0]) cells.push_back(cell);
    if (int(cells.size()) > count) error("Too many parameters for user defined function", pos);
    if (int(cells.size()) < count) error("Too few parameters for user defined function", pos);
    dbExprNode* args[3] = {};
    for (int i = 0; i < count; i++) {
      args[i] = cells[cells.size() - 1 - i]->operand[1];
      if (!anyArgumentType(args[i]->resultType)) {
        error("User function should receive parameters of boolean, integer, real, string, reference or user "
              "defined type",
              pos);
      }
    }
    for (dbExprNode* cell : cells) {
      cell->operand[0] = cell->operand[1] = nullptr;
      forget(cell);
    }
    result = node(opUserFunc + f->kind, args[0], args[1], args[2]);
  }
  result->func.fptr = f->fptr;
  return result;
}

dbExprNode* dbExprCompiler::term() {
  Nest nest(this);
  int pos = currPos;
  lex = scan();
  if (lex == tknWhere) {
    if (firstPos == 0) firstPos = currPos;
    pos = currPos;
    lex = scan();
  }
  dbExprNode* expr;
  switch (lex) {
    case tknIdent: {
      for (Binding* b = bindings; b != nullptr; b = b->next) {
        if (b->name == name) {
          b->used = true;
          expr = node(opFreeVar);
          expr->offset = uint16_t(b->index);
          lex = scan();
          return postfix(expr, nullptr, nullptr);
        }
      }
      if (dbFieldDescriptor* fd = findField(table->columns, name)) {
        expr = load(nullptr, fd);
        lex = scan();
        return postfix(expr, fd, nullptr);
      }
      if (dbUserFunction* f = dbUserFunction::find(name)) {
        expr = userFunction(f);
        return postfix(expr, nullptr, nullptr);
      }
      error("Field not found", pos);
    }
    case tknLpar: {
      expr = disjunction();
      if (lex == tknComma) {
        expr = node(opList, nullptr, expr);
        while (lex == tknComma) expr = node(opList, expr, disjunction());
      }
      if (lex != tknRpar) error("')' expected");
      lex = scan();
      return expr;
    }
    case tknIconst:
      expr = node(opIntConst);
      expr->ivalue = ivalue;
      lex = scan();
      return expr;
    case tknFconst:
      expr = node(opRealConst);
      expr->fvalue = fvalue;
      lex = scan();
      return expr;
    case tknSconst:
      expr = stringConstant();
      lex = scan();
      return postfix(expr, nullptr, nullptr);
    case tknAdd:
      error("Using of unary plus operator has no sence");
    case tknSub: {
      int operandPos = currPos;
      expr = term();
      if (expr->op == opIntConst) {
        expr->ivalue = int64_t(0 - uint64_t(expr->ivalue));
      } else if (expr->resultType == exInteger) {
        expr = node(opIntNeg, expr);
      } else if (expr->op == opRealConst) {
        expr->fvalue = -expr->fvalue;
      } else if (expr->resultType == exReal) {
        expr = node(opRealNeg, expr);
      } else {
        error("Unary minus can be applied only to integer or real expressions", operandPos);
      }
      return expr;
    }
    case tknNot: {
      int operandPos = currPos;
      expr = comparison();
      if (expr->resultType == exBoolean) {
        expr = node(opNot, expr);
      } else if (expr->op == opIntConst) {
        expr->ivalue = ~expr->ivalue;
      } else if (expr->resultType == exInteger) {
        expr = node(opIntBitNot, expr);
      } else {
        error("NOT operator can be applied only to integer or boolean expressions", operandPos);
      }
      return expr;
    }
    case tknNull:
      lex = scan();
      return node(opNull);
    case tknTrue:
      lex = scan();
      return node(opTrue);
    case tknFalse:
      lex = scan();
      return node(opFalse);
    case tknExists: {
      lex = scan();
      if (lex != tknIdent) error("Free variable name expected");
      if (existsDepth >= maxExistsDepth) error("Too many nested EXISTS clauses\n");
      Binding var{bindings, name, existsDepth, false};
      bindings = &var;
      existsDepth += 1;
      lex = scan();
      if (lex != tknCol) error("':' expected");
      int bodyPos = currPos;
      expr = term();
      if (expr->resultType != exBoolean) error("Expresion in EXISTS clause should be of boolean type", bodyPos);
      if (var.used) {
        expr = node(opExists, expr);
        expr->offset = uint16_t(var.index);
      }
      existsDepth -= 1;
      bindings = var.next;
      return expr;
    }
    case tknLength:
    case tknLower:
    case tknUpper:
    case tknAbs:
    case tknInteger:
    case tknReal:
    case tknString: {
      int function = lex;
      int operandPos = currPos;
      expr = term();
      int type = expr->resultType;
      switch (function) {
        case tknLength:
          if (type == exArray) {
            expr = node(opArrayLength, expr);
          } else if (type == exString) {
            expr = node(opStringLength, expr);
          } else {
            error("LENGTH function is defined only for arrays and strings", operandPos);
          }
          break;
        case tknLower:
          if (type != exString) error("LOWER function can be applied only to string argument", operandPos);
          expr = node(opLower, expr);
          break;
        case tknUpper:
          if (type != exString) error("UPPER function can be applied only to string argument", operandPos);
          expr = node(opUpper, expr);
          break;
        case tknAbs:
          if (type == exInteger) {
            expr = node(opIntAbs, expr);
          } else if (type == exReal) {
            expr = node(opRealAbs, expr);
          } else {
            error("ABS function can be applied only to integer or real expression", operandPos);
          }
          break;
        case tknInteger:
          if (type != exReal) error("INTEGER function can be applied only to expression of real type", operandPos);
          expr = node(opRealToInt, expr);
          break;
        case tknReal:
          if (type != exInteger) error("REAL function can be applied only to expression of integer type", operandPos);
          expr = node(opIntToReal, expr);
          break;
        default:
          if (type == exInteger) {
            expr = node(opIntToStr, expr);
          } else if (type == exReal) {
            expr = node(opRealToStr, expr);
          } else {
            error("STRING function can be applied only to integer or real expression", operandPos);
          }
          break;
      }
      return postfix(expr, nullptr, nullptr);
    }
    case tknFirst:
    case tknLast:
    case tknCurrent:
      expr = node(lex == tknFirst ? opFirst : lex == tknLast ? opLast : opCurrent);
      lex = scan();
      return postfix(expr, nullptr, table);
    case tknVar: {
      if (varType < dbQueryElement::qVarBool || varType > dbQueryElement::qVarRawData) error("operand expected", pos);
      expr = node(opParam + varType);
      expr->var = const_cast<void*>(varPtr);
      dbTableDescriptor* refTable = findTable(varTableName);
      if (refTable == nullptr) refTable = varTable;
      lex = scan();
      return postfix(expr, nullptr, refTable);
    }
    case tknStart:
    case tknOrder:
    case tknEof:
      return node(opVoid);
    default:
      error("operand expected", pos);
  }
}

dbExprNode* dbExprCompiler::postfix(dbExprNode* expr, dbFieldDescriptor* fd, dbTableDescriptor* refTable) {
  for (;;) {
    bool structure = fd != nullptr && fd->type == dbField::tpStructure;
    if (lex == tknLbr) {
      if (structure || (expr->resultType != exArray && expr->resultType != exString)) {
        error("Index can be applied only to arrays");
      }
      int indexPos = currPos;
      dbExprNode* index = disjunction();
      if (lex != tknRbr) error("']' expected");
      if (index->resultType != exInteger && index->resultType != exFreeVar) {
        error("Index should have integer type", indexPos);
      }
      lex = scan();
      if (expr->resultType == exString) return node(opStringChar, expr, index);
      dbFieldDescriptor* element = fd != nullptr ? fd->components : nullptr;
      expr = node(opArrayElement, expr, index);
      expr->offset = uint16_t(element != nullptr ? element->dbsSize : sizeof(oid_t));
      fd = element;
      if (element == nullptr) {
        dbExprNode* ref = node(int(opOperandField) + dbField::tpReference, expr);
        expr = ref;  // refTable stays: the elements of a parameter array
      } else {
        expr = load(expr, element);
        refTable = nullptr;
      }
    } else if (lex == tknDot) {
      lex = scan();
      if (lex != tknIdent) error("identifier expected");
      if (structure) {
        dbFieldDescriptor* component = findField(fd->components, name);
        if (component == nullptr) error("Field not found");
        expr = load(expr, component);
        fd = component;
      } else {
        if (expr->resultType != exReference) error("Left operand of '.' should be structure or reference");
        dbTableDescriptor* target = refTable;
        if (target == nullptr && fd != nullptr) {
          target = fd->refTable != nullptr ? fd->refTable : findTable(fd->refTableName);
        }
        dbFieldDescriptor* field = target != nullptr ? findField(target->columns, name) : nullptr;
        if (field == nullptr) error("Field not found");
        expr = load(node(opDeref, expr), field);
        fd = field;
      }
      refTable = nullptr;
      lex = scan();
    } else {
      if (structure) error("'.' expected");
      return expr;
    }
  }
}

void dbExprCompiler::startFrom() {
  lex = scan();
  if (lex != tknFrom) error("FROM expected after START");
  lex = scan();
  switch (lex) {
    case tknFirst:
      query.startFrom = dbCompiledQuery::startFromFirst;
      break;
    case tknLast:
      query.startFrom = dbCompiledQuery::startFromLast;
      break;
    case tknVar:
      switch (varType) {
        case dbQueryElement::qVarReference:
          if (!sameTable(varTableName)) error("Incompatiable type of reference variable");
          query.startFrom = dbCompiledQuery::startFromRef;
          break;
        case dbQueryElement::qVarArrayOfRef:
        case dbQueryElement::qVarArrayOfRefPtr:
          if (!sameTable(varTableName)) error("Incompatiable type of array of reference variable");
          query.startFrom = varType == dbQueryElement::qVarArrayOfRef ? dbCompiledQuery::startFromArray
                                                                      : dbCompiledQuery::startFromArrayPtr;
          break;
        default:
          error("Reference or array of reference variable expected");
      }
      query.root = const_cast<void*>(varPtr);
      break;
    default:
      error("FIRST, LAST or reference varaible expected");
  }
  lex = scan();
  if (lex != tknFollow) return;
  lex = scan();
  if (lex != tknBy) error("BY expected after FOLLOW");
  do {
    lex = scan();
    if (lex != tknIdent) error("Field name expected");
    dbFieldDescriptor* fd = findField(table->columns, name);
    if (fd == nullptr) error("Field not found");
    while (fd->type == dbField::tpStructure) {
      lex = scan();
      if (lex != tknDot) error("'.' expected");
      lex = scan();
      if (lex != tknIdent) error("Field name expected");
      fd = findField(fd->components, name);
      if (fd == nullptr) error("Field not found");
    }
    bool compatible =
        (fd->type == dbField::tpReference && sameTable(fd->refTableName)) ||
        (fd->type == dbField::tpArray && fd->components != nullptr &&
         fd->components->type == dbField::tpReference && sameTable(fd->components->refTableName));
    if (!compatible) error("Follow field should be of compatibale reference or array of reference type");
    follow = new dbFollowByNode{follow, fd};
    lex = scan();
  } while (lex == tknComma);
}

void dbExprCompiler::orderBy() {
  lex = scan();
  if (lex != tknBy) error("BY expected after ORDER");
  int parens = 0;
  do {
    int pos = currPos;
    lex = scan();
    if (lex == tknLpar) {
      parens += 1;
    } else {
      pushedBack = true;
    }
    dbExprNode* expr = disjunction();
    auto* key = new dbOrderKey;
    *orderTail = key;
    orderTail = &key->next;
    key->table = table;
    if ((expr->op >= opRecordField && expr->op <= int(opRecordField) + dbField::tpArray) || expr->op == opRecordRaw) {
      dbAssert(expr->ref.field != nullptr);
      key->field = expr->ref.field;
      forget(expr);
    } else if (expr->op == opArrayLength && expr->operand[0]->op == int(opRecordField) + dbField::tpArray) {
      key->field = expr->operand[0]->ref.field;
      forget(expr);
    } else {
      int type = expr->resultType;
      if (type != exInteger && type != exBoolean && type != exReal && type != exString && type != exReference) {
        error("Expressions in ORDER BY part should have scalar type", pos);
      }
      key->expression = expr;
    }
    if (lex == tknDesc) {
      key->ascending = false;
      lex = scan();
    } else if (lex == tknAsc) {
      lex = scan();
    }
    if (lex == tknRpar) {
      if (parens == 0) error("Unbalanced parentheses ");
      parens -= 1;
      lex = scan();
    }
  } while (lex == tknComma);
}

bool dbExprCompiler::compile() {
  try {
    dbExprNode* tree = disjunction();
    if (tree->resultType != exBoolean && tree->resultType != exVoid) {
      if (db != nullptr) db->reportError(dbQueryError, "Conditional expression should have boolean type\n", 0);
      return false;
    }
    if (lex == tknStart) startFrom();
    if (lex == tknOrder) orderBy();
    query.tree = tree;
    query.table = table;
    query.orderBy = orderList;
    query.follow = follow;
    orderList = nullptr;
    follow = nullptr;
    built.clear();
    return true;
  } catch (const CompileError&) {
    query.startFrom = dbCompiledQuery::startFromNone;
    query.root = nullptr;
    return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The condition as the search tests it
//
// A scan that meets a null reference in `owner.code = 2` would report an error
// (and by default end the process), while a join through an index simply never
// reaches a record whose reference is null. The search therefore tests a copy of
// the condition in which every comparison (any operand of AND, OR, NOT and EXISTS
// that is not one of them) that dereferences references first checks each of them:
// `owner.region.code = 1` becomes
//   owner is not null and (owner.region is not null and owner.region.code = 1)
// so that it is false for a record with a null reference on its path. The
// connectives are copied one for one, so that the search can walk both trees alike.

namespace {

bool dereferences(const dbExprNode* n) {
  if (n == nullptr) return false;
  if (n->op == opDeref) return true;
  for (int i = 0; i < dbExprNode::nodeOperands[n->op]; i++) {
    if (dereferences(n->operand[i])) return true;
  }
  return false;
}

// The reference expressions `n` dereferences, each after those that its own
// expression dereferences.
void dereferenced(const dbExprNode* n, std::vector<const dbExprNode*>& references) {
  if (n == nullptr) return;
  for (int i = 0; i < dbExprNode::nodeOperands[n->op]; i++) dereferenced(n->operand[i], references);
  if (n->op == opDeref) references.push_back(n->operand[0]);
}

dbExprNode* newNode(int op, dbExprNode* a, dbExprNode* b = nullptr) {
  dbExprNode* n = dbExprNode::allocate();
  n->op = uint8_t(op);
  n->resultType = dbExprNode::nodeTypes[op];
  n->operand[0] = a;
  n->operand[1] = b;
  n->height = std::max(a->height, b != nullptr ? b->height : 0) + 1;
  return n;
}

dbExprNode* nullSafeCopy(const dbExprNode* n) {
  if (n->op == opAnd || n->op == opOr || n->op == opNot || n->op == opExists) {
    dbExprNode* result = dbExprNode::allocate();
    *result = *n;  // the op, and the EXISTS slot; the operands are copies of their own
    result->height = 1;
    for (int i = 0; i < dbExprNode::nodeOperands[n->op]; i++) {
      result->operand[i] = nullSafeCopy(n->operand[i]);
      result->height = std::max(result->height, result->operand[i]->height + 1);
    }
    return result;
  }
  dbExprNode* result = dbExprNode::copy(n);
  if (!dereferences(n)) return result;
  std::vector<const dbExprNode*> references;
  dereferenced(n, references);
  for (size_t i = references.size(); i-- > 0;) {
    dbExprNode* notNull = newNode(opNot, newNode(opIsNull, dbExprNode::copy(references[i])));
    result = newNode(opAnd, notNull, result);
  }
  return result;
}

}  // namespace

bool dbCompile(dbQuery& query, dbTableDescriptor* table, dbDatabase* db) {
  query.destroy();
  if (table == nullptr) return false;
  dbExprCompiler compiler(db, table, query);
  if (!compiler.compile()) return false;
  query.scanTree = query.tree;
  if (dereferences(query.tree)) {
    query.scanTree = nullSafeCopy(query.tree);
    if (query.scanTree->height > maxTreeHeight) {
      // Deeper than the evaluator is ever given: the search tests the condition as written.
      dbExprNode::release(query.scanTree);
      query.scanTree = query.tree;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Dump

namespace {

const char* const fieldTypeNames[] = {"bool",         "int1",         "int2",         "int4",        "int8",
                                      "real4",        "real8",        "string",       "ref",         "array",
                                      "method.bool",  "method.int1",  "method.int2",  "method.int4", "method.int8",
                                      "method.real4", "method.real8", "method.string", "method.ref"};
const char* const paramKindNames[] = {"",     "bool",      "int1",   "int2",      "int4",        "int8",
                                      "real4", "real8",    "string", "stringptr", "ref",         "refarray",
                                      "refarrayptr", "raw", "reserved"};
const char* const relationNames[] = {"=", "<>", ">", ">=", "<", "<="};

std::string opName(int op) {
  auto rel = [](int base, int code) { return std::string(relationNames[code - base - relEq]); };
  if (op >= opOperandField && op <= opOperandField + 18) return std::string("load.") + fieldTypeNames[op];
  if (op >= opRecordField && op <= opRecordField + 18) return std::string("field.") + fieldTypeNames[op - opRecordField];
  if (op >= opInArray && op < opInString) return std::string("in.array.") + fieldTypeNames[op - opInArray];
  if (op > opParam && op <= opParamReserved) return std::string("param.") + paramKindNames[op - opParam];
  if (op >= int(opIntCmp) + relEq && op <= int(opIntCmp) + relLe) return "int " + rel(opIntCmp, op);
  if (op >= int(opRawCmp) + relEq && op <= int(opRawCmp) + relLe) return "raw " + rel(opRawCmp, op);
  if (op >= int(opRealCmp) + relEq && op <= int(opRealCmp) + relLe) return "real " + rel(opRealCmp, op);
  if (op >= int(opBoolCmp) + relEq && op <= int(opBoolCmp) + relNe) return "bool " + rel(opBoolCmp, op);
  if (op >= int(opRefCmp) + relEq && op <= int(opRefCmp) + relNe) return "ref " + rel(opRefCmp, op);
  if (op >= int(opStrCmp) + relEq && op <= int(opStrCmp) + relLe) return "string " + rel(opStrCmp, op);
  if (op >= opUserFunc && op < opVoid) return "userfunc." + std::to_string(op - opUserFunc);
  switch (op) {
    case opOperandRaw: return "load.raw";
    case opRecordRaw: return "field.raw";
    case opInString: return "in.string";
    case opArrayLength: return "length.array";
    case opStringLength: return "length.string";
    case opArrayElement: return "element";
    case opStringChar: return "char";
    case opTrue: return "true";
    case opFalse: return "false";
    case opCurrent: return "current";
    case opFirst: return "first";
    case opLast: return "last";
    case opNull: return "null";
    case opIntConst: return "int";
    case opRealConst: return "real";
    case opStringConst: return "string";
    case opOr: return "or";
    case opAnd: return "and";
    case opNot: return "not";
    case opIsNull: return "is.null";
    case opIntNeg: return "int.neg";
    case opIntAdd: return "int +";
    case opIntSub: return "int -";
    case opIntMul: return "int *";
    case opIntDiv: return "int /";
    case opIntBitAnd: return "int.bitand";
    case opIntBitOr: return "int.bitor";
    case opIntBitNot: return "int.bitnot";
    case opIntAbs: return "int.abs";
    case opIntPow: return "int ^";
    case opIntBetween: return "int.between";
    case opRealNeg: return "real.neg";
    case opRealAdd: return "real +";
    case opRealSub: return "real -";
    case opRealMul: return "real *";
    case opRealDiv: return "real /";
    case opRealAbs: return "real.abs";
    case opRealPow: return "real ^";
    case opRealPowInt: return "real ^int";
    case opRawBetween: return "raw.between";
    case opRealBetween: return "real.between";
    case opStrBetween: return "string.between";
    case opLike: return "like";
    case opLikeEscape: return "like.escape";
    case opUpper: return "upper";
    case opLower: return "lower";
    case opIntToRef: return "int.to.ref";
    case opIntToReal: return "int.to.real";
    case opRealToInt: return "real.to.int";
    case opIntToStr: return "int.to.string";
    case opRealToStr: return "real.to.string";
    case opConcat: return "concat";
    case opDeref: return "deref";
    case opExists: return "exists";
    case opFreeVar: return "var";
    case opList: return "list";
    case opVoid: return "void";
    default: return "op" + std::to_string(op);
  }
}

void dump(std::string& out, const dbExprNode* n, int depth) {
  out.append(size_t(depth) * 2, ' ');
  if (n == nullptr) {
    out += "(null)\n";
    return;
  }
  out += opName(n->op);
  int op = n->op;
  if ((op >= opOperandField && op <= opRecordRaw)) {
    if (n->ref.field != nullptr) out += " " + n->ref.field->longName;
  } else if (op == opIntConst) {
    out += " " + std::to_string(n->ivalue);
  } else if (op == opRealConst) {
    // As printf's %.17g in the C locale, whatever the process's locale is.
    char text[64];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, n->fvalue, std::chars_format::general, 17);
    out += " ";
    out.append(text, r.ptr);
  } else if (op == opStringConst) {
    out += " '";
    out.append(n->svalue.str, n->svalue.size > 0 ? n->svalue.size - 1 : 0);
    out += "'";
  } else if (op == opExists || op == opFreeVar) {
    out += " " + std::to_string(n->offset);
  } else if (op == opArrayElement) {
    out += " size " + std::to_string(n->offset);
  } else if ((op >= int(opRawCmp) + relEq && op <= opRawBetween)) {
    out += " size " + std::to_string(n->offset);
  } else if (op >= opUserFunc && op < opVoid) {
    const char* fname = dbUserFunction::nameOf(n->func.fptr);
    out += std::string(" ") + (fname != nullptr ? fname : "?");
  }
  out += "\n";
  int count = op < dbExprOpCount ? dbExprNode::nodeOperands[op] : 0;
  for (int i = 0; i < count; i++) {
    if (op == opList && i == 0 && n->operand[0] == nullptr) continue;
    dump(out, n->operand[i], depth + 1);
  }
}

}  // namespace

std::string dbDumpExpression(const dbExprNode* tree) {
  std::string out;
  dump(out, tree, 0);
  return out;
}
