// Keldra side by side with SQLite and LMDB: the same workloads on each engine, in
// one run, on the same directory, and one markdown table of the results.
//
//   compare_bench [DIRECTORY] [ROWS] [ROUNDS]      (default: /var/tmp, 1000000, 1)
//
// With several ROUNDS the engines take turns ROUNDS times and each figure is the
// best of its rounds: on a machine shared with other work, the least disturbed.
//
// Rows are (int4 key, 32-character string, bool); keys are 0 .. ROWS-1 inserted in
// a random order, and every 100th row's string contains "abc". The workloads:
//
//   1. bulk insert of ROWS rows in one transaction, the key indexed;
//   2. ROWS/100 (at most 10,000) durable transactions of one insert each;
//   3. ROWS random point lookups by key, 1,000 per read transaction;
//   4. ROWS/10 range queries of 100 consecutive keys, 1,000 per read transaction;
//   5. one full scan for the strings containing "abc";
//   6. ROWS/10 updates (string and bool) by key, committed every 1,000;
//   7. the database file size after workload 1, and the peak resident memory.
//
// Each engine runs in a child process of its own, so that the peak resident size
// (ru_maxrss) is the engine's. Every engine must give the same answers: each
// workload folds the rows it read into a checksum, and the run fails when the
// engines disagree. Two floors of a durable commit on the same directory are
// measured too: one msync(MS_SYNC) of a mapped file with one dirty page (Keldra
// flushes twice per commit), and one 4 KiB pwrite followed by fdatasync.
//
// Engine set-up, each as its own documentation recommends:
//   Keldra  the key is declared HASHED | INDEXED: the hash index answers the point
//           lookups and updates, the T-tree the range queries; both are kept up to
//           date by every insert. Queries with bound variables, compiled once;
//           scans in one thread, as the others do.
//   SQLite  WAL journal with synchronous=FULL, and again with synchronous=NORMAL;
//           the key is the INTEGER PRIMARY KEY (the table's own B-tree); prepared
//           statements; a page cache large enough for the whole database, as the
//           mapped engines have all of it at hand; instr() for the substring. Its
//           file size is taken after the log has been checkpointed into it.
//   LMDB    one environment with default (durable) flags, MDB_INTEGERKEY on the
//           key; cursors for ranges and the scan (memmem on the string).
#include <fcntl.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "keldraCursor.h"

namespace {

[[noreturn]] void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  _exit(1);
}

// ---------------------------------------------------------------------------
// The data

constexpr size_t textLength = 32;
constexpr int32_t rangeWidth = 100;  // keys per range query
constexpr uint32_t batch = 1000;     // operations per read or update transaction

// The string of row `i`: 32 letters, "abc" in every 100th row and nowhere else (the
// other letters are g .. z). Updates write variant 1, of the same length, which
// keeps the "abc" rows as they are.
void makeText(char* out, uint32_t i, int variant) {
  const uint32_t words[3] = {i * 2654435761u, i ^ 0x5bd1e995u, i * 40503u};
  const char* middle = i % 100 == 0 ? "abcd" : variant == 0 ? "wxyz" : "wxzy";
  char* p = out;
  for (int w = 0; w < 3; w++) {
    for (int shift = 28; shift >= 0; shift -= 4) *p++ = char('g' + ((words[w] >> shift) & 15));
    if (w == 0) p = std::copy(middle, middle + 4, p);
  }
  *p = '\0';
}

// What a workload read, folded so that every engine must produce the same value.
struct Sink {
  uint64_t rows = 0;
  uint64_t sum = 0;
  void add(int32_t key, const char* text, size_t length, bool flag) {
    rows += 1;
    uint64_t h = uint64_t(uint32_t(key)) * 31 + (flag ? 7 : 0);
    for (size_t i = 0; i < length; i += 8) h = h * 131 + uint8_t(text[i]);
    sum += h * 0x9E3779B97F4A7C15ull + length;
  }
};

// ---------------------------------------------------------------------------
// The engines: one adapter each, driven by the same workload code.

