#include "archivereader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

namespace backupreader {

using namespace backupformat;

namespace {

// File-ID lists are one short line per archived file; anything larger is damage
// (a few bytes of zlib data can claim 16 KiB each, so the size must be bounded).
constexpr size_t kMaxFileIdListBytes = 64u << 20;

bool hasParentComponent(const std::string& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

bool makeParentDirectories(const std::string& target) {
  std::filesystem::path parent = std::filesystem::path(target).parent_path();
  if (parent.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(parent, error);
  return std::filesystem::is_directory(parent, error);
}

void setFileDate(const std::string& path, uint32_t dosDate) {
  std::optional<std::time_t> time = unpackDosDate(dosDate);
  if (!time) return;  // a date no file can carry: the file keeps its own
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = *time;
  times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return lines;
}

}  // namespace

bool regularFileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// --- ArchiveSource

ArchiveSource::ArchiveSource(const std::string& path) : ownsFile(true) { openVolume(path); }

void ArchiveSource::openVolume(const std::string& path) {
  close();
  file.clear();
  file.open(path, std::ios::binary);
  if (!file) throw BackupError(kCannotReadArchive);
  in = &file;
  currentPath = path;
}

void ArchiveSource::close() {
  if (ownsFile && file.is_open()) file.close();
}

int32_t ArchiveSource::readInt32() {
  char bytes[4];
  readExact(bytes, 4);
  return getInt32(bytes);
}

void ArchiveSource::readExact(char* out, int64_t size) {
  if (size == 0) return;
  if (!in->read(out, size) || in->gcount() != size) throw BackupError(kStreamReadError);
}

std::string ArchiveSource::readText(int32_t length) {
  constexpr int64_t kChunk = 64 * 1024;
  std::string text;
  for (int64_t done = 0; done < length;) {
    int64_t part = std::min<int64_t>(kChunk, length - done);
    text.resize(done + part);
    readExact(text.data() + done, part);
    done += part;
  }
  return text;
}

void ArchiveSource::skip(int64_t size) {
  if (in->seekg(size, std::ios::cur)) return;
  // A stream that cannot seek is read through.
  in->clear();
  if (!in->ignore(size) || in->gcount() != size) throw BackupError(kStreamReadError);
}

// --- Sinks

bool StreamSink::write(const char* data, int32_t size) {
  if (out == nullptr) return true;
  return static_cast<bool>(out->write(data, size));
}

bool MemorySink::write(const char* data, int32_t size) {
  if (collected.size() + size_t(size) > limit) return false;
  collected.append(data, size_t(size));
  return true;
}

// --- SectionDecoder

SectionDecoder::SectionDecoder(TBackupFile& owner, ArchiveSource& source)
    : owner(owner), source(source), payload(new char[kBlockSize]), data(new char[kBlockSize]) {}

void SectionDecoder::readMarker() {
  char marker[4];
  source.readExact(marker, 4);
  // The marker is compared as text up to its first zero byte.
  if (std::string_view(marker, strnlen(marker, 4)) != "EC2") throw BackupError(kInvalidArchiveType);
}

void SectionDecoder::readBlocks(DataSink* sink, bool countProgress) {
  while (owner.keepGoing) {
    int32_t length = source.readInt32();
    if (length == 0) return;
    int64_t size = length < 0 ? -int64_t{length} : int64_t{length};
    if (size > kBlockSize) throw BackupError(kInvalidArchiveType);
    if (sink == nullptr) {
      source.skip(size);
      owner.letInterfaceRun();
      continue;
    }
    source.readExact(payload.get(), size);
    const char* bytes = payload.get();
    int32_t produced = int32_t(size);
    if (length > 0) {
      produced = inflater.inflate(payload.get(), length, data.get());
      if (produced < 0) return owner.fail(TBackupError::CompressionError);
      bytes = data.get();
    }
    if (!sink->write(bytes, produced)) return owner.fail(TBackupError::CannotReadFile);
    owner.letInterfaceRun();
    if (countProgress) {
      owner.processedBytes += produced;
      owner.reportProgress(owner.currentFile);
    }
  }
}

// --- ArchiveReader

ArchiveReader::ArchiveReader(TBackupFile& owner, ArchiveSource& source)
    : owner(owner), source(source), decoder(owner, source) {}

std::string ArchiveReader::readHeader() {
  int32_t titleLength = source.readInt32();
  if (titleLength < 0) throw BackupError(kCannotReadArchive);
  std::string title = source.readText(titleLength);
  owner.totalBytes = uint32_t(source.readInt32());
  owner.fileCount = source.readInt32();
  return title;
}

void ArchiveReader::restore(const std::string& directory) {
  targetDirectory = directory;
  try {
    readHeader();
  } catch (const BackupError&) {
    throw BackupError(kCannotReadArchive);
  }
  owner.processedBytes = 0;
  while (owner.keepGoing) {
    int32_t nameLength = source.readInt32();
    if (nameLength == 0) break;
    if (nameLength < 0) throw BackupError(kInvalidArchiveType);
    std::string name = source.readText(nameLength);
    if (name.starts_with(kVolumeChangePrefix))
      continueInNextVolume(name);
    else
      restoreEntry(name);
  }
}

void ArchiveReader::restoreEntry(const std::string& name) {
  uint32_t dosDate = uint32_t(source.readInt32());
  openEntry = OpenEntry{};
  if (name == kFileIdListName) return skipSection();  // never restored
  std::string target = targetPathFor(name);
  bool doRestore = decideByMode(target, dosDate);
  if (owner.OnRestoreFile) owner.OnRestoreFile(owner, target, dosDate, doRestore);
  owner.currentFile = target;
  if (!doRestore || !makeParentDirectories(target)) return skipSection();
  openEntry = OpenEntry{true, target, dosDate};
  if (restoreInto(openEntry, /*append=*/false, /*markerRead=*/false)) owner.filesDone += 1;
}

void ArchiveReader::skipSection() {
  decoder.readMarker();
  decoder.readBlocks(nullptr, false);
}

bool ArchiveReader::restoreInto(const OpenEntry& entry, bool append, bool markerRead) {
  std::ofstream out(entry.target, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  if (!out) {
    owner.fail(TBackupError::CannotReadFile);
    return false;
  }
  try {
    if (!markerRead) decoder.readMarker();
    StreamSink sink(&out);
    decoder.readBlocks(&sink, true);
  } catch (const BackupError&) {
    owner.fail(TBackupError::CannotReadFile);  // the data is damaged or cut short
  } catch (const std::ios_base::failure&) {
    owner.fail(TBackupError::CannotReadFile);
  }
  // Whole or not, the file gets the archived date; what was written stays.
  if (owner.OnFileRestored) owner.OnFileRestored(owner, entry.target, out);
  if (!out.flush()) owner.fail(TBackupError::CannotReadFile);
  setFileDate(entry.target, entry.dosDate);
  out.close();
  return owner.errorCode == 0;
}

void ArchiveReader::continueInNextVolume(const std::string& record) {
  // A caller's stream is one volume; a change record in it can only be damage.
  if (source.isCallerStream()) throw BackupError(kInvalidArchiveType);
  // Volumes follow each other in order; anything else (a volume naming itself,
  // a jump) is damage and would otherwise let a damaged archive loop forever.
  std::optional<int> number = parseVolumeChange(record);
  if (!number || *number != expectedVolume) throw BackupError(kInvalidArchiveType);
  ++expectedVolume;
  std::string path = volumePath(source.path(), *number);
  source.close();
  if (!waitForVolume(*number, path)) return;
  source.openVolume(path);
  decoder.readMarker();
  if (openEntry.restoring)
    restoreInto(openEntry, /*append=*/true, /*markerRead=*/true);
  else
    decoder.readBlocks(nullptr, false);
}

// Asks for the volume until its file exists or the run is cancelled. Without an
// event handler and a prompt nobody can supply a missing volume: the run ends.
bool ArchiveReader::waitForVolume(int number, const std::string& path) {
  while (owner.askForVolume(number)) {
    if (regularFileExists(path)) return true;
    if (!owner.OnNeedDisk && !owner.VolumePrompt) owner.keepGoing = false;
  }
  return false;
}

// The stored name must name a file and must not climb out of a directory: a
// ".." component, an empty or "." file name or a zero byte make it damaged.
std::string ArchiveReader::targetPathFor(const std::string& storedName) const {
  std::string fileName = storedName.substr(storedName.rfind('/') + 1);
  if (storedName.find('\0') != std::string::npos || hasParentComponent(storedName) ||
      fileName.empty() || fileName == ".")
    throw BackupError(kInvalidArchiveType);
  if (targetDirectory.empty()) return storedName;
  if (!owner.RestoreFullPath) return targetDirectory + fileName;
  // The stored path without its root, so that it stays under the directory.
  return targetDirectory + storedName.substr(storedName.find_first_not_of('/'));
}

bool ArchiveReader::decideByMode(const std::string& target, uint32_t archivedDate) const {
  struct stat info;
  bool exists = stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  // Packed dates order like the times they stand for when compared unsigned
  // (the year sits in the top bits; a signed comparison misorders 2044 onwards).
  bool later = exists && archivedDate > packDosDate(info.st_mtime);
  switch (owner.RestoreMode) {
    case TRestoreMode::rmAll: return true;
    case TRestoreMode::rmNoOverwrite: return !exists;
    case TRestoreMode::rmNewer: return !exists || later;
    case TRestoreMode::rmExisting: return exists;
    case TRestoreMode::rmExistingNewer: return later;
  }
  return false;
}

std::string ArchiveReader::readTitle(std::vector<std::string>* fileIdList) {
  std::string title;
  int32_t firstNameLength = 0;
  try {
    title = readHeader();
    firstNameLength = source.readInt32();
  } catch (const BackupError&) {
    owner.reportTitleFailure();
    return {};
  }
  if (firstNameLength > 0 && fileIdList != nullptr) {
    try {
      readFileIdList(firstNameLength, *fileIdList);
    } catch (const BackupError&) {
      owner.reportTitleFailure();
    }
  }
  return title;
}

void ArchiveReader::readFileIdList(int32_t nameLength, std::vector<std::string>& fileIdList) {
  if (source.readText(nameLength) != kFileIdListName) return;
  source.readInt32();  // the date of the list
  owner.keepGoing = true;
  MemorySink sink(kMaxFileIdListBytes);
  decoder.readMarker();
  decoder.readBlocks(&sink, false);
  if (owner.errorCode != 0) throw BackupError(kInvalidArchiveType);
  fileIdList = splitLines(sink.text());
}

}  // namespace backupreader
