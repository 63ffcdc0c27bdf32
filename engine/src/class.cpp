// Field and table descriptors: layout, the record walks (size, store, fetch,
// changed keys, conversion) and the table-descriptor records of the Metatable.
#include "class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <vector>

#include "database.h"
#include "sync.h"

namespace {

uint32_t roundUp(size_t value, size_t multiple) { return uint32_t((value + multiple - 1) / multiple * multiple); }

const dbVarying* varyingAt(const char* base, uint32_t offset) {
  return reinterpret_cast<const dbVarying*>(base + offset);
}

dbVarying* varyingAt(char* base, uint32_t offset) { return reinterpret_cast<dbVarying*>(base + offset); }

// Values of an old layout are read by copy: a stored offset need not be aligned.
template <class T>
T loadStored(const char* p) {
  T value;
  memcpy(&value, p, sizeof value);
  return value;
}
dbVarying storedVarying(const char* base, uint32_t offset) { return loadStored<dbVarying>(base + offset); }

bool isNumeric(int type) { return type >= dbField::tpBool && type <= dbField::tpReal8; }
bool isReal(int type) { return type == dbField::tpReal4 || type == dbField::tpReal8; }

// Whether a field's stored value has variable parts (strings or arrays inside).
bool hasVariableParts(const dbFieldDescriptor* fd) {
  return fd->type == dbField::tpString || fd->type == dbField::tpArray ||
         (fd->attr & dbFieldDescriptor::HasArrayComponents);
}

// Calls `visit` for each field of a circular list up to the first method.
template <class Visit>
void forEachVariable(const dbFieldDescriptor* fields, Visit visit) {
  const dbFieldDescriptor* fd = fields;
  do {
    if (fd->isMethod()) return;
    visit(fd);
  } while ((fd = fd->next) != fields);
}

}  // namespace

// ---------------------------------------------------------------------------
// Interned names

const char* dbInternName(const char* name) {
  static std::mutex mutex;
  static std::set<std::string>* names = new std::set<std::string>;  // lives for the process
  std::lock_guard<std::mutex> guard(mutex);
  return names->insert(name).first->c_str();
}

// ---------------------------------------------------------------------------
// Field descriptors and the describe calls

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName, size_t offs, size_t size, int index,
                                     const char* inverse)
    : name(dbInternName(fieldName)),
      appOffs(uint32_t(offs)),
      appSize(uint32_t(size)),
      dbsSize(uint32_t(size)),
      alignment(uint32_t(size)),
      indexType(index),
      inverseRefName(inverse != nullptr ? dbInternName(inverse) : nullptr) {}

dbFieldDescriptor::dbFieldDescriptor(const char* methodName) : name(dbInternName(methodName)), dbsSize(0) {}

dbFieldDescriptor::~dbFieldDescriptor() {
  delete method;
  if (components != nullptr && !isMethod()) {  // a method's components are its siblings
    dbFieldDescriptor* c = components;
    do {
      dbFieldDescriptor* following = c->next;
      c->next = c->prev = c;  // deleted one by one below
      delete c;
      c = following;
    } while (c != components);
  }
}

dbFieldDescriptor& dbFieldDescriptor::operator,(dbFieldDescriptor& other) {
  dbFieldDescriptor* tail = prev;
  dbFieldDescriptor* otherTail = other.prev;
  tail->next = &other;
  other.prev = tail;
  otherTail->next = this;
  prev = otherTail;
  return *this;
}

dbFieldDescriptor* dbChainFields(std::initializer_list<dbFieldDescriptor*> fields) {
  dbFieldDescriptor* first = nullptr;
  for (dbFieldDescriptor* fd : fields) {
    if (first == nullptr) first = fd;
    else (void)(*first, *fd);
  }
  return first;
}

dbFieldDescriptor* dbDescribeScalar(dbFieldDescriptor* fd, int type) {
  fd->type = fd->appType = type;
  return fd;
}

dbFieldDescriptor* dbDescribeString(dbFieldDescriptor* fd) {
  fd->type = fd->appType = dbField::tpString;
  fd->dbsSize = 8;
  fd->alignment = 4;
  fd->components = new dbFieldDescriptor("[]", 0, 1, 0);  // the characters; not stored as a field
  fd->components->type = fd->components->appType = dbField::tpInt1;
  return fd;
}

