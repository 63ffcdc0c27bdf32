// Opening, creating, validating and closing database files, and several processes
// sharing one database.
#include "database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "check.h"
#include "keldraCursor.h"
#include "testdb.h"
#include "testsupport.h"

using testsupport::Child;
using testsupport::TempDir;

using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::vector<std::string> reported;  // messages passed to the error handler

void recordError(int, const char* message, int) { reported.push_back(message); }



template <class T>
T at(const std::vector<char>& bytes, size_t offset) {
  T value;
  memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

template <class T>
void put(std::vector<char>& bytes, size_t offset, T value) {
  memcpy(bytes.data() + offset, &value, sizeof value);
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { reported.clear(); }
  std::string path(const char* file = "test.kld") const { return dir.file(file); }
  // Opens a database of the application's sizes on `file` under a unique name.
  bool openDb(dbDatabase& db, const std::string& file) {
    db.setErrorHandler(recordError);
    return db.open(name.c_str(), file.c_str());
  }
  TempDir dir;
  std::string name = testsupport::uniqueName("db");
};

// The file the application creates: index size 65536, 1 MiB.
TEST_F(DatabaseTest, NewFileMatchesTheWorkedExample) {
  {
    dbDatabase db(dbReadWrite, 1048576, 4194304, 65536, 1);
    ASSERT_TRUE(openDb(db, path()));
    db.close();
  }
  std::vector<char> f = readFile(path());
  ASSERT_EQ(f.size(), 1048576u);
  // Header: size, activeRoot, dirty (cleared by the clean close), initialized.
  EXPECT_EQ(at<uint32_t>(f, 0), 1048576u);
  EXPECT_EQ(at<int32_t>(f, 4), 0);
  EXPECT_EQ(at<int32_t>(f, 8), 0);
  EXPECT_EQ(at<int32_t>(f, 12), 1);
  const uint32_t roots[2][6] = {{4096, 266240, 65536, 65536, 8194, 0},
                                {266240, 4096, 65536, 65536, 8194, 0}};
  for (int r = 0; r < 2; r++) {
    for (int i = 0; i < 6; i++) EXPECT_EQ(at<uint32_t>(f, 16 + 24 * r + 4 * i), roots[r][i]) << r << "," << i;
  }
  EXPECT_EQ(at<int32_t>(f, 64), 2);
  EXPECT_EQ(at<int32_t>(f, 68), 86);
  for (size_t i = 72; i < 4096; i++) ASSERT_EQ(f[i], 0) << i;

  // Both indexes: oid 0 free, the Metatable at 536576, two bitmap pages, the rest free.
  for (size_t indexOffset : {4096u, 266240u}) {
    auto handle = [&](oid_t oid) { return at<uint32_t>(f, indexOffset + 4 * oid); };
    EXPECT_EQ(handle(0), 0x80000000u);
    EXPECT_EQ(handle(1), 536576u);
    EXPECT_EQ(handle(2), 528385u);
    EXPECT_EQ(handle(3), 532481u);
    for (oid_t oid = 4; oid < 8194; oid++) ASSERT_EQ(handle(oid), 0x80000000u) << oid;
  }

  // Bitmap: 4192 bytes of 0xFF, then the Metatable's 62 quanta, then nothing.
  const size_t bitmap = 528384;
  for (size_t i = 0; i < 4192; i++) ASSERT_EQ(uint8_t(f[bitmap + i]), 0xFF) << i;
  for (size_t i = 4192; i < 4199; i++) EXPECT_EQ(uint8_t(f[bitmap + i]), 0xFF) << i;
  EXPECT_EQ(uint8_t(f[bitmap + 4199]), 0x3F);
  for (size_t i = 4200; i < 8192; i++) ASSERT_EQ(f[bitmap + i], 0) << i;

  // The Metatable record.
  const size_t meta = 536576;
  EXPECT_EQ(at<uint32_t>(f, meta + 0), 985u);
  EXPECT_EQ(at<uint32_t>(f, meta + 4), 0u);
  EXPECT_EQ(at<uint32_t>(f, meta + 8), 0u);
  EXPECT_EQ(at<uint32_t>(f, meta + 12), 10u);   // name count
  EXPECT_EQ(at<uint32_t>(f, meta + 16), 752u);  // name offset
  EXPECT_EQ(at<uint32_t>(f, meta + 20), 16u);   // fields count
  EXPECT_EQ(at<uint32_t>(f, meta + 24), 48u);   // fields offset
  EXPECT_EQ(at<int32_t>(f, meta + 28), 48);     // fixedSize
  EXPECT_EQ(at<int32_t>(f, meta + 32), 0);      // nRows
  EXPECT_EQ(at<int32_t>(f, meta + 36), 5);      // nColumns
  EXPECT_EQ(at<uint32_t>(f, meta + 40), 0u);
  EXPECT_EQ(at<uint32_t>(f, meta + 44), 0u);
  EXPECT_STREQ(&f[meta + 752], "Metatable");
  struct Entry {
    const char* name;
    int type, size, offset;
  } entries[] = {{"name", 7, 8, 12}, {"fields", 9, 8, 20}, {"fields[]", 19, 44, 0},
                 {"fields[].name", 7, 8, 0}, {"fields[].tableName", 7, 8, 8},
                 {"fields[].inverse", 7, 8, 16}, {"fields[].type", 3, 4, 24},
                 {"fields[].offset", 3, 4, 28}, {"fields[].size", 3, 4, 32},
                 {"fields[].hashTable", 8, 4, 36}, {"fields[].tTree", 8, 4, 40},
                 {"fixedSize", 3, 4, 28}, {"nRows", 3, 4, 32}, {"nColumns", 3, 4, 36},
                 {"firstRow", 8, 4, 40}, {"lastRow", 8, 4, 44}};
  size_t expectedString = meta + 762;  // strings follow the name, entry by entry
  for (int i = 0; i < 16; i++) {
    size_t e = meta + 48 + 44 * i;
    SCOPED_TRACE(entries[i].name);
    EXPECT_EQ(at<uint32_t>(f, e + 0), strlen(entries[i].name) + 1);
    EXPECT_EQ(e + at<uint32_t>(f, e + 4), expectedString);
    EXPECT_STREQ(&f[expectedString], entries[i].name);
    expectedString += strlen(entries[i].name) + 1;
    EXPECT_EQ(at<uint32_t>(f, e + 8), 1u);  // empty tableName
    EXPECT_EQ(e + at<uint32_t>(f, e + 12), expectedString++);
    EXPECT_EQ(at<uint32_t>(f, e + 16), 1u);  // empty inverse
    EXPECT_EQ(e + at<uint32_t>(f, e + 20), expectedString++);
    EXPECT_EQ(at<int32_t>(f, e + 24), entries[i].type);
    EXPECT_EQ(at<int32_t>(f, e + 28), entries[i].offset);
    EXPECT_EQ(at<int32_t>(f, e + 32), entries[i].size);
    EXPECT_EQ(at<uint32_t>(f, e + 36), 0u);
    EXPECT_EQ(at<uint32_t>(f, e + 40), 0u);
  }
  EXPECT_EQ(expectedString, meta + 985);
}

TEST_F(DatabaseTest, InitialSizesAreRoundedAsTheFormatRequires) {
  struct Case {
    size_t indexSize, fileSize;
    uint32_t capacity, length;
  } cases[] = {
      {0, 0, 9216, 1048576},              // 8194 handles rounded up to 1024
      {65536, 0, 65536, 1048576},
      {65536, 1, 65536, 1048576},         // raised to 16 bytes per handle
      {100000, 2000000, 100352, 2097152}, // rounded up to 512 KiB
      {8194, 524288, 9216, 524288},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.indexSize);
    std::string file = path(("sizes" + std::to_string(c.indexSize) + "_" + std::to_string(c.fileSize)).c_str());
    dbDatabase db(dbReadWrite, c.fileSize, 4194304, c.indexSize, 1);
    ASSERT_TRUE(openDb(db, file));
    db.close();
    std::vector<char> f = readFile(file);
    EXPECT_EQ(f.size(), c.length);
    EXPECT_EQ(at<uint32_t>(f, 16 + 8), c.capacity);
    EXPECT_EQ(at<uint32_t>(f, 16 + 4), 4096 + 4 * c.capacity);
  }
}

