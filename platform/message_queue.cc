#include "platform/message_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tw {

WakeSignal::WakeSignal() {
  fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

WakeSignal::~WakeSignal() {
  if (fd_ != -1) ::close(fd_);
}

void WakeSignal::Raise() {
  if (fd_ == -1) return;
  std::uint64_t one = 1;
  // Non-blocking: a full counter (never reached in practice) means it is readable anyway.
  while (::write(fd_, &one, sizeof one) == -1 && errno == EINTR) {
  }
}

void WakeSignal::Clear() {
  if (fd_ == -1) return;
  std::uint64_t count = 0;
  while (::read(fd_, &count, sizeof count) == -1 && errno == EINTR) {
  }
}

}  // namespace tw
