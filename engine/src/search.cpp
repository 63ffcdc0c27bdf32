// The search: how a cursor's selection is produced for a query. A single-record
// shortcut, a START FROM / FOLLOW BY traversal, index answers, or a scan of the
// table's record chain (in parallel threads for large tables), then the order.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cursor.h"
#include "hashtab.h"
#include "index.h"
#include "ttree.h"

void dbDatabase::select(dbAnyCursor* cursor, dbQuery& query) {
  dbAssert(opened);
  dbDatabaseThreadContext* ctx = threadContext.get();
  dbAssert(ctx != NULL);
  if (!query.compileFor(cursor->table, this)) return;
  if (!lockDatabase(cursor->type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock)) return;
  if (query.startFrom != dbCompiledQuery::startFromNone) {
    cursor->linkToTransaction();
    followBy(cursor, query);
    return;
  }
  const dbExprNode* tree = query.tree;
  if (tree->op == opVoid && query.orderBy == nullptr) {
    cursor->selectWholeTable();
    return;
  }
  if (selectByIdShortcut(cursor, tree)) return;
  cursor->linkToTransaction();
  if (searchByIndexes(cursor, query)) return;
  scanTable(cursor, query.scanTree != nullptr ? query.scanTree : tree, query.orderBy);
}

// "current = ref" with a reference parameter selects that one record.
bool dbDatabase::selectByIdShortcut(dbAnyCursor* cursor, const dbExprNode* tree) {
  if (tree->op != int(opRefCmp) + int(relEq)) return false;
  const int refParam = int(opParam) + int(dbQueryElement::qVarReference);
  const dbExprNode* param = nullptr;
  if (tree->operand[0]->op == opCurrent && tree->operand[1]->op == refParam) param = tree->operand[1];
  if (tree->operand[1]->op == opCurrent && tree->operand[0]->op == refParam) param = tree->operand[0];
  if (param == nullptr) return false;
  oid_t oid = *reinterpret_cast<const oid_t*>(cursor->paramOrigin + reinterpret_cast<uintptr_t>(param->var));
  if (oid == 0) return true;  // the null reference selects nothing
  cursor->selectById(oid);
  cursor->currId = 0;  // select positions it again
  return true;
}


void dbDatabase::scanTable(dbAnyCursor* cursor, const dbExprNode* condition, dbOrderKey* orderBy) {
  const dbTable* stored = getTableRecord(cursor->table->tableId);
  const bool parallel = cursor->selection.count == 0 && parallelScanThreads - 1 > 0 && stored->nRows >= 1000 &&
                        cursor->maxRows > 1999999999;
  if (parallel) {
    parallelScan(cursor, condition, orderBy);
    return;
  }
  if (cursor->selection.count < cursor->maxRows) {
    auto add = [](void* arg, oid_t oid) { return static_cast<dbAnyCursor*>(arg)->addToSelection(oid); };
    scanChain(condition, cursor->table, cursor->paramOrigin, stored->firstRow, stored->lastRow, 1, add, cursor);
  }
  if (orderBy != nullptr) dbAnyCursor::sortSelection(this, cursor->selection, orderBy);
}

namespace {

struct ScanWorker {
  dbDatabase* db = nullptr;
  const dbExprNode* condition = nullptr;
  dbOrderKey* orderBy = nullptr;
  dbAnyCursor* cursor = nullptr;
  int number = 0;
  int count = 1;
  oid_t first = 0;  // the worker's first record
  oid_t last = 0;   // the table's last record
  dbSelection found;
};

}  // namespace

