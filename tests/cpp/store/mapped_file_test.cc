#include "fullmap/store/mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/fd_io.h"
#include "scratch_dir.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;

struct Mapping {
  void* at = MAP_FAILED;
  size_t bytes = 0;
  ~Mapping() {
    if (at != MAP_FAILED) ::munmap(at, bytes);
  }
};

// Pages that begin with their number, as LMDB's do, then bytes of their own.
std::string paged_file(size_t page_bytes, const std::vector<size_t>& numbers) {
  std::string bytes;
  for (size_t i = 0; i < numbers.size(); ++i) {
    std::string page(page_bytes, static_cast<char>('a' + i));
    std::memcpy(page.data(), &numbers[i], sizeof(size_t));
    bytes += page;
  }
  return bytes;
}

// Maps `bytes`, as a file, at an address `misalign` past a multiple of
// `page_bytes`, inside a reservation that faults on either side.
const char* map_file(const ScratchDir& dir, const std::string& name, const std::string& bytes, size_t page_bytes,
                     size_t misalign, Mapping* reservation, FileDescriptor* fd) {
  auto created = create_for_writing(dir / name);
  EXPECT_TRUE(created && write_all(created->get(), bytes.data(), bytes.size()));
  auto opened = open_for_reading(dir / name);
  EXPECT_TRUE(opened);
  *fd = std::move(*opened);
  reservation->bytes = bytes.size() + 3 * page_bytes;
  reservation->at = ::mmap(nullptr, reservation->bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(reservation->at, MAP_FAILED);
  const auto start = reinterpret_cast<uintptr_t>(reservation->at);
  char* at = reinterpret_cast<char*>((start / page_bytes + 1) * page_bytes + misalign);
  EXPECT_EQ(::mmap(at, bytes.size(), PROT_READ, MAP_SHARED | MAP_FIXED, fd->get(), 0), at);
  return at;
}

TEST(MappedFile, FoundFromAnyPageAndOnlyWhereTheFileIs) {
  const size_t os_page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  ScratchDir dir;
  auto find = [](const void* inside, const FileDescriptor& fd, size_t size, size_t page_bytes) {
    auto found = find_mapping(inside, fd.get(), size, page_bytes);
    EXPECT_TRUE(found) << found.error().message;
    return found ? *found : std::nullopt;
  };

  // Pages as large as the system's, and twice as large (a file written
  // where pages are larger), mapped at a start that is no multiple of them.
  for (const size_t page_bytes : {os_page, 2 * os_page}) {
    SCOPED_TRACE(page_bytes);
    const std::string bytes = paged_file(page_bytes, {0, 1, 2, 3});
    Mapping reservation;
    FileDescriptor fd;
    const char* at =
        map_file(dir, "good" + std::to_string(page_bytes), bytes, page_bytes, page_bytes - os_page, &reservation, &fd);
    for (const size_t offset : {size_t{40}, 2 * page_bytes + 100, bytes.size() - 1}) {
      auto map = find(at + offset, fd, bytes.size(), page_bytes);
      ASSERT_TRUE(map) << offset;
      EXPECT_EQ(map->begin, at);
      EXPECT_EQ(map->size, bytes.size());
    }
    // Memory around the file faults when read.
    EXPECT_FALSE(find(at - 1, fd, bytes.size(), page_bytes));
  }

  // Pages that lie about their number: one past the end, and one whose
  // number leads to a copy of the meta pages inside the file, where the
  // file's last page would lie past the mapping.
  struct Liar {
    std::string name;
    std::string bytes;
    size_t page;
  };
  std::vector<Liar> liars = {{"past_end", paged_file(os_page, {0, 1, 99, 3}), 2},
                             {"copied_meta", paged_file(os_page, {0, 1, 0, 1, 2}), 4}};
  std::memcpy(liars[1].bytes.data() + 2 * os_page, liars[1].bytes.data(), 2 * os_page);
  for (const Liar& liar : liars) {
    SCOPED_TRACE(liar.name);
    Mapping reservation;
    FileDescriptor fd;
    const char* at = map_file(dir, liar.name, liar.bytes, os_page, 0, &reservation, &fd);
    EXPECT_FALSE(find(at + liar.page * os_page + 10, fd, liar.bytes.size(), os_page));
    // Honest pages still lead to the start.
    auto map = find(at + os_page + 10, fd, liar.bytes.size(), os_page);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->begin, at);
  }
}

}  // namespace
}  // namespace corv::fullmap
