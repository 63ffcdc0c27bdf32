// Cursors: the application's way to read, change and remove the records of one
// table. A cursor holds a selection (the oids a query produced, or the whole table
// walked along the record chain), a position in it, and a record buffer into which
// the current record is fetched. A positioned cursor belongs to the transaction of
// its thread: commit and rollback reset it.
#pragma once

#include <cstdint>

#include "database.h"
#include "query.h"

enum dbCursorType : uint8_t {
  dbCursorForReading = 0,  // select takes the shared lock
  dbCursorForUpdate = 1,   // select takes the exclusive lock; update and remove allowed
};

// Selected oids in segments of 1024, in the order the search found them.
class dbSelection {
 public:
  static constexpr uint32_t segmentSize = 1024;
  struct segment {
    segment* prev;
    segment* next;
    uint32_t used;
    oid_t ids[segmentSize];
  };
  segment* head = nullptr;
  segment* tail = nullptr;
  segment* current = nullptr;
  uint32_t count = 0;
  uint32_t position = 0;  // index inside `current`

  dbSelection() = default;
  ~dbSelection();
  dbSelection(const dbSelection&) = delete;
  dbSelection& operator=(const dbSelection&) = delete;
  void add(oid_t oid);
  // Empties the selection. One segment is kept aside for the next add: a cursor
  // that selects one record at a time allocates its segment once, not per select.
  void reset();
  void reverse();
  void append(dbSelection& other);  // takes over other's segments

 private:
  segment* spare = nullptr;  // an empty segment outside the list, for reuse
};

class dbAnyCursor : public dbL2List {
  friend class dbDatabase;
  friend struct dbSearchContext;

 public:
  dbAnyCursor(dbTableDescriptor& table, dbCursorType type, void* record, dbDatabase* db = nullptr);
  ~dbAnyCursor();
  dbAnyCursor(const dbAnyCursor&) = delete;
  dbAnyCursor& operator=(const dbAnyCursor&) = delete;

  uint32_t select(dbQuery& query, dbCursorType type, const char* paramOrigin = nullptr);
  uint32_t select(const char* condition, dbCursorType type, const char* paramOrigin = nullptr);
  uint32_t select(dbCursorType type);  // the whole table
  bool moveFirst();
  bool moveNext();
  void fetchCurrent();
  void update();
  void remove();
  void selectById(oid_t oid);
  void resetCursor();

  oid_t getOid() const { return currId; }
  bool isEmpty() const { return currId == 0; }
  uint32_t getNumberOfRecords() const { return selection.count; }
  void setMaxRows(uint32_t limit) { maxRows = limit; }
  dbTableDescriptor* getTable() const { return table; }
  dbDatabase* getDatabase() const { return db; }
  void setAutoFetch(bool on) { autoFetch = on; }

  // Used by the search.
  bool addToSelection(oid_t oid);
  void enableDedup();
  bool isSeen(oid_t oid) const;
  void markSeen(oid_t oid);
  void selectWholeTable();
  static void sortSelection(dbDatabase* db, dbSelection& selection, dbOrderKey* keys);
  static int compareRecords(dbDatabase* db, dbOrderKey* keys, oid_t a, oid_t b);

  // Record buffer pointers into the mapping moved by `delta` (file growth).
  void mappingMoved(const char* oldBase, size_t oldSize, ptrdiff_t delta);

 protected:
  dbDatabase* db;
  dbTableDescriptor* table;
  dbCursorType type;
  dbCursorType defaultType;
  dbSelection selection;
  bool wholeTable = false;
  oid_t tableFirst = 0;
  oid_t tableLast = 0;
  oid_t currId = 0;
  void* appRecord;
  uint32_t maxRows = 2000000000;
  uint32_t* seenMap = nullptr;
  uint32_t seenMapSize = 0;  // words
  bool dedupActive = false;
  bool autoFetch = true;
  bool selfUpdating = false;
  const char* paramOrigin = nullptr;
  // The record that followed the current one when another cursor removed that: the
  // cursor is empty then, and its next step goes on there (0: none followed).
  oid_t followingRemoved = 0;

  void positionCurrent();
  void linkToTransaction();
  // Takes the current oid out of the selection and returns the oid that followed it
  // (0: none), on which the selection is then positioned; with none, on the oid
  // before it, if any.
  oid_t unlinkCurrent();
  // Record `oid`, still readable, is being removed, not through this cursor.
  void recordRemoved(oid_t oid);
};

// The typed cursor operations over a cursor class `Base`, with a T as the record.
template <class T, class Base>
class dbTypedCursor : public Base {
 public:
  explicit dbTypedCursor(dbCursorType type = dbCursorForReading, dbDatabase* db = nullptr)
      : Base(T::dbTable(), type, &record, db) {}
  uint32_t select(dbQuery& query) { return Base::select(query, this->defaultType); }
  uint32_t select(const char* condition) { return Base::select(condition, this->defaultType); }
  uint32_t select() { return Base::select(this->defaultType); }
  T* get() {
    dbAssert(this->currId != 0);
    return &record;
  }
  T* operator->() { return get(); }
  T* next() {
    if (!this->moveNext()) return nullptr;
    this->fetchCurrent();
    return &record;
  }
  T* at(dbReference<T> ref) {
    dbAssert(ref.oid != 0);
    this->selectById(ref.oid);
    return &record;
  }

 private:
  T record{};
};

// A cursor over the table of T with a T as its record buffer.
template <class T>
class dbCursor : public dbTypedCursor<T, dbAnyCursor> {
 public:
  using dbTypedCursor<T, dbAnyCursor>::dbTypedCursor;
};
