#include "console/service_control.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "config/installation.h"
#include "config/settings.h"
#include "console/proxy_servers_page.h"
#include "console/server_dialog.h"
#include "console/service_status.h"
#include "hosting/server_manager.h"
#include "tests/support/test_sockets.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::TestDir;
using testing::WriteFile;

// A stand-in for kestrane: logs its arguments, then answers per switch.
constexpr char kFakeKestrane[] = R"(#!/bin/sh
here=$(dirname "$0")
echo "$*" >> "$here/calls"
case "$1" in
  -i) echo "Service succesfully installed" ;;
  -s) if [ -f "$here/fail" ]; then echo "Job for the service failed." >&2; exit 1; fi ;;
  -e) exit 3 ;;
  -u) kill -TERM $$ ;;
esac
exit 0
)";

void WriteScript(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  ASSERT_EQ(chmod(path.c_str(), 0700), 0);
}

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(data_.path(), &error)) << error;
    WriteScript(bin_.File("kestrane"), kFakeKestrane);
    options_.kestrane_path = bin_.File("kestrane");
    options_.data_dir = data_.path();
    options_.time_limit_ms = 20000;
    options_.autostart = {bin_.File("tarnwick"), data_.path(), {}};
    options_.autostart_dir = home_.File("autostart");
  }

  std::string Calls() { return ReadFile(bin_.File("calls")); }
  Settings settings() { return Settings::InDataDir(data_.path()); }

  TestDir data_, bin_, home_;
  ServiceControlOptions options_;
};

TEST_F(ServiceControlTest, EachButtonReportsWhatTheProgramSaid) {
  struct Case {
    ServiceAction action;
    bool ok;
    int exit_code;
    const char* message;
  };
  const Case cases[] = {
      {ServiceAction::kInstall, true, 0, "Service succesfully installed"},
      {ServiceAction::kStart, true, 0, "The service was started."},
      {ServiceAction::kStop, false, 3, "kestrane -e failed with exit code 3."},
      {ServiceAction::kUninstall, false, -1, "kestrane -u ended by signal 15."},
  };
  for (const Case& c : cases) {
    ServiceOutcome out = RunServiceHost(options_, c.action);
    EXPECT_EQ(out.ok, c.ok) << c.message;
    EXPECT_EQ(out.exit_code, c.exit_code) << c.message;
    EXPECT_EQ(out.message, c.message);
  }
  EXPECT_EQ(Calls(), "-i --data " + data_.path() + "\n-s --data " + data_.path() + "\n-e --data " +
                         data_.path() + "\n-u --data " + data_.path() + "\n");

  WriteFile(bin_.File("fail"), "");
  ServiceOutcome out = RunServiceHost(options_, ServiceAction::kStart);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.message, "Job for the service failed.") << "its own error text, not success";
  nlohmann::json j = out;
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["exitCode"], 1);
}

TEST(ServiceControlOptionsTest, PathsGivenToKestraneAreAbsolute) {
  ServiceControlOptions o = DefaultServiceControlOptions("data");
  EXPECT_EQ(o.data_dir.front(), '/');
  EXPECT_EQ(o.data_dir.substr(o.data_dir.size() - 5), "/data");
  EXPECT_EQ(o.autostart.data_dir, o.data_dir);
  EXPECT_EQ(o.kestrane_path.front(), '/');
  ServiceAction a = ServiceAction::kInstall;
  EXPECT_TRUE(ServiceActionFromName("stop", &a));
  EXPECT_EQ(a, ServiceAction::kStop);
  EXPECT_FALSE(ServiceActionFromName("-s", &a));
}

TEST(ServiceStatusTest, AsksSystemdAboutTheUnitKestraneInstallsAndOnlyActiveCounts) {
  TestDir dir;
  std::vector<std::string> asked;
  int exit_code = 0;
  bool started = true;
  ProgramRunner runner = [&](const std::vector<std::string>& argv) {
    asked = argv;
    ProgramOutcome run;
    run.started = started;
    run.exited = started;
    run.exit_code = exit_code;
    return run;
  };
  EXPECT_TRUE(InstalledServiceRunning(dir.path(), runner));
  EXPECT_EQ(asked, (std::vector<std::string>{"systemctl", "is-active", "--quiet",
                                             "tarnwick-proxy-service.service"}));
  exit_code = 3;  // inactive
  EXPECT_FALSE(InstalledServiceRunning(dir.path(), runner));
  started = false;  // no systemctl
  EXPECT_FALSE(InstalledServiceRunning(dir.path(), runner));
}

