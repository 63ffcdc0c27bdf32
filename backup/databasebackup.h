// Backups of the program's database file: the manual backup and restore of the backup
// window, the automatic backups at start-up and at exit with their rotating slots,
// and the BackupRecord that holds their settings. The user interface is reached only
// through BackupPort, so that the window, the command line and tests share all of it.
//
// Archives are written under a temporary name next to their place and renamed over it
// only when complete, so a failed backup never destroys the archive it would replace.
// A restore unpacks into a temporary directory beside the database, checks that the
// result is a complete, sound database and only then replaces the database file by a
// rename; any failure leaves the database exactly as it was.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class keldraDatabase;

// What the backup operations need of the user interface.
class BackupPort {
 public:
  virtual ~BackupPort() = default;
  virtual bool askYesNo(const std::string& question) = 0;
  virtual void showMessage(const std::string& text) = 0;
  // "Please insert disk #N": true to go on (Okay), false to cancel the run.
  virtual bool askForDisk(int diskId) = 0;
  // The progress of a manual backup or restore, 0..100; hidden when it ends.
  virtual void showProgress(int percent) = 0;
  virtual void hideProgress() = 0;
  // Lets the user interface handle pending events between blocks.
  virtual void processEvents() = 0;
};

// The automatic-backup settings the backup window shows.
struct BackupOptions {
  bool everytime = false;  // "When exit program"
  bool everyday = true;    // "Daily"
  int totalBackup = 7;     // "Remain:", 1..100
};

extern const char* const backupCompletedText;   // "Backup Completed."
extern const char* const backupFailedText;      // "Backup Failed."
extern const char* const restoreCompletedText;  // "Restore Completed. Please restart the program."
extern const char* const restoreFailedText;     // "Restore Failed."
extern const char* const restoreQuestionText;   // "Restore function will replace the current database, continue?"
extern const char* const noSuchFileText;        // "The filename does not exist."
extern const char* const databaseInUseText;

class DatabaseBackup {
 public:
  // `now` gives the current time (tests pass their own clock).
  DatabaseBackup(keldraDatabase& db, BackupPort& ui, std::function<time_t()> now = [] { return time(nullptr); });

  // The settings record: read, or created with `defaults` when there is none;
  // commits. REQUIRES: an open database.
  BackupOptions loadOptions(const BackupOptions& defaults = {});
  // Stores the three settings (the window's closing); commits.
  void saveOptions(const BackupOptions& options);

  // Backs the database file up into `archivePath` (chosen by the user): asks before
  // replacing an existing file, limits the volume size to the free space, reads the
  // file under the exclusive lock, reports "Backup Completed." or "Backup Failed.".
  // True when completed. The exclusive lock stays until the caller's next commit.
  bool manualBackup(const std::string& archivePath);

  enum class RestoreResult {
    notStarted,  // no file, the user said No, or another process uses the database
    failed,      // "Restore Failed.": the database is unchanged and still open
    failedClosed,  // "Restore Failed." after the database was closed: the program ends
    completed,   // "Restore Completed. ...": the database is closed, the program ends
  };
  RestoreResult restore(const std::string& archivePath);

  // The daily check at start-up and the backup at exit, each writing the next slot
  // when its setting is on. The rotation state is committed before the archive is
  // written, so a failed backup still uses up its slot (and its day).
  void dailyBackup();
  void exitBackup();

  // The volume size limit of a manual backup for an archive path (the free space of
  // its file system, see volumeLimitFor); tests replace it.
  std::function<int32_t(const std::string&)> volumeLimit;

  // The archive of slot `slot`: "<home>/<name><slot>.qbk".
  std::string slotPath(int slot) const;
  // The local midnight that began the day of `moment`.
  static int32_t dayStart(time_t moment);

 private:
  // Writes one archive of the database file into `archivePath` with `maxSize`.
  // REQUIRES: the exclusive lock is held.
  // `manual`: the progress is shown.
  bool writeArchive(const std::string& archivePath, int32_t maxSize, bool manual);
  void automaticBackup(const std::string& archivePath);
  // Takes the next slot when `take` says so; false when nothing is to be written.
  bool advanceSlot(bool daily, std::string* archivePath);
  std::string databaseFile() const;
  bool lockExclusively();

  keldraDatabase& db;
  BackupPort& ui;
  std::function<time_t()> now;
};

// The volume size limit for an archive at `archivePath`: the free space of its file
// system less 1,024 bytes, at most 2,147,483,647, at least 1 (0 would mean no limit).
int32_t volumeLimitFor(const std::string& archivePath);