// Worker w tests records w, w + n, w + 2n ... of the chain into its own selection;
// the caller joins them grouped by worker, or merged in ORDER BY order.
void dbDatabase::parallelScan(dbAnyCursor* cursor, const dbExprNode* condition, dbOrderKey* orderBy) {
  const int n = parallelScanThreads;
  const dbTable* stored = getTableRecord(cursor->table->tableId);
  std::vector<ScanWorker> workers(static_cast<size_t>(n));
  oid_t oid = stored->firstRow;
  for (int w = 0; w < n; w++) {
    ScanWorker& worker = workers[size_t(w)];
    worker.db = this;
    worker.condition = condition;
    worker.orderBy = orderBy;
    worker.cursor = cursor;
    worker.number = w;
    worker.count = n;
    worker.first = oid;
    worker.last = stored->lastRow;
    if (oid != 0) oid = oid == stored->lastRow ? 0 : getRecord(oid)->nextId;
  }
  auto run = [](void* arg) {
    auto* worker = static_cast<ScanWorker*>(arg);
    dbDatabase* db = worker->db;
    auto add = [](void* found, oid_t oid) {
      static_cast<dbSelection*>(found)->add(oid);
      return true;
    };
    db->scanChain(worker->condition, worker->cursor->getTable(), worker->cursor->paramOrigin, worker->first,
                  worker->last, worker->count, add, &worker->found);
    if (worker->orderBy != nullptr) dbAnyCursor::sortSelection(db, worker->found, worker->orderBy);
  };
  std::vector<dbPooledThread*> threads;
  for (int w = 0; w < n - 1; w++) threads.push_back(threadPool.create(run, &workers[size_t(w)]));
  run(&workers[size_t(n - 1)]);
  for (dbPooledThread* t : threads) threadPool.join(t);

  if (orderBy == nullptr) {
    for (ScanWorker& w : workers) cursor->selection.append(w.found);
    return;
  }
  // Merge: the worker whose next record is smallest goes first; ties to the lower number.
  std::vector<dbSelection::segment*> segment(static_cast<size_t>(n));
  std::vector<uint32_t> position(size_t(n), 0);
  for (int w = 0; w < n; w++) segment[size_t(w)] = workers[size_t(w)].found.head;
  while (true) {
    int best = -1;
    for (int w = 0; w < n; w++) {
      if (segment[size_t(w)] == nullptr) continue;
      oid_t candidate = segment[size_t(w)]->ids[position[size_t(w)]];
      if (best < 0 || dbAnyCursor::compareRecords(this, orderBy, candidate,
                                                  segment[size_t(best)]->ids[position[size_t(best)]]) < 0) {
        best = w;
      }
    }
    if (best < 0) break;
    cursor->selection.add(segment[size_t(best)]->ids[position[size_t(best)]]);
    if (++position[size_t(best)] == segment[size_t(best)]->used) {
      segment[size_t(best)] = segment[size_t(best)]->next;
      position[size_t(best)] = 0;
    }
  }
}

// Depth-first traversal from the start records along the follow fields; each record
// is visited once, even when the references form a cycle.
void dbDatabase::followBy(dbAnyCursor* cursor, dbQuery& query) {
  std::vector<oid_t> stack;
  const dbTable* stored = getTableRecord(cursor->table->tableId);
  auto pushArray = [&](const dbAnyArray* array) {
    const auto* refs = static_cast<const oid_t*>(array->base());
    for (size_t i = array->length(); i-- > 0;) {
      if (refs[i] != 0) stack.push_back(refs[i]);
    }
  };
  switch (query.startFrom) {
    case dbCompiledQuery::startFromFirst:
      if (stored->firstRow != 0) stack.push_back(stored->firstRow);
      break;
    case dbCompiledQuery::startFromLast:
      if (stored->lastRow != 0) stack.push_back(stored->lastRow);
      break;
    case dbCompiledQuery::startFromRef:
      if (oid_t oid = *static_cast<const oid_t*>(query.root)) stack.push_back(oid);
      break;
    case dbCompiledQuery::startFromArray:
      pushArray(static_cast<const dbAnyArray*>(query.root));
      break;
    case dbCompiledQuery::startFromArrayPtr:
      pushArray(*static_cast<const dbAnyArray* const*>(query.root));
      break;
    default:
      dbAssertionFailed("false", __FILE__, __LINE__);
  }
  cursor->enableDedup();
  const bool all = query.tree->op == opVoid;
  const dbExprNode* tested = query.scanTree != nullptr ? query.scanTree : query.tree;
  while (!stack.empty()) {
    oid_t oid = stack.back();
    stack.pop_back();
    if (cursor->isSeen(oid)) continue;
    if (all || evaluateCondition(tested, oid, cursor->table, cursor->paramOrigin)) {
      if (!cursor->addToSelection(oid)) break;
    } else {
      cursor->markSeen(oid);
    }
    for (dbFollowByNode* follow = query.follow; follow != nullptr; follow = follow->next) {
      const dbFieldDescriptor* fd = follow->field;
      const char* record = reinterpret_cast<const char*>(getRecord(oid));
      if (fd->type == dbField::tpArray) {
        const dbVarying v = *reinterpret_cast<const dbVarying*>(record + fd->dbsOffs);
        const auto* refs = reinterpret_cast<const oid_t*>(record + v.offset);
        for (uint32_t i = v.count; i-- > 0;) {
          if (refs[i] != 0 && !cursor->isSeen(refs[i])) stack.push_back(refs[i]);
        }
      } else {
        dbAssert(fd->type == dbField::tpReference);
        oid_t next = *reinterpret_cast<const oid_t*>(record + fd->dbsOffs);
        if (next != 0 && !cursor->isSeen(next)) stack.push_back(next);
      }
    }
  }
  if (query.orderBy != nullptr) dbAnyCursor::sortSelection(this, cursor->selection, query.orderBy);
}