// Each damaged or unusable file: open reports the message, returns false, and the
// process goes on (a second open of a good file works).
TEST_F(DatabaseTest, RefusedFilesReportTheirMessage) {
  std::vector<char> good;
  {
    dbDatabase db;
    ASSERT_TRUE(openDb(db, path("good.kld")));
    db.close();
    good = readFile(path("good.kld"));
  }
  auto withField = [&](size_t offset, uint32_t value) {
    std::vector<char> f = good;
    put(f, offset, value);
    return f;
  };
  std::vector<char> longer = good;
  longer.resize(good.size() + 4096);
  std::vector<char> tiny = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  struct Case {
    const char* label;
    std::vector<char> contents;
    dbAccessType access;
    const char* message;
  } cases[] = {
      {"root 2", withField(4, 2), dbReadWrite, "Database file was corrupted: invalid root index"},
      {"root -1", withField(4, 0xFFFFFFFF), dbReadOnly, "Database file was corrupted: invalid root index"},
      {"empty, read only", {}, dbReadOnly, "Can not open uninitialized file in read only mode"},
      {"not initialized, read only", withField(12, 0), dbConcurrentRead, "Can not open uninitialized file in read only mode"},
      {"dirty, read only", withField(8, 1), dbReadOnly, "Can not open dirty file in read only moode"},
      {"size differs", withField(0, 2097152), dbReadWrite, "Database file was corrupted: file size in header differs from actual file size"},
      {"file longer", longer, dbReadWrite, "Database file was corrupted: file size in header differs from actual file size"},
      {"shorter than its header says", tiny, dbReadWrite, "Database file was corrupted: file size in header differs from actual file size"},
      {"index outside the file", withField(16, 0x7FFFF000), dbReadWrite, "Database file was corrupted: invalid root index"},
      {"dirty, index outside the file", withField(8, 1), dbReadWrite, nullptr},
  };
  // The last case is a sound dirty file: recovery runs and the open succeeds.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reported.clear();
    writeFile(path(), c.contents);
    dbDatabase db(c.access);
    bool opened = openDb(db, path());
    if (c.message == nullptr) {
      EXPECT_TRUE(opened);
      EXPECT_TRUE(reported.empty());
      continue;
    }
    EXPECT_FALSE(opened);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], c.message);
    db.close();  // harmless after a failed open
  }
  dbDatabase db;
  EXPECT_TRUE(openDb(db, path("good.kld")));
}

