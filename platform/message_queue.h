// Hands items from any thread to one owner thread, in the order they were posted: the
// replacement for posting window messages to a window owned by the GUI or service thread.
// Posters never wait for the owner: the owner holds the lock only to take the whole pending
// batch and runs its handler outside the lock. With capacity 0 the queue is unbounded and
// never loses an item; with a capacity, Post refuses (false) when that many are pending.
// The owner either blocks in WaitFor or watches WakeFd() in its own poll loop, then Drains.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <utility>

#include "platform/mutex.h"

namespace tw {

// An eventfd that is readable while a wake-up is outstanding; -1 when it could not be made.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  void Raise();  // any thread; never blocks
  void Clear();  // owner thread
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

template <typename T>
class MessageQueue {
 public:
  explicit MessageQueue(std::size_t capacity = 0) : capacity_(capacity) {}
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Any thread. False (and the item is dropped and counted) only when a capacity is set and
  // reached.
  bool Post(T item) {
    bool raise = false;
    {
      MutexLock lock(mu_);
      if (capacity_ != 0 && pending_.size() >= capacity_) {
        ++dropped_;
        return false;
      }
      pending_.push_back(std::move(item));
      if (!raised_) raised_ = raise = true;
    }
    ready_.NotifyOne();
    if (raise) wake_.Raise();
    return true;
  }

  // Owner thread. Hands every item pending at the call to handler(T&&), oldest first; items
  // posted meanwhile wait for the next call. Returns how many were handled.
  template <typename Handler>
  std::size_t Drain(Handler&& handler) {
    // Clear the signal before taking the batch: a post that lands after the take sees
    // raised_ == false and raises again, so no wake-up is lost.
    wake_.Clear();
    std::deque<T> batch;
    {
      MutexLock lock(mu_);
      batch.swap(pending_);
      raised_ = false;
    }
    for (T& item : batch) handler(std::move(item));
    return batch.size();
  }

  // Owner thread. Waits until an item is pending or the timeout passes; true when pending.
  bool WaitFor(std::chrono::milliseconds timeout) {
    MutexLock lock(mu_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.empty()) {
      if (!ready_.WaitUntil(mu_, deadline)) return !pending_.empty();
    }
    return true;
  }

  // Readable (poll/epoll) while items may be pending; -1 if the system refused an eventfd.
  int WakeFd() const { return wake_.fd(); }

  std::size_t Pending() const {
    MutexLock lock(mu_);
    return pending_.size();
  }
  std::size_t Dropped() const {
    MutexLock lock(mu_);
    return dropped_;
  }

 private:
  const std::size_t capacity_;
  mutable Mutex mu_;
  CondVar ready_;
  std::deque<T> pending_ GUARDED_BY(mu_);
  bool raised_ GUARDED_BY(mu_) = false;  // the wake signal is up for pending_
  std::size_t dropped_ GUARDED_BY(mu_) = 0;
  WakeSignal wake_;
};

}  // namespace tw
