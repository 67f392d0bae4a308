// Failures are values: every fallible operation returns Result<T> (or
// Status), and only the module boundary turns an Error into a Python
// exception. An exception that escapes an operation is an internal fault.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace corv {

// The Python exception type an Error becomes at the boundary.
enum class ErrorType { kRuntime, kValue, kType, kOverflow, kPanic };

struct Error {
  ErrorType type = ErrorType::kRuntime;
  std::string message;
  int os_error = 0;  // the error number of an io() error, for callers that tell causes apart

  static Error runtime(std::string msg) { return {ErrorType::kRuntime, std::move(msg)}; }
  static Error value(std::string msg) { return {ErrorType::kValue, std::move(msg)}; }
  static Error type_error(std::string msg) { return {ErrorType::kType, std::move(msg)}; }
  static Error overflow(std::string msg) { return {ErrorType::kOverflow, std::move(msg)}; }
  static Error panic(std::string msg) { return {ErrorType::kPanic, std::move(msg)}; }

  // An operating-system error: "{description} (os error {code})".
  static Error io(int errnum);
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail_runtime(std::string msg) {
  return std::unexpected<Error>(Error::runtime(std::move(msg)));
}
inline std::unexpected<Error> fail_io(int errnum) { return std::unexpected<Error>(Error::io(errnum)); }

// Propagates the error of a Result/Status expression, like `?`.
#define CORV_TRY(expr)                                                                    \
  do {                                                                                    \
    auto&& corv_try_result_ = (expr);                                                     \
    if (!corv_try_result_) return ::std::unexpected(std::move(corv_try_result_.error())); \
  } while (0)

}  // namespace corv