dbFieldDescriptor* dbDescribeReference(dbFieldDescriptor* fd, const char* refTableName) {
  fd->type = fd->appType = dbField::tpReference;
  fd->refTableName = dbInternName(refTableName);
  return fd;
}

dbFieldDescriptor* dbDescribeStructure(dbFieldDescriptor* fd, dbFieldDescriptor* components) {
  fd->type = fd->appType = dbField::tpStructure;
  fd->components = components;
  return fd;
}

dbFieldDescriptor* dbDescribeArray(dbFieldDescriptor* fd, dbFieldDescriptor* element, dbAnyArray::Allocator allocator) {
  fd->type = fd->appType = dbField::tpArray;
  fd->dbsSize = 8;
  fd->alignment = 4;
  fd->components = element;
  fd->arrayAllocator = allocator;
  if (element->type == dbField::tpReference) fd->refTableName = element->refTableName;
  return fd;
}

dbFieldDescriptor* dbDescribeRaw(dbFieldDescriptor* fd, size_t alignment) {
  fd->type = fd->appType = dbField::tpRawBinary;
  fd->alignment = uint32_t(alignment);
  return fd;
}

// ---------------------------------------------------------------------------
// Record walks

namespace {

// The first position at or after `pos` that is a multiple of `alignment` within the
// record. Positions inside array elements are relative to the element, which starts
// `origin` bytes into the record: what is aligned is the place in the record, so
// that values fetched in place are aligned in memory.
size_t alignInRecord(size_t pos, size_t origin, size_t alignment) { return roundUp(origin + pos, alignment) - origin; }

// The walk that lays out the variable parts of `structure` from `pos` on: with `base`
// null it only measures, otherwise it also stores the fields. Sizing and storing are
// this one computation, so a record never gets fewer bytes than its store writes.
// `base` is the level's start (the record, or an array element), `origin` its
// offset in the record. Returns the end position, relative to `base`.
size_t layOutRecord(const dbFieldDescriptor* fields, char* base, size_t origin, const void* structure, size_t pos) {
  const char* app = static_cast<const char*>(structure);
  forEachVariable(fields, [&](const dbFieldDescriptor* fd) {
    switch (fd->type) {
      case dbField::tpString: {
        const char* s = *reinterpret_cast<const char* const*>(app + fd->appOffs);
        if (s == nullptr) s = "";  // a null pointer is stored as the empty string
        size_t count = strlen(s) + 1;
        if (base != nullptr) {
          *varyingAt(base, fd->dbsOffs) = {uint32_t(count), uint32_t(pos)};
          memcpy(base + pos, s, count);
        }
        pos += count;
        break;
      }
      case dbField::tpArray: {
        const auto* array = reinterpret_cast<const dbAnyArray*>(app + fd->appOffs);
        const dbFieldDescriptor* element = fd->components;
        const size_t n = array->length();
        pos = alignInRecord(pos, origin, element->alignment);
        if (base != nullptr) *varyingAt(base, fd->dbsOffs) = {uint32_t(n), uint32_t(pos)};
        const size_t first = pos;
        pos += n * element->dbsSize;
        if (n == 0) break;
        if (fd->attr & dbFieldDescriptor::OneToOneMapping) {
          if (base != nullptr) memcpy(base + first, array->base(), n * element->dbsSize);
          break;
        }
        if (base == nullptr && !hasVariableParts(element)) break;
        const char* elements = static_cast<const char*>(array->base());
        for (size_t i = 0; i < n; i++) {
          size_t at = first + i * element->dbsSize;
          pos = at + layOutRecord(element, base != nullptr ? base + at : nullptr, origin + at,
                                  elements + i * element->appSize, pos - at);
        }
        break;
      }
      case dbField::tpStructure:
        pos = layOutRecord(fd->components, base, origin, app + fd->appOffs, pos);
        break;
      default:
        if (base != nullptr) memcpy(base + fd->dbsOffs, app + fd->appOffs, fd->dbsSize);
        break;
    }
  });
  return pos;
}

}  // namespace

size_t dbFieldDescriptor::recordSize(const dbFieldDescriptor* fields, const void* structure, size_t size) {
  return layOutRecord(fields, nullptr, 0, structure, size);
}

size_t dbFieldDescriptor::storeRecord(const dbFieldDescriptor* fields, char* base, const void* structure, size_t pos) {
  return layOutRecord(fields, base, 0, structure, pos);
}

