// NDJSON de-duplication. The first input byte picks the mode; the rest is
// the file. The whole run on a scratch file is compared with a line-by-line
// model built from the same record steps, and every record it writes must
// be canonical: parsing and re-serialising it gives the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/utf8.h"
#include "fuzz/fuzz_util.h"
#include "json/value.h"
#include "records/canonical_json.h"
#include "records/ndjson_dedup.h"
#include "records/unicode_space.h"
#include "records/uuid.h"

namespace {

using namespace corv;

constexpr std::string_view kDomain = "CORVANTILE";

bool is_uuid_text(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return s[14] == '3';
}

void check_canonical(std::string_view record) {
  json::Arena arena;
  auto reparsed = json::parse(record, arena);
  FUZZ_CHECK(reparsed.has_value());
  FUZZ_CHECK(records::stable_json_bytes(*reparsed) == record);
}

// The output the run must leave; false when the input must fail.
bool model(std::string_view text, bool is_edges, std::string& out) {
  const records::NameUuid namer(kDomain);
  std::unordered_set<std::string> seen;
  json::Arena arena;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r' && nl != std::string_view::npos) line.remove_suffix(1);
    if (!is_valid_utf8(line)) return false;
    if (records::trim_unicode_space(line).empty()) continue;
    arena.reset();
    auto value = json::parse(line, arena);
    if (!value) return false;
    auto final_value = records::finalize_record(*value, is_edges, namer, arena);
    if (!final_value) {
      FUZZ_CHECK(final_value.error().message == "expected JSON object");
      return false;
    }
    if (!*final_value) continue;
    if (is_edges) {
      const json::Value* id = (*final_value)->find("id");
      FUZZ_CHECK(id != nullptr && id->is_string() && is_uuid_text(id->as_string()));
    }
    std::string bytes = records::stable_json_bytes(**final_value);
    check_canonical(bytes);
    if (seen.insert(bytes).second) out += bytes + "\n";
  }
  return true;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return -1;
  static fuzz::ScratchFile input("dedup-in"), output("dedup-out");
  const bool is_edges = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string expected;
  const bool ok = model(text, is_edges, expected);

  auto status = records::dedup_ndjson(input.write(text), output.path(), is_edges, kDomain);
  const std::string written = read_file(output.path());
  FUZZ_CHECK(status.has_value() == ok);
  // On failure too: every line accepted before the failing one is kept.
  FUZZ_CHECK(written == expected);
  if (!ok) FUZZ_CHECK(!status.error().message.empty());
  return 0;
}