class Engine {
 public:
  virtual ~Engine() = default;
  virtual void beginWrite() = 0;
  virtual void insert(int32_t key, const char* text, bool flag) = 0;
  virtual void commitWrite() = 0;  // durable when this returns
  virtual void beginRead() = 0;
  virtual void endRead() = 0;
  virtual void lookup(int32_t key, Sink& sink) = 0;
  virtual void range(int32_t from, int32_t till, Sink& sink) = 0;
  virtual void scanContaining(const char* needle, Sink& sink) = 0;
  virtual bool update(int32_t key, const char* text, bool flag) = 0;  // within a write transaction
  virtual uint64_t fileBytes() = 0;
};

uint64_t sizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// --- Keldra

struct KeldraRow {
  int32_t key;
  const char* text;
  bool remove;
  KELDRA_DESCRIBE(KeldraRow, KELDRA_KEY(key, HASHED | INDEXED), KELDRA_FIELD(text), KELDRA_FIELD(remove));
};
KELDRA_TABLE(KeldraRow);

class KeldraEngine : public Engine {
 public:
  explicit KeldraEngine(const std::string& dir)
      : path(dir + "/compare_bench.kld"), db(dbReadWrite, 0, 4194304, 65536, 1),
        reader(dbCursorForReading, &db), updater(dbCursorForUpdate, &db) {
    unlink(path.c_str());
    if (!db.open(("comparebench" + std::to_string(getpid())).c_str(), path.c_str())) fail("cannot open %s", path.c_str());
    byKey = "key=", key;
    byRange = "key between", from, "and", till;
  }
  ~KeldraEngine() override {
    db.close();
    unlink(path.c_str());
  }
  void beginWrite() override {}  // the first change takes the lock
  void insert(int32_t k, const char* text, bool flag) override {
    KeldraRow row{k, text, flag};
    db.insertRecord(&KeldraRow_descriptor, &row);
  }
  void commitWrite() override { db.commit(); }
  void beginRead() override {}
  void endRead() override { db.commit(); }  // releases the shared lock
  void lookup(int32_t k, Sink& sink) override {
    key = k;
    if (reader.select(byKey) != 0) sink.add(reader->key, reader->text, strlen(reader->text), reader->remove);
  }
  void range(int32_t f, int32_t t, Sink& sink) override {
    from = f, till = t;
    if (reader.select(byRange) == 0) return;
    do {
      sink.add(reader->key, reader->text, strlen(reader->text), reader->remove);
    } while (reader.next() != nullptr);
  }
  void scanContaining(const char* needle, Sink& sink) override {
    const std::string pattern = std::string("%") + needle + "%";  // read when the query runs
    dbQuery q;
    q = "text like", pattern.c_str();
    if (reader.select(q) == 0) return;
    do {
      sink.add(reader->key, reader->text, strlen(reader->text), reader->remove);
    } while (reader.next() != nullptr);
  }
  bool update(int32_t k, const char* text, bool flag) override {
    key = k;
    if (updater.select(byKey) != 1) return false;
    updater->text = text;
    updater->remove = flag;
    updater.update();
    return true;
  }
  uint64_t fileBytes() override { return sizeOf(path); }

 private:
  std::string path;
  keldraDatabase db;
  keldraCursor<KeldraRow> reader;
  keldraCursor<KeldraRow> updater;
  dbQuery byKey, byRange;
  int32_t key = 0, from = 0, till = 0;
};

// --- SQLite

