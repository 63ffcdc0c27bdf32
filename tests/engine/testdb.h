// A database object that opens its protected operations to the engine's tests.
#pragma once

#include <string>

#include "database.h"

class TestDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  using dbDatabase::allocateObjectId;
  using dbDatabase::allocateRecord;
  using dbDatabase::allocateSpace;
  using dbDatabase::baseAddress;
  using dbDatabase::committedIndex;
  using dbDatabase::fileHeader;
  using dbDatabase::freeObject;
  using dbDatabase::freeObjectId;
  using dbDatabase::freeSpace;
  using dbDatabase::getMonitor;
  using dbDatabase::getWorkingIdCount;
  using dbDatabase::isModified;
  using dbDatabase::getCommittedIdCount;
  using dbDatabase::getObject;
  using dbDatabase::getObjectForUpdate;
  using dbDatabase::getRecord;
  using dbDatabase::getRecordForUpdate;
  using dbDatabase::getTableRecord;
  using dbDatabase::rollback;
  using dbDatabase::isSharedWithCommitted;
  using dbDatabase::lockDatabase;
  using dbDatabase::resizeRecord;

  uint32_t handle(oid_t oid) const { return currIndex[oid]; }
  uint32_t committedHandle(oid_t oid) const { return committedIndex()[oid]; }
  dbRoot& workingRoot() const { return fileHeader()->root[1 - fileHeader()->activeRoot]; }
  dbRoot& committedRoot() const { return fileHeader()->root[fileHeader()->activeRoot]; }
  uint32_t fileSize() const { return fileHeader()->size; }

  // Whether the quantum at `offset` is marked in the working (or committed) bitmap.
  bool isMarked(offs_t offset, bool committed = false) const {
    uint32_t quantum = offset / dbAllocationQuantum;
    oid_t page = dbFirstBitmapId + quantum / (dbPageSize * 8);
    uint32_t h = committed ? committedHandle(page) : handle(page);
    const uint8_t* bits = reinterpret_cast<const uint8_t*>(baseAddress() + (h & ~15u));
    uint32_t bit = quantum % (dbPageSize * 8);
    return (bits[bit / 8] >> (bit % 8)) & 1;
  }
  // Free quanta at the end of the working bitmap's last existing page.
  uint32_t freeQuantaAtEnd() const {
    oid_t last = dbFirstBitmapId;
    while (last + 1 < dbFirstUserObjectId && handle(last + 1) != dbFreeHandleMarker) last++;
    uint32_t segmentEnd = (last - dbFirstBitmapId + 1) * dbSegmentSize;
    uint32_t run = 0;
    while (run < dbPageSize * 8 && !isMarked(segmentEnd - (run + 1) * dbAllocationQuantum)) run++;
    return run;
  }
  bool beginWrite() { return lockDatabase(dbExclusiveLock); }
  bool beginRead() { return lockDatabase(dbSharedLock); }
};