void dbFieldDescriptor::fetchRecord(const dbFieldDescriptor* fields, void* structure, const char* base) {
  char* app = static_cast<char*>(structure);
  forEachVariable(fields, [&](const dbFieldDescriptor* fd) {
    switch (fd->type) {
      case dbField::tpString:
        *reinterpret_cast<const char**>(app + fd->appOffs) = base + varyingAt(base, fd->dbsOffs)->offset;
        break;
      case dbField::tpArray: {
        const dbVarying stored = *varyingAt(base, fd->dbsOffs);
        auto* array = reinterpret_cast<dbAnyArray*>(app + fd->appOffs);
        const dbFieldDescriptor* element = fd->components;
        if (fd->attr & OneToOneMapping) {
          fd->arrayAllocator(array, const_cast<char*>(base) + stored.offset, stored.count);
          break;
        }
        fd->arrayAllocator(array, nullptr, stored.count);
        char* elements = static_cast<char*>(const_cast<void*>(array->base()));
        for (size_t i = 0; i < stored.count; i++) {
          const char* elementBase = base + stored.offset + i * element->dbsSize;
          fetchRecord(element, elements + i * element->appSize, elementBase);
        }
        break;
      }
      case dbField::tpStructure:
        fetchRecord(fd->components, app + fd->appOffs, base);
        break;
      default:
        memcpy(app + fd->appOffs, base + fd->dbsOffs, fd->dbsSize);
        break;
    }
  });
}

bool dbFieldDescriptor::markChangedKeys(dbFieldDescriptor* fields, const char* base, const void* structure) {
  const char* app = static_cast<const char*>(structure);
  bool changed = false;
  dbFieldDescriptor* fd = fields;
  do {
    if (fd->isMethod()) break;
    if (fd->type == dbField::tpStructure) {
      changed |= markChangedKeys(fd->components, base, app + fd->appOffs);
      continue;
    }
    if (!(fd->indexType & (HASHED | INDEXED))) continue;
    bool differs;
    const char* stored = base + fd->dbsOffs;
    const char* value = app + fd->appOffs;
    switch (fd->type) {
      case dbField::tpString: {
        const char* s = *reinterpret_cast<const char* const*>(value);
        differs = strcmp(base + varyingAt(base, fd->dbsOffs)->offset, s != nullptr ? s : "") != 0;
        break;
      }
      case dbField::tpArray:
        differs = false;  // arrays are never keys
        break;
      default:
        // Reals too: -0.0 and 0.0 are equal numbers but hash apart, so the index
        // item must move when one becomes the other.
        differs = memcmp(stored, value, fd->dbsSize) != 0;
        break;
    }
    if (differs) {
      fd->attr |= Updated;
      changed = true;
    }
  } while ((fd = fd->next) != fields);
  return changed;
}

// ---------------------------------------------------------------------------
// Conversion of a record of the old layout

namespace {

int64_t readInteger(const char* p, int type) {
  switch (type) {
    case dbField::tpBool: return loadStored<uint8_t>(p);
    case dbField::tpInt1: return loadStored<int8_t>(p);
    case dbField::tpInt2: return loadStored<int16_t>(p);
    case dbField::tpInt4: return loadStored<int32_t>(p);
    default: return loadStored<int64_t>(p);
  }
}

double readReal(const char* p, int type) {
  return type == dbField::tpReal4 ? loadStored<float>(p) : loadStored<double>(p);
}

// Truncates toward zero; values outside 64 bits saturate and NaN becomes 0, so that
// a damaged or extreme value never makes the conversion undefined.
int64_t truncateToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return INT64_MAX;
  if (value <= -9.2233720368547758e18) return INT64_MIN;
  return int64_t(value);
}