TEST_F(DatabaseTest, ReadOnlyOpenOfAMissingFileFails) {
  dbDatabase db(dbReadOnly);
  EXPECT_FALSE(openDb(db, path("missing.kld")));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "Failed to create database file");
  EXPECT_FALSE(std::ifstream(path("missing.kld")).good());
}

// An open that fails after it created the file takes the file away again; a file
// that was there before stays. A file size limit above the monitor's shared memory
// and below the initial file size makes the creation fail.
TEST_F(DatabaseTest, FailedOpenRemovesOnlyAFileItCreated) {
  ASSERT_TRUE(writeFile(path("existing.kld"), {}));
  for (const char* file : {"new.kld", "existing.kld"}) {
    SCOPED_TRACE(file);
    Child limited([&](Child&) {
      signal(SIGXFSZ, SIG_IGN);
      const rlim_t size = sizeof(dbMonitor) + 65536;
      rlimit limit{size, size};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
      dbDatabase db;
      db.setErrorHandler(recordError);
      if (db.open(name.c_str(), path(file).c_str())) return 1;
      return reported == std::vector<std::string>{"Failed to create database file"} ? 0 : 3;
    });
    EXPECT_EQ(limited.wait(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(path("new.kld")));
  EXPECT_TRUE(std::filesystem::exists(path("existing.kld")));
}

// A new file is its owner's only, whatever the umask; an existing file keeps its mode.
TEST_F(DatabaseTest, NewFilesAreReadableAndWritableByTheOwnerOnly) {
  auto mode = [](const std::string& file) {
    struct stat st;
    return stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
  };
  const mode_t previous = umask(022);
  for (mode_t mask : {mode_t(022), mode_t(0277)}) {
    SCOPED_TRACE(mask);
    umask(mask);
    const std::string file = path(("new" + std::to_string(mask) + ".kld").c_str());
    dbDatabase db;
    EXPECT_TRUE(openDb(db, file));
    EXPECT_EQ(mode(file), 0600u);
  }
  umask(previous);
  ASSERT_TRUE(writeFile(path("existing.kld"), {}));
  ASSERT_EQ(chmod(path("existing.kld").c_str(), 0644), 0);
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path("existing.kld")));
  EXPECT_EQ(mode(path("existing.kld")), 0644u);
}

