// Helpers for the backup tests: files with chosen contents and dates, and a
// parser that lays an archive volume open so tests can check its structure.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace archivetest {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// Deterministic pseudo-random bytes (incompressible).
std::string randomBytes(size_t size, uint32_t seed);
// Text-like bytes that compress well.
std::string textBytes(size_t size);
void setModified(const std::string& path, std::time_t time);
std::time_t modified(const std::string& path);
// A local time with even seconds, exactly representable as an MS-DOS date.
std::time_t localTime(int year, int month, int day, int hour, int minute, int second);

std::string le32(int32_t value);

// One data section as stored: its block lengths and the file data they carry.
struct Section {
  std::vector<int32_t> blockLengths;
  std::vector<int32_t> pieceSizes;  // file bytes per block, after inflating
  std::string data;
};

// An entry; a continuation volume's leading section is an entry with an empty name.
struct Entry {
  std::string name;
  uint32_t dosDate = 0;
  Section section;
};

struct Volume {
  std::string title;
  int32_t totalBytes = 0;
  int32_t fileCount = 0;
  std::vector<Entry> entries;
  bool endMarker = false;    // the volume ends the archive
  std::string changeRecord;  // the volume change record it ends with, if any
};

// Parses a well-formed volume; fails the current test on anything unexpected.
// `firstVolume`: the volume starts with the header, otherwise with a section.
Volume parseVolume(const std::string& bytes, bool firstVolume);

}  // namespace archivetest
