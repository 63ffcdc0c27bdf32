#include "archivetestutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <sstream>

#include "archiveformat.h"

namespace archivetest {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = char(generator());
  return bytes;
}

std::string textBytes(size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line)
    text += "Line " + std::to_string(line) + ": From: someone@example.com Subject: filtered\n";
  text.resize(size);
  return text;
}

void setModified(const std::string& path, std::time_t time) {
  struct timespec times[2] = {{time, 0}, {time, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::time_t modified(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mtime;
}

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

std::string le32(int32_t value) {
  char bytes[4];
  backupformat::putInt32(bytes, value);
  return std::string(bytes, 4);
}

namespace {

class Cursor {
 public:
  explicit Cursor(const std::string& bytes) : bytes(bytes) {}
  bool atEnd() const { return at == bytes.size(); }
  int32_t int32() { return backupformat::getInt32(take(4).data()); }
  std::string take(size_t size) {
    if (at + size > bytes.size()) {
      ADD_FAILURE() << "volume ends early at " << at;
      at = bytes.size();
      return std::string(size, '\0');
    }
    std::string part = bytes.substr(at, size);
    at += size;
    return part;
  }

 private:
  const std::string& bytes;
  size_t at = 0;
};

Section parseSection(Cursor& cursor) {
  Section section;
  EXPECT_EQ(cursor.take(4), std::string("EC2\0", 4));
  backupformat::BlockInflater inflater;
  std::string out(backupformat::kBlockSize, '\0');
  for (int32_t length = cursor.int32(); length != 0 && !cursor.atEnd(); length = cursor.int32()) {
    section.blockLengths.push_back(length);
    std::string payload = cursor.take(size_t(std::abs(length)));
    if (length < 0) {
      section.data += payload;
      section.pieceSizes.push_back(-length);
      continue;
    }
    int32_t produced = inflater.inflate(payload.data(), length, out.data());
    EXPECT_GE(produced, 0) << "block does not inflate";
    section.data.append(out.data(), size_t(std::max(produced, 0)));
    section.pieceSizes.push_back(produced);
  }
  return section;
}

}  // namespace

Volume parseVolume(const std::string& bytes, bool firstVolume) {
  Volume volume;
  Cursor cursor(bytes);
  if (firstVolume) {
    volume.title = cursor.take(size_t(cursor.int32()));
    volume.totalBytes = cursor.int32();
    volume.fileCount = cursor.int32();
  } else {
    volume.entries.push_back(Entry{"", 0, parseSection(cursor)});
  }
  while (!cursor.atEnd()) {
    int32_t nameLength = cursor.int32();
    if (nameLength == 0) {
      volume.endMarker = true;
      break;
    }
    std::string name = cursor.take(size_t(nameLength));
    if (name.starts_with("NEXT:DISK")) {
      volume.changeRecord = name;
      break;
    }
    uint32_t date = uint32_t(cursor.int32());
    volume.entries.push_back(Entry{name, date, parseSection(cursor)});
  }
  EXPECT_TRUE(cursor.atEnd()) << "bytes after the end of the volume";
  return volume;
}

}  // namespace archivetest