// A zero-length file opened for writing, or one whose creation never finished,
// becomes a new database of the initial size.
TEST_F(DatabaseTest, UninitializedFilesAreCreatedAfresh) {
  for (size_t length : {size_t(0), size_t(100), size_t(3 << 20)}) {
    SCOPED_TRACE(length);
    writeFile(path(), std::vector<char>(length, 0));
    dbDatabase db(dbReadWrite, 0, 4194304, 0, 1);
    ASSERT_TRUE(openDb(db, path()));
    db.close();
    std::vector<char> f = readFile(path());
    EXPECT_EQ(f.size(), 1048576u);
    EXPECT_EQ(at<int32_t>(f, 12), 1);
    EXPECT_EQ(at<uint32_t>(f, 16 + 8), 9216u);
  }
}

// Every named object that cannot be made is reported with its own message, and a
// later open is not disturbed by what the failed one had made.
TEST_F(DatabaseTest, NamedObjectFailuresAreReported) {
  struct Case {
    const char* suffix;
    const char* message;
  } cases[] = {
      {".in", "Failed to start database initialization"},
      {".dm", "Failed to open database monitor"},
      {".cs", "Failed to initialize database monitor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suffix);
    reported.clear();
    dbFailNamedObjectSuffix = c.suffix;
    dbDatabase db;
    EXPECT_FALSE(openDb(db, path()));
    dbFailNamedObjectSuffix = nullptr;
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], c.message);
    dbDatabase again;
    ASSERT_TRUE(openDb(again, path()));
    EXPECT_EQ(again.getProcessCount(), 1);
  }
}

TEST_F(DatabaseTest, DelayedCommitEventFailureIsReported) {
  dbFailNamedObjectSuffix = ".dce";
  dbDatabase db;
  db.setErrorHandler(recordError);
  EXPECT_FALSE(db.open(name.c_str(), path().c_str(), dbWaitForever, 1));
  dbFailNamedObjectSuffix = nullptr;
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "Failed to initialize delayed commit event");
}

TEST_F(DatabaseTest, CloseLeavesTheFileCleanAndReusable) {
  dbDatabase db;
  for (int round = 0; round < 3; round++) {
    ASSERT_TRUE(openDb(db, path()));
    EXPECT_TRUE(db.isOpen());
    // Creation marks the file dirty; reopening a clean file changes nothing.
    EXPECT_EQ(at<int32_t>(readFile(path()), 8), round == 0 ? 1 : 0) << "dirty while open";
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(at<int32_t>(readFile(path()), 8), 0) << "clean after close";
  }
  EXPECT_TRUE(reported.empty());
}