class SqliteEngine : public Engine {
 public:
  SqliteEngine(const std::string& dir, const char* synchronous) : path(dir + "/compare_bench.sqlite") {
    removeFiles();
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("cannot open %s", path.c_str());
    exec("PRAGMA journal_mode=WAL");
    exec((std::string("PRAGMA synchronous=") + synchronous).c_str());
    exec("PRAGMA cache_size=-1048576");  // up to 1 GiB: the whole database stays cached
    exec("CREATE TABLE t(key INTEGER PRIMARY KEY, text TEXT NOT NULL, flag INTEGER NOT NULL)");
    insertStmt = prepare("INSERT INTO t(key, text, flag) VALUES (?1, ?2, ?3)");
    lookupStmt = prepare("SELECT key, text, flag FROM t WHERE key = ?1");
    rangeStmt = prepare("SELECT key, text, flag FROM t WHERE key BETWEEN ?1 AND ?2");
    scanStmt = prepare("SELECT key, text, flag FROM t WHERE instr(text, ?1) > 0");
    updateStmt = prepare("UPDATE t SET text = ?2, flag = ?3 WHERE key = ?1");
    beginStmt = prepare("BEGIN");
    commitStmt = prepare("COMMIT");
  }
  ~SqliteEngine() override {
    for (sqlite3_stmt* s : {insertStmt, lookupStmt, rangeStmt, scanStmt, updateStmt, beginStmt, commitStmt}) {
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    removeFiles();
  }
  void beginWrite() override { run(beginStmt); }
  void insert(int32_t key, const char* text, bool flag) override {
    sqlite3_bind_int(insertStmt, 1, key);
    sqlite3_bind_text(insertStmt, 2, text, -1, SQLITE_STATIC);
    sqlite3_bind_int(insertStmt, 3, flag);
    run(insertStmt);
  }
  void commitWrite() override { run(commitStmt); }
  void beginRead() override { run(beginStmt); }
  void endRead() override { run(commitStmt); }
  void lookup(int32_t key, Sink& sink) override {
    sqlite3_bind_int(lookupStmt, 1, key);
    rows(lookupStmt, sink);
  }
  void range(int32_t from, int32_t till, Sink& sink) override {
    sqlite3_bind_int(rangeStmt, 1, from);
    sqlite3_bind_int(rangeStmt, 2, till);
    rows(rangeStmt, sink);
  }
  void scanContaining(const char* needle, Sink& sink) override {
    sqlite3_bind_text(scanStmt, 1, needle, -1, SQLITE_STATIC);
    rows(scanStmt, sink);
  }
  bool update(int32_t key, const char* text, bool flag) override {
    sqlite3_bind_int(updateStmt, 1, key);
    sqlite3_bind_text(updateStmt, 2, text, -1, SQLITE_STATIC);
    sqlite3_bind_int(updateStmt, 3, flag);
    run(updateStmt);
    return sqlite3_changes(db) == 1;
  }
  uint64_t fileBytes() override {
    // The log is copied into the database file and emptied: what remains is the data.
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return sizeOf(path) + sizeOf(path + "-wal");
  }

 private:
  void removeFiles() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
  }
  void exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) fail("sqlite: %s: %s", sql, error);
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
      fail("sqlite: %s: %s", sql, sqlite3_errmsg(db));
    }
    return s;
  }
  void run(sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) fail("sqlite: %s: %s", sqlite3_sql(s), sqlite3_errmsg(db));
    sqlite3_reset(s);
  }
  void rows(sqlite3_stmt* s, Sink& sink) {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
      sink.add(sqlite3_column_int(s, 0), text, size_t(sqlite3_column_bytes(s, 1)), sqlite3_column_int(s, 2) != 0);
    }
    if (rc != SQLITE_DONE) fail("sqlite: %s: %s", sqlite3_sql(s), sqlite3_errmsg(db));
    sqlite3_reset(s);
  }

  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt *insertStmt, *lookupStmt, *rangeStmt, *scanStmt, *updateStmt, *beginStmt, *commitStmt;
};

// --- LMDB

