#pragma once
// The console's owner thread and what it owns: the server manager with its five listeners,
// the activity log and the pages' state. Like a window's GUI thread, one thread (the
// program's main thread) runs every operation on them; the web server's threads hand their
// actions over with Call and wait for them. What the pages show live (status, activity rows)
// is published as a snapshot that any thread may read, and LiveUpdates wakes the streams.
//
// Owner thread: StartUp, DrainActions, CloseActions, manager(), options(), the events.
// Any thread: Call, Status, activity().RowsAfter/ClearRows, live().
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/activity_log.h"
#include "console/live_updates.h"
#include "console/options_page.h"
#include "hosting/server_manager.h"
#include "hosting/throughput_history.h"
#include "hosting/traffic_recording.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/mutex.h"

namespace tw {

// A message box: "Tarnwick Proxy Server" caption, error icon when `error`.
struct ConsoleNotice {
  std::uint64_t id = 0;
  std::string text;
  bool error = false;
};

struct ServerStatusRow {
  std::int32_t id = 0;
  std::string name;  // "HTTP", "FTP", "POP3", "SMTP", "SOCKS"
  bool running = false;
  std::int32_t port = 0;
};

// What the furniture shows; published by the owner after every change.
struct ConsoleStatus {
  bool online = false;
  bool startFailed = false;
  std::vector<ServerStatusRow> servers;
  std::vector<ConsoleNotice> notices;  // raised outside any web action (start-up)
  std::uint64_t logsCleared = 0;       // grows with every Clear All and new day's list
  std::size_t logRows = kDefaultActivityRows;
  std::size_t logMegabytes = kDefaultActivityBytes / (1024 * 1024);
};

class ConsoleOwner {
 public:
  ConsoleOwner(std::string dataDir, const Clock& clock);
  ~ConsoleOwner();
  ConsoleOwner(const ConsoleOwner&) = delete;
  ConsoleOwner& operator=(const ConsoleOwner&) = delete;

  // Owner thread, at start-up, in this order: today's daily file (its open-failure text goes
  // to *fileError), the option values, the server manager with the data the proxies read
  // (refusal pages, web filters, schedules). The owner thread is the calling thread.
  void StartUp(std::string* fileError);
  // Owner thread: StartServers when AutoActive is on (the last start-up step).
  void AutoActivate();

  // Any thread but the owner's: runs fn on the owner thread and waits for it. The manager's
  // message boxes raised meanwhile are returned in *messages. False, without running fn,
  // once the owner takes no more actions. On the owner thread fn runs at once.
  bool Call(const std::function<void()>& fn, std::vector<ConsoleNotice>* messages = nullptr);

  int ActionFd() { return actions_.WakeFd(); }
  int ActivityFd() { return activity_.Queue().WakeFd(); }
  // Owner thread: runs pending actions and activity lines; publishes what changed.
  void DrainActions();
  void DrainActivity();
  // Owner thread, at the end: refuses further actions and runs those already posted.
  void CloseActions();

  // Exit command: the owner loop ends after the current batch.
  void RequestExit() { exitRequested_ = true; }
  bool ExitRequested() const { return exitRequested_; }

  // Owner thread: StopServers and the options saved, as Exit and the signals do.
  void Shutdown();

  ConsoleStatus Status() const EXCLUDES(status_mu_);
  void DismissNotice(std::uint64_t id) EXCLUDES(status_mu_);
  // Any thread: Clear All of the Server Logs page.
  void ClearLogRows();
  // Owner thread: reads the list bounds from option.ini and applies them.
  void ApplyLogLimits();

  // Owner thread, from its loop: takes a reading of the proxies' byte totals into the
  // throughput history when a second has passed since the last one (nowMs: the monotonic
  // clock). Returns the milliseconds until the next reading is due, for the loop's wait.
  int SampleThroughput(std::uint64_t nowMs);
  // Any thread: the proxies' throughput over the last minutes.
  const ThroughputHistory& throughput() const { return throughput_; }

  ServerManager& manager() { return *manager_; }
  // Any thread: the console's traffic book (started by StartUp, flushed at Shutdown).
  TrafficRecording& traffic() { return traffic_; }
  OptionsPage& options() { return options_; }
  ActivityLog& activity() { return activity_; }
  LiveUpdates& live() { return live_; }
  const std::string& dataDir() const { return dataDir_; }

  // The installed service is running (the total start failure then shows the service text).
  // Set before StartUp; empty: never.
  std::function<bool()> isServiceRunning;

 private:
  void PublishStatus() EXCLUDES(status_mu_);
  void LogLine(const std::string& line);

  const std::string dataDir_;
  const std::thread::id ownerThread_;
  ActivityLog activity_;
  OptionsPage options_;
  TrafficRecording traffic_;  // outlives the manager, whose listeners report to it
  std::unique_ptr<ServerManager> manager_;
  LiveUpdates live_;
  ThroughputHistory throughput_;
  std::uint64_t nextSampleMs_ = 0;  // owner thread
  MessageQueue<std::function<void()>> actions_;
  Mutex accept_mu_;
  bool accepting_ GUARDED_BY(accept_mu_) = true;
  std::vector<ConsoleNotice> raised_;  // owner thread: message boxes of the current action
  bool inAction_ = false;              // owner thread
  std::uint64_t nextNoticeId_ = 1;     // owner thread
  std::atomic<bool> exitRequested_{false};
  mutable Mutex status_mu_;
  ConsoleStatus status_ GUARDED_BY(status_mu_);
};

}  // namespace tw
