#pragma once
// A program's traffic recording: its TrafficBook, fed by the listeners through the
// TrafficSink interface, and a thread that flushes the book to the program's month files
// every kTrafficFlushSeconds and once more at Stop. Both programs own one, for their own
// files ("console", "service").
//
// ConnectionEnded, Flush: any thread. Start and Stop: the owner thread; Stop before the
// listeners that report to it are destroyed is not needed (reports after Stop stay in
// memory and are lost at exit), but Stop after the listeners stopped saves everything.
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
  // Writes what was counted so far; false with *error as TrafficBook::Flush.
  bool Flush(std::string* error);

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
};

}  // namespace tw
