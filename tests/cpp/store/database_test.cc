#include <fcntl.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/held_directory.h"
#include "fullmap/store/fault_guard.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/store_error.h"
#include "fullmap/store/writable_database.h"
#include "store_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;

constexpr TableDef<uint16_t, Text> kNames{"names"};
constexpr TableDef<uint64_t, Bytes> kBlobs{"blobs"};
constexpr TableDef<uint64_t, Text> kBlobsAsText{"blobs"};
constexpr TableDef<uint32_t, Bytes> kBlobsAsU32{"blobs"};

// Builds the text with append: g++ 12 warns falsely on "literal" + string.
std::string name_of(uint64_t k) {
  std::string s = "n";
  s.append(std::to_string(k));
  return s;
}

std::vector<std::pair<uint64_t, std::string>> scan_blobs(const ReadOnlyDatabase& db) {
  std::vector<std::pair<uint64_t, std::string>> out;
  auto txn = db.begin_read();
  EXPECT_TRUE(txn) << txn.error().message;
  auto table = txn->open_table(kBlobs);
  EXPECT_TRUE(table) << table.error().message;
  auto status = table->scan([&](uint64_t k, std::string_view v) { out.emplace_back(k, v); });
  EXPECT_TRUE(status) << status.error().message;
  return out;
}

TEST(StoreDatabase, IntegerKeysScanInNumericOrderAndGetsFindValues) {
  ScratchDir dir;
  const auto path = dir / "t.db";
  {
    auto db = WritableDatabase::create(path, 0);
    ASSERT_TRUE(db) << db.error().message;
    auto txn = db->begin_write();
    ASSERT_TRUE(txn);
    auto names = txn->open_table(kNames);
    ASSERT_TRUE(names);
    // Byte order and numeric order differ for these in little-endian form.
    for (uint16_t k : {256, 1, 65535, 0, 2}) ASSERT_TRUE(names->insert(k, name_of(k)));
    auto blobs = txn->open_table(kBlobs);
    ASSERT_TRUE(blobs);
    ASSERT_TRUE(blobs->insert(1ull << 40, std::string("\0\xff", 2)));
    ASSERT_TRUE(blobs->insert(7, ""));
    ASSERT_TRUE(txn->commit());
    ASSERT_TRUE(db->close());
  }
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = (*db)->begin_read();
  ASSERT_TRUE(txn);
  auto names = txn->open_table(kNames);
  ASSERT_TRUE(names);
  std::vector<uint16_t> keys;
  ASSERT_TRUE(names->scan([&](uint16_t k, std::string_view v) {
    EXPECT_EQ(v, name_of(k));
    keys.push_back(k);
  }));
  EXPECT_EQ(keys, (std::vector<uint16_t>{0, 1, 2, 256, 65535}));
  auto hit = names->get(256);
  ASSERT_TRUE(hit);
  ASSERT_TRUE(*hit);
  EXPECT_EQ(**hit, "n256");
  auto miss = names->get(3);
  ASSERT_TRUE(miss);
  EXPECT_FALSE(*miss);

  const auto blobs = scan_blobs(**db);
  ASSERT_EQ(blobs.size(), 2u);
  EXPECT_EQ(blobs[0], (std::pair<uint64_t, std::string>{7, ""}));
  EXPECT_EQ(blobs[1], (std::pair<uint64_t, std::string>{1ull << 40, std::string("\0\xff", 2)}));

  // A scan stops at the first error its callback returns.
  int seen = 0;
  auto stopped = names->scan([&](uint16_t, std::string_view) -> Status {
    if (++seen == 2) return fail_runtime("stop here");
    return {};
  });
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().message, "stop here");
  EXPECT_EQ(seen, 2);
}

