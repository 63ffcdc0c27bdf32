// Read-only consistency check of a database file's committed state.
//
// The check runs in stages over one file image:
//   1. header and both roots: without a usable committed root nothing else can be read;
//   2. the reserved oids (0 and the bitmap pages) and every live object of the
//      committed index, each turned into an extent of the file it claims;
//   3. the committed bitmap is copied into one bit per quantum of the file, the extents
//      are swept in offset order to find overlaps and unmarked space, and whatever is
//      marked but covered by no extent is unowned;
//   4. the free oid chain.
// Every read goes through a bounds check against the image, and every loop is bounded
// by the file size, the committed usedIds or the number of bitmap oids.
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

#include "format.h"

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
enum class Kind { header, root, handle, object, overlap, unmarked, unowned, beyondEnd, freeChain, count };
constexpr const char* kKindNames[] = {"header",       "root",           "handle",
                                      "object",       "overlap",        "unmarked space",
                                      "unowned space", "bits beyond the end", "free chain"};
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
  Checker(const unsigned char* base, uint64_t size, dbCheckReport& report)
      : base(base), imageSize(size), report(report) {}

  void run() {
    if (checkHeader() && checkRoots()) {
      collectAreas();
      checkReservedOids();
      checkObjects();
      checkMetatable();
      checkTables();
      buildMarkedMap();
      checkExtents();
      checkUnowned();
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
    checkRoot(1 - hdr.activeRoot);
    // Only a transaction in progress moves the working index away from the committed
    // root's twin (when it grows); a clean file has none.
    if (hdr.dirty == 0 && (working.indexOffset != root.twinIndexOffset ||
                           working.indexCapacity != root.twinIndexCapacity)) {
      fail(Kind::root, format("root %d (working): index at %u of %u handles is not the committed "
                              "root's twin at %u of %u handles in a clean file",
                              1 - hdr.activeRoot, working.indexOffset, working.indexCapacity,
                              root.twinIndexOffset, root.twinIndexCapacity));
    }
    return committedUsable;
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
    }
  }

  // The contents of the tables (descriptor records and their field entries, the row
  // chains from firstRow to lastRow, the hash and T-tree indexes) are not examined
  // yet; those checks belong here and may rely on every live object lying inside the
  // file, which the extents built above establish.
  void checkTables() {}

  // --- Stage 3: bitmap against owners -------------------------------------------

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

  // Sweeps the extents in offset order. Each extent is compared with the widest one
  // before it for overlap; only its quanta not covered by earlier extents are marked
  // covered and tested against the bitmap, so the sweep costs one pass over the file
  // however many extents overlap.
  void checkExtents() {
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
      return a.offset != b.offset ? a.offset < b.offset : a.size > b.size;
    });
    const Extent* widest = nullptr;
    for (const Extent& e : extents) {
      if (widest != nullptr && e.firstQuantum() < widest->endQuantum()) {
        fail(Kind::overlap, format("%s overlaps %s", describe(e).c_str(), ownerName(widest->owner).c_str()));
      }
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

  // --- Stage 4: free oid chain --------------------------------------------------

  // The chain from freeIdHead links released oids through the low 31 bits of their
  // handles. It visits each oid at most once, so the walk is bounded by usedIds. When
  // it is intact, every other free user oid has been lost to reuse.
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
};

}  // namespace

dbCheckReport dbCheckImage(const char* base, size_t size) {
  dbCheckReport report;
  Checker(reinterpret_cast<const unsigned char*>(base), size, report).run();
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
