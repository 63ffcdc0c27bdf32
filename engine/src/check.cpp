// Read-only consistency check of a database file's committed state.
//
// The check runs in stages over one file image:
//   1. header and both roots: without a usable committed root nothing else can be read;
//   2. the reserved oids (0 and the bitmap pages) and every live object of the
//      committed index, each turned into an extent of the file it claims;
//   3. the tables: the descriptor records reached from the Metatable, each table's
//      row chain and the strings and arrays of every row;
//   4. the committed bitmap is copied into one bit per quantum of the file, the extents
//      are swept in offset order to find overlaps and unmarked space, and whatever is
//      marked but covered by no extent is unowned;
//   5. the free oid chain.
// Every read goes through a bounds check against the image, and every loop is bounded
// by the file size, the committed usedIds, the number of bitmap oids or the size of
// the record being read.
#include "check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "format.h"
#include "hashtab.h"
#include "ttree.h"

namespace {

constexpr uint64_t kMaxFileSize = uint64_t(1) << 32;  // offsets are 32-bit
constexpr size_t kLinesPerKind = 20;  // error lines kept per kind; the rest are counted

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(length > 0 ? size_t(length) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

// Errors are capped per kind, so that one widespread fault (a lost bitmap page marks
// every object of its segment as unmarked) does not bury the others.
enum class Kind {
  header, root, handle, object, overlap, unmarked, unowned, beyondEnd, freeChain,
  descriptor, rowChain, record, hashIndex, tTree, count
};
constexpr const char* kKindNames[] = {"header",        "root",           "handle",
                                      "object",        "overlap",        "unmarked space",
                                      "unowned space", "bits beyond the end", "free chain",
                                      "table descriptor", "row chain",   "record",
                                      "hash index",    "T-tree"};
static_assert(std::size(kKindNames) == size_t(Kind::count));

// Owners of space that are not objects; objects are owned by their oid.
enum : uint32_t {
  ownerHeader = 0xFFFFFFF0,
  ownerCommittedIndex,
  ownerTwinIndex,
  ownerWorkingIndex,
};

// A piece of the file claimed by one owner. `size` is in bytes as the owner states
// it; the space taken is that rounded up to whole quanta.
struct Extent {
  uint64_t offset;
  uint64_t size;
  uint32_t owner;
  bool mustBeMarked;  // the committed bitmap must mark every quantum of it
  uint64_t firstQuantum() const { return offset / dbAllocationQuantum; }
  uint64_t endQuantum() const { return (offset + size + dbAllocationQuantum - 1) / dbAllocationQuantum; }
};

std::string ownerName(uint32_t owner) {
  switch (owner) {
    case ownerHeader: return "header page";
    case ownerCommittedIndex: return "committed index";
    case ownerTwinIndex: return "twin index area";
    case ownerWorkingIndex: return "working index";
    case dbMetatableId: return "oid 1 (Metatable)";
  }
  if (owner >= dbFirstBitmapId && owner < dbFirstUserObjectId) {
    return format("oid %u (bitmap page %u)", owner, owner - dbFirstBitmapId);
  }
  return format("oid %u", owner);
}

// "oid 8195: object at 1052672 size 64" or "committed index at 4096 size 262144".
std::string describe(const Extent& e) {
  bool isObject = e.owner < ownerHeader;
  return format("%s%s at %llu size %llu", ownerName(e.owner).c_str(), isObject ? ": object" : "",
                (unsigned long long)e.offset, (unsigned long long)e.size);
}

class Checker {
 public:
  Checker(const unsigned char* base, uint64_t size, dbCheckReport& report, bool structureOnly)
      : base(base), imageSize(size), report(report), structureOnly(structureOnly) {}

  void run() {
    if (checkHeader() && checkRoots()) {
      collectAreas();
      checkReservedOids();
      if (!structureOnly) checkObjects();
      checkMetatable();
      checkTables();
      if (structureOnly) {
        checkOverlaps();
      } else {
        buildMarkedMap();
        checkExtents();
        checkUnowned();
      }
      checkFreeChain();
    }
    appendSuppressedCounts();
  }

 private:
  void fail(Kind kind, std::string text) {
    size_t k = size_t(kind);
    if (shown[k] < kLinesPerKind) {
      shown[k]++;
      report.errors.push_back(std::move(text));
    } else {
      suppressed[k]++;
    }
  }

  void appendSuppressedCounts() {
    for (size_t k = 0; k < size_t(Kind::count); k++) {
      if (suppressed[k] == 0) continue;
      report.errors.push_back(format("... and %llu more errors of this kind: %s",
                                     (unsigned long long)suppressed[k], kKindNames[k]));
    }
  }

  template <class T>
  bool read(uint64_t offset, T& out) const {
    if (offset > fileSize || sizeof(T) > fileSize - offset) return false;
    memcpy(&out, base + offset, sizeof(T));
    return true;
  }

  // Handle of `oid` in the committed index; callers keep oid below usedIds, which
  // checkRoots has confirmed to lie inside the file.
  uint32_t handle(oid_t oid) const {
    uint32_t h;
    memcpy(&h, base + root.indexOffset + uint64_t(oid) * sizeof(uint32_t), sizeof h);
    return h;
  }

  bool inside(uint64_t offset, uint64_t size) const {
    return offset >= dbPageSize && offset <= fileSize && size <= fileSize - offset;
  }

  // --- Stage 1: header and roots -------------------------------------------------

  bool checkHeader() {
    fileSize = std::min(imageSize, kMaxFileSize);
    if (imageSize < dbPageSize) {
      fail(Kind::header, format("file is %llu bytes, shorter than the %u-byte header page",
                                (unsigned long long)imageSize, dbPageSize));
      return false;
    }
    if (imageSize > kMaxFileSize) {
      fail(Kind::header, format("file is %llu bytes, larger than 4 GiB; only the first 4 GiB are checked",
                                (unsigned long long)imageSize));
    }
    memcpy(&hdr, base, sizeof hdr);
    if (hdr.initialized != 1) {
      fail(Kind::header, format("header: initialized is %d, not 1", hdr.initialized));
    }
    // A clean file has exactly the recorded size; a dirty one may be mid-extension,
    // so its recorded size is reported when wrong but never used for bounds.
    if (hdr.dirty == 0 && hdr.size != imageSize) {
      fail(Kind::header, format("header: file size %u differs from the actual file size %llu",
                                hdr.size, (unsigned long long)imageSize));
    } else if (hdr.dirty == 1 && hdr.size > imageSize) {
      fail(Kind::header, format("header: file size %u exceeds the actual file size %llu (dirty file)",
                                hdr.size, (unsigned long long)imageSize));
    } else if (hdr.dirty != 0 && hdr.dirty != 1) {
      fail(Kind::header, format("header: dirty is %d, not 0 or 1", hdr.dirty));
    }
    if (hdr.activeRoot != 0 && hdr.activeRoot != 1) {
      fail(Kind::header, format("header: activeRoot is %d, not 0 or 1", hdr.activeRoot));
      return false;
    }
    root = hdr.root[hdr.activeRoot];
    working = hdr.root[1 - hdr.activeRoot];
    return true;
  }

  // Checks one index area named by a root; true when it lies inside the file.
  bool checkArea(const std::string& who, const char* what, offs_t offset, uint32_t capacity) {
    if (offset % dbAllocationQuantum != 0) {
      fail(Kind::root, format("%s: %s offset %u is not 16-byte aligned", who.c_str(), what, offset));
    }
    if (!inside(offset, uint64_t(capacity) * sizeof(uint32_t))) {
      fail(Kind::root, format("%s: %s at %u of %u handles lies outside the file", who.c_str(), what,
                              offset, capacity));
      return false;
    }
    return true;
  }

  // True when the root's index can be read: inside the file and usedIds in range.
  bool checkRoot(int number) {
    const dbRoot& r = hdr.root[number];
    bool committed = number == hdr.activeRoot;
    std::string who = format("root %d (%s)", number, committed ? "committed" : "working");
    bool areaInside = checkArea(who, "index area", r.indexOffset, r.indexCapacity);
    // Handles read through a misaligned committed index would all be shifted.
    bool usable = areaInside && (!committed || r.indexOffset % dbAllocationQuantum == 0);
    if (r.usedIds < dbFirstUserObjectId) {
      fail(Kind::root, format("%s: usedIds %u is below %u", who.c_str(), r.usedIds, dbFirstUserObjectId));
      usable = false;
    } else if (r.usedIds > r.indexCapacity) {
      fail(Kind::root, format("%s: usedIds %u exceeds indexCapacity %u", who.c_str(), r.usedIds,
                              r.indexCapacity));
      usable = false;
    }
    if (r.freeIdHead >= r.usedIds) {
      fail(Kind::root, format("%s: freeIdHead %u is not below usedIds %u", who.c_str(), r.freeIdHead,
                              r.usedIds));
      if (committed) freeHeadValid = false;
    }
    if (committed) {
      twinInside = checkArea(who, "twin index area", r.twinIndexOffset, r.twinIndexCapacity);
      if (r.twinIndexCapacity < r.usedIds) {
        fail(Kind::root, format("%s: twin capacity %u is below usedIds %u", who.c_str(),
                                r.twinIndexCapacity, r.usedIds));
      }
    } else {
      workingInside = areaInside;
    }
    return usable;
  }

  bool checkRoots() {
    bool committedUsable = checkRoot(hdr.activeRoot);
    // Recovery rebuilds the working root of a dirty file from the committed one.
    if (structureOnly && hdr.dirty == 1) return committedUsable;
    checkRoot(1 - hdr.activeRoot);
    // Only a transaction in progress moves the working index away from the committed
    // root's twin (when it grows); a clean file has none.
    if (hdr.dirty == 0 && (working.indexOffset != root.twinIndexOffset ||
                           working.indexCapacity != root.twinIndexCapacity)) {
      fail(Kind::root, format("root %d (working): index at %u of %u handles is not the committed "
                              "root's twin at %u of %u handles in a clean file",
                              1 - hdr.activeRoot, working.indexOffset, working.indexCapacity,
                              root.twinIndexOffset, root.twinIndexCapacity));
    } else if (hdr.dirty == 0 && (working.twinIndexOffset != root.indexOffset ||
                                  working.twinIndexCapacity != root.indexCapacity)) {
      // Once the working root is committed, its twin is where the next working index goes.
      fail(Kind::root, format("root %d (working): twin at %u of %u handles is not the committed "
                              "index at %u of %u handles in a clean file",
                              1 - hdr.activeRoot, working.twinIndexOffset, working.twinIndexCapacity,
                              root.indexOffset, root.indexCapacity));
    } else if (hdr.dirty == 0 && committedUsable && workingInside) {
      checkWorkingEqualsCommitted();
    }
    return committedUsable;
  }

  // A clean file has no transaction in progress: the working root and index are a
  // copy of the committed ones, which the next transaction starts from.
  void checkWorkingEqualsCommitted() {
    const char* who = hdr.activeRoot == 0 ? "root 1 (working)" : "root 0 (working)";
    if (working.usedIds != root.usedIds || working.freeIdHead != root.freeIdHead) {
      fail(Kind::root, format("%s: usedIds %u and freeIdHead %u differ from the committed %u and %u in a clean file",
                              who, working.usedIds, working.freeIdHead, root.usedIds, root.freeIdHead));
      return;
    }
    if (root.usedIds > root.indexCapacity || root.usedIds > working.indexCapacity) return;  // reported
    const unsigned char* committed = base + root.indexOffset;
    const unsigned char* copy = base + working.indexOffset;
    if (memcmp(committed, copy, size_t(root.usedIds) * sizeof(uint32_t)) == 0) return;
    for (oid_t oid = 0; oid < root.usedIds; oid++) {
      if (memcmp(committed + oid * 4, copy + oid * 4, 4) != 0) {
        fail(Kind::root, format("%s: the handle of oid %u differs from the committed index in a clean file",
                                who, oid));
        return;
      }
    }
  }

  // --- Stage 2: owners of space -------------------------------------------------

  // The header page and the index areas the roots name. The working index, when a
  // growing transaction moved it to a fresh area, is allocated only in the working
  // bitmap, so the committed bitmap need not mark it.
  void collectAreas() {
    extents.push_back({0, dbPageSize, ownerHeader, true});
    extents.push_back({root.indexOffset, uint64_t(root.indexCapacity) * 4, ownerCommittedIndex, true});
    if (twinInside) {
      extents.push_back({root.twinIndexOffset, uint64_t(root.twinIndexCapacity) * 4, ownerTwinIndex, true});
    }
    if (workingInside && working.indexOffset != root.twinIndexOffset) {
      extents.push_back({working.indexOffset, uint64_t(working.indexCapacity) * 4, ownerWorkingIndex, false});
    }
  }

  // Oid 0 is never used. Bitmap page k has oid 2 + k; the pages that exist form a
  // prefix of those oids, every later one holding exactly the free marker.
  void checkReservedOids() {
    if (handle(dbNullId) != dbFreeHandleMarker) {
      fail(Kind::handle, format("oid 0: handle 0x%08x is not 0x80000000", handle(dbNullId)));
    }
    oid_t firstMissing = 0;
    for (oid_t oid = dbFirstBitmapId; oid < dbFirstUserObjectId; oid++) {
      uint32_t h = handle(oid);
      if (h & dbFreeHandleMarker) {
        if (h != dbFreeHandleMarker) {
          fail(Kind::handle, format("oid %u: bitmap handle 0x%08x is neither a page nor 0x80000000", oid, h));
        }
        if (firstMissing == 0) firstMissing = oid;
        continue;
      }
      report.liveObjects++;
      if (firstMissing != 0) {
        fail(Kind::handle, format("oid %u: bitmap page exists after the missing page of oid %u", oid,
                                  firstMissing));
      }
      const unsigned char* page = bitmapPage(oid, h);
      if (firstMissing == 0) bitmapPages.push_back(page);
    }
  }

  // Validates a bitmap page handle; returns the page when its bits can be trusted.
  const unsigned char* bitmapPage(oid_t oid, uint32_t h) {
    bool isPage = (h & 0xF) == dbPageMarker;
    if (!isPage) {
      fail(Kind::handle, format("oid %u: bitmap handle 0x%08x is not a page object (tag 1)", oid, h));
    }
    uint32_t offset = h & ~0xFu;
    if (!inside(offset, dbPageSize)) {
      fail(Kind::object, format("oid %u: bitmap page at %u lies outside the file", oid, offset));
      return nullptr;
    }
    extents.push_back({offset, dbPageSize, oid, true});
    return isPage ? base + offset : nullptr;
  }

  // Every live object of the committed index apart from the bitmap pages.
  void checkObjects() {
    for (oid_t oid = dbMetatableId; oid < root.usedIds;
         oid = oid == dbMetatableId ? dbFirstUserObjectId : oid + 1) {
      uint32_t h = handle(oid);
      if (h & dbFreeHandleMarker) continue;
      report.liveObjects++;
      uint64_t size;
      if (objectSize(oid, h, size)) extents.push_back({h & ~0xFu, size, oid, true});
    }
  }

  // The bytes the object of handle `h` claims; false (and an error) when the handle
  // cannot describe an object of this file.
  bool objectSize(oid_t oid, uint32_t h, uint64_t& size) {
    if (h & 8) {
      fail(Kind::handle, format("oid %u: handle 0x%08x has bit 3 set", oid, h));
      return false;
    }
    uint32_t tag = h & dbInternalObjectMarker;
    uint32_t offset = h & ~0xFu;
    if (tag == dbInternalObjectMarker) {
      fail(Kind::handle, format("oid %u: handle 0x%08x has invalid tag 7", oid, h));
      return false;
    }
    if (tag == dbRecordMarker) {
      dbRecord record;
      if (!inside(offset, sizeof record)) {
        fail(Kind::object, format("oid %u: record at %u lies outside the file", oid, offset));
        return false;
      }
      read(offset, record);
      if (record.size < sizeof record) {
        fail(Kind::object, format("oid %u: record at %u has size %u, smaller than its 12-byte header",
                                  oid, offset, record.size));
        return false;
      }
      size = record.size;
    } else {
      size = dbInternalObjectSize[tag];
    }
    if (!inside(offset, size)) {
      fail(Kind::object, format("oid %u: object at %u size %llu lies outside the file (%llu bytes)", oid,
                                offset, (unsigned long long)size, (unsigned long long)fileSize));
      return false;
    }
    return true;
  }

  // The Metatable describes every table, itself included, so it must be a record
  // at least as large as a table descriptor's fixed part.
  void checkMetatable() {
    uint32_t h = handle(dbMetatableId);
    if (h & dbFreeHandleMarker) {
      fail(Kind::object, "oid 1 (Metatable): not in use");
      return;
    }
    if ((h & 0xF) != dbRecordMarker) {
      fail(Kind::object, format("oid 1 (Metatable): handle 0x%08x is not a record", h));
      return;
    }
    dbRecord record;
    if (inside(h, sizeof record) && read(h, record) && record.size < sizeof(dbTable)) {
      fail(Kind::object, format("oid 1 (Metatable): record size %u is smaller than %zu", record.size,
                                sizeof(dbTable)));
    } else if (structureOnly && !recordOf(dbMetatableId, metatableRecord)) {
      // Without checkObjects nothing else reports a record that leaves the file.
      fail(Kind::object, format("oid 1 (Metatable): record at %u lies outside the file", h));
    }
  }

  // --- Stage 3: tables ----------------------------------------------------------
  //
  // The Metatable's row chain lists the descriptor records of the tables; each one
  // is decoded, its own row chain walked and every row checked against the layout
  // its field entries describe, and every hash index a field entry names is checked
  // against those rows, and so is every T-tree.

  // A record of the committed state whose header and `size` bytes lie in the file.
  struct RecordRef {
    oid_t oid = 0;
    uint64_t offset = 0;
    uint32_t size = 0;
  };

  // A string or array pair of a table's records, at `offset` within its level.
  struct Level;
  struct Pair {
    std::string name;
    uint32_t offset = 0;
    bool isArray = false;
    uint32_t elementSize = 0;          // arrays: bytes per element; 0 = unknown, not walked
    const Level* elements = nullptr;   // arrays: the pairs inside each element
  };

  // The record itself, or the elements of one array. `size` is the fixed part for
  // the record and the element size for elements; pair offsets are relative to it.
  struct Level {
    bool known = false;
    uint32_t size = 0;
    std::vector<Pair> pairs;
  };

  struct Entry {
    std::string name;
    int32_t type, offset, size;
    oid_t hashTable;
    oid_t tTree;
  };

  struct Table {
    oid_t oid = 0;
    std::string label;  // "table Rule", or "table oid 8194" while the name is unreadable
    dbTable desc{};
    bool layoutUsable = false;
    std::map<std::string, Level> levels;  // "" = the record, "x[]" = elements of array x
    std::vector<Entry> entries;           // the sound field entries
  };

  // The record of `oid` when its handle names a record lying inside the file.
  bool recordOf(oid_t oid, RecordRef& out) const {
    uint32_t h = handle(oid);
    dbRecord header;
    if ((h & (dbFreeHandleMarker | 0xF)) != 0 || !inside(h, sizeof header)) return false;
    read(h, header);
    if (header.size < sizeof header || !inside(h, header.size)) return false;
    out = {oid, h, header.size};
    return true;
  }

  // Oid 1 and the bitmap oids are never rows of a table.
  bool rowRecord(oid_t oid, RecordRef& out) const {
    return oid >= dbFirstUserObjectId && oid < root.usedIds && recordOf(oid, out);
  }

  // Names from a damaged file are shown with control and high bytes replaced.
  static std::string printable(const std::string& text) {
    constexpr size_t kShown = 64;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kShown; i++) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      out += c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    if (text.size() > kShown) out += "...";
    return out;
  }

  // What is wrong with the string of pair `v`, whose offset is relative to
  // `relativeTo` within record `r`; empty when nothing is. Strings of descriptor
  // records are names, so `exact` also refuses a NUL before the last byte. `value`
  // receives the string when it is sound.
  std::string stringProblem(const RecordRef& r, uint64_t relativeTo, dbVarying v, bool exact,
                            std::string* value) const {
    uint64_t start = relativeTo + v.offset;
    if (v.count == 0) return "has count 0";
    if (start + v.count > r.size) {
      return format("of %u bytes at %llu lies outside the record of %u bytes", v.count,
                    (unsigned long long)start, r.size);
    }
    const unsigned char* text = base + r.offset + start;
    if (text[v.count - 1] != 0) {
      return format("of %u bytes at %llu does not end with NUL", v.count, (unsigned long long)start);
    }
    if (exact) {
      const void* nul = memchr(text, 0, v.count);
      if (nul != text + v.count - 1) {
        return format("of %u bytes at %llu has a NUL at byte %td", v.count, (unsigned long long)start,
                      static_cast<const unsigned char*>(nul) - text);
      }
    }
    if (value != nullptr) value->assign(reinterpret_cast<const char*>(text), v.count - 1);
    return {};
  }

  // Stored size of the types that have a fixed one; structures and raw blocks take
  // what their entry says (more than 0). -1: not a type a field entry can hold.
  static int32_t storedSize(int32_t type) {
    constexpr int32_t kSizes[] = {1, 1, 2, 4, 8, 4, 8, 8, 4, 8};  // tpBool .. tpArray
    if (type >= dbField::tpBool && type <= dbField::tpArray) return kSizes[type];
    if (type == dbField::tpStructure || type == dbField::tpRawBinary) return 0;
    return -1;
  }

  // Decodes a descriptor record. False when it is too small to hold a descriptor;
  // otherwise `t.desc` holds its fixed part (its row chain can be walked) and
  // `t.layoutUsable` tells whether its rows can be checked.
  bool decodeDescriptor(const RecordRef& r, Table& t) {
    t.oid = r.oid;
    t.label = format("table oid %u", r.oid);
    if (r.size < sizeof(dbTable)) {
      if (r.oid != dbMetatableId) {  // checkMetatable has reported oid 1
        fail(Kind::descriptor, format("%s: descriptor record size %u is smaller than %zu", t.label.c_str(), r.size,
                                      sizeof(dbTable)));
      }
      return false;
    }
    read(r.offset, t.desc);
    const dbTable& d = t.desc;
    std::string name;
    std::string problem = stringProblem(r, 0, d.name, true, &name);
    if (!problem.empty()) {
      fail(Kind::descriptor, format("%s: name %s", t.label.c_str(), problem.c_str()));
    } else {
      t.label = "table " + printable(name);
      auto [seen, added] = tableNames.emplace(name, r.oid);
      if (!added) {
        fail(Kind::descriptor, format("%s: descriptor oid %u repeats the name of descriptor oid %u",
                                      t.label.c_str(), r.oid, seen->second));
      }
    }
    bool fixedSizeUsable = true;
    if (d.fixedSize < int32_t(sizeof(dbRecord))) {
      fail(Kind::descriptor, format("%s: fixedSize %d is below %zu", t.label.c_str(), d.fixedSize, sizeof(dbRecord)));
      fixedSizeUsable = false;
    } else if (r.oid == dbMetatableId && d.fixedSize != int32_t(sizeof(dbTable))) {
      fail(Kind::descriptor, format("%s: fixedSize %d, expected %zu", t.label.c_str(), d.fixedSize, sizeof(dbTable)));
    }
    uint64_t entriesEnd = uint64_t(d.fields.offset) + uint64_t(d.fields.count) * sizeof(dbField);
    if (d.fields.offset < sizeof(dbTable) || entriesEnd > r.size) {
      fail(Kind::descriptor, format("%s: %u field entries at %u lie outside bytes %zu to %u of the record",
                                    t.label.c_str(), d.fields.count, d.fields.offset, sizeof(dbTable), r.size));
      return true;
    }
    t.entries = readEntries(r, t);
    if (fixedSizeUsable) {
      buildLayout(t, t.entries);
      t.layoutUsable = true;
    }
    return true;
  }

  // The field entries whose name is sound and whose type and size agree.
  std::vector<Entry> readEntries(const RecordRef& r, const Table& t) {
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < t.desc.fields.count; i++) {
      uint64_t at = t.desc.fields.offset + uint64_t(i) * sizeof(dbField);
      dbField f;
      read(r.offset + at, f);
      std::string name;
      std::string problem = stringProblem(r, at, f.name, true, &name);
      if (!problem.empty()) {
        fail(Kind::descriptor, format("%s: field entry %u: name %s", t.label.c_str(), i, problem.c_str()));
        continue;
      }
      std::string field = t.label + ": field " + printable(name);
      for (auto [what, v] : {std::pair{"tableName", f.tableName}, std::pair{"inverse", f.inverse}}) {
        problem = stringProblem(r, at, v, true, nullptr);
        if (!problem.empty()) fail(Kind::descriptor, format("%s: %s %s", field.c_str(), what, problem.c_str()));
      }
      int32_t expected = storedSize(f.type);
      if (expected < 0) {
        fail(Kind::descriptor, format("%s: type %d is not a stored field type", field.c_str(), f.type));
        continue;
      }
      if ((expected > 0 && f.size != expected) || (expected == 0 && f.size <= 0)) {
        fail(Kind::descriptor, expected > 0 ? format("%s: type %d with size %d, expected %d", field.c_str(), f.type,
                                                     f.size, expected)
                                            : format("%s: type %d with size %d", field.c_str(), f.type, f.size));
        continue;
      }
      entries.push_back({std::move(name), f.type, f.offset, f.size, f.hashTable, f.tTree});
    }
    return entries;
  }

