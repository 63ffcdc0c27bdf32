// Record insert, update and remove: each keeps the table's row list and nRows, the
// record's place, the key indexes and the inverse references consistent.
// REQUIRES for all of them: the calling thread holds the exclusive lock.
#include <algorithm>
#include <cstring>
#include <vector>

#include "database.h"

namespace {

uint32_t roundUp(size_t value, size_t multiple) { return uint32_t((value + multiple - 1) / multiple * multiple); }

dbVarying& varyingAt(char* base, uint32_t offset) { return *reinterpret_cast<dbVarying*>(base + offset); }
const dbVarying& varyingAt(const char* base, uint32_t offset) {
  return *reinterpret_cast<const dbVarying*>(base + offset);
}

// Copies the variable parts of a stored record of one layout from `from` into `to`
// (null: only measures), packed from `pos` on in field order, and sets their pairs.
// `skip` is left out. Returns the end position; `lastStart` gets the largest start
// offset of a top-level part. Inside array elements `origin` is the element's offset
// in the record: arrays are aligned by their place in the record, as the store does.
size_t repackVariableParts(const dbFieldDescriptor* fields, char* to, const char* from, size_t pos,
                           const dbFieldDescriptor* skip, uint32_t* lastStart, size_t origin = 0) {
  const dbFieldDescriptor* fd = fields;
  do {
    if (fd->isMethod()) break;
    if (fd == skip) continue;
    if (fd->type == dbField::tpStructure) {
      pos = repackVariableParts(fd->components, to, from, pos, skip, lastStart, origin);
    } else if (fd->type == dbField::tpString) {
      const dbVarying v = varyingAt(from, fd->dbsOffs);
      if (lastStart != nullptr) *lastStart = std::max(*lastStart, v.offset);
      if (to != nullptr) {
        memcpy(to + pos, from + v.offset, v.count);
        varyingAt(to, fd->dbsOffs) = {v.count, uint32_t(pos)};
      }
      pos += v.count;
    } else if (fd->type == dbField::tpArray) {
      const dbVarying v = varyingAt(from, fd->dbsOffs);
      const dbFieldDescriptor* element = fd->components;
      if (lastStart != nullptr) *lastStart = std::max(*lastStart, v.offset);
      pos = roundUp(origin + pos, element->alignment) - origin;
      const size_t first = pos;
      if (to != nullptr) {
        varyingAt(to, fd->dbsOffs) = {v.count, uint32_t(pos)};
        memcpy(to + first, from + v.offset, size_t(v.count) * element->dbsSize);
      }
      pos += size_t(v.count) * element->dbsSize;
      const bool nested = element->type == dbField::tpString || element->type == dbField::tpArray ||
                          (element->attr & dbFieldDescriptor::HasArrayComponents);
      for (size_t i = 0; nested && i < v.count; i++) {
        size_t at = first + i * element->dbsSize;
        pos = at + repackVariableParts(element, to != nullptr ? to + at : nullptr,
                                       from + v.offset + i * element->dbsSize, pos - at, nullptr, nullptr,
                                       origin + at);
      }
    }
  } while ((fd = fd->next) != fields);
  return pos;
}

}  // namespace

oid_t dbDatabase::allocateRow(oid_t tableId, size_t size) {
  oid_t oid = allocateObjectId(1);
  setHandle(oid, allocateSpace(uint32_t(size), 0) + dbRecordMarker);
  dbTable* table = getTableRecordForUpdate(tableId);
  dbRecord* record = getRecord(oid);
  record->size = uint32_t(size);
  record->nextId = 0;
  record->prevId = table->lastRow;
  // The previous last record is linked in place, even when it is committed: readers
  // of the committed state stop at lastRow, and rollback and recovery cut it again.
  if (table->lastRow != 0) getRecord(table->lastRow)->nextId = oid;
  else table->firstRow = oid;
  table->lastRow = oid;
  table->nRows += 1;
  return oid;
}

