#include "config/activity_log.h"

#include <algorithm>
#include <cstdlib>

#include "config/settings.h"

namespace tw {

namespace {

// What a row costs in the byte budget: its texts (the fixed overhead is covered by the count).
std::size_t RowBytes(const ActivityRow& row) {
  return row.user.size() + row.address.size() + row.time.size() + row.message.size();
}

// File lines gathered from one drain go out in one write once they reach this size.
constexpr std::size_t kFileBatchBytes = 64 * 1024;

// [Server] log_days; a value below 1 takes the default.
int LogDays(const std::string& data_dir) {
  int days = Settings::InDataDir(data_dir).Int(setting::kLogDays);
  return days >= 1 ? days : std::atoi(setting::kLogDays.default_text);
}

}  // namespace

ActivityLog::ActivityLog(ActivityLogMode mode, std::string data_dir, const Clock& clock)
    : mode_(mode), clock_(clock) {
  file_.SetBaseDirectory(std::move(data_dir));
}

bool ActivityLog::Start() {
  LocalTime now = clock_.Now();
  date_ = FormatDate(now);
  RemoveExpiredDailyFiles(file_.BaseDirectory(), now, LogDays(file_.BaseDirectory()));
  return file_.OpenForToday(clock_);
}

ActivitySink ActivityLog::Sink() {
  if (mode_ == ActivityLogMode::kService && !savelog_) return ActivitySink();
  return ActivitySink(&queue_);
}

std::size_t ActivityLog::DrainPosted() {
  std::size_t n = queue_.Drain([this](ActivityText&& parts) { AddLine(parts); });
  WriteFileLines();
  return n;
}

void ActivityLog::HandlePosted(const ActivityText& parts) {
  AddLine(parts);
  WriteFileLines();
}

void ActivityLog::LogActivity(std::string_view text) {
  AddLine(SplitActivityText(text));
  WriteFileLines();
}

void ActivityLog::WriteFileLines() {
  file_.WriteLines(file_lines_);
  file_lines_.clear();
}

void ActivityLog::AddLine(const ActivityText& parts) {
  LocalTime now = clock_.Now();
  std::string today = FormatDate(now);
  // A new day while lines are saved: the list starts empty and the lines go to the new day's
  // file. The list is emptied before the new line is added so that the line stays visible.
  bool new_day = savelog_ && today != date_;
  if (new_day) {
    WriteFileLines();  // the old day's lines go to the old day's file
    date_ = today;
    if (mode_ == ActivityLogMode::kConsole) ClearRows();
    RemoveExpiredDailyFiles(file_.BaseDirectory(), now, LogDays(file_.BaseDirectory()));
    file_.OpenForToday(clock_);
  }
  if (mode_ == ActivityLogMode::kConsole) {
    MutexLock lock(rows_mu_);
    rows_.push_back(ActivityRow{next_seq_++, parts.user, parts.address, FormatDateTime(now),
                                parts.description});
    row_bytes_ += RowBytes(rows_.back());
    TrimRows();
  }
  if (savelog_) {
    file_lines_ += FormatAccessLogLine(parts, now);
    file_lines_ += '\n';
    if (file_lines_.size() >= kFileBatchBytes) WriteFileLines();
  }
}

std::vector<ActivityRow> ActivityLog::RowsAfter(std::uint64_t after) const {
  MutexLock lock(rows_mu_);
  // Rows are kept in seq order, so the new ones are a tail.
  auto first =
      std::upper_bound(rows_.begin(), rows_.end(), after,
                       [](std::uint64_t seq, const ActivityRow& row) { return seq < row.seq; });
  return std::vector<ActivityRow>(first, rows_.end());
}

std::size_t ActivityLog::RowCount() const {
  MutexLock lock(rows_mu_);
  return rows_.size();
}

void ActivityLog::ClearRows() {
  MutexLock lock(rows_mu_);
  rows_.clear();
  row_bytes_ = 0;
}

void ActivityLog::SetRowLimits(std::size_t max_rows, std::size_t max_bytes) {
  MutexLock lock(rows_mu_);
  max_rows_ = std::max<std::size_t>(max_rows, 1);
  max_bytes_ = std::max<std::size_t>(max_bytes, 1);
  TrimRows();
}

std::uint64_t ActivityLog::RowsDropped() const {
  MutexLock lock(rows_mu_);
  return dropped_;
}

void ActivityLog::TrimRows() {
  while (rows_.size() > 1 && (rows_.size() > max_rows_ || row_bytes_ > max_bytes_)) {
    row_bytes_ -= RowBytes(rows_.front());
    rows_.pop_front();
    ++dropped_;
  }
}

void ActivitySink::PostText(std::string_view text) const {
  if (queue_ == nullptr) return;
  Post(SplitActivityText(text));
}

void ActivitySink::Post(ActivityText parts) const {
  if (queue_ == nullptr) return;
  parts.description.resize(std::min(parts.description.size(), kActivityPartMax));
  parts.address.resize(std::min(parts.address.size(), kActivityPartMax));
  parts.user.resize(std::min(parts.user.size(), kActivityPartMax));
  queue_->Post(std::move(parts));
}

}  // namespace tw
