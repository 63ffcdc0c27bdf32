// Backup and restore throughput of the archive component on a database-like file,
// at the level the application uses (fastest), next to `gzip -1` and `gzip -d`
// of the same file on the same machine.
//
//   backup_bench [--size-mb N] [--dir DIRECTORY]
//
// The file is made of 4 KiB pages: 70 % hold packed mail records (ids, dates,
// flags, addresses and subjects from small vocabularies, like the database's
// message table), 15 % are zero (free pages) and 15 % random bytes (blobs and
// already-compressed attachments). The page cache is warm for every run.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "backupfile.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPageSize = 4096;

void appendRecordPage(std::string& page, std::mt19937& random, uint32_t& nextId) {
  static const char* const senders[] = {"alice@example.com", "news@lists.example.org", "billing@shop.example",
                                        "bob.smith@mail.example.net", "noreply@service.example"};
  static const char* const subjects[] = {"Your invoice", "Weekly digest", "Re: meeting notes", "Password reset",
                                         "Special offer", "Delivery status notification"};
  page.clear();
  while (page.size() + 96 <= kPageSize) {
    char record[96] = {};
    uint32_t id = nextId++;
    uint64_t date = 1700000000ull + id * 37ull;
    uint16_t flags = uint16_t(random() % 8);
    std::memcpy(record, &id, 4);
    std::memcpy(record + 4, &date, 8);
    std::memcpy(record + 12, &flags, 2);
    std::snprintf(record + 16, 40, "%s", senders[random() % 5]);
    std::snprintf(record + 56, 40, "%s #%u", subjects[random() % 6], unsigned(random() % 1000));
    page.append(record, sizeof record);
  }
  page.resize(kPageSize, '\0');
}

void makeDatabaseFile(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937 random(20240601);
  std::string page;
  uint32_t nextId = 1;
  for (size_t written = 0; written < size; written += kPageSize) {
    unsigned kind = random() % 100;
    if (kind < 70) {
      appendRecordPage(page, random, nextId);
    } else if (kind < 85) {
      page.assign(kPageSize, '\0');
    } else {
      page.resize(kPageSize);
      for (char& c : page) c = char(random());
    }
    out.write(page.data(), std::streamsize(std::min(kPageSize, size - written)));
  }
}

bool sameContents(const std::string& a, const std::string& b) {
  std::ifstream left(a, std::ios::binary);
  std::ifstream right(b, std::ios::binary);
  std::vector<char> x(1 << 20), y(1 << 20);
  while (left && right) {
    left.read(x.data(), std::streamsize(x.size()));
    right.read(y.data(), std::streamsize(y.size()));
    if (left.gcount() != right.gcount() || std::memcmp(x.data(), y.data(), size_t(left.gcount())) != 0) return false;
  }
  return left.eof() && right.eof();
}

template <typename Work>
double seconds(Work work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool runShell(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  size_t sizeMb = 200;
  std::string base = fs::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size-mb") == 0) sizeMb = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
  }
  std::string pattern = base + "/backup-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string dir = pattern;
  const std::string database = dir + "/Postsift.kld";
  const std::string archive = dir + "/Postsift.qbk";
  const std::string restoreDir = dir + "/restore";
  fs::create_directories(restoreDir);
  const double megabytes = double(sizeMb);
  makeDatabaseFile(database, sizeMb << 20);

  TBackupFile backup;
  backup.BackupTitle = "Backup Keldra";
  backup.CompressionLevel = TCompressionLevel::clFastest;
  backup.SetArchiveFlag = true;
  bool backedUp = false;
  double backupTime = seconds([&] { backedUp = backup.Backup({database}, archive); });
  bool restored = false;
  double restoreTime = seconds([&] { restored = backup.Restore(archive, restoreDir); });
  bool identical = sameContents(database, restoreDir + "/Postsift.kld");

  const std::string gz = dir + "/Postsift.kld.gz";
  bool gzipped = false;
  double gzipTime = seconds([&] { gzipped = runShell("gzip -1 -c '" + database + "' > '" + gz + "'"); });
  bool gunzipped = false;
  double gunzipTime = seconds([&] { gunzipped = runShell("gzip -d -c '" + gz + "' > '" + dir + "/gunzipped'"); });

  double archiveBytes = double(fs::file_size(archive));
  double gzBytes = double(fs::file_size(gz));
  double fileBytes = double(sizeMb << 20);
  std::printf("file: %zu MiB database-like (70%% records, 15%% zero pages, 15%% random pages)\n", sizeMb);
  std::printf("%-22s %12s %12s %12s\n", "", "pack MiB/s", "unpack MiB/s", "size ratio");
  std::printf("%-22s %12.1f %12.1f %12.3f\n", "archive (clFastest)", megabytes / backupTime,
              megabytes / restoreTime, archiveBytes / fileBytes);
  std::printf("%-22s %12.1f %12.1f %12.3f\n", "gzip -1 / gzip -d", megabytes / gzipTime, megabytes / gunzipTime,
              gzBytes / fileBytes);
  std::printf("CompressionRate(): %d %%\n", backup.CompressionRate());
  std::printf("checks: backup %s, restore %s, restored file %s, gzip %s\n", backedUp ? "ok" : "FAILED",
              restored ? "ok" : "FAILED", identical ? "identical" : "DIFFERENT",
              gzipped && gunzipped ? "ok" : "FAILED");
  fs::remove_all(dir);
  return backedUp && restored && identical && gzipped && gunzipped ? 0 : 1;
}
