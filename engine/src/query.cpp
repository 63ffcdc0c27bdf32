// Query objects: the chain of text pieces and bound parameters, the element pool,
// and compile-once-per-table.
#include "query.h"

#include <cstring>

#include "class.h"

// ---------------------------------------------------------------------------
// The element pool: one free list for the process.

namespace {

class dbQueryElementAllocator {
 public:
  static dbQueryElementAllocator& instance() {
    static dbQueryElementAllocator allocator;
    return allocator;
  }
  ~dbQueryElementAllocator() {
    alive = false;
    while (freeList != nullptr) {
      dbQueryElement* next = freeList->next;
      delete freeList;
      freeList = next;
    }
  }

  dbQueryElement* allocate() {
    dbQueryElement* element = nullptr;
    {
      dbCriticalSection cs(mutex);
      live += 1;
      if (freeList != nullptr) {
        element = freeList;
        freeList = element->next;
      }
    }
    if (element == nullptr) element = new dbQueryElement;
    *element = dbQueryElement();
    return element;
  }

  // Links the whole chain in front of the free list in one step.
  void release(dbQueryElement* first, dbQueryElement** lastLink) {
    if (first == nullptr) return;
    size_t count = 0;
    for (dbQueryElement* e = first; e != nullptr; e = e->next) count += 1;
    if (!alive) {  // process exit: the pool is gone
      while (first != nullptr) {
        dbQueryElement* next = first->next;
        delete first;
        first = next;
      }
      return;
    }
    dbCriticalSection cs(mutex);
    *lastLink = freeList;
    freeList = first;
    live -= count;
  }

  bool alive = true;
  size_t live = 0;
  dbMutex mutex;

 private:
  dbQueryElementAllocator() = default;
  dbQueryElement* freeList = nullptr;
};

// The program's declared descriptor of a table, by name.
dbTableDescriptor* declaredTable(const char* name) {
  for (dbTableDescriptor* t = dbTableDescriptor::chain; t != nullptr; t = t->nextStatic) {
    if (strcmp(t->name, name) == 0) return t;
  }
  return nullptr;
}

}  // namespace

dbQueryElement* dbQueryElement::allocate() { return dbQueryElementAllocator::instance().allocate(); }

void dbQueryElement::releaseChain(dbQueryElement* first, dbQueryElement** lastLink) {
  dbQueryElementAllocator::instance().release(first, lastLink);
}

size_t dbQueryElement::liveCount() {
  dbQueryElementAllocator& pool = dbQueryElementAllocator::instance();
  dbCriticalSection cs(pool.mutex);
  return pool.live;
}

// ---------------------------------------------------------------------------
// dbQuery

dbQuery::~dbQuery() { reset(); }

dbQuery& dbQuery::append(const char* text) {
  dbQueryElement* e = dbQueryElement::allocate();
  e->kind = dbQueryElement::qExpression;
  e->data = text;
  *nextElement = e;
  nextElement = &e->next;
  lastWasText = true;
  return *this;
}

dbQuery& dbQuery::appendString(const char* text) {
  if (lastWasText) return add(dbQueryElement::qVarString, text);
  return append(text);
}

dbQuery& dbQuery::add(dbQueryElement::ElementType kind, const void* address, const char* refTableName) {
  dbQueryElement* e = dbQueryElement::allocate();
  e->kind = kind;
  e->data = address;
  if (refTableName != nullptr) {
    e->refTableName = dbInternName(refTableName);
    e->refTable = declaredTable(refTableName);
  }
  *nextElement = e;
  nextElement = &e->next;
  lastWasText = false;
  return *this;
}

void dbQuery::reset() {
  dbQueryElement::releaseChain(elements, nextElement);
  elements = nullptr;
  nextElement = &elements;
  lastWasText = false;
  destroy();
}

bool dbQuery::compileFor(dbTableDescriptor* forTable, dbDatabase* db) {
  dbCriticalSection cs(mutex);
  if (tree == nullptr || table != forTable) dbCompile(*this, forTable, db);
  return tree != nullptr;
}
