// The T-tree index: insertion with push-down into subtrees, removal with borrowing
// from subtrees, AVL rebalancing, range search and ordered walks.
//
// Any call that may allocate (copy on write of a node, a new node, freeing an
// object) may extend and remap the file, so node pointers are taken again after
// such a call; nodes are named by their oids everywhere else.
#include "ttree.h"

#include <cmath>
#include <cstring>
#include <string>

#include "database.h"
#include "index.h"

struct dbTtree::Key {
  dbDatabase* db;
  int type;
  int sizeofType;
  Comparator comparator;
  int offs;
  std::string value;  // the key copied out of its record; strings without their NUL
};

namespace {

template <class T>
T load(const char* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
int sign(T a, T b) {
  return a < b ? -1 : a == b ? 0 : 1;
}

// Reals in a total order: NaN after every number and equal to any NaN, so that a
// record holding NaN can be found again and removed.
template <class T>
int compareReal(T a, T b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return int(na) - int(nb);
  return a < b ? -1 : a == b ? 0 : 1;
}

}  // namespace

int dbTtree::compareKey(const char* key, const char* record, int type, int sizeofType, Comparator comparator,
                        int offs) {
  const char* field = record + offs;
  switch (type) {
    case dbField::tpBool:
      return int(uint8_t(*key)) - int(uint8_t(*field));
    case dbField::tpInt1:
      return int(int8_t(*key)) - int(int8_t(*field));
    case dbField::tpInt2:
      return int(load<int16_t>(key)) - int(load<int16_t>(field));
    case dbField::tpInt4:
      return sign(load<int32_t>(key), load<int32_t>(field));
    case dbField::tpInt8:
      return sign(load<int64_t>(key), load<int64_t>(field));
    case dbField::tpReal4:
      return compareReal(load<float>(key), load<float>(field));
    case dbField::tpReal8:
      return compareReal(load<double>(key), load<double>(field));
    case dbField::tpString:
      return strcmp(key, record + load<dbVarying>(field).offset);
    case dbField::tpReference:
      return sign(load<oid_t>(key), load<oid_t>(field));
    case dbField::tpRawBinary:
      return comparator(key, field, size_t(sizeofType));
    default:
      dbAssert(false);
      return 0;
  }
}

void dbTtree::loadKey(Key& key, oid_t recordId) {
  const char* record = reinterpret_cast<const char*>(key.db->getRecord(recordId));
  if (key.type == dbField::tpString) {
    key.value.assign(record + load<dbVarying>(record + key.offs).offset);
  } else {
    key.value.assign(record + key.offs, size_t(key.sizeofType));
  }
}

int dbTtree::compareItem(const Key& key, oid_t recordId) {
  return compareKey(key.value.c_str(), reinterpret_cast<const char*>(key.db->getRecord(recordId)), key.type,
                    key.sizeofType, key.comparator, key.offs);
}

void dbTtree::prefetchRecord(dbDatabase* db, oid_t recordId) {
  __builtin_prefetch(db->baseAddress() + (db->currIndex[recordId] & ~(dbAllocationQuantum - 1)));
}

void dbTtree::prefetchNextProbes(dbDatabase* db, const oid_t* items, int l, int m, int r) {
  if (l < m) prefetchRecord(db, items[(l + m) >> 1]);
  if (m + 1 < r) prefetchRecord(db, items[(m + 1 + r) >> 1]);
}

void dbTtree::prefetchChildren(dbDatabase* db, const dbTtreeNode* n) {
  if (n->left != 0) __builtin_prefetch(&db->currIndex[n->left]);
  if (n->right != 0) __builtin_prefetch(&db->currIndex[n->right]);
}

dbTtreeNode* dbTtree::node(dbDatabase* db, oid_t nodeId) {
  return reinterpret_cast<dbTtreeNode*>(db->getObject(nodeId));
}

dbTtreeNode* dbTtree::nodeForUpdate(dbDatabase* db, oid_t nodeId) {
  return reinterpret_cast<dbTtreeNode*>(db->getObjectForUpdate(nodeId));
}

oid_t dbTtree::newNode(dbDatabase* db, oid_t recordId) {
  oid_t nodeId = db->allocateObjectId();
  offs_t pos = db->allocateSpace(sizeof(dbTtreeNode));
  db->setHandle(nodeId, pos + dbTreeNodeMarker);
  dbTtreeNode* n = node(db, nodeId);
  memset(n, 0, sizeof *n);
  n->nItems = 1;
  n->item[0] = recordId;
  return nodeId;
}

void dbTtree::setRoot(dbDatabase* db, oid_t treeId, oid_t root) {
  reinterpret_cast<dbTtreeHeader*>(db->getObjectForUpdate(treeId))->root = root;
}

oid_t dbTtree::allocate(dbDatabase* db) {
  oid_t treeId = db->allocateObjectId();
  offs_t pos = db->allocateSpace(sizeof(dbTtreeHeader));
  db->setHandle(treeId, pos + dbTreeMarker);
  reinterpret_cast<dbTtreeHeader*>(db->getObject(treeId))->root = 0;
  return treeId;
}

// ---------------------------------------------------------------------------
// Insertion

void dbTtree::insert(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     Comparator comparator, int offs) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  if (root == 0) {
    oid_t created = newNode(db, recordId);
    setRoot(db, treeId, created);
    return;
  }
  Key key{db, type, sizeofType, comparator, offs, {}};
  loadKey(key, recordId);
  oid_t newRoot = root;
  insertAt(key, newRoot, recordId);
  if (newRoot != root) setRoot(db, treeId, newRoot);
}

