// Backups of the program's database on a real database file: the rotation of the
// automatic backups over days, exits and slot counts; a manual backup and restore
// round trip; restores of damaged archives and failing backups that must change
// nothing; multi-volume archives; the exclusive lock while the file is read.
#include "databasebackup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "backupfile.h"
#include "check.h"
#include "tables.h"
#include "testsupport.h"

namespace fs = std::filesystem;

namespace {

// Answers questions and volume prompts from queues (yes when empty) and records what
// the operations show.
class RecordingPort : public BackupPort {
 public:
  bool askYesNo(const std::string& question) override {
    questions.push_back(question);
    return take(yes);
  }
  void showMessage(const std::string& text) override { messages.push_back(text); }
  bool askForDisk(int diskId) override {
    disks.push_back(diskId);
    return take(diskAnswers);
  }
  void showProgress(int percent) override {
    progress.push_back(percent);
    if (onProgress) onProgress();
  }
  void hideProgress() override {}
  void processEvents() override {}

  std::deque<bool> yes, diskAnswers;
  std::vector<std::string> questions, messages;
  std::vector<int> disks, progress;
  std::function<void()> onProgress;

 private:
  static bool take(std::deque<bool>& answers) {
    if (answers.empty()) return true;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

std::string contents(const std::string& path) {
  const std::vector<char> bytes = testsupport::readFile(path);
  return {bytes.begin(), bytes.end()};
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// 2026-12-11 10:00 local time, and days after it.
time_t day(int n, int hour = 10) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 11 + n;
  local.tm_hour = hour;
  local.tm_isdst = -1;
  return mktime(&local);
}

class DatabaseBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.open("Postsift", database().c_str()));
    insertConfig(db, firstRunConfig());
    db.commit();
  }
  void TearDown() override {
    if (db.isOpen()) db.close();
  }

  std::string database() const { return dir.file("Postsift.kld"); }
  std::string slot(int n) const { return dir.file("Postsift" + std::to_string(n) + ".qbk"); }

  BackupRecord record() {
    BackupRecord copy{};
    {
      keldraCursor<BackupRecord> cursor(dbCursorForReading, &db);
      EXPECT_EQ(cursor.select(), 1u);
      copy = *cursor.get();
    }
    db.commit();
    return copy;
  }
  void setRecord(const std::function<void(BackupRecord&)>& change) {
    {
      keldraCursor<BackupRecord> cursor(dbCursorForUpdate, &db);
      ASSERT_EQ(cursor.select(), 1u);
      change(*cursor.get());
      cursor.update();
    }
    db.commit();
  }
  std::map<std::string, bool> fromRules() {
    std::map<std::string, bool> rules;
    {
      keldraCursor<EmailFrom> cursor(dbCursorForReading, &db);
      if (cursor.select() > 0) {
        do rules[cursor->text] = cursor->remove;
        while (cursor.next() != nullptr);
      }
    }
    db.commit();
    return rules;
  }
  // Rule texts that do not compress, so that the archive is large.
  void addIncompressibleRules(int count) {
    std::mt19937 random(7);
    for (int i = 0; i < count; i++) {
      std::string text;
      for (int c = 0; c < 200; c++) text.push_back(char('a' + random() % 26));
      insertRule<EmailFrom>(db, text.c_str(), true);
    }
    db.commit();
  }

  testsupport::TempDir dir;
  keldraDatabase db{dbReadWrite, 1048576, 4194304, 65536, 1};
  RecordingPort port;
  time_t clock = day(0);
  DatabaseBackup backup{db, port, [this] { return clock; }};
};

