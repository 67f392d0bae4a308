#include "common/fork_closed.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace corv {
namespace {

// Taken by the forking thread before fork() and released on both sides, so
// the child never finds it held by a thread that does not exist there.
std::mutex g_mutex;
std::vector<int>* g_fds = nullptr;  // never freed: a child may fork at exit
std::once_flag g_installed;

void before_fork() { g_mutex.lock(); }
void after_fork_in_parent() { g_mutex.unlock(); }

// Only async-signal-safe calls: the child of a threaded process.
void after_fork_in_child() {
  if (g_fds != nullptr && !g_fds->empty()) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const int fd : *g_fds) {
      if (null < 0 || ::dup3(null, fd, O_CLOEXEC) < 0) ::close(fd);
    }
    if (null >= 0) ::close(null);
    g_fds->clear();  // keeps its storage: no allocator call here
  }
  g_mutex.unlock();
}

void install() {
  g_fds = new std::vector<int>();
  ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

ForkClosedDescriptor::ForkClosedDescriptor(FileDescriptor fd) : fd_(std::move(fd)) {
  if (!fd_.valid()) return;
  std::call_once(g_installed, install);
  std::lock_guard lock(g_mutex);
  g_fds->push_back(fd_.get());
}

ForkClosedDescriptor& ForkClosedDescriptor::operator=(ForkClosedDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::move(other.fd_);
  }
  return *this;
}

void ForkClosedDescriptor::reset() noexcept {
  if (!fd_.valid()) return;
  // Closed under the mutex, so no fork() in between leaves a child a copy.
  std::lock_guard lock(g_mutex);
  const auto it = std::find(g_fds->begin(), g_fds->end(), fd_.get());
  if (it != g_fds->end()) g_fds->erase(it);
  fd_.reset();
}

}  // namespace corv