// Inserts `recordId`, whose key `key` holds, into the subtree rooted at `nodeId`;
// `nodeId` becomes the subtree's new root after a rotation. True when the subtree
// became higher.
bool dbTtree::insertAt(Key& key, oid_t& nodeId, oid_t recordId) {
  dbDatabase* db = key.db;
  const dbTtreeNode* n = node(db, nodeId);
  const int count = n->nItems;
  if (count > 1) prefetchRecord(db, n->item[count - 1]);  // compared next unless the key goes left
  prefetchChildren(db, n);
  const int diff = compareItem(key, n->item[0]);
  if (diff > 0) {
    const int last = compareItem(key, n->item[count - 1]);
    if (last < 0) {
      // Strictly inside the node: the first item not below the key.
      int l = 1, r = count - 1;
      while (l < r) {
        int m = (l + r) >> 1;
        prefetchNextProbes(db, node(db, nodeId)->item, l, m, r);
        int c = compareItem(key, node(db, nodeId)->item[m]);
        if (c == 0) {
          l = m;
          break;
        }
        if (c > 0) {
          l = m + 1;
        } else {
          r = m;
        }
      }
      dbTtreeNode* u = nodeForUpdate(db, nodeId);
      if (count == dbTtreeNode::maxItems) {
        // Full: make room by pushing the last or the first item down into a subtree,
        // the lower side preferred.
        oid_t taken;
        if (u->balance < 0) {
          taken = u->item[count - 1];
          memmove(&u->item[l + 1], &u->item[l], size_t(count - 1 - l) * sizeof(oid_t));
          u->item[l] = recordId;
        } else {
          taken = u->item[0];
          memmove(&u->item[0], &u->item[1], size_t(l - 1) * sizeof(oid_t));
          u->item[l - 1] = recordId;
        }
        Key other{db, key.type, key.sizeofType, key.comparator, key.offs, {}};
        loadKey(other, taken);
        return insertAt(other, nodeId, taken);
      }
      memmove(&u->item[l + 1], &u->item[l], size_t(count - l) * sizeof(oid_t));
      u->item[l] = recordId;
      u->nItems = uint16_t(count + 1);
      return false;
    }
    if ((n->right != 0 && last > 0) || count == dbTtreeNode::maxItems) {
      oid_t child = n->right;
      bool grew;
      if (child == 0) {
        child = newNode(db, recordId);
        grew = true;
      } else {
        grew = insertAt(key, child, recordId);
      }
      if (node(db, nodeId)->right != child) nodeForUpdate(db, nodeId)->right = child;
      return grew && balanceRightGrowth(db, nodeId);
    }
    dbTtreeNode* u = nodeForUpdate(db, nodeId);
    u->item[count] = recordId;
    u->nItems = uint16_t(count + 1);
    return false;
  }
  if ((n->left == 0 || diff == 0) && count < dbTtreeNode::maxItems) {
    dbTtreeNode* u = nodeForUpdate(db, nodeId);
    memmove(&u->item[1], &u->item[0], size_t(count) * sizeof(oid_t));
    u->item[0] = recordId;
    u->nItems = uint16_t(count + 1);
    return false;
  }
  oid_t child = n->left;
  bool grew;
  if (child == 0) {
    child = newNode(db, recordId);
    grew = true;
  } else {
    grew = insertAt(key, child, recordId);
  }
  if (node(db, nodeId)->left != child) nodeForUpdate(db, nodeId)->left = child;
  return grew && balanceLeftGrowth(db, nodeId);
}

