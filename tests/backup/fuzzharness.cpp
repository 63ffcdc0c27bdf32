#include "fuzzharness.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "backupfile.h"

namespace fuzzharness {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> splitVolumes(std::string_view input) {
  std::vector<std::string> volumes;
  const std::string_view separator(kVolumeSeparator);
  while (volumes.size() < 3) {
    size_t at = input.find(separator);
    volumes.emplace_back(input.substr(0, at));
    if (at == std::string_view::npos) break;
    input.remove_prefix(at + separator.size());
  }
  return volumes;
}

void writeVolumes(const std::vector<std::string>& volumes, const std::string& archive) {
  for (int number = 1; number <= 3; ++number) {
    std::string path = number == 1 ? archive : TBackupFile::VolumePath(archive, number);
    std::error_code ignored;
    fs::remove(path, ignored);
    if (size_t(number) > volumes.size()) continue;
    std::ofstream(path, std::ios::binary) << volumes[size_t(number) - 1];
  }
}

// Only the archive's volumes and the restore directory may exist in the work directory.
bool stayedInside(const fs::path& work) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(work, error)) {
    std::string name = entry.path().filename().string();
    if (name != "out" && !name.starts_with("arch.")) return false;
  }
  for (const auto& entry : fs::directory_iterator(work / "out", error))
    if (entry.path().filename() != "inner") return false;
  return true;
}

}  // namespace

bool replayArchiveInput(const uint8_t* data, size_t size, const std::string& workDirectory) {
  if (size == 0) return true;
  const uint8_t options = data[0];
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> volumes = splitVolumes(input);
  fs::path work(workDirectory);
  std::string archive = (work / "arch.qbk").string();
  std::string target = (work / "out" / "inner").string();
  std::error_code ignored;
  fs::remove_all(work / "out", ignored);
  fs::create_directories(target, ignored);
  writeVolumes(volumes, archive);

  TBackupFile backup;
  backup.RestoreFullPath = options & 1;
  backup.RestoreMode = TRestoreMode((options >> 1) % 5);
  int asked = 0;
  backup.OnNeedDisk = [&asked](TBackupFile&, uint16_t, bool& goOn) { goOn = ++asked <= 3; };
  try {
    if (options & 0x10) {
      std::istringstream source(volumes[0]);
      backup.RestoreFromStream(source, target);
    } else {
      backup.Restore(archive, target);
    }
  } catch (const BackupError&) {
  }
  std::vector<std::string> list;
  try {
    backup.GetArchiveTitle(archive, &list);
  } catch (const BackupAbort&) {
  }
  try {
    std::istringstream section(volumes[0]);
    std::ostringstream sink;
    backup.DeCompress(section, &sink, options & 0x20);
  } catch (const BackupError&) {
  }
  return stayedInside(work);
}

}  // namespace fuzzharness