  // Sorts the entries into levels: an entry belongs to the elements of the array
  // named before its last "[]" ("x[].y" and "x[]" itself to "x[]"), or to the record
  // when it has none. Element levels take their size from the element entry "x[]".
  // Entries of a level whose element entry or array entry is missing are reported
  // once and left out, as are entries lying outside their level.
  void buildLayout(Table& t, const std::vector<Entry>& entries) {
    std::map<std::string, const Entry*> byName;
    for (const Entry& e : entries) byName.emplace(e.name, &e);
    Level& record = t.levels[""];
    record.known = true;
    record.size = uint32_t(t.desc.fixedSize);
    auto levelOf = [&](const std::string& key) -> Level& {
      auto [it, added] = t.levels.try_emplace(key);
      if (!added || key.empty()) return it->second;
      auto element = byName.find(key);
      auto array = byName.find(key.substr(0, key.size() - 2));
      if (array == byName.end() || array->second->type != dbField::tpArray) {
        fail(Kind::descriptor, format("%s: field %s is inside no array entry %s", t.label.c_str(),
                                      printable(key).c_str(), printable(key.substr(0, key.size() - 2)).c_str()));
      } else if (element == byName.end()) {
        fail(Kind::descriptor, format("%s: array %s has no element entry %s", t.label.c_str(),
                                      printable(array->first).c_str(), printable(key).c_str()));
      } else {
        it->second.known = true;
        it->second.size = uint32_t(element->second->size);
      }
      return it->second;
    };
    for (const Entry& e : entries) {
      size_t mark = e.name.rfind("[]");
      std::string key = mark == std::string::npos ? std::string() : e.name.substr(0, mark + 2);
      Level& level = levelOf(key);
      if (!level.known) continue;
      int64_t first = key.empty() ? int64_t(sizeof(dbRecord)) : 0;
      if (e.offset < first || int64_t(e.offset) + e.size > int64_t(level.size)) {
        fail(Kind::descriptor, format("%s: field %s: offset %d size %d lies outside %s of %u bytes",
                                      t.label.c_str(), printable(e.name).c_str(), e.offset, e.size,
                                      key.empty() ? "the fixed part" : "its element", level.size));
        continue;
      }
      if (e.type == dbField::tpString || e.type == dbField::tpArray) {
        level.pairs.push_back({e.name, uint32_t(e.offset), e.type == dbField::tpArray});
      }
    }
    // The element levels exist now that every entry has been placed.
    for (auto& [key, level] : t.levels) {
      for (Pair& p : level.pairs) {
        if (!p.isArray) continue;
        const Level& elements = levelOf(p.name + "[]");
        if (!elements.known) continue;
        p.elementSize = elements.size;
        p.elements = &elements;
      }
    }
  }