class LmdbEngine : public Engine {
 public:
  LmdbEngine(const std::string& dir, uint32_t rows) : path(dir + "/compare_bench.lmdb") {
    removeFiles();
    mkdir(path.c_str(), 0700);
    check(mdb_env_create(&env), "env_create");
    check(mdb_env_set_mapsize(env, std::max<size_t>(size_t(rows) * 1024, size_t(64) << 20)), "set_mapsize");
    check(mdb_env_open(env, path.c_str(), 0, 0600), "env_open");
    MDB_txn* txn = nullptr;
    check(mdb_txn_begin(env, nullptr, 0, &txn), "txn_begin");
    check(mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi), "dbi_open");
    check(mdb_txn_commit(txn), "txn_commit");
    check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &readTxn), "txn_begin");
    check(mdb_cursor_open(readTxn, dbi, &readCursor), "cursor_open");
    mdb_txn_reset(readTxn);
  }
  ~LmdbEngine() override {
    mdb_cursor_close(readCursor);
    mdb_txn_abort(readTxn);
    mdb_env_close(env);
    removeFiles();
  }
  // Stored value: the bool as one byte, then the string's characters.
  void beginWrite() override { check(mdb_txn_begin(env, nullptr, 0, &writeTxn), "txn_begin"); }
  void insert(int32_t key, const char* text, bool flag) override { put(key, text, flag, MDB_NOOVERWRITE); }
  void commitWrite() override {
    check(mdb_txn_commit(writeTxn), "txn_commit");
    writeTxn = nullptr;
  }
  void beginRead() override {
    check(mdb_txn_renew(readTxn), "txn_renew");
    check(mdb_cursor_renew(readTxn, readCursor), "cursor_renew");
  }
  void endRead() override { mdb_txn_reset(readTxn); }
  void lookup(int32_t key, Sink& sink) override {
    uint32_t k = uint32_t(key);
    MDB_val mk{sizeof k, &k}, value;
    if (mdb_get(readTxn, dbi, &mk, &value) == 0) add(sink, mk, value);
  }
  void range(int32_t from, int32_t till, Sink& sink) override {
    uint32_t k = uint32_t(from);
    MDB_val mk{sizeof k, &k}, value;
    for (int rc = mdb_cursor_get(readCursor, &mk, &value, MDB_SET_RANGE);
         rc == 0 && keyOf(mk) <= uint32_t(till);
         rc = mdb_cursor_get(readCursor, &mk, &value, MDB_NEXT)) {
      add(sink, mk, value);
    }
  }
  void scanContaining(const char* needle, Sink& sink) override {
    MDB_val mk, value;
    const size_t n = strlen(needle);
    for (int rc = mdb_cursor_get(readCursor, &mk, &value, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(readCursor, &mk, &value, MDB_NEXT)) {
      if (memmem(static_cast<const char*>(value.mv_data) + 1, value.mv_size - 1, needle, n) != nullptr) {
        add(sink, mk, value);
      }
    }
  }
  bool update(int32_t key, const char* text, bool flag) override {
    uint32_t k = uint32_t(key);
    MDB_val mk{sizeof k, &k}, value;
    if (mdb_get(writeTxn, dbi, &mk, &value) != 0) return false;
    put(key, text, flag, 0);
    return true;
  }
  uint64_t fileBytes() override { return sizeOf(path + "/data.mdb"); }

 private:
  static void check(int rc, const char* what) {
    if (rc != 0) fail("lmdb: %s: %s", what, mdb_strerror(rc));
  }
  // Keys inside LMDB's pages are aligned to 2 bytes only.
  static uint32_t keyOf(const MDB_val& key) {
    uint32_t k;
    memcpy(&k, key.mv_data, sizeof k);
    return k;
  }
  static void add(Sink& sink, const MDB_val& key, const MDB_val& value) {
    const char* v = static_cast<const char*>(value.mv_data);
    sink.add(int32_t(keyOf(key)), v + 1, value.mv_size - 1, v[0] != 0);
  }
  void put(int32_t key, const char* text, bool flag, unsigned flags) {
    uint32_t k = uint32_t(key);
    const size_t length = strlen(text);
    MDB_val mk{sizeof k, &k}, value{length + 1, nullptr};
    check(mdb_put(writeTxn, dbi, &mk, &value, flags | MDB_RESERVE), "put");
    char* v = static_cast<char*>(value.mv_data);
    v[0] = char(flag);
    memcpy(v + 1, text, length);
  }
  void removeFiles() {
    unlink((path + "/data.mdb").c_str());
    unlink((path + "/lock.mdb").c_str());
    rmdir(path.c_str());
  }

  std::string path;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  MDB_txn* writeTxn = nullptr;
  MDB_txn* readTxn = nullptr;
  MDB_cursor* readCursor = nullptr;
};

// ---------------------------------------------------------------------------
// The workloads

enum Workload { bulkInsert, durableInsert, pointLookup, rangeQuery, substringScan, updateByKey, workloadCount };

