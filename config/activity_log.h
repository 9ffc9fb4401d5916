// The activity log: one line per proxied connection or request and per start/stop of a proxy.
// Worker threads only post (PostActivityText); the owner thread (console main loop, service
// main loop) drains the posted texts into the list model and the daily file. Nothing but the
// queue is touched by a poster.
//
// Console mode keeps the list shown on the Server Logs page and, while Savelog is on, appends
// each line to log/YYYYMMDD.txt (the lines of one drain in one write) and starts the new
// day's file (and an empty list) at the first line of a new day. Service mode keeps no list
// and, while Savelog is on, appends to the daily file the same way.
//
// The console's list is bounded: it keeps the newest rows within a row count and a byte
// budget (SetRowLimits), so a console left running for weeks cannot run out of memory; the
// older lines stay in the daily files.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "config/activity_text.h"
#include "config/log_file.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/mutex.h"

namespace tw {

enum class ActivityLogMode { kConsole, kService };

// Defaults of the console list's bounds.
constexpr std::size_t kDefaultActivityRows = 10000;
constexpr std::size_t kDefaultActivityBytes = 16u * 1024 * 1024;

// One row of the list: columns "UserName ", "IP Address       ", "Time", "Message".
struct ActivityRow {
  std::uint64_t seq = 0;  // increases by one per row ever added; never reused
  std::string user;
  std::string address;
  std::string time;  // "%Y-%m-%d %H:%M:%S"
  std::string message;
};

// Where activity texts are posted: a handle on an owner's queue (ActivityLog::Queue()), given
// to whatever posts and copied freely. Any thread posts; a post never blocks on the owner.
// A sink without a queue drops what is posted. The queue must outlive every thread that may
// still post through the sink.
class ActivitySink {
 public:
  ActivitySink() = default;
  explicit ActivitySink(MessageQueue<ActivityText>* queue) : queue_(queue) {}

  // False when whatever is posted would be dropped: a poster may then skip building its text.
  bool Wanted() const { return queue_ != nullptr; }

  // Splits text into its parts and posts them.
  void PostText(std::string_view text) const;
  // Posts parts that are already apart (a user name may then hold ":" or ","); each part is
  // cut to kActivityPartMax.
  void Post(ActivityText parts) const;

 private:
  MessageQueue<ActivityText>* queue_ = nullptr;
};

class ActivityLog {
 public:
  ActivityLog(ActivityLogMode mode, std::string data_dir, const Clock& clock);
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // Owner thread, at start-up: remembers today's date and opens today's daily file (whatever
  // Savelog says). False when the file cannot be opened: FileError() then holds the text to
  // show; the list keeps working and file lines are dropped until the next day's file opens.
  bool Start();

  void SetSavelog(bool on) { savelog_ = on; }  // owner thread; applies to the next line
  bool Savelog() const { return savelog_; }

  // Owner thread: handles every text posted so far, oldest first; returns how many.
  std::size_t DrainPosted();
  // Owner thread: one posted text (the handler of the posted message).
  void HandlePosted(const ActivityText& parts);
  // Owner thread: a line of the program itself ("Proxy Servers stopped.").
  void LogActivity(std::string_view text);

  // Where posters deliver; register it with SetActivityQueue.
  MessageQueue<ActivityText>& Queue() { return queue_; }
  // Owner thread, once Savelog is set: the sink for the proxies. In service mode with Savelog
  // off no line is kept anywhere, so this sink has no queue and posters skip building lines
  // (the service reads Savelog only at start-up). Console mode always keeps its list.
  ActivitySink Sink();

  // Any thread: the rows with seq > after, oldest first (for a live view).
  std::vector<ActivityRow> RowsAfter(std::uint64_t after) const EXCLUDES(rows_mu_);
  std::size_t RowCount() const EXCLUDES(rows_mu_);
  // Any thread: deletes every row ("Clear All").
  void ClearRows() EXCLUDES(rows_mu_);
  // Any thread: keeps at most max_rows rows whose texts add up to at most max_bytes, dropping
  // the oldest first (at once and at every new row). A zero limit counts as 1 (the newest row
  // always stays).
  void SetRowLimits(std::size_t max_rows, std::size_t max_bytes) EXCLUDES(rows_mu_);
  // Any thread: rows dropped by the bounds since the start (not by Clear All or a new day).
  std::uint64_t RowsDropped() const EXCLUDES(rows_mu_);

  const std::string& FileError() const { return file_.ErrorText(); }
  const CLogFile& File() const { return file_; }
  const std::string& RememberedDate() const { return date_; }

 private:
  // Adds the row and gathers the file line; the public entry points write what was gathered
  // before they return, so no line waits for a later call.
  void AddLine(const ActivityText& parts) EXCLUDES(rows_mu_);
  void WriteFileLines();
  void TrimRows() REQUIRES(rows_mu_);

  const ActivityLogMode mode_;
  const Clock& clock_;
  MessageQueue<ActivityText> queue_;
  CLogFile file_;           // owner thread only
  std::string date_;        // owner thread only: "%Y-%m-%d" of the file's day
  std::string file_lines_;  // owner thread only: lines for the file, not yet written
  bool savelog_ = false;    // owner thread only
  mutable Mutex rows_mu_;
  std::deque<ActivityRow> rows_ GUARDED_BY(rows_mu_);
  std::size_t row_bytes_ GUARDED_BY(rows_mu_) = 0;  // texts of rows_ added up
  std::size_t max_rows_ GUARDED_BY(rows_mu_) = kDefaultActivityRows;
  std::size_t max_bytes_ GUARDED_BY(rows_mu_) = kDefaultActivityBytes;
  std::uint64_t dropped_ GUARDED_BY(rows_mu_) = 0;
  std::uint64_t next_seq_ GUARDED_BY(rows_mu_) = 1;
};

}  // namespace tw
