#include "rulematcher.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr uint32_t windowWidths[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
constexpr std::size_t windowCount = sizeof windowWidths / sizeof windowWidths[0];

// Odd, so that rolling a byte out of a window (subtracting it times base^width) is
// exact in arithmetic modulo 2^64.
constexpr uint64_t hashBase = 0x100000001b3;

// The widest window not longer than `length` (at least 1), by its index.
std::size_t windowIndexFor(std::size_t length) {
  std::size_t index = 0;
  while (index + 1 < windowCount && windowWidths[index + 1] <= length) index++;
  return index;
}

const unsigned char* bytesOf(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// The polynomial hash of `width` bytes, the first the highest power: the form a
// window keeps as it rolls along a field.
uint64_t rollingHash(const unsigned char* bytes, uint32_t width) {
  uint64_t hash = 0;
  for (uint32_t i = 0; i < width; i++) hash = hash * hashBase + bytes[i];
  return hash;
}

// A window's key: its rolling hash with the width folded in (windows of different
// widths file apart) and mixed so that the top bits (the filter) and the low bits (the
// table) are both evenly spread.
uint64_t keyOf(uint64_t hash, uint32_t width) {
  uint64_t key = hash + width * 0x9e3779b97f4a7c15;
  key = (key ^ (key >> 30)) * 0xbf58476d1ce4e5b9;
  key = (key ^ (key >> 27)) * 0x94d049bb133111eb;
  return key ^ (key >> 31);
}

uint64_t powerOf(uint32_t width) {
  uint64_t power = 1;
  for (uint32_t i = 0; i < width; i++) power *= hashBase;
  return power;
}

}  // namespace

RuleMatcher::RuleMatcher(const std::vector<std::string>& input) {
  struct Filed {
    uint64_t key;
    std::string_view text;
  };
  std::vector<Filed> filed;
  filed.reserve(input.size());
  bool widthUsed[windowCount] = {};
  std::size_t totalBytes = 0;
  for (const std::string& text : input) {
    if (text.empty()) continue;
    const std::size_t index = windowIndexFor(text.size());
    widthUsed[index] = true;
    filed.push_back({keyOf(rollingHash(bytesOf(text), windowWidths[index]), windowWidths[index]), text});
    totalBytes += text.size();
  }
  if (totalBytes > std::numeric_limits<uint32_t>::max()) throw std::length_error("rule texts too large to compile");

  // Sorted by key, equal texts side by side: each key's texts become one run, and
  // duplicates are dropped.
  std::sort(filed.begin(), filed.end(),
            [](const Filed& a, const Filed& b) { return a.key != b.key ? a.key < b.key : a.text < b.text; });
  filed.erase(std::unique(filed.begin(), filed.end(),
                          [](const Filed& a, const Filed& b) { return a.key == b.key && a.text == b.text; }),
              filed.end());

  pool.reserve(totalBytes);
  texts.reserve(filed.size());
  std::size_t keys = 0;
  for (std::size_t i = 0; i < filed.size(); i++) {
    texts.push_back({uint32_t(pool.size()), uint32_t(filed[i].text.size())});
    pool.append(filed[i].text);
    if (i == 0 || filed[i].key != filed[i - 1].key) keys++;
  }
  if (texts.empty()) return;

  std::size_t slotCount = 16;
  while (slotCount < 2 * keys) slotCount *= 2;
  slots.assign(slotCount, Slot{0, 0, 0});
  // 16 filter bits a key: about one window in sixteen that matches nothing reaches
  // the table.
  unsigned filterLog = 9;
  while ((std::size_t(1) << filterLog) < 16 * keys) filterLog++;
  filter.assign((std::size_t(1) << filterLog) / 64, 0);
  filterShift = 64 - filterLog;

  for (std::size_t first = 0; first < filed.size();) {
    std::size_t end = first + 1;
    while (end < filed.size() && filed[end].key == filed[first].key) end++;
    const uint64_t key = filed[first].key;
    std::size_t slot = key & (slotCount - 1);
    while (slots[slot].count != 0) slot = (slot + 1) & (slotCount - 1);
    slots[slot] = {key, uint32_t(first), uint32_t(end - first)};
    const uint64_t bit = key >> filterShift;
    filter[bit >> 6] |= uint64_t(1) << (bit & 63);
    first = end;
  }
  for (std::size_t index = 0; index < windowCount; index++) {
    if (widthUsed[index]) windows.push_back({windowWidths[index], powerOf(windowWidths[index])});
  }
}

bool RuleMatcher::matchesAny(std::string_view field) const {
  if (texts.empty() || field.empty()) return false;
  const unsigned char* bytes = bytesOf(field);
  const std::size_t length = field.size();
  for (const Window& window : windows) {
    if (window.width > length) break;
    uint64_t hash = rollingHash(bytes, window.width);
    for (std::size_t start = 0;; start++) {
      const uint64_t key = keyOf(hash, window.width);
      const uint64_t bit = key >> filterShift;
      if ((filter[bit >> 6] >> (bit & 63) & 1) != 0 && filed(key, field, start)) return true;
      if (start + window.width == length) break;
      hash = hash * hashBase + bytes[start + window.width] - bytes[start] * window.power;
    }
  }
  return false;
}

// Whether a text filed under `key` occurs in `field` at `start`.
bool RuleMatcher::filed(uint64_t key, std::string_view field, std::size_t start) const {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t slot = key & mask; slots[slot].count != 0; slot = (slot + 1) & mask) {
    if (slots[slot].key != key) continue;
    const std::size_t room = field.size() - start;
    for (uint32_t i = slots[slot].first; i < slots[slot].first + slots[slot].count; i++) {
      const TextRef text = texts[i];
      if (text.length <= room && std::memcmp(pool.data() + text.offset, field.data() + start, text.length) == 0) {
        return true;
      }
    }
    return false;  // each key has one slot
  }
  return false;
}