bool dbTtree::balanceRightGrowth(dbDatabase* db, oid_t& nodeId) {
  const int balance = node(db, nodeId)->balance;
  if (balance < 0) {
    nodeForUpdate(db, nodeId)->balance = 0;
    return false;
  }
  if (balance == 0) {
    nodeForUpdate(db, nodeId)->balance = 1;
    return true;
  }
  const oid_t r = node(db, nodeId)->right;
  const dbTtreeNode* rn = node(db, r);
  if (rn->balance > 0) {  // single rotation
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, r);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, r);
    a->right = b->left;
    b->left = nodeId;
    a->balance = b->balance = 0;
    nodeId = r;
  } else {  // double rotation through the right child's left child
    const oid_t s = rn->left;
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, r);
    nodeForUpdate(db, s);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, r);
    dbTtreeNode* c = node(db, s);
    b->left = c->right;
    c->right = r;
    a->right = c->left;
    c->left = nodeId;
    a->balance = c->balance > 0 ? -1 : 0;
    b->balance = c->balance < 0 ? 1 : 0;
    c->balance = 0;
    nodeId = s;
  }
  return false;
}

bool dbTtree::balanceLeftGrowth(dbDatabase* db, oid_t& nodeId) {
  const int balance = node(db, nodeId)->balance;
  if (balance > 0) {
    nodeForUpdate(db, nodeId)->balance = 0;
    return false;
  }
  if (balance == 0) {
    nodeForUpdate(db, nodeId)->balance = -1;
    return true;
  }
  const oid_t l = node(db, nodeId)->left;
  const dbTtreeNode* ln = node(db, l);
  if (ln->balance < 0) {  // single rotation
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, l);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, l);
    a->left = b->right;
    b->right = nodeId;
    a->balance = b->balance = 0;
    nodeId = l;
  } else {  // double rotation through the left child's right child
    const oid_t s = ln->right;
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, l);
    nodeForUpdate(db, s);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, l);
    dbTtreeNode* c = node(db, s);
    b->right = c->left;
    c->left = l;
    a->left = c->right;
    c->right = nodeId;
    a->balance = c->balance < 0 ? 1 : 0;
    b->balance = c->balance > 0 ? -1 : 0;
    c->balance = 0;
    nodeId = s;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Removal

void dbTtree::remove(dbDatabase* db, oid_t treeId, oid_t recordId, int type, int sizeofType,
                     Comparator comparator, int offs) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  Key key{db, type, sizeofType, comparator, offs, {}};
  loadKey(key, recordId);
  oid_t newRoot = root;
  int h = root != 0 ? removeAt(key, newRoot, recordId) : -1;
  dbAssert(h >= 0);
  if (newRoot != root) setRoot(db, treeId, newRoot);
}