// ---------------------------------------------------------------------------
// Index answers

namespace {

bool isDirectLoad(const dbExprNode* node) {
  return (node->op >= opRecordField && node->op <= int(opRecordField) + 18) || node->op == opRecordRaw;
}

// The value of a literal or parameter operand: an integer, a real, or the address
// of a string's characters or of a raw value.
struct Operand {
  enum Kind : uint8_t { integer, real, text } kind = integer;
  int64_t i = 0;
  double r = 0;
  const char* s = nullptr;
};

// False when the operand is neither a literal nor a parameter (an expression, an
// array parameter).
bool readOperand(const dbExprNode* node, const char* origin, Operand& v) {
  auto integer = [&v](int64_t i) {
    v.kind = Operand::integer;
    v.i = i;
    return true;
  };
  auto real = [&v](double r) {
    v.kind = Operand::real;
    v.r = r;
    return true;
  };
  auto text = [&v](const char* s) {
    v.kind = Operand::text;
    v.s = s;
    return true;
  };
  switch (node->op) {
    case opIntConst: return integer(node->ivalue);
    case opRealConst: return real(node->fvalue);
    case opTrue: return integer(1);
    case opFalse: return integer(0);
    case opStringConst: return text(node->svalue.str);
    default: break;
  }
  if (node->op <= opParam || node->op > int(opParam) + dbQueryElement::qVarRawData) return false;
  const char* address = static_cast<const char*>(node->var) + reinterpret_cast<uintptr_t>(origin);
  switch (node->op - opParam) {
    case dbQueryElement::qVarBool: return integer(*reinterpret_cast<const uint8_t*>(address));
    case dbQueryElement::qVarInt1: return integer(*reinterpret_cast<const int8_t*>(address));
    case dbQueryElement::qVarInt2: return integer(*reinterpret_cast<const int16_t*>(address));
    case dbQueryElement::qVarInt4: return integer(*reinterpret_cast<const int32_t*>(address));
    case dbQueryElement::qVarInt8: return integer(*reinterpret_cast<const int64_t*>(address));
    case dbQueryElement::qVarReal4: return real(*reinterpret_cast<const float*>(address));
    case dbQueryElement::qVarReal8: return real(*reinterpret_cast<const double*>(address));
    case dbQueryElement::qVarString: return text(address);
    case dbQueryElement::qVarStringPtr: {
      const char* s = *reinterpret_cast<const char* const*>(address);
      return text(s != nullptr ? s : "");
    }
    case dbQueryElement::qVarReference: return integer(*reinterpret_cast<const oid_t*>(address));
    case dbQueryElement::qVarRawData: return text(address);
    default: return false;  // arrays of references
  }
}

// A key in the stored layout of its field: the characters of a string or a raw
// value, else the field's bytes.
struct Key {
  char bytes[8] = {};
  const char* text = nullptr;
  const char* data() const { return text != nullptr ? text : bytes; }
};

// Numeric fields. The scan widens the field's value (to 64 bits, or to a double)
// and compares it with the operand, so a key is never truncated or rounded to the
// field's size: the comparison is turned into the range of values the field can
// hold that satisfy it, with inclusive bounds, or into nothing.
bool isNumeric(int type) {
  return (type >= dbField::tpBool && type <= dbField::tpReal8) || type == dbField::tpReference;
}
bool isReal(int type) { return type == dbField::tpReal4 || type == dbField::tpReal8; }

void integerRange(int type, int64_t& low, int64_t& high) {
  switch (type) {
    case dbField::tpBool: low = 0, high = 1; break;
    case dbField::tpInt1: low = INT8_MIN, high = INT8_MAX; break;
    case dbField::tpInt2: low = INT16_MIN, high = INT16_MAX; break;
    case dbField::tpInt4: low = INT32_MIN, high = INT32_MAX; break;
    case dbField::tpReference: low = 0, high = UINT32_MAX; break;
    default: low = INT64_MIN, high = INT64_MAX; break;
  }
}

constexpr double infinity = std::numeric_limits<double>::infinity();

// The least float >= d and the greatest float <= d (d is not NaN).
float floatAtLeast(double d) {
  if (d > double(FLT_MAX)) return float(infinity);
  if (d < -double(FLT_MAX)) return d == -infinity ? -float(infinity) : -FLT_MAX;
  float x = float(d);
  return double(x) < d ? std::nextafter(x, float(infinity)) : x;
}
float floatAtMost(double d) {
  if (d < -double(FLT_MAX)) return -float(infinity);
  if (d > double(FLT_MAX)) return d == infinity ? float(infinity) : FLT_MAX;
  float x = float(d);
  return double(x) > d ? std::nextafter(x, -float(infinity)) : x;
}

// A value of a numeric field: `i` for integer fields, `r` for reals.
struct Number {
  int64_t i = 0;
  double r = 0;
};

double realOf(const Operand& v) { return v.kind == Operand::real ? v.r : double(v.i); }

// The least value a field of `type` can hold that is >= v (> v when `strict`);
// false when there is none (always for NaN, which no comparison holds for).
bool leastFrom(int type, const Operand& v, bool strict, Number& n) {
  if (isReal(type)) {
    const double d = realOf(v);
    if (std::isnan(d)) return false;
    double x = type == dbField::tpReal4 ? double(floatAtLeast(d)) : d;
    if (strict && x == d) {
      if (x == infinity) return false;
      x = type == dbField::tpReal4 ? double(std::nextafter(float(x), float(infinity))) : std::nextafter(x, infinity);
    }
    n.r = x;
    return true;
  }
  int64_t low, high;
  integerRange(type, low, high);
  if (v.i > high || (strict && v.i == high)) return false;
  n.i = std::max(strict ? v.i + 1 : v.i, low);
  return true;
}

// The greatest value a field of `type` can hold that is <= v (< v when `strict`).
bool greatestTo(int type, const Operand& v, bool strict, Number& n) {
  if (isReal(type)) {
    const double d = realOf(v);
    if (std::isnan(d)) return false;
    double x = type == dbField::tpReal4 ? double(floatAtMost(d)) : d;
    if (strict && x == d) {
      if (x == -infinity) return false;
      x = type == dbField::tpReal4 ? double(std::nextafter(float(x), -float(infinity))) : std::nextafter(x, -infinity);
    }
    n.r = x;
    return true;
  }
  int64_t low, high;
  integerRange(type, low, high);
  if (v.i < low || (strict && v.i == low)) return false;
  n.i = std::min(strict ? v.i - 1 : v.i, high);
  return true;
}

void encode(int type, const Number& n, Key& key) {
  switch (type) {
    case dbField::tpBool:
    case dbField::tpInt1: key.bytes[0] = char(int8_t(n.i)); break;
    case dbField::tpInt2: {
      const int16_t v = int16_t(n.i);
      memcpy(key.bytes, &v, sizeof v);
      break;
    }
    case dbField::tpInt4: {
      const int32_t v = int32_t(n.i);
      memcpy(key.bytes, &v, sizeof v);
      break;
    }
    case dbField::tpReference: {
      const oid_t v = oid_t(n.i);
      memcpy(key.bytes, &v, sizeof v);
      break;
    }
    case dbField::tpReal4: {
      const float v = float(n.r);  // a float already: exact
      memcpy(key.bytes, &v, sizeof v);
      break;
    }
    case dbField::tpReal8: memcpy(key.bytes, &n.r, sizeof n.r); break;
    default: memcpy(key.bytes, &n.i, sizeof n.i); break;
  }
}

bool sameNumber(int type, const Number& a, const Number& b) { return isReal(type) ? a.r == b.r : a.i == b.i; }

}  // namespace

