#pragma once
// A program's traffic recording: its TrafficBook, fed by the listeners through the
// TrafficSink interface, and a thread that flushes the book to the program's month files
// every kTrafficFlushSeconds and once more at Stop. Both programs own one, for their own
// files ("console", "service").
//
// ConnectionEnded, Flush: any thread. Start and Stop: the owner thread; Stop before the
// listeners that report to it are destroyed is not needed (reports after Stop stay in
// memory and are lost at exit), but Stop after the listeners stopped saves everything.
#include <functional>
#include <string>
#include <thread>

#include "config/traffic_book.h"
#include "engine/core/traffic_sink.h"
#include "platform/clock.h"
#include "platform/mutex.h"

namespace tw {

constexpr int kTrafficFlushSeconds = 60;

class TrafficRecording final : public TrafficSink {
 public:
  TrafficRecording(std::string dataDir, std::string program, const Clock& clock);
  ~TrafficRecording() override;  // Stop()
  TrafficRecording(const TrafficRecording&) = delete;
  TrafficRecording& operator=(const TrafficRecording&) = delete;

  // Counts the bytes for today under the user, or the client's address when user is empty.
  void ConnectionEnded(int protocol_id, std::string_view user, uint32_t client_addr_be, uint64_t up,
                       uint64_t down) override;

  // Starts the flush thread (once).
  void Start();
  // Ends the flush thread and flushes what is left. Idempotent.
  void Stop();
  // Writes what was counted so far, after asking the collector (if any) to report what live
  // connections moved; false with *error as TrafficBook::Flush.
  bool Flush(std::string* error) EXCLUDES(collect_mu_);
  // What Flush runs first: the owner's listeners report their live connections' bytes
  // (ServerManager::ReportTraffic). Any thread; clear it (nullptr) before what it calls goes.
  void SetCollector(std::function<void()> collect) EXCLUDES(collect_mu_);

  int Today() const { return TrafficDayOf(clock_.Now()); }
  TrafficBook& book() { return book_; }
  // The last flush failure the thread met, or empty.
  std::string LastError() const EXCLUDES(mu_);

 private:
  void Run() EXCLUDES(mu_);

  const Clock& clock_;
  TrafficBook book_;
  std::thread thread_;  // owner thread only
  mutable Mutex mu_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::string lastError_ GUARDED_BY(mu_);
  Mutex collect_mu_;  // held while the collector runs, so clearing it waits for a run to end
  std::function<void()> collect_ GUARDED_BY(collect_mu_);
};

}  // namespace tw
