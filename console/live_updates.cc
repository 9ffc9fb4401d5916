#include "console/live_updates.h"

namespace tw {

void LiveUpdates::Notify() {
  {
    MutexLock lock(mu_);
    ++version_;
  }
  changed_.NotifyAll();
}

void LiveUpdates::Close() {
  {
    MutexLock lock(mu_);
    closed_ = true;
    ++version_;
  }
  changed_.NotifyAll();
}

std::uint64_t LiveUpdates::Version() const {
  MutexLock lock(mu_);
  return version_;
}

bool LiveUpdates::Closed() const {
  MutexLock lock(mu_);
  return closed_;
}

std::uint64_t LiveUpdates::WaitBeyond(std::uint64_t seen, std::chrono::milliseconds timeout) {
  MutexLock lock(mu_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (version_ == seen && !closed_) {
    if (!changed_.WaitUntil(mu_, deadline)) break;
  }
  return version_;
}

}  // namespace tw
