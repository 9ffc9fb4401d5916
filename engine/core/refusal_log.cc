#include "engine/core/refusal_log.h"

#include "platform/tick.h"

namespace tw {

RefusalLogLimit::RefusalLogLimit(std::function<std::uint64_t()> now)
    : now_(now ? std::move(now) : std::function<std::uint64_t()>(MonotonicMs)) {}

bool RefusalLogLimit::Allow(std::string_view address) {
  std::uint64_t second = now_() / 1000;
  MutexLock lock(mu_);
  if (second != second_) {
    second_ = second;
    lines_.clear();
  }
  auto it = lines_.find(std::string(address));
  if (it == lines_.end()) {
    if (lines_.size() >= kMaxAddresses) return false;
    it = lines_.emplace(std::string(address), 0).first;
  }
  if (it->second >= kLinesPerSecond) return false;
  ++it->second;
  return true;
}

}  // namespace tw
