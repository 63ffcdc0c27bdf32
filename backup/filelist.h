// Expansion of a backup's file list: paths and wildcard masks, optionally
// recursive, into a list of absolute paths of regular files without duplicates.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace backupfiles {

// Removes leading and trailing blanks and control characters (bytes <= ' ').
std::string trim(std::string_view text);

// True when `name` matches `mask`: '*' stands for any run of characters, '?' for
// one, everything else for itself (no bracket classes). The mask "*.*" stands
// for every name, with or without a dot.
bool matchesMask(std::string_view mask, std::string_view name);

// What the expansion leaves out so that the archive never reads itself.
struct ArchiveExclusion {
  std::string archivePath;   // as the caller passed it; empty when writing to a stream
  bool excludeVolumes = false;  // also leave out the archive's continuation volumes
};

// Expands the entries in order. An entry is a path or a mask, optionally followed
// by blanks and "/s" to include every subdirectory of the mask's directory (a
// directory's subdirectories are expanded before its own files). Symbolic links
// to directories are not descended into, so a link cycle cannot recurse forever.
// Only regular files are taken, each once (exact comparison of the absolute,
// lexically normal paths), and never the archive itself.
std::vector<std::string> expandFileList(const std::vector<std::string>& entries,
                                        const ArchiveExclusion& exclusion);

}  // namespace backupfiles
