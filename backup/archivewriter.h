// Writing side of the backup archive: the volume being written and the backup
// run. Internal to the backup library.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "archiveformat.h"
#include "backupfile.h"

namespace backupwriter {

// The volume being written: a file created anew, or the caller's stream. Counts
// the bytes written into the current volume, which is what MaxSize limits.
class VolumeOutput {
 public:
  bool openFile(const std::string& path);  // creates or truncates the file
  void useStream(std::ostream& stream);
  bool write(const char* data, int64_t size);
  bool writeInt32(int32_t value);
  bool close();  // flushes; closes a file, never the caller's stream

  bool isStream() const { return out != nullptr && out != &file; }
  int64_t position() const { return written; }
  const std::string& path() const { return currentPath; }

 private:
  std::ofstream file;
  std::ostream* out = nullptr;
  int64_t written = 0;
  std::string currentPath;
};

// A file being archived, read through its own descriptor. Other processes may go
// on reading and writing it; the size and date are taken when it is opened.
class InputFile {
 public:
  ~InputFile();
  // False when the file cannot be opened; errno is ENOENT when it does not exist.
  bool open(const std::string& path);
  // Reads exactly `size` bytes; false on an error or when the file ends first.
  bool readExact(char* out, int32_t size);
  int64_t size() const { return fileSize; }
  uint32_t dosDate() const { return modified; }

 private:
  int fd = -1;
  int64_t fileSize = 0;
  uint32_t modified = 0;
};

// One Backup run.
class ArchiveWriter {
 public:
  ArchiveWriter(TBackupFile& owner, const std::string& archivePath);
  ~ArchiveWriter();
  // Writes the archive of the expanded list. True when it was completed.
  bool run(const std::vector<std::string>& fileList);

 private:
  // Sums the sizes of the listed files that exist and builds the file-ID text.
  std::string prescan(const std::vector<std::string>& files);
  bool saveFileIdList(const std::string& text);
  bool openTarget();
  void writeHeader();
  void archiveFile(const std::string& path, bool isFileIdList);
  // Writes one data section; returns with `remaining` > 0 when the volume is full.
  void writeSection(InputFile& in, int64_t& remaining);
  void writeBlock(InputFile& in, int64_t& remaining);
  bool volumeFull() const;
  void changeVolume();
  void put(const char* data, int64_t size);
  void putInt32(int32_t value);
  void putText(const std::string& text);

  TBackupFile& owner;
  std::string archivePath;
  VolumeOutput volume;
  int diskNumber = 1;
  int blocksInVolume = 0;
  std::string fileIdListPath;  // the temporary file, removed when the run ends
  backupformat::BlockDeflater deflater;
  std::unique_ptr<char[]> piece;
  std::unique_ptr<char[]> compressed;
};

}  // namespace backupwriter
