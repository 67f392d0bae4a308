// The bounded channel that carries chunks of synonym-file lines from the
// producer threads to the ingest workers.
//
// It closes from both ends: once the last Sender is gone, receivers drain
// what is queued and then see the end; once the last Receiver is gone, every
// send fails, so producers stop instead of blocking on a full queue that
// nobody will empty.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corv::fullmap {

// Lines of one synonym file, in file order, stored back to back in one
// buffer. Every line is non-empty and has no line end.
class Chunk {
 public:
  uint8_t source_id = 0;

  void reserve(size_t bytes) { bytes_.reserve(bytes); }
  void add_line(std::string_view line) {
    bytes_.append(line);
    ends_.push_back(bytes_.size());
  }
  size_t line_count() const { return ends_.size(); }
  size_t byte_count() const { return bytes_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view line(size_t i) const {
    size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

 private:
  std::string bytes_;
  std::vector<size_t> ends_;
};

namespace channel_detail {

template <class T>
struct State {
  explicit State(size_t cap) : capacity(std::max<size_t>(cap, 1)) {}
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::deque<T> queue;
  const size_t capacity;
  size_t senders = 1;
  size_t receivers = 1;
};

}  // namespace channel_detail

template <class T>
class Receiver;

template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) { attach(); }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { reset(); }

  // Waits while the channel is full. False, with the value dropped, when
  // every receiver is gone.
  bool send(T value) {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] { return state_->receivers == 0 || state_->queue.size() < state_->capacity; });
    if (state_->receivers == 0) return false;
    state_->queue.push_back(std::move(value));
    lock.unlock();
    state_->not_empty.notify_one();
    return true;
  }

  // Gives up this end now rather than at destruction.
  void reset() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->not_empty.notify_all();
    state_.reset();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(size_t);
  explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
  void attach() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver(const Receiver& other) : state_(other.state_) { attach(); }
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Receiver() { reset(); }

  // Waits for the next value; nullopt once every sender is gone and the
  // queue is empty.
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock, [&] { return state_->senders == 0 || !state_->queue.empty(); });
    if (state_->queue.empty()) return std::nullopt;
    T value = std::move(state_->queue.front());
    state_->queue.pop_front();
    lock.unlock();
    state_->not_full.notify_one();
    return value;
  }

  void reset() {
    if (!state_) return;
    bool last;
    std::deque<T> unread;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->receivers == 0;
      // Nobody will take what is queued: free it now (outside the lock),
      // not when the last sender goes.
      if (last) unread.swap(state_->queue);
    }
    if (last) state_->not_full.notify_all();
    state_.reset();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(size_t);
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
  void attach() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    ++state_->receivers;
  }
  std::shared_ptr<channel_detail::State<T>> state_;
};

// A channel holding at most `capacity` values (at least one).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(size_t capacity) {
  auto state = std::make_shared<channel_detail::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

using ChunkSender = Sender<Chunk>;
using ChunkReceiver = Receiver<Chunk>;

}  // namespace corv::fullmap