  // Walks a table's rows from firstRow along nextId to lastRow, checking the
  // backward links and the count. Each row is claimed for the table, and a row met
  // again ends the walk, which bounds it by the number of oids. A writer links a new
  // row into the committed last row's nextId in place, so in a file with a
  // transaction in progress that nextId may already name an uncommitted row: the
  // walk stops at lastRow, and only a clean file must have nextId 0 there.
  std::vector<RecordRef> walkRows(const Table& t) {
    std::vector<RecordRef> rows;
    const dbTable& d = t.desc;
    const char* who = t.label.c_str();
    if (d.firstRow == 0 || d.lastRow == 0) {
      if (d.firstRow != d.lastRow) {
        fail(Kind::rowChain, format("%s: firstRow %u but lastRow %u", who, d.firstRow, d.lastRow));
      } else if (d.nRows != 0) {
        fail(Kind::rowChain, format("%s: no rows but nRows is %d", who, d.nRows));
      }
      return rows;
    }
    oid_t previous = 0;
    bool reachedLast = false;
    for (oid_t oid = d.firstRow;;) {
      RecordRef r;
      if (!rowRecord(oid, r)) {
        fail(Kind::rowChain, previous == 0 ? format("%s: firstRow %u is not a live record", who, oid)
                                           : format("%s: row %u after row %u is not a live record", who, oid, previous));
        break;
      }
      auto [owner, claimed] = rowOwners.emplace(oid, t.oid);
      if (!claimed) {
        if (owner->second == t.oid) {
          fail(Kind::rowChain, format("%s: cycle: row %u follows row %u again", who, oid, previous));
        } else {
          fail(Kind::rowChain, format("%s: row %u is also a row of %s", who, oid, tableLabels[owner->second].c_str()));
        }
        break;
      }
      dbRecord header;
      read(r.offset, header);
      if (header.prevId != previous) {
        fail(Kind::rowChain, format("%s: row %u prevId %u, expected %u", who, oid, header.prevId, previous));
      }
      rows.push_back(r);
      if (oid == d.lastRow) {
        reachedLast = true;
        if (hdr.dirty == 0 && header.nextId != 0) {
          fail(Kind::rowChain, format("%s: last row %u has nextId %u", who, oid, header.nextId));
        }
        break;
      }
      if (header.nextId == 0) {
        fail(Kind::rowChain, format("%s: chain ends at row %u before lastRow %u", who, oid, d.lastRow));
        break;
      }
      previous = oid;
      oid = header.nextId;
    }
    if (reachedLast && int64_t(rows.size()) != d.nRows) {
      fail(Kind::rowChain, format("%s: %zu rows from firstRow to lastRow, nRows is %d", who, rows.size(), d.nRows));
    }
    return rows;
  }

