// TBackupFile: writes a list of files into a backup archive, optionally split over
// several volume files, and restores them from it. The layout is described in
// archiveformat.h.
//
// The component is plain C++ over files and standard streams; it owns no user
// interface. Everything runs synchronously on the caller's thread. Between blocks
// it calls ProcessEvents (when set) so that a window stays responsive and a
// cancel button or Stop() takes effect at the next block. The dialogs that the
// component falls back on when no event handler is set (the volume prompt and the
// error box) are supplied by the application through VolumePrompt and ErrorBox;
// without them the component asks nobody and shows nothing.
//
// Thread safety: one run at a time per thread; Stop() may be called from any
// thread. A handler may start another run on the same object (Busy() stays true
// until the outermost run ends), but the runs then share the counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace backupreader {
class ArchiveReader;
class SectionDecoder;
}  // namespace backupreader
namespace backupwriter {
class ArchiveWriter;
}  // namespace backupwriter

enum class TBackupMode : uint8_t { bmAll = 0, bmIncremental = 1 };
enum class TRestoreMode : uint8_t {
  rmAll = 0,            // always
  rmNoOverwrite = 1,    // only when no file exists at the target path
  rmNewer = 2,          // no file there, or the archived date is later than its date
  rmExisting = 3,       // only when a file exists there
  rmExistingNewer = 4,  // a file exists there and the archived date is later
};
enum class TCompressionLevel : uint8_t { clFastest = 0, clNone = 1, clDefault = 2, clMax = 3 };
using TPercentage = uint8_t;  // 0 to 100

// The codes a failed run records (ErrorCode()) and passes to OnError.
enum class TBackupError : int32_t {
  None = 0,
  CannotReadFile = 1,      // a listed file cannot be read; a restored file cannot be written,
                           // or the data restored into it is damaged or cut short
  CannotReadArchive = 3,   // GetArchiveTitle: the archive cannot be opened
  CannotWriteArchive = 4,  // the archive (header, data, end, volume change) cannot be written
  InvalidArchive = 5,      // GetArchiveTitle: the header or the file-ID list cannot be read
  CompressionError = 6,    // zlib rejected a block
  CannotCreateTempFile = 7,  // the file-ID list cannot be saved to a temporary file
};

// The message of an error code; "Unknown error" for a code not listed above.
const char* backupErrorMessage(int32_t code);

// Raised out of Restore (and DeCompress) for an archive that cannot be read: an
// unreadable header ("Cannot read archive"), a data section without its marker or
// a damaged block outside a file being restored ("Invalid archive type"), an
// archive cut short outside a file being restored ("Stream read error").
class BackupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised out of GetArchiveTitle after error 3 has been reported through
// MessageError: the call is abandoned and the caller shows nothing more.
class BackupAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

class TBackupFile {
 public:
  // The archive path that selects the stream given to BackupToStream or
  // RestoreFromStream instead of a file.
  static constexpr const char* kStreamPath = ":STREAM";

  // Events. `Continue` and `DoRestore` come in true (DoRestore: the decision of
  // RestoreMode); setting Continue to false cancels the run.
  using ProgressEvent = std::function<void(TBackupFile& sender, const std::string& fileName,
                                           TPercentage percent, bool& Continue)>;
  using NeedDiskEvent = std::function<void(TBackupFile& sender, uint16_t diskId, bool& Continue)>;
  using RestoreFileEvent = std::function<void(TBackupFile& sender, std::string& fileName,
                                              uint32_t archivedDosDate, bool& DoRestore)>;
  using FileRestoredEvent =
      std::function<void(TBackupFile& sender, const std::string& fileName, std::ostream& stream)>;
  using ErrorEvent = std::function<void(TBackupFile& sender, int32_t error, const std::string& errString)>;

  // --- Properties; they keep their values between runs.
  std::string Version() const { return "5.10"; }
  void setVersion(const std::string&) {}  // read-only: assignments are ignored
  std::string BackupTitle;
  TBackupMode BackupMode() const { return backupMode; }
  // bmIncremental archives only files with the archive attribute and also sets
  // SetArchiveFlag. Linux has no archive attribute: every file counts as having it.
  void setBackupMode(TBackupMode mode);
  TCompressionLevel CompressionLevel = TCompressionLevel::clFastest;
  TRestoreMode RestoreMode = TRestoreMode::rmAll;
  // Size limit of one volume in bytes; 0 writes a single volume of any size.
  // Writing to a stream ignores it. A continuation volume always takes at least
  // one block, so a limit smaller than a block still makes progress. Volume names
  // carry three digits: a backup that would need a 1000th volume fails with error 4.
  int32_t MaxSize = 0;
  bool SetArchiveFlag = false;   // clearing the archive attribute: nothing to do on Linux
  bool RestoreFullPath = false;  // restore under the target directory with the stored path kept
  bool SaveFileID = false;       // store the file-ID list as the first entry

