// Writing and restoring archives through TBackupFile: the byte layout, round
// trips at every level, volumes, restore modes, the file-ID list, events and errors.
#include "backupfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "archiveformat.h"
#include "archivetestutil.h"
#include "backupfixture.h"

using namespace archivetest;
namespace fs = std::filesystem;

namespace {

const std::string kMarker("EC2\0", 4);

uint32_t testDosDate() { return backupformat::packDosDate(testFileTime()); }

// --- Layout

TEST_F(BackupTest, EmptyFileGivesTheMinimalLayout) {
  std::string path = makeFile("E", "");
  ASSERT_TRUE(backup.Backup({path}, archive()));
  std::string expected = le32(0) + le32(0) + le32(1) + le32(int32_t(path.size())) + path +
                         le32(int32_t(testDosDate())) + kMarker + le32(0) + le32(0);
  EXPECT_EQ(readFile(archive()), expected);
  EXPECT_EQ(expected.size(), 32 + path.size());  // 36 bytes for a four-byte name
}

TEST_F(BackupTest, TheThirtySixByteExampleRestoresAnEmptyFileWithItsDate) {
  std::string example = le32(0) + le32(0) + le32(1) + le32(4) + "C:\\E" + le32(int32_t(testDosDate())) +
                        kMarker + le32(0) + le32(0);
  ASSERT_EQ(example.size(), 36u);
  writeFile(archive(), example);

  EXPECT_EQ(backup.GetArchiveTitle(archive(), nullptr), "");
  EXPECT_EQ(backup.FileCount(), 1);
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  // Without a "/" the whole stored name is the file-name part.
  std::string file = restored("C:\\E");
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);
  EXPECT_EQ(modified(file), testFileTime());
  EXPECT_EQ(backup.FilesDone(), 1);
}

TEST_F(BackupTest, HeaderCarriesTitleTotalsAndCountAndTheRateFollowsTheBytesWritten) {
  std::string text = makeFile("text", textBytes(50000));
  std::string noise = makeFile("noise", randomBytes(20000, 7));
  backup.BackupTitle = "Backup Keldra";
  ASSERT_TRUE(backup.Backup({text, noise}, archive()));

  Volume volume = parseVolume(readFile(archive()), true);
  EXPECT_EQ(volume.title, "Backup Keldra");
  EXPECT_EQ(volume.totalBytes, 70000);
  EXPECT_EQ(volume.fileCount, 2);
  ASSERT_EQ(volume.entries.size(), 2u);
  EXPECT_TRUE(volume.endMarker);

  // Compressed bytes: 4 per section marker, 4 plus the payload per block.
  int64_t compressed = 0;
  for (const Entry& entry : volume.entries) {
    compressed += 4;
    for (int32_t length : entry.section.blockLengths) compressed += 4 + std::abs(length);
  }
  EXPECT_EQ(backup.CompressionRate(), 100 - int(std::nearbyint(100.0 * double(compressed) / 70000)));
  EXPECT_EQ(backup.FilesDone(), 2);

  EXPECT_EQ(backup.GetArchiveTitle(archive(), nullptr), "Backup Keldra");
  EXPECT_EQ(backup.TotalBytes(), 70000);
  EXPECT_EQ(backup.FileCount(), 2);
}

TEST_F(BackupTest, ListWithoutExistingFilesGivesHeaderAndEndMarker) {
  backup.BackupTitle = "T";
  ASSERT_TRUE(backup.Backup({dir.file("src/missing"), dir.file("src/*.none")}, archive()));
  EXPECT_EQ(readFile(archive()), le32(1) + "T" + le32(0) + le32(0) + le32(0));
  EXPECT_EQ(backup.CompressionRate(), 0);
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
}