// Answers one comparison on a field of the query's own table by its index.
// `filter` tests the records found (the rest of a conjunction); false when the
// index cannot answer.
bool dbDatabase::indexLookup(dbAnyCursor* cursor, const dbExprNode* c, const dbExprNode* filter) {
  const dbFieldDescriptor* fd = c->operand[0]->ref.field;
  if (fd == nullptr || (fd->hashTable == 0 && fd->tTree == 0)) return false;
  const int operands = dbExprNode::nodeOperands[c->op];
  const bool isLike = c->op == opLike || c->op == opLikeEscape;
  const bool numeric = isNumeric(fd->type);
  Operand values[2];
  Key keys[2];
  for (int i = 1; i < operands && i < 3; i++) {
    if (isLike && i == 2) break;  // the escape string is read below
    Operand& v = values[i - 1];
    if (!readOperand(c->operand[i], cursor->paramOrigin, v)) return false;
    // An integer field against a real is compared as reals: the scan answers.
    if (numeric ? v.kind == Operand::text || (v.kind == Operand::real && !isReal(fd->type))
                : v.kind != Operand::text) {
      return false;
    }
    keys[i - 1].text = v.s;
  }
  dbSearchContext sc;
  sc.db = this;
  sc.cursor = cursor;
  sc.condition = filter;
  sc.type = fd->type;
  sc.sizeofType = int(fd->dbsSize);
  sc.offs = int(fd->dbsOffs);
  sc.comparator = fd->comparator;
  auto equality = [&](const Key& key) {
    sc.firstKey = sc.lastKey = key.data();
    if (fd->hashTable != 0) dbHashTable::find(this, fd->hashTable, sc);
    else dbTtree::find(this, fd->tTree, sc);
    return true;
  };
  const int op = c->op;
  auto relationOf = [op](int base) { return op - base; };
  int relation = 0;
  if (op >= int(opIntCmp) + relEq && op <= int(opIntCmp) + relLe) relation = relationOf(opIntCmp);
  else if (op >= int(opRealCmp) + relEq && op <= int(opRealCmp) + relLe) relation = relationOf(opRealCmp);
  else if (op >= int(opStrCmp) + relEq && op <= int(opStrCmp) + relLe) relation = relationOf(opStrCmp);
  else if (op >= int(opRawCmp) + relEq && op <= int(opRawCmp) + relLe) relation = relationOf(opRawCmp);
  else if (op == int(opRefCmp) + relEq) relation = relEq;
  const bool between = op == opIntBetween || op == opRealBetween || op == opStrBetween || op == opRawBetween;

  if (numeric) {
    // Returning true with nothing found: no value the field can hold satisfies it.
    const int type = fd->type;
    Number low, high;
    auto numberEquality = [&](const Number& n) {
      Key k;
      encode(type, n, k);
      equality(k);
      if (isReal(type) && n.r == 0 && fd->hashTable != 0) {
        // 0.0 and -0.0 are equal, but their bytes hash apart.
        Number other;
        other.r = -n.r;
        encode(type, other, k);
        equality(k);
      }
      return true;
    };
    bool hasLow = false, hasHigh = false;
    if (relation == relEq) {
      if (!leastFrom(type, values[0], false, low)) return true;
      if (!greatestTo(type, values[0], false, high) || !sameNumber(type, low, high)) return true;
      return numberEquality(low);
    } else if (relation == relGt || relation == relGe) {
      if (!leastFrom(type, values[0], relation == relGt, low)) return true;
      hasLow = true;
    } else if (relation == relLt || relation == relLe) {
      if (!greatestTo(type, values[0], relation == relLt, high)) return true;
      hasHigh = true;
    } else if (between) {
      if (!leastFrom(type, values[0], false, low) || !greatestTo(type, values[1], false, high)) return true;
      if (fd->hashTable != 0 && sameNumber(type, low, high)) return numberEquality(low);
      hasLow = hasHigh = true;
    } else {
      return false;  // <>, boolean equality and the rest are never looked up
    }
    if (fd->tTree == 0) return false;
    if (isReal(type) && !hasHigh) {
      high.r = infinity;  // the tree keeps NaN after +inf; no comparison selects it
      hasHigh = true;
    }
    Key first, last;
    encode(type, low, first);
    encode(type, high, last);
    sc.firstKey = hasLow ? first.bytes : nullptr;
    sc.lastKey = hasHigh ? last.bytes : nullptr;
    sc.firstKeyInclusion = sc.lastKeyInclusion = true;
    dbTtree::find(this, fd->tTree, sc);
    return true;
  }

  auto range = [&]() {
    if (fd->tTree == 0) return false;
    dbTtree::find(this, fd->tTree, sc);
    return true;
  };
  auto equalKeys = [&](const Key& a, const Key& b) {
    if (fd->type == dbField::tpString) return strcmp(a.text, b.text) == 0;
    return memcmp(a.text, b.text, fd->dbsSize) == 0;
  };
  if (relation == relEq) return equality(keys[0]);
  if (relation == relGt || relation == relGe) {
    sc.firstKey = keys[0].data();
    sc.firstKeyInclusion = relation == relGe;
    return range();
  }
  if (relation == relLt || relation == relLe) {
    sc.lastKey = keys[0].data();
    sc.lastKeyInclusion = relation == relLe;
    return range();
  }
  if (between) {
    if (fd->hashTable != 0 && equalKeys(keys[0], keys[1])) return equality(keys[0]);
    sc.firstKey = keys[0].data();
    sc.lastKey = keys[1].data();
    return range();
  }
  if (isLike && fd->type == dbField::tpString) return likeLookup(c, keys[0].text, sc, filter);
  return false;  // <> and the rest are never looked up
}