// Removes `recordId`, whose key `key` holds, from the subtree rooted at `nodeId`:
// -1 not found, 0 removed, 1 removed and the subtree became lower.
int dbTtree::removeAt(Key& key, oid_t& nodeId, oid_t recordId) {
  dbDatabase* db = key.db;
  const int diff = compareItem(key, node(db, nodeId)->item[0]);
  if (diff <= 0 && node(db, nodeId)->left != 0) {
    oid_t child = node(db, nodeId)->left;
    int h = removeAt(key, child, recordId);
    if (node(db, nodeId)->left != child) nodeForUpdate(db, nodeId)->left = child;
    if (h > 0) return balanceLeftShrink(db, nodeId);
    if (h == 0) return 0;
  }
  if (diff < 0) dbAssertionFailed("diff == 0", __FILE__, __LINE__);
  const dbTtreeNode* n = node(db, nodeId);
  const int count = n->nItems;
  if (compareItem(key, n->item[count - 1]) <= 0) {
    int i = 0;
    while (i < count && n->item[i] != recordId) i++;
    if (i < count) {
      if (count == 1 && (n->left == 0 || n->right == 0)) {
        const oid_t child = n->left != 0 ? n->left : n->right;
        db->freeObject(nodeId);
        nodeId = child;
        return 1;
      }
      if (count <= dbTtreeNode::maxItems - 2 && n->left != 0 && n->balance <= 0) {
        // Borrow the greatest item of the left subtree for the front.
        oid_t from = n->left;
        while (node(db, from)->right != 0) from = node(db, from)->right;
        const dbTtreeNode* source = node(db, from);
        const oid_t borrowed = source->item[source->nItems - 1];
        dbTtreeNode* u = nodeForUpdate(db, nodeId);
        memmove(&u->item[1], &u->item[0], size_t(i) * sizeof(oid_t));
        u->item[0] = borrowed;
        Key other{db, key.type, key.sizeofType, key.comparator, key.offs, {}};
        loadKey(other, borrowed);
        oid_t child = u->left;
        int h = removeAt(other, child, borrowed);
        dbAssert(h >= 0);
        if (node(db, nodeId)->left != child) nodeForUpdate(db, nodeId)->left = child;
        return h > 0 ? balanceLeftShrink(db, nodeId) : 0;
      }
      if (count <= dbTtreeNode::maxItems - 2 && n->right != 0) {
        // Borrow the smallest item of the right subtree for the end.
        oid_t from = n->right;
        while (node(db, from)->left != 0) from = node(db, from)->left;
        const oid_t borrowed = node(db, from)->item[0];
        dbTtreeNode* u = nodeForUpdate(db, nodeId);
        memmove(&u->item[i], &u->item[i + 1], size_t(count - 1 - i) * sizeof(oid_t));
        u->item[count - 1] = borrowed;
        Key other{db, key.type, key.sizeofType, key.comparator, key.offs, {}};
        loadKey(other, borrowed);
        oid_t child = u->right;
        int h = removeAt(other, child, borrowed);
        dbAssert(h >= 0);
        if (node(db, nodeId)->right != child) nodeForUpdate(db, nodeId)->right = child;
        return h > 0 ? balanceRightShrink(db, nodeId) : 0;
      }
      dbTtreeNode* u = nodeForUpdate(db, nodeId);
      memmove(&u->item[i], &u->item[i + 1], size_t(count - 1 - i) * sizeof(oid_t));
      u->item[count - 1] = 0;
      u->nItems = uint16_t(count - 1);
      return 0;
    }
  }
  // Not in this node: equal keys may continue in the right subtree.
  oid_t child = node(db, nodeId)->right;
  if (child == 0) return -1;
  int h = removeAt(key, child, recordId);
  if (node(db, nodeId)->right != child) nodeForUpdate(db, nodeId)->right = child;
  return h > 0 ? balanceRightShrink(db, nodeId) : h;
}

