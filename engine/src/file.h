// The database file and its shared mapping. All processes that map one file share
// its pages through the page cache; a flush is msync(MS_SYNC) of the whole mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class dbFile {
 public:
  ~dbFile() { close(); }
  // Opens the file. Read-only access opens an existing file only; read/write access
  // creates a missing one too when `mayCreate` is set, readable and writable by its
  // owner only (mode 0600 whatever the umask: the file may hold secrets). Returns 0
  // or the errno of the failure.
  int open(const char* path, bool readOnly, bool mayCreate);
  // Closes the file and, when the last open created it and the name it was created
  // under still refers to it, removes that name: undoes the creation.
  void closeAndRemove();
  // Maps `size` bytes of the file (growing the file first when it is shorter and
  // writable). Returns 0 or an errno.
  int map(size_t size);
  // Grows the file to `newSize` (space reserved, so that writes through the mapping
  // never meet a full disk), waits until the new length is on the disk, and maps all
  // of it again. The mapping may move.
  int setSize(size_t newSize);
  // Replaces the mapping with one of `size` bytes of the current file.
  int remap(size_t size);
  // Cuts or extends the file to exactly `newSize` bytes and maps it anew.
  int truncate(size_t newSize);
  // Writes every changed page of the mapping to the disk and waits for it:
  // msync(MS_SYNC) of the whole mapping, or dbFlushHook when that is set.
  int flush();
  // Makes the mapped pages of [address, address + size) writable ahead of writes
  // that are sure to come (see file.cpp). Only a hint: failures are ignored.
  void prepareForWrite(const void* address, size_t size) const;
  // Reads up to `size` bytes at `offset` without the mapping; bytes past the end of
  // the file are left as they are. Returns 0 or an errno.
  int read(void* buffer, size_t size, uint64_t offset) const;
  void unmap();
  void close();

  uint64_t fileLength() const;  // the length of the file on disk
  char* base() const { return mapping; }
  size_t size() const { return mappedSize; }
  bool isOpen() const { return fd >= 0; }
  bool isReadOnly() const { return readOnly; }

 private:
  int syncLength();

  int fd = -1;
  bool readOnly = false;
  bool created = false;
  std::string createdPath;  // the name a creating open gave the file
  char* mapping = nullptr;
  size_t mappedSize = 0;
};

// What a wait for the disk is to make durable.
enum class dbDurability {
  mapping,  // flush(): every changed page of the mapping
  length,   // setSize(): the file's new length (and with it every changed page)
};
// When set, every flush and every wait for a new length calls this instead of msync
// or fdatasync and returns what it returns. Tests put a model of the disk here: it
// learns which image of the file each call makes durable, and may leave one out.
// Null (one test of a pointer per call) in normal use.
extern int (*dbFlushHook)(const dbFile& file, dbDurability what);

// The absolute path of the file `path` names, the same for every path to one file in
// one directory: the directory's real path (symbolic links resolved, lexically
// normalised when it does not exist) and the base name, with a symbolic link as the
// last component followed even when it dangles.
std::string dbCanonicalFilePath(const char* path);

// Drive check: a database must lie on a local disk. True for network file systems
// (NFS, SMB/CIFS, 9P, AFS, Ceph, network FUSE mounts such as sshfs) and optical media
// (ISO 9660, UDF). `magic` is statfs's f_type, `mountType` the type name the mount
// table gives ("fuse.sshfs"), which tells FUSE file systems apart.
bool dbIsRefusedFileSystem(long magic, const char* mountType);
// The same decision for the file system that holds `directory`; false when it
// cannot be determined (opening the file then reports what is wrong).
bool dbDirectoryOnRefusedFileSystem(const char* directory);
