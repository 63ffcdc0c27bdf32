// Expansion of the backup's file list.
#include "filelist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "archivetestutil.h"
#include "testsupport.h"

using backupfiles::expandFileList;
namespace fs = std::filesystem;

namespace {

TEST(BackupMasks, StarsAndQuestionMarksMatchAndStarDotStarMeansAll) {
  struct Case {
    const char* mask;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.*", "noextension", true}, {"*.*", ".hidden", true},   {"*", "anything.kld", true},
      {"*.kld", "Postsift.kld", true}, {"*.kld", "Postsift.kld.bak", false}, {"*.kld", "Postsift.KLD", false},
      {"P?st*", "Postsift.kld", true}, {"P?st*", "Pst", false},   {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYc d", false},   {"[x]", "[x]", true},        {"", "", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(backupfiles::matchesMask(c.mask, c.name), c.matches) << c.mask << " ~ " << c.name;
}

class BackupFileListTest : public ::testing::Test {
 protected:
  std::string make(const std::string& name) {
    std::string path = dir.file(name);
    fs::create_directories(fs::path(path).parent_path());
    archivetest::writeFile(path, name);
    return path;
  }
  std::vector<std::string> expand(const std::vector<std::string>& entries, const std::string& archive = "",
                                   bool volumes = false) {
    return expandFileList(entries, {archive, volumes});
  }
  testsupport::TempDir dir;
};

TEST_F(BackupFileListTest, MasksExpandToRegularFilesWithoutDuplicates) {
  std::string a = make("a.kld");
  std::string b = make("b.kld");
  make("c.txt");
  fs::create_directories(dir.file("d.kld"));
  ASSERT_EQ(mkfifo(dir.file("pipe.kld").c_str(), 0600), 0);  // reading it would block

  std::vector<std::string> files = expand({"  " + dir.file("*.kld") + "\t", a, dir.file("sub/../a.kld")});
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{a, b}));
  EXPECT_TRUE(expand({dir.file("missing"), dir.file("d.kld")}).empty());
}

TEST_F(BackupFileListTest, RecursiveEntriesExpandSubdirectoriesBeforeTheirParent) {
  std::string top = make("top.kld");
  std::string deep = make("one/two/deep.kld");
  std::string mid = make("one/mid.kld");
  make("one/skip.txt");
  fs::create_directory_symlink(dir.path(), dir.file("one/loop"));  // never followed

  std::vector<std::string> files = expand({dir.file("*.kld") + " /s"});
  EXPECT_EQ(files, (std::vector<std::string>{deep, mid, top}));
  // "/s" only counts after a blank: here it is a directory of the path.
  std::string inS = make("s/x.kld");
  EXPECT_EQ(expand({dir.file("s/x.kld")}), std::vector<std::string>{inS});
}

TEST_F(BackupFileListTest, TheArchiveIsNeverListed) {
  std::string archive = make("arch.qbk");
  std::string other = make("other.qbk");
  std::string volume = make("arch.002");
  fs::create_symlink(archive, dir.file("link.qbk"));
  std::string mask = dir.file("*.*");

  std::vector<std::string> files = expand({mask}, archive);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{volume, other}));

  // Also when named relatively, and with its volumes when it has a size limit.
  fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  files = expand({mask}, "./arch.qbk", true);
  fs::current_path(saved);
  EXPECT_EQ(files, std::vector<std::string>{other});
}

}  // namespace
