// Database files damaged after they were written. LMDB follows whatever its
// pages say, so a flipped byte used to make reads fault and kill the
// process; every read must end in a value or an error instead.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "fullmap/store/layout.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/writable_database.h"
#include "store_test_util.h"

namespace corv::fullmap {
namespace {

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

TEST(StoreRegression, RandomlyDamagedFilesNeverFaultReaders) {
  testing::ScratchDir dir;
  const auto good = dir / "good.redb";
  write_records(good);
  ASSERT_EQ(read_everything(good), 0);
  const std::string original = read_all(good);

  int damaged_reads = 0;
  for (uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    std::string bytes = original;
    // Leave the two meta pages alone: LMDB checks them when it opens.
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

}  // namespace
}  // namespace corv::fullmap
