// The persistent hash and T-tree indexes of key fields.
//
// Indexes are not kept yet: creating one gives 0, which every caller reads as
// "no index", so searches scan the table and record changes touch no index.
#include "database.h"

oid_t dbDatabase::createHashIndex(uint32_t) { return 0; }
oid_t dbDatabase::createTtreeIndex() { return 0; }
void dbDatabase::dropHashIndex(oid_t) {}
void dbDatabase::dropTtreeIndex(oid_t) {}
void dbDatabase::hashInsert(dbFieldDescriptor*, oid_t, int32_t) {}
void dbDatabase::hashRemove(dbFieldDescriptor*, oid_t) {}
void dbDatabase::ttreeInsert(dbFieldDescriptor*, oid_t) {}
void dbDatabase::ttreeRemove(dbFieldDescriptor*, oid_t) {}
