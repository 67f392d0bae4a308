// The build's only running report. The Python-side implementation (which
// takes the GIL for each call and swallows the callable's exceptions) lives
// in the module layer, so the build itself never touches Python.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace corv::fullmap {

// The value is the stage number the callable receives.
enum class ProgressStage : int32_t { kMergingEquivalents = 0, kReadingSynonyms = 1, kWritingShards = 2 };

class Progress {
 public:
  virtual ~Progress() = default;
  // Never fails; safe to call from any build thread.
  virtual void call(ProgressStage stage, uint64_t done, uint64_t total, std::string_view message) noexcept = 0;
};

// Absent (nullptr) when the caller gave no progress callable.
using ProgressHandle = std::shared_ptr<Progress>;

}  // namespace corv::fullmap
