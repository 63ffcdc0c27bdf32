// The backup archive layout and the small codecs it is built from.
//
// All integers are 32-bit little-endian two's-complement values; texts are byte
// strings preceded by their 32-bit length, without terminator.
//
//   archive   := header entry* int32(0)
//   header    := int32(T) title[T] int32(totalBytes) int32(fileCount)
//   entry     := int32(N > 0) name[N] uint32(dosDate) section
//              | int32(12) "NEXT:DISKddd"      (volume change; nothing follows it)
//   section   := "EC2\0" block* int32(0)
//   block     := int32(L) payload[|L|]          (0 < |L| <= kBlockSize)
//
// A block with L > 0 is one complete zlib stream that inflates to at most
// kBlockSize bytes; L < 0 stores -L bytes as they are. Every block but a file's
// last carries exactly kBlockSize bytes of file data. A continuation volume has
// no header: it starts with the section that continues the interrupted file.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <zlib.h>

namespace backupformat {

constexpr int32_t kBlockSize = 16384;             // largest piece of file data per block
constexpr char kSectionMarker[4] = {'E', 'C', '2', '\0'};
constexpr std::string_view kFileIdListName = "FILE:LIST";
constexpr std::string_view kVolumeChangePrefix = "NEXT:DISK";
constexpr int32_t kVolumeChangeLength = 12;       // "NEXT:DISK" and three digits
constexpr int kLastVolumeNumber = 999;            // volume names carry three digits
// Room a volume keeps free before each block: one block with its length, the
// section end and a volume change record.
constexpr int32_t kVolumeReserve = kBlockSize + 100;

void putInt32(char* at, int32_t value);
int32_t getInt32(const char* at);

// The record text announcing volume `number`: "NEXT:DISK" and its three digits.
std::string volumeChangeText(int number);
// The volume number a record names, or nothing when `text` is no valid record.
std::optional<int> parseVolumeChange(std::string_view text);

// The path of volume `number`: `path` with the extension of its file-name part
// replaced by "." and the number's last three digits ("/bk/data.qbk", 2 gives
// "/bk/data.002"). A name without extension, or a dot file, gets the suffix added.
std::string volumePath(const std::string& path, int number);

// MS-DOS packed date and time in local time: bits 25-31 year - 1980, 21-24 month,
// 16-20 day, 11-15 hour, 5-10 minute, 0-4 seconds / 2. Times outside 1980-2107
// are clamped to the nearest representable one.
uint32_t packDosDate(std::time_t time);
// The time a packed value stands for, or nothing when a field is out of range.
std::optional<std::time_t> unpackDosDate(uint32_t packed);

// The zlib level a TCompressionLevel value stands for (clFastest 0 gives 1,
// clNone 1 gives 0, clDefault 2 gives the library default, clMax 3 gives 9).
int zlibLevel(int compressionLevel);

// Compresses pieces of at most kBlockSize bytes, each into an independent zlib
// stream. The stream is reset between blocks, which is the same as starting a
// fresh one, without allocating the compressor's tables for every block.
class BlockDeflater {
 public:
  explicit BlockDeflater(int level);
  ~BlockDeflater();
  BlockDeflater(const BlockDeflater&) = delete;
  BlockDeflater& operator=(const BlockDeflater&) = delete;

  // Compresses `piece` into `out` (kBlockSize bytes) and returns the block
  // length: the compressed length, or -size when the piece does not fit
  // compressed (the caller then stores the piece itself). Returns 0 on a zlib
  // failure. REQUIRES: 0 <= size <= kBlockSize.
  int32_t compress(const char* piece, int32_t size, char* out);

 private:
  z_stream stream{};
  bool ready = false;
};

// Inflates one block into a kBlockSize buffer.
class BlockInflater {
 public:
  BlockInflater();
  ~BlockInflater();
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;

  // Inflates the zlib stream in `payload` into `out` (kBlockSize bytes) and returns
  // the bytes produced, or -1 unless the payload is exactly one complete stream
  // whose checksum holds and whose data fits into kBlockSize bytes.
  int32_t inflate(const char* payload, int32_t size, char* out);

 private:
  z_stream stream{};
  bool ready = false;
};

}  // namespace backupformat
