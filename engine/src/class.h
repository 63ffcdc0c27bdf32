// Field and table descriptors: how application structures are described to the
// engine, how their records are laid out, stored, fetched and converted.
//
// Declaring a table next to its structure:
//
//   struct Rule {
//     const char* text;
//     bool remove;
//     KELDRA_DESCRIBE(Rule, KELDRA_KEY(text, HASHED), KELDRA_FIELD(remove));
//   };
//   KELDRA_TABLE(Rule);          // in one source file: the table "Rule"
//
// Field kinds: bool, int8_t/char, int16_t, int32_t, int64_t, float, double,
// const char* (strings), dbReference<T>, dbArray<T>, structures that have their own
// KELDRA_DESCRIBE (embedded), KELDRA_RAWFIELD(x) for fixed byte blocks, and
// KELDRA_METHOD(m) for const methods returning one of the scalar kinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "format.h"

class dbDatabase;
class dbTableDescriptor;
class dbFieldDescriptor;

// Index flags of a field declaration.
enum dbIndexType {
  HASHED = 1,          // keep a hash index on the field
  INDEXED = 2,         // keep a T-tree index on the field
  CASCADE_DELETE = 8,  // a reference with an inverse: losing the last owner removes the record
};

// A reference to a record of table T: its oid, 0 = null.
template <class T>
struct dbReference {
  oid_t oid = 0;
  dbReference() = default;
  explicit dbReference(oid_t id) : oid(id) {}
  bool isNull() const { return oid == 0; }
  bool operator==(const dbReference& other) const { return oid == other.oid; }
  oid_t getOid() const { return oid; }
};

// An application array. After a fetch it either points at the stored elements inside
// the mapped file (when the stored layout equals the application layout: valid until
// the end of the transaction) or owns a copy.
class dbAnyArray {
 public:
  size_t length() const { return nElems; }
  const void* base() const { return data; }
  // Makes `array` refer to `elements` (not owned), or, when `elements` is null, own
  // room for `length` elements.
  typedef void (*Allocator)(dbAnyArray* array, void* elements, size_t length);

 protected:
  void* data = nullptr;
  uint32_t nElems = 0;
  bool owned = false;
};

template <class T>
class dbArray : public dbAnyArray {
 public:
  dbArray() = default;
  dbArray(const T* elements, size_t n) { assign(elements, n); }
  dbArray(const dbArray& other) : dbAnyArray() { assign(other.get(), other.length()); }
  dbArray& operator=(const dbArray& other) {
    if (this != &other) assign(other.get(), other.length());
    return *this;
  }
  ~dbArray() { release(); }
  const T* get() const { return static_cast<const T*>(data); }
  T* update() { return static_cast<T*>(data); }
  const T& operator[](size_t i) const { return get()[i]; }
  void assign(const T* elements, size_t n) {
    T* copy = n ? new T[n] : nullptr;
    for (size_t i = 0; i < n; i++) copy[i] = elements[i];
    release();
    data = copy;
    nElems = uint32_t(n);
    owned = true;
  }
  static void allocate(dbAnyArray* any, void* elements, size_t n) {
    auto* array = static_cast<dbArray*>(any);
    array->release();
    array->nElems = uint32_t(n);
    array->owned = elements == nullptr;
    array->data = elements != nullptr ? elements : (n ? new T[n]() : nullptr);
  }

 private:
  void release() {
    if (owned) delete[] static_cast<T*>(data);
    data = nullptr;
    nElems = 0;
    owned = false;
  }
};

// Calls a method of the application structure for a stored record.
class dbAnyMethodTrampoline {
 public:
  explicit dbAnyMethodTrampoline(dbFieldDescriptor* fd) : field(fd) {}
  virtual void invoke(const char* record, void* result) = 0;
  // A trampoline that calls the method directly on the stored bytes; only valid
  // when the structure's stored layout equals its application layout.
  virtual dbAnyMethodTrampoline* optimize() = 0;
  virtual ~dbAnyMethodTrampoline() = default;

 protected:
  dbFieldDescriptor* field;
};

class dbFieldDescriptor {
 public:
  enum FieldAttributes {
    ComponentOfArray = 1,
    HasArrayComponents = 2,
    OneToOneMapping = 4,
    Updated = 8,
  };

  dbFieldDescriptor(const char* name, size_t offs, size_t size, int indexType,
                    const char* inverse = nullptr);
  explicit dbFieldDescriptor(const char* methodName);  // a method
  ~dbFieldDescriptor();
  dbFieldDescriptor(const dbFieldDescriptor&) = delete;
  dbFieldDescriptor& operator=(const dbFieldDescriptor&) = delete;

