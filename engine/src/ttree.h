// The persistent T-tree index of a key field: a height-balanced binary tree whose
// nodes each hold up to 125 record oids in key order. Nodes hold oids only; every
// comparison reads the key from the record, so keys of any length cost nothing in a
// node. All changes go through the object store's copy on write and so belong to
// the writer's transaction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format.h"

class dbDatabase;
class dbAnyCursor;
class dbExprNode;
struct dbSearchContext;

// Tree header (tag dbTreeMarker, 4 bytes).
struct dbTtreeHeader {
  oid_t root;  // 0 = empty tree
};
static_assert(sizeof(dbTtreeHeader) == 4);

// Tree node (tag dbTreeNodeMarker, 512 bytes).
struct dbTtreeNode {
  static constexpr int maxItems = 125;
  oid_t left;       // left subtree, 0 = none
  oid_t right;      // right subtree, 0 = none
  int8_t balance;   // -1 left subtree higher, 0 equal, +1 right subtree higher
  uint8_t unused;
  uint16_t nItems;  // 1 ... maxItems
  oid_t item[maxItems];  // the first nItems in key order
};
static_assert(sizeof(dbTtreeNode) == 512);
static_assert(offsetof(dbTtreeNode, balance) == 8 && offsetof(dbTtreeNode, nItems) == 10 &&
              offsetof(dbTtreeNode, item) == 12);

// Operations on the tree whose header has the oid `treeId`. The changing ones
// require the exclusive lock; searches and walks the searching cursor's lock.
// `type`, `sizeofType`, `comparator` and `offs` describe the key field: its dbField
// type code, stored size, raw-binary comparator and offset in the record.
class dbTtree {
 public:
  typedef int (*Comparator)(const void*, const void*, size_t);

  // A new empty tree; returns its header's oid.
  static oid_t allocate(dbDatabase* db);
  static void insert(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     Comparator comparator, int offs);
  // Removes `recordId`, found by the key it holds now. The tree must hold it.
  static void remove(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     Comparator comparator, int offs);
  static void purge(dbDatabase* db, oid_t treeId);  // frees every node
  static void drop(dbDatabase* db, oid_t treeId);   // purge, then free the header

  // Adds the records whose keys lie within the context's bounds, in ascending key
  // order, to its cursor. False when the search stopped before the end of the tree:
  // an item past the high bound was reached, or the cursor asked to stop.
  static bool find(dbDatabase* db, oid_t treeId, dbSearchContext& sc);
  // Adds every record (every record satisfying `condition` when not null) in
  // ascending or descending key order. False when the cursor asked to stop.
  static bool traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor,
                              const dbExprNode* condition = nullptr);
  static bool traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor,
                               const dbExprNode* condition = nullptr);

  // Compares the key `key` (laid out like the field; a NUL-terminated string for
  // strings) with the key field of the record at `record`: < 0, 0 or > 0.
  static int compareKey(const char* key, const char* record, int type, int sizeofType,
                        Comparator comparator, int offs);

 private:
  struct Key;  // the key field and one key value copied out of a record
  static void loadKey(Key& key, oid_t recordId);
  static int compareItem(const Key& key, oid_t recordId);
  static dbTtreeNode* node(dbDatabase* db, oid_t nodeId);
  // Asks memory for the record `recordId` ahead of its comparison (its handle is read
  // now), so that the cache misses of several records overlap.
  static void prefetchRecord(dbDatabase* db, oid_t recordId);
  // Before probing items[m] of a binary search over [l, r): the records of both
  // possible next probes.
  static void prefetchNextProbes(dbDatabase* db, const oid_t* items, int l, int m, int r);
  // The handles of both subtrees of `n`, one of which a descent visits next.
  static void prefetchChildren(dbDatabase* db, const dbTtreeNode* n);
  static dbTtreeNode* nodeForUpdate(dbDatabase* db, oid_t nodeId);
  static oid_t newNode(dbDatabase* db, oid_t recordId);
  static void setRoot(dbDatabase* db, oid_t treeId, oid_t root);
  static bool insertAt(Key& key, oid_t& nodeId, oid_t recordId);
  static int removeAt(Key& key, oid_t& nodeId, oid_t recordId);
  static bool balanceLeftGrowth(dbDatabase* db, oid_t& nodeId);
  static bool balanceRightGrowth(dbDatabase* db, oid_t& nodeId);
  static int balanceLeftShrink(dbDatabase* db, oid_t& nodeId);
  static int balanceRightShrink(dbDatabase* db, oid_t& nodeId);
  static void purgeAt(dbDatabase* db, oid_t nodeId);
  static int compareWith(dbDatabase* db, const dbSearchContext& sc, const char* key, oid_t recordId);
  static bool findAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc);
  static bool emit(dbDatabase* db, oid_t recordId, dbSearchContext& sc);
  static bool forwardAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc);
  static bool backwardAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc);
};
