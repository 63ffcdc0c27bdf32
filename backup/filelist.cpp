#include "filelist.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <unordered_set>

namespace backupfiles {

namespace fs = std::filesystem;

std::string trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

bool matchesMask(std::string_view mask, std::string_view name) {
  if (mask == "*.*") return true;
  size_t m = 0;
  size_t n = 0;
  size_t lastStar = std::string_view::npos;  // mask position of the last '*' seen
  size_t resumeAt = 0;                       // name position that '*' is retried from
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      lastStar = m++;
      resumeAt = n;
    } else if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (lastStar != std::string_view::npos) {
      m = lastStar + 1;  // let the last '*' swallow one more character
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

namespace {

bool hasWildcard(std::string_view mask) { return mask.find_first_of("*?") != std::string_view::npos; }

fs::path absoluteNormal(const std::string& path) {
  std::error_code ignored;
  return fs::absolute(path, ignored).lexically_normal();
}

// The mask of an entry that asks for subdirectories: the entry ends with a blank
// and "/s". The blank is required because "/s" alone is also how a path whose
// last component is "s" ends.
std::optional<std::string> recursiveMask(const std::string& entry) {
  if (entry.size() < 3 || !entry.ends_with("/s")) return {};
  if (static_cast<unsigned char>(entry[entry.size() - 3]) > ' ') return {};
  return trim(std::string_view(entry).substr(0, entry.size() - 2));
}

struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity&) const = default;
};

class Expander {
 public:
  explicit Expander(const ArchiveExclusion& exclusion) : exclusion(exclusion) {
    if (exclusion.archivePath.empty()) return;
    archiveAbsolute = absoluteNormal(exclusion.archivePath);
    struct stat info;
    if (stat(exclusion.archivePath.c_str(), &info) == 0) archiveIdentity = FileIdentity{info.st_dev, info.st_ino};
  }

  void expandEntry(const std::string& rawEntry) {
    std::string entry = trim(rawEntry);
    std::optional<std::string> mask = recursiveMask(entry);
    fs::path maskPath = absoluteNormal(mask ? *mask : entry);
    std::string pattern = maskPath.filename().string();
    if (mask) expandSubdirectories(maskPath.parent_path(), pattern);
    addMatches(maskPath.parent_path(), pattern);
  }

  std::vector<std::string> files;

 private:
  void expandSubdirectories(const fs::path& directory, const std::string& pattern) {
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(directory, fs::directory_options::skip_permission_denied, error)) {
      std::error_code ignored;
      if (entry.is_symlink(ignored) || !entry.is_directory(ignored)) continue;
      expandSubdirectories(entry.path(), pattern);
      addMatches(entry.path(), pattern);
    }
  }

  void addMatches(const fs::path& directory, const std::string& pattern) {
    if (pattern.empty()) return;
    if (!hasWildcard(pattern)) {
      add(directory / pattern);
      return;
    }
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(directory, fs::directory_options::skip_permission_denied, error)) {
      if (matchesMask(pattern, entry.path().filename().string())) add(entry.path());
    }
  }

  // Adds a regular file (symbolic links followed) unless it is the archive or
  // already listed. Directories, devices, pipes and sockets are never archived.
  void add(const fs::path& path) {
    std::string text = path.string();
    struct stat info;
    if (stat(text.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    if (isArchive(path, FileIdentity{info.st_dev, info.st_ino})) return;
    if (listed.insert(text).second) files.push_back(std::move(text));
  }

  bool isArchive(const fs::path& path, const FileIdentity& identity) const {
    if (exclusion.archivePath.empty()) return false;
    if (path == archiveAbsolute || identity == archiveIdentity) return true;
    return exclusion.excludeVolumes && isVolume(path);
  }

  // A continuation volume's name: the archive's name with three digits as extension.
  bool isVolume(const fs::path& path) const {
    std::string extension = path.extension().string();
    if (extension.size() != 4 || path.parent_path() != archiveAbsolute.parent_path() ||
        path.stem() != archiveAbsolute.stem())
      return false;
    return extension.find_first_not_of("0123456789", 1) == std::string::npos;
  }

  const ArchiveExclusion& exclusion;
  fs::path archiveAbsolute;
  std::optional<FileIdentity> archiveIdentity;
  std::unordered_set<std::string> listed;
};

}  // namespace

std::vector<std::string> expandFileList(const std::vector<std::string>& entries,
                                        const ArchiveExclusion& exclusion) {
  Expander expander(exclusion);
  for (const std::string& entry : entries) expander.expandEntry(entry);
  return std::move(expander.files);
}

}  // namespace backupfiles
