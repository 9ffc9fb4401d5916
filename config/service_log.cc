#include "config/service_log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "config/activity_text.h"

namespace tw {
namespace {

constexpr std::size_t kServiceMessageMax = 4096;

}  // namespace

bool ServiceLogger::Open(const std::string& path) {
  MutexLock lock(write_mu_);
  struct stat st;
  size_ = ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  return file_.Open(path);
}

void ServiceLogger::Rotate() {
  std::string path = file_.Path();
  file_.Close();
  for (int i = kServiceLogsKept - 1; i >= 1; --i) {
    std::string from = path + "." + std::to_string(i);
    std::rename(from.c_str(), (path + "." + std::to_string(i + 1)).c_str());
  }
  std::rename(path.c_str(), (path + ".1").c_str());
  size_ = 0;
  file_.Open(path);
}

void ServiceLogger::Close() {
  MutexLock lock(write_mu_);
  file_.Close();
}

void ServiceLogger::Log(int level, std::string_view text) {
  ServiceLogEntry entry;
  entry.time = clock_.Now();
  entry.level = level == 0 ? 3 : level;
  entry.text.assign(text.substr(0, kServiceMessageMax));
  queue_.Post(std::move(entry));
  if (!attached_.load()) Drain();
}

void ServiceLogger::SetOwnerAttached(bool attached) {
  attached_.store(attached);
  if (!attached) Drain();  // nothing may stay queued once no owner will drain
}

std::size_t ServiceLogger::Drain() {
  MutexLock lock(write_mu_);
  return DrainLocked();
}

std::size_t ServiceLogger::DrainLocked() {
  std::vector<std::string> lines;
  std::size_t n = queue_.Drain(
      [&lines](ServiceLogEntry&& e) { lines.push_back(FormatServiceLogLine(e.time, e.text)); });
  for (const std::string& line : lines) {
    if (!file_.IsOpen()) break;
    std::uint64_t bytes = line.size() + 1;
    if (size_ != 0 && size_ + bytes > rotateBytes_) Rotate();
    file_.WriteLine(line);
    size_ += bytes;
  }
  return n;
}

void ServiceLogger::Printf(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buf[kServiceMessageMax];
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;  // a broken format loses the line, not the program
  Log(level, buf);
}

}  // namespace tw