void convertNumeric(char* to, int newType, const char* old, int oldType) {
  if (oldType == dbField::tpUnknown) {
    memset(to, 0, newType == dbField::tpBool || newType == dbField::tpInt1 ? 1
                  : newType == dbField::tpInt2                               ? 2
                  : newType == dbField::tpInt4 || newType == dbField::tpReal4 ? 4
                                                                              : 8);
    return;
  }
  if (newType == dbField::tpBool) {
    if (oldType == dbField::tpBool) *to = *old;
    else *to = isReal(oldType) ? readReal(old, oldType) != 0 : readInteger(old, oldType) != 0;
    return;
  }
  if (isReal(newType)) {
    double value = isReal(oldType) ? readReal(old, oldType) : double(readInteger(old, oldType));
    if (newType == dbField::tpReal4) *reinterpret_cast<float*>(to) = float(value);
    else *reinterpret_cast<double*>(to) = value;
    return;
  }
  int64_t value = isReal(oldType) ? truncateToInteger(readReal(old, oldType)) : readInteger(old, oldType);
  switch (newType) {
    case dbField::tpInt1: *reinterpret_cast<int8_t*>(to) = int8_t(value); break;
    case dbField::tpInt2: *reinterpret_cast<int16_t*>(to) = int16_t(value); break;
    case dbField::tpInt4: *reinterpret_cast<int32_t*>(to) = int32_t(value); break;
    default: *reinterpret_cast<int64_t*>(to) = value; break;
  }
}

}  // namespace

namespace {

// The conversion of a record of the old layout from `pos` on, the one walk behind
// both convertedSize (`to` null: only measures) and convertRecord. `to` and `old`
// are the level's starts in the new and the old record, `origin` the new level's
// offset in the new record. Returns the end position, relative to `to`.
size_t convertLevel(const dbFieldDescriptor* fields, char* to, size_t origin, const char* old, size_t pos) {
  forEachVariable(fields, [&](const dbFieldDescriptor* fd) {
    switch (fd->type) {
      case dbField::tpString: {
        const bool kept = fd->oldType == dbField::tpString;
        const dbVarying stored = kept ? storedVarying(old, fd->oldDbsOffs) : dbVarying{1, 0};
        const uint32_t count = stored.count;
        if (to != nullptr) {
          if (kept) memcpy(to + pos, old + stored.offset, count);
          else to[pos] = '\0';
          *varyingAt(to, fd->dbsOffs) = {count, uint32_t(pos)};
        }
        pos += count;
        break;
      }
      case dbField::tpArray: {
        if (fd->oldType != dbField::tpArray) {
          if (to != nullptr) *varyingAt(to, fd->dbsOffs) = {0, 0};
          break;
        }
        const dbVarying stored = storedVarying(old, fd->oldDbsOffs);
        const dbFieldDescriptor* element = fd->components;
        pos = alignInRecord(pos, origin, element->alignment);
        if (to != nullptr) *varyingAt(to, fd->dbsOffs) = {stored.count, uint32_t(pos)};
        const size_t first = pos;
        pos += size_t(stored.count) * element->dbsSize;
        if (to == nullptr && !hasVariableParts(element)) break;
        for (size_t i = 0; i < stored.count; i++) {
          size_t at = first + i * element->dbsSize;
          const char* oldElement = old + stored.offset + i * element->oldDbsSize;
          pos = at + convertLevel(element, to != nullptr ? to + at : nullptr, origin + at, oldElement, pos - at);
        }
        break;
      }
      case dbField::tpStructure:
        pos = convertLevel(fd->components, to, origin, old, pos);
        break;
      default: {
        if (to == nullptr) break;
        char* dst = to + fd->dbsOffs;
        const char* src = old + fd->oldDbsOffs;
        if (fd->type == dbField::tpReference) {
          *reinterpret_cast<oid_t*>(dst) = fd->oldType == dbField::tpReference ? loadStored<oid_t>(src) : 0;
        } else if (fd->type == dbField::tpRawBinary) {
          memset(dst, 0, fd->dbsSize);
          if (fd->oldType == dbField::tpRawBinary) memcpy(dst, src, std::min(fd->dbsSize, fd->oldDbsSize));
        } else {
          convertNumeric(dst, fd->type, src, isNumeric(fd->oldType) ? fd->oldType : int(dbField::tpUnknown));
        }
        break;
      }
    }
  });
  return pos;
}

}  // namespace

size_t dbFieldDescriptor::convertedSize(const dbFieldDescriptor* fields, const char* old, size_t size) {
  return convertLevel(fields, nullptr, 0, old, size);
}

size_t dbFieldDescriptor::convertRecord(const dbFieldDescriptor* fields, char* to, const char* old, size_t pos) {
  return convertLevel(fields, to, 0, old, pos);
}

// ---------------------------------------------------------------------------
// Table descriptors

dbTableDescriptor* dbTableDescriptor::chain = nullptr;
dbDatabase* const dbTableDescriptor::DETACHED_TABLE = reinterpret_cast<dbDatabase*>(-1);