  // Links `other` after this list's last element; both lists are circular.
  dbFieldDescriptor& operator,(dbFieldDescriptor& other);

  const char* name = nullptr;   // interned
  std::string longName;         // path name, "fields[].name"
  int type = dbField::tpUnknown;
  int appType = dbField::tpUnknown;
  uint32_t appOffs = 0, appSize = 0;
  uint32_t recordAppOffs = 0;  // offset in the record's application structure (not in array elements)
  uint32_t dbsOffs = 0, dbsSize = 0;
  uint32_t alignment = 1;
  int indexType = 0;
  int attr = 0;
  dbFieldDescriptor* next = this;  // circular list of one structure's fields
  dbFieldDescriptor* prev = this;
  dbFieldDescriptor* components = nullptr;
  const char* refTableName = nullptr;
  dbTableDescriptor* refTable = nullptr;
  const char* inverseRefName = nullptr;
  dbFieldDescriptor* inverseRef = nullptr;
  oid_t hashTable = 0;
  oid_t tTree = 0;
  int (*comparator)(const void*, const void*, size_t) = defaultComparator;
  dbAnyMethodTrampoline* method = nullptr;
  dbAnyArray::Allocator arrayAllocator = nullptr;
  dbTableDescriptor* defTable = nullptr;
  int fieldNo = 0;
  int oldType = dbField::tpUnknown;
  uint32_t oldDbsOffs = 0, oldDbsSize = 0;

  // Chains of a table descriptor.
  dbFieldDescriptor* nextField = nullptr;
  dbFieldDescriptor* nextHashedField = nullptr;
  dbFieldDescriptor* nextIndexedField = nullptr;
  dbFieldDescriptor* nextInverseField = nullptr;

  // The three walks over a record. `fields` is the first of a circular list.
  static size_t recordSize(const dbFieldDescriptor* fields, const void* structure, size_t fixedSize);
  static size_t storeRecord(const dbFieldDescriptor* fields, char* base, const void* structure, size_t pos);
  static void fetchRecord(const dbFieldDescriptor* fields, void* structure, const char* base);
  // Sets Updated on the indexed fields whose value in `structure` differs from the
  // stored one. True when any did.
  static bool markChangedKeys(dbFieldDescriptor* fields, const char* base, const void* structure);
  // New size of a record of the old layout after conversion, and the conversion.
  static size_t convertedSize(const dbFieldDescriptor* fields, const char* old, size_t fixedSize);
  static size_t convertRecord(const dbFieldDescriptor* fields, char* to, const char* old, size_t pos);

  static int defaultComparator(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }
  bool isMethod() const { return type >= dbField::tpMethodBool && type <= dbField::tpMethodReference; }
};

// The interned copy of an identifier: equal names are the same pointer.
const char* dbInternName(const char* name);

class dbTableDescriptor {
 public:
  typedef dbFieldDescriptor* (*describeFunc)();

  dbTableDescriptor(const char* name, dbDatabase* db, size_t appSize, describeFunc describe,
                    dbTableDescriptor* cloneOf = nullptr);
  ~dbTableDescriptor();
  dbTableDescriptor(const dbTableDescriptor&) = delete;
  dbTableDescriptor& operator=(const dbTableDescriptor&) = delete;

  dbTableDescriptor* clone();
  dbFieldDescriptor* findSymbol(const char* name) const;  // a top-level field
  dbFieldDescriptor* find(const char* longName) const;    // any field by path
  size_t recordSize(const void* structure) const {
    return dbFieldDescriptor::recordSize(columns, structure, fixedSize);
  }
  // Whether a stored description equals this one; when it does, the fields take over
  // the stored indexes they declare.
  bool equal(const dbTable* stored);
  // Matches the fields with the stored entries (old layout). False, with the reason
  // in `problem`, when a field's stored type cannot be converted to its declared one
  // or when an entry has no field and columns may not be removed. `exact` tells
  // whether nothing but indexes changed.
  bool match(dbTable* stored, bool columnRemovalAllowed, bool* exact, std::string* problem = nullptr);
  size_t descriptorRecordSize() const;
  void writeDescriptorRecord(dbTable* record) const;
  void checkDeclarations();  // assertions about methods, arrays and indexes

  static dbTableDescriptor* chain;  // every descriptor of the program, newest first
  static dbDatabase* const DETACHED_TABLE;