  ProgressEvent OnProgress;
  NeedDiskEvent OnNeedDisk;
  RestoreFileEvent OnRestoreFile;
  FileRestoredEvent OnFileRestored;
  ErrorEvent OnError;

  // --- Hooks the application supplies for its window toolkit.
  std::function<void()> ProcessEvents;  // let the user interface handle pending events
  // The modal OK/Cancel prompt used without an OnNeedDisk handler; returns true for
  // OK. Without it a backup goes on to the next volume, and a restore that misses
  // a volume ends (it has nobody to wait for).
  std::function<bool(const std::string& text)> VolumePrompt;
  // The modal error box used without an OnError handler.
  std::function<void(const std::string& message)> ErrorBox;

  // --- Operations.
  // Writes an archive of the files `fileList` names (paths or masks, each
  // optionally followed by " /s"). The archive itself, and with MaxSize set its
  // volume files, are never archived. True when the archive was completed; a
  // cancelled or failed run leaves what it wrote without the end marker, and a
  // run that ends before the archive is opened leaves an existing file alone.
  bool Backup(const std::vector<std::string>& fileList, const std::string& archivePath);
  // Backup into `target` (never closed) with MaxSize set to 0; false on any exception.
  bool BackupToStream(const std::vector<std::string>& fileList, std::ostream& target);
  // Restores the archive's files into `targetDirectory` (empty: to their stored
  // paths). True when no error was recorded and the run was not cancelled; false
  // at once when the archive file does not exist. Raises BackupError for an
  // archive that cannot be read (see BackupError).
  bool Restore(const std::string& archivePath, const std::string& targetDirectory);
  // Restore from `source` (never closed); false on any exception.
  bool RestoreFromStream(std::istream& source, const std::string& targetDirectory);
  // Reads one data section from `source`; with `write` set its file data is
  // inflated and written to `target` (when given), otherwise the section is skipped.
  void DeCompress(std::istream& source, std::ostream* target, bool write);
  // The archive's title; sets TotalBytes() and FileCount(). When `fileIdList` is
  // given and the first entry is the file-ID list, fills it with its lines. Empty
  // when the archive does not exist. An archive that cannot be opened reports
  // error 3 and raises BackupAbort; an unreadable header or list reports error 5.
  std::string GetArchiveTitle(const std::string& archivePath, std::vector<std::string>* fileIdList);
  // The same on a stream; empty on any exception.
  std::string GetArchiveTitleFromStream(std::istream& source, std::vector<std::string>* fileIdList);
  // After a backup: 100 - round(100 * compressed bytes / total bytes); 0 when the
  // total is 0.
  int CompressionRate() const;
  // Reports an error: OnError when set, otherwise ErrorBox when set.
  void MessageError(int32_t code);
  bool Busy() const { return runDepth.load() > 0; }
  // Ends the running Backup or Restore after its current block.
  void Stop() { keepGoing = false; }

  // --- State of the last run.
  int32_t ErrorCode() const { return errorCode; }
  // The byte total of the header; counted in 64 bits here, the header keeps its
  // low 32 bits.
  int64_t TotalBytes() const { return totalBytes; }
  int32_t FileCount() const { return fileCount; }
  int32_t FilesDone() const { return filesDone; }

  // The path of volume `number` of the archive at `archivePath` (the application
  // deletes a stale one before a backup asks for it).
  static std::string VolumePath(const std::string& archivePath, int number);

 private:
  friend class backupreader::ArchiveReader;
  friend class backupreader::SectionDecoder;
  friend class backupwriter::ArchiveWriter;
  class RunScope;

  void fail(TBackupError code);  // records the first failure and ends the run
  void reportTitleFailure();     // GetArchiveTitle could not read the header or list
  void reportProgress(const std::string& fileName);
  void reportProgress(const std::string& fileName, TPercentage percent);
  bool askForVolume(int number);  // false when the volume change is cancelled
  void letInterfaceRun();
  TPercentage percentDone() const;

  TBackupMode backupMode = TBackupMode::bmAll;
  std::ostream* targetStream = nullptr;  // the caller's, for kStreamPath
  std::istream* sourceStream = nullptr;  // the caller's, for kStreamPath

  // Counters of the current run. The byte counters are 64-bit so that the
  // percentage and the compression rate stay right for files past 2 GiB.
  int64_t totalBytes = 0;
  int32_t fileCount = 0;
  int32_t filesDone = 0;
  int64_t processedBytes = 0;
  int64_t compressedBytes = 0;
  std::string currentFile;
  int32_t errorCode = 0;
  std::atomic<bool> keepGoing{false};  // the Continue flag
  std::atomic<int> runDepth{0};        // Backup/Restore calls in progress
};
