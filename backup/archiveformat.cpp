#include "archiveformat.h"

#include <cstdio>
#include <filesystem>

namespace backupformat {

void putInt32(char* at, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(bits >> (8 * i));
}

int32_t getInt32(const char* at) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= uint32_t{static_cast<unsigned char>(at[i])} << (8 * i);
  return static_cast<int32_t>(bits);
}

namespace {

std::string threeDigits(int number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", number % 1000);
  return digits;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string volumeChangeText(int number) {
  return std::string(kVolumeChangePrefix) + threeDigits(number);
}

std::optional<int> parseVolumeChange(std::string_view text) {
  if (text.size() != kVolumeChangeLength || !text.starts_with(kVolumeChangePrefix)) return {};
  std::string_view digits = text.substr(kVolumeChangePrefix.size());
  int number = 0;
  for (char c : digits) {
    if (!isDigit(c)) return {};
    number = number * 10 + (c - '0');
  }
  return number;
}

std::string volumePath(const std::string& path, int number) {
  std::filesystem::path volume(path);
  volume.replace_extension("." + threeDigits(number));
  return volume.string();
}

uint32_t packDosDate(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  int year = local.tm_year + 1900;
  if (year < 1980) return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  return (uint32_t(year - 1980) << 25) | (uint32_t(local.tm_mon + 1) << 21) |
         (uint32_t(local.tm_mday) << 16) | (uint32_t(local.tm_hour) << 11) |
         (uint32_t(local.tm_min) << 5) | uint32_t(local.tm_sec / 2);
}

std::optional<std::time_t> unpackDosDate(uint32_t packed) {
  std::tm local{};
  local.tm_year = int(packed >> 25) + 80;
  local.tm_mon = int((packed >> 21) & 0xF) - 1;
  local.tm_mday = int((packed >> 16) & 0x1F);
  local.tm_hour = int((packed >> 11) & 0x1F);
  local.tm_min = int((packed >> 5) & 0x3F);
  local.tm_sec = int(packed & 0x1F) * 2;
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59)
    return {};
  local.tm_isdst = -1;
  std::time_t time = std::mktime(&local);
  if (time == std::time_t(-1)) return {};
  return time;
}

int zlibLevel(int compressionLevel) {
  switch (compressionLevel) {
    case 0: return Z_BEST_SPEED;
    case 1: return Z_NO_COMPRESSION;
    case 2: return Z_DEFAULT_COMPRESSION;
    default: return Z_BEST_COMPRESSION;
  }
}

BlockDeflater::BlockDeflater(int level) { ready = deflateInit(&stream, level) == Z_OK; }

BlockDeflater::~BlockDeflater() {
  if (ready) deflateEnd(&stream);
}

int32_t BlockDeflater::compress(const char* piece, int32_t size, char* out) {
  if (!ready || deflateReset(&stream) != Z_OK) return 0;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece));
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = reinterpret_cast<Bytef*>(out);
  stream.avail_out = kBlockSize;
  int result = deflate(&stream, Z_FINISH);
  if (result == Z_STREAM_END) return static_cast<int32_t>(stream.total_out);
  // The output buffer filled before the stream ended: the piece is stored.
  if (result == Z_OK || result == Z_BUF_ERROR) return -size;
  return 0;
}

BlockInflater::BlockInflater() { ready = inflateInit(&stream) == Z_OK; }

BlockInflater::~BlockInflater() {
  if (ready) inflateEnd(&stream);
}

int32_t BlockInflater::inflate(const char* payload, int32_t size, char* out) {
  if (!ready || inflateReset(&stream) != Z_OK) return -1;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload));
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = reinterpret_cast<Bytef*>(out);
  stream.avail_out = kBlockSize;
  // A valid block is consumed whole by one call: anything short of the stream
  // end with its Adler-32 checked, or bytes left after it, is damage.
  if (::inflate(&stream, Z_NO_FLUSH) != Z_STREAM_END || stream.avail_in != 0) return -1;
  return static_cast<int32_t>(stream.total_out);
}

}  // namespace backupformat
