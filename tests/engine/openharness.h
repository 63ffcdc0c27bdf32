// Opens damaged copies of small sound database files, the way a file damaged on
// disk would reach the engine. Shared by the fuzz target and the test that replays
// the saved inputs, so both exercise exactly the same paths.
//
// An input is one options byte followed by patches:
//   options: bits 0..1 the access type (read-write, read-only, concurrent read,
//            concurrent update), bit 2 the file to damage: the cleanly closed one,
//            or a copy taken in the middle of a transaction (dirty, its working root
//            ahead of the committed one).
//   patch:   one byte `r | (n - 1) << 3 | op << 6`, two bytes of offset (little
//            endian, taken modulo the area's length), then the patch bytes.
//            r picks the area: 0 and 7 the header, 1 and 3 the first 16 handles of
//            the index of root 0 and root 1 (oid 0, the Metatable, the bitmap
//            pages), 2 and 4 the handles of the user oids of those indexes, 5 the
//            Metatable's record, 6 the table-descriptor records.
//            op 0 writes the n following bytes, op 1 xors them in, op 2 adds the
//            little-endian value of the n bytes to the 32-bit word at the offset,
//            op 3 writes at the offset the 32-bit value of the file picked by the
//            next byte (offsets and handles of its objects and areas, sizes, markers).
//   Patches never write outside their area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace openharness {

// One sound file and the places of it that the patches may change.
struct Image {
  struct Area {
    std::vector<std::pair<size_t, size_t>> pieces;  // offset, length
    size_t length = 0;
  };
  std::vector<char> bytes;
  Area areas[8];
  std::vector<uint32_t> values;  // the words op 3 writes
};

class OpenHarness {
 public:
  // Makes the sound files in `directory`, which must exist and stay while the
  // harness does; damaged copies are opened there as well.
  explicit OpenHarness(const std::string& directory);

  // Opens the copy damaged as `data` says. The engine must refuse it with an open
  // error or open it soundly: the file then passes the consistency check whenever
  // the damage had left it sound (recovery must not make things worse), its tables
  // are read in full when it passes, and it closes. Fatal engine errors end the
  // process. Returns what went wrong, empty when nothing did. `messages` receives
  // the open errors the engine reported.
  std::string replay(const uint8_t* data, size_t size, std::vector<std::string>* messages = nullptr);

  // The damaged file that `data` produces, as replay opens it.
  std::vector<char> damagedImage(const uint8_t* data, size_t size) const;

 private:
  std::string directory;
  std::string name;  // of the database, unique to the process
  Image images[2];
};

}  // namespace openharness