// LIKE on an indexed string: a pattern without wildcards is an equality; a fixed
// prefix gives the range of the strings that start with it; otherwise the scan has
// to answer.
bool dbDatabase::likeLookup(const dbExprNode* c, const char* pattern, dbSearchContext& sc, const dbExprNode* filter) {
  const dbFieldDescriptor* fd = c->operand[0]->ref.field;
  char escape = '\0';
  if (c->op == opLikeEscape) {
    Operand e;
    if (!readOperand(c->operand[2], sc.cursor->paramOrigin, e) || e.kind != Operand::text) return false;
    escape = e.s[0];
  }
  size_t wild = 0;
  while (pattern[wild] != '\0' && pattern[wild] != '%' && pattern[wild] != '_' &&
         (escape == '\0' || pattern[wild] != escape)) {
    wild++;
  }
  if (pattern[wild] == '\0') {
    sc.firstKey = sc.lastKey = pattern;
    if (fd->hashTable != 0) dbHashTable::find(this, fd->hashTable, sc);
    else dbTtree::find(this, fd->tTree, sc);
    return true;
  }
  if (fd->tTree == 0) return false;
  if (wild == 0) {
    if (pattern[0] != '%' || pattern[1] != '\0') return false;
    sc.firstKey = sc.lastKey = nullptr;  // "%": the whole tree
    dbTtree::find(this, fd->tTree, sc);
    return true;
  }
  // Every extension of the prefix lies below the prefix without its trailing 255
  // bytes and with the last byte left increased; a prefix of 255 bytes only has no
  // upper bound.
  std::string low(pattern, wild), high(low);
  while (!high.empty() && uint8_t(high.back()) == 255) high.pop_back();
  sc.firstKey = low.c_str();
  sc.firstKeyInclusion = true;
  if (high.empty()) {
    sc.lastKey = nullptr;
  } else {
    high.back() = char(uint8_t(high.back()) + 1);
    sc.lastKey = high.c_str();
    sc.lastKeyInclusion = false;
  }
  // Unless the pattern is the prefix and one trailing %, each record in the range is
  // tested by the pattern itself, together with the rest of the conjunction.
  const bool prefixOnly = pattern[wild] == '%' && pattern[wild + 1] == '\0';
  dbExprNode both;
  if (!prefixOnly) {
    if (filter == nullptr) {
      sc.condition = c;
    } else {
      both.op = opAnd;
      both.resultType = exBoolean;
      both.operand[0] = const_cast<dbExprNode*>(c);
      both.operand[1] = const_cast<dbExprNode*>(filter);
      sc.condition = &both;
    }
  }
  dbTtree::find(this, fd->tTree, sc);
  return true;
}

