#include "archivewriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "filelist.h"

namespace backupwriter {

using namespace backupformat;

// --- VolumeOutput

bool VolumeOutput::openFile(const std::string& path) {
  file.clear();
  file.open(path, std::ios::binary | std::ios::trunc);
  out = &file;
  written = 0;
  currentPath = path;
  return file.is_open() && file.good();
}

void VolumeOutput::useStream(std::ostream& stream) {
  out = &stream;
  written = 0;
}

bool VolumeOutput::write(const char* data, int64_t size) {
  if (out == nullptr || !out->write(data, size)) return false;
  written += size;
  return true;
}

bool VolumeOutput::writeInt32(int32_t value) {
  char bytes[4];
  putInt32(bytes, value);
  return write(bytes, 4);
}

bool VolumeOutput::close() {
  if (out == nullptr) return true;
  bool ok = static_cast<bool>(out->flush());
  if (out == &file) {
    file.close();
    ok = ok && !file.fail();
  }
  out = nullptr;
  return ok;
}

// --- InputFile

InputFile::~InputFile() {
  if (fd >= 0) ::close(fd);
}

bool InputFile::open(const std::string& path) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  fileSize = info.st_size;
  modified = packDosDate(info.st_mtime);
  return true;
}

bool InputFile::readExact(char* out, int32_t size) {
  int32_t done = 0;
  while (done < size) {
    ssize_t got = ::read(fd, out + done, size_t(size - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // an error, or the file shrank while being read
    done += int32_t(got);
  }
  return true;
}

// --- ArchiveWriter

namespace {

std::string fileIdLine(const std::string& path, const InputFile& file) {
  return path + "\t" + std::to_string(int32_t(file.dosDate())) + "=" + std::to_string(file.size()) + "\r\n";
}

}  // namespace

ArchiveWriter::ArchiveWriter(TBackupFile& owner, const std::string& archivePath)
    : owner(owner),
      archivePath(archivePath),
      deflater(zlibLevel(int(owner.CompressionLevel))),
      piece(new char[kBlockSize]),
      compressed(new char[kBlockSize]) {}

ArchiveWriter::~ArchiveWriter() {
  volume.close();
  if (!fileIdListPath.empty()) ::unlink(fileIdListPath.c_str());
}

bool ArchiveWriter::run(const std::vector<std::string>& fileList) {
  bool toStream = archivePath == TBackupFile::kStreamPath;
  backupfiles::ArchiveExclusion exclusion{toStream ? "" : archivePath, !toStream && owner.MaxSize != 0};
  std::vector<std::string> files = backupfiles::expandFileList(fileList, exclusion);
  owner.fileCount = int32_t(files.size());
  owner.keepGoing = true;
  owner.reportProgress("", 0);

  std::string fileIdText = prescan(files);
  if (owner.SaveFileID && owner.keepGoing) {
    if (!saveFileIdList(fileIdText)) {
      owner.fail(TBackupError::CannotCreateTempFile);
    } else {
      files.insert(files.begin(), fileIdListPath);
      owner.totalBytes += int64_t(fileIdText.size());
    }
  }
  // A run that already ended leaves an existing archive alone.
  if (!owner.keepGoing) return false;
  if (!openTarget()) {
    owner.fail(TBackupError::CannotWriteArchive);
    return false;
  }
  writeHeader();
  owner.processedBytes = 0;
  owner.compressedBytes = 0;
  for (size_t i = 0; i < files.size() && owner.keepGoing; ++i)
    archiveFile(files[i], owner.SaveFileID && i == 0);
  if (!owner.keepGoing) return false;
  putInt32(0);  // end of the archive
  if (!volume.close()) owner.fail(TBackupError::CannotWriteArchive);
  return owner.keepGoing;
}

std::string ArchiveWriter::prescan(const std::vector<std::string>& files) {
  owner.totalBytes = 0;
  std::string fileIdText;
  for (const std::string& path : files) {
    InputFile file;
    if (!file.open(path)) continue;
    owner.totalBytes += file.size();
    if (owner.SaveFileID) fileIdText += fileIdLine(path, file);
  }
  return fileIdText;
}

bool ArchiveWriter::saveFileIdList(const std::string& text) {
  std::string pattern = (std::filesystem::temp_directory_path() / "FIDXXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  fileIdListPath = pattern;
  bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  return (::close(fd) == 0) && ok;
}

bool ArchiveWriter::openTarget() {
  diskNumber = 1;
  blocksInVolume = 0;
  if (archivePath != TBackupFile::kStreamPath) return volume.openFile(archivePath);
  if (owner.targetStream == nullptr) return false;
  volume.useStream(*owner.targetStream);
  return true;
}

void ArchiveWriter::writeHeader() {
  putText(owner.BackupTitle);
  putInt32(int32_t(uint32_t(owner.totalBytes)));  // the low 32 bits of the total
  putInt32(owner.fileCount);
}

void ArchiveWriter::archiveFile(const std::string& path, bool isFileIdList) {
  InputFile in;
  if (!in.open(path)) {
    // A file that vanished since the list was made stays counted but gets no entry.
    if (errno != ENOENT) owner.fail(TBackupError::CannotReadFile);
    return;
  }
  std::string name = backupfiles::trim(path);
  owner.currentFile = name;
  putText(isFileIdList ? std::string(kFileIdListName) : name);
  putInt32(int32_t(in.dosDate()));
  int64_t remaining = in.size();
  do {
    writeSection(in, remaining);
    if (remaining > 0 && owner.keepGoing) changeVolume();
  } while (remaining > 0 && owner.keepGoing);
  // Clearing the archive attribute (SetArchiveFlag) has nothing to do on Linux.
  if (owner.keepGoing && !isFileIdList) owner.filesDone += 1;
}

void ArchiveWriter::writeSection(InputFile& in, int64_t& remaining) {
  put(kSectionMarker, 4);
  owner.compressedBytes += 4;
  while (remaining > 0 && owner.keepGoing && !volumeFull()) writeBlock(in, remaining);
  if (owner.keepGoing) putInt32(0);
}

void ArchiveWriter::writeBlock(InputFile& in, int64_t& remaining) {
  int32_t size = int32_t(std::min<int64_t>(kBlockSize, remaining));
  if (!in.readExact(piece.get(), size)) return owner.fail(TBackupError::CannotReadFile);
  remaining -= size;
  owner.processedBytes += size;
  int32_t length = deflater.compress(piece.get(), size, compressed.get());
  if (length == 0) return owner.fail(TBackupError::CompressionError);
  putInt32(length);
  if (length > 0)
    put(compressed.get(), length);
  else
    put(piece.get(), size);
  owner.compressedBytes += std::abs(int64_t{length}) + 4;
  blocksInVolume += 1;
  owner.letInterfaceRun();
  owner.reportProgress(owner.currentFile);
}

// A volume is full when it has no room left for one more block, its section end
// and a volume change record. A continuation volume always takes one block
// first, so that a limit smaller than a block cannot change volumes endlessly.
bool ArchiveWriter::volumeFull() const {
  if (owner.MaxSize == 0 || volume.isStream()) return false;
  if (diskNumber > 1 && blocksInVolume == 0) return false;
  return volume.position() >= int64_t{owner.MaxSize} - kVolumeReserve;
}

void ArchiveWriter::changeVolume() {
  // Volume names carry three digits: a later volume would reuse an earlier one's name.
  if (diskNumber == kLastVolumeNumber) return owner.fail(TBackupError::CannotWriteArchive);
  diskNumber += 1;
  putText(volumeChangeText(diskNumber));
  if (!owner.keepGoing) return;
  if (!volume.close()) return owner.fail(TBackupError::CannotWriteArchive);
  if (!owner.askForVolume(diskNumber)) return;
  if (!volume.openFile(volumePath(volume.path(), diskNumber)))
    return owner.fail(TBackupError::CannotWriteArchive);
  blocksInVolume = 0;
}

void ArchiveWriter::put(const char* data, int64_t size) {
  if (owner.keepGoing && !volume.write(data, size)) owner.fail(TBackupError::CannotWriteArchive);
}

void ArchiveWriter::putInt32(int32_t value) {
  char bytes[4];
  backupformat::putInt32(bytes, value);
  put(bytes, 4);
}

void ArchiveWriter::putText(const std::string& text) {
  putInt32(int32_t(text.size()));
  put(text.data(), int64_t(text.size()));
}

}  // namespace backupwriter
