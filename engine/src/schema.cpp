// Loading the schema at open: every table descriptor of the program is matched by
// name against its record in the Metatable; equal tables are bound, new ones added,
// changed ones converted with their records, and indexes follow the declarations.
#include <cstring>
#include <vector>

#include "check.h"
#include "database.h"

bool dbDatabase::loadSchema(bool alterAllowed) {
  const bool writable = accessType == dbReadWrite || accessType == dbConcurrentUpdate;
  rowsChecked = false;
  if (!lockDatabase(writable ? dbExclusiveLock : dbSharedLock)) return false;
  oid_t searchFrom = getTableRecord(dbMetatableId)->firstRow;
  for (dbTableDescriptor* desc = dbTableDescriptor::chain; desc != nullptr; desc = desc->nextStatic) {
    if (desc->db != nullptr && desc->db != dbTableDescriptor::DETACHED_TABLE && desc->db != this) continue;
    dbTableDescriptor* table = desc->db == dbTableDescriptor::DETACHED_TABLE ? desc->clone() : desc;
    if (!loadTable(table, alterAllowed, searchFrom)) {
      if (table != desc) delete table;
      rollback();  // gives the lock back: nobody else must wait for a failed open
      return false;
    }
  }
  for (dbTableDescriptor* table = tables; table != nullptr; table = table->nextDbTable) resolveReferences(table);
  for (dbTableDescriptor* table = tables; table != nullptr; table = table->nextDbTable) checkInverseReferences(table);
  commit();
  return true;
}

// Finds the Metatable row named `name`, at most nRows steps from `searchFrom`
// along nextId, wrapping to the first row. Declarations in the stored order are
// found in one step each.
oid_t dbDatabase::findStoredTable(const char* name, oid_t& searchFrom) {
  const dbTable* meta = getTableRecord(dbMetatableId);
  oid_t row = searchFrom != 0 ? searchFrom : meta->firstRow;
  for (int32_t step = 0; step < meta->nRows && row != 0; step++) {
    const dbTable* stored = getTableRecord(row);
    oid_t next = stored->nextId != 0 ? stored->nextId : meta->firstRow;
    if (strcmp(reinterpret_cast<const char*>(stored) + stored->name.offset, name) == 0) {
      searchFrom = next;
      return row;
    }
    row = next;
  }
  return 0;
}

bool dbDatabase::loadTable(dbTableDescriptor* table, bool alterAllowed, oid_t& searchFrom) {
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
    fd->hashTable = fd->tTree = 0;
    fd->attr &= ~dbFieldDescriptor::Updated;
  }
  const bool writable = accessType == dbReadWrite || accessType == dbConcurrentUpdate;
  oid_t row = findStoredTable(table->name, searchFrom);
  if (row != 0) {
    attachTable(table, row);
    if (!table->equal(getTableRecord(row))) {
      // Converting writes: a read-only opener cannot, nor can a joining one.
      if (!alterAllowed || !writable) {
        reportError(dbDatabaseOpenError, "Incompatible class definition in application");
        return false;
      }
      lockDatabase(dbExclusiveLock);
      modified = true;
      std::string problem;
      if (getTableRecord(row)->nRows == 0) {
        rewriteTableRecord(table);
      } else if (!convertTable(table, problem)) {
        if (!problem.empty()) {
          reportError(dbDatabaseOpenError, ("Incompatible class definition in application: " + problem).c_str());
        }
        return false;
      }
    }
  } else {
    if (!writable) {
      reportError(dbDatabaseOpenError, "New table definition can not be added to read only database");
      return false;
    }
    addNewTable(table);
    modified = true;
  }
  if (writable && alterAllowed && getTableRecord(table->tableId)->nRows > 0) {
    for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
      bool missing = ((fd->indexType & HASHED) && fd->hashTable == 0) || ((fd->indexType & INDEXED) && fd->tTree == 0);
      if (missing && fd->type != dbField::tpStructure && !rowsCanBeWalked()) return false;
    }
  }
  if (writable && !updateTableIndexes(table, alterAllowed)) {
    reportError(dbDatabaseOpenError, "Failed to alter indices with active applications");
    return false;
  }
  return true;
}

// Converting a table and filling a new index read every row of the table through
// the layout its stored descriptor gives: a damaged row chain or row would lead them
// astray. Before the first of those, the whole committed state is checked, once per
// open; schema changes are rare, so the full cost is paid rarely.
bool dbDatabase::rowsCanBeWalked() {
  if (rowsChecked) return true;
  dbCheckReport report = dbCheckImage(baseAddress(), file.size());
  if (!report.ok()) {
    reportError(dbDatabaseOpenError, ("Database file was corrupted: " + report.errors[0]).c_str());
    return false;
  }
  rowsChecked = true;
  return true;
}