TEST(StoreDatabase, AppendFallsBackToReplacingInsertForKeysNotAboveTheLast) {
  ScratchDir dir;
  const auto path = dir / "append.db";
  {
    auto db = WritableDatabase::create(path, 0);
    ASSERT_TRUE(db);
    auto txn = db->begin_write();
    auto blobs = txn->open_table(kBlobs);
    ASSERT_TRUE(blobs);
    ASSERT_TRUE(blobs->append(10, "a"));
    ASSERT_TRUE(blobs->append(20, "b"));
    ASSERT_TRUE(blobs->append(20, "b2"));  // equal to the last key: replaces
    ASSERT_TRUE(blobs->append(5, "c"));    // below the last key: inserted in order
    ASSERT_TRUE(blobs->append(10, "a2"));  // existing key in the middle: replaced
    ASSERT_TRUE(blobs->append(30, "d"));
    ASSERT_TRUE(txn->commit(Durability::kNone));
    // A later transaction appends after what the first one wrote.
    auto txn2 = db->begin_write();
    auto more = txn2->open_table(kBlobs);
    ASSERT_TRUE(more);
    ASSERT_TRUE(more->append(31, "e"));
    ASSERT_TRUE(more->append(30, "d2"));
    ASSERT_TRUE(txn2->commit());
  }
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db) << db.error().message;
  const std::vector<std::pair<uint64_t, std::string>> want = {{5, "c"}, {10, "a2"}, {20, "b2"}, {30, "d2"}, {31, "e"}};
  EXPECT_EQ(scan_blobs(**db), want);
}

TEST(StoreDatabase, TablesKeepTheirTypes) {
  ScratchDir dir;
  const auto path = dir / "types.db";
  {
    auto db = WritableDatabase::create(path, 0);
    ASSERT_TRUE(db);
    auto txn = db->begin_write();
    ASSERT_TRUE(txn->open_table(kBlobs));
    auto wrong = txn->open_table(kBlobsAsText);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message, "table \"blobs\" has u64 keys and bytes values, not u64 keys and text values");
    ASSERT_TRUE(txn->commit());
    // The types survive into the next transaction.
    auto txn2 = db->begin_write();
    EXPECT_FALSE(txn2->open_table(kBlobsAsU32));
    // The store's own table is not for callers.
    EXPECT_FALSE(txn2->open_table(TableDef<Text, Bytes>{"corv.store"}));
  }
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db);
  auto txn = (*db)->begin_read();
  EXPECT_TRUE(txn->open_table(kBlobs));
  auto as_u32 = txn->open_table(kBlobsAsU32);
  ASSERT_FALSE(as_u32);
  EXPECT_EQ(as_u32.error().message, "table \"blobs\" has u64 keys and bytes values, not u32 keys and bytes values");
  auto missing = txn->open_table(kNames);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "table \"names\" does not exist");
}

TEST(StoreDatabase, TextValuesMustBeUtf8) {
  ScratchDir dir;
  auto db = WritableDatabase::create(dir / "utf8.db", 0);
  ASSERT_TRUE(db);
  auto txn = db->begin_write();
  auto names = txn->open_table(kNames);
  ASSERT_TRUE(names);
  auto bad = names->insert(1, "ok\xc3");
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().message.find("not valid UTF-8"), std::string::npos);
  EXPECT_TRUE(names->insert(1, "caf\xc3\xa9"));
}

TEST(StoreDatabase, AbortedTransactionLeavesNoTable) {
  ScratchDir dir;
  const auto path = dir / "abort.db";
  {
    auto db = WritableDatabase::create(path, 0);
    ASSERT_TRUE(db);
    {
      auto txn = db->begin_write();
      auto blobs = txn->open_table(kBlobs);
      ASSERT_TRUE(blobs->insert(1, "x"));
      // Only one write transaction at a time.
      auto second = db->begin_write();
      ASSERT_FALSE(second);
      EXPECT_EQ(second.error().message, "a write transaction is already open on this database");
    }  // dropped: aborted
    auto txn = db->begin_write();
    ASSERT_TRUE(txn) << txn.error().message;
    // The aborted table is gone, so it may be created again with other types.
    ASSERT_TRUE(txn->open_table(kBlobsAsText));
    ASSERT_TRUE(txn->commit());
  }
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db);
  auto txn = (*db)->begin_read();
  EXPECT_TRUE(txn->open_table(kBlobsAsText));
}

