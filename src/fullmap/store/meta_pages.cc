#include "fullmap/store/meta_pages.h"

#include <lmdb.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "common/fd_io.h"
#include "fullmap/store/store_error.h"

namespace corv::fullmap {
namespace {

// The layout below is mdb.c's for LMDB 0.9 on a 64-bit system: the page
// header, then MDB_meta with its two MDB_db records.
static_assert(MDB_VERSION_MAJOR == 0 && MDB_VERSION_MINOR == 9);
static_assert(sizeof(size_t) == 8);

constexpr size_t kPageNumber = 0;  // pgno_t
constexpr size_t kPageFlags = 10;  // uint16_t
constexpr size_t kMeta = 16;       // PAGEHDRSZ
constexpr size_t kMagic = kMeta;   // uint32_t
constexpr size_t kVersion = kMeta + 4;
constexpr size_t kFreeTable = kMeta + 24;  // MDB_db of the free-page table
constexpr size_t kMainTable = kMeta + 72;  // MDB_db of the main table
constexpr size_t kTablePad = 0;            // uint32_t; the page size in the free table's
constexpr size_t kTableFlags = 4;          // uint16_t
constexpr size_t kTableRoot = 40;          // pgno_t
constexpr size_t kLastPage = kMeta + 120;  // pgno_t
constexpr size_t kMetaEnd = kMeta + 136;   // LMDB reads this much of each

constexpr uint16_t kMetaPage = 0x08;  // P_META
constexpr uint32_t kMagicNumber = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
// LMDB writes at the writing system's page size, capped at MAX_PAGESIZE;
// no system it runs on has pages under 4 KiB.
constexpr uint32_t kMinPageSize = 4096;
constexpr uint32_t kMaxPageSize = 0x8000;
constexpr uint64_t kEmptyTree = ~uint64_t{0};  // P_INVALID
// Pages 0 and 1 are the meta pages; LMDB asserts that no root is one.
constexpr uint64_t kFirstTreePage = 2;

using MetaBytes = std::array<char, kMetaEnd>;

template <class T>
T field(const MetaBytes& page, size_t offset) {
  T value;
  std::memcpy(&value, page.data() + offset, sizeof(value));
  return value;
}

bool usable_page_size(uint32_t size) {
  return std::has_single_bit(size) && size >= kMinPageSize && size <= kMaxPageSize;
}

bool sound(const MetaBytes& page, uint64_t number, uint32_t page_size, uint64_t file_pages) {
  if (field<uint64_t>(page, kPageNumber) != number || field<uint16_t>(page, kPageFlags) != kMetaPage) return false;
  if (field<uint32_t>(page, kMagic) != kMagicNumber || field<uint32_t>(page, kVersion) != kDataVersion) return false;
  // LMDB reads the second meta page at the first one's page size but then
  // places it, and every page, at the newest one's.
  if (field<uint32_t>(page, kFreeTable + kTablePad) != page_size) return false;
  // This store never gives the main table flags; LMDB would compare its
  // keys by them, or refuse its named tables.
  if (field<uint32_t>(page, kMainTable + kTablePad) != 0 || field<uint16_t>(page, kMainTable + kTableFlags) != 0) {
    return false;
  }
  // LMDB maps pages up to the last and reads any page below it.
  const uint64_t last = field<uint64_t>(page, kLastPage);
  if (last >= file_pages) return false;
  for (size_t table : {kFreeTable, kMainTable}) {
    const uint64_t root = field<uint64_t>(page, table + kTableRoot);
    if (root != kEmptyTree && (root < kFirstTreePage || root > last)) return false;
  }
  return true;
}

}  // namespace

Result<uint32_t> check_meta_pages(int fd, uint64_t file_bytes) {
  const auto outdated = [] { return fail_runtime(std::string(kOutdatedOrNeedsRepair)); };
  MetaBytes page;
  uint32_t page_size = 0;
  for (uint64_t number = 0; number < 2; ++number) {
    auto read = read_full_at(fd, number * page_size, page.data(), page.size());
    if (!read) return fail(std::move(read.error()));
    if (*read != page.size()) return outdated();
    if (number == 0) {
      page_size = field<uint32_t>(page, kFreeTable + kTablePad);
      if (!usable_page_size(page_size) || file_bytes / page_size < 2) return outdated();
    }
    if (!sound(page, number, page_size, file_bytes / page_size)) return outdated();
  }
  return page_size;
}

}  // namespace corv::fullmap
