// The persistent indexes of key fields and what a search asks of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cursor.h"

// One index operation of a search: the key range, how keys are read from records,
// the filter and the cursor that receives the records found.
struct dbSearchContext {
  dbDatabase* db = nullptr;
  const dbExprNode* condition = nullptr;  // filter of the records found; null = none
  dbAnyCursor* cursor = nullptr;          // receives the records
  // Keys in the field's stored layout: for strings a NUL-terminated string, else the
  // field's bytes. Null: no bound on that side.
  const char* firstKey = nullptr;
  bool firstKeyInclusion = true;
  const char* lastKey = nullptr;
  bool lastKeyInclusion = true;
  int type = 0;        // dbField type code of the key field
  int sizeofType = 0;  // stored size of the key field
  int offs = 0;        // offset of the key field in the record
  int (*comparator)(const void*, const void*, size_t) = nullptr;  // raw-binary keys

  // Adds the record when it passes the filter; false when the search must stop.
  bool add(oid_t oid) const {
    if (condition != nullptr && !db->evaluateCondition(condition, oid, cursor->getTable(), cursor->paramOrigin)) {
      return true;
    }
    return cursor->addToSelection(oid);
  }
};
