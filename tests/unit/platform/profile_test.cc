#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::TestDir;
using testing::WriteFile;

TEST(ProfileTest, MissingFileSectionOrKeyGivesDefault) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  EXPECT_EQ(GetProfileString("HTTP", "port", "808", path), "808");
  WriteFile(path, "[HTTP]\nauth=1\n");
  EXPECT_EQ(GetProfileString("HTTP", "port", "808", path), "808");
  EXPECT_EQ(GetProfileString("FTP", "auth", "0", path), "0");
  EXPECT_EQ(GetProfileString("HTTP", "auth", "0", path), "1");
}

TEST(ProfileTest, ReadsValuesAsTheSettingsFileExpects) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  std::string long_value(300, 'x');
  WriteFile(path,
            "; comment line\r\n"
            "[server]\r\n"
            "  Startup =  1  \r\n"
            "Quoted=\"a b\"\r\n"
            "Long=" +
                long_value +
                "\r\n"
                "[Server]\r\n"  // a second section of the same name is not consulted
                "Savelog=1\r\n"
                "[HTTP]\n"
                "port=80abc\n"
                "auth=letters\n"
                "last=no line end");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"SERVER", "startup", "1"},  // section and key case, trimmed blanks, CRLF
      {"Server", "Quoted", "a b"},     {"Server", "Savelog", "dflt"},
      {"http", "PORT", "80abc"},  // mixed LF after CRLF
      {"HTTP", "last", "no line end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetProfileString(c.section, c.key, "dflt", path), c.expected)
        << c.section << "/" << c.key;
  }
  EXPECT_EQ(GetProfileString("Server", "Long", "", path), std::string(255, 'x'));
  EXPECT_EQ(GetProfileInt("HTTP", "port", "808", path), 80);
  EXPECT_EQ(GetProfileInt("HTTP", "auth", "0", path), 0);
  EXPECT_EQ(GetProfileString("X", "y", std::string(400, 'd'), path).size(), 255u);
}

TEST(ProfileTest, LeadingIntConversion) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"80abc", 80},
               {"abc", 0},
               {"", 0},
               {"  42", 42},
               {"-5", -5},
               {"+7x", 7},
               {"2097152", 2097152},
               {"99999999999", 2147483647},
               {"-99999999999", -2147483647 - 1}};
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingInt(c.text), c.value) << c.text;
}

TEST(ProfileTest, WriteKeepsEveryOtherLineAndLineEnds) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  WriteFile(path, "; keep me\r\n[Server]\r\nStartup=0\r\nOther = x\r\n\r\n[HTTP]\r\nport=808\r\n");
  std::string error;
  ASSERT_TRUE(WriteProfileString("server", "startup", "1", path, &error)) << error;
  ASSERT_TRUE(WriteProfileString("Server", "Savelog", "1", path, &error)) << error;
  ASSERT_TRUE(WriteProfileString("Guest", "IpRange", "10.0.0.1-10.0.0.9", path, &error)) << error;
  EXPECT_EQ(ReadFile(path),
            "; keep me\r\n[Server]\r\nstartup=1\r\nOther = x\r\nSavelog=1\r\n\r\n"
            "[HTTP]\r\nport=808\r\n[Guest]\r\nIpRange=10.0.0.1-10.0.0.9\r\n");
}

TEST(ProfileTest, WriteCreatesMissingFileAndAddsLineEndToUnterminatedLast) {
  TestDir dir;
  std::string path = dir.File("new.ini");
  std::string error;
  ASSERT_TRUE(WriteProfileString("HTTP", "port", "8080", path, &error)) << error;
  EXPECT_EQ(ReadFile(path), "[HTTP]\nport=8080\n");
  WriteFile(path, "[A]\nk=v");
  ASSERT_TRUE(WriteProfileString("A", "j", "w", path, &error)) << error;
  EXPECT_EQ(ReadFile(path), "[A]\nk=v\nj=w\n");
}

TEST(ProfileTest, WriteRefusesTextsThatWouldForgeLines) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  WriteFile(path, "[Server]\nStartup=0\n");
  std::string error;
  EXPECT_FALSE(WriteProfileString("Server", "Startup", "1\n[HTTP]\nport=1", path, &error));
  EXPECT_FALSE(WriteProfileString("Server", "a=b", "1", path, &error));
  EXPECT_FALSE(WriteProfileString("Ser]ver", "a", "1", path, &error));
  EXPECT_FALSE(WriteProfileString("Server", "", "1", path, &error));
  EXPECT_EQ(ReadFile(path), "[Server]\nStartup=0\n");
}

TEST(ProfileTest, WriteIntoUnwritableDirectoryFailsWithText) {
  std::string error;
  EXPECT_FALSE(WriteProfileString("A", "b", "c", "/nonexistent-dir/option.ini", &error));
  EXPECT_FALSE(error.empty());
}

// kestrane run as root on a user's data directory must leave that user's settings usable.
TEST(ProfileTest, RootWriterLeavesFilesWithTheDataOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TestDir dir;
  ASSERT_EQ(chown(dir.path().c_str(), 12345, 12346), 0);
  std::string path = dir.File("option.ini"), error;
  ASSERT_TRUE(WriteProfileString("Server", "AutoActive", "0", path, &error)) << error;
  struct stat st {};
  for (const std::string& made : {path, path + ".lock"}) {
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 12345u) << made;
    EXPECT_EQ(st.st_gid, 12346u) << made;
  }
  ASSERT_EQ(chown(path.c_str(), 23456, 23457), 0);
  ASSERT_TRUE(WriteProfileString("Server", "Startup", "0", path, &error)) << error;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 23456u) << "a replaced file keeps its owner";
  EXPECT_EQ(st.st_gid, 23457u);
}

// The console and the service write at the same time: neither may lose the other's keys.
TEST(ProfileTest, ConcurrentWritersInTwoProcessesKeepEveryKey) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  constexpr int kKeys = 40;
  pid_t child = ::fork();
  ASSERT_NE(child, -1);
  const char* who = child == 0 ? "child" : "parent";
  bool ok = true;
  for (int i = 0; i < kKeys; ++i) {
    ok &= WriteProfileString(i % 2 ? "Server" : "Guest", std::string(who) + std::to_string(i),
                             std::to_string(i), path, nullptr);
  }
  if (child == 0) ::_exit(ok ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(ok);
  for (const char* w : {"child", "parent"}) {
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(GetProfileString(i % 2 ? "Server" : "Guest", std::string(w) + std::to_string(i),
                                 "missing", path),
                std::to_string(i))
          << w << i;
    }
  }
}

TEST(ProfileTest, ConcurrentWritersInThreadsKeepEveryKey) {
  TestDir dir;
  std::string path = dir.File("option.ini");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&path, t] {
      for (int i = 0; i < 15; ++i) {
        WriteProfileString("S", "t" + std::to_string(t) + "k" + std::to_string(i), "v", path,
                           nullptr);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 15; ++i) {
      EXPECT_EQ(GetProfileString("S", "t" + std::to_string(t) + "k" + std::to_string(i), "", path),
                "v");
    }
  }
}

}  // namespace
}  // namespace tw
