#include "keldraCursor.h"

#include <filesystem>

keldraDatabase::~keldraDatabase() = default;

bool keldraDatabase::open(const char* name, const char* fileName, uint32_t waitLockTimeout,
                          uint32_t commitDelay) {
  std::string path = fileName != nullptr ? std::string(fileName) : std::string(name) + ".kld";
  if (home.empty()) {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::absolute(path, error).parent_path();
    if (error) directory = std::filesystem::current_path(error);
    if (dbDirectoryOnRefusedFileSystem(directory.c_str())) return false;
    home = directory.lexically_normal().string();
    if (home.size() > 1 && home.back() == '/') home.pop_back();
  }
  base = name;
  return dbDatabase::open(name, path.c_str(), waitLockTimeout, commitDelay);
}
