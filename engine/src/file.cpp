#include "file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

int dbFile::open(const char* path, bool forReading, bool mayCreate) {
  close();
  readOnly = forReading;
  fd = ::open(path, (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT || readOnly || !mayCreate) return fd < 0 ? errno : 0;
  // O_EXCL tells whether this call made the file. It refuses a symbolic link, so a
  // dangling one is followed by hand to the name to create. A file that appears
  // between the two attempts is opened as an existing one.
  for (int attempt = 0; attempt < 8; attempt++) {
    std::string target = dbCanonicalFilePath(path);
    fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      created = true;
      createdPath = target;
      // The umask may only have taken bits away from 0600; give the owner back
      // what it took. Where modes cannot be set, the file keeps the narrower one.
      fchmod(fd, 0600);
      return 0;
    }
    if (errno != EEXIST) return errno;
    fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return 0;
    if (errno != ENOENT) return errno;
  }
  return EEXIST;
}

void dbFile::closeAndRemove() {
  if (created && fd >= 0) {
    struct stat mine, named;
    if (fstat(fd, &mine) == 0 && lstat(createdPath.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
        mine.st_ino == named.st_ino) {
      unlink(createdPath.c_str());
    }
  }
  close();
}

uint64_t dbFile::fileLength() const {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  return uint64_t(st.st_size);
}

static int reserve(int fd, size_t from, size_t to) {
  if (to <= from) return 0;
  if (ftruncate(fd, off_t(to)) != 0) return errno;
  // posix_fallocate returns the error instead of setting errno. File systems
  // without support (EOPNOTSUPP) keep the sparse file.
  int rc = posix_fallocate(fd, off_t(from), off_t(to - from));
  return rc == EOPNOTSUPP || rc == EINVAL ? 0 : rc;
}

// The page cache may hold a file in folios of up to 2 MiB when it reads ahead, and
// a write through the mapping marks its whole folio dirty: one changed byte would
// make the next flush write megabytes. Without read-ahead for the mapping, faults
// bring in single pages and a flush writes only the pages a transaction changed.
static void advisePageAtATime(char* mapping, size_t size) { madvise(mapping, size, MADV_RANDOM); }

int dbFile::map(size_t size) {
  unmap();
  if (!readOnly) {
    uint64_t length = fileLength();
    if (length < size) {
      if (int rc = reserve(fd, size_t(length), size)) return rc;
    }
  }
  if (size == 0) return EINVAL;
  int prot = readOnly ? PROT_READ : (PROT_READ | PROT_WRITE);
  void* p = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return errno;
  mapping = static_cast<char*>(p);
  mappedSize = size;
  advisePageAtATime(mapping, mappedSize);
  return 0;
}

int dbFile::setSize(size_t newSize) {
  uint64_t length = fileLength();
  if (length < newSize) {
    if (int rc = reserve(fd, size_t(length), newSize)) return rc;
    // The caller records the new size in the header next, and the kernel may write
    // the header page back at any moment, long before the file system commits the
    // new length. After a power failure the header would then claim more file than
    // there is, and the file would no longer open. So the length reaches the disk
    // first: one wait per growth, and the file grows by doubling.
    if (int rc = syncLength()) return rc;
  }
  return remap(newSize);
}

int dbFile::syncLength() {
  if (dbFlushHook != nullptr) return dbFlushHook(*this, dbDurability::length);
  return fdatasync(fd) == 0 ? 0 : errno;
}

int dbFile::remap(size_t size) {
  if (mapping != nullptr) {
    void* p = mremap(mapping, mappedSize, size, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return errno;
    mapping = static_cast<char*>(p);
    mappedSize = size;
    advisePageAtATime(mapping, mappedSize);
    return 0;
  }
  return map(size);
}

int dbFile::truncate(size_t newSize) {
  unmap();
  if (ftruncate(fd, 0) != 0) return errno;
  return map(newSize);
}

int dbFile::read(void* buffer, size_t size, uint64_t offset) const {
  ssize_t n;
  do {
    n = pread(fd, buffer, size, off_t(offset));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? errno : 0;
}

int (*dbFlushHook)(const dbFile& file, dbDurability what) = nullptr;

int dbFile::flush() {
  if (mapping == nullptr) return 0;
  if (dbFlushHook != nullptr) return dbFlushHook(*this, dbDurability::mapping);
  return msync(mapping, mappedSize, MS_SYNC) == 0 ? 0 : errno;
}

// A flush leaves every page it wrote write-protected, and the first write through
// the mapping to such a page is a page fault (11 to 14 µs each in a virtual machine).
// Asking the kernel to make the pages writable in one call costs a fraction of that.
// Old kernels without MADV_POPULATE_WRITE refuse the call; the writes then fault as
// before.
void dbFile::prepareForWrite(const void* address, size_t size) const {
  const uintptr_t pageMask = 4095;
  const uintptr_t from = reinterpret_cast<uintptr_t>(address) & ~pageMask;
  const uintptr_t to = (reinterpret_cast<uintptr_t>(address) + size + pageMask) & ~pageMask;
  madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

void dbFile::unmap() {
  if (mapping != nullptr) munmap(mapping, mappedSize);
  mapping = nullptr;
  mappedSize = 0;
}

void dbFile::close() {
  unmap();
  if (fd >= 0) ::close(fd);
  fd = -1;
  created = false;
  createdPath.clear();
}

std::string dbCanonicalFilePath(const char* path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path current = fs::absolute(path, error);
  if (error) current = path;
  for (int links = 0;; links++) {
    const std::string base = current.filename().string();
    if (base.empty() || base == "." || base == "..") return current.lexically_normal().string();
    fs::path directory = current.parent_path();
    if (char* real = realpath(directory.c_str(), nullptr)) {
      directory = real;
      free(real);
    } else {
      directory = directory.lexically_normal();
    }
    fs::path candidate = directory / base;
    struct stat st;
    // Links beyond the limit the kernel itself follows are left as they are.
    if (links >= 40 || lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return candidate.string();
    std::string target(size_t(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = readlink(candidate.c_str(), target.data(), target.size());
    if (n <= 0 || size_t(n) >= target.size()) return candidate.string();
    target.resize(size_t(n));
    current = directory / target;  // an absolute target replaces the directory
  }
}

// ---------------------------------------------------------------------------
// Drive check

namespace {
constexpr long kFuseMagic = 0x65735546;
constexpr long kRefusedMagics[] = {
    0x6969,               // NFS
    0x517B,               // SMB
    long(0xFE534D42),     // SMB2
    long(0xFF534D42),     // CIFS
    0x01021997,           // 9P
    0x5346414F,           // AFS
    0x6B414653,           // kAFS
    0x73757245,           // Coda
    0x564C,               // NCP
    0x00C36400,           // Ceph
    0x9660,               // ISO 9660
    0x15013346,           // UDF
};
const char* const kNetworkFuseTypes[] = {
    "sshfs", "curlftpfs", "s3fs", "rclone", "gvfsd-fuse", "smbnetfs", "davfs",
    "gcsfuse", "goofys", "glusterfs", "ceph-fuse", "juicefs", "afpfs", "httpfs"};

// The mount type of the longest mount point that contains `directory`, from the
// process's mount table ("fuse.sshfs" for an sshfs mount).
std::string mountTypeOf(const std::string& directory) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line, best, bestType;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, devices, root, mountPoint;
    fields >> id >> parent >> devices >> root >> mountPoint;
    size_t separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::istringstream rest(line.substr(separator + 3));
    std::string type;
    rest >> type;
    bool contains = directory.compare(0, mountPoint.size(), mountPoint) == 0 &&
                    (mountPoint == "/" || directory.size() == mountPoint.size() ||
                     directory[mountPoint.size()] == '/');
    if (contains && mountPoint.size() >= best.size()) {
      best = mountPoint;
      bestType = type;
    }
  }
  return bestType;
}
}  // namespace

bool dbIsRefusedFileSystem(long magic, const char* mountType) {
  for (long refused : kRefusedMagics) {
    if ((magic & 0xFFFFFFFF) == (refused & 0xFFFFFFFF)) return true;
  }
  if ((magic & 0xFFFFFFFF) != kFuseMagic || mountType == nullptr) return false;
  const char* subtype = strncmp(mountType, "fuse.", 5) == 0 ? mountType + 5 : mountType;
  for (const char* network : kNetworkFuseTypes) {
    if (strcmp(subtype, network) == 0) return true;
  }
  return false;
}

bool dbDirectoryOnRefusedFileSystem(const char* directory) {
  struct statfs info;
  if (statfs(directory, &info) != 0) return false;
  std::string type = long(info.f_type) == kFuseMagic ? mountTypeOf(directory) : std::string();
  return dbIsRefusedFileSystem(long(info.f_type), type.c_str());
}