  // Checks that a row holds the fixed part and that its strings and arrays lie
  // inside it. One error per row: the first fault usually explains the others.
  void checkRow(const Table& t, const RecordRef& r) {
    const Level& record = t.levels.at("");
    if (r.size < record.size) {
      fail(Kind::record, format("%s: row %u: size %u is smaller than the fixed part of %u bytes", t.label.c_str(),
                                r.oid, r.size, record.size));
      return;
    }
    uint64_t budget = r.size / sizeof(dbVarying);
    std::string problem;
    if (!checkLevel(record, r, 0, budget, problem)) {
      fail(Kind::record, format("%s: row %u: %s", t.label.c_str(), r.oid, problem.c_str()));
    }
  }

  // Checks the pairs of one level whose base lies at `at` in the record. The
  // descriptor checks put every pair inside its level and the array checks put every
  // element inside the record, so each pair read is in bounds. Every pair of a sound
  // record has 8 bytes of its own, so a record holds at most size / 8 of them:
  // `budget` counts them down and ends a walk through overlapping elements.
  bool checkLevel(const Level& level, const RecordRef& r, uint64_t at, uint64_t& budget, std::string& problem) {
    for (const Pair& p : level.pairs) {
      if (budget == 0) {
        problem = format("more strings and arrays than fit in its %u bytes", r.size);
        return false;
      }
      budget--;
      dbVarying v;
      memcpy(&v, base + r.offset + at + p.offset, sizeof v);
      uint64_t start = at + v.offset;
      const char* name = p.name.c_str();
      if (!p.isArray) {
        problem = stringProblem(r, at, v, false, nullptr);
        if (!problem.empty()) {
          problem = format("string %s %s", printable(name).c_str(), problem.c_str());
          return false;
        }
        continue;
      }
      if (p.elementSize == 0 || v.count == 0) continue;
      if (start + uint64_t(v.count) * p.elementSize > r.size) {
        problem = format("array %s of %u elements of %u bytes at %llu lies outside the record of %u bytes",
                         printable(name).c_str(), v.count, p.elementSize, (unsigned long long)start, r.size);
        return false;
      }
      if (p.elements->pairs.empty()) continue;
      for (uint32_t i = 0; i < v.count; i++) {
        if (!checkLevel(*p.elements, r, start + uint64_t(i) * p.elementSize, budget, problem)) return false;
      }
    }
    return true;
  }

