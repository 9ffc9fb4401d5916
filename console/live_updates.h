#pragma once
// Wakes the console's event streams when something they show changed (a new activity row,
// the proxies' status, the options). A version number that only grows; streams wait for it
// to pass the version they last sent. Close() wakes every waiter for good (the console is
// ending). Any thread.
#include <chrono>
#include <cstdint>

#include "platform/mutex.h"

namespace tw {

class LiveUpdates {
 public:
  void Notify() EXCLUDES(mu_);
  void Close() EXCLUDES(mu_);
  std::uint64_t Version() const EXCLUDES(mu_);
  bool Closed() const EXCLUDES(mu_);
  // Waits until the version differs from seen, Close(), or the timeout; returns the version.
  std::uint64_t WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout) EXCLUDES(mu_);

 private:
  mutable Mutex mu_;
  CondVar changed_;
  std::uint64_t version_ GUARDED_BY(mu_) = 1;
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace tw
