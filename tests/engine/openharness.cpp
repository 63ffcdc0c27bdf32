#include "openharness.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "check.h"
#include "cursor.h"
#include "database.h"
#include "testsupport.h"

namespace openharness {

namespace {

struct Folder {
  const char* name;
  int32_t count;
  KELDRA_DESCRIBE(Folder, KELDRA_KEY(name, HASHED), KELDRA_FIELD(count));
};

struct Mail {
  const char* sender;
  int32_t size;
  dbReference<Folder> folder;
  dbArray<int32_t> parts;
  KELDRA_DESCRIBE(Mail, KELDRA_KEY(sender, HASHED), KELDRA_KEY(size, INDEXED), KELDRA_FIELD(folder),
                  KELDRA_FIELD(parts));
};

// Open errors are collected; every other error the engine reports ends the process
// (the default ends it for most of them too), so that a damaged file that gets past
// the checks of open and then fails deep inside the engine is a finding.
class HarnessDb : public dbDatabase {
 public:
  using dbDatabase::dbDatabase;
  void reportError(int code, const char* message, int argument) override {
    if (code == dbDatabaseOpenError) {
      messages.push_back(message);
      return;
    }
    fprintf(stderr, "engine error %d with a damaged file: %s (%d)\n", code, message, argument);
    abort();
  }
  std::vector<std::string> messages;
};

// The program's tables, bound to one database.
struct Tables {
  explicit Tables(dbDatabase& db)
      : folder("Folder", &db, sizeof(Folder), &dbDescribeTable<Folder>),
        mail("Mail", &db, sizeof(Mail), &dbDescribeTable<Mail>) {}
  dbTableDescriptor folder;
  dbTableDescriptor mail;
};

constexpr size_t kFileSize = 524288;
constexpr dbAccessType kAccess[] = {dbReadWrite, dbReadOnly, dbConcurrentRead, dbConcurrentUpdate};

template <class T>
T at(const std::vector<char>& bytes, size_t offset) {
  T value{};
  if (offset <= bytes.size() && sizeof value <= bytes.size() - offset) memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

void insertMail(dbDatabase& db, Tables& t, int i, oid_t folder) {
  std::string sender = "sender" + std::to_string(i) + "@example.org";
  int32_t parts[] = {i, i * 2, i * 3};
  Mail mail{sender.c_str(), 1000 + 37 * i, dbReference<Folder>(folder), dbArray<int32_t>(parts, size_t(i % 4))};
  db.insertRecord(&t.mail, &mail);
}

[[noreturn]] void setUpFailed(const char* what) {
  fprintf(stderr, "open harness: %s\n", what);
  abort();
}

// The areas of a sound image the patches may change, and the words op 3 writes.
void describe(Image& image) {
  const std::vector<char>& f = image.bytes;
  const int active = at<int32_t>(f, 4);
  uint32_t indexOffset[2], usedIds[2];
  for (int r = 0; r < 2; r++) {
    indexOffset[r] = at<uint32_t>(f, 16 + 24 * r);
    usedIds[r] = at<uint32_t>(f, 16 + 24 * r + 16);
  }
  const uint32_t used = std::max(usedIds[0], usedIds[1]);
  auto add = [](Image::Area& area, size_t offset, size_t length) {
    area.pieces.emplace_back(offset, length);
    area.length += length;
  };
  add(image.areas[0], 0, sizeof(dbHeader));
  add(image.areas[7], 0, sizeof(dbHeader));
  for (int r = 0; r < 2; r++) {
    add(image.areas[1 + 2 * r], indexOffset[r], 16 * sizeof(uint32_t));
    add(image.areas[2 + 2 * r], indexOffset[r] + dbFirstUserObjectId * 4, (used - dbFirstUserObjectId) * 4);
  }
  auto handle = [&](oid_t oid) { return at<uint32_t>(f, indexOffset[active] + oid * 4); };
  const uint32_t meta = handle(dbMetatableId);
  add(image.areas[5], meta, at<uint32_t>(f, meta));
  for (oid_t row = at<oid_t>(f, meta + offsetof(dbTable, firstRow)); row != 0;) {
    uint32_t h = handle(row);
    add(image.areas[6], h, at<uint32_t>(f, h));
    row = at<oid_t>(f, h + offsetof(dbTable, nextId));
  }

  std::vector<uint32_t>& v = image.values;
  v = {0, 1, 2, 0xFFFFFFFF, 0x7FFFFFFF, dbFreeHandleMarker, dbPageSize, dbFirstUserObjectId, uint32_t(f.size()),
       uint32_t(f.size()) - 16, uint32_t(f.size()) - dbPageSize, uint32_t(f.size()) * 2};
  for (int r = 0; r < 2; r++) {
    for (int i = 0; i < 6; i++) v.push_back(at<uint32_t>(f, 16 + 24 * r + 4 * i));
  }
  for (oid_t oid : {oid_t(1), oid_t(2), oid_t(3)}) v.push_back(handle(oid));
  for (oid_t oid = dbFirstUserObjectId; oid < used && oid < dbFirstUserObjectId + 24; oid++) {
    v.push_back(handle(oid));
    v.push_back(handle(oid) + 1);
    v.push_back(oid);
  }
}

}  // namespace

OpenHarness::OpenHarness(const std::string& dir)
    : directory(dir), name("open_harness" + std::to_string(getpid())) {
  const std::string path = directory + "/sound.kld";
  unlink(path.c_str());
  {
    HarnessDb db(dbReadWrite, kFileSize, 4194304, 0, 1);
    Tables t(db);
    if (!db.open(name.c_str(), path.c_str())) setUpFailed("cannot create the sound file");
    oid_t folders[4];
    for (int i = 0; i < 4; i++) {
      std::string folderName = "folder" + std::to_string(i);
      Folder folder{folderName.c_str(), i};
      folders[i] = db.insertRecord(&t.folder, &folder);
    }
    for (int i = 0; i < 30; i++) insertMail(db, t, i, folders[i % 4]);
    db.commit();
    // A second commit: both roots' indexes hold records, some moved or freed.
    {
      Mail mail{};
      dbAnyCursor typed(t.mail, dbCursorForUpdate, &mail, &db);
      typed.select(dbCursorForUpdate);
      for (int i = 0; i < 10 && !typed.isEmpty(); i++) {
        if (i % 2 == 0) {
          typed.remove();  // moves to the next record
        } else {
          mail.size += 1;
          mail.sender = "changed@example.org";
          typed.update();
          typed.moveNext();
        }
      }
    }
    for (int i = 30; i < 35; i++) insertMail(db, t, i, folders[i % 4]);
    db.commit();
    db.close();
  }
  images[0].bytes = testsupport::readFile(path);
  {
    // A transaction in progress: the copy is what a crash would leave.
    HarnessDb db(dbReadWrite, kFileSize, 4194304, 0, 1);
    Tables t(db);
    if (!db.open(name.c_str(), path.c_str())) setUpFailed("cannot reopen the sound file");
    for (int i = 35; i < 45; i++) insertMail(db, t, i, 0);
    Mail mail{};
    dbAnyCursor typed(t.mail, dbCursorForUpdate, &mail, &db);
    typed.select(dbCursorForUpdate);
    typed.remove();
    mail.size = 5;
    typed.update();
    images[1].bytes = testsupport::readFile(path);
    typed.resetCursor();
    db.rollback();
    db.close();
  }
  for (Image& image : images) {
    if (image.bytes.size() != kFileSize) setUpFailed("the sound file has an unexpected size");
    describe(image);
  }
  unlink(path.c_str());
}

std::vector<char> OpenHarness::damagedImage(const uint8_t* data, size_t size) const {
  if (size == 0) return images[0].bytes;
  const Image& image = images[(data[0] >> 2) & 1];
  std::vector<char> f = image.bytes;
  // The file offset of byte `pos` of an area; false past its end.
  auto locate = [&f](const Image::Area& area, size_t pos, size_t& fileOffset) {
    for (const auto& [start, length] : area.pieces) {
      if (pos < length) {
        fileOffset = start + pos;
        return fileOffset < f.size();
      }
      pos -= length;
    }
    return false;
  };
  size_t i = 1;
  while (i + 3 <= size) {
    const uint8_t h = data[i];
    const Image::Area& area = image.areas[h & 7];
    const size_t n = ((h >> 3) & 7) + 1;
    const int op = h >> 6;
    const size_t offset = area.length == 0 ? 0 : (data[i + 1] | size_t(data[i + 2]) << 8) % area.length;
    i += 3;
    uint8_t patch[8] = {};
    size_t patchLength = 0;
    if (op == 3) {
      if (i >= size) break;
      uint32_t value = image.values[data[i++] % image.values.size()];
      memcpy(patch, &value, 4);
      patchLength = 4;
    } else {
      patchLength = std::min(n, size - i);
      memcpy(patch, data + i, patchLength);
      i += patchLength;
    }
    if (op == 2) {
      // The word at the offset (as far as the area reaches) plus the patch's value.
      uint8_t word[4] = {};
      size_t fileOffset;
      for (size_t k = 0; k < 4 && locate(area, offset + k, fileOffset); k++) word[k] = uint8_t(f[fileOffset]);
      uint32_t value, delta = 0;
      memcpy(&value, word, 4);
      for (size_t k = patchLength; k-- > 0;) delta = delta << 8 | patch[k];
      value += delta;
      memcpy(patch, &value, 4);
      patchLength = 4;
    }
    size_t fileOffset;
    for (size_t k = 0; k < patchLength && locate(area, offset + k, fileOffset); k++) {
      f[fileOffset] = char(op == 1 ? uint8_t(f[fileOffset]) ^ patch[k] : patch[k]);
    }
  }
  return f;
}

std::string OpenHarness::replay(const uint8_t* data, size_t size, std::vector<std::string>* messages) {
  const std::vector<char> damaged = damagedImage(data, size);
  const bool soundBefore = dbCheckImage(damaged.data(), damaged.size()).ok();
  const std::string path = directory + "/damaged.kld";
  if (!testsupport::writeFile(path, damaged)) return "cannot write " + path;
  const dbAccessType access = kAccess[size == 0 ? 0 : data[0] & 3];

  std::string failure;
  {
    HarnessDb db(access, kFileSize, 4194304, 0, 1);
    Tables t(db);
    const bool opened = db.open(name.c_str(), path.c_str());
    if (messages != nullptr) *messages = db.messages;
    if (!opened) return db.messages.empty() ? "open failed without reporting why" : "";
    dbCheckReport report = dbCheckFile(path.c_str());
    if (report.ok()) {
      // The records are read in full through the engine's own paths.
      for (dbTableDescriptor* table : {&t.folder, &t.mail}) {
        Folder folder{};
        Mail mail{};
        void* record = table == &t.folder ? static_cast<void*>(&folder) : static_cast<void*>(&mail);
        dbAnyCursor cursor(*table, dbCursorForReading, record, &db);
        uint32_t selected = cursor.select(dbCursorForReading);
        uint32_t visited = 0;
        for (bool more = !cursor.isEmpty(); more; more = cursor.moveNext()) visited++;
        if (visited != selected) failure = "a table's selection and its walk differ";
      }
      db.commit();
    } else if (soundBefore) {
      failure = "open left a sound file inconsistent: " + report.errors[0];
    }
    db.close();
  }
  if (failure.empty() && soundBefore) {
    dbCheckReport report = dbCheckFile(path.c_str());
    if (!report.ok()) failure = "open and close left a sound file inconsistent: " + report.errors[0];
  }
  return failure;
}

}  // namespace openharness