struct Results {
  double seconds[workloadCount] = {};  // per operation
  Sink sink[workloadCount];
  uint64_t fileBytes = 0;              // after the bulk insert
  long peakRssKb = 0;
};

struct Sizes {
  uint32_t rows;
  uint32_t durable;  // one-insert transactions
  uint32_t lookups;
  uint32_t ranges;
  uint32_t updates;
};

// Runs every workload on `engine`, in order.
Results drive(Engine& engine, const Sizes& n) {
  Results r;
  char text[textLength + 1];
  std::vector<int32_t> order(n.rows);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(1));

  double start = nowSeconds();
  engine.beginWrite();
  for (int32_t key : order) {
    makeText(text, uint32_t(key), 0);
    engine.insert(key, text, key % 3 == 0);
  }
  engine.commitWrite();
  r.seconds[bulkInsert] = (nowSeconds() - start) / n.rows;
  r.sink[bulkInsert].rows = n.rows;
  r.fileBytes = engine.fileBytes();

  start = nowSeconds();
  for (uint32_t i = 0; i < n.durable; i++) {
    const int32_t key = int32_t(n.rows + i);
    makeText(text, uint32_t(key), 0);
    engine.beginWrite();
    engine.insert(key, text, key % 3 == 0);
    engine.commitWrite();
  }
  r.seconds[durableInsert] = (nowSeconds() - start) / n.durable;
  r.sink[durableInsert].rows = n.durable;

  // Reads and updates run in transactions of `batch` operations.
  auto batched = [&](Workload w, uint32_t count, bool write, auto&& operation) {
    std::mt19937 rng{uint32_t(w)};
    double begin = nowSeconds();
    for (uint32_t i = 0; i < count; i++) {
      if (i % batch == 0) write ? engine.beginWrite() : engine.beginRead();
      operation(rng);
      if ((i + 1) % batch == 0 || i + 1 == count) write ? engine.commitWrite() : engine.endRead();
    }
    r.seconds[w] = (nowSeconds() - begin) / count;
  };
  std::uniform_int_distribution<int32_t> anyKey(0, int32_t(n.rows) - 1);
  batched(pointLookup, n.lookups, false, [&](std::mt19937& rng) { engine.lookup(anyKey(rng), r.sink[pointLookup]); });
  std::uniform_int_distribution<int32_t> anyStart(0, int32_t(n.rows) - rangeWidth);
  batched(rangeQuery, n.ranges, false, [&](std::mt19937& rng) {
    int32_t from = anyStart(rng);
    engine.range(from, from + rangeWidth - 1, r.sink[rangeQuery]);
  });

  start = nowSeconds();
  engine.beginRead();
  engine.scanContaining("abc", r.sink[substringScan]);
  engine.endRead();
  r.seconds[substringScan] = nowSeconds() - start;

  batched(updateByKey, n.updates, true, [&](std::mt19937& rng) {
    const int32_t key = anyKey(rng);
    makeText(text, uint32_t(key), 1);
    if (engine.update(key, text, key % 3 != 0)) r.sink[updateByKey].rows += 1;
  });
  return r;
}

// ---------------------------------------------------------------------------
// The floors of a durable commit

// One msync(MS_SYNC) of a mapped file with a single dirty page, and one 4 KiB
// pwrite followed by fdatasync; seconds each, the mean of `count` tries (the mean,
// as for the engines' transactions, so that the device's slow moments count alike).
void commitFloors(const std::string& dir, uint32_t count, double& msyncSeconds, double& fdatasyncSeconds) {
  const std::string path = dir + "/compare_bench.floor";
  const size_t size = size_t(16) << 20;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, off_t(size)) != 0) fail("cannot create %s", path.c_str());
  char* map = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (map == MAP_FAILED) fail("cannot map %s", path.c_str());
  for (size_t i = 0; i < size; i += 4096) map[i] = 1;  // every page allocated
  msync(map, size, MS_SYNC);
  double start = nowSeconds();
  for (uint32_t i = 0; i < count; i++) {
    map[(i % 64) * 4096 + 100] += 1;
    if (msync(map, size, MS_SYNC) != 0) fail("msync: %s", strerror(errno));
  }
  msyncSeconds = (nowSeconds() - start) / count;
  munmap(map, size);
  char page[4096];
  memset(page, 'x', sizeof page);
  start = nowSeconds();
  for (uint32_t i = 0; i < count; i++) {
    page[0] = char(i);
    if (pwrite(fd, page, sizeof page, off_t((i % 64) * 4096)) != ssize_t(sizeof page) || fdatasync(fd) != 0) {
      fail("pwrite + fdatasync: %s", strerror(errno));
    }
  }
  fdatasyncSeconds = (nowSeconds() - start) / count;
  ::close(fd);
  unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// The run

