#include "platform/descriptor_limit.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

namespace tw {
namespace {

// The slots of the process's descriptor table, as the kernel reports them.
long TableSize() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("FDSize:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}

long OpenDescriptors() {
  long n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// The table grows at once to the count asked for, never past the soft limit, and no
// descriptor stays open.
TEST(DescriptorTable, GrowsToTheCountWithinTheLimitAndLeavesNothingOpen) {
  long before = TableSize();
  ASSERT_GT(before, 0);
  long open = OpenDescriptors();
  long wanted = before * 4;
  ASSERT_GE(DescriptorLimit(), wanted) << "the test needs a soft limit of at least " << wanted;
  ReserveDescriptorTable(wanted);
  EXPECT_GE(TableSize(), wanted);
  EXPECT_EQ(OpenDescriptors(), open);

  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(wanted * 2);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  ReserveDescriptorTable(wanted * 64);  // more than the limit: stops at the limit
  EXPECT_LE(TableSize(), wanted * 2);
  EXPECT_GE(TableSize(), wanted);
  EXPECT_EQ(OpenDescriptors(), open);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

}  // namespace
}  // namespace tw