TEST_F(BackupTest, StreamVariantsWriteTheSameBytesAndReadThemBack) {
  std::string path = makeFile("data", textBytes(40000));
  backup.BackupTitle = "S";
  ASSERT_TRUE(backup.Backup({path}, archive()));

  backup.MaxSize = 100;  // a stream is one volume: BackupToStream clears the limit
  std::stringstream stream;
  ASSERT_TRUE(backup.BackupToStream({path}, stream));
  EXPECT_EQ(backup.MaxSize, 0);
  EXPECT_EQ(stream.str(), readFile(archive()));

  std::istringstream titleSource(stream.str());
  EXPECT_EQ(backup.GetArchiveTitleFromStream(titleSource, nullptr), "S");
  std::istringstream restoreSource(stream.str());
  ASSERT_TRUE(backup.RestoreFromStream(restoreSource, restoreDir()));
  EXPECT_EQ(readFile(restored("data")), textBytes(40000));
}

TEST_F(BackupTest, DeCompressReadsOneSectionOrSkipsIt) {
  std::string piece = textBytes(3000);
  backupformat::BlockDeflater deflater(1);
  std::string packed(backupformat::kBlockSize, '\0');
  int32_t length = deflater.compress(piece.data(), int32_t(piece.size()), packed.data());
  ASSERT_GT(length, 0);
  std::string section = kMarker + le32(-5) + "hello" + le32(length) + packed.substr(0, size_t(length)) + le32(0);

  std::istringstream source(section + "rest");
  std::ostringstream target;
  backup.DeCompress(source, &target, true);
  EXPECT_EQ(target.str(), "hello" + piece);

  std::istringstream skipped(section + "rest");
  backup.DeCompress(skipped, nullptr, false);
  std::string after;
  skipped >> after;
  EXPECT_EQ(after, "rest");
}

// --- Round trips

class BackupRoundTripTest : public BackupTest, public ::testing::WithParamInterface<TCompressionLevel> {};

struct FileCase {
  const char* name;
  std::string bytes;
  bool incompressible;
};

std::vector<FileCase> roundTripFiles() {
  return {
      {"empty", "", false},
      {"one-byte", "x", false},
      {"one-block", textBytes(16384), false},
      {"block-and-a-byte", textBytes(16385), false},
      {"random-5mb", randomBytes(5 << 20, 1), true},
      {"incompressible", randomBytes(50000, 2), true},
  };
}

TEST_P(BackupRoundTripTest, FilesComeBackWithTheirDatesAndBlocksFollowTheLayout) {
  backup.CompressionLevel = GetParam();
  std::vector<FileCase> files = roundTripFiles();
  std::vector<std::string> paths;
  for (const FileCase& file : files) paths.push_back(makeFile(file.name, file.bytes));
  ASSERT_TRUE(backup.Backup(paths, archive()));

  Volume volume = parseVolume(readFile(archive()), true);
  ASSERT_EQ(volume.entries.size(), files.size());
  bool levelZero = GetParam() == TCompressionLevel::clNone;
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].name);
    const Section& section = volume.entries[i].section;
    EXPECT_EQ(volume.entries[i].name, paths[i]);
    EXPECT_EQ(section.data, files[i].bytes);
    EXPECT_EQ(section.blockLengths.size(), (files[i].bytes.size() + 16383) / 16384);
    for (size_t b = 0; b < section.blockLengths.size(); ++b) {
      bool last = b + 1 == section.blockLengths.size();
      if (!last) {
        EXPECT_EQ(section.pieceSizes[b], 16384) << "block " << b;
      }
      // Only a full piece can fail to fit compressed into one block.
      bool stored = section.pieceSizes[b] == 16384 && (files[i].incompressible || levelZero);
      EXPECT_EQ(section.blockLengths[b] < 0, stored) << "block " << b;
    }
  }

  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(backup.FilesDone(), int32_t(files.size()));
  for (const FileCase& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(readFile(restored(file.name)), file.bytes);
    EXPECT_EQ(modified(restored(file.name)), testFileTime());
  }
}

std::string levelName(const ::testing::TestParamInfo<TCompressionLevel>& info) {
  static const char* const names[] = {"Fastest", "None", "Default", "Max"};
  return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, BackupRoundTripTest,
                         ::testing::Values(TCompressionLevel::clFastest, TCompressionLevel::clNone,
                                           TCompressionLevel::clDefault, TCompressionLevel::clMax),
                         levelName);

// --- Volumes

