#include "platform/registry.h"

#include <gtest/gtest.h>

#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;
using testing::WriteFile;

TEST(RegistryTest, MissingFileOrDamagedValuesGiveDefaults) {
  TestDir dir;
  EXPECT_EQ(ReadRegistryValue(dir.path(), kLogLevel), 3u);
  EXPECT_EQ(ReadRegistryValue(dir.path(), kThreadPriority), 3u);
  WriteFile(RegistryFilePath(dir.path()), "[Settings]\nLogLevel=-1\nThreadPriority=99999999999\n");
  EXPECT_EQ(ReadRegistryValue(dir.path(), kLogLevel), 3u);
  EXPECT_EQ(ReadRegistryValue(dir.path(), kThreadPriority), 3u);
}

TEST(RegistryTest, WrittenValuesReadBack) {
  TestDir dir;
  std::string error;
  ASSERT_TRUE(WriteRegistryValue(dir.path(), kLogLevel, 0, &error)) << error;
  ASSERT_TRUE(WriteRegistryValue(dir.path(), kThreadPriority, 4294967295u, &error)) << error;
  EXPECT_EQ(ReadRegistryValue(dir.path(), kLogLevel), 0u);
  EXPECT_EQ(ReadRegistryValue(dir.path(), kThreadPriority), 4294967295u);
}

}  // namespace
}  // namespace tw
