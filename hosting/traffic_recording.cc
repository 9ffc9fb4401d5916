#include "hosting/traffic_recording.h"

#include <chrono>

namespace tw {

TrafficRecording::TrafficRecording(std::string dataDir, std::string program, const Clock& clock)
    : clock_(clock), book_(std::move(dataDir), std::move(program)) {}

TrafficRecording::~TrafficRecording() {
  Stop();
}

void TrafficRecording::ConnectionEnded(int protocol_id, std::string_view user,
                                       uint32_t client_addr_be, uint64_t up, uint64_t down) {
  TrafficAccount account =
      user.empty() ? TrafficAccount::Guest(client_addr_be) : TrafficAccount::User(user);
  book_.Add(Today(), protocol_id, account, up, down);
}

void TrafficRecording::Start() {
  if (thread_.joinable()) return;
  {
    MutexLock lock(mu_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

void TrafficRecording::Stop() {
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  if (thread_.joinable()) thread_.join();
  std::string error;
  if (!Flush(&error)) {
    MutexLock lock(mu_);
    lastError_ = error;
  }
}

bool TrafficRecording::Flush(std::string* error) {
  {
    MutexLock lock(collect_mu_);
    if (collect_) collect_();
  }
  return book_.Flush(Today(), error);
}

void TrafficRecording::SetCollector(std::function<void()> collect) {
  MutexLock lock(collect_mu_);
  collect_ = std::move(collect);
}

std::string TrafficRecording::LastError() const {
  MutexLock lock(mu_);
  return lastError_;
}

void TrafficRecording::Run() {
  for (;;) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTrafficFlushSeconds);
    {
      MutexLock lock(mu_);
      while (!stopping_ && wake_.WaitUntil(mu_, deadline)) {
      }
      if (stopping_) return;
    }
    std::string error;
    bool ok = Flush(&error);
    MutexLock lock(mu_);
    lastError_ = ok ? std::string() : error;
  }
}

}  // namespace tw