struct EngineInfo {
  const char* name;
  std::unique_ptr<Engine> (*make)(const std::string& dir, uint32_t rows);
};

const EngineInfo engines[] = {
    {"Keldra", [](const std::string& d, uint32_t) -> std::unique_ptr<Engine> { return std::make_unique<KeldraEngine>(d); }},
    {"SQLite WAL FULL",
     [](const std::string& d, uint32_t) -> std::unique_ptr<Engine> { return std::make_unique<SqliteEngine>(d, "FULL"); }},
    {"SQLite WAL NORMAL",
     [](const std::string& d, uint32_t) -> std::unique_ptr<Engine> { return std::make_unique<SqliteEngine>(d, "NORMAL"); }},
    {"LMDB", [](const std::string& d, uint32_t rows) -> std::unique_ptr<Engine> { return std::make_unique<LmdbEngine>(d, rows); }},
};
constexpr size_t engineCount = sizeof engines / sizeof engines[0];

// Runs one engine in a child process and returns its results through a pipe.
Results runInChild(const EngineInfo& info, const std::string& dir, const Sizes& n) {
  int channel[2];
  if (pipe(channel) != 0) fail("pipe: %s", strerror(errno));
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) fail("fork: %s", strerror(errno));
  if (child == 0) {
    close(channel[0]);
    Results r;
    {
      std::unique_ptr<Engine> engine = info.make(dir, n.rows);
      r = drive(*engine, n);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    r.peakRssKb = usage.ru_maxrss;
    if (write(channel[1], &r, sizeof r) != ssize_t(sizeof r)) _exit(1);
    _exit(0);
  }
  close(channel[1]);
  Results r;
  const ssize_t got = read(channel[0], &r, sizeof r);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got != ssize_t(sizeof r) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("%s: the run failed", info.name);
  return r;
}

std::string duration(double seconds) {
  char out[32];
  if (seconds < 1e-6) snprintf(out, sizeof out, "%.0f ns", seconds * 1e9);
  else if (seconds < 1e-3) snprintf(out, sizeof out, "%.2f µs", seconds * 1e6);
  else if (seconds < 1) snprintf(out, sizeof out, "%.2f ms", seconds * 1e3);
  else snprintf(out, sizeof out, "%.2f s", seconds);
  return out;
}

std::string mebibytes(double bytes) {
  char out[32];
  snprintf(out, sizeof out, "%.1f MiB", bytes / 1048576);
  return out;
}