TEST(StoreDatabase, ReadersRacingRewritesSeeNoFileALockedFileOrTheWholeFile) {
  // A rebuild deletes the file and writes it anew; a reader in between must
  // never take the half-made file for a damaged one.
  ScratchDir dir;
  const auto path = dir / "racing.db";
  constexpr uint64_t kCount = 200;
  const auto write = [&] {
    auto db = WritableDatabase::create(path, 0);
    if (!db) return false;
    auto txn = db->begin_write();
    auto blobs = txn->open_table(kBlobs);
    for (uint64_t k = 0; k < kCount; ++k) {
      if (!blobs->append(k, name_of(k))) return false;
    }
    return txn->commit() && db->close();
  };
  ASSERT_TRUE(write());
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::map<std::string, int> outcomes;
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto db = ReadOnlyDatabase::open(path);
        std::string outcome;
        if (!db) {
          outcome = db.error().message;
        } else {
          const auto rows = scan_blobs(**db);
          outcome = rows.size() == kCount && rows.back().second == name_of(kCount - 1) ? "whole" : "partial";
        }
        std::lock_guard lock(mu);
        ++outcomes[outcome];
      }
    });
  }
  int rounds = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    std::filesystem::remove(path);
    ASSERT_TRUE(write());
    ++rounds;
  }
  stop = true;
  for (auto& t : readers) t.join();
  std::string seen;
  for (const auto& [outcome, n] : outcomes) seen += outcome + ": " + std::to_string(n) + "\n";
  for (const auto& [outcome, n] : outcomes) {
    EXPECT_TRUE(outcome == "whole" || outcome == "No such file or directory (os error 2)" ||
                outcome == "database file is locked by a writer")
        << rounds << " rounds\n"
        << seen;
  }
  EXPECT_GT(outcomes["database file is locked by a writer"], 0) << seen;
  // Leaves no file behind but its own.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(StoreDatabase, WriterLockExcludesReadersAndAReplacedFileStaysReadable) {
  ScratchDir dir;
  const auto path = dir / "locked.db";
  auto writer = WritableDatabase::create(path, 0);
  ASSERT_TRUE(writer);
  auto reader = ReadOnlyDatabase::open(path);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().message, "database file is locked by a writer");
  auto second = WritableDatabase::create(path, 0);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message, "database file is locked by a writer");
  {
    auto txn = writer->begin_write();
    ASSERT_TRUE(txn->open_table(kBlobs)->insert(1, "old"));
    ASSERT_TRUE(txn->commit());
  }
  ASSERT_TRUE(writer->close());

  reader = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(reader) << reader.error().message;
  // A new writer replaces the file instead of truncating it under the
  // reader's mapping.
  auto other = WritableDatabase::create(path, 0);
  ASSERT_TRUE(other) << other.error().message;
  {
    auto txn = other->begin_write();
    ASSERT_TRUE(txn->open_table(kBlobs)->insert(2, "new"));
    ASSERT_TRUE(txn->commit());
  }
  ASSERT_TRUE(other->close());
  EXPECT_EQ(scan_blobs(**reader), (std::vector<std::pair<uint64_t, std::string>>{{1, "old"}}));
  auto fresh = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(fresh) << fresh.error().message;
  EXPECT_EQ(scan_blobs(**fresh), (std::vector<std::pair<uint64_t, std::string>>{{2, "new"}}));

  // A create that fails leaves nothing behind.
  std::filesystem::create_directory(dir / "sub");
  auto onto_dir = WritableDatabase::create(dir / "sub", 0);
  ASSERT_FALSE(onto_dir);
  EXPECT_EQ(onto_dir.error().message, "Is a directory (os error 21)");
  EXPECT_FALSE(WritableDatabase::create(dir / "absent" / "x.db", 0));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

