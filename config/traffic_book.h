#pragma once
// The traffic book of one program: bytes per account, proxy and day, added from the worker
// threads as connections end and written by the owner to the program's own month files
// (traffic_file.h). Between flushes the counts stay in memory, bounded by TrafficCaps per
// day and kMaxPendingTrafficDays days.
//
// Add: any thread; a short lock on the in-memory map, no I/O.
// Flush: any thread, one at a time (a second caller waits for the first); the owner calls it
// periodically and at stop, the pages before they read the files.
// Two books must not write the same program's files (the instance lock of each program
// keeps one process per data directory).
#include <cstdint>
#include <map>
#include <string>

#include "config/traffic_counts.h"
#include "platform/mutex.h"

namespace tw {

constexpr std::size_t kMaxPendingTrafficDays = 32;  // an Add for a further day is dropped

class TrafficBook {
 public:
  // program: the file name prefix, 1-16 letters a-z ("console", "service").
  TrafficBook(std::string dataDir, std::string program, TrafficCaps caps = {});
  TrafficBook(const TrafficBook&) = delete;
  TrafficBook& operator=(const TrafficBook&) = delete;

  void Add(int day, int proxy, const TrafficAccount& account, std::uint64_t up, std::uint64_t down)
      EXCLUDES(mu_);

  // Appends what was added since the last flush to the month files (the days of the last
  // kTrafficKeepDays up to `today`; older ones are dropped), cuts a torn tail off first,
  // compacts a file that has grown to twice its compacted size, and removes this program's
  // month files that hold only days older than that. False with *error when a file could not
  // be written; the counts it should have held are kept for the next flush.
  bool Flush(int today, std::string* error) EXCLUDES(flush_mu_, mu_);

  const std::string& program() const { return program_; }

 private:
  struct MonthFile {
    std::uint64_t length = 0;     // sound length: where the next record goes
    std::uint64_t compacted = 0;  // length after the last compaction or the first read
    bool scanned = false;
  };
  using Days = std::map<int, DayTraffic>;

  bool Append(int month, const std::string& bytes, std::string* error) REQUIRES(flush_mu_);
  bool Compact(int month, int first_kept_day, std::string* error) REQUIRES(flush_mu_);
  void RemoveExpiredFiles(int first_kept_day) REQUIRES(flush_mu_);
  void PutBack(Days days) EXCLUDES(mu_);

  const std::string dataDir_;
  const std::string program_;
  const TrafficCaps caps_;
  Mutex mu_;
  Days pending_ GUARDED_BY(mu_);
  Mutex flush_mu_;
  std::map<int, MonthFile> files_ GUARDED_BY(flush_mu_);
};

}  // namespace tw