std::string volumeEnding(const std::string& bytes) { return bytes.substr(bytes.size() - 20); }

TEST_F(BackupTest, LargeFileSpansThreeVolumesAndRestoresAfterRepeatedPrompts) {
  std::string bigBytes = randomBytes(7 * 16384 - 1000, 3);
  std::string big = makeFile("big", bigBytes);
  std::string small = makeFile("small", textBytes(3000));
  backup.MaxSize = backupformat::kVolumeReserve + 40000;  // three full blocks per volume
  std::vector<int> asked;
  backup.OnNeedDisk = [&](TBackupFile&, uint16_t disk, bool&) { asked.push_back(disk); };
  ASSERT_TRUE(backup.Backup({big, small}, archive()));
  EXPECT_EQ(asked, (std::vector<int>{2, 3}));

  std::string first = readFile(archive());
  std::string second = readFile(dir.file("arch.002"));
  std::string third = readFile(dir.file("arch.003"));
  EXPECT_FALSE(fs::exists(dir.file("arch.004")));
  for (const std::string* bytes : {&first, &second, &third})
    EXPECT_LE(int64_t(bytes->size()), backup.MaxSize);
  EXPECT_EQ(volumeEnding(first), le32(0) + le32(12) + "NEXT:DISK002");
  EXPECT_EQ(volumeEnding(second), le32(0) + le32(12) + "NEXT:DISK003");
  Volume v1 = parseVolume(first, true);
  Volume v2 = parseVolume(second, false);
  Volume v3 = parseVolume(third, false);
  ASSERT_EQ(v1.entries.size(), 1u);
  ASSERT_EQ(v3.entries.size(), 2u);
  EXPECT_EQ(v1.entries[0].section.blockLengths.size(), 3u);
  EXPECT_EQ(v1.entries[0].section.data + v2.entries[0].section.data + v3.entries[0].section.data, bigBytes);
  EXPECT_EQ(v3.entries[1].name, small);
  EXPECT_TRUE(v3.endMarker);

  // The prompt for a volume repeats until its file is there.
  fs::rename(dir.file("arch.003"), dir.file("away"));
  asked.clear();
  backup.OnNeedDisk = [&](TBackupFile&, uint16_t disk, bool&) {
    asked.push_back(disk);
    if (disk == 3 && asked.size() == 3) fs::rename(dir.file("away"), dir.file("arch.003"));
  };
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(asked, (std::vector<int>{2, 3, 3}));
  EXPECT_EQ(readFile(restored("big")), bigBytes);
  EXPECT_EQ(modified(restored("big")), testFileTime());
  EXPECT_EQ(readFile(restored("small")), textBytes(3000));
  EXPECT_EQ(backup.FilesDone(), 2);
}