// One table row: the value of each engine, then the other engines' values divided
// by Keldra's (above 1: Keldra is faster or smaller).
void printRow(const std::string& label, const double (&value)[engineCount], std::string (*format)(double)) {
  printf("| %s |", label.c_str());
  for (double v : value) printf(" %s |", format(v).c_str());
  for (size_t e = 1; e < engineCount; e++) {
    const double ratio = value[e] / value[0];
    printf(ratio < 0.1 ? " %.3f× |" : " %.2f× |", ratio);
  }
  printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/var/tmp";
  const unsigned long rows = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1000000;
  const unsigned long rounds = argc > 3 ? strtoul(argv[3], nullptr, 10) : 1;
  if (rows < 1000 || rows > 100000000 || rounds < 1 || rounds > 100) {
    fprintf(stderr, "usage: compare_bench [DIRECTORY] [ROWS] [ROUNDS]   (1000 <= ROWS <= 100000000, 1 <= ROUNDS <= 100)\n");
    return 2;
  }
  Sizes n;
  n.rows = uint32_t(rows);
  n.durable = std::min<uint32_t>(10000, n.rows / 100);
  n.lookups = n.rows;
  n.ranges = n.rows / 10;
  n.updates = n.rows / 10;

  // Every engine must read the same rows in every round.
  const uint64_t expected[workloadCount] = {n.rows, n.durable, n.lookups, n.ranges * uint64_t(rangeWidth),
                                            (n.rows + n.durable + 99) / 100, n.updates};
  auto verify = [&](const Results (&round)[engineCount]) {
    for (int w = 0; w < workloadCount; w++) {
      for (size_t e = 0; e < engineCount; e++) {
        const Sink& s = round[e].sink[w];
        if (s.rows != expected[w] || s.sum != round[0].sink[w].sum) {
          fail("workload %d: %s read %llu rows (checksum %llx), expected %llu rows (checksum %llx)", w + 1,
               engines[e].name, (unsigned long long)s.rows, (unsigned long long)s.sum,
               (unsigned long long)expected[w], (unsigned long long)round[0].sink[w].sum);
        }
      }
    }
  };

  // The floors are measured in the same rounds as the engines' durable transactions.
  double msyncFloor = 0, fdatasyncFloor = 0;
  Results results[engineCount];
  for (unsigned long r = 0; r < rounds; r++) {
    double m = 0, f = 0;
    commitFloors(dir, std::min<uint32_t>(n.durable, 1000), m, f);
    msyncFloor = r == 0 ? m : std::min(msyncFloor, m);
    fdatasyncFloor = r == 0 ? f : std::min(fdatasyncFloor, f);
    Results round[engineCount];
    for (size_t e = 0; e < engineCount; e++) round[e] = runInChild(engines[e], dir, n);
    verify(round);
    for (size_t e = 0; e < engineCount; e++) {
      for (int w = 0; w < workloadCount && r > 0; w++) {
        round[e].seconds[w] = std::min(round[e].seconds[w], results[e].seconds[w]);
      }
      results[e] = round[e];
    }
  }

  printf("%u rows in %s, best of %lu round(s); time per operation, and each engine's figure divided by Keldra's\n\n",
         n.rows, dir.c_str(), rounds);
  printf("| workload |");
  for (const EngineInfo& e : engines) printf(" %s |", e.name);
  for (size_t e = 1; e < engineCount; e++) printf(" %s ÷ Keldra |", engines[e].name);
  printf("\n|---|");
  for (size_t e = 0; e < 2 * engineCount - 1; e++) printf("---:|");
  printf("\n");
  const std::string labels[workloadCount] = {
      "1. bulk insert, one transaction (per row)",
      "2. durable transaction of one insert (" + std::to_string(n.durable) + ")",
      "3. point lookup by key (" + std::to_string(n.lookups) + ")",
      "4. range query, 100 rows (" + std::to_string(n.ranges) + ")",
      "5. full scan, string contains \"abc\" (whole scan)",
      "6. update by key, commit every 1000 (" + std::to_string(n.updates) + ")",
  };
  double value[engineCount];
  for (int w = 0; w < workloadCount; w++) {
    for (size_t e = 0; e < engineCount; e++) value[e] = results[e].seconds[w];
    printRow(labels[w], value, duration);
  }
  for (size_t e = 0; e < engineCount; e++) value[e] = double(results[e].fileBytes);
  printRow("7a. file size after workload 1", value, mebibytes);
  for (size_t e = 0; e < engineCount; e++) value[e] = double(results[e].peakRssKb) * 1024;
  printRow("7b. peak resident memory", value, mebibytes);
  printf("\nFloors of a durable commit on the same directory: one msync(MS_SYNC) of one dirty mapped page %s, "
         "one 4 KiB pwrite + fdatasync %s.\nDurable transaction of one insert: Keldra %.2f× the msync floor",
         duration(msyncFloor).c_str(), duration(fdatasyncFloor).c_str(), results[0].seconds[durableInsert] / msyncFloor);
  for (size_t e = 1; e < engineCount; e++) {
    printf(", %s %.2f×", engines[e].name, results[e].seconds[durableInsert] / fdatasyncFloor);
  }
  printf(" the fdatasync floor.\n");
  return 0;
}