dbTableDescriptor::dbTableDescriptor(const char* tableName, dbDatabase* database, size_t size,
                                     describeFunc describeFunction, dbTableDescriptor* original)
    : name(dbInternName(tableName)),
      declaredSize(size),
      db(database),
      boundAtConstruction(database != nullptr),
      cloneOf(original),
      describe(describeFunction) {
  if (cloneOf == nullptr) {
    nextStatic = chain;
    chain = this;
  }
  columns = describe();
  computeLayout();
}

dbTableDescriptor::~dbTableDescriptor() {
  // A descriptor that goes away while a database still has it attached is forgotten
  // by that database, which would otherwise detach it again at close.
  if (tableId != 0 && db != nullptr && db != DETACHED_TABLE) db->forgetTable(this);
  if (cloneOf == nullptr) {
    for (dbTableDescriptor** p = &chain; *p != nullptr; p = &(*p)->nextStatic) {
      if (*p == this) {
        *p = nextStatic;
        break;
      }
    }
  }
  if (columns != nullptr) {
    dbFieldDescriptor* fd = columns;
    do {
      dbFieldDescriptor* following = fd->next;
      fd->next = fd->prev = fd;
      delete fd;
      fd = following;
    } while (fd != columns);
  }
}

dbTableDescriptor* dbTableDescriptor::clone() {
  return new dbTableDescriptor(name, DETACHED_TABLE, declaredSize, describe, this);
}

namespace {

// Alignment of a structure in the application's memory, which differs from the
// stored one for pointers (strings) and array objects.
size_t applicationAlignment(const dbFieldDescriptor* fields) {
  size_t alignment = 1;
  forEachVariable(fields, [&](const dbFieldDescriptor* fd) {
    switch (fd->type) {
      case dbField::tpStructure: alignment = std::max(alignment, applicationAlignment(fd->components)); break;
      case dbField::tpString:
      case dbField::tpArray: alignment = std::max(alignment, alignof(void*)); break;
      case dbField::tpRawBinary: alignment = std::max<size_t>(alignment, fd->alignment); break;
      default: alignment = std::max<size_t>(alignment, fd->appSize); break;
    }
  });
  return alignment;
}

}  // namespace

void dbTableDescriptor::computeLayout() {
  uint32_t offset = sizeof(dbRecord);
  int attr = dbFieldDescriptor::OneToOneMapping;
  dbFieldDescriptor** tail = &firstField;
  size_t appEnd = 0;
  layoutLevel(columns, "", 0, offset, HASHED | INDEXED, attr, tail, appEnd);
  fixedSize = offset;
  oneToOneMapping = (attr & dbFieldDescriptor::OneToOneMapping) != 0;
  appSize = roundUp(appEnd, applicationAlignment(columns));
  nColumns = 0;
  forEachVariable(columns, [&](const dbFieldDescriptor*) { nColumns += 1; });
  if (appSize < declaredSize) {
    fprintf(stderr, "Warning: may be not all fields of the class '%s' were described\n", name);
  }
}