// A process that closes while another one is inside its commit, or holds the mutator
// lock with changes not yet committed, leaves the file dirty: when that process dies,
// the next open recovers the last committed state.
TEST_F(DatabaseTest, CloseLeavesTheFileDirtyWhileAnotherProcessHasChanges) {
  struct Case {
    const char* label;
    dbAccessType access;
    dbTestPoint stopAt;
    bool commits;      // stopped inside the commit rather than before it
    bool committed;    // the stopped change is in the committed state
  } cases[] = {
      {"commit before the switch", dbReadWrite, dbTestPoint::commitBeforeSwitch, true, false},
      {"commit after the switch", dbReadWrite, dbTestPoint::commitAfterSwitch, true, true},
      {"updater's commit", dbConcurrentUpdate, dbTestPoint::commitBeforeSwitch, true, false},
      {"updater between commits", dbConcurrentUpdate, dbTestPoint::commitBeforeSwitch, false, false},
  };
  static Child* self = nullptr;
  static dbTestPoint stopPoint;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string file = path((std::string(c.label) + ".kld").c_str());
    oid_t counter = 0;
    TestDb db(c.access);
    ASSERT_TRUE(openDb(db, file));
    db.beginWrite();
    counter = db.allocateRecord(sizeof(dbRecord) + 4);
    reinterpret_cast<int32_t*>(db.getRecordForUpdate(counter) + 1)[0] = 0;
    db.commit();
    stopPoint = c.stopAt;
    Child other([&](Child& me) {
      self = &me;
      dbTestHook = [](dbTestPoint point) {
        if (point != stopPoint) return;
        self->send('K');
        pause();
      };
      TestDb mine(c.access);
      if (!mine.open(name.c_str(), file.c_str())) return 1;
      mine.beginWrite();
      reinterpret_cast<int32_t*>(mine.getRecordForUpdate(counter) + 1)[0] = 7;
      mine.allocateRecord(4000);
      if (!c.commits) {
        me.send('K');
        pause();
      }
      mine.commit();
      return 2;
    });
    ASSERT_EQ(other.receive(), 'K');
    db.close();
    EXPECT_EQ(at<int32_t>(readFile(file), 8), 1) << "marked clean while another process has changes";
    other.kill();
    TestDb next(c.access);
    ASSERT_TRUE(openDb(next, file));
    next.beginRead();
    EXPECT_EQ(reinterpret_cast<const int32_t*>(next.getRecord(counter) + 1)[0], c.committed ? 7 : 0);
    next.commit();
    next.close();
    dbCheckReport report = dbCheckFile(file.c_str());
    for (const std::string& e : report.errors) ADD_FAILURE() << e;
    EXPECT_TRUE(reported.empty());
  }
}

// Sizes that the 32-bit offsets of the file cannot hold are refused by open, which
// reports it and leaves neither a file nor a shared object behind.
TEST_F(DatabaseTest, OpenRefusesSizesTheFileFormatCannotHold) {
  struct Case {
    size_t indexSize, fileSize, quantum;
    bool refused;
  } cases[] = {
      {size_t(1) << 28, 0, 4194304, true},            // 16 bytes per handle: 4 GiB
      {SIZE_MAX, 0, 4194304, true},
      {65536, size_t(1) << 32, 4194304, true},
      {65536, 0xFFF80001, 4194304, true},             // rounds up past the last segment
      {65536, 0, size_t(1) << 32, true},
      {65536, 0, 0xFFF80000, false},                  // the largest file as the quantum
  };
  const std::string prefix = "kld." + std::to_string(geteuid()) + "." + name + "@";
  auto sharedObjectsLeft = [&] {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
      n += entry.path().filename().string().rfind(prefix, 0) == 0;
    }
    return n;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.indexSize << " " << c.fileSize << " " << c.quantum);
    reported.clear();
    std::filesystem::remove(path());
    dbDatabase db(dbReadWrite, c.fileSize, c.quantum, c.indexSize, 1);
    const bool opened = openDb(db, path());
    EXPECT_EQ(opened, !c.refused);
    if (!c.refused) continue;
    EXPECT_EQ(reported, std::vector<std::string>{"Database sizes exceed the limits of the 32-bit file format"});
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_EQ(sharedObjectsLeft(), 0);
  }
}

