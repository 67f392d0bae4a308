// LMDB takes the two meta pages at the head of a file at face value: it
// checks their magic and version, then divides by the page size, maps as
// many pages as the last page number asks for and places the second meta
// page, and every tree's root, where the newest meta page says. Damage
// there (a broken copy, a failing disk) would end the process inside LMDB
// with SIGFPE, SIGBUS or SIGSEGV. check_meta_pages() reads both pages
// through the descriptor first and lets LMDB open only a file whose meta
// pages keep every read LMDB makes from them within the file.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace corv::fullmap {

// The page size of the LMDB file open at `fd`, `file_bytes` long, when
// both meta pages are sound; kOutdatedOrNeedsRepair (store_error.h) when
// not, the OS error when the file cannot be read.
Result<uint32_t> check_meta_pages(int fd, uint64_t file_bytes);

}  // namespace corv::fullmap
