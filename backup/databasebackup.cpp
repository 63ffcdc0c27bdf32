#include "databasebackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "backupfile.h"
#include "check.h"
#include "tables.h"

const char* const backupCompletedText = "Backup Completed.";
const char* const backupFailedText = "Backup Failed.";
const char* const restoreCompletedText = "Restore Completed. Please restart the program.";
const char* const restoreFailedText = "Restore Failed.";
const char* const restoreQuestionText = "Restore function will replace the current database, continue?";
const char* const noSuchFileText = "The filename does not exist.";
const char* const databaseInUseText =
    "Another program has the database open. Close it before restoring, so that its file is not replaced under it.";

namespace fs = std::filesystem;

namespace {

constexpr int32_t largestVolume = INT32_MAX;

// A name beside `path` for writing it: the same stem and another single extension, so
// that the continuation volumes of a multi-volume archive (named after the stem) get
// their final names while the first volume is being written.
std::string temporaryNameFor(const std::string& path) {
  static std::mt19937_64 random{std::random_device{}()};
  char tag[24];
  std::snprintf(tag, sizeof tag, ".~%012llx", static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  fs::path name(path);
  name.replace_extension("");
  return name.string() + tag;
}

bool syncDirectoryOf(const std::string& path) {
  const int fd = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool syncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Makes the complete file `from` durable, owner-only, and the file at `to`, atomically.
bool replaceWith(const std::string& from, const std::string& to) {
  chmod(from.c_str(), 0600);  // archives hold the database and its mailbox password
  if (!syncFile(from)) return false;
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  return syncDirectoryOf(to);
}

// A temporary directory beside the database file, removed with what it holds.
class RestoreDirectory {
 public:
  explicit RestoreDirectory(const std::string& home) {
    std::string pattern = home + "/.restore-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) path = name.data();
  }
  ~RestoreDirectory() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
  RestoreDirectory(const RestoreDirectory&) = delete;
  RestoreDirectory& operator=(const RestoreDirectory&) = delete;
  std::string path;  // empty when it could not be made
};

}  // namespace

int32_t volumeLimitFor(const std::string& archivePath) {
  struct statvfs space {};
  fs::path directory = fs::path(archivePath).parent_path();
  if (directory.empty()) directory = ".";
  if (statvfs(directory.c_str(), &space) != 0) return largestVolume;  // unknown: no limit
  const unsigned long long free = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
  if (free > static_cast<unsigned long long>(largestVolume)) return largestVolume;
  return int32_t(std::max<long long>(static_cast<long long>(free) - 1024, 1));
}

DatabaseBackup::DatabaseBackup(keldraDatabase& db, BackupPort& ui, std::function<time_t()> now)
    : volumeLimit(volumeLimitFor), db(db), ui(ui), now(std::move(now)) {}

std::string DatabaseBackup::databaseFile() const { return db.homeDirectory() + "/" + db.baseName() + ".kld"; }

std::string DatabaseBackup::slotPath(int slot) const {
  return db.homeDirectory() + "/" + db.baseName() + std::to_string(slot) + ".qbk";
}

int32_t DatabaseBackup::dayStart(time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return int32_t(mktime(&local));
}

bool DatabaseBackup::lockExclusively() { return db.lockDatabase(dbExclusiveLock); }

// ---------------------------------------------------------------------------------------
// Settings

BackupOptions DatabaseBackup::loadOptions(const BackupOptions& defaults) {
  BackupOptions options = defaults;
  {
    keldraCursor<BackupRecord> record(dbCursorForReading, &db);
    if (record.select() > 0) {
      options.everytime = record->everytime;
      options.everyday = record->everyday;
      options.totalBackup = std::clamp<int>(record->totalBackup, 1, 100);
    } else {
      BackupRecord created{dbDateTime(-1), defaults.everytime, defaults.everyday, 0, int8_t(defaults.totalBackup)};
      db.insertRecord(&BackupRecord_descriptor, &created);
    }
  }
  db.commit();
  return options;
}

void DatabaseBackup::saveOptions(const BackupOptions& options) {
  {
    keldraCursor<BackupRecord> record(dbCursorForUpdate, &db);
    if (record.select() > 0) {
      record->everytime = options.everytime;
      record->everyday = options.everyday;
      record->totalBackup = int8_t(std::clamp(options.totalBackup, 1, 100));
      record.update();
    }
  }
  db.commit();
}

// ---------------------------------------------------------------------------------------
// Writing archives

bool DatabaseBackup::writeArchive(const std::string& archivePath, int32_t maxSize, bool manual) {
  TBackupFile archive;
  archive.BackupTitle = "Backup Keldra";
  archive.setBackupMode(TBackupMode::bmAll);
  archive.CompressionLevel = TCompressionLevel::clFastest;
  archive.MaxSize = maxSize;
  archive.SetArchiveFlag = true;
  archive.ProcessEvents = [this] { ui.processEvents(); };
  archive.ErrorBox = [this](const std::string& message) { ui.showMessage(message); };
  if (manual) {
    archive.OnProgress = [this](TBackupFile&, const std::string&, TPercentage percent, bool&) {
      ui.showProgress(percent);
    };
  }
  // The next volume: a stale file of that name is deleted so that its space counts as
  // free, and the limit follows the space now free.
  archive.OnNeedDisk = [this, &archivePath](TBackupFile& sender, uint16_t diskId, bool& go) {
    go = ui.askForDisk(diskId);
    if (!go) return;
    std::remove(TBackupFile::VolumePath(archivePath, diskId).c_str());
    sender.MaxSize = volumeLimit(archivePath);
  };

  const std::string partial = temporaryNameFor(archivePath);
  const bool completed = archive.Backup({databaseFile()}, partial);
  if (completed && replaceWith(partial, archivePath)) return true;
  std::remove(partial.c_str());
  return false;
}

bool DatabaseBackup::manualBackup(const std::string& archivePath) {
  if (fs::exists(archivePath) && !ui.askYesNo(archivePath + " has already existed, replace it?")) return false;
  const int32_t limit = volumeLimit(archivePath);
  db.commit();
  lockExclusively();
  ui.showProgress(0);
  const bool completed = writeArchive(archivePath, limit, true);
  ui.hideProgress();
  ui.showMessage(completed ? backupCompletedText : backupFailedText);
  return completed;
}

// ---------------------------------------------------------------------------------------
// Automatic backups

bool DatabaseBackup::advanceSlot(bool daily, std::string* archivePath) {
  keldraCursor<BackupRecord> record(dbCursorForUpdate, &db);
  if (record.select() == 0) return false;
  if (daily ? !record->everyday : !record->everytime) return false;
  if (daily) {
    const int32_t today = dayStart(now());
    if (record->lastBackupDate.stamp == today) return false;
    record->lastBackupDate = dbDateTime(today);
  }
  // The stored slot is written even when it lies at or above a lowered count; the
  // counter then wraps into the new range.
  const int slot = record->lastBackup;
  const int total = record->totalBackup > 0 ? record->totalBackup : 1;
  record->lastBackup = int8_t((slot + 1) % total);
  record.update();
  *archivePath = slotPath(slot);
  return true;
}

void DatabaseBackup::automaticBackup(const std::string& archivePath) {
  if (!writeArchive(archivePath, largestVolume, false)) ui.showMessage(backupFailedText);
}

void DatabaseBackup::dailyBackup() {
  std::string path;
  if (advanceSlot(true, &path)) {
    db.commit();  // the day and the slot count even when the backup fails
    lockExclusively();
    automaticBackup(path);
  }
  db.commit();
}

void DatabaseBackup::exitBackup() {
  std::string path;
  if (advanceSlot(false, &path)) {
    db.commit();
    lockExclusively();
    automaticBackup(path);
  }
  db.commit();
}

// ---------------------------------------------------------------------------------------
// Restore

DatabaseBackup::RestoreResult DatabaseBackup::restore(const std::string& archivePath) {
  if (!fs::is_regular_file(archivePath)) {
    ui.showMessage(noSuchFileText);
    return RestoreResult::notStarted;
  }
  if (!ui.askYesNo(restoreQuestionText)) return RestoreResult::notStarted;
  if (db.getProcessCount() >= 2) {
    ui.showMessage(databaseInUseText);
    return RestoreResult::notStarted;
  }

  // Unpacked and checked beside the database first: nothing of the database changes
  // until the archive has proved to hold a complete, sound database file.
  const std::string target = databaseFile();
  RestoreDirectory unpacked(db.homeDirectory());
  bool sound = false;
  if (!unpacked.path.empty()) {
    TBackupFile archive;
    archive.RestoreMode = TRestoreMode::rmAll;
    archive.MaxSize = 0;
    archive.ProcessEvents = [this] { ui.processEvents(); };
    archive.ErrorBox = [this](const std::string& message) { ui.showMessage(message); };
    archive.OnProgress = [this](TBackupFile&, const std::string&, TPercentage percent, bool&) {
      ui.showProgress(percent);
    };
    archive.OnNeedDisk = [this](TBackupFile&, uint16_t diskId, bool& go) { go = ui.askForDisk(diskId); };
    ui.showProgress(0);
    try {
      const std::string restored = unpacked.path + "/" + db.baseName() + ".kld";
      sound = archive.Restore(archivePath, unpacked.path) && fs::is_regular_file(restored) &&
              dbCheckFile(restored.c_str()).ok();
    } catch (const BackupError& error) {
      ui.showMessage(error.what());
    }
    ui.hideProgress();
  }
  if (!sound) {
    ui.showMessage(restoreFailedText);
    return RestoreResult::failed;
  }

  db.close();
  const std::string restored = unpacked.path + "/" + db.baseName() + ".kld";
  chmod(restored.c_str(), 0600);
  if (!syncFile(restored) || std::rename(restored.c_str(), target.c_str()) != 0) {
    ui.showMessage(restoreFailedText);
    return RestoreResult::failedClosed;
  }
  syncDirectoryOf(target);
  ui.showMessage(restoreCompletedText);
  return RestoreResult::completed;
}
