#pragma once
// Name lookups off the I/O path: a small pool of threads runs getaddrinfo (IPv4) and posts the
// result to the port that asked, as one kResolve completion: bytes = the first IPv4 address in
// network byte order, error = 0, or error = EHOSTUNREACH when the name does not resolve.
// A port that is gone or closed by the time the lookup ends simply gets nothing.
//
// The owner keeps the pool for as long as any listener may ask it; any thread may call
// Resolve. The threads start at the first lookup; the destructor waits for the lookups
// under way (getaddrinfo cannot be interrupted) and drops the queued ones.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/completion_port.h"
#include "platform/mutex.h"

namespace tw {

class ResolverPool {
 public:
  ResolverPool() = default;
  ~ResolverPool();
  ResolverPool(const ResolverPool&) = delete;
  ResolverPool& operator=(const ResolverPool&) = delete;

  void Resolve(const std::shared_ptr<CompletionPort>& port, std::string host, uint64_t key,
               Overlapped* ov) EXCLUDES(mu_);

 private:
  static constexpr int kResolverThreads = 4;
  struct Job {
    std::weak_ptr<CompletionPort> port;
    std::string host;
    uint64_t key = 0;
    Overlapped* ov = nullptr;
  };

  void Run() EXCLUDES(mu_);

  Mutex mu_;
  CondVar cv_;
  std::deque<Job> jobs_ GUARDED_BY(mu_);
  std::vector<std::thread> threads_ GUARDED_BY(mu_);  // joined unlocked once no job can come
  bool stopping_ GUARDED_BY(mu_) = false;
};

// Blocking lookup of the first IPv4 address (network order). False when none.
bool ResolveIPv4(const std::string& host, uint32_t* out);

}  // namespace tw