void dbDatabase::attachTable(dbTableDescriptor* table, oid_t tableId) {
  dbAssert(((void)"Table can be used only in one database", table->tableId == 0));
  table->tableId = tableId;
  table->db = this;
  table->nextDbTable = tables;
  tables = table;
}

void dbDatabase::addNewTable(dbTableDescriptor* table) {
  size_t size = table->descriptorRecordSize();
  oid_t row = allocateRow(dbMetatableId, size);
  attachTable(table, row);
  auto* record = getTableRecord(row);
  dbRecord header = *reinterpret_cast<dbRecord*>(record);
  table->writeDescriptorRecord(record);
  *reinterpret_cast<dbRecord*>(record) = header;
}

// A new declaration of a table without records: the descriptor record is written
// anew; the stored indexes it still names are dropped.
void dbDatabase::rewriteTableRecord(dbTableDescriptor* table) {
  const dbTable* stored = getTableRecord(table->tableId);
  const oid_t firstRow = stored->firstRow, lastRow = stored->lastRow;
  const int32_t nRows = stored->nRows;
  const auto* entries = reinterpret_cast<const dbField*>(reinterpret_cast<const char*>(stored) + stored->fields.offset);
  std::vector<oid_t> hashIndexes, trees;  // copied: dropping may move the mapping
  for (uint32_t i = 0; i < stored->fields.count; i++) {
    if (entries[i].hashTable != 0) hashIndexes.push_back(entries[i].hashTable);
    if (entries[i].tTree != 0) trees.push_back(entries[i].tTree);
  }
  for (oid_t index : hashIndexes) dropHashIndex(index);
  for (oid_t tree : trees) dropTtreeIndex(tree);
  dbRecord* record = resizeRecord(table->tableId, uint32_t(table->descriptorRecordSize()));
  dbRecord header = *record;
  table->writeDescriptorRecord(reinterpret_cast<dbTable*>(record));
  *record = header;
  auto* written = reinterpret_cast<dbTable*>(record);
  written->firstRow = firstRow;
  written->lastRow = lastRow;
  written->nRows = nRows;
}

// A changed declaration of a table with records: every record is rewritten in the
// new layout; values are converted field by field. False, with the reason in
// `problem`, when the stored layout cannot be converted, or with `problem` empty when
// the file was found damaged (reported); nothing is converted then.
bool dbDatabase::convertTable(dbTableDescriptor* table, std::string& problem) {
  bool exact;
  if (!table->match(getTableRecordForUpdate(table->tableId), columnRemovalAllowed, &exact, &problem)) return false;
  if (!rowsCanBeWalked()) return false;
  const oid_t firstRow = getTableRecord(table->tableId)->firstRow;
  const int32_t nRows = getTableRecord(table->tableId)->nRows;
  rewriteTableRecord(table);
  if (exact) return true;
  std::vector<char> old;
  // The walk is bounded by nRows: a damaged chain must not make it endless.
  for (oid_t oid = firstRow, step = 0; oid != 0 && int32_t(step) < nRows; step++) {
    const dbRecord* stored = getRecord(oid);
    old.assign(reinterpret_cast<const char*>(stored), reinterpret_cast<const char*>(stored) + stored->size);
    size_t newSize = dbFieldDescriptor::convertedSize(table->columns, old.data(), table->fixedSize);
    dbRecord* record = resizeRecord(oid, uint32_t(newSize));
    // The old bytes are converted from the copy: the new place may be the old one.
    dbFieldDescriptor::convertRecord(table->columns, reinterpret_cast<char*>(record), old.data(), table->fixedSize);
    oid = record->nextId;
  }
  return true;
}

