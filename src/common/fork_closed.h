// Descriptors that carry a lock for this process. A child forked while one
// is open (a multiprocessing pool, say) shares the open file description,
// and with it the lock, for as long as the child lives: a build killed
// meanwhile would keep every later build out until the child exits. In the
// child each such descriptor is pointed at /dev/null instead, which drops
// the child's share of the lock but keeps the number taken, so whatever the
// child later closes by that number is never another file.
#pragma once

#include <utility>

#include "common/fd_io.h"

namespace corv {

class ForkClosedDescriptor {
 public:
  ForkClosedDescriptor() = default;
  explicit ForkClosedDescriptor(FileDescriptor fd);
  ForkClosedDescriptor(ForkClosedDescriptor&& other) noexcept : fd_(std::move(other.fd_)) {}
  ForkClosedDescriptor& operator=(ForkClosedDescriptor&& other) noexcept;
  ForkClosedDescriptor(const ForkClosedDescriptor&) = delete;
  ForkClosedDescriptor& operator=(const ForkClosedDescriptor&) = delete;
  ~ForkClosedDescriptor() { reset(); }

  int get() const noexcept { return fd_.get(); }
  bool valid() const noexcept { return fd_.valid(); }
  void reset() noexcept;

 private:
  FileDescriptor fd_;
};

}  // namespace corv
