#include "engine/http/ftp_gateway_jobs.h"

#include <pthread.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace tw {

namespace {

struct Entry {
  std::weak_ptr<CompletionPort> port;
  Overlapped* ov = nullptr;
  std::unique_ptr<FtpFetch> fetch;
};

class GatewayPool {
 public:
  ~GatewayPool() {
    {
      MutexLock lock(mu_);
      stopping_ = true;
    }
    cv_.NotifyAll();
    for (std::thread& t : threads_) t.join();
  }

  uint64_t Add(const std::shared_ptr<CompletionPort>& port, Overlapped* ov,
               std::unique_ptr<FtpFetch> fetch) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    DropOrphansLocked();
    if (threads_.empty()) {
      for (int i = 0; i < kFtpGatewayThreads; ++i) threads_.emplace_back(&GatewayPool::Run, this);
    }
    uint64_t id = next_id_++;
    bool busy = queue_.size() >= kFtpGatewayQueueLimit;
    fetch->busy = busy;
    entries_[id] = Entry{port, ov, std::move(fetch)};
    if (busy) {
      lock.Unlock();
      port->Post(0, id, ov, IoOp::kPosted, 0);
      return id;
    }
    queue_.push_back(id);
    cv_.NotifyOne();
    return id;
  }

  FtpFetch* Find(uint64_t id) {
    MutexLock lock(mu_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.fetch.get();
  }

  void End(uint64_t id) {
    Entry entry;
    {
      MutexLock lock(mu_);
      auto it = entries_.find(id);
      if (it == entries_.end()) return;
      entry = std::move(it->second);
      entries_.erase(it);
    }
    CloseData(entry);
  }

  size_t Count() {
    MutexLock lock(mu_);
    return entries_.size();
  }

 private:
  static void CloseData(Entry& entry) {
    if (entry.fetch->dataSocket == kNoSocket) return;
    if (std::shared_ptr<CompletionPort> port = entry.port.lock())
      port->Close(entry.fetch->dataSocket);
  }

  // A port that is gone closed its sockets; its fetches will never be claimed.
  void DropOrphansLocked() REQUIRES(mu_) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->second.port.expired())
        it = entries_.erase(it);
      else
        ++it;
    }
  }

  void Run() {
    pthread_setname_np(pthread_self(), "tw-ftpgw");
    for (;;) {
      uint64_t id;
      FtpFetch* fetch;
      Overlapped* ov;
      std::shared_ptr<CompletionPort> port;
      {
        MutexLock lock(mu_);
        while (!stopping_ && queue_.empty()) cv_.Wait(mu_);
        if (stopping_) return;
        id = queue_.front();
        queue_.pop_front();
        auto it = entries_.find(id);
        if (it == entries_.end()) continue;
        port = it->second.port.lock();
        if (!port) {
          entries_.erase(it);
          continue;
        }
        // While this thread holds the port the entry cannot be dropped as an orphan, and no
        // one else finds it before the completion below.
        fetch = it->second.fetch.get();
        ov = it->second.ov;
      }
      FtpFetchResult result;
      fetch->ok = FtpGatewayFetch(fetch->host, fetch->port, fetch->request, fetch->rules,
                                  fetch->limits, &resolver_, &result);
      if (result.dataFd != -1) {
        fetch->dataSocket = port->Associate(result.dataFd);
        if (fetch->dataSocket == kNoSocket) fetch->ok = false;
      }
      fetch->fileSize = result.fileSize;
      fetch->listing = std::move(result.listing);
      fetch->refused = std::move(result.refused);
      port->Post(0, id, ov, IoOp::kPosted, 0);
    }
  }

  ResolverPool resolver_;  // destroyed after the threads, which the destructor joins first
  Mutex mu_;
  CondVar cv_;
  std::deque<uint64_t> queue_ GUARDED_BY(mu_);
  std::map<uint64_t, Entry> entries_ GUARDED_BY(mu_);
  std::vector<std::thread> threads_ GUARDED_BY(mu_);  // joined unlocked once no Add can come
  uint64_t next_id_ GUARDED_BY(mu_) = 1;
  bool stopping_ GUARDED_BY(mu_) = false;
};

GatewayPool& Pool() {
  static GatewayPool pool;
  return pool;
}

}  // namespace

FtpGatewayLimits FtpGatewayLimitsOf(const ProxyServer& server) {
  return FtpGatewayLimits{server.http().ftpGatewayTimeoutMs, server.http().ftpGatewayDialogueMs,
                          server.lookupTimeoutMs()};
}

uint64_t StartFtpFetch(const std::shared_ptr<CompletionPort>& port, Overlapped* ov,
                       std::unique_ptr<FtpFetch> fetch) {
  return Pool().Add(port, ov, std::move(fetch));
}

FtpFetch* FindFtpFetch(uint64_t id) {
  return Pool().Find(id);
}

void EndFtpFetch(uint64_t id) {
  Pool().End(id);
}

size_t FtpFetchCount() {
  return Pool().Count();
}

}  // namespace tw