TEST_F(DatabaseBackupTest, AutomaticBackupsRotateOverDaysExitsAndTheSlotCount) {
  const BackupOptions created = backup.loadOptions();
  EXPECT_FALSE(created.everytime);
  EXPECT_TRUE(created.everyday);
  EXPECT_EQ(created.totalBackup, 7);
  EXPECT_EQ(record().lastBackupDate.stamp, -1);

  backup.dailyBackup();  // the first start writes slot 0
  EXPECT_TRUE(fs::exists(slot(0)));
  EXPECT_EQ(record().lastBackup, 1);
  EXPECT_EQ(record().lastBackupDate.stamp, DatabaseBackup::dayStart(clock));
  EXPECT_EQ(fs::status(slot(0)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  clock = day(0, 23);  // later the same day: nothing
  backup.dailyBackup();
  EXPECT_FALSE(fs::exists(slot(1)));
  EXPECT_EQ(record().lastBackup, 1);

  clock = day(1, 8);
  backup.dailyBackup();
  EXPECT_TRUE(fs::exists(slot(1)));
  EXPECT_EQ(record().lastBackup, 2);

  backup.exitBackup();  // "When exit program" off: nothing
  EXPECT_FALSE(fs::exists(slot(2)));
  backup.saveOptions({true, true, 7});
  backup.exitBackup();
  backup.exitBackup();
  EXPECT_TRUE(fs::exists(slot(2)) && fs::exists(slot(3)));
  EXPECT_EQ(record().lastBackup, 4);

  // Lowering the count: the stored slot is still written, then the counter wraps.
  setRecord([](BackupRecord& r) { r.lastBackup = 5; });
  backup.saveOptions({true, true, 3});
  backup.exitBackup();
  EXPECT_TRUE(fs::exists(slot(5)));
  EXPECT_EQ(record().lastBackup, 0);
  backup.exitBackup();
  EXPECT_EQ(record().lastBackup, 1);

  // One slot: every backup replaces slot 0.
  backup.saveOptions({true, true, 1});
  setRecord([](BackupRecord& r) { r.lastBackup = 0; });
  fs::remove(slot(1));
  backup.exitBackup();
  backup.exitBackup();
  EXPECT_EQ(record().lastBackup, 0);
  EXPECT_FALSE(fs::exists(slot(1)));

  // Both settings off: nothing written, the record unchanged.
  backup.saveOptions({false, false, 1});
  const BackupRecord before = record();
  clock = day(5);
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".qbk") fs::remove(entry.path());
  }
  backup.dailyBackup();
  backup.exitBackup();
  const BackupRecord after = record();
  EXPECT_EQ(after.lastBackupDate.stamp, before.lastBackupDate.stamp);
  EXPECT_EQ(after.lastBackup, before.lastBackup);
  for (const auto& entry : fs::directory_iterator(dir.path())) EXPECT_NE(entry.path().extension(), ".qbk");
  EXPECT_TRUE(port.messages.empty());
}

TEST_F(DatabaseBackupTest, ManualBackupThenRestoreGivesBackTheSameRulesAndSettings) {
  insertRule<EmailFrom>(db, "spam.example", true);
  insertRule<EmailFrom>(db, "friend.example", false);
  db.commit();
  const std::string archive = dir.file("saved.qbk");
  ASSERT_TRUE(backup.manualBackup(archive));
  EXPECT_EQ(port.messages, std::vector<std::string>{"Backup Completed."});
  EXPECT_FALSE(port.progress.empty());
  db.commit();  // releases the backup's lock
  EXPECT_EQ(fs::status(archive).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  insertRule<EmailFrom>(db, "added.later", true);
  db.commit();
  port.messages.clear();
  EXPECT_EQ(backup.restore(archive), DatabaseBackup::RestoreResult::completed);
  EXPECT_EQ(port.questions.back(), "Restore function will replace the current database, continue?");
  EXPECT_EQ(port.messages.back(), "Restore Completed. Please restart the program.");
  EXPECT_FALSE(db.isOpen());
  EXPECT_TRUE(dbCheckFile(database().c_str()).ok());
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind(".restore-", 0), std::string::npos);
  }

  ASSERT_TRUE(db.open("Postsift", database().c_str()));
  EXPECT_EQ(fromRules(), (std::map<std::string, bool>{{"spam.example", true}, {"friend.example", false}}));
  {
    keldraCursor<Config> config(dbCursorForReading, &db);
    EXPECT_EQ(config.select(), 1u);
  }
  db.commit();
}

