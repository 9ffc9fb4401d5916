#include "config/service_log.h"

#include <cstdarg>
#include <cstdio>

#include "config/activity_text.h"

namespace tw {
namespace {

constexpr std::size_t kServiceMessageMax = 4096;

}  // namespace

bool ServiceLogger::Open(const std::string& path) {
  MutexLock lock(write_mu_);
  return file_.Open(path);
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
  CLogFile* file = &file_;  // the handler runs within this call, under its lock
  return queue_.Drain(
      [file](ServiceLogEntry&& e) { file->WriteLine(FormatServiceLogLine(e.time, e.text)); });
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
