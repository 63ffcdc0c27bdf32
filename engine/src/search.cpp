// The search: how a cursor's selection is produced for a query. A single-record
// shortcut, a START FROM / FOLLOW BY traversal, index answers, or a scan of the
// table's record chain (in parallel threads for large tables), then the order.
#include <cstring>
#include <vector>

#include "cursor.h"

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
  scanTable(cursor, query);
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

bool dbDatabase::searchByIndexes(dbAnyCursor*, dbQuery&) { return false; }

void dbDatabase::scanTable(dbAnyCursor* cursor, dbQuery& query) {
  const dbTable* stored = getTableRecord(cursor->table->tableId);
  const bool parallel = cursor->selection.count == 0 && parallelScanThreads - 1 > 0 && stored->nRows >= 1000 &&
                        cursor->maxRows > 1999999999;
  if (parallel) {
    parallelScan(cursor, query);
    return;
  }
  if (cursor->selection.count < cursor->maxRows) {
    const bool all = query.tree->op == opVoid;
    const oid_t last = stored->lastRow;
    for (oid_t oid = stored->firstRow; oid != 0; oid = oid == last ? 0 : getRecord(oid)->nextId) {
      if ((all || evaluateCondition(query.tree, oid, cursor->table, cursor->paramOrigin)) &&
          !cursor->addToSelection(oid)) {
        break;
      }
    }
  }
  if (query.orderBy != nullptr) dbAnyCursor::sortSelection(this, cursor->selection, query.orderBy);
}

namespace {

struct ScanWorker {
  dbDatabase* db = nullptr;
  dbQuery* query = nullptr;
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
void dbDatabase::parallelScan(dbAnyCursor* cursor, dbQuery& query) {
  const int n = parallelScanThreads;
  const dbTable* stored = getTableRecord(cursor->table->tableId);
  std::vector<ScanWorker> workers(static_cast<size_t>(n));
  oid_t oid = stored->firstRow;
  for (int w = 0; w < n; w++) {
    ScanWorker& worker = workers[size_t(w)];
    worker.db = this;
    worker.query = &query;
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
    const bool all = worker->query->tree->op == opVoid;
    for (oid_t id = worker->first; id != 0;) {
      if (all || db->evaluateCondition(worker->query->tree, id, worker->cursor->getTable(), worker->cursor->paramOrigin)) {
        worker->found.add(id);
      }
      for (int step = 0; step < worker->count && id != 0; step++) {
        id = id == worker->last ? 0 : db->getRecord(id)->nextId;
      }
    }
    if (worker->query->orderBy != nullptr) dbAnyCursor::sortSelection(db, worker->found, worker->query->orderBy);
  };
  std::vector<dbPooledThread*> threads;
  for (int w = 0; w < n - 1; w++) threads.push_back(threadPool.create(run, &workers[size_t(w)]));
  run(&workers[size_t(n - 1)]);
  for (dbPooledThread* t : threads) threadPool.join(t);

  if (query.orderBy == nullptr) {
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
      if (best < 0 || dbAnyCursor::compareRecords(this, query.orderBy, candidate,
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
