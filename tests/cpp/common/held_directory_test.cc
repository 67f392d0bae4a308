#include "common/held_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "scratch_dir.h"

namespace corv {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

// Moving the directory away and linking another in its place redirects
// nothing: files are made, read and removed where the descriptor points.
TEST(HeldDirectoryTest, AHeldDirectorySwappedForALinkRedirectsNothing) {
  corv::testing::ScratchDir scratch;
  fs::create_directory(scratch / "held");
  fs::create_directory(scratch / "victim");
  touch(scratch / "victim" / "keep");
  fs::create_directory(scratch / "victim" / "sub");
  touch(scratch / "victim" / "sub" / "keep");
  auto dir = HeldDirectory::open(scratch / "held");
  ASSERT_TRUE(dir) << dir.error().message;

  fs::rename(scratch / "held", scratch / "moved");
  fs::create_directory_symlink(scratch / "victim", scratch / "held");
  ASSERT_TRUE(dir->create_file("run"));
  ASSERT_TRUE(dir->make_directory("equiv", 0700));
  EXPECT_FALSE(*dir->make_directory("equiv", 0700));
  // A link planted inside is removed as a link, never followed.
  fs::create_directory_symlink(scratch / "victim", scratch / "moved" / "link");
  fs::create_symlink(scratch / "victim" / "keep", scratch / "moved" / "file_link");
  EXPECT_FALSE(dir->open_file("file_link"));
  EXPECT_FALSE(dir->open_directory("link"));
  ASSERT_TRUE(dir->clear());

  EXPECT_TRUE(fs::is_empty(scratch / "moved"));
  EXPECT_TRUE(fs::exists(scratch / "victim" / "keep"));
  EXPECT_TRUE(fs::exists(scratch / "victim" / "sub" / "keep"));
  EXPECT_FALSE(fs::exists(scratch / "victim" / "run"));

  auto parent = HeldDirectory::open(scratch.path());
  ASSERT_TRUE(parent);
  EXPECT_TRUE(parent->entry_is("moved", dir->fd()));
  EXPECT_FALSE(parent->entry_is("held", dir->fd()));  // the link, and what it names, are not ours
  EXPECT_FALSE(parent->entry_is("victim", dir->fd()));
}

// A FIFO opens without waiting for a writer and is refused by kind.
TEST(HeldDirectoryTest, OnlyRegularFilesOpenAndNoneWaits) {
  corv::testing::ScratchDir scratch;
  ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0600), 0);
  auto direct = open_regular_for_reading(scratch / "fifo");
  ASSERT_FALSE(direct);
  EXPECT_EQ(direct.error().message, (scratch / "fifo").string() + " is a FIFO, not a regular file");
  auto dir = HeldDirectory::open(scratch.path());
  ASSERT_TRUE(dir);
  auto held = dir->open_file("fifo");
  ASSERT_FALSE(held);
  EXPECT_EQ(held.error().message, (scratch / "fifo").string() + " is a FIFO, not a regular file");
  EXPECT_FALSE(open_regular_for_reading(scratch.path()));
  touch(scratch / "plain");
  EXPECT_TRUE(open_regular_for_reading(scratch / "plain"));
}

// A write lock needs write access; a reader's lock never refuses another
// reader, and a writer's refuses every reader.
TEST(HeldDirectoryTest, FileLocksBelongToTheDescription) {
  corv::testing::ScratchDir scratch;
  touch(scratch / "db");
  const int ro = ::open((scratch / "db").c_str(), O_RDONLY | O_CLOEXEC);
  const int ro2 = ::open((scratch / "db").c_str(), O_RDONLY | O_CLOEXEC);
  const int rw = ::open((scratch / "db").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(ro, 0);
  EXPECT_FALSE(try_lock_file(ro, LockMode::kExclusive));  // EBADF: not open for writing
  EXPECT_TRUE(*try_lock_file(ro, LockMode::kShared));
  EXPECT_TRUE(*try_lock_file(ro2, LockMode::kShared));
  EXPECT_FALSE(*try_lock_file(rw, LockMode::kExclusive));
  ::close(ro);
  ::close(ro2);
  EXPECT_TRUE(*try_lock_file(rw, LockMode::kExclusive));
  const int ro3 = ::open((scratch / "db").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(*try_lock_file(ro3, LockMode::kShared));
  ::close(ro3);
  ::close(rw);
}

}  // namespace
}  // namespace corv