// Lays out one level (a circular list of fields) from the running stored offset.
// Returns the level's largest alignment; `attr` collects OneToOneMapping (kept only
// while application and stored offsets agree) and HasArrayComponents.
// `appBase` is the level's offset in the application structure of the record (of
// the array element for element levels).
uint32_t dbTableDescriptor::layoutLevel(dbFieldDescriptor* first, const std::string& prefix, uint32_t appBase,
                                        uint32_t& offset, int indexMask, int& attr, dbFieldDescriptor**& tail,
                                        size_t& appEnd) {
  uint32_t maxAlignment = 1;
  bool seenMethod = false, anyVariable = false;
  const bool arrayLevel = (attr & dbFieldDescriptor::ComponentOfArray) != 0;
  const uint32_t storedBase = arrayLevel ? 0 : sizeof(dbRecord);
  dbFieldDescriptor* fd = first;
  do {
    fd->longName = prefix + fd->name;
    fd->defTable = this;
    fd->recordAppOffs = appBase + fd->appOffs;
    if (fd->isMethod()) {
      seenMethod = true;
      continue;
    }
    if (seenMethod) dbAssertionFailed("Methods should be specified after variables", __FILE__, __LINE__);
    anyVariable = true;
    fd->indexType = (fd->indexType & ~(HASHED | INDEXED)) | (fd->indexType & indexMask);
    fd->attr |= attr & dbFieldDescriptor::ComponentOfArray;
    *tail = fd;
    tail = &fd->nextField;
    fd->fieldNo = nFields++;
    if (fd->type == dbField::tpStructure) {
      int inner = dbFieldDescriptor::OneToOneMapping | (attr & dbFieldDescriptor::ComponentOfArray);
      size_t innerEnd = 0;
      uint32_t innerAlignment = layoutLevel(fd->components, fd->longName + ".", appBase + fd->appOffs, offset,
                                            indexMask & fd->indexType, inner, tail, innerEnd);
      fd->dbsOffs = fd->components->dbsOffs;
      fd->alignment = innerAlignment;
      fd->dbsSize = roundUp(offset - fd->dbsOffs, innerAlignment);
      offset = fd->dbsOffs + fd->dbsSize;
      if (inner & dbFieldDescriptor::HasArrayComponents) fd->attr |= dbFieldDescriptor::HasArrayComponents;
      if (!(inner & dbFieldDescriptor::OneToOneMapping)) {
        attr &= ~dbFieldDescriptor::OneToOneMapping;
      } else {
        fd->attr |= dbFieldDescriptor::OneToOneMapping;
      }
      attr |= inner & dbFieldDescriptor::HasArrayComponents;
    } else if (fd->type == dbField::tpArray) {
      offset = roundUp(offset, fd->alignment);
      fd->dbsOffs = offset;
      offset += fd->dbsSize;
      fd->attr |= dbFieldDescriptor::ComponentOfArray;
      dbFieldDescriptor* element = fd->components;
      int inner = dbFieldDescriptor::OneToOneMapping | dbFieldDescriptor::ComponentOfArray;
      uint32_t elementOffset = 0;
      size_t elementEnd = 0;
      layoutLevel(element, fd->longName, 0, elementOffset, 0, inner, tail, elementEnd);
      if (element->type != dbField::tpStructure) element->dbsSize = elementOffset;
      if ((inner & dbFieldDescriptor::OneToOneMapping) && element->dbsSize == element->appSize) {
        fd->attr |= dbFieldDescriptor::OneToOneMapping;
      }
      if (hasVariableParts(element)) fd->attr |= dbFieldDescriptor::HasArrayComponents;
      attr = (attr & ~dbFieldDescriptor::OneToOneMapping) | dbFieldDescriptor::HasArrayComponents;
    } else {
      offset = roundUp(offset, fd->alignment);
      fd->dbsOffs = offset;
      offset += fd->dbsSize;
      if (fd->type == dbField::tpString) {
        attr = (attr & ~dbFieldDescriptor::OneToOneMapping) | dbFieldDescriptor::HasArrayComponents;
      } else if (appBase + fd->appOffs + storedBase != fd->dbsOffs) {
        attr &= ~dbFieldDescriptor::OneToOneMapping;
      }
    }
    maxAlignment = std::max(maxAlignment, fd->alignment);
    appEnd = std::max<size_t>(appEnd, size_t(appBase) + fd->appOffs + fd->appSize);
    if (fd->type != dbField::tpStructure && (fd->indexType & (HASHED | INDEXED))) {
      dbAssert(!(fd->attr & dbFieldDescriptor::ComponentOfArray));
      if (fd->indexType & HASHED) {
        fd->nextHashedField = hashedFields;
        hashedFields = fd;
      }
      if (fd->indexType & INDEXED) {
        fd->nextIndexedField = indexedFields;
        indexedFields = fd;
      }
    }
    if (fd->inverseRefName != nullptr) {
      // An inverse needs a reference, or an array of them, outside array elements.
      bool references = fd->type == dbField::tpReference ||
                        (fd->type == dbField::tpArray && fd->components->type == dbField::tpReference);
      if ((attr & dbFieldDescriptor::ComponentOfArray) || !references) {
        dbAssertionFailed(
            "!(attr & dbFieldDescriptor::ComponentOfArray) && (field->type == dbField::tpReference || "
            "(field->type == dbField::tpArray && field->components->type==dbField::tpReference))",
            __FILE__, __LINE__);
      }
      fd->nextInverseField = inverseFields;
      inverseFields = fd;
    }
  } while ((fd = fd->next) != first);
  if (!anyVariable) dbAssertionFailed("Not empty record", __FILE__, __LINE__);
  if (attr & dbFieldDescriptor::HasArrayComponents) maxAlignment = std::max<uint32_t>(maxAlignment, 4);
  // Methods read the structure that starts at the level's first field.
  fd = first;
  do {
    if (!fd->isMethod()) continue;
    fd->dbsOffs = first->dbsOffs;
    fd->components = first;
    if (attr & dbFieldDescriptor::OneToOneMapping) fd->method = fd->method->optimize();
  } while ((fd = fd->next) != first);
  return maxAlignment;
}