void dbDatabase::freeRow(oid_t tableId, oid_t oid) {
  dbTable* table = getTableRecordForUpdate(tableId);
  const dbRecord record = *getRecord(oid);
  table->nRows -= 1;
  if (record.prevId == 0) table->firstRow = record.nextId;
  if (record.nextId == 0) table->lastRow = record.prevId;
  if (record.prevId != 0) getRecordForUpdate(record.prevId)->nextId = record.nextId;
  if (record.nextId != 0) getRecordForUpdate(record.nextId)->prevId = record.prevId;
  freeObject(oid);
}

// ---------------------------------------------------------------------------

oid_t dbDatabase::insertRecord(dbTableDescriptor* desc, const void* structure) {
  dbAssert(opened);
  dbTableDescriptor* table = findTable(desc);
  dbAssert(table != NULL);
  lockDatabase(dbExclusiveLock);
  modified = true;
  oid_t oid = allocateRow(table->tableId, table->recordSize(structure));
  dbFieldDescriptor::storeRecord(table->columns, reinterpret_cast<char*>(getRecord(oid)), structure, table->fixedSize);
  const int32_t nRows = getTableRecord(table->tableId)->nRows;
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    if (fd->type == dbField::tpArray) {
      const uint32_t n = varyingAt(reinterpret_cast<const char*>(getRecord(oid)), fd->dbsOffs).count;
      for (uint32_t i = n; i-- > 0;) {
        const char* base = reinterpret_cast<const char*>(getRecord(oid));
        oid_t target = reinterpret_cast<const oid_t*>(base + varyingAt(base, fd->dbsOffs).offset)[i];
        if (target != 0) insertInverseReference(fd, oid, target);
      }
    } else {
      oid_t target = *reinterpret_cast<const oid_t*>(reinterpret_cast<const char*>(getRecord(oid)) + fd->dbsOffs);
      if (target != 0) insertInverseReference(fd, oid, target);
    }
  }
  insertIntoIndexes(table, oid, nRows, false);
  return oid;
}

namespace {

// Position of `value` in `elements[0..n)`, searching forward from `from`, then
// backward; -1 when absent. Moves `from` past a match found forward.
int findFrom(const oid_t* elements, size_t n, oid_t value, size_t& from) {
  for (size_t i = from; i < n; i++) {
    if (elements[i] == value) {
      from = i + 1;
      return int(i);
    }
  }
  for (size_t i = std::min(from, n); i-- > 0;) {
    if (elements[i] == value) return int(i);
  }
  return -1;
}

}  // namespace

void dbDatabase::updateRecord(oid_t oid, dbTableDescriptor* desc, const void* structure) {
  dbAssert(opened);
  dbTableDescriptor* table = findTable(desc);
  dbAssert(table != NULL);
  lockDatabase(dbExclusiveLock);
  const char* app = static_cast<const char*>(structure);
  const size_t newSize = table->recordSize(structure);
  dbFieldDescriptor::markChangedKeys(table->columns, reinterpret_cast<const char*>(getRecord(oid)), structure);

  updatedRecordId = oid;
  auto storedBase = [this, oid] { return reinterpret_cast<const char*>(getRecord(oid)); };
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    if (fd->type != dbField::tpArray) {
      oid_t stored = *reinterpret_cast<const oid_t*>(storedBase() + fd->dbsOffs);
      oid_t wanted = *reinterpret_cast<const oid_t*>(app + fd->recordAppOffs);
      if (stored == wanted) continue;
      if (stored != 0) removeInverseReference(fd, oid, stored);
      if (wanted != 0) insertInverseReference(fd, oid, wanted);
      continue;
    }
    const auto* array = reinterpret_cast<const dbAnyArray*>(app + fd->recordAppOffs);
    const auto* wanted = static_cast<const oid_t*>(array->base());
    const size_t nWanted = array->length();
    // Stored references that are no longer wanted lose their inverse.
    size_t p = 0;
    for (size_t j = 0;; j++) {
      const dbVarying v = varyingAt(storedBase(), fd->dbsOffs);
      if (j >= v.count) break;
      oid_t value = reinterpret_cast<const oid_t*>(storedBase() + v.offset)[j];
      if (value != 0 && findFrom(wanted, nWanted, value, p) < 0) removeInverseReference(fd, oid, value);
    }
    // New references gain one.
    p = 0;
    std::vector<oid_t> stored;
    {
      const dbVarying v = varyingAt(storedBase(), fd->dbsOffs);
      const auto* elements = reinterpret_cast<const oid_t*>(storedBase() + v.offset);
      stored.assign(elements, elements + v.count);
    }
    for (size_t i = 0; i < nWanted; i++) {
      if (wanted[i] != 0 && findFrom(stored.data(), stored.size(), wanted[i], p) < 0) {
        insertInverseReference(fd, oid, wanted[i]);
      }
    }
  }
  updatedRecordId = 0;

  removeFromIndexes(table, oid, true);
  storeInto(oid, table, structure, newSize);
  modified = true;
  insertIntoIndexes(table, oid, 0, true);
  for (dbFieldDescriptor* fd = table->firstField; fd != nullptr; fd = fd->nextField) {
    fd->attr &= ~dbFieldDescriptor::Updated;
  }
  notifyCursors(oid, false);
}

