#include "platform/resolver.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "platform/address_text.h"
#include "platform/mutex.h"

namespace tw {

ResolverPool::~ResolverPool() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  cv_.NotifyAll();
  for (std::thread& t : threads_) t.join();
}

void ResolverPool::Resolve(const std::shared_ptr<CompletionPort>& port, std::string host,
                           uint64_t key, Overlapped* ov) {
  MutexLock lock(mu_);
  if (threads_.empty()) {
    for (int i = 0; i < kResolverThreads; ++i) threads_.emplace_back(&ResolverPool::Run, this);
  }
  jobs_.push_back(Job{port, std::move(host), key, ov});
  cv_.NotifyOne();
}

void ResolverPool::Run() {
  pthread_setname_np(pthread_self(), "tw-resolve");
  for (;;) {
    Job job;
    {
      MutexLock lock(mu_);
      while (!stopping_ && jobs_.empty()) cv_.Wait(mu_);
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.port.expired()) continue;
    uint32_t address = 0;
    bool ok = ResolveIPv4(job.host, &address);
    if (std::shared_ptr<CompletionPort> port = job.port.lock()) {
      port->Post(ok ? address : 0, job.key, job.ov, IoOp::kResolve, ok ? 0 : EHOSTUNREACH);
    }
  }
}

bool ResolveIPv4(const std::string& host, uint32_t* out) {
  if (host.empty() || host.size() > 255) return false;
  if (ParseIPv4(host, out)) return true;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
  bool found = false;
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      *out = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

}  // namespace tw
