#include "backupfile.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>

#include "archiveformat.h"
#include "archivereader.h"
#include "archivewriter.h"

namespace {

// Runs `work` with `stream` as the caller's stream that kStreamPath selects, and
// forgets the stream afterwards so that no later call can reach it. Any exception
// gives `fallback`.
template <typename Stream, typename Result, typename Work>
Result withCallerStream(Stream*& slot, Stream& stream, Result fallback, Work work) {
  slot = &stream;
  Result result = fallback;
  try {
    result = work();
  } catch (...) {
    result = fallback;
  }
  slot = nullptr;
  return result;
}

// Rounds to the nearest integer, halves to even.
int64_t roundHalfEven(double value) { return int64_t(std::nearbyint(value)); }

}  // namespace

const char* backupErrorMessage(int32_t code) {
  switch (TBackupError(code)) {
    case TBackupError::None: return "";
    case TBackupError::CannotReadFile: return "Cannot read file";
    case TBackupError::CannotReadArchive: return "Cannot read archive";
    case TBackupError::CannotWriteArchive: return "Cannot write to archive";
    case TBackupError::InvalidArchive: return "Invalid archive type";
    case TBackupError::CompressionError: return "Compression error";
    case TBackupError::CannotCreateTempFile: return "Cannot create temporary file to save the file IDs";
  }
  return "Unknown error";
}

// Marks a Backup or Restore as running for as long as it is in scope.
class TBackupFile::RunScope {
 public:
  explicit RunScope(TBackupFile& owner) : owner(owner) { owner.runDepth += 1; }
  ~RunScope() { owner.runDepth -= 1; }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  TBackupFile& owner;
};

void TBackupFile::setBackupMode(TBackupMode mode) {
  backupMode = mode;
  if (mode == TBackupMode::bmIncremental) SetArchiveFlag = true;
}

std::string TBackupFile::VolumePath(const std::string& archivePath, int number) {
  return backupformat::volumePath(archivePath, number);
}

// --- Writing

bool TBackupFile::Backup(const std::vector<std::string>& fileList, const std::string& archivePath) {
  errorCode = 0;
  bool completed = false;
  {
    RunScope run(*this);
    backupwriter::ArchiveWriter writer(*this, archivePath);
    completed = writer.run(fileList);
  }  // the archive is closed and the temporary file-ID file removed here
  reportProgress("", 100);
  if (errorCode != 0) MessageError(errorCode);
  return completed;
}

bool TBackupFile::BackupToStream(const std::vector<std::string>& fileList, std::ostream& target) {
  MaxSize = 0;
  return withCallerStream(targetStream, target, false, [&] { return Backup(fileList, kStreamPath); });
}

int TBackupFile::CompressionRate() const {
  if (totalBytes == 0) return 0;
  return int(100 - roundHalfEven(100.0 * double(compressedBytes) / double(totalBytes)));
}

// --- Reading

bool TBackupFile::Restore(const std::string& archivePath, const std::string& targetDirectory) {
  std::string directory = targetDirectory;
  if (!directory.empty() && directory.back() != '/') directory += '/';
  bool fromStream = archivePath == kStreamPath;
  if (fromStream ? sourceStream == nullptr : !backupreader::regularFileExists(archivePath)) return false;
  errorCode = 0;
  filesDone = 0;
  keepGoing = true;
  std::optional<backupreader::ArchiveSource> source;
  if (fromStream)
    source.emplace(*sourceStream);
  else
    source.emplace(archivePath);
  bool restored = false;
  {
    RunScope run(*this);
    backupreader::ArchiveReader(*this, *source).restore(directory);
    source->close();
    restored = errorCode == 0 && keepGoing;
  }
  reportProgress("", 100);
  if (errorCode != 0) MessageError(errorCode);
  return restored;
}

bool TBackupFile::RestoreFromStream(std::istream& source, const std::string& targetDirectory) {
  return withCallerStream(sourceStream, source, false, [&] { return Restore(kStreamPath, targetDirectory); });
}

void TBackupFile::DeCompress(std::istream& source, std::ostream* target, bool write) {
  if (runDepth == 0) keepGoing = true;  // called on its own, outside a run
  backupreader::ArchiveSource archive(source);
  backupreader::SectionDecoder decoder(*this, archive);
  decoder.readMarker();
  if (!write) return decoder.readBlocks(nullptr, false);
  backupreader::StreamSink sink(target);
  // Only data written into a file counts as restored.
  bool intoFile = target != nullptr && dynamic_cast<std::filebuf*>(target->rdbuf()) != nullptr;
  decoder.readBlocks(&sink, intoFile);
}

std::string TBackupFile::GetArchiveTitle(const std::string& archivePath,
                                         std::vector<std::string>* fileIdList) {
  totalBytes = 0;
  fileCount = 0;
  filesDone = 0;
  errorCode = 0;
  std::optional<backupreader::ArchiveSource> source;
  if (archivePath == kStreamPath) {
    if (sourceStream == nullptr) return {};
    source.emplace(*sourceStream);
  } else {
    if (!backupreader::regularFileExists(archivePath)) return {};
    try {
      source.emplace(archivePath);
    } catch (const BackupError&) {
      errorCode = int32_t(TBackupError::CannotReadArchive);
      MessageError(errorCode);
      throw BackupAbort();
    }
  }
  return backupreader::ArchiveReader(*this, *source).readTitle(fileIdList);
}

std::string TBackupFile::GetArchiveTitleFromStream(std::istream& source,
                                                   std::vector<std::string>* fileIdList) {
  return withCallerStream(sourceStream, source, std::string(),
                          [&] { return GetArchiveTitle(kStreamPath, fileIdList); });
}

void TBackupFile::reportTitleFailure() {
  errorCode = int32_t(TBackupError::InvalidArchive);
  keepGoing = false;
  MessageError(errorCode);
}

// --- Reporting

void TBackupFile::MessageError(int32_t code) {
  std::string message = backupErrorMessage(code);
  if (OnError)
    OnError(*this, code, message);
  else if (ErrorBox)
    ErrorBox(message);
}

void TBackupFile::fail(TBackupError code) {
  if (errorCode == 0) errorCode = int32_t(code);
  keepGoing = false;
}

TPercentage TBackupFile::percentDone() const {
  // With nothing to process (every file empty) there is no fraction to show.
  if (totalBytes <= 0) return 0;
  int64_t percent = roundHalfEven(100.0 * double(processedBytes) / double(totalBytes));
  return TPercentage(std::clamp<int64_t>(percent, 0, 100));
}

void TBackupFile::reportProgress(const std::string& fileName) { reportProgress(fileName, percentDone()); }

void TBackupFile::reportProgress(const std::string& fileName, TPercentage percent) {
  if (!OnProgress) return;
  bool goOn = true;
  OnProgress(*this, fileName, percent, goOn);
  if (!goOn) keepGoing = false;
}

void TBackupFile::letInterfaceRun() {
  if (ProcessEvents) ProcessEvents();
}

bool TBackupFile::askForVolume(int number) {
  bool goOn = true;
  if (OnNeedDisk)
    OnNeedDisk(*this, uint16_t(number), goOn);
  else if (VolumePrompt)
    goOn = VolumePrompt("Please insert disk " + std::to_string(number) + " and click OK to continue.");
  if (!goOn) keepGoing = false;
  return keepGoing;
}