// The shared objects and the mapping are named after the database and a tag of its
// file; a long name is cut so that the system accepts the objects' names.
TEST_F(DatabaseTest, ObjectsAreNamedAfterTheDatabaseAndItsFile) {
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path()));
  const std::string mapping = db.getMappingName();
  const std::string tag = mapping.substr(std::min(mapping.size(), name.size() + 1), 16);
  EXPECT_EQ(mapping, name + "@" + tag + ".1");
  EXPECT_EQ(tag.size(), 16u);
  EXPECT_EQ(tag.find_first_not_of("0123456789abcdef"), std::string::npos);
  const std::string longName = name + std::string(100, '/') + std::string(200, 'x');
  dbDatabase other;
  ASSERT_TRUE(other.open(longName.c_str(), path("long.kld").c_str()));
  EXPECT_EQ(other.getProcessCount(), 1);
}

// ---------------------------------------------------------------------------
// keldraDatabase

class KeldraDatabaseTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    previous = get_current_dir_name();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(previous), 0);
    free(previous);
  }
  char* previous = nullptr;
};

TEST_F(KeldraDatabaseTest, WithoutFileNameUsesNameDotKldInTheCurrentDirectory) {
  keldraDatabase db;
  EXPECT_TRUE(db.homeDirectory().empty());
  ASSERT_TRUE(db.open(name.c_str()));
  EXPECT_EQ(db.homeDirectory(), std::filesystem::canonical(dir.path()).string());
  EXPECT_EQ(db.baseName(), name);
  db.close();
  EXPECT_EQ(readFile(dir.file(name + ".kld")).size(), 1048576u);
  // The home directory is fixed by the first open.
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_TRUE(db.open(name.c_str(), (dir.path() + "/" + name + ".kld").c_str()));
  EXPECT_EQ(db.homeDirectory(), std::filesystem::canonical(dir.path()).string());
}

TEST(DriveCheck, NetworkAndOpticalFileSystemsAreRefused) {
  struct Case {
    long magic;
    const char* mountType;
    bool refused;
  } cases[] = {
      {0xEF53, "ext4", false},          {0x01021994, "tmpfs", false},
      {0x9123683E, "btrfs", false},     {0x58465342, "xfs", false},
      {0x794C7630, "overlay", false},   {0x6969, "nfs4", true},
      {0xFF534D42, "cifs", true},       {0xFE534D42, "smb3", true},
      {0x517B, "smbfs", true},          {0x01021997, "9p", true},
      {0x9660, "iso9660", true},        {0x15013346, "udf", true},
      {0x65735546, "fuse.sshfs", true}, {0x65735546, "fuse.rclone", true},
      {0x65735546, "fuse.ntfs-3g", false}, {0x65735546, "fuseblk", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dbIsRefusedFileSystem(c.magic, c.mountType), c.refused) << c.mountType;
  }
  EXPECT_FALSE(dbDirectoryOnRefusedFileSystem("/tmp"));
}

// ---------------------------------------------------------------------------
// Several processes

// The second opener waits for the first one's open to end, then both are counted.
TEST_F(DatabaseTest, SecondProcessWaitsForTheFirstOpenAndIsCounted) {
  static Child* self = nullptr;
  Child first([&](Child& me) {
    self = &me;
    dbTestHook = [](dbTestPoint point) {
      if (point != dbTestPoint::firstOpenerInitializing) return;
      self->send('I');
      usleep(300 * 1000);  // long enough for the other process to try to join
    };
    dbDatabase db;
    if (!db.open(name.c_str(), path().c_str())) return 1;
    me.send('O');
    me.hear();  // until the parent says close
    db.close();
    me.send('C');
    return 0;
  });
  ASSERT_EQ(first.receive(), 'I');
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path()));
  EXPECT_EQ(db.getProcessCount(), 2);
  EXPECT_EQ(first.receive(), 'O');
  first.tell('c');
  EXPECT_EQ(first.receive(), 'C');
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(db.getProcessCount(), 1);
}

