#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "service/command_line.h"
#include "service/systemd_unit.h"
#include "tests/support/test_sockets.h"

namespace tw {
namespace {

ServiceCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "/usr/local/sbin/kestrane");
  return ParseServiceCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(ServiceCommandLine, SwitchesAreWholeArgumentsAfterTheProgramPath) {
  struct Case {
    std::vector<const char*> args;
    ServiceCommand command;
    bool error;
  } cases[] = {
      {{}, ServiceCommand::kNone, false},  // "/usr/..." is the program, never "-u"
      {{"-i"}, ServiceCommand::kInstall, false},
      {{"/u"}, ServiceCommand::kUninstall, false},
      {{"-s", "--data", "/srv/tw"}, ServiceCommand::kStart, false},
      {{"--data=/srv/-u", "-e"}, ServiceCommand::kStop, false},  // a value is not a switch
      {{"--foreground"}, ServiceCommand::kForeground, false},
      {{"-U"}, ServiceCommand::kNone, true},  // upper case is no switch
      {{"-x"}, ServiceCommand::kNone, true},
      {{"--data"}, ServiceCommand::kNone, true},
      {{"-e", "-i"}, ServiceCommand::kStop, false},  // the first switch wins
  };
  for (const Case& k : cases) {
    ServiceCommandLine cl = Parse(k.args);
    EXPECT_EQ(cl.command, k.command) << (k.args.empty() ? "" : k.args[0]);
    EXPECT_EQ(!cl.error.empty(), k.error) << (k.args.empty() ? "" : k.args[0]) << ": " << cl.error;
  }
  EXPECT_EQ(Parse({"--data", "/srv/tw/", "-s"}).dataDir, "/srv/tw");
}

TEST(SystemdUnit, NameAndFile) {
  EXPECT_EQ(UnitName("Tarnwick Proxy Service"), "tarnwick-proxy-service");
  EXPECT_EQ(UnitName("Other Name/../x"), "other-name..x");
  std::string text = UnitFileText("Tarnwick Proxy Service", "/opt/tw/kestrane", "/var/lib/tw data");
  EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"/opt/tw/kestrane\" --data \"/var/lib/tw data\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
  EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_NE(text.find("ReadWritePaths=\"/var/lib/tw data\"\n"), std::string::npos)
      << "the one writable place is the data directory";
}

// systemd's own rating of the sandbox: "OK" or better (exposure up to 4.9 of 10).
TEST(SystemdUnit, SandboxRatesOkOrBetter) {
  int status = 0;
  test::RunCommand("command -v systemd-analyze >/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  char dir[] = "/tmp/tw-unit-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  // The offline check wants a name ending in .service; the program need not exist.
  std::string path = std::string(dir) + "/tarnwick-proxy-service.service";
  {
    std::ofstream f(path);
    f << UnitFileText("Tarnwick Proxy Service", "/opt/tw/kestrane", "/var/lib/tw data");
  }
  std::string out =
      test::RunCommand("systemd-analyze security --offline=yes '" + path + "' 2>&1", &status);
  test::RunCommand("rm -rf '" + std::string(dir) + "'");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
      << out;
  EXPECT_LE(std::stod(m[1].str()), 4.9) << out;
}

TEST(SystemdUnit, InstallsEnablesAndRemovesUnderAnotherRoot) {
  char dir[] = "/tmp/tw-unit-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string root = dir;
  std::string error;
  bool already = true;
  ASSERT_TRUE(InstallUnit(root, "Tarnwick Proxy Service", "/opt/tw/kestrane", "/var/lib/tw",
                          &already, &error))
      << error;
  EXPECT_FALSE(already);
  std::string unit = root + "/etc/systemd/system/tarnwick-proxy-service.service";
  std::ifstream f(unit);
  std::stringstream content;
  content << f.rdbuf();
  EXPECT_EQ(content.str(),
            UnitFileText("Tarnwick Proxy Service", "/opt/tw/kestrane", "/var/lib/tw"));
  struct stat st;
  EXPECT_EQ(
      lstat((root + "/etc/systemd/system/multi-user.target.wants/tarnwick-proxy-service.service")
                .c_str(),
            &st),
      0)
      << "enabled: linked from the boot target";
  ASSERT_TRUE(InstallUnit(root, "Tarnwick Proxy Service", "/x", "/y", &already, &error));
  EXPECT_TRUE(already) << "a second install changes nothing";
  bool absent = true;
  ASSERT_TRUE(UninstallUnit(root, "Tarnwick Proxy Service", &absent, &error)) << error;
  EXPECT_FALSE(absent);
  EXPECT_NE(stat(unit.c_str(), &st), 0);
  ASSERT_TRUE(UninstallUnit(root, "Tarnwick Proxy Service", &absent, &error));
  EXPECT_TRUE(absent);
  test::RunCommand("rm -rf '" + root + "'");
}

}  // namespace
}  // namespace tw