  void checkTables() {
    RecordRef metatable;
    Table meta;
    if (!recordOf(dbMetatableId, metatable) || !decodeDescriptor(metatable, meta)) return;  // reported above
    tableLabels[dbMetatableId] = meta.label;
    if (structureOnly) claim(metatable.oid, metatable.offset, metatable.size);
    for (const RecordRef& descriptor : walkRows(meta)) {
      report.tables++;
      if (structureOnly) claim(descriptor.oid, descriptor.offset, descriptor.size);
      Table table;
      if (!decodeDescriptor(descriptor, table)) continue;
      tableLabels[table.oid] = table.label;
      if (structureOnly) {
        checkTableObjects(table);
        continue;
      }
      std::vector<RecordRef> rows = walkRows(table);
      report.rows += rows.size();
      if (!table.layoutUsable) continue;
      for (const RecordRef& row : rows) checkRow(table, row);
      bool allRows = int64_t(rows.size()) == table.desc.nRows;
      for (const Entry& e : table.entries) {
        if (e.hashTable != 0) checkHashIndex(table, e, rows, allRows);
        if (e.tTree != 0) checkTtreeIndex(table, e, rows, allRows);
      }
    }
  }

  // A hash index: a live header of a valid size, its bucket pages live page objects
  // with consecutive oids, `used` the number of non-empty buckets, and every chain a
  // run of distinct live items, each in the bucket of its stored hash, naming a row
  // of the table whose key hashes to that value. When the table's row chain was
  // walked completely, every row must be named by exactly one item. Items are never
  // visited twice, so the walk is bounded by usedIds.
  void checkHashIndex(const Table& t, const Entry& e, const std::vector<RecordRef>& rows, bool allRows) {
    const std::string who = format("%s: hash index %u of field %s", t.label.c_str(), e.hashTable,
                                   printable(e.name).c_str());
    const char* w = who.c_str();
    if (e.name.find("[]") != std::string::npos) {
      fail(Kind::hashIndex, format("%s: a field inside array elements cannot be hashed", w));
      return;
    }
    if (e.type == dbField::tpStructure) {
      fail(Kind::hashIndex, format("%s: a structure cannot be hashed", w));
      return;
    }
    dbHashHeader header;
    if (!internalObject(e.hashTable, dbHashMarker, header)) {
      fail(Kind::hashIndex, format("%s: not a live hash header", w));
      return;
    }
    if (header.size < dbHashTable::minSize || ((uint64_t(header.size) + 1) & header.size) != 0) {
      fail(Kind::hashIndex, format("%s: size %u is not 2^k - 1 of at least %u", w, header.size,
                                   dbHashTable::minSize));
      return;
    }
    const uint64_t nPages = (uint64_t(header.size) + 1) / dbHashTable::slotsPerPage;
    if (header.page < dbFirstUserObjectId || header.page + nPages > root.usedIds) {
      fail(Kind::hashIndex, format("%s: %llu bucket pages from oid %u lie outside the used oids", w,
                                   (unsigned long long)nPages, header.page));
      return;
    }
    std::vector<const unsigned char*> pages;
    for (uint64_t i = 0; i < nPages; i++) {
      oid_t oid = oid_t(header.page + i);
      uint32_t h = handle(oid);
      if ((h & (dbFreeHandleMarker | 0xF)) != dbPageMarker || !inside(h & ~0xFu, dbPageSize)) {
        fail(Kind::hashIndex, format("%s: bucket page %llu (oid %u) is not a live page (handle 0x%08x)", w,
                                     (unsigned long long)i, oid, h));
        return;
      }
      pages.push_back(base + (h & ~0xFu));
    }
    std::unordered_map<oid_t, uint32_t> itemsOfRow;
    if (allRows) {
      for (const RecordRef& r : rows) itemsOfRow.emplace(r.oid, 0);
    }
    std::vector<uint8_t> visited(root.usedIds, 0);
    uint32_t nonEmpty = 0;
    for (uint64_t b = 0; b <= header.size; b++) {
      oid_t id;
      memcpy(&id, pages[b / dbHashTable::slotsPerPage] + (b % dbHashTable::slotsPerPage) * sizeof(oid_t), sizeof id);
      if (id == 0) continue;
      if (b == header.size) {
        fail(Kind::hashIndex, format("%s: the unused last slot holds oid %u", w, id));
        break;
      }
      nonEmpty++;
      for (oid_t previous = 0; id != 0;) {
        std::string at = format("%s: bucket %llu: item %u", w, (unsigned long long)b, id);
        dbHashItem item;
        if (id >= root.usedIds || !internalObject(id, dbHashItemMarker, item)) {
          fail(Kind::hashIndex, previous == 0 ? format("%s is not a hash item", at.c_str())
                                              : format("%s after item %u is not a hash item", at.c_str(), previous));
          break;
        }
        if (visited[id]) {
          fail(Kind::hashIndex, format("%s is reached again: cycle or shared chain", at.c_str()));
          break;
        }
        visited[id] = 1;
        if (item.hash % header.size != b) {
          fail(Kind::hashIndex, format("%s has hash %u of bucket %u", at.c_str(), item.hash, item.hash % header.size));
        }
        checkHashItem(t, e, at, item, allRows, itemsOfRow);
        previous = id;
        id = item.next;
      }
    }
    if (nonEmpty != header.used) {
      fail(Kind::hashIndex, format("%s: used is %u but %u buckets are non-empty", w, header.used, nonEmpty));
    }
    for (const RecordRef& r : rows) {
      auto found = itemsOfRow.find(r.oid);
      if (found == itemsOfRow.end() || found->second == 1) continue;
      fail(Kind::hashIndex, found->second == 0 ? format("%s: row %u is in no item", w, r.oid)
                                               : format("%s: row %u is in more than one item (%u)", w, r.oid,
                                                        found->second));
    }
  }

