// One rule list compiled for the only question classification asks of it: does any
// of its texts occur in a field? Walking the list costs one substring search per
// text; the matcher costs about one hash probe per field position for each of a few
// window widths, however many texts the list holds, so block lists of a hundred
// thousand addresses classify nearly as fast as a handful.
//
// Each text is filed under the hash of its first w bytes, w the widest of the window
// widths 1, 2, 3, 4, 6, 8, 12, 16, 24 and 32 that is not longer than the text. A search
// slides every width some text uses over the field and tests each window's hash
// against a bit filter; only on a hit does it look the hash up and compare the texts
// filed under it with the field at that place, byte for byte. Hash collisions cost a
// comparison, never a wrong answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class RuleMatcher {
 public:
  // Matches nothing.
  RuleMatcher() = default;
  // Empty texts are left out (they never match); a text given twice is filed once.
  // Throws std::length_error when the texts hold more than 4 GiB.
  explicit RuleMatcher(const std::vector<std::string>& texts);

  // Whether one of the texts occurs in `field` as it is, byte for byte; never for an
  // empty field. Safe to call from several threads at once.
  bool matchesAny(std::string_view field) const;

  // The distinct non-empty texts filed.
  std::size_t textCount() const { return texts.size(); }

 private:
  struct Window {
    uint32_t width;
    uint64_t power;  // the hash base raised to `width`, to roll a byte out
  };
  struct TextRef {
    uint32_t offset;  // in `pool`
    uint32_t length;
  };
  // One slot of the open-addressed table: the texts filed under `key`, texts[first]
  // onwards; count 0 marks a free slot.
  struct Slot {
    uint64_t key;
    uint32_t first;
    uint32_t count;
  };

  bool filed(uint64_t key, std::string_view field, std::size_t start) const;

  std::string pool;             // the texts' bytes, in the order of `texts`
  std::vector<TextRef> texts;   // grouped by key
  std::vector<Window> windows;  // the widths in use, narrowest first
  std::vector<uint64_t> filter; // one bit set for each key
  unsigned filterShift = 0;     // a key's top bits select its filter bit
  std::vector<Slot> slots;      // a power of two, at most half used
};
