// Read-only consistency check of a database file's committed state.
//
// The checker reads the header, the committed object index and the committed
// allocation bitmap and verifies that they agree: every live object lies inside the
// file and in space the bitmap marks as used, no two owners of space overlap, no
// space is marked without an owner, and the free oid chain is well formed. It then
// reads the tables: the Metatable and every table-descriptor record decode, each
// table's row chain is doubly linked from firstRow to lastRow with nRows records,
// and the strings and arrays of every record lie inside it. Each hash index a field
// entry names has sound chains of live items, each in the bucket of its stored hash,
// which matches the hash of the record's key; every row lies in exactly one item. The
// other root's index belongs to a transaction that may be in progress: only its
// bounds are checked, and its area must not overlap anything committed. In a clean
// file no transaction is in progress: the other root must be the committed root's
// twin (each naming the other's area) and its index a copy of the committed one.
//
// It never writes, needs no open database and tolerates any damage: every offset and
// size is validated before it is read through, and every chain walk is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct dbCheckReport {
  std::vector<std::string> errors;  // one line each; long runs of one kind are capped
  uint64_t liveObjects = 0;   // oids of the committed index whose handle is in use
  uint64_t usedBytes = 0;     // bytes inside the file marked in the committed bitmap
  uint64_t unownedBytes = 0;  // of those, bytes that nothing owns
  uint64_t tables = 0;        // descriptor records reached along the Metatable's row chain
  uint64_t rows = 0;          // records reached along those tables' row chains
  bool unreadable = false;    // dbCheckFile could not open or map the file; errors say why
  bool ok() const { return errors.empty(); }
};

// Checks the file at `path`, mapped read-only.
dbCheckReport dbCheckFile(const char* path);

// Checks a file image of `size` bytes at `base`. `base` needs no particular alignment.
dbCheckReport dbCheckImage(const char* base, size_t size);

// The part of the check that opening a file relies on, at the cost of reading the
// index rather than the whole file: the header, the committed root and its twin area
// (and, in a clean file, the working root and index, which must equal them), oid 0
// and the bitmap pages, the Metatable and every table descriptor, each table's first
// and last rows and its index headers as live objects of their kind, no overlap
// between any of those and the header page, index areas and bitmap pages, and the
// free oid chain. The working root of a dirty file is not checked: recovery replaces it.
// `rows` stays 0.
dbCheckReport dbCheckStructure(const char* base, size_t size);