TEST_F(DatabaseBackupTest, ReplacingAnExistingArchiveAsksFirst) {
  const std::string archive = dir.file("old.qbk");
  writeText(archive, "an older archive");
  port.yes = {false};
  EXPECT_FALSE(backup.manualBackup(archive));
  EXPECT_EQ(port.questions, std::vector<std::string>{archive + " has already existed, replace it?"});
  EXPECT_EQ(contents(archive), "an older archive");
  EXPECT_TRUE(port.messages.empty());

  port.yes = {true};
  EXPECT_TRUE(backup.manualBackup(archive));
  db.commit();
  EXPECT_NE(contents(archive), "an older archive");
}

TEST_F(DatabaseBackupTest, ARestoreFromABadArchiveChangesNothing) {
  insertRule<EmailFrom>(db, "spam.example", true);
  db.commit();
  const std::string good = dir.file("good.qbk");
  ASSERT_TRUE(backup.manualBackup(good));
  db.commit();
  const std::string goodBytes = contents(good);

  // An archive, made by the archive component, of a file that is not a database.
  testsupport::TempDir other;
  writeText(other.file("Postsift.kld"), std::string(8192, 'x'));
  TBackupFile component;
  ASSERT_TRUE(component.Backup({other.file("Postsift.kld")}, dir.file("notadatabase.qbk")));
  writeText(other.file("notes.txt"), "hello");
  ASSERT_TRUE(component.Backup({other.file("notes.txt")}, dir.file("otherfile.qbk")));

  std::string flipped = goodBytes;
  flipped[flipped.size() / 2] ^= 0x55;
  const std::map<std::string, std::string> bad = {
      {"truncated.qbk", goodBytes.substr(0, goodBytes.size() / 2)},
      {"flipped.qbk", flipped},
      {"foreign.qbk", "%PDF-1.4 not an archive at all\n" + std::string(4000, 'z')},
  };
  for (const auto& [name, bytes] : bad) writeText(dir.file(name), bytes);

  const std::string before = contents(database());
  for (const char* name : {"truncated.qbk", "flipped.qbk", "foreign.qbk", "notadatabase.qbk", "otherfile.qbk"}) {
    port.messages.clear();
    EXPECT_EQ(backup.restore(dir.file(name)), DatabaseBackup::RestoreResult::failed) << name;
    EXPECT_EQ(port.messages.back(), "Restore Failed.") << name;
    EXPECT_TRUE(db.isOpen()) << name;
    EXPECT_EQ(contents(database()), before) << name;
  }
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind(".restore-", 0), std::string::npos);
  }
  EXPECT_EQ(fromRules(), (std::map<std::string, bool>{{"spam.example", true}}));

  // A missing file and a No change nothing either.
  port.messages.clear();
  EXPECT_EQ(backup.restore(dir.file("missing.qbk")), DatabaseBackup::RestoreResult::notStarted);
  EXPECT_EQ(port.messages, std::vector<std::string>{"The filename does not exist."});
  port.yes = {false};
  EXPECT_EQ(backup.restore(good), DatabaseBackup::RestoreResult::notStarted);
  EXPECT_TRUE(db.isOpen());
}

TEST_F(DatabaseBackupTest, ARestoreIsRefusedWhileAnotherProcessHasTheDatabaseOpen) {
  const std::string archive = dir.file("saved.qbk");
  ASSERT_TRUE(backup.manualBackup(archive));
  db.commit();
  testsupport::Child other([&](testsupport::Child& me) {
    keldraDatabase second(dbReadWrite, 1048576, 4194304, 65536, 1);
    if (!second.open("Postsift", database().c_str())) return 1;
    me.send('o');
    me.hear();
    second.close();
    return 0;
  });
  ASSERT_EQ(other.receive(), 'o');
  const std::string before = contents(database());
  port.messages.clear();
  EXPECT_EQ(backup.restore(archive), DatabaseBackup::RestoreResult::notStarted);
  EXPECT_EQ(port.messages.back(), databaseInUseText);
  EXPECT_TRUE(db.isOpen());
  EXPECT_EQ(contents(database()), before);
  other.tell('x');
  EXPECT_EQ(other.wait(), 0);
}

