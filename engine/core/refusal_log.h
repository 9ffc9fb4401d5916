#pragma once
// The bound on refusal lines in the activity log: a client refused again and again (a flood of
// connections over its cap, of guests from outside, of forbidden destinations) writes at most
// kLinesPerSecond lines per second; the refusals themselves go on, only their lines are
// dropped. Any thread. Memory is bounded: at most kMaxAddresses addresses are followed within
// one second; lines of further addresses in that second are dropped.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/mutex.h"

namespace tw {

class RefusalLogLimit {
 public:
  static constexpr int kLinesPerSecond = 5;
  static constexpr std::size_t kMaxAddresses = 4096;

  // now: a monotonic millisecond clock (tests give their own).
  explicit RefusalLogLimit(std::function<std::uint64_t()> now = nullptr);

  // True when a refusal line of this client address may be written now (and counts it).
  bool Allow(std::string_view address) EXCLUDES(mu_);

 private:
  std::function<std::uint64_t()> now_;
  Mutex mu_;
  std::uint64_t second_ GUARDED_BY(mu_) = 0;
  std::unordered_map<std::string, int> lines_ GUARDED_BY(mu_);
};

}  // namespace tw