dbFieldDescriptor* dbTableDescriptor::findSymbol(const char* fieldName) const {
  const char* interned = dbInternName(fieldName);
  dbFieldDescriptor* fd = columns;
  do {
    if (fd->name == interned) return fd;
  } while ((fd = fd->next) != columns);
  return nullptr;
}

dbFieldDescriptor* dbTableDescriptor::find(const char* longName) const {
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    if (fd->longName == longName) return fd;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Descriptor records

namespace {

const char* storedString(const char* entry, const dbVarying& v) { return entry + v.offset; }
const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }

const dbField* storedFields(const dbTable* stored) {
  return reinterpret_cast<const dbField*>(reinterpret_cast<const char*>(stored) + stored->fields.offset);
}

}  // namespace

size_t dbTableDescriptor::descriptorRecordSize() const {
  size_t size = sizeof(dbTable) + strlen(name) + 1 + sizeof(dbField) * size_t(nFields);
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    size += fd->longName.size() + 3 + strlen(orEmpty(fd->refTableName)) + strlen(orEmpty(fd->inverseRefName));
  }
  return size;
}

void dbTableDescriptor::writeDescriptorRecord(dbTable* record) const {
  char* base = reinterpret_cast<char*>(record);
  const uint32_t fieldsOffset = sizeof(dbTable);
  uint32_t pos = fieldsOffset + sizeof(dbField) * uint32_t(nFields);
  auto putString = [&](dbVarying& v, uint32_t relativeTo, const char* s) {
    uint32_t count = uint32_t(strlen(s) + 1);
    memcpy(base + pos, s, count);
    v = {count, pos - relativeTo};
    pos += count;
  };
  putString(record->name, 0, name);
  record->fields = {uint32_t(nFields), fieldsOffset};
  record->fixedSize = int32_t(fixedSize);
  record->nColumns = nColumns;
  record->nRows = 0;
  record->firstRow = record->lastRow = 0;
  uint32_t entryOffset = fieldsOffset;
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, entryOffset += sizeof(dbField)) {
    auto* entry = reinterpret_cast<dbField*>(base + entryOffset);
    putString(entry->name, entryOffset, fd->longName.c_str());
    putString(entry->tableName, entryOffset, orEmpty(fd->refTableName));
    putString(entry->inverse, entryOffset, orEmpty(fd->inverseRefName));
    entry->type = fd->type;
    entry->offset = int32_t(fd->dbsOffs);
    entry->size = int32_t(fd->dbsSize);
    entry->hashTable = fd->hashTable;
    entry->tTree = fd->tTree;
  }
}

bool dbTableDescriptor::equal(const dbTable* stored) {
  if (stored->nColumns != nColumns || int(stored->fields.count) != nFields || uint32_t(stored->fixedSize) != fixedSize) {
    return false;
  }
  const dbField* entry = storedFields(stored);
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, entry++) {
    const char* e = reinterpret_cast<const char*>(entry);
    if (fd->longName != storedString(e, entry->name) ||
        strcmp(orEmpty(fd->refTableName), storedString(e, entry->tableName)) != 0 ||
        strcmp(orEmpty(fd->inverseRefName), storedString(e, entry->inverse)) != 0 ||
        fd->dbsOffs != uint32_t(entry->offset) || fd->type != entry->type) {
      return false;
    }
  }
  // Only an equal description hands over its indexes, and only those declared: a
  // stored index the declaration does not name is neither searched nor kept up.
  entry = storedFields(stored);
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField, entry++) {
    fd->hashTable = (fd->indexType & HASHED) ? entry->hashTable : 0;
    fd->tTree = (fd->indexType & INDEXED) ? entry->tTree : 0;
  }
  return true;
}