// The shared objects belong to one file: databases of one name in two directories
// are independent, while the openers of one file share them by whatever path they
// name it.
TEST_F(DatabaseTest, OnlyOpenersOfOneFileShareItsObjects) {
  TempDir otherDir;
  Child elsewhere([&](Child& me) {
    TestDb db;
    if (!db.open(name.c_str(), otherDir.file("Postsift.kld").c_str())) return 1;
    me.send('O');
    me.hear();
    me.send(char('0' + db.getProcessCount()));
    if (!db.beginWrite()) return 2;
    db.allocateRecord(16);
    db.commit();
    me.send('W');
    me.hear();
    return 0;
  });
  ASSERT_EQ(elsewhere.receive(), 'O');
  TestDb db;
  ASSERT_TRUE(openDb(db, path("Postsift.kld")));
  EXPECT_EQ(db.getProcessCount(), 1);
  elsewhere.tell('c');
  EXPECT_EQ(elsewhere.receive(), '1');
  ASSERT_EQ(elsewhere.receive(), 'W');
  ASSERT_TRUE(db.beginRead());
  EXPECT_EQ(db.getCommittedIdCount(), dbFirstUserObjectId) << "the other file's record";
  db.commit();
  elsewhere.tell('x');
  EXPECT_EQ(elsewhere.wait(), 0);

  // One file named through a dangling link to it (which creates it), by a relative
  // path and through a linked directory.
  ASSERT_EQ(mkdir(path("real").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", path("link").c_str()), 0);
  ASSERT_EQ(symlink("real/x.kld", path("x.kld").c_str()), 0);
  dbDatabase throughFileLink;
  ASSERT_TRUE(openDb(throughFileLink, path("x.kld")));
  EXPECT_TRUE(std::filesystem::is_regular_file(path("real/x.kld")));
  Child relative([&](Child& me) {
    if (chdir(path("real").c_str()) != 0) return 2;
    dbDatabase db;
    if (!db.open(name.c_str(), "x.kld")) return 1;
    me.send('O');
    me.hear();
    return 0;
  });
  ASSERT_EQ(relative.receive(), 'O');
  dbDatabase throughDirectoryLink;
  ASSERT_TRUE(openDb(throughDirectoryLink, path("link/./x.kld")));
  EXPECT_EQ(throughDirectoryLink.getProcessCount(), 3);
  relative.tell('x');
  EXPECT_EQ(relative.wait(), 0);
}

// A process joining others opens the file they have open; when its name is gone the
// open fails and leaves no empty file in its place.
TEST_F(DatabaseTest, JoiningProcessDoesNotCreateTheFile) {
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path()));
  ASSERT_EQ(rename(path().c_str(), path("moved.kld").c_str()), 0);
  Child joiner([&](Child&) {
    dbDatabase other;
    return other.open(name.c_str(), path().c_str()) ? 1 : 0;
  });
  EXPECT_EQ(joiner.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(path()));
}

// A process killed while it has the database open, or while it is inside the
// process-shared critical section, blocks nobody and is no longer counted.
TEST_F(DatabaseTest, KilledProcessLeavesNothingBehind) {
  for (dbTestPoint stopAt : {dbTestPoint::firstOpenerInitializing, dbTestPoint::insideCriticalSection}) {
    for (bool killedInsideOpen : {false, true}) {
      SCOPED_TRACE(testing::Message() << int(stopAt) << killedInsideOpen);
      static Child* self = nullptr;
      static dbTestPoint stopPoint;
      stopPoint = stopAt;
      Child victim([&](Child& me) {
        self = &me;
        if (killedInsideOpen) {
          dbTestHook = [](dbTestPoint point) {
            if (point != stopPoint) return;
            self->send('K');
            pause();
          };
        }
        dbDatabase db;
        if (!db.open(name.c_str(), path().c_str())) return 1;
        me.send('K');
        pause();
        return 0;
      });
      ASSERT_EQ(victim.receive(), 'K');
      victim.kill();
      dbDatabase db;
      ASSERT_TRUE(openDb(db, path()));
      EXPECT_EQ(db.getProcessCount(), 1);
      db.close();
    }
  }
}