// One condition answered by an index: a comparison on an indexed field of the
// query's own table, or on an indexed field of a table the query's records reach
// through one or more references; `conjunction` names the AND whose right side
// filters.
bool dbDatabase::indexSearch(dbAnyCursor* cursor, const dbExprNode* condition, const dbExprNode* conjunction,
                             dbFieldDescriptor** answered) {
  int existsDepth = 0;
  int innermostSlot = -1;
  while (condition->op == opExists) {
    innermostSlot = condition->offset;
    existsDepth += 1;
    condition = condition->operand[0];
  }
  if (dbExprNode::nodeOperands[condition->op] < 2) return false;
  const dbExprNode* load = condition->operand[0];
  const bool operandLoad = (load->op >= opOperandField && load->op <= int(opOperandField) + 18) ||
                           load->op == opOperandRaw;
  if (!isDirectLoad(load) && !operandLoad) return false;
  dbFieldDescriptor* fd = load->ref.field;
  if (fd == nullptr || (fd->hashTable == 0 && fd->tTree == 0)) return false;
  const dbExprNode* filter = conjunction != nullptr ? conjunction->operand[1] : nullptr;
  if (isDirectLoad(load)) {
    if (!indexLookup(cursor, condition, filter)) return false;
    *answered = fd;
    return true;
  }
  if (fd->defTable == nullptr) return false;

  // A join. The field belongs to a record reached by dereferencing a chain of
  // references, the first of them one of the current record (a field, or an element
  // of an array of references indexed by the innermost EXISTS variable). The records
  // of the field's table that the comparison selects are found by its index, then
  // led back hop by hop to the records that refer to them: through the inverse of
  // the reference, or through the index of the reference field itself. A record
  // whose reference is null is never reached, as the scan leaves it out too.
  struct Hop {
    dbFieldDescriptor* inverse = nullptr;  // in the referenced table: the records referring to it
    dbFieldDescriptor* keyed = nullptr;    // otherwise the reference field, which has an index
    dbTableDescriptor* table = nullptr;    // the table of the referring records
  };
  std::vector<Hop> hops;  // from the field's table back to the query's own
  const int refLoad = int(opRecordField) + dbField::tpReference;
  const int refElement = int(opOperandField) + dbField::tpReference;
  auto hasIndex = [](const dbFieldDescriptor* f) { return f->hashTable != 0 || f->tTree != 0; };
  dbTableDescriptor* target = fd->defTable;  // the table the current hop's reference leads to
  for (const dbExprNode* base = load->ref.base;;) {
    if (base == nullptr || base->op != opDeref) return false;
    const dbExprNode* reference = base->operand[0];
    if (reference->op != refLoad && reference->op != refElement) return false;
    dbFieldDescriptor* rf = reference->ref.field;
    if (rf == nullptr) return false;
    const dbExprNode* holder = reference->op == refElement ? reference->ref.base : nullptr;
    Hop hop;
    bool last = true;  // the reference belongs to the current record
    if (reference->op == refLoad) {
      hop.table = cursor->table;
      hop.inverse = rf->inverseRef;
      if (existsDepth == 0 && hasIndex(rf)) hop.keyed = rf;
    } else if (holder != nullptr && holder->op == opDeref) {
      // A reference field of a record reached through the reference before it.
      if (rf->defTable == nullptr || reference->offset != rf->dbsOffs) return false;
      hop.table = rf->defTable;
      hop.inverse = rf->inverseRef;
      if (hasIndex(rf)) hop.keyed = rf;
      last = false;
      base = holder;
    } else if (holder != nullptr && holder->op == opArrayElement && existsDepth > 0 &&
               (rf->attr & dbFieldDescriptor::ComponentOfArray)) {
      const dbExprNode* array = holder->operand[0];
      const dbExprNode* index = holder->operand[1];
      if (array->op != int(opRecordField) + dbField::tpArray || array->ref.field == nullptr ||
          index->op != opFreeVar || index->offset != innermostSlot) {
        return false;
      }
      hop.table = cursor->table;
      hop.inverse = array->ref.field->inverseRef;
    } else {
      return false;
    }
    const dbFieldDescriptor* inverse = hop.inverse;
    if (inverse != nullptr &&
        (inverse->defTable != target ||
         !(inverse->type == dbField::tpReference ||
           (inverse->type == dbField::tpArray && inverse->components != nullptr &&
            inverse->components->type == dbField::tpReference)))) {
      hop.inverse = nullptr;
    }
    if (hop.inverse == nullptr && hop.keyed == nullptr) return false;
    dbAssert(hop.keyed == nullptr || hop.keyed->type == dbField::tpReference);
    hops.push_back(hop);
    if (last) break;
    target = hop.table;
  }

  // The records of the field's table. A LIKE is looked up through a copy that reads
  // the field of those records directly, since the records of a prefix range are
  // tested by the pattern there.
  dbExprNode direct, like;
  const dbExprNode* comparison = condition;
  if (condition->op == opLike || condition->op == opLikeEscape) {
    direct.op = uint8_t(int(opRecordField) + fd->type);
    direct.resultType = load->resultType;
    direct.offset = load->offset;
    direct.ref.base = nullptr;
    direct.ref.field = fd;
    like = *condition;
    like.operand[0] = &direct;
    comparison = &like;
  }
  dbAnyCursor found(*fd->defTable, dbCursorForReading, nullptr, this);
  found.paramOrigin = cursor->paramOrigin;
  if (!indexLookup(&found, comparison, nullptr)) return false;

  std::vector<oid_t> records;  // found in the table the current hop leads to
  auto collect = [&records](const dbSelection& selection) {
    records.clear();
    for (const dbSelection::segment* seg = selection.head; seg != nullptr; seg = seg->next) {
      records.insert(records.end(), seg->ids, seg->ids + seg->used);
    }
  };
  collect(found.selection);
  cursor->enableDedup();
  for (size_t h = 0; h < hops.size() && !records.empty(); h++) {
    const Hop& hop = hops[h];
    const bool last = h + 1 == hops.size();
    dbAnyCursor referring(*hop.table, dbCursorForReading, nullptr, this);
    dbAnyCursor* into = last ? cursor : &referring;
    if (!last) referring.enableDedup();
    const dbExprNode* test = last ? filter : nullptr;
    auto add = [&](oid_t oid) {  // false when the cursor is full
      if (oid == 0 || into->isSeen(oid)) return true;
      if (test != nullptr && !evaluateCondition(test, oid, into->table, cursor->paramOrigin)) return true;
      return into->addToSelection(oid);
    };
    bool more = true;
    for (size_t i = 0; i < records.size() && more; i++) {
      const oid_t to = records[i];
      if (hop.inverse != nullptr) {
        const char* record = reinterpret_cast<const char*>(getRecord(to));
        if (hop.inverse->type == dbField::tpReference) {
          more = add(*reinterpret_cast<const oid_t*>(record + hop.inverse->dbsOffs));
          continue;
        }
        const dbVarying v = *reinterpret_cast<const dbVarying*>(record + hop.inverse->dbsOffs);
        const auto* refs = reinterpret_cast<const oid_t*>(record + v.offset);
        for (uint32_t j = 0; j < v.count && more; j++) more = add(refs[j]);
        continue;
      }
      dbSearchContext sc;
      sc.db = this;
      sc.cursor = into;
      sc.condition = test;
      sc.type = dbField::tpReference;
      sc.sizeofType = int(sizeof(oid_t));
      sc.offs = int(hop.keyed->dbsOffs);
      sc.comparator = hop.keyed->comparator;
      sc.firstKey = sc.lastKey = reinterpret_cast<const char*>(&to);
      if (hop.keyed->hashTable != 0) dbHashTable::find(this, hop.keyed->hashTable, sc);
      else dbTtree::find(this, hop.keyed->tTree, sc);
      more = into->selection.count < into->maxRows;
    }
    if (!last) collect(referring.selection);
  }
  return true;
}