// Gives the record a place of `newSize` bytes and stores the structure into it. The
// structure's strings may point into this very record: when the place stays, the
// record is built in a scratch buffer first.
void dbDatabase::storeInto(oid_t oid, dbTableDescriptor* table, const void* structure, size_t newSize) {
  const uint32_t before = currIndex[oid];
  char* record = reinterpret_cast<char*>(resizeRecord(oid, uint32_t(newSize)));
  if (currIndex[oid] != before) {
    dbFieldDescriptor::storeRecord(table->columns, record, structure, table->fixedSize);
    return;
  }
  std::vector<char> scratch(newSize);
  dbFieldDescriptor::storeRecord(table->columns, scratch.data(), structure, table->fixedSize);
  memcpy(record + sizeof(dbRecord), scratch.data() + sizeof(dbRecord), newSize - sizeof(dbRecord));
}

void dbDatabase::removeRecord(dbTableDescriptor* desc, oid_t oid) {
  dbTableDescriptor* table = findTable(desc);
  dbAssert(table != NULL);
  lockDatabase(dbExclusiveLock);
  modified = true;
  removalStack.push_back(oid);
  for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverseField) {
    if (fd->type == dbField::tpArray) {
      for (uint32_t i = varyingAt(reinterpret_cast<const char*>(getRecord(oid)), fd->dbsOffs).count; i-- > 0;) {
        const char* base = reinterpret_cast<const char*>(getRecord(oid));  // may have moved
        oid_t target = reinterpret_cast<const oid_t*>(base + varyingAt(base, fd->dbsOffs).offset)[i];
        if (target != 0) removeInverseReference(fd, oid, target);
      }
    } else {
      oid_t target = *reinterpret_cast<const oid_t*>(reinterpret_cast<const char*>(getRecord(oid)) + fd->dbsOffs);
      if (target != 0) removeInverseReference(fd, oid, target);
    }
  }
  removalStack.pop_back();
  removeFromIndexes(table, oid, false);
  notifyCursors(oid, true);  // while the record is still there: cursors read its neighbours
  freeRow(table->tableId, oid);
}

// ---------------------------------------------------------------------------
// Inverse references

