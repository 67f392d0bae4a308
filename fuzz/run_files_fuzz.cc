// Spill run files as they come back from disk: the term, CURIE-row and
// equivalence readers over arbitrary bytes, and the buffered input under
// them against a plain cursor over the same bytes.
//
// A reader that reaches a clean end has accepted the whole file, so
// re-encoding what it returned must give back exactly the file's bytes.
#include <xxhash.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/held_directory.h"
#include "fullmap/build/curie_run.h"
#include "fullmap/build/equiv_run.h"
#include "fullmap/build/run_io.h"
#include "fullmap/build/term_run.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace corv::fullmap;

void put_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_u64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_str(std::string& out, std::string_view s) {
  put_u32(out, static_cast<uint32_t>(s.size()));
  out.append(s);
}

bool known_read_error(const corv::Error& e) {
  return e.message == kUnexpectedEofMessage || e.message.starts_with("invalid utf-8 sequence of ") ||
         e.message.starts_with("incomplete utf-8 byte sequence from index ");
}

void check_term_run(const corv::HeldDirectory& dir, const std::string& name, std::string_view bytes) {
  auto reader = RunReader::open(dir, name);
  FUZZ_CHECK(reader.has_value());
  std::string again;
  uint64_t frames = 0;
  for (;;) {
    auto more = reader->read_frame();
    if (!more) {
      FUZZ_CHECK(known_read_error(more.error()));
      return;
    }
    if (!*more) break;
    const TermFrame& frame = reader->frame;
    FUZZ_CHECK(corv::is_valid_utf8(frame.term));
    put_str(again, frame.term);
    put_u32(again, static_cast<uint32_t>(frame.postings.size()));
    for (const Posting& p : frame.postings) {
      put_u32(again, p.curie_id);
      again.push_back(static_cast<char>(p.source_id));
    }
    ++frames;
  }
  FUZZ_CHECK(again == bytes);
  auto counted = count_run_frames(dir, name);
  FUZZ_CHECK(counted.has_value() && *counted == frames);
}

void check_curie_run(const corv::HeldDirectory& dir, const std::string& name, std::string_view bytes) {
  auto reader = CurieRunReader::open(dir, name);
  FUZZ_CHECK(reader.has_value());
  std::string again;
  for (;;) {
    auto row = reader->next_row();
    if (!row) {
      FUZZ_CHECK(row.error().message == kUnexpectedEofMessage);
      return;
    }
    if (!*row) break;
    put_u32(again, (*row)->curie_id);
    put_str(again, (*row)->row);
  }
  FUZZ_CHECK(again == bytes);
}

void check_equiv_run(const corv::HeldDirectory& dir, const std::string& name, std::string_view bytes,
                     size_t buffer_bytes) {
  auto input = RunInput::open(dir, name, buffer_bytes);
  FUZZ_CHECK(input.has_value());
  std::string again;
  EquivEntry entry;  // reused, as a merge reuses it
  for (;;) {
    auto more = read_equiv_entry(*input, entry);
    if (!more) {
      FUZZ_CHECK(known_read_error(more.error()));
      return;
    }
    if (!*more) break;
    FUZZ_CHECK(corv::is_valid_utf8(entry.key));
    put_u64(again, entry.hash);
    put_str(again, entry.key);
    put_u32(again, static_cast<uint32_t>(entry.equivalents.size()));
    for (const std::string& id : entry.equivalents) {
      FUZZ_CHECK(corv::is_valid_utf8(id));
      put_str(again, id);
    }
  }
  FUZZ_CHECK(again == bytes);
}

// Drives RunInput with operations taken from the bytes themselves and
// compares every answer with a cursor over the same bytes.
void check_run_input(const corv::HeldDirectory& dir, const std::string& name, std::string_view bytes,
                     size_t buffer_bytes) {
  auto opened = RunInput::open(dir, name, buffer_bytes);
  FUZZ_CHECK(opened.has_value());
  RunInput& in = *opened;
  size_t pos = 0;  // model cursor
  for (size_t op = 0; op < bytes.size() && op < 64; ++op) {
    const auto code = static_cast<unsigned char>(bytes[op]);
    const size_t left = bytes.size() - pos;
    const size_t n = code >> 3;  // 0..31
    switch (code & 7) {
      case 0: {
        auto end = in.at_end();
        FUZZ_CHECK(end.has_value() && *end == (left == 0));
        break;
      }
      case 1: {
        uint8_t b = 0;
        auto got = in.read_byte(b);
        FUZZ_CHECK(got.has_value() && *got == (left > 0));
        if (left > 0) FUZZ_CHECK(b == static_cast<uint8_t>(bytes[pos++]));
        break;
      }
      case 2: {
        char buf[32];
        auto s = in.read_exact(buf, n);
        if (n > left) {
          FUZZ_CHECK(!s && s.error().message == kUnexpectedEofMessage);
          return;  // position after a short read is unspecified
        }
        FUZZ_CHECK(s.has_value() && std::memcmp(buf, bytes.data() + pos, n) == 0);
        pos += n;
        break;
      }
      case 3: {
        std::string out = "stale";
        auto s = in.read_string(n, out);
        if (n > left) {
          FUZZ_CHECK(!s && s.error().message == kUnexpectedEofMessage);
          return;
        }
        FUZZ_CHECK(s.has_value() && out == bytes.substr(pos, n));
        pos += n;
        break;
      }
      case 4: {
        auto v = in.read_u32();
        if (left < 4) {
          FUZZ_CHECK(!v);
          return;
        }
        uint32_t want;
        std::memcpy(&want, bytes.data() + pos, 4);
        FUZZ_CHECK(v.has_value() && *v == want);
        pos += 4;
        break;
      }
      case 5: {
        auto v = in.read_u64();
        if (left < 8) {
          FUZZ_CHECK(!v);
          return;
        }
        uint64_t want;
        std::memcpy(&want, bytes.data() + pos, 8);
        FUZZ_CHECK(v.has_value() && *v == want);
        pos += 8;
        break;
      }
      case 6:
      case 7: {
        // Skips reach past the end too; that is not an error.
        const uint64_t amount = (code & 1) ? uint64_t{n} * 37 : n;
        auto s = in.skip(amount);
        FUZZ_CHECK(s.has_value());
        pos = static_cast<size_t>(std::min<uint64_t>(bytes.size(), pos + amount));
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static corv::fuzz::ScratchFile file("run");
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Opened by name in the directory held, as a build opens its runs.
  static const corv::HeldDirectory dir = corv::HeldDirectory::open(file.path().parent_path()).value();
  const std::string name = file.write(bytes).filename();

  check_term_run(dir, name, bytes);
  check_curie_run(dir, name, bytes);
  // Small buffers put frame boundaries inside refills; a page-sized one
  // takes the whole input in one go, as the real 8 MiB buffer does.
  const size_t small_buffer = size == 0 ? 1 : 1 + data[0] % 16;
  check_equiv_run(dir, name, bytes, small_buffer);
  check_equiv_run(dir, name, bytes, 4096);
  check_run_input(dir, name, bytes, small_buffer);
  return 0;
}
