#include "platform/descriptor_limit.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace tw {

namespace {

long AsLong(rlim_t value) {
  if (value == RLIM_INFINITY || value > static_cast<rlim_t>(LONG_MAX)) return LONG_MAX;
  return static_cast<long>(value);
}

}  // namespace

long RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == -1) return 0;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return AsLong(raised.rlim_cur);
  }
  return AsLong(limit.rlim_cur);
}

void ReserveDescriptorTable(long count) {
  count = std::min(count, DescriptorLimit());
  if (count <= 1 || count > INT_MAX) return;
  int any = eventfd(0, EFD_CLOEXEC);
  if (any == -1) return;
  // The lowest free descriptor at or above the last slot: the table grows to hold it, and no
  // descriptor in use is touched.
  int last = fcntl(any, F_DUPFD_CLOEXEC, static_cast<int>(count - 1));
  if (last != -1) close(last);
  close(any);
}

long DescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == -1) return 0;
  return AsLong(limit.rlim_cur);
}

}  // namespace tw
