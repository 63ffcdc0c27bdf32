// The archive's building blocks: packed dates, volume names and records, blocks.
#include "archiveformat.h"

#include <gtest/gtest.h>

#include "archivetestutil.h"

using namespace backupformat;

namespace {

TEST(BackupDosDate, PacksLocalTimeIntoTheBitFields) {
  struct Case {
    int year, month, day, hour, minute, second;
    uint32_t packed;
  };
  const Case cases[] = {
      {1980, 1, 1, 0, 0, 0, 0x00210000},
      {2021, 6, 15, 10, 20, 30, (41u << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (20u << 5) | 15u},
      {2107, 12, 31, 23, 59, 58, 0xFF9FBF7D},
      {2050, 2, 28, 12, 0, 2, (70u << 25) | (2u << 21) | (28u << 16) | (12u << 11) | 1u},
  };
  for (const Case& c : cases) {
    std::time_t time = archivetest::localTime(c.year, c.month, c.day, c.hour, c.minute, c.second);
    EXPECT_EQ(packDosDate(time), c.packed) << c.year;
    EXPECT_EQ(unpackDosDate(c.packed), time) << c.year;
  }
}

TEST(BackupDosDate, OddSecondsRoundDownAndOutOfRangeTimesClampOrAreRejected) {
  std::time_t odd = archivetest::localTime(2021, 6, 15, 10, 20, 31);
  EXPECT_EQ(unpackDosDate(packDosDate(odd)), odd - 1);
  EXPECT_EQ(packDosDate(archivetest::localTime(1975, 5, 5, 5, 5, 5)), 0x00210000u);
  // Month 0, day 0, hour 24, minute 60, seconds 60: no such time.
  for (uint32_t bad : {0x00010000u, 0x00200000u, 0x0021C000u, 0x00210780u, 0x0021001Eu})
    EXPECT_FALSE(unpackDosDate(bad).has_value()) << std::hex << bad;
}

TEST(BackupVolumeNames, ReplaceTheExtensionOfTheFileNameWithThreeDigits) {
  struct Case {
    const char* path;
    int number;
    const char* volume;
  };
  const Case cases[] = {
      {"/bk/DATA.QBK", 2, "/bk/DATA.002"}, {"/bk/DATA.002", 3, "/bk/DATA.003"},
      {"/bk/DATA", 12, "/bk/DATA.012"},    {"/a.b/data", 2, "/a.b/data.002"},
      {"/bk/.hidden", 2, "/bk/.hidden.002"}, {"/bk/x.tar.gz", 999, "/bk/x.tar.999"},
      {"/bk/DATA.QBK", 1234, "/bk/DATA.234"},
  };
  for (const Case& c : cases) EXPECT_EQ(volumePath(c.path, c.number), c.volume) << c.path;
}

TEST(BackupVolumeNames, ChangeRecordsCarryExactlyThreeDigits) {
  EXPECT_EQ(volumeChangeText(2), "NEXT:DISK002");
  EXPECT_EQ(volumeChangeText(1002), "NEXT:DISK002");
  EXPECT_EQ(parseVolumeChange("NEXT:DISK017"), 17);
  for (const char* bad : {"NEXT:DISK01", "NEXT:DISK0171", "NEXT:DISK-17", "NEXT:DISK 17", "NEXT:DISC017"})
    EXPECT_FALSE(parseVolumeChange(bad).has_value()) << bad;
}

TEST(BackupBlocks, CompressedBlocksInflateBackAndOversizedOnesAreStored) {
  std::string text = archivetest::textBytes(kBlockSize);
  std::string noise = archivetest::randomBytes(kBlockSize, 9);
  std::string out(kBlockSize, '\0');
  std::string back(kBlockSize, '\0');
  BlockInflater inflater;
  for (int level : {0, 1, 2, 3}) {
    BlockDeflater deflater(zlibLevel(level));
    int32_t length = deflater.compress(text.data(), kBlockSize, out.data());
    if (level == 1) {
      EXPECT_EQ(length, -kBlockSize) << "level 0 never shrinks a full piece";
      continue;
    }
    ASSERT_GT(length, 0) << level;
    ASSERT_EQ(inflater.inflate(out.data(), length, back.data()), kBlockSize);
    EXPECT_EQ(back, text);
    EXPECT_EQ(deflater.compress(noise.data(), kBlockSize, out.data()), -kBlockSize);
  }
}

}  // namespace