namespace {

// Which stored types a field may be converted from.
bool convertible(int oldType, int newType, const char* oldTable, const char* newTable) {
  if (oldType == dbField::tpReference && newType == dbField::tpReference) return strcmp(oldTable, newTable) == 0;
  if (isNumeric(oldType) && isNumeric(newType)) return true;
  if (oldType == dbField::tpString && newType == dbField::tpString) return true;
  return oldType >= dbField::tpArray && oldType == newType;
}

}  // namespace

bool dbTableDescriptor::match(dbTable* stored, bool columnRemovalAllowed, bool* exact, std::string* problem) {
  dbField* entries = const_cast<dbField*>(storedFields(stored));
  const int nStored = int(stored->fields.count);
  std::vector<bool> used(size_t(nStored), false);
  *exact = nStored == nFields;
  for (dbFieldDescriptor* fd = firstField; fd != nullptr; fd = fd->nextField) {
    fd->oldType = dbField::tpUnknown;
    fd->hashTable = fd->tTree = 0;
    for (int i = 0; i < nStored; i++) {
      dbField& entry = entries[i];
      const char* e = reinterpret_cast<const char*>(&entry);
      if (used[size_t(i)] || fd->longName != storedString(e, entry.name)) continue;
      used[size_t(i)] = true;
      if (!convertible(entry.type, fd->type, storedString(e, entry.tableName), orEmpty(fd->refTableName))) {
        if (problem != nullptr) *problem = "field " + fd->longName + " can not be converted to its new type";
        return false;
      }
      fd->oldType = entry.type;
      fd->oldDbsOffs = uint32_t(entry.offset);
      fd->oldDbsSize = uint32_t(entry.size);
      if (entry.type != fd->type || uint32_t(entry.offset) != fd->dbsOffs) *exact = false;
      if (entry.type == fd->type) {
        // The rewrite of the descriptor record must not drop an index that is kept.
        if (fd->indexType & HASHED) std::swap(fd->hashTable, entry.hashTable);
        if (fd->indexType & INDEXED) std::swap(fd->tTree, entry.tTree);
      }
      break;
    }
    if (fd->oldType == dbField::tpUnknown) *exact = false;
  }
  for (int i = 0; i < nStored; i++) {
    if (used[size_t(i)]) continue;
    *exact = false;
    if (!columnRemovalAllowed) {
      if (problem != nullptr) {
        *problem = std::string("field ") + storedString(reinterpret_cast<const char*>(&entries[i]), entries[i].name) +
                   " can be removed only from an empty table";
      }
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// keldraBuffer

keldraBuffer::~keldraBuffer() {
  while (Block* b = first) {
    first = b->next;
    free(b);
  }
}

const char* keldraBuffer::put(const char* text) {
  static const char empty[] = "";
  if (text == nullptr || *text == '\0') return empty;
  size_t length = strlen(text) + 1;
  if (current == nullptr || current->size - current->used < length) {
    size_t size = std::max<size_t>(current == nullptr ? 512 : current->size * 2, length);
    auto* block = static_cast<Block*>(malloc(offsetof(Block, data) + size));
    if (block == nullptr) abort();
    block->next = nullptr;
    block->size = size;
    block->used = 0;
    if (current != nullptr) current->next = block;
    else first = block;
    current = block;
  }
  char* copy = current->data + current->used;
  memcpy(copy, text, length);
  current->used += length;
  return copy;
}

// ---------------------------------------------------------------------------
// dbDateTime

namespace {
struct tm localBreakdown(int32_t stamp) {
  time_t t = stamp;
  struct tm result;
  localtime_r(&t, &result);
  return result;
}
}  // namespace

dbDateTime dbDateTime::current() { return dbDateTime(int32_t(time(nullptr))); }
int32_t dbDateTime::year() const { return localBreakdown(stamp).tm_year + 1900; }
int32_t dbDateTime::month() const { return localBreakdown(stamp).tm_mon + 1; }
int32_t dbDateTime::day() const { return localBreakdown(stamp).tm_mday; }
int32_t dbDateTime::dayOfYear() const { return localBreakdown(stamp).tm_yday + 1; }
int32_t dbDateTime::dayOfWeek() const { return localBreakdown(stamp).tm_wday + 1; }
int32_t dbDateTime::hour() const { return localBreakdown(stamp).tm_hour; }
int32_t dbDateTime::minute() const { return localBreakdown(stamp).tm_min; }
int32_t dbDateTime::second() const { return localBreakdown(stamp).tm_sec; }