// Makes the table's indexes follow the declarations: creates and fills the missing
// ones and drops the undeclared ones, which the fields never took over (inserts,
// updates and removals keep up only the declared indexes). A joining process may
// not change indexes.
bool dbDatabase::updateTableIndexes(dbTableDescriptor* table, bool alterAllowed) {
  const bool unchanged = isSharedWithCommitted(table->tableId);
  const int32_t nRows = getTableRecord(table->tableId)->nRows;
  std::vector<dbFieldDescriptor*> newHash, newTree;
  bool removed = false;
  {
    const dbTable* stored = getTableRecord(table->tableId);
    const auto* entry = reinterpret_cast<const dbField*>(reinterpret_cast<const char*>(stored) + stored->fields.offset);
    for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField, entry++) {
      removed |= (entry->hashTable != 0 && entry->hashTable != fd->hashTable) ||
                 (entry->tTree != 0 && entry->tTree != fd->tTree);
    }
  }
  if (removed && !alterAllowed) return false;
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
    if (fd->type == dbField::tpStructure) continue;
    bool wantHash = (fd->indexType & HASHED) != 0, wantTree = (fd->indexType & INDEXED) != 0;
    if (wantHash && fd->hashTable == 0) {
      if (!alterAllowed && unchanged) return false;
      if ((fd->hashTable = createHashIndex(uint32_t(nRows))) != 0) newHash.push_back(fd);
    }
    if (wantTree && fd->tTree == 0) {
      if (!alterAllowed && unchanged) return false;
      if ((fd->tTree = createTtreeIndex()) != 0) newTree.push_back(fd);
    }
  }
  if (!newHash.empty() || !newTree.empty()) {
    modified = true;
    for (oid_t oid = getTableRecord(table->tableId)->firstRow; oid != 0; oid = getRecord(oid)->nextId) {
      for (dbFieldDescriptor* fd : newHash) hashInsert(fd, oid, 2 * nRows);
      for (dbFieldDescriptor* fd : newTree) ttreeInsert(fd, oid);
    }
  }
  if (newHash.empty() && newTree.empty() && !removed) return true;
  auto* stored = getTableRecordForUpdate(table->tableId);
  auto* entry = reinterpret_cast<dbField*>(reinterpret_cast<char*>(stored) + stored->fields.offset);
  std::vector<oid_t> hashIndexes, trees;  // dropped once the entries are written: dropping may move the mapping
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField, entry++) {
    if (entry->hashTable != fd->hashTable) {
      if (entry->hashTable != 0) {
        dbAssert(fd->hashTable == 0);
        hashIndexes.push_back(entry->hashTable);
      }
      modified = true;
      entry->hashTable = fd->hashTable;
    }
    if (entry->tTree != fd->tTree) {
      if (entry->tTree != 0) {
        dbAssert(fd->tTree == 0);
        trees.push_back(entry->tTree);
      }
      modified = true;
      entry->tTree = fd->tTree;
    }
  }
  for (oid_t index : hashIndexes) dropHashIndex(index);
  for (oid_t tree : trees) dropTtreeIndex(tree);
  return true;
}

void dbDatabase::resolveReferences(dbTableDescriptor* table) {
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
    if (fd->refTableName != nullptr) fd->refTable = findTableByName(fd->refTableName);
  }
}

void dbDatabase::checkInverseReferences(dbTableDescriptor* table) {
  char message[512];
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    dbTableDescriptor* target = fd->type == dbField::tpArray ? fd->components->refTable : fd->refTable;
    dbFieldDescriptor* inverse = target != nullptr ? target->findSymbol(fd->inverseRefName) : nullptr;
    if (inverse == nullptr) {
      snprintf(message, sizeof message, "Failed to locate inverse reference field %s.%s for field %s.%s",
               target != nullptr ? target->name : fd->refTableName, fd->inverseRefName, table->name,
               fd->longName.c_str());
      reportError(dbInconsistentInverseReference, message);
    } else if (inverse->inverseRefName != fd->name) {
      snprintf(message, sizeof message, "Inverse references for field %s.%s is %s.%s, but its inverse reference is %s",
               table->name, fd->longName.c_str(), target->name, fd->inverseRefName,
               inverse->inverseRefName != nullptr ? inverse->inverseRefName : "");
      reportError(dbInconsistentInverseReference, message);
    } else {
      fd->inverseRef = inverse;
    }
  }
}

dbTableDescriptor* dbDatabase::findTable(dbTableDescriptor* table) const {
  for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextDbTable) {
    if (t == table || t->cloneOf == table) return t;
  }
  return nullptr;
}

dbTableDescriptor* dbDatabase::findTableByName(const char* name) const {
  for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextDbTable) {
    if (strcmp(t->name, name) == 0) return t;
  }
  return nullptr;
}

void dbDatabase::forgetTable(dbTableDescriptor* table) {
  for (dbTableDescriptor** p = &tables; *p != nullptr; p = &(*p)->nextDbTable) {
    if (*p == table) {
      *p = table->nextDbTable;
      return;
    }
  }
}

void dbDatabase::detachTables() {
  while (dbTableDescriptor* table = tables) {
    tables = table->nextDbTable;
    table->tableId = 0;
    table->nextDbTable = nullptr;
    if (table->cloneOf != nullptr) {
      delete table;
    } else if (!table->boundAtConstruction) {
      table->db = nullptr;
    }
  }
}
