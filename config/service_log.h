// The service host's own log, "kestrane.log": status lines such as "... stopping...".
// Any thread may log; each entry takes its local time when logged and is written by the
// owner thread's Drain, or at once while no owner loop is attached (start-up, shut-down).
// Line: "dd/mm/yyyy HH:MM:SS.mmm " + message. The level is kept with the entry (0 becomes 3)
// but filters nothing. Nothing is written while no file is open (LogLevel 0).
// The file is bounded: a line that would take it past the rotation size first moves it to
// "<path>.1" (and "<path>.1" to "<path>.2", and so on; kServiceLogsKept old files are kept).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/log_file.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/mutex.h"

namespace tw {

constexpr char kServiceLogFileName[] = "kestrane.log";
constexpr std::uint64_t kServiceLogRotateBytes = 10 * 1024 * 1024;
constexpr int kServiceLogsKept = 3;

struct ServiceLogEntry {
  LocalTime time;
  int level = 3;
  std::string text;
};

class ServiceLogger {
 public:
  explicit ServiceLogger(const Clock& clock, std::uint64_t rotateBytes = kServiceLogRotateBytes)
      : clock_(clock), rotateBytes_(rotateBytes) {}
  ServiceLogger(const ServiceLogger&) = delete;
  ServiceLogger& operator=(const ServiceLogger&) = delete;

  // Opens path for appending; false with ErrorText() as CLogFile::Open.
  bool Open(const std::string& path) EXCLUDES(write_mu_);
  void Close() EXCLUDES(write_mu_);
  // The opener's thread, right after a failed Open: no writer changes the text meanwhile.
  const std::string& ErrorText() const NO_THREAD_SAFETY_ANALYSIS { return file_.ErrorText(); }

  // Any thread.
  void Log(int level, std::string_view text) EXCLUDES(write_mu_);
  // Any thread: a printf-style line, cut to the longest entry.
  void Printf(int level, const char* format, ...) EXCLUDES(write_mu_)
      __attribute__((format(printf, 3, 4)));
  // While attached, entries wait for Drain on the owner thread.
  void SetOwnerAttached(bool attached) EXCLUDES(write_mu_);

  // Owner thread: writes every queued entry; returns how many.
  std::size_t Drain() EXCLUDES(write_mu_);
  int WakeFd() const { return queue_.WakeFd(); }

 private:
  std::size_t DrainLocked() REQUIRES(write_mu_);
  void Rotate() REQUIRES(write_mu_);

  const Clock& clock_;
  const std::uint64_t rotateBytes_;
  std::uint64_t size_ GUARDED_BY(write_mu_) = 0;  // bytes in the open file
  MessageQueue<ServiceLogEntry> queue_;
  Mutex write_mu_;  // serialises writers of file_ (owner drain or immediate writes)
  CLogFile file_ GUARDED_BY(write_mu_);
  std::atomic<bool> attached_{false};
};

}  // namespace tw