  // The record an item names: a row of the table whose key hashes to the stored hash.
  void checkHashItem(const Table& t, const Entry& e, const std::string& at, const dbHashItem& item, bool allRows,
                     std::unordered_map<oid_t, uint32_t>& itemsOfRow) {
    auto owner = rowOwners.find(item.record);
    if (owner == rowOwners.end() || owner->second != t.oid) {
      if (allRows || owner != rowOwners.end()) {
        fail(Kind::hashIndex, format("%s: record %u is not a row of the table", at.c_str(), item.record));
      }
      return;
    }
    if (allRows) itemsOfRow[item.record]++;
    RecordRef r;
    if (!rowRecord(item.record, r)) return;
    uint32_t hash;
    if (!dbHashTable::recordKeyHash(reinterpret_cast<const char*>(base + r.offset), r.size, e.type, e.size, e.offset,
                                    hash)) {
      fail(Kind::hashIndex, format("%s: the key of record %u lies outside it", at.c_str(), item.record));
    } else if (hash != item.hash) {
      fail(Kind::hashIndex, format("%s: stored hash %u differs from %u, the hash of record %u's key", at.c_str(),
                                   item.hash, hash, item.record));
    }
  }

  // A T-tree index: a live tree header whose nodes are live tree nodes reached once
  // each, every node holding 1..125 items with a balance factor equal to the
  // difference of its subtrees' heights (at most one), the items in key order along
  // the in-order walk (which covers the order inside nodes and against both
  // subtrees), each naming a row of the table. When the table's row chain was walked
  // completely, every row must be in exactly one item. The walk visits a node at most
  // once and never descends deeper than an AVL tree of 2^32 nodes can be.
  void checkTtreeIndex(const Table& t, const Entry& e, const std::vector<RecordRef>& rows, bool allRows) {
    const std::string who = format("%s: T-tree %u of field %s", t.label.c_str(), e.tTree, printable(e.name).c_str());
    const char* w = who.c_str();
    if (e.type == dbField::tpStructure || e.type == dbField::tpArray) {
      fail(Kind::tTree, format("%s: a field of type %d cannot have a T-tree", w, e.type));
      return;
    }
    dbTtreeHeader header;
    if (!internalObject(e.tTree, dbTreeMarker, header)) {
      fail(Kind::tTree, format("%s: not a live tree header", w));
      return;
    }
    TreeWalk walk{t, e, who, allRows, {}, {}, 0};
    int height = 0;
    if (header.root != 0) checkTtreeNode(walk, header.root, 0, height);
    if (!allRows) return;
    for (const RecordRef& r : rows) {
      auto found = walk.itemsOfRow.find(r.oid);
      if (found != walk.itemsOfRow.end() && found->second == 1) continue;
      fail(Kind::tTree, found == walk.itemsOfRow.end()
                            ? format("%s: row %u is in no item", w, r.oid)
                            : format("%s: row %u is in more than one item (%u)", w, r.oid, found->second));
    }
  }

  struct TreeWalk {
    const Table& t;
    const Entry& e;
    const std::string& who;
    bool allRows;
    std::unordered_set<oid_t> nodes;                 // nodes reached so far
    std::unordered_map<oid_t, uint32_t> itemsOfRow;  // row -> items naming it
    oid_t previous;                                  // last item with a readable key, 0 = none
  };

  // Checks the subtree of `id` at `depth`; `height` receives its height as far as
  // it could be read. False when the walk must end (a node reached twice).
  bool checkTtreeNode(TreeWalk& walk, oid_t id, int depth, int& height) {
    constexpr int kMaxDepth = 48;  // an AVL tree of 2^32 nodes is less than 47 levels high
    const char* w = walk.who.c_str();
    height = 0;
    if (depth >= kMaxDepth) {
      fail(Kind::tTree, format("%s: node %u lies deeper than %d levels", w, id, kMaxDepth));
      return false;
    }
    dbTtreeNode node;
    if (!internalObject(id, dbTreeNodeMarker, node)) {
      fail(Kind::tTree, format("%s: node %u is not a live tree node", w, id));
      return true;
    }
    if (!walk.nodes.insert(id).second) {
      fail(Kind::tTree, format("%s: node %u is reached again: cycle or shared subtree", w, id));
      return false;
    }
    int hl = 0, hr = 0;
    if (node.left != 0 && !checkTtreeNode(walk, node.left, depth + 1, hl)) return false;
    if (node.nItems < 1 || node.nItems > dbTtreeNode::maxItems) {
      fail(Kind::tTree, format("%s: node %u holds %u items, expected 1..%d", w, id, node.nItems,
                               dbTtreeNode::maxItems));
    }
    const int count = std::min<int>(node.nItems, dbTtreeNode::maxItems);
    for (int i = 0; i < count; i++) checkTtreeItem(walk, id, node.item[i]);
    if (node.right != 0 && !checkTtreeNode(walk, node.right, depth + 1, hr)) return false;
    if (node.balance != hr - hl || hr - hl < -1 || hr - hl > 1) {
      fail(Kind::tTree, format("%s: node %u has balance %d but subtree heights %d (left) and %d (right)", w, id,
                               node.balance, hl, hr));
    }
    height = std::max(hl, hr) + 1;
    return true;
  }