int dbTtree::balanceLeftShrink(dbDatabase* db, oid_t& nodeId) {
  const int balance = node(db, nodeId)->balance;
  if (balance < 0) {
    nodeForUpdate(db, nodeId)->balance = 0;
    return 1;
  }
  if (balance == 0) {
    nodeForUpdate(db, nodeId)->balance = 1;
    return 0;
  }
  const oid_t r = node(db, nodeId)->right;
  const dbTtreeNode* rn = node(db, r);
  if (rn->balance < 0) {  // double rotation through the right child's left child
    const oid_t s = rn->left;
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, r);
    nodeForUpdate(db, s);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, r);
    dbTtreeNode* c = node(db, s);
    b->left = c->right;
    c->right = r;
    a->right = c->left;
    c->left = nodeId;
    a->balance = c->balance > 0 ? -1 : 0;
    b->balance = c->balance < 0 ? 1 : 0;
    c->balance = 0;
    nodeId = s;
    return 1;
  }
  nodeForUpdate(db, nodeId);
  nodeForUpdate(db, r);
  dbTtreeNode* a = node(db, nodeId);
  dbTtreeNode* b = node(db, r);
  a->right = b->left;
  b->left = nodeId;
  nodeId = r;
  if (b->balance == 0) {
    a->balance = 1;
    b->balance = -1;
    return 0;
  }
  a->balance = b->balance = 0;
  return 1;
}

int dbTtree::balanceRightShrink(dbDatabase* db, oid_t& nodeId) {
  const int balance = node(db, nodeId)->balance;
  if (balance > 0) {
    nodeForUpdate(db, nodeId)->balance = 0;
    return 1;
  }
  if (balance == 0) {
    nodeForUpdate(db, nodeId)->balance = -1;
    return 0;
  }
  const oid_t l = node(db, nodeId)->left;
  const dbTtreeNode* ln = node(db, l);
  if (ln->balance > 0) {  // double rotation through the left child's right child
    const oid_t s = ln->right;
    nodeForUpdate(db, nodeId);
    nodeForUpdate(db, l);
    nodeForUpdate(db, s);
    dbTtreeNode* a = node(db, nodeId);
    dbTtreeNode* b = node(db, l);
    dbTtreeNode* c = node(db, s);
    b->right = c->left;
    c->left = l;
    a->left = c->right;
    c->right = nodeId;
    a->balance = c->balance < 0 ? 1 : 0;
    b->balance = c->balance > 0 ? -1 : 0;
    c->balance = 0;
    nodeId = s;
    return 1;
  }
  nodeForUpdate(db, nodeId);
  nodeForUpdate(db, l);
  dbTtreeNode* a = node(db, nodeId);
  dbTtreeNode* b = node(db, l);
  a->left = b->right;
  b->right = nodeId;
  nodeId = l;
  if (b->balance == 0) {
    a->balance = -1;
    b->balance = 1;
    return 0;
  }
  a->balance = b->balance = 0;
  return 1;
}

// ---------------------------------------------------------------------------
// Purge and drop

void dbTtree::purgeAt(dbDatabase* db, oid_t nodeId) {
  const oid_t left = node(db, nodeId)->left, right = node(db, nodeId)->right;
  db->freeObject(nodeId);
  if (left != 0) purgeAt(db, left);
  if (right != 0) purgeAt(db, right);
}

void dbTtree::purge(dbDatabase* db, oid_t treeId) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  if (root == 0) return;
  purgeAt(db, root);
  setRoot(db, treeId, 0);
}

void dbTtree::drop(dbDatabase* db, oid_t treeId) {
  purge(db, treeId);
  db->freeObject(treeId);
}

// ---------------------------------------------------------------------------
// Search and walks

int dbTtree::compareWith(dbDatabase* db, const dbSearchContext& sc, const char* key, oid_t recordId) {
  return compareKey(key, reinterpret_cast<const char*>(db->getRecord(recordId)), sc.type, sc.sizeofType,
                    sc.comparator, sc.offs);
}

bool dbTtree::emit(dbDatabase* db, oid_t recordId, dbSearchContext& sc) {
  if (sc.lastKey != nullptr) {
    const int c = compareWith(db, sc, sc.lastKey, recordId);  // high bound against the item
    if (sc.lastKeyInclusion ? c < 0 : c <= 0) return false;
  }
  return sc.add(recordId);
}

