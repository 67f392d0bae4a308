#include "common/env.h"

#include <cstdlib>

namespace corv {

std::optional<unsigned long long> parse_u64_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (__builtin_mul_overflow(value, 10ULL, &value) ||
        __builtin_add_overflow(value, static_cast<unsigned long long>(digit), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

size_t env_usize(const char* name, size_t fallback) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return fallback;
  // Only ASCII digits and '+' can parse, so any non-UTF-8 value falls back too.
  auto parsed = parse_u64_decimal(raw);
  return parsed ? static_cast<size_t>(*parsed) : fallback;
}

}  // namespace corv