// While this process keeps the database open, another process dies inside the
// process-shared critical section: the critical section is repaired, the dead
// process is not counted, and a third process can still join.
TEST_F(DatabaseTest, ProcessKilledInsideTheCriticalSectionOfAJoinedOpen) {
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path()));
  static Child* self = nullptr;
  Child victim([&](Child& me) {
    self = &me;
    dbTestHook = [](dbTestPoint point) {
      if (point != dbTestPoint::insideCriticalSection) return;
      self->send('K');
      pause();
    };
    dbDatabase other;
    return other.open(name.c_str(), path().c_str()) ? 0 : 1;
  });
  ASSERT_EQ(victim.receive(), 'K');
  victim.kill();
  EXPECT_EQ(db.getProcessCount(), 1);
  Child third([&](Child& me) {
    dbDatabase other;
    if (!other.open(name.c_str(), path().c_str())) return 1;
    me.send(char('0' + other.getProcessCount()));
    me.hear();
    return 0;
  });
  EXPECT_EQ(third.receive(), '2');
  EXPECT_EQ(db.getProcessCount(), 2);
  third.tell('x');
  EXPECT_EQ(third.wait(), 0);
}

// Two users who open databases of the same name never share or block each other's
// objects. Needs root to run a child as another user.
TEST_F(DatabaseTest, UsersDoNotShareNamedObjects) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  chmod(dir.path().c_str(), 0777);
  dbDatabase db;
  ASSERT_TRUE(openDb(db, path("root.kld")));
  Child other([&](Child& me) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
    dbDatabase theirs;
    if (!theirs.open(name.c_str(), path("nobody.kld").c_str())) return 1;
    me.send(char('0' + theirs.getProcessCount()));
    me.hear();
    return 0;
  });
  EXPECT_EQ(other.receive(), '1');
  EXPECT_EQ(db.getProcessCount(), 1);
  other.tell('x');
  EXPECT_EQ(other.wait(), 0);
}

// ---------------------------------------------------------------------------
// Error reporting

TEST(ReportError, ReturningCodesPrintTheirText) {
  struct Case {
    int code;
    const char* message;
    int argument;
    const char* printed;
  } cases[] = {
      {dbNoError, "x", 0, ""},
      {dbQueryError, "Unknown field", 7, "Unknown field in position 7\n"},
      {dbDatabaseOpenError, "Failed to open database monitor", 0, "Failed to open database monitor\n"},
      {dbInconsistentInverseReference, "Bad inverse", 0, "Bad inverse\n"},
      {10, "nothing", 0, ""},
      {13, "nothing", 0, ""},
  };
  for (const Case& c : cases) {
    dbDatabase db;
    reported.clear();
    db.setErrorHandler(recordError);
    testing::internal::CaptureStderr();
    db.reportError(c.code, c.message, c.argument);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed) << c.code;
    EXPECT_EQ(reported.size(), 1u) << "the handler sees every code";
  }
}

TEST(ReportErrorDeathTest, FatalCodesPrintAndStop) {
  struct Case {
    int code;
    const char* message;
    int argument;
    const char* printed;  // a regular expression
  } cases[] = {
      {dbArithmeticError, "Division by zero", 0, "Division by zero"},
      {dbIndexOutOfRangeError, "", 12, "Index 12 is out of range"},
      {dbFileError, "Failed to extend file", ENOSPC, "Failed to extend file: No space left on device"},
      {dbFileError, "Failed to extend file", 99999, "Failed to extend file: unknown error code 99999"},
      {dbOutOfMemoryError, "", 4096, "Not enough memory: failed to allocate 4096 bytes"},
      {dbDeadlock, "", 0, "Deadlock is caused by upgrading shared locks to exclusive"},
      {dbNullReferenceError, "", 0, "Null object reference is accessed"},
      {dbLockRevoked, "", 0, "Lock is revoked by some other client"},
      {dbDatabaseReadOnly, "", 0, "Attempt to modify readonly database"},
  };
  for (const Case& c : cases) {
    dbDatabase db;
    EXPECT_DEATH(db.reportError(c.code, c.message, c.argument), c.printed) << c.code;
  }
}

}  // namespace
