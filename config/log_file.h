// An append-only text log file: the daily activity file "log/YYYYMMDD.txt" under a base
// directory, or the service log. Each line, or batch of whole lines, goes out in one append
// write, so the console and the service writing the same daily file never interleave inside a
// line.
// One owner thread per object (no locking inside).
#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace tw {

constexpr char kLogOpenErrorCaption[] = "Error in CLogFile::Open()";

class CLogFile {
 public:
  CLogFile() = default;
  ~CLogFile() { Close(); }
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  void SetBaseDirectory(std::string dir) { base_dir_ = std::move(dir); }
  const std::string& BaseDirectory() const { return base_dir_; }

  // Closes any open file, remembers path and opens it for appending (created when missing,
  // 0600; the directories OpenForToday makes are 0700).
  // On failure: false, no file open (later lines are dropped), and ErrorText() reads
  // "Cannot create or open file: '<path>'" for the console to show with
  // kLogOpenErrorCaption.
  bool Open(const std::string& path);

  // Remembers today's day of month and opens "<base>/log/YYYYMMDD.txt" for today's local
  // date, creating the base directory and its log/ subdirectory when missing.
  bool OpenForToday(const Clock& clock);

  // The file of a date: "<base>/log/YYYYMMDD.txt".
  std::string DailyPath(const LocalTime& t) const;

  // Writes text and a line end; does nothing when no file is open.
  void WriteLine(std::string_view text);
  // Writes whole lines, each with its line end, in one append write; nothing when no file is
  // open.
  void WriteLines(std::string_view lines);
  void Close();

  bool IsOpen() const { return fd_ != -1; }
  const std::string& Path() const { return path_; }
  int Day() const { return day_; }
  const std::string& ErrorText() const { return error_; }

 private:
  std::string base_dir_;
  std::string path_;
  std::string error_;
  int day_ = 0;
  int fd_ = -1;
};

// Removes the daily files "<base>/log/YYYYMMDD.txt" dated keepDays days or more before
// `today` (keepDays < 1 removes none); other files are left alone. Returns how many went.
int RemoveExpiredDailyFiles(const std::string& base_dir, const LocalTime& today, int keepDays);

}  // namespace tw
