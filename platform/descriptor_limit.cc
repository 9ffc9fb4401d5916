#include "platform/descriptor_limit.h"

#include <sys/resource.h>

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

long DescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == -1) return 0;
  return AsLong(limit.rlim_cur);
}

}  // namespace tw
