// The persistent hash and T-tree indexes of key fields, as the record operations and
// the schema loader reach them.
#include "database.h"
#include "hashtab.h"
#include "ttree.h"

oid_t dbDatabase::createHashIndex(uint32_t expectedRows) { return dbHashTable::allocate(this, expectedRows); }
oid_t dbDatabase::createTtreeIndex() { return dbTtree::allocate(this); }
void dbDatabase::dropHashIndex(oid_t index) { dbHashTable::drop(this, index); }
void dbDatabase::dropTtreeIndex(oid_t tree) { dbTtree::drop(this, tree); }
void dbDatabase::hashInsert(dbFieldDescriptor* field, oid_t oid, int32_t expectedRows) {
  dbHashTable::insert(this, field->hashTable, oid, field->type, int(field->dbsSize), int(field->dbsOffs), expectedRows);
}
void dbDatabase::hashRemove(dbFieldDescriptor* field, oid_t oid) {
  dbHashTable::remove(this, field->hashTable, oid, field->type, int(field->dbsSize), int(field->dbsOffs));
}
void dbDatabase::ttreeInsert(dbFieldDescriptor* field, oid_t oid) {
  dbTtree::insert(this, field->tTree, oid, field->type, int(field->dbsSize), field->comparator, int(field->dbsOffs));
}
void dbDatabase::ttreeRemove(dbFieldDescriptor* field, oid_t oid) {
  dbTtree::remove(this, field->tTree, oid, field->type, int(field->dbsSize), field->comparator, int(field->dbsOffs));
}