TEST_F(BackupTest, CancellingTheVolumePromptLeavesTheChangeRecordLast) {
  std::string big = makeFile("big", randomBytes(5 * 16384, 4));
  backup.MaxSize = backupformat::kVolumeReserve + 20000;
  backup.OnNeedDisk = [](TBackupFile&, uint16_t, bool& goOn) { goOn = false; };
  EXPECT_FALSE(backup.Backup({big}, archive()));
  EXPECT_EQ(volumeEnding(readFile(archive())), le32(0) + le32(12) + "NEXT:DISK002");
  EXPECT_FALSE(fs::exists(dir.file("arch.002")));
  EXPECT_EQ(backup.ErrorCode(), 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(BackupTest, LimitBelowOneBlockStillPutsOneBlockIntoEachVolume) {
  std::string bytes = textBytes(3 * 16384);
  std::string path = makeFile("data", bytes);
  backup.MaxSize = 1000;
  ASSERT_TRUE(backup.Backup({path}, archive()));
  // The first volume is full before its first block; each later one takes one.
  EXPECT_TRUE(parseVolume(readFile(archive()), true).entries[0].section.blockLengths.empty());
  for (const char* name : {"arch.002", "arch.003", "arch.004"})
    EXPECT_EQ(parseVolume(readFile(dir.file(name)), false).entries[0].section.blockLengths.size(), 1u) << name;
  EXPECT_FALSE(fs::exists(dir.file("arch.005")));

  // Without a handler or prompt the restore goes on while the volumes exist...
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(readFile(restored("data")), bytes);
  // ...and ends, rather than waiting forever, when one is missing.
  fs::remove(dir.file("arch.003"));
  EXPECT_FALSE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(backup.ErrorCode(), 0);
}

// --- Restore modes and targets

enum class Existing { None, Older, Newer };

TEST_F(BackupTest, RestoreModesDecideAgainstExistingFilesAndTheirDates) {
  std::string a = makeFile("a", "archived");
  std::string z = makeFile("z", "zeta");  // never present at the target
  ASSERT_TRUE(backup.Backup({a, z}, archive()));

  struct Case {
    TRestoreMode mode;
    Existing existing;
    bool restored;
  };
  const Case cases[] = {
      {TRestoreMode::rmAll, Existing::None, true},           {TRestoreMode::rmAll, Existing::Older, true},
      {TRestoreMode::rmAll, Existing::Newer, true},          {TRestoreMode::rmNoOverwrite, Existing::None, true},
      {TRestoreMode::rmNoOverwrite, Existing::Older, false}, {TRestoreMode::rmNoOverwrite, Existing::Newer, false},
      {TRestoreMode::rmNewer, Existing::None, true},         {TRestoreMode::rmNewer, Existing::Older, true},
      {TRestoreMode::rmNewer, Existing::Newer, false},       {TRestoreMode::rmExisting, Existing::None, false},
      {TRestoreMode::rmExisting, Existing::Older, true},     {TRestoreMode::rmExisting, Existing::Newer, true},
      {TRestoreMode::rmExistingNewer, Existing::None, false}, {TRestoreMode::rmExistingNewer, Existing::Older, true},
      {TRestoreMode::rmExistingNewer, Existing::Newer, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << ", existing " << int(c.existing));
    fs::remove_all(restoreDir());
    fs::create_directories(restoreDir());
    if (c.existing != Existing::None) {
      writeFile(restored("a"), "existing");
      setModified(restored("a"), testFileTime() + (c.existing == Existing::Older ? -86400 : 86400));
    }
    backup.RestoreMode = c.mode;
    ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
    if (c.existing != Existing::None || c.restored)
      EXPECT_EQ(readFile(restored("a")), c.restored ? "archived" : "existing");
    else
      EXPECT_FALSE(fs::exists(restored("a")));
    // A skipped entry's data is read past: the next entry still restores.
    bool absentRestores = c.mode == TRestoreMode::rmAll || c.mode == TRestoreMode::rmNoOverwrite ||
                          c.mode == TRestoreMode::rmNewer;
    EXPECT_EQ(fs::exists(restored("z")), absentRestores);
  }
}

TEST_F(BackupTest, DatesFrom2044OnStillCompareAsLater) {
  // From 2044 the packed year sets the top bit: compared signed it would look older.
  std::string a = makeFile("a", "archived", localTime(2050, 1, 1, 12, 0, 0));
  ASSERT_TRUE(backup.Backup({a}, archive()));
  writeFile(restored("a"), "existing");
  setModified(restored("a"), localTime(2030, 1, 1, 12, 0, 0));
  backup.RestoreMode = TRestoreMode::rmNewer;
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(readFile(restored("a")), "archived");
}

TEST_F(BackupTest, TargetDirectoryTakesFileNamesOrTheWholeStoredPath) {
  std::string one = makeFile("one/f", "first");
  std::string two = makeFile("two/f", "second");
  ASSERT_TRUE(backup.Backup({one, two}, archive()));

  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(readFile(restored("f")), "second");  // the later one wins

  backup.RestoreFullPath = true;
  ASSERT_TRUE(backup.Restore(archive(), restoreDir() + "/"));
  EXPECT_EQ(readFile(restoreDir() + one), "first");
  EXPECT_EQ(readFile(restoreDir() + two), "second");

  // Without a target directory the stored paths themselves are written.
  writeFile(one, "changed");
  ASSERT_TRUE(backup.Restore(archive(), ""));
  EXPECT_EQ(readFile(one), "first");
}

TEST_F(BackupTest, RestoreFileHandlerChangesPathAndDecision) {
  std::string a = makeFile("a", "alpha");
  std::string b = makeFile("b", "beta");
  ASSERT_TRUE(backup.Backup({a, b}, archive()));
  std::vector<uint32_t> dates;
  std::vector<std::string> finished;
  backup.OnRestoreFile = [&](TBackupFile&, std::string& name, uint32_t date, bool& doRestore) {
    dates.push_back(date);
    if (name == restored("a")) name = restored("renamed");
    if (name == restored("b")) doRestore = false;
  };
  backup.OnFileRestored = [&](TBackupFile&, const std::string& name, std::ostream&) { finished.push_back(name); };
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(dates, (std::vector<uint32_t>{testDosDate(), testDosDate()}));
  EXPECT_EQ(finished, std::vector<std::string>{restored("renamed")});
  EXPECT_EQ(readFile(restored("renamed")), "alpha");
  EXPECT_FALSE(fs::exists(restored("a")));
  EXPECT_FALSE(fs::exists(restored("b")));
  EXPECT_EQ(backup.FilesDone(), 1);
}

TEST_F(BackupTest, FileIdListIsTheFirstEntryAndIsNeverRestored) {
  std::string tmp = dir.file("tmp");
  fs::create_directories(tmp);
  std::string savedTmp = getenv("TMPDIR") ? getenv("TMPDIR") : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  std::string a = makeFile("a", textBytes(1000));
  std::string b = makeFile("b", "");
  backup.SaveFileID = true;
  bool completed = backup.Backup({a, b}, archive());
  savedTmp.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", savedTmp.c_str(), 1);
  ASSERT_TRUE(completed);
  EXPECT_TRUE(fs::is_empty(tmp)) << "the temporary list file is removed";

  std::string date = std::to_string(int32_t(testDosDate()));
  std::vector<std::string> lines = {a + "\t" + date + "=1000", b + "\t" + date + "=0"};
  Volume volume = parseVolume(readFile(archive()), true);
  ASSERT_EQ(volume.entries.size(), 3u);
  EXPECT_EQ(volume.entries[0].name, "FILE:LIST");
  EXPECT_EQ(volume.entries[0].section.data, lines[0] + "\r\n" + lines[1] + "\r\n");
  EXPECT_EQ(volume.fileCount, 2);
  EXPECT_EQ(volume.totalBytes, int32_t(1000 + volume.entries[0].section.data.size()));
  EXPECT_EQ(backup.FilesDone(), 2);

  std::vector<std::string> list;
  backup.SaveFileID = false;
  EXPECT_EQ(backup.GetArchiveTitle(archive(), &list), "");
  EXPECT_EQ(list, lines);

  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(backup.FilesDone(), 2);
  EXPECT_FALSE(fs::exists(restored("FILE:LIST")));
  EXPECT_EQ(readFile(restored("a")), textBytes(1000));
}

// --- Events, cancelling and errors

TEST_F(BackupTest, ProgressRunsFromZeroToHundredWhileBusy) {
  std::string path = makeFile("two-blocks", textBytes(2 * 16384));
  std::vector<int> percents;
  std::vector<bool> busy;
  backup.OnProgress = [&](TBackupFile& sender, const std::string&, TPercentage percent, bool&) {
    percents.push_back(percent);
    busy.push_back(sender.Busy());
  };
  int idleCalls = 0;
  backup.ProcessEvents = [&] { ++idleCalls; };
  ASSERT_TRUE(backup.Backup({path}, archive()));
  EXPECT_EQ(percents, (std::vector<int>{0, 50, 100, 100}));
  EXPECT_EQ(busy, (std::vector<bool>{true, true, true, false}));
  EXPECT_EQ(idleCalls, 2);

  percents.clear();
  ASSERT_TRUE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(percents, (std::vector<int>{50, 100, 100}));
  EXPECT_FALSE(backup.Busy());
}

TEST_F(BackupTest, StopOrAProgressAnswerEndsTheRunWithoutEndMarker) {
  std::string path = makeFile("data", textBytes(4 * 16384));
  for (bool useStop : {true, false}) {
    SCOPED_TRACE(useStop ? "Stop" : "Continue = false");
    backup.OnProgress = [&](TBackupFile& sender, const std::string&, TPercentage percent, bool& goOn) {
      if (percent != 25) return;
      if (useStop)
        sender.Stop();
      else
        goOn = false;
    };
    EXPECT_FALSE(backup.Backup({path}, archive()));
    std::string bytes = readFile(archive());
    EXPECT_NE(bytes.substr(bytes.size() - 8), le32(0) + le32(0));
    EXPECT_EQ(backup.ErrorCode(), 0);
    EXPECT_TRUE(errors.empty());
  }
}

TEST_F(BackupTest, VanishedFileIsCountedButHasNoEntry) {
  std::string a = makeFile("a", "alpha");
  std::string b = makeFile("b", "beta");
  backup.OnProgress = [&](TBackupFile&, const std::string& name, TPercentage, bool&) {
    if (name.empty()) fs::remove(b);
  };
  ASSERT_TRUE(backup.Backup({a, b}, archive()));
  Volume volume = parseVolume(readFile(archive()), true);
  EXPECT_EQ(volume.fileCount, 2);
  ASSERT_EQ(volume.entries.size(), 1u);
  EXPECT_EQ(volume.entries[0].name, a);
}

TEST_F(BackupTest, FailuresReportTheirCodeOnceAndEndTheRun) {
  std::string path = makeFile("data", textBytes(3 * 16384));

  // The archive cannot be created.
  EXPECT_FALSE(backup.Backup({path}, dir.file("no/such/dir/arch.qbk")));
  EXPECT_EQ(errors, std::vector<int32_t>{4});
  EXPECT_EQ(messages, std::vector<std::string>{"Cannot write to archive"});

  // A file shrinks while it is read: a short read is an error, never an endless
  // run of empty blocks.
  errors.clear();
  backup.OnProgress = [&](TBackupFile&, const std::string& name, TPercentage, bool&) {
    if (!name.empty()) fs::resize_file(path, 16384);
  };
  EXPECT_FALSE(backup.Backup({path}, archive()));
  EXPECT_EQ(errors, std::vector<int32_t>{1});
  backup.OnProgress = nullptr;

  // A restore target that cannot be created; the error box stands in for OnError.
  writeFile(path, "data");
  ASSERT_TRUE(backup.Backup({path}, archive()));
  fs::create_directories(restored("data"));
  std::vector<std::string> boxes;
  backup.OnError = nullptr;
  backup.ErrorBox = [&](const std::string& message) { boxes.push_back(message); };
  EXPECT_FALSE(backup.Restore(archive(), restoreDir()));
  EXPECT_EQ(backup.ErrorCode(), 1);
  EXPECT_EQ(boxes, std::vector<std::string>{"Cannot read file"});
}

TEST_F(BackupTest, MissingArchiveGivesFalseOrAnEmptyTitleSilently) {
  std::vector<std::string> list = {"kept"};
  EXPECT_FALSE(backup.Restore(dir.file("missing.qbk"), restoreDir()));
  EXPECT_EQ(backup.GetArchiveTitle(dir.file("missing.qbk"), &list), "");
  EXPECT_EQ(list, std::vector<std::string>{"kept"});
  EXPECT_TRUE(errors.empty());
}

TEST_F(BackupTest, VersionIsFixedAndIncrementalModeSetsTheArchiveFlag) {
  backup.setVersion("9.99");
  EXPECT_EQ(backup.Version(), "5.10");
  EXPECT_FALSE(backup.SetArchiveFlag);
  backup.setBackupMode(TBackupMode::bmIncremental);
  EXPECT_TRUE(backup.SetArchiveFlag);
  // Every file counts as having the archive attribute on Linux.
  std::string path = makeFile("a", "alpha");
  ASSERT_TRUE(backup.Backup({path}, archive()));
  EXPECT_EQ(parseVolume(readFile(archive()), true).entries.size(), 1u);
}

}  // namespace
