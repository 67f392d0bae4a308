// A fresh directory for one test, removed with everything in it at scope
// end. It lives under $CORV_TEST_TMP (ctest sets it to build/test-tmp), else
// under the system's temporary directory; the name carries the test's name,
// the process id and a counter, so parallel test processes (also those of
// other checkouts sharing /tmp) never meet.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace corv::testing {

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const char* root = std::getenv("CORV_TEST_TMP");
    const std::filesystem::path base = root != nullptr && *root != '\0' ? root : ::testing::TempDir();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (char& c : name) {
      if (c == '/') c = '_';  // parameterised tests
    }
    name.append("-").append(std::to_string(getpid())).append("-").append(std::to_string(counter++));
    path_ = base / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace corv::testing