  const char* name;
  dbFieldDescriptor* columns = nullptr;
  dbFieldDescriptor* firstField = nullptr;
  dbFieldDescriptor* hashedFields = nullptr;
  dbFieldDescriptor* indexedFields = nullptr;
  dbFieldDescriptor* inverseFields = nullptr;
  int nFields = 0;
  int nColumns = 0;
  uint32_t fixedSize = sizeof(dbRecord);
  size_t appSize = 0;
  size_t declaredSize;
  bool oneToOneMapping = false;  // stored fixed part equals the structure's layout
  oid_t tableId = 0;
  dbDatabase* db;
  bool boundAtConstruction;
  dbTableDescriptor* cloneOf;
  dbTableDescriptor* nextStatic = nullptr;
  dbTableDescriptor* nextDbTable = nullptr;
  describeFunc describe;

 private:
  void computeLayout();
  uint32_t layoutLevel(dbFieldDescriptor* first, const std::string& prefix, uint32_t appBase, uint32_t& offset,
                       int indexMask, int& attr, dbFieldDescriptor**& tail, size_t& appEnd);
};

// ---------------------------------------------------------------------------
// Describe calls: each gives a field descriptor its type.

dbFieldDescriptor* dbDescribeScalar(dbFieldDescriptor* fd, int type);
dbFieldDescriptor* dbDescribeString(dbFieldDescriptor* fd);
dbFieldDescriptor* dbDescribeReference(dbFieldDescriptor* fd, const char* refTableName);
dbFieldDescriptor* dbDescribeStructure(dbFieldDescriptor* fd, dbFieldDescriptor* components);
dbFieldDescriptor* dbDescribeArray(dbFieldDescriptor* fd, dbFieldDescriptor* element, dbAnyArray::Allocator allocator);
dbFieldDescriptor* dbDescribeRaw(dbFieldDescriptor* fd, size_t alignment);
dbFieldDescriptor* dbChainFields(std::initializer_list<dbFieldDescriptor*> fields);

inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, bool&) { return dbDescribeScalar(fd, dbField::tpBool); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, char&) { return dbDescribeScalar(fd, dbField::tpInt1); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, int8_t&) { return dbDescribeScalar(fd, dbField::tpInt1); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, int16_t&) { return dbDescribeScalar(fd, dbField::tpInt2); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, int32_t&) { return dbDescribeScalar(fd, dbField::tpInt4); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, int64_t&) { return dbDescribeScalar(fd, dbField::tpInt8); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, float&) { return dbDescribeScalar(fd, dbField::tpReal4); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, double&) { return dbDescribeScalar(fd, dbField::tpReal8); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, const char*&) { return dbDescribeString(fd); }
inline dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, char*&) { return dbDescribeString(fd); }
template <class T>
dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, dbReference<T>&) {
  return dbDescribeReference(fd, T::dbTableName());
}
template <class T>
dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, T& structure)
  requires requires(T& t) { t.dbDescribeComponents(); }
{
  return dbDescribeStructure(fd, structure.dbDescribeComponents());
}
template <class T>
dbFieldDescriptor* dbDescribeField(dbFieldDescriptor* fd, dbArray<T>&) {
  static T element{};
  dbFieldDescriptor* elementFd = dbDescribeField(new dbFieldDescriptor("[]", 0, sizeof(T), 0), element);
  return dbDescribeArray(fd, elementFd, &dbArray<T>::allocate);
}

// Method trampolines for a const method of T returning R.
template <class T, class R>
class dbMethodFastTrampoline : public dbAnyMethodTrampoline {
 public:
  dbMethodFastTrampoline(dbFieldDescriptor* fd, R (T::*m)() const) : dbAnyMethodTrampoline(fd), method(m) {}
  void invoke(const char* record, void* result) override {
    // The structure begins where its first field's application offset says.
    const char* structure = record + field->dbsOffs - field->components->appOffs;
    *static_cast<R*>(result) = (reinterpret_cast<const T*>(structure)->*method)();
  }
  dbAnyMethodTrampoline* optimize() override { return this; }

 private:
  R (T::*method)() const;
};

template <class T, class R>
class dbMethodTrampoline : public dbAnyMethodTrampoline {
 public:
  dbMethodTrampoline(dbFieldDescriptor* fd, R (T::*m)() const) : dbAnyMethodTrampoline(fd), method(m) {}
  void invoke(const char* record, void* result) override {
    T object{};
    dbFieldDescriptor::fetchRecord(field->components, &object, record);
    *static_cast<R*>(result) = (object.*method)();
  }
  dbAnyMethodTrampoline* optimize() override {
    auto* fast = new dbMethodFastTrampoline<T, R>(field, method);
    delete this;
    return fast;
  }

 private:
  R (T::*method)() const;
};