// Only a writer's lock, which needs a descriptor open for writing, keeps a
// create from its name; names taken ahead of time, a FIFO at the name and a
// reader's locks of either kind do not. The writer's own descriptors on the
// file are all close-on-exec.
TEST(StoreDatabase, OnlyAWritersLockKeepsACreateFromItsName) {
  const auto shared_lock = [](int fd) {
    auto locked = try_lock_file(fd, LockMode::kShared);
    return locked ? std::optional<bool>(*locked) : std::nullopt;
  };
  ScratchDir dir;
  auto held = HeldDirectory::open(dir.path());
  ASSERT_TRUE(held) << held.error().message;
  for (int n = 0; n <= 16; ++n) {
    std::ofstream(dir / (".t.db.tmp-" + std::to_string(::getpid()) + "-" + std::to_string(n))) << "taken";
  }
  ASSERT_EQ(::mkfifo((dir / "t.db").c_str(), 0644), 0);
  ASSERT_TRUE(WritableDatabase::create(*held, "t.db", 0)) << "over a FIFO";

  const int reader = ::open((dir / "t.db").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(::flock(reader, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(shared_lock(reader), true);
  auto writer = WritableDatabase::create(*held, "t.db", 0);
  ASSERT_TRUE(writer) << writer.error().message;

  struct stat st;
  ASSERT_EQ(::stat((dir / "t.db").c_str(), &st), 0);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);
  const int probe = ::open((dir / "t.db").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  EXPECT_EQ(shared_lock(probe), false);
  EXPECT_NE(::flock(probe, LOCK_SH | LOCK_NB), 0);
  int writer_fds = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    struct stat at;
    const int n = std::stoi(fd.path().filename().native());
    if (n == probe || ::fstat(n, &at) != 0 || at.st_ino != st.st_ino || at.st_dev != st.st_dev) continue;
    ++writer_fds;
    EXPECT_NE(::fcntl(n, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << n;
  }
  EXPECT_GE(writer_fds, 2);
  ASSERT_TRUE(writer->close());
  EXPECT_EQ(shared_lock(probe), true);
  ::close(probe);
  ::close(reader);
  // Only the names taken ahead of time and the file are left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 18);
}

TEST(StoreDatabase, ForeignFilesAreOutdatedOrNeedRepair) {
  ScratchDir dir;
  const auto random = dir / "random.db";
  {
    std::mt19937_64 rng(7);
    std::ofstream out(random, std::ios::binary);
    for (int i = 0; i < 4096; ++i) out.put(static_cast<char>(rng()));
  }
  const auto empty = dir / "empty.db";
  std::ofstream(empty).close();
  // A valid LMDB file that this store did not write.
  const auto plain = dir / "plain.db";
  {
    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 4);
    ASSERT_EQ(mdb_env_open(env, plain.c_str(), MDB_NOSUBDIR | MDB_NOLOCK, 0644), 0);
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "meta", MDB_CREATE, &dbi), 0);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
  }
  for (const auto& path : {random, empty, plain}) {
    auto db = ReadOnlyDatabase::open(path);
    ASSERT_FALSE(db) << path;
    EXPECT_EQ(db.error().message, kOutdatedOrNeedsRepair) << path;
  }
  auto missing = ReadOnlyDatabase::open(dir / "nope.db");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
}

TEST(StoreDatabase, OsErrorsThatLmdbMeetsCarryTheirNumber) {
  ScratchDir dir;
  // Anything but a regular file is refused before LMDB sees it.
  auto directory = ReadOnlyDatabase::open(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message, dir.path().string() + " is a directory, not a regular file");
  EXPECT_EQ(store_error(ENOENT).message, "No such file or directory (os error 2)");
  EXPECT_EQ(store_error(MDB_MAP_FULL).message, mdb_strerror(MDB_MAP_FULL));
}

TEST(StoreDatabase, LargeWritesGrowTheFileWithItsData) {
  ScratchDir dir;
  const auto path = dir / "large.db";
  // 4 MiB cache (the floor): ~24 MiB of values forces several write-outs and
  // map growths inside one transaction.
  constexpr uint64_t kCount = 200000;
  const std::string value(100, 'v');
  {
    auto db = WritableDatabase::create(path, 1);
    ASSERT_TRUE(db);
    auto txn = db->begin_write();
    auto blobs = txn->open_table(kBlobs);
    ASSERT_TRUE(blobs);
    for (uint64_t k = 0; k < kCount; ++k) {
      auto s = blobs->append(k * 3, value + std::to_string(k));
      ASSERT_TRUE(s) << s.error().message;
    }
    ASSERT_TRUE(txn->commit(Durability::kNone));
    ASSERT_TRUE(db->begin_write()->commit());
    ASSERT_TRUE(db->close());
  }
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const double data = kCount * (8.0 + 106.0);
  EXPECT_LT(st.st_size, data * 1.5) << "file size " << st.st_size;
  EXPECT_GE(st.st_blocks * 512.0, st.st_size * 0.9) << "file is sparse";

  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = (*db)->begin_read();
  auto blobs = txn->open_table(kBlobs);
  uint64_t n = 0;
  ASSERT_TRUE(blobs->scan([&](uint64_t k, std::string_view v) {
    EXPECT_EQ(k, n * 3);
    EXPECT_EQ(v, value + std::to_string(n));
    ++n;
  }));
  EXPECT_EQ(n, kCount);
}

TEST(StoreDatabase, HugeCacheBudgetsAreNoLimitNotAFailure) {
  ScratchDir dir;
  // From 2^44 the map could not be reserved; from 2^62 four times it wraps.
  for (size_t budget : {size_t{1} << 44, size_t{1} << 62, SIZE_MAX}) {
    const auto path = dir / ("huge" + std::to_string(budget) + ".db");
    {
      auto db = WritableDatabase::create(path, budget);
      ASSERT_TRUE(db) << budget << ": " << db.error().message;
      auto txn = db->begin_write();
      ASSERT_TRUE(txn) << budget << ": " << txn.error().message;
      auto blobs = txn->open_table(kBlobs);
      for (uint64_t k = 0; k < 1000; ++k) ASSERT_TRUE(blobs->append(k, name_of(k)));
      ASSERT_TRUE(txn->commit());
      ASSERT_TRUE(db->close());
    }
    auto db = ReadOnlyDatabase::open(path);
    ASSERT_TRUE(db) << db.error().message;
    EXPECT_EQ(scan_blobs(**db).size(), 1000u);
  }
}

TEST(StoreDatabase, ManyThreadsReadOneHandle) {
  ScratchDir dir;
  const auto path = dir / "shared.db";
  constexpr uint64_t kCount = 5000;
  {
    auto db = WritableDatabase::create(path, 0);
    auto txn = db->begin_write();
    auto blobs = txn->open_table(kBlobs);
    for (uint64_t k = 0; k < kCount; ++k) ASSERT_TRUE(blobs->append(k, std::to_string(k * k)));
    ASSERT_TRUE(txn->commit());
  }
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        auto txn = (*db)->begin_read();
        if (!txn) {
          ++failures;
          return;
        }
        auto blobs = txn->open_table(kBlobs);
        for (uint64_t k = t; k < kCount; k += 7) {
          auto v = blobs->get(k);
          if (!v || !*v || **v != std::to_string(k * k)) ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(StoreDatabase, WrittenFileOpensWithMdbStat) {
  if (::access("/usr/bin/mdb_stat", X_OK) != 0) GTEST_SKIP() << "mdb_stat not installed";
  ScratchDir dir;
  const auto path = dir / "stat.db";
  testing::write_meta_db(path, {{"schema", "x"}});
  const std::string cmd = "/usr/bin/mdb_stat -n -a " + path.string() + " 2>&1";
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buf[256];
  while (fgets(buf, sizeof buf, pipe) != nullptr) output += buf;
  const int rc = pclose(pipe);
  EXPECT_EQ(rc, 0) << output;
  EXPECT_NE(output.find("Status of meta"), std::string::npos) << output;
}

// Files damaged after they were written. LMDB follows whatever its pages
// say, so every read of such a file must end in a value or an error, never
// in a fault that kills the process.
constexpr uint64_t kKeys = 3000;

std::string value_of(uint64_t key) { return "value " + std::to_string(key) + std::string(key % 40, 'x'); }

void write_records(const std::filesystem::path& path) {
  auto db = WritableDatabase::create(path, 0);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = db->begin_write();
  ASSERT_TRUE(txn);
  auto table = txn->open_table(kRecordsTable);
  ASSERT_TRUE(table);
  // One value spans several pages, so overflow pages get damaged too.
  ASSERT_TRUE(table->insert(kKeys, std::string(20000, 'o')));
  for (uint64_t k = 0; k < kKeys; ++k) ASSERT_TRUE(table->insert(k * 7919, value_of(k)));
  ASSERT_TRUE(txn->commit());
  ASSERT_TRUE(db->close());
}

std::string read_all(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads every key and scans the table; returns how many reads failed.
int read_everything(const std::filesystem::path& path) {
  auto db = ReadOnlyDatabase::open(path);
  if (!db) return 1;
  auto txn = (*db)->begin_read();
  if (!txn) return 1;
  auto table = txn->open_table(kRecordsTable);
  if (!table) return 1;
  int failures = 0;
  for (uint64_t k = 0; k <= kKeys; ++k) {
    auto got = table->get(k * 7919);
    if (!got) {
      EXPECT_FALSE(got.error().message.empty());
      ++failures;
    }
  }
  uint64_t bytes = 0;
  Status scanned = table->scan([&](uint64_t, std::string_view v) { bytes += v.size(); });
  if (!scanned) ++failures;
  return failures;
}

TEST(StoreDatabase, ReadsOfADamagedFileFailInsteadOfFaulting) {
  ScratchDir dir;
  const auto good = dir / "good.redb";
  write_records(good);
  ASSERT_EQ(read_everything(good), 0);
  const std::string original = read_all(good);

  int damaged_reads = 0;
  for (uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    std::string bytes = original;
    // Leave the two meta pages alone: they are checked before LMDB opens
    // the file (meta_pages.h), tests/python/test_faults.py damages them.
    std::uniform_int_distribution<size_t> where(8192, bytes.size() - 1);
    for (int i = 0; i < 20; ++i) bytes[where(rng)] = static_cast<char>(rng());
    const auto path = dir / "damaged.redb";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    damaged_reads += read_everything(path);
  }
  // Most damage is seen as such; what is not is bytes of values, which
  // only checksums could tell.
  EXPECT_GT(damaged_reads, 0);
}

TEST(StoreDatabase, AZeroPageSizeFailsTheOpenInsteadOfDividingByZero) {
  ScratchDir dir;
  const auto path = dir / "zero.redb";
  write_records(path);
  std::string bytes = read_all(path);
  bytes.replace(40, 4, 4, '\0');  // the page size, in meta page 0
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().message, kOutdatedOrNeedsRepair);
  // What LMDB meets when, without /proc, the name comes to hold such a file
  // between that check and LMDB's own open: the guard, and the environment
  // closes whole.
  MDB_env* env = nullptr;
  ASSERT_EQ(mdb_env_create(&env), 0);
  ASSERT_EQ(mdb_env_set_mapsize(env, bytes.size()), 0);
  EXPECT_EQ(guarded_env_open(env, path.c_str(), MDB_RDONLY | MDB_NOSUBDIR | MDB_NOLOCK), MDB_CORRUPTED);
  mdb_env_close(env);
}

TEST(StoreDatabase, AFileCutShortUnderAnOpenHandleFailsReadsInsteadOfFaulting) {
  ScratchDir dir;
  const auto path = dir / "cut.redb";
  write_records(path);
  auto db = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(db) << db.error().message;
  auto before = (*db)->begin_read();
  ASSERT_TRUE(before) << before.error().message;
  auto table = before->open_table(kRecordsTable);
  ASSERT_TRUE(table) << table.error().message;
  // Past the store's lock, as another program or a failing disk would: the
  // mapped pages are gone. A new transaction reads the meta pages; the
  // first scan of a table in it reads its record in the main table.
  std::filesystem::resize_file(path, 0);
  const std::string corrupted = store_error(MDB_CORRUPTED).message;
  auto after = (*db)->begin_read();
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().message, corrupted);
  Status scanned = table->scan([](uint64_t, std::string_view) {});
  ASSERT_FALSE(scanned);
  EXPECT_EQ(scanned.error().message, corrupted);
}

}  // namespace
}  // namespace corv::fullmap