bool dbDatabase::searchByIndexes(dbAnyCursor* cursor, dbQuery& query) {
  // `tested` walks the tree the records are tested by alongside the condition.
  const dbExprNode* condition = query.tree;
  const dbExprNode* tested = query.scanTree != nullptr ? query.scanTree : query.tree;
  dbFieldDescriptor* answered = nullptr;
  if (condition->op == opAnd) {
    if (indexSearch(cursor, condition->operand[0], tested, &answered)) {
      orderAfterIndex(cursor, query, answered, true);
      return true;
    }
  } else {
    if (condition->op == opOr) cursor->enableDedup();
    while (condition->op == opOr && cursor->selection.count < cursor->maxRows &&
           indexSearch(cursor, condition->operand[0], nullptr, &answered)) {
      condition = condition->operand[1];
      tested = tested->operand[1];
    }
    if (cursor->selection.count < cursor->maxRows && indexSearch(cursor, condition, nullptr, &answered)) {
      orderAfterIndex(cursor, query, condition == query.tree ? answered : nullptr, false);
      return true;
    }
  }
  // The rest of the condition is answered by an ordered walk or by the scan. The walk
  // gives the order only when it selects every record: after OR branches answered by
  // indexes, the scan adds the others and the whole selection is sorted.
  dbOrderKey* order = query.orderBy;
  if (condition == query.tree && order != nullptr && order->next == nullptr && order->field != nullptr &&
      order->field->tTree != 0 && order->field->defTable == cursor->table) {
    const dbExprNode* filter = condition->op == opVoid ? nullptr : tested;
    if (order->ascending) dbTtree::traverseForward(this, order->field->tTree, cursor, filter);
    else dbTtree::traverseBackward(this, order->field->tTree, cursor, filter);
    return true;
  }
  if (condition != query.tree) {
    // Some OR branches came from indexes: the scan answers the remaining ones.
    scanTable(cursor, tested, query.orderBy);
    return true;
  }
  return false;
}

// After an index answered: a single index scan of the only ORDER BY field already
// gives the order (reversed for DESC); anything else is sorted.
void dbDatabase::orderAfterIndex(dbAnyCursor* cursor, dbQuery& query, dbFieldDescriptor* answered, bool conjunction) {
  dbOrderKey* order = query.orderBy;
  if (order == nullptr) return;
  (void)conjunction;  // a conjunction's filter keeps the order of the index scan
  const bool inKeyOrder = order->next == nullptr && order->field != nullptr && answered != nullptr &&
                          order->field == answered && answered->defTable == cursor->table;
  if (inKeyOrder) {
    if (!order->ascending) cursor->selection.reverse();
    return;
  }
  dbAnyCursor::sortSelection(this, cursor->selection, order);
}