// A backup that cannot be written (here: a file size limit) keeps the slot's old
// archive and leaves no partial file behind.
TEST_F(DatabaseBackupTest, AFailingAutomaticBackupKeepsTheSlotsOldArchive) {
  backup.loadOptions();
  writeText(slot(0), "the last good archive of slot 0");
  db.close();  // the child is the only opener, as a program start would be
  testsupport::Child limited([&](testsupport::Child&) {
    keldraDatabase child(dbReadWrite, 1048576, 4194304, 65536, 1);
    if (!child.open("Postsift", database().c_str())) return 2;
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    RecordingPort childPort;
    DatabaseBackup childBackup(child, childPort, [] { return day(3); });
    childBackup.dailyBackup();
    child.close();
    // The archive component's error, then the failure.
    return childPort.messages.size() == 2 && childPort.messages.back() == "Backup Failed." ? 0 : 1;
  });
  EXPECT_EQ(limited.wait(), 0);
  EXPECT_EQ(contents(slot(0)), "the last good archive of slot 0");
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".~"), std::string::npos) << entry.path();
  }
  ASSERT_TRUE(db.open("Postsift", database().c_str()));
  EXPECT_EQ(record().lastBackup, 1);  // the rotation state was committed first
}

TEST_F(DatabaseBackupTest, MultiVolumeBackupAsksForEachDiskAndRestores) {
  addIncompressibleRules(2000);  // ~400 KB of text that does not compress
  backup.volumeLimit = [](const std::string&) { return 100 * 1024; };
  const std::string archive = dir.file("multi.qbk");
  ASSERT_TRUE(backup.manualBackup(archive));
  db.commit();
  ASSERT_GE(port.disks.size(), 2u);
  EXPECT_EQ(port.disks[0], 2);
  EXPECT_EQ(port.disks[1], 3);
  EXPECT_TRUE(fs::exists(dir.file("multi.002")) && fs::exists(dir.file("multi.003")));

  const auto rules = fromRules();
  insertRule<EmailFrom>(db, "after.backup", true);
  db.commit();
  EXPECT_EQ(backup.restore(archive), DatabaseBackup::RestoreResult::completed);
  ASSERT_TRUE(db.open("Postsift", database().c_str()));
  EXPECT_EQ(fromRules(), rules);
}

TEST_F(DatabaseBackupTest, CancellingTheVolumePromptFailsTheBackupAndKeepsTheOldArchive) {
  addIncompressibleRules(2000);
  backup.volumeLimit = [](const std::string&) { return 100 * 1024; };
  const std::string archive = dir.file("multi.qbk");
  writeText(archive, "previous archive");
  port.diskAnswers = {false};
  EXPECT_FALSE(backup.manualBackup(archive));
  db.commit();
  EXPECT_EQ(port.disks, std::vector<int>{2});
  EXPECT_EQ(port.messages.back(), "Backup Failed.");
  EXPECT_EQ(contents(archive), "previous archive");
}

// While the backup reads the file, another process that wants to write waits.
TEST_F(DatabaseBackupTest, NoOtherProcessWritesWhileTheBackupReads) {
  // Forked while this process has no database open, so that the child's open attaches
  // the tables to its own database object.
  db.close();
  testsupport::Child writer([&](testsupport::Child& me) {
    if (me.hear() != 'g') return 2;
    keldraDatabase second(dbReadWrite, 1048576, 4194304, 65536, 1);
    if (!second.open("Postsift", database().c_str())) return 1;
    insertRule<EmailFrom>(second, "written.meanwhile", true);
    second.commit();
    me.send('w');
    second.close();
    return 0;
  });
  ASSERT_TRUE(db.open("Postsift", database().c_str()));
  bool started = false;
  bool writerWaited = false;
  port.onProgress = [&] {
    if (started) return;
    started = true;
    writer.tell('g');
    char c = 0;
    writerWaited = !writer.receive(&c, 500);
  };
  ASSERT_TRUE(backup.manualBackup(dir.file("locked.qbk")));
  EXPECT_TRUE(writerWaited);
  db.commit();  // releases the lock: the writer goes on
  EXPECT_EQ(writer.receive(), 'w');
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(fromRules().count("written.meanwhile"), 1u);
}

}  // namespace
