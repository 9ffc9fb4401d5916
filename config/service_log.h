// The service host's own log, "kestrane.log": status lines such as "... stopping...".
// Any thread may log; each entry takes its local time when logged and is written by the
// owner thread's Drain, or at once while no owner loop is attached (start-up, shut-down).
// Line: "dd/mm/yyyy HH:MM:SS.mmm " + message. The level is kept with the entry (0 becomes 3)
// but filters nothing. Nothing is written while no file is open (LogLevel 0).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "config/log_file.h"
#include "platform/clock.h"
#include "platform/message_queue.h"

namespace tw {

constexpr char kServiceLogFileName[] = "kestrane.log";

struct ServiceLogEntry {
  LocalTime time;
  int level = 3;
  std::string text;
};

class ServiceLogger {
 public:
  explicit ServiceLogger(const Clock& clock) : clock_(clock) {}
  ServiceLogger(const ServiceLogger&) = delete;
  ServiceLogger& operator=(const ServiceLogger&) = delete;

  // Opens path for appending; false with ErrorText() as CLogFile::Open.
  bool Open(const std::string& path);
  void Close();
  const std::string& ErrorText() const { return file_.ErrorText(); }

  // Any thread.
  void Log(int level, std::string_view text);
  // While attached, entries wait for Drain on the owner thread.
  void SetOwnerAttached(bool attached);

  // Owner thread: writes every queued entry; returns how many.
  std::size_t Drain();
  int WakeFd() const { return queue_.WakeFd(); }

 private:
  std::size_t DrainLocked();

  const Clock& clock_;
  MessageQueue<ServiceLogEntry> queue_;
  std::mutex write_mu_;  // serialises writers of file_ (owner drain or immediate writes)
  CLogFile file_;        // guarded by write_mu_
  std::atomic<bool> attached_{false};
};

// The process's service logger for ServiceLog; nullptr (the default) drops lines.
void SetServiceLogger(ServiceLogger* logger);
// Any thread: printf-style line to the process's service logger.
void ServiceLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tw
