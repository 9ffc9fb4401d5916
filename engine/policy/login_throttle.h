#pragma once
// The failed-login limit of one proxy: after kMaxFailures wrong user names or passwords from
// one client address within kWindowMs, every login attempt from that address is refused for
// kBlockMs, without checking the account. Successful logins are never delayed.
//
// Any thread (workers check and record at once). Memory is bounded: at most kMaxAddresses
// addresses are followed; when that is full, the entry whose window began first gives way.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/mutex.h"

namespace tw {

class LoginThrottle {
 public:
  static constexpr int kMaxFailures = 5;
  static constexpr std::uint64_t kWindowMs = 60000;
  static constexpr std::uint64_t kBlockMs = 60000;
  static constexpr std::size_t kMaxAddresses = 4096;

  // now: a monotonic millisecond clock (tests give their own).
  explicit LoginThrottle(std::function<std::uint64_t()> now = nullptr);

  // True while the address may not try to log in.
  bool Blocked(std::string_view address) EXCLUDES(mu_);
  // Counts a wrong name or password; true when this failure starts the address's block.
  bool RecordFailure(std::string_view address) EXCLUDES(mu_);
  // Forgets every address (a proxy's new start).
  void Clear() EXCLUDES(mu_);

 private:
  struct Entry {
    std::uint64_t windowStart = 0;
    int failures = 0;
    std::uint64_t blockedUntil = 0;
  };
  void MakeRoom(std::uint64_t now) REQUIRES(mu_);

  std::function<std::uint64_t()> now_;
  Mutex mu_;
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mu_);
};

}  // namespace tw