bool dbTtree::findAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc) {
  const dbTtreeNode* n = node(db, nodeId);
  int count = n->nItems;
  // Whether an item with compare(low, item) = c lies below the low bound.
  auto belowLow = [&](int c) { return sc.firstKeyInclusion ? c > 0 : c >= 0; };
  int from = 0;
  if (sc.firstKey != nullptr && count > 1) prefetchRecord(db, n->item[count - 1]);
  prefetchChildren(db, n);
  if (sc.firstKey != nullptr && belowLow(compareWith(db, sc, sc.firstKey, n->item[0]))) {
    if (!belowLow(compareWith(db, sc, sc.firstKey, n->item[count - 1]))) {
      int l = 1, r = count - 1;
      while (l < r) {
        int m = (l + r) >> 1;
        prefetchNextProbes(db, node(db, nodeId)->item, l, m, r);
        if (belowLow(compareWith(db, sc, sc.firstKey, node(db, nodeId)->item[m]))) {
          l = m + 1;
        } else {
          r = m;
        }
      }
      from = l;
    } else {
      from = count;
    }
  } else if (n->left != 0) {
    if (!findAt(db, n->left, sc)) return false;
  }
  // The records of a node are scattered over the file: the handles of the items a
  // few steps ahead, and the records of those whose handles have had time to come,
  // are asked of memory before they are compared, so that their misses overlap.
  // (Addresses are fetched again after each emit, which runs the query's filter.)
  constexpr int handleLead = 16, recordLead = 8;
  for (int i = from; i < count && i < from + handleLead; i++) {
    __builtin_prefetch(&db->currIndex[node(db, nodeId)->item[i]]);
  }
  for (int i = from; i < count; i++) {
    const oid_t* items = node(db, nodeId)->item;
    if (i + handleLead < count) __builtin_prefetch(&db->currIndex[items[i + handleLead]]);
    if (i + recordLead < count) {
      __builtin_prefetch(db->baseAddress() + (db->currIndex[items[i + recordLead]] & ~(dbAllocationQuantum - 1)));
    }
    if (!emit(db, items[i], sc)) return false;
  }
  const oid_t right = node(db, nodeId)->right;
  return right == 0 || findAt(db, right, sc);
}

bool dbTtree::find(dbDatabase* db, oid_t treeId, dbSearchContext& sc) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  return root == 0 || findAt(db, root, sc);
}

bool dbTtree::forwardAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc) {
  const oid_t left = node(db, nodeId)->left;
  if (left != 0 && !forwardAt(db, left, sc)) return false;
  const int count = node(db, nodeId)->nItems;
  for (int i = 0; i < count; i++) {
    if (!sc.add(node(db, nodeId)->item[i])) return false;
  }
  const oid_t right = node(db, nodeId)->right;
  return right == 0 || forwardAt(db, right, sc);
}

bool dbTtree::backwardAt(dbDatabase* db, oid_t nodeId, dbSearchContext& sc) {
  const oid_t right = node(db, nodeId)->right;
  if (right != 0 && !backwardAt(db, right, sc)) return false;
  for (int i = node(db, nodeId)->nItems; --i >= 0;) {
    if (!sc.add(node(db, nodeId)->item[i])) return false;
  }
  const oid_t left = node(db, nodeId)->left;
  return left == 0 || backwardAt(db, left, sc);
}

bool dbTtree::traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, const dbExprNode* condition) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  dbSearchContext sc;
  sc.db = db;
  sc.condition = condition;
  sc.cursor = cursor;
  return root == 0 || forwardAt(db, root, sc);
}

bool dbTtree::traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, const dbExprNode* condition) {
  const oid_t root = reinterpret_cast<const dbTtreeHeader*>(db->getObject(treeId))->root;
  dbSearchContext sc;
  sc.db = db;
  sc.condition = condition;
  sc.cursor = cursor;
  return root == 0 || backwardAt(db, root, sc);
}
