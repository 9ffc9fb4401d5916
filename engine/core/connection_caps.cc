#include "engine/core/connection_caps.h"

#include <algorithm>

namespace tw {

int64_t ConnectionTotalFor(long descriptorLimit) {
  long usable = descriptorLimit - kReservedDescriptors;
  return std::max<int64_t>(1, usable / kDescriptorsPerConnection);
}

std::atomic<int64_t>& ProcessClientConnections() {
  static std::atomic<int64_t> count{0};
  return count;
}

void ConnectionCaps::Configure(int32_t perClient, int64_t total) {
  MutexLock lock(mu_);
  perClient_ = std::max(perClient, 0);
  total_ = std::max<int64_t>(total, 1);
}

Admission ConnectionCaps::Admit(uint32_t address) {
  MutexLock lock(mu_);
  auto it = perAddress_.find(address);
  int32_t current = it == perAddress_.end() ? 0 : it->second;
  if (perClient_ != 0 && current >= perClient_) return Admission::kClientFull;
  // Several proxies share the total: the count is taken first and given back when over.
  if (processCount_.fetch_add(1) >= total_) {
    processCount_.fetch_sub(1);
    return Admission::kTotalFull;
  }
  if (it == perAddress_.end()) {
    perAddress_.emplace(address, 1);
  } else {
    ++it->second;
  }
  return Admission::kAdmitted;
}

void ConnectionCaps::Release(uint32_t address) {
  MutexLock lock(mu_);
  auto it = perAddress_.find(address);
  if (it == perAddress_.end()) return;
  processCount_.fetch_sub(1);
  if (--it->second <= 0) perAddress_.erase(it);
}

int32_t ConnectionCaps::CountOf(uint32_t address) {
  MutexLock lock(mu_);
  auto it = perAddress_.find(address);
  return it == perAddress_.end() ? 0 : it->second;
}

}  // namespace tw
