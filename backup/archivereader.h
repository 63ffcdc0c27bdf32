// Reading side of the backup archive: the source volumes, the data-section
// decoder and the restore run. Internal to the backup library.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "archiveformat.h"
#include "backupfile.h"

namespace backupreader {

constexpr const char* kCannotReadArchive = "Cannot read archive";
constexpr const char* kInvalidArchiveType = "Invalid archive type";
constexpr const char* kStreamReadError = "Stream read error";

bool regularFileExists(const std::string& path);  // symbolic links followed

// The archive being read: the caller's stream, or the volume files of an archive
// on disk. Every read either delivers all the bytes asked for or raises
// BackupError(kStreamReadError), so a truncated archive never yields short data.
class ArchiveSource {
 public:
  explicit ArchiveSource(std::istream& callerStream) : in(&callerStream) {}
  // Opens the first volume; raises BackupError(kCannotReadArchive) when it cannot.
  explicit ArchiveSource(const std::string& path);

  bool isCallerStream() const { return !ownsFile; }
  const std::string& path() const { return currentPath; }
  // Closes the current volume file and opens `path` in its place; raises
  // BackupError(kCannotReadArchive) when it cannot.
  void openVolume(const std::string& path);
  void close();  // closes a volume file; the caller's stream is never closed

  int32_t readInt32();
  void readExact(char* out, int64_t size);
  // Reads a text of `length` bytes. The text grows as it is read, so a damaged
  // length cannot claim more memory than the archive holds. REQUIRES: length >= 0.
  std::string readText(int32_t length);
  void skip(int64_t size);

 private:
  std::ifstream file;
  std::istream* in = nullptr;
  bool ownsFile = false;
  std::string currentPath;
};

// Where DeCompress puts inflated file data.
class DataSink {
 public:
  virtual ~DataSink() = default;
  virtual bool write(const char* data, int32_t size) = 0;  // false on failure
};

// Writes to a standard stream, or discards the data when there is none.
class StreamSink : public DataSink {
 public:
  explicit StreamSink(std::ostream* out) : out(out) {}
  bool write(const char* data, int32_t size) override;

 private:
  std::ostream* out;
};

// Collects data in memory up to a limit; refuses more.
class MemorySink : public DataSink {
 public:
  explicit MemorySink(size_t limit) : limit(limit) {}
  bool write(const char* data, int32_t size) override;
  const std::string& text() const { return collected; }

 private:
  size_t limit;
  std::string collected;
};

// Decodes data sections. Holds the two fixed block buffers and one inflater.
class SectionDecoder {
 public:
  SectionDecoder(TBackupFile& owner, ArchiveSource& source);

  // Reads the section marker; raises BackupError(kInvalidArchiveType) when it is wrong.
  void readMarker();
  // Reads blocks up to the section end while the run goes on. Each payload is
  // inflated into `sink`, or skipped unread when `sink` is null. With
  // `countProgress` the bytes written count as restored and progress is
  // reported. A zlib failure records error 6, a failing sink error 1; a block
  // length above kBlockSize raises BackupError(kInvalidArchiveType).
  void readBlocks(DataSink* sink, bool countProgress);

 private:
  TBackupFile& owner;
  ArchiveSource& source;
  backupformat::BlockInflater inflater;
  std::unique_ptr<char[]> payload;
  std::unique_ptr<char[]> data;
};

// One Restore run, or one GetArchiveTitle call, over an opened source.
class ArchiveReader {
 public:
  ArchiveReader(TBackupFile& owner, ArchiveSource& source);

  // Restores every entry into `targetDirectory` (empty, or ending in "/").
  void restore(const std::string& targetDirectory);
  // Reads the header and, when `fileIdList` is given, the file-ID list entry.
  std::string readTitle(std::vector<std::string>* fileIdList);

 private:
  // The entry whose data a volume change interrupts.
  struct OpenEntry {
    bool restoring = false;
    std::string target;
    uint32_t dosDate = 0;
  };

  std::string readHeader();
  void restoreEntry(const std::string& name);
  void continueInNextVolume(const std::string& record);
  bool waitForVolume(int number, const std::string& path);
  // Creates (or, for a continuation, appends to) the target file and writes the
  // section into it. True when the data arrived whole.
  bool restoreInto(const OpenEntry& entry, bool append, bool markerRead);
  void skipSection();
  std::string targetPathFor(const std::string& storedName) const;
  bool decideByMode(const std::string& target, uint32_t archivedDate) const;
  void readFileIdList(int32_t nameLength, std::vector<std::string>& fileIdList);

  TBackupFile& owner;
  ArchiveSource& source;
  SectionDecoder decoder;
  std::string targetDirectory;
  OpenEntry openEntry;
  int expectedVolume = 2;
};

}  // namespace backupreader