TEST_F(ServiceControlTest, AProgramThatCannotRunIsAFailure) {
  options_.kestrane_path = bin_.File("missing");
  ServiceOutcome out = RunServiceHost(options_, ServiceAction::kInstall);
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.message.find("could not be run"), std::string::npos) << out.message;
  EXPECT_NE(out.message.find("No such file"), std::string::npos) << out.message;
}

TEST_F(ServiceControlTest, ElevationRunsTheSameCommandAndReportsACanceledPrompt) {
  options_.elevate = true;
  options_.elevator = bin_.File("pkexec");
  WriteScript(options_.elevator, "#!/bin/sh\nexec \"$@\"\n");
  ServiceOutcome out = RunServiceHost(options_, ServiceAction::kInstall);
  EXPECT_TRUE(out.ok) << out.message;
  EXPECT_EQ(Calls(), "-i --data " + data_.path() + "\n");

  WriteScript(options_.elevator, "#!/bin/sh\nexit 126\n");
  out = RunServiceHost(options_, ServiceAction::kStop);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.message, "Service installation canceled.");
  WriteScript(options_.elevator, "#!/bin/sh\necho 'Not authorized.' >&2\nexit 127\n");
  out = RunServiceHost(options_, ServiceAction::kStop);
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.message.find("Not authorized."), std::string::npos) << out.message;
}

TEST_F(ServiceControlTest, StartServiceStopsTheConsoleFirstAndClearsOptionsOnlyOnSuccess) {
  std::string error;
  for (const SettingKey& k : {setting::kAutoActive, setting::kAutoActiveSSL, setting::kStartup}) {
    ASSERT_TRUE(settings().SetInt(k, 1, &error)) << error;
  }
  ASSERT_TRUE(SetStartAtLogon(true, options_.autostart, &error, options_.autostart_dir)) << error;
  ServerManager manager(ManagerHost::kConsole, data_.path(), [](const std::string&) {});
  ServerDialogValues socks;
  ASSERT_TRUE(LoadServerDialog(data_.path(), kProtocolSocks, &socks).ok);
  socks.port = test::FreeLoopbackPort();
  ASSERT_TRUE(SaveServerDialog(data_.path(), socks).ok);

  bool succeed = false;
  bool running_when_run = true;
  options_.runner = [&](const std::vector<std::string>& argv) {
    running_when_run = manager.Running(kProtocolSocks);
    ProgramOutcome out;
    out.started = out.exited = true;
    out.exit_code = succeed ? 0 : 1;
    return out;
  };
  auto stop = [&] { StopConsoleListeners(manager); };

  // Started from the page alone, outside the whole set.
  ASSERT_TRUE(StartProxy(manager, kProtocolSocks).ok);
  ServiceOutcome out = StartService(options_, stop);
  EXPECT_FALSE(out.ok);
  EXPECT_FALSE(running_when_run) << "the console's listener is stopped before kestrane runs";
  EXPECT_FALSE(out.options_cleared);
  EXPECT_EQ(settings().Int(setting::kAutoActive), 1) << "a failed start changes no option";
  EXPECT_TRUE(StartAtLogonIsSet(options_.autostart_dir));

  succeed = true;
  manager.StartServers();
  ASSERT_TRUE(manager.Running(kProtocolSocks));
  out = StartService(options_, stop);
  EXPECT_TRUE(out.ok) << out.message;
  EXPECT_FALSE(running_when_run);
  EXPECT_TRUE(out.options_cleared);
  for (const SettingKey& k : {setting::kAutoActive, setting::kAutoActiveSSL, setting::kStartup}) {
    EXPECT_EQ(settings().Text(k), "0") << k.key;
  }
  EXPECT_FALSE(StartAtLogonIsSet(options_.autostart_dir));
}