  // One item in in-order position: a row of the table whose key is not below the
  // key of the item before it.
  void checkTtreeItem(TreeWalk& walk, oid_t nodeId, oid_t item) {
    const char* w = walk.who.c_str();
    auto owner = rowOwners.find(item);
    if (owner == rowOwners.end() || owner->second != walk.t.oid) {
      if (walk.allRows || owner != rowOwners.end()) {
        fail(Kind::tTree, format("%s: node %u: record %u is not a row of the table", w, nodeId, item));
      }
      return;
    }
    walk.itemsOfRow[item]++;
    const char* key;
    if (!ttreeKey(walk.e, item, key)) {
      fail(Kind::tTree, format("%s: node %u: the key of record %u lies outside it", w, nodeId, item));
      return;
    }
    // Raw keys are ordered by the application's comparator, which a file does not name.
    if (walk.e.type == dbField::tpRawBinary) return;
    if (walk.previous != 0) {
      RecordRef r;
      rowRecord(walk.previous, r);
      if (dbTtree::compareKey(key, reinterpret_cast<const char*>(base + r.offset), walk.e.type, walk.e.size,
                              nullptr, walk.e.offset) < 0) {
        fail(Kind::tTree, format("%s: node %u: record %u is out of key order after record %u", w, nodeId, item,
                                 walk.previous));
      }
    }
    walk.previous = item;
  }

  // The key of the row `oid` as the tree compares it: the field's bytes, or for a
  // string the NUL-terminated string its pair designates. False when it does not lie
  // inside the record or is not a key type.
  bool ttreeKey(const Entry& e, oid_t oid, const char*& key) {
    RecordRef r;
    if (!rowRecord(oid, r) || e.offset < 0 || e.size <= 0 || uint64_t(e.offset) + uint64_t(e.size) > r.size) {
      return false;
    }
    const char* record = reinterpret_cast<const char*>(base + r.offset);
    switch (e.type) {
      case dbField::tpBool: case dbField::tpInt1: case dbField::tpInt2: case dbField::tpInt4:
      case dbField::tpInt8: case dbField::tpReal4: case dbField::tpReal8: case dbField::tpReference:
      case dbField::tpRawBinary:
        key = record + e.offset;
        return true;
      case dbField::tpString: {
        dbVarying v;
        memcpy(&v, record + e.offset, sizeof v);
        if (v.count == 0 || uint64_t(v.offset) + v.count > r.size || record[v.offset + v.count - 1] != '\0') {
          return false;
        }
        key = record + v.offset;
        return true;
      }
      default:
        return false;
    }
  }

  // Reads the internal object of `oid` when its handle is live with `tag` and the
  // object lies inside the file.
  template <class T>
  bool internalObject(oid_t oid, uint32_t tag, T& out) const {
    if (oid < dbFirstUserObjectId || oid >= root.usedIds) return false;
    uint32_t h = handle(oid);
    if ((h & (dbFreeHandleMarker | 0xF)) != tag || !inside(h & ~0xFu, sizeof(T))) return false;
    return read(h & ~0xFu, out);
  }

  // --- Stage 4: bitmap against owners -------------------------------------------

  // Copies the committed bitmap into `marked`, one bit per quantum of the file, in
  // the bitmap's own layout: byte j of page k becomes byte k * 4096 + j. Set bits for
  // quanta past the end of the file are reported per page.
  void buildMarkedMap() {
    fileQuanta = (fileSize + dbAllocationQuantum - 1) / dbAllocationQuantum;
    marked.assign((fileQuanta + 7) / 8, 0);
    covered.assign(marked.size(), 0);
    for (size_t k = 0; k < bitmapPages.size(); k++) {
      const unsigned char* page = bitmapPages[k];
      if (page == nullptr) continue;
      uint64_t beyond = 0;
      for (uint64_t j = 0; j < dbPageSize; j++) {
        uint64_t at = k * dbPageSize + j;
        uint8_t bits = page[j];
        uint8_t insideMask = 0xFF;
        if (at * 8 >= fileQuanta) {
          insideMask = 0;
        } else if (at * 8 + 8 > fileQuanta) {
          insideMask = uint8_t((1u << (fileQuanta - at * 8)) - 1);
        }
        if (insideMask != 0) marked[at] = bits & insideMask;
        beyond += std::popcount(uint8_t(bits & ~insideMask));
      }
      if (beyond != 0) {
        fail(Kind::beyondEnd, format("bitmap page %zu (oid %zu): %llu quanta beyond the end of the file "
                                     "are marked", k, k + dbFirstBitmapId, (unsigned long long)beyond));
      }
    }
    for (uint8_t bits : marked) report.usedBytes += uint64_t(std::popcount(bits)) * dbAllocationQuantum;
  }

  bool isMarked(uint64_t q) const { return (marked[q / 8] >> (q % 8)) & 1; }

