// The data directory is private to its owner: every file the programs make there is 0600 and
// every directory 0700, whatever the umask, while a file that was there keeps its mode.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/installation.h"
#include "config/log_file.h"
#include "config/service_log.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::TestDir;

// The permission bits in octal ("600"), or "missing".
std::string ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == -1) return "missing";
  char text[8];
  std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

class UmaskZero {
 public:
  UmaskZero() : saved_(::umask(0)) {}
  ~UmaskZero() { ::umask(saved_); }

 private:
  mode_t saved_;
};

// Makes every kind of file in data_dir: the installation, option.ini, registry.ini, the
// service log and a daily activity file. log_first: the daily file comes first and so makes
// the directories itself.
void MakeEveryFile(const std::string& data_dir, bool log_first) {
  std::string error;
  const Clock& clock = SystemClock::Instance();
  CLogFile daily;
  daily.SetBaseDirectory(data_dir);
  if (log_first) {
    ASSERT_TRUE(daily.OpenForToday(clock)) << daily.ErrorText();
  }
  ASSERT_TRUE(InstallMissingDataFiles(data_dir, &error)) << error;
  if (!log_first) {
    ASSERT_TRUE(daily.OpenForToday(clock)) << daily.ErrorText();
  }
  daily.WriteLine("a line");
  ASSERT_TRUE(Settings::InDataDir(data_dir).SetInt(setting::kSavelog, 1, &error)) << error;
  ASSERT_TRUE(WriteRegistryValue(data_dir, kLogLevel, 3, &error)) << error;
  ServiceLogger service_log(clock);
  ASSERT_TRUE(service_log.Open(data_dir + "/" + kServiceLogFileName)) << service_log.ErrorText();
  service_log.Log(3, "started");
}

TEST(FileModesTest, EveryNewFileIsOwnerOnlyAndAReplacedFileKeepsItsMode) {
  UmaskZero umask_zero;  // what the old modes would have left world-writable
  TestDir dir;
  for (bool log_first : {false, true}) {
    std::string data_dir = dir.File(log_first ? "logged first" : "installed first");
    MakeEveryFile(data_dir, log_first);
    EXPECT_EQ(ModeOf(data_dir), "700") << data_dir;
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(data_dir)) {
      std::string path = e.path().string();
      if (e.is_directory()) {
        EXPECT_EQ(ModeOf(path), "700") << path;
      } else {
        EXPECT_EQ(ModeOf(path), "600") << path;
        ++files;
      }
    }
    // Five tables, three pages, option.ini and registry.ini with their lock files, the
    // service log and one daily file.
    EXPECT_EQ(files, 14) << data_dir;
  }

  // The operator's choice of mode survives the rename a settings write replaces it with.
  std::string option_ini = dir.File("installed first") + "/option.ini";
  ASSERT_EQ(::chmod(option_ini.c_str(), 0640), 0);
  std::string error;
  ASSERT_TRUE(Settings::InDataDir(dir.File("installed first")).SetInt(setting::kSavelog, 0, &error))
      << error;
  EXPECT_EQ(ModeOf(option_ini), "640");
}

}  // namespace
}  // namespace tw
