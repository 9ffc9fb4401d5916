// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with their lock rules
// spelled out for clang's thread-safety check (platform/thread_annotations.h).
// Contract, for any thread:
//   - a Mutex is not recursive: the thread that holds it must not lock it again, and only that
//     thread unlocks it;
//   - MutexLock holds its Mutex from construction to the end of its scope, or to Unlock();
//   - CondVar waits may only be called holding the mutex and return holding it again; they
//     may return without a notify, so callers wait in a loop on their own condition.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace tw {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Ends the hold before the scope does (to hand results on outside the lock).
  void Unlock() RELEASE() {
    mu_.Unlock();
    held_ = false;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // the caller still holds mu
  }
  // False once the deadline has passed.
  bool WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    std::cv_status status = cv_.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace tw