  // Offset order, the wider first at one offset: an extent then overlaps an earlier
  // one exactly when it starts before the end of the widest extent before it.
  void sortExtents() {
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
      return a.offset != b.offset ? a.offset < b.offset : a.size > b.size;
    });
  }

  void failIfOverlaps(const Extent& e, const Extent* widest) {
    if (widest != nullptr && e.firstQuantum() < widest->endQuantum()) {
      fail(Kind::overlap, format("%s overlaps %s", describe(e).c_str(), ownerName(widest->owner).c_str()));
    }
  }

  // Sweeps the extents in offset order. Each extent is compared with the widest one
  // before it for overlap; only its quanta not covered by earlier extents are marked
  // covered and tested against the bitmap, so the sweep costs one pass over the file
  // however many extents overlap.
  void checkExtents() {
    sortExtents();
    const Extent* widest = nullptr;
    for (const Extent& e : extents) {
      failIfOverlaps(e, widest);
      uint64_t from = widest != nullptr ? std::max(e.firstQuantum(), widest->endQuantum()) : e.firstQuantum();
      uint64_t unmarked = 0;
      for (uint64_t q = from; q < e.endQuantum(); q++) {
        covered[q / 8] |= uint8_t(1u << (q % 8));
        if (!isMarked(q)) unmarked++;
      }
      if (e.mustBeMarked && unmarked != 0) {
        fail(Kind::unmarked, format("%s: %llu quanta are not marked in the bitmap", describe(e).c_str(),
                                    (unsigned long long)unmarked));
      }
      if (widest == nullptr || e.endQuantum() > widest->endQuantum()) widest = &e;
    }
  }

  // Space marked in the bitmap that no extent covers: leaked by whoever freed or
  // replaced its owner. One error per run of such quanta.
  void checkUnowned() {
    bool inRun = false;
    uint64_t runStart = 0;
    for (uint64_t j = 0; j < marked.size(); j++) {
      uint8_t unowned = marked[j] & uint8_t(~covered[j]);
      if (unowned == (inRun ? 0xFF : 0)) continue;
      for (uint64_t b = 0; b < 8; b++) {
        bool bit = (unowned >> b) & 1;
        if (bit == inRun) continue;
        if (bit) {
          runStart = j * 8 + b;
        } else {
          reportUnowned(runStart, j * 8 + b);
        }
        inRun = bit;
      }
    }
    if (inRun) reportUnowned(runStart, fileQuanta);
  }

  void reportUnowned(uint64_t first, uint64_t end) {
    uint64_t bytes = (end - first) * dbAllocationQuantum;
    report.unownedBytes += bytes;
    fail(Kind::unowned, format("unowned space at %llu size %llu is marked in the bitmap",
                               (unsigned long long)(first * dbAllocationQuantum), (unsigned long long)bytes));
  }

  // --- Stage 5: free oid chain --------------------------------------------------

  // The chain from freeIdHead links released oids through the low 31 bits of their
  // handles. It visits each oid at most once, so the walk is bounded by usedIds. When
  // it is intact, every other free user oid has been lost to reuse.
  // --- Structure only -------------------------------------------------------------
  //
  // What opening a file relies on, without reading the rows: each table's first and
  // last rows and its index headers are live objects of their kind, and the records
  // read so far overlap neither each other nor the header page, the index areas and
  // the bitmap pages.

  void claim(oid_t oid, uint64_t offset, uint64_t size) {
    if (claimed.insert(oid).second) extents.push_back({offset, size, oid, true});
  }

  void checkTableObjects(const Table& t) {
    const dbTable& d = t.desc;
    const char* who = t.label.c_str();
    if (d.firstRow == 0 || d.lastRow == 0 || d.nRows <= 0) {
      if (d.firstRow != 0 || d.lastRow != 0 || d.nRows != 0) {
        fail(Kind::rowChain, format("%s: firstRow %u, lastRow %u and nRows %d disagree", who, d.firstRow, d.lastRow,
                                    d.nRows));
      }
    } else {
      for (oid_t oid : {d.firstRow, d.lastRow}) {
        RecordRef r;
        if (!rowRecord(oid, r)) {
          fail(Kind::rowChain, format("%s: %s %u is not a live record", who, oid == d.firstRow ? "firstRow" : "lastRow",
                                      oid));
        } else {
          claim(r.oid, r.offset, r.size);
        }
      }
    }
    for (const Entry& e : t.entries) {
      // Each index belongs to one field: dropping or changing it must not reach another's.
      for (oid_t index : {e.hashTable, e.tTree}) {
        if (index != 0 && !indexOids.insert(index).second) {
          fail(Kind::descriptor, format("%s: field %s names index %u, which another field names too", who,
                                        printable(e.name).c_str(), index));
        }
      }
      claimIndexHeader<dbHashHeader>(who, e, e.hashTable, dbHashMarker, Kind::hashIndex, "hash index", "hash");
      claimIndexHeader<dbTtreeHeader>(who, e, e.tTree, dbTreeMarker, Kind::tTree, "T-tree", "tree");
    }
  }

  // The header of a field's index (none when `index` is 0) must be a live internal
  // object of its kind; its extent then joins the overlap sweep.
  template <class Header>
  void claimIndexHeader(const char* who, const Entry& e, oid_t index, uint32_t marker, Kind kind,
                        const char* indexName, const char* headerName) {
    if (index == 0) return;
    Header header;
    if (!internalObject(index, marker, header)) {
      fail(kind, format("%s: %s %u of field %s: not a live %s header", who, indexName, index,
                        printable(e.name).c_str(), headerName));
      return;
    }
    claim(index, handle(index) & ~0xFu, dbInternalObjectSize[marker]);
  }

  void checkOverlaps() {
    sortExtents();
    const Extent* widest = nullptr;
    for (const Extent& e : extents) {
      failIfOverlaps(e, widest);
      if (widest == nullptr || e.endQuantum() > widest->endQuantum()) widest = &e;
    }
  }

  void checkFreeChain() {
    if (!freeHeadValid) return;
    std::vector<uint8_t> onChain(root.usedIds, 0);
    bool intact = true;
    for (oid_t oid = root.freeIdHead; oid != 0;) {
      if (oid >= root.usedIds) {
        fail(Kind::freeChain, format("free chain: oid %u is not below usedIds %u", oid, root.usedIds));
        intact = false;
        break;
      }
      if (oid < dbFirstUserObjectId) {
        fail(Kind::freeChain, format("free chain: oid %u is reserved", oid));
        intact = false;
        break;
      }
      uint32_t h = handle(oid);
      if (!(h & dbFreeHandleMarker)) {
        fail(Kind::freeChain, format("free chain: oid %u is in use (handle 0x%08x)", oid, h));
        intact = false;
        break;
      }
      if (onChain[oid]) {
        fail(Kind::freeChain, format("free chain: cycle at oid %u", oid));
        intact = false;
        break;
      }
      onChain[oid] = 1;
      oid = h & ~dbFreeHandleMarker;
    }
    if (!intact) return;
    for (oid_t oid = dbFirstUserObjectId; oid < root.usedIds; oid++) {
      if ((handle(oid) & dbFreeHandleMarker) && !onChain[oid]) {
        fail(Kind::freeChain, format("oid %u: free but not on the free chain", oid));
      }
    }
  }

  const unsigned char* const base;
  const uint64_t imageSize;
  dbCheckReport& report;
  const bool structureOnly;
  std::unordered_set<oid_t> claimed;  // structure only: oids whose extent is collected
  RecordRef metatableRecord;
  std::unordered_set<oid_t> indexOids;  // structure only: index oids the field entries name
  size_t shown[size_t(Kind::count)] = {};
  uint64_t suppressed[size_t(Kind::count)] = {};

  uint64_t fileSize = 0;  // the image size, at most 4 GiB
  dbHeader hdr{};
  dbRoot root{};     // the committed root
  dbRoot working{};  // the other one
  bool twinInside = false;
  bool workingInside = false;
  bool freeHeadValid = true;

  std::vector<const unsigned char*> bitmapPages;  // existing pages from oid 2; null: unreadable
  std::vector<Extent> extents;
  uint64_t fileQuanta = 0;
  std::vector<uint8_t> marked;   // committed bitmap, one bit per quantum of the file
  std::vector<uint8_t> covered;  // quanta some extent covers, same layout

  std::unordered_map<oid_t, oid_t> rowOwners;         // row -> descriptor oid of its table
  std::unordered_map<oid_t, std::string> tableLabels;  // descriptor oid -> "table Rule"
  std::map<std::string, oid_t> tableNames;             // name -> descriptor oid
};

}  // namespace

dbCheckReport dbCheckImage(const char* base, size_t size) {
  dbCheckReport report;
  Checker(reinterpret_cast<const unsigned char*>(base), size, report, false).run();
  return report;
}

dbCheckReport dbCheckStructure(const char* base, size_t size) {
  dbCheckReport report;
  Checker(reinterpret_cast<const unsigned char*>(base), size, report, true).run();
  return report;
}

// The file is mapped privately and read-only; it must not shrink while being checked.
dbCheckReport dbCheckFile(const char* path) {
  dbCheckReport report;
  auto unreadable = [&](const char* what) {
    report.unreadable = true;
    report.errors.push_back(format("%s: %s: %s", path, what, strerror(errno)));
    return report;
  };
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return unreadable("cannot open");
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return unreadable("cannot stat");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return unreadable("not a regular file");
  }
  size_t size = size_t(st.st_size);
  if (size == 0) {
    ::close(fd);
    return dbCheckImage("", 0);
  }
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  int saved = errno;
  ::close(fd);
  if (mapped == MAP_FAILED) {
    errno = saved;
    return unreadable("cannot map");
  }
  report = dbCheckImage(static_cast<const char*>(mapped), size);
  munmap(mapped, size);
  return report;
}