TEST_F(ServiceControlTest, InstallTurnsStartAtLogonOffOnceKestraneTurnedTheOptionOff) {
  std::string error;
  ASSERT_TRUE(SetStartAtLogon(true, options_.autostart, &error, options_.autostart_dir)) << error;
  ASSERT_TRUE(settings().SetInt(setting::kStartup, 1, &error)) << error;
  ServiceOutcome out = ServiceButton(options_, ServiceAction::kInstall, nullptr);
  EXPECT_TRUE(out.ok);
  EXPECT_FALSE(out.options_cleared) << "already installed: kestrane left Startup on";
  EXPECT_TRUE(StartAtLogonIsSet(options_.autostart_dir));

  ASSERT_TRUE(settings().SetInt(setting::kStartup, 0, &error)) << error;
  out = ServiceButton(options_, ServiceAction::kInstall, nullptr);
  EXPECT_TRUE(out.options_cleared);
  EXPECT_FALSE(StartAtLogonIsSet(options_.autostart_dir));
}

TEST_F(ServiceControlTest, ATimedOutProgramIsKilledAndReported) {
  WriteScript(options_.kestrane_path, "#!/bin/sh\nsleep 60\n");
  options_.time_limit_ms = 200;
  ServiceOutcome out = RunServiceHost(options_, ServiceAction::kStart);
  EXPECT_FALSE(out.ok);
  EXPECT_NE(out.message.find("did not finish"), std::string::npos) << out.message;
}

TEST(ProgramRunnerTest, OutputIsBoundedAndBothStreamsAreRead) {
  ProgramOutcome out =
      RunProgram({"/bin/sh", "-c", "echo first >&2; head -c 100000 /dev/zero | tr '\\0' x"}, 20000);
  ASSERT_TRUE(out.Succeeded()) << out.error;
  EXPECT_EQ(out.output.size(), kMaxProgramOutput);
  EXPECT_EQ(out.output.rfind("first\nxxx", 0), 0u);
}

TEST(StartAtLogonTest, EntryStartsTheConsoleOnItsDataDirectory) {
  TestDir dir;
  AutostartCommand command{"/opt/tw tools/tarnwick", "/srv/data 100%$\"x\\", {}};
  std::string error;
  ASSERT_TRUE(SetStartAtLogon(true, command, &error, dir.File("autostart"))) << error;
  std::string text = ReadFile(dir.File("autostart/tarnwick.desktop"));
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=\"/opt/tw tools/tarnwick\" \"--data\" "
                      "\"/srv/data 100%%\\\\$\\\\\"x\\\\\\\\\"\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(StartAtLogonIsSet(dir.File("autostart")));
  ASSERT_TRUE(SetStartAtLogon(false, command, &error, dir.File("autostart"))) << error;
  EXPECT_FALSE(StartAtLogonIsSet(dir.File("autostart")));
  EXPECT_TRUE(SetStartAtLogon(false, command, &error, dir.File("autostart"))) << "already gone";

  for (AutostartCommand bad : {AutostartCommand{"tarnwick", "/srv", {}},
                               AutostartCommand{"/bin/tarnwick", "/srv\nExec=evil", {}}}) {
    EXPECT_FALSE(SetStartAtLogon(true, bad, &error, dir.File("autostart"))) << bad.data_dir;
  }
  EXPECT_FALSE(StartAtLogonIsSet(dir.File("autostart")));
}

TEST(StartAtLogonTest, FolderComesFromTheEnvironment) {
  const char* saved_config = getenv("XDG_CONFIG_HOME");
  const char* saved_home = getenv("HOME");
  std::string config = saved_config ? saved_config : "", home = saved_home ? saved_home : "";
  setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(AutostartDirectory(), "/tmp/cfg/autostart");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(AutostartDirectory(), "/home/ann/.config/autostart") << "a relative path is ignored";
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(AutostartDirectory(), "/home/ann/.config/autostart");
  saved_config ? setenv("XDG_CONFIG_HOME", config.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
  saved_home ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
}  // namespace tw
