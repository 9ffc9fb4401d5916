#include "engine/policy/login_throttle.h"

#include "platform/tick.h"

namespace tw {

LoginThrottle::LoginThrottle(std::function<std::uint64_t()> now)
    : now_(now ? std::move(now) : std::function<std::uint64_t()>(MonotonicMs)) {}

bool LoginThrottle::Blocked(std::string_view address) {
  std::uint64_t now = now_();
  MutexLock lock(mu_);
  auto it = entries_.find(std::string(address));
  return it != entries_.end() && now < it->second.blockedUntil;
}

bool LoginThrottle::RecordFailure(std::string_view address) {
  std::uint64_t now = now_();
  MutexLock lock(mu_);
  auto it = entries_.find(std::string(address));
  if (it == entries_.end()) {
    MakeRoom(now);
    it = entries_.emplace(std::string(address), Entry{now, 0, 0}).first;
  }
  Entry& e = it->second;
  if (now < e.blockedUntil) return false;  // already blocked: counted once
  if (now - e.windowStart >= kWindowMs) {
    e.windowStart = now;
    e.failures = 0;
  }
  if (++e.failures < kMaxFailures) return false;
  e.blockedUntil = now + kBlockMs;
  e.failures = 0;
  e.windowStart = e.blockedUntil;
  return true;
}

void LoginThrottle::Clear() {
  MutexLock lock(mu_);
  entries_.clear();
}

// Drops the entries that no longer count; when none has expired, the oldest window.
void LoginThrottle::MakeRoom(std::uint64_t now) {
  if (entries_.size() < kMaxAddresses) return;
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = it->second;
    if (now >= e.blockedUntil && now - e.windowStart >= kWindowMs) {
      it = entries_.erase(it);
      continue;
    }
    if (oldest == entries_.end() || e.windowStart < oldest->second.windowStart) oldest = it;
    ++it;
  }
  if (entries_.size() >= kMaxAddresses && oldest != entries_.end()) entries_.erase(oldest);
}

}  // namespace tw