void dbDatabase::insertInverseReference(dbFieldDescriptor* field, oid_t from, oid_t to) {
  dbFieldDescriptor* inverse = field->inverseRef;
  if (from == to || inverse == nullptr) return;
  if (inverse->type == dbField::tpReference) {
    *reinterpret_cast<oid_t*>(reinterpret_cast<char*>(getRecordForUpdate(to)) + inverse->dbsOffs) = from;
    notifyCursors(to, false);
    return;
  }
  const dbTableDescriptor* table = inverse->defTable;
  const dbRecord* current = getRecord(to);
  std::vector<char> old(reinterpret_cast<const char*>(current), reinterpret_cast<const char*>(current) + current->size);
  const dbVarying array = varyingAt(old.data(), inverse->dbsOffs);
  const uint32_t n = array.count;
  uint32_t lastOther = 0;
  const size_t otherEnd = repackVariableParts(table->columns, nullptr, old.data(), table->fixedSize, inverse, &lastOther);
  const uint32_t arrayAt = roundUp(otherEnd, 4);
  const uint32_t size = uint32_t(old.size());
  const uint32_t newSize = size >= arrayAt + 4 * (n + 1) ? size : arrayAt + 8 * (n + 1);

  const uint32_t before = currIndex[to];
  char* record = reinterpret_cast<char*>(resizeRecord(to, newSize));
  if (currIndex[to] == before && array.offset == arrayAt && lastOther < arrayAt) {
    // The array already ends the record and has room: append in place.
    reinterpret_cast<oid_t*>(record + arrayAt)[n] = from;
    varyingAt(record, inverse->dbsOffs).count = n + 1;
  } else {
    memcpy(record + sizeof(dbRecord), old.data() + sizeof(dbRecord), table->fixedSize - sizeof(dbRecord));
    size_t end = repackVariableParts(table->columns, record, old.data(), table->fixedSize, inverse, nullptr);
    dbAssert(roundUp(end, 4) == arrayAt);
    varyingAt(record, inverse->dbsOffs) = {n + 1, arrayAt};
    memcpy(record + arrayAt, old.data() + array.offset, size_t(n) * 4);
    reinterpret_cast<oid_t*>(record + arrayAt)[n] = from;
  }
  notifyCursors(to, false);
}

void dbDatabase::removeInverseReference(dbFieldDescriptor* field, oid_t from, oid_t to) {
  dbFieldDescriptor* inverse = field->inverseRef;
  if (from == to || inverse == nullptr || to == updatedRecordId || (currIndex[to] & dbFreeHandleMarker) ||
      std::find(removalStack.begin(), removalStack.end(), to) != removalStack.end()) {
    return;
  }
  char* record = reinterpret_cast<char*>(getRecordForUpdate(to));
  if (field->indexType & CASCADE_DELETE) {
    if (inverse->type == dbField::tpReference || varyingAt(record, inverse->dbsOffs).count < 2) {
      removeRecord(inverse->defTable, to);
      return;
    }
  }
  if (inverse->type == dbField::tpArray) {
    dbVarying& array = varyingAt(record, inverse->dbsOffs);
    auto* elements = reinterpret_cast<oid_t*>(record + array.offset);
    for (uint32_t i = array.count; i-- > 0;) {
      if (elements[i] != from) continue;
      memmove(elements + i, elements + i + 1, size_t(array.count - i - 1) * 4);
      array.count -= 1;
      break;
    }
  } else if (*reinterpret_cast<oid_t*>(record + inverse->dbsOffs) == from) {
    *reinterpret_cast<oid_t*>(record + inverse->dbsOffs) = 0;
  }
  notifyCursors(to, false);
}

// ---------------------------------------------------------------------------

void dbDatabase::insertIntoIndexes(dbTableDescriptor* table, oid_t oid, int32_t nRows, bool onlyUpdated) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashedField) {
    if (!onlyUpdated || (fd->attr & dbFieldDescriptor::Updated)) hashInsert(fd, oid, nRows);
  }
  for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexedField) {
    if (!onlyUpdated || (fd->attr & dbFieldDescriptor::Updated)) ttreeInsert(fd, oid);
  }
}

void dbDatabase::removeFromIndexes(dbTableDescriptor* table, oid_t oid, bool onlyUpdated) {
  for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashedField) {
    if (!onlyUpdated || (fd->attr & dbFieldDescriptor::Updated)) hashRemove(fd, oid);
  }
  for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexedField) {
    if (!onlyUpdated || (fd->attr & dbFieldDescriptor::Updated)) ttreeRemove(fd, oid);
  }
}