template <class R>
constexpr int dbTypeCodeOf() {
  if constexpr (std::is_same_v<R, bool>) return dbField::tpBool;
  else if constexpr (sizeof(R) == 1 && std::is_integral_v<R>) return dbField::tpInt1;
  else if constexpr (sizeof(R) == 2 && std::is_integral_v<R>) return dbField::tpInt2;
  else if constexpr (sizeof(R) == 4 && std::is_integral_v<R>) return dbField::tpInt4;
  else if constexpr (sizeof(R) == 8 && std::is_integral_v<R>) return dbField::tpInt8;
  else if constexpr (std::is_same_v<R, float>) return dbField::tpReal4;
  else if constexpr (std::is_same_v<R, double>) return dbField::tpReal8;
  else if constexpr (std::is_same_v<R, const char*>) return dbField::tpString;
  else return dbField::tpReference;
}

template <class T, class R>
dbFieldDescriptor* dbDescribeMethod(dbFieldDescriptor* fd, R (T::*method)() const) {
  fd->type = fd->appType = dbField::tpMethodBool + dbTypeCodeOf<R>();
  fd->method = new dbMethodTrampoline<T, R>(fd, method);
  return fd;
}

template <class T>
dbFieldDescriptor* dbDescribeTable() {
  static T prototype{};
  return prototype.dbDescribeComponents();
}

#define KELDRA_OFFSET(x) size_t(reinterpret_cast<const char*>(&x) - reinterpret_cast<const char*>(this))
#define KELDRA_DESCRIBE(T, ...)                                   \
  [[maybe_unused]] typedef T dbSelf;                              \
  static const char* dbTableName() { return #T; }                 \
  [[maybe_unused]] static dbTableDescriptor& dbTable(); /* defined by KELDRA_TABLE */ \
  dbFieldDescriptor* dbDescribeComponents() { return dbChainFields({__VA_ARGS__}); }
#define KELDRA_FIELD(x) dbDescribeField(new dbFieldDescriptor(#x, KELDRA_OFFSET(x), sizeof(x), 0), x)
#define KELDRA_KEY(x, index) dbDescribeField(new dbFieldDescriptor(#x, KELDRA_OFFSET(x), sizeof(x), index), x)
#define KELDRA_RELATION(x, inverse) \
  dbDescribeField(new dbFieldDescriptor(#x, KELDRA_OFFSET(x), sizeof(x), 0, #inverse), x)
#define KELDRA_OWNER(x, inverse) \
  dbDescribeField(new dbFieldDescriptor(#x, KELDRA_OFFSET(x), sizeof(x), CASCADE_DELETE, #inverse), x)
#define KELDRA_RAWFIELD(x) dbDescribeRaw(new dbFieldDescriptor(#x, KELDRA_OFFSET(x), sizeof(x), 0), alignof(decltype(x)))
#define KELDRA_METHOD(m) dbDescribeMethod(new dbFieldDescriptor(#m), &dbSelf::m)
#define KELDRA_TABLE(T)                                                        \
  dbTableDescriptor T##_descriptor(#T, nullptr, sizeof(T), &dbDescribeTable<T>); \
  dbTableDescriptor& T::dbTable() { return T##_descriptor; }

// ---------------------------------------------------------------------------

// A string arena: stable copies of strings the application passes to the engine.
class keldraBuffer {
 public:
  keldraBuffer() = default;
  ~keldraBuffer();
  keldraBuffer(const keldraBuffer&) = delete;
  keldraBuffer& operator=(const keldraBuffer&) = delete;
  const char* put(const char* text);

 private:
  struct Block {
    Block* next;
    size_t size;
    size_t used;
    char data[1];
  };
  Block* first = nullptr;
  Block* current = nullptr;
};

// A point in time, stored as seconds since 1 January 1970 (local-time fields).
struct dbDateTime {
  int32_t stamp = 0;
  dbDateTime() = default;
  explicit dbDateTime(int32_t seconds) : stamp(seconds) {}
  static dbDateTime current();
  int32_t year() const;
  int32_t month() const;      // 1..12
  int32_t day() const;        // 1..31
  int32_t dayOfYear() const;  // 1..366
  int32_t dayOfWeek() const;  // 1 = Sunday .. 7
  int32_t hour() const;
  int32_t minute() const;
  int32_t second() const;
  bool operator==(const dbDateTime& other) const { return stamp == other.stamp; }
  KELDRA_DESCRIBE(dbDateTime, KELDRA_KEY(stamp, HASHED | INDEXED), KELDRA_METHOD(year), KELDRA_METHOD(month),
                  KELDRA_METHOD(day), KELDRA_METHOD(dayOfYear), KELDRA_METHOD(dayOfWeek), KELDRA_METHOD(hour),
                  KELDRA_METHOD(minute), KELDRA_METHOD(second));
};
