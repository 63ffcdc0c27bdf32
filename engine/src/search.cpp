// The search: how a cursor's selection is produced for a query. A single-record
// shortcut, a START FROM / FOLLOW BY traversal, index answers, or a scan of the
// table's record chain (in parallel threads for large tables), then the order.
#include <cstring>
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
  scanTable(cursor, query.tree, query.orderBy);
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
  while (!stack.empty()) {
    oid_t oid = stack.back();
    stack.pop_back();
    if (cursor->isSeen(oid)) continue;
    if (all || evaluateCondition(query.tree, oid, cursor->table, cursor->paramOrigin)) {
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

// The value of a literal or parameter operand as a key in the stored layout of
// `fd`; false when the operand is neither (an expression, an array parameter).
struct Key {
  char bytes[8] = {};
  const char* text = nullptr;  // string keys: the characters; raw keys: the value
  const char* data(const dbFieldDescriptor* fd) const {
    return fd->type == dbField::tpString || fd->type == dbField::tpRawBinary ? text : bytes;
  }
};

bool readKey(const dbExprNode* node, const dbFieldDescriptor* fd, const char* origin, Key& key) {
  int64_t integer = 0;
  double real = 0;
  bool isReal = false;
  const char* address = origin + reinterpret_cast<uintptr_t>(node->var);
  switch (node->op) {
    case opIntConst: integer = node->ivalue; break;
    case opRealConst: real = node->fvalue, isReal = true; break;
    case opTrue: integer = 1; break;
    case opFalse: integer = 0; break;
    case opStringConst: key.text = node->svalue.str; return true;
    default: {
      if (node->op <= opParam || node->op > int(opParam) + dbQueryElement::qVarRawData) return false;
      switch (node->op - opParam) {
        case dbQueryElement::qVarBool: integer = *reinterpret_cast<const uint8_t*>(address); break;
        case dbQueryElement::qVarInt1: integer = *reinterpret_cast<const int8_t*>(address); break;
        case dbQueryElement::qVarInt2: integer = *reinterpret_cast<const int16_t*>(address); break;
        case dbQueryElement::qVarInt4: integer = *reinterpret_cast<const int32_t*>(address); break;
        case dbQueryElement::qVarInt8: integer = *reinterpret_cast<const int64_t*>(address); break;
        case dbQueryElement::qVarReal4: real = *reinterpret_cast<const float*>(address), isReal = true; break;
        case dbQueryElement::qVarReal8: real = *reinterpret_cast<const double*>(address), isReal = true; break;
        case dbQueryElement::qVarString: key.text = address; return true;
        case dbQueryElement::qVarStringPtr: {
          const char* s = *reinterpret_cast<const char* const*>(address);
          key.text = s != nullptr ? s : "";
          return true;
        }
        case dbQueryElement::qVarReference: integer = *reinterpret_cast<const oid_t*>(address); break;
        case dbQueryElement::qVarRawData: key.text = address; return true;
        default: return false;  // arrays of references
      }
    }
  }
  switch (fd->type) {
    case dbField::tpBool: key.bytes[0] = char(isReal ? real != 0 : integer != 0); break;
    case dbField::tpInt1: key.bytes[0] = char(isReal ? int64_t(real) : integer); break;
    case dbField::tpInt2: *reinterpret_cast<int16_t*>(key.bytes) = int16_t(isReal ? int64_t(real) : integer); break;
    case dbField::tpInt4: *reinterpret_cast<int32_t*>(key.bytes) = int32_t(isReal ? int64_t(real) : integer); break;
    case dbField::tpInt8: *reinterpret_cast<int64_t*>(key.bytes) = isReal ? int64_t(real) : integer; break;
    case dbField::tpReal4: *reinterpret_cast<float*>(key.bytes) = float(isReal ? real : double(integer)); break;
    case dbField::tpReal8: *reinterpret_cast<double*>(key.bytes) = isReal ? real : double(integer); break;
    case dbField::tpReference: *reinterpret_cast<oid_t*>(key.bytes) = oid_t(integer); break;
    default: return false;
  }
  return true;
}

bool equalKeys(const dbFieldDescriptor* fd, const Key& a, const Key& b) {
  if (fd->type == dbField::tpString) return strcmp(a.text, b.text) == 0;
  if (fd->type == dbField::tpRawBinary) return memcmp(a.text, b.text, fd->dbsSize) == 0;
  return memcmp(a.bytes, b.bytes, fd->dbsSize) == 0;
}

}  // namespace

// Answers one comparison on a field of the query's own table by its index.
// `filter` tests the records found (the rest of a conjunction); false when the
// index cannot answer.
bool dbDatabase::indexLookup(dbAnyCursor* cursor, const dbExprNode* c, const dbExprNode* filter) {
  const dbFieldDescriptor* fd = c->operand[0]->ref.field;
  if (fd == nullptr || (fd->hashTable == 0 && fd->tTree == 0)) return false;
  const int operands = dbExprNode::nodeOperands[c->op];
  Key keys[2];
  bool isLike = c->op == opLike || c->op == opLikeEscape;
  for (int i = 1; i < operands && i < 3; i++) {
    if (isLike && i == 2) break;  // the escape string is read below
    if (!readKey(c->operand[i], fd, cursor->paramOrigin, keys[i - 1])) return false;
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
    sc.firstKey = sc.lastKey = key.data(fd);
    if (fd->hashTable != 0) dbHashTable::find(this, fd->hashTable, sc);
    else dbTtree::find(this, fd->tTree, sc);
    return true;
  };
  auto range = [&]() {
    if (fd->tTree == 0) return false;
    dbTtree::find(this, fd->tTree, sc);
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
  if (relation == relEq) return equality(keys[0]);
  if (relation == relGt || relation == relGe) {
    sc.firstKey = keys[0].data(fd);
    sc.firstKeyInclusion = relation == relGe;
    return range();
  }
  if (relation == relLt || relation == relLe) {
    sc.lastKey = keys[0].data(fd);
    sc.lastKeyInclusion = relation == relLe;
    return range();
  }
  if (op == opIntBetween || op == opRealBetween || op == opStrBetween || op == opRawBetween) {
    if (fd->hashTable != 0 && equalKeys(fd, keys[0], keys[1])) return equality(keys[0]);
    sc.firstKey = keys[0].data(fd);
    sc.lastKey = keys[1].data(fd);
    return range();
  }
  if (isLike && fd->type == dbField::tpString) return likeLookup(c, keys[0].text, sc, filter);
  return false;  // <>, boolean equality, IN and the rest are never looked up
}

// LIKE on an indexed string: a pattern without wildcards is an equality; a fixed
// prefix gives the range [prefix, prefix with its last byte + 1); otherwise the
// scan has to answer.
bool dbDatabase::likeLookup(const dbExprNode* c, const char* pattern, dbSearchContext& sc, const dbExprNode* filter) {
  const dbFieldDescriptor* fd = c->operand[0]->ref.field;
  char escape = '\0';
  if (c->op == opLikeEscape) {
    Key e;
    if (!readKey(c->operand[2], fd, sc.cursor->paramOrigin, e) || e.text == nullptr) return false;
    escape = e.text[0];
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
  std::string low(pattern, wild), high(low);
  if (uint8_t(high.back()) == 255) {
    high.append(3, char(255));
    sc.lastKeyInclusion = true;
  } else {
    high.back() = char(uint8_t(high.back()) + 1);
    sc.lastKeyInclusion = false;
  }
  sc.firstKey = low.c_str();
  sc.firstKeyInclusion = true;
  sc.lastKey = high.c_str();
  // Unless the pattern is the prefix and one trailing %, each record in the range is
  // tested by the pattern itself (or the whole conjunction).
  const bool prefixOnly = pattern[wild] == '%' && pattern[wild + 1] == '\0';
  if (!prefixOnly && filter == nullptr) sc.condition = c;
  dbTtree::find(this, fd->tTree, sc);
  return true;
}

// One condition answered by an index: a comparison on an indexed field of the
// query's own table, or on an indexed field of a table the query's records reach
// through a reference (joined back through the inverse reference, or through the
// index of the reference field itself); `conjunction` names the AND whose right
// side filters.
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
  // Both joins start from a field of a record reached by dereferencing one
  // reference of the current record.
  if (load->ref.base == nullptr || load->ref.base->op != opDeref || fd->defTable == nullptr) return false;
  const dbExprNode* reference = load->ref.base->operand[0];
  const int refLoad = int(opRecordField) + dbField::tpReference;
  const int refElement = int(opOperandField) + dbField::tpReference;

  // The records of the field's table that the comparison selects, found by its index.
  // A LIKE whose range has to be filtered by the pattern would test the pattern's
  // path on the other table's records: such joins are left to the scan.
  if (condition->op == opLike || condition->op == opLikeEscape) return false;
  auto searchTarget = [&](dbAnyCursor& found) {
    found.paramOrigin = cursor->paramOrigin;
    return indexLookup(&found, condition, nullptr);
  };
  auto done = [&]() { return cursor->selection.count >= cursor->maxRows; };

  // Inverse join: the reference (a field of the current record, or an element of
  // an array of references indexed by the innermost EXISTS variable) has an inverse
  // declared, so each record found leads back to the records that refer to it.
  dbFieldDescriptor* inverse = nullptr;
  if (reference->op == refLoad && reference->ref.field != nullptr) {
    inverse = reference->ref.field->inverseRef;
  } else if (reference->op == refElement && reference->ref.field != nullptr &&
             (reference->ref.field->attr & dbFieldDescriptor::ComponentOfArray) && reference->ref.base != nullptr &&
             reference->ref.base->op == opArrayElement && existsDepth > 0) {
    const dbExprNode* element = reference->ref.base;
    const dbExprNode* array = element->operand[0];
    const dbExprNode* index = element->operand[1];
    if (array->op == int(opRecordField) + dbField::tpArray && array->ref.field != nullptr &&
        index->op == opFreeVar && index->offset == innermostSlot) {
      inverse = array->ref.field->inverseRef;
    }
  }
  if (inverse != nullptr && inverse->defTable == fd->defTable &&
      (inverse->type == dbField::tpReference ||
       (inverse->type == dbField::tpArray && inverse->components != nullptr &&
        inverse->components->type == dbField::tpReference))) {
    dbAnyCursor found(*fd->defTable, dbCursorForReading, nullptr, this);
    if (!searchTarget(found)) return false;
    cursor->enableDedup();
    auto add = [&](oid_t oid) {
      if (oid == 0 || cursor->isSeen(oid)) return true;
      if (filter != nullptr && !evaluateCondition(filter, oid, cursor->table, cursor->paramOrigin)) return true;
      return cursor->addToSelection(oid);
    };
    for (dbSelection::segment* seg = found.selection.head; seg != nullptr && !done(); seg = seg->next) {
      for (uint32_t i = 0; i < seg->used && !done(); i++) {
        const char* record = reinterpret_cast<const char*>(getRecord(seg->ids[i]));
        if (inverse->type == dbField::tpReference) {
          if (!add(*reinterpret_cast<const oid_t*>(record + inverse->dbsOffs))) break;
          continue;
        }
        const dbVarying v = *reinterpret_cast<const dbVarying*>(record + inverse->dbsOffs);
        const auto* refs = reinterpret_cast<const oid_t*>(record + v.offset);
        for (uint32_t j = 0; j < v.count; j++) {
          if (!add(refs[j])) break;
        }
      }
    }
    return true;
  }

  // Reference-field join: the reference is a field of the current record with an
  // index of its own; the records referring to each record found are looked up in it.
  if (reference->op != refLoad || existsDepth != 0) return false;
  dbFieldDescriptor* refField = reference->ref.field;
  if (refField == nullptr || (refField->hashTable == 0 && refField->tTree == 0)) return false;
  dbAssert(refField->type == dbField::tpReference);
  dbAnyCursor found(*fd->defTable, dbCursorForReading, nullptr, this);
  if (!searchTarget(found)) return false;
  for (dbSelection::segment* seg = found.selection.head; seg != nullptr && !done(); seg = seg->next) {
    for (uint32_t i = 0; i < seg->used && !done(); i++) {
      const oid_t target = seg->ids[i];
      dbSearchContext sc;
      sc.db = this;
      sc.cursor = cursor;
      sc.condition = filter;
      sc.type = dbField::tpReference;
      sc.sizeofType = int(sizeof(oid_t));
      sc.offs = int(refField->dbsOffs);
      sc.comparator = refField->comparator;
      sc.firstKey = sc.lastKey = reinterpret_cast<const char*>(&target);
      if (refField->hashTable != 0) dbHashTable::find(this, refField->hashTable, sc);
      else dbTtree::find(this, refField->tTree, sc);
    }
  }
  return true;
}

bool dbDatabase::searchByIndexes(dbAnyCursor* cursor, dbQuery& query) {
  const dbExprNode* condition = query.tree;
  dbFieldDescriptor* answered = nullptr;
  if (condition->op == opAnd) {
    if (indexSearch(cursor, condition->operand[0], condition, &answered)) {
      orderAfterIndex(cursor, query, answered, true);
      return true;
    }
  } else {
    if (condition->op == opOr) cursor->enableDedup();
    while (condition->op == opOr && cursor->selection.count < cursor->maxRows &&
           indexSearch(cursor, condition->operand[0], nullptr, &answered)) {
      condition = condition->operand[1];
    }
    if (cursor->selection.count < cursor->maxRows && indexSearch(cursor, condition, nullptr, &answered)) {
      orderAfterIndex(cursor, query, condition == query.tree ? answered : nullptr, false);
      return true;
    }
  }
  // The rest of the condition is answered by an ordered walk or by the scan.
  dbOrderKey* order = query.orderBy;
  if (order != nullptr && order->next == nullptr && order->field != nullptr && order->field->tTree != 0 &&
      order->field->defTable == cursor->table) {
    const dbExprNode* filter = condition->op == opVoid ? nullptr : condition;
    if (order->ascending) dbTtree::traverseForward(this, order->field->tTree, cursor, filter);
    else dbTtree::traverseBackward(this, order->field->tTree, cursor, filter);
    return true;
  }
  if (condition != query.tree) {
    // Some OR branches came from indexes: the scan answers the remaining ones.
    scanTable(cursor, condition, query.orderBy);
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
