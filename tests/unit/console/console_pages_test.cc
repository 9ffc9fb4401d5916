// The pages' logic through the API routes, without a web server: the owner runs on the test's
// thread, so every action runs at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/installation.h"
#include "config/settings.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/console_token.h"
#include "console/main_window.h"
#include "console/options_page.h"
#include "console/page_registry.h"
#include "console/server_logs_page.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

using testing::ReadFile;
using testing::TestDir;

class ConsolePagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
    // Every proxy on a port the kernel picks, so tests never collide.
    Settings settings = Settings::InDataDir(dir_.path());
    for (const SettingKey& key : {setting::kHttpPort, setting::kFtpPort, setting::kPop3Port,
                                  setting::kSmtpPort, setting::kSocksPort}) {
      ASSERT_TRUE(settings.SetInt(key, 0, &error)) << error;
    }
    owner_ = std::make_unique<ConsoleOwner>(dir_.path(), clock_);
    std::string fileError;
    owner_->StartUp(&fileError);
    RegisterConsoleRoutes(router_, *owner_);
  }

  ApiReply Run(const char* method, const char* path, nlohmann::json body = nullptr,
               std::map<std::string, std::string> query = {}) {
    owner_->DrainActivity();
    ApiReply reply = router_.Dispatch({method, path, std::move(body), std::move(query)});
    owner_->DrainActivity();
    return reply;
  }

  std::string Option(const SettingKey& key) { return Settings::InDataDir(dir_.path()).Text(key); }

  TestDir dir_;
  ManualClock clock_{MakeLocalTime(2024, 3, 5, 10, 0, 0)};
  std::unique_ptr<ConsoleOwner> owner_;
  ApiRouter router_;
};

TEST_F(ConsolePagesTest, StartAndStopServersDriveTheStatusLineAndToolbar) {
  nlohmann::json status = Run("GET", "/api/status").body;
  EXPECT_EQ(status["statusText"], "[Proxy Servers are offline]");
  EXPECT_TRUE(status["startEnabled"]);
  EXPECT_FALSE(status["stopEnabled"]);

  status = Run("POST", "/api/servers/start").body["status"];
  EXPECT_EQ(status["statusText"], "[Proxy Servers are online] ");
  EXPECT_FALSE(status["startEnabled"]);
  EXPECT_TRUE(status["stopEnabled"]);
  for (const auto& server : status["servers"]) EXPECT_TRUE(server["running"]) << server["name"];

  status = Run("POST", "/api/servers/stop").body["status"];
  EXPECT_EQ(status["statusText"], "[Proxy Servers are offline]");
  for (const auto& server : status["servers"]) EXPECT_FALSE(server["running"]) << server["name"];
  std::vector<ActivityRow> rows = owner_->activity().RowsAfter(0);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back().message, "Proxy Servers stopped.");
}

TEST_F(ConsolePagesTest, TotalStartFailureReturnsTheMessageBox) {
  // No server table: every server is disabled, the failure path with its combined text.
  ASSERT_EQ(std::remove((dir_.path() + "/server.sdb").c_str()), 0);
  nlohmann::json reply = Run("POST", "/api/servers/start").body;
  ASSERT_EQ(reply["messages"].size(), 1u);
  EXPECT_TRUE(reply["messages"][0]["error"]);
  EXPECT_EQ(
      reply["messages"][0]["text"].get<std::string>().rfind("Error starting the proxy Servers.", 0),
      0u);
  EXPECT_TRUE(reply["status"]["startFailed"]);
  EXPECT_TRUE(reply["status"]["notices"].empty()) << "an action's message box goes to its caller";
}

TEST_F(ConsolePagesTest, ServerLogsRowsCopyAndClearAll) {
  owner_->activity().Queue().Post({"GET http://example.org/<b>", "10.0.0.5", "bob"});
  nlohmann::json rows = Run("GET", "/api/logs", nullptr, {{"after", "0"}}).body["rows"];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["user"], "bob");
  EXPECT_EQ(rows[0]["message"], "GET http://example.org/<b>");

  std::string seq = std::to_string(rows[0]["seq"].get<std::uint64_t>());
  ApiReply copy = Run("GET", "/api/logs/copy", nullptr, {{"seq", seq}});
  EXPECT_EQ(copy.text, " bob 10.0.0.5 2024-03-05 10:00:00 GET http://example.org/<b>");
  EXPECT_EQ(Run("GET", "/api/logs", nullptr, {{"after", "x"}}).status, 400);

  Run("POST", "/api/logs/clear");
  EXPECT_EQ(owner_->activity().RowCount(), 0u);
  EXPECT_EQ(Run("GET", "/api/logs/copy", nullptr, {{"seq", seq}}).status, 404);
  EXPECT_EQ(Run("GET", "/api/status").body["logsCleared"], 1u);
}

TEST_F(ConsolePagesTest, OptionBoxesAndTheirSave) {
  ASSERT_EQ(Run("POST", "/api/options/box", {{"box", "savelog"}, {"on", true}}).status, 200);
  EXPECT_TRUE(owner_->activity().Savelog()) << "Save log applies to the next line at once";
  Run("POST", "/api/options/box", {{"box", "minimize"}, {"on", true}});
  Run("POST", "/api/options/box", {{"box", "autoActive"}, {"on", true}});
  EXPECT_FALSE(owner_->options().values().minimize) << "Minimize is taken only when saved";
  EXPECT_TRUE(owner_->options().values().autoActive);
  EXPECT_EQ(Option(setting::kSavelog), "0") << "nothing is written before the save";

  Run("POST", "/api/servers/start");
  Run("POST", "/api/options/box", {{"box", "httpAuth"}, {"on", true}});
  EXPECT_EQ(owner_->manager().Server(1).access().authMode.load(), 1);

  EXPECT_EQ(Run("POST", "/api/options/box", {{"box", "nonsense"}, {"on", true}}).status, 400);
  EXPECT_EQ(Run("POST", "/api/options/box", {{"box", "startup"}}).status, 400);

  bool logonApplied = false;
  owner_->options().applyStartAtLogon = [&](bool on, std::string*) {
    logonApplied = !on;
    return true;
  };
  owner_->Shutdown();
  EXPECT_EQ(Option(setting::kSavelog), "1");
  EXPECT_EQ(Option(setting::kMinimize), "1");
  EXPECT_EQ(Option(setting::kAutoActive), "1");
  EXPECT_EQ(Option(setting::kStartup), "0");
  EXPECT_TRUE(logonApplied);
  EXPECT_FALSE(owner_->manager().Running(1));
}

TEST_F(ConsolePagesTest, SecuritySettingsAreCheckedBeforeTheyAreWritten) {
  struct Case {
    const char* id;
    const char* value;
    bool ok;
  } cases[] = {
      {"guestsFromAnywhere", "1", true},
      {"guestsFromAnywhere", "yes", false},
      {"listenAddress", "192.0.2.1", true},
      {"listenAddress", "", true},
      {"listenAddress", "example.org", false},
      {"listenAddress", "1.2.3.4\n[x]", false},
      {"listenAddress", "010.0.0.1", false},
      {"logRows", "500", true},
      {"logRows", "0", false},
      {"logRows", "-5", false},
      {"logMegabytes", "99999", false},
      {"idleTimeout", "86400", true},
      {"idleTimeout", "86401", false},
      {"lookupTimeout", "1", true},
      {"lookupTimeout", "0", false},
      {"maxConnectionsPerClient", "0", true},
      {"maxConnectionsPerClient", "1000001", false},
      {"logDays", "30", true},
      {"logDays", "3.5", false},
      {"nosuch", "1", false},
  };
  for (const Case& c : cases) {
    std::string before = ReadFile(dir_.File("option.ini"));
    int status = Run("POST", "/api/options/security", {{"id", c.id}, {"value", c.value}}).status;
    EXPECT_EQ(status == 200, c.ok) << c.id << "=" << c.value;
    if (!c.ok) {
      EXPECT_EQ(ReadFile(dir_.File("option.ini")), before) << c.id << "=" << c.value;
    }
  }
  // A NUL after an address is refused, not cut off and written into the file.
  std::string before = ReadFile(dir_.File("option.ini"));
  EXPECT_NE(Run("POST", "/api/options/security",
                {{"id", "listenAddress"}, {"value", std::string("1.2.3.4\0x", 9)}})
                .status,
            200);
  EXPECT_EQ(ReadFile(dir_.File("option.ini")), before);
  EXPECT_EQ(Option(setting::kGuestsFromAnywhere), "1");
  EXPECT_EQ(Option(setting::kIdleTimeout), "86400");
  EXPECT_EQ(Option(setting::kMaxConnectionsPerClient), "0");
  EXPECT_EQ(Run("POST", "/api/options/security", {{"id", "lookupTimeout"}, {"value", "61"}})
                .body["error"],
            "Not a valid value for \"Seconds a name lookup may take\": it takes a whole number "
            "from 1 to 60.");
  EXPECT_EQ(Run("GET", "/api/status").body["logRows"], 500u) << "the list bound applies at once";
}

TEST_F(ConsolePagesTest, DailyLogFilesAreListedNewestFirstAndNamesAreStrict) {
  testing::WriteFile(dir_.File("log/20240101.txt"), "a");
  testing::WriteFile(dir_.File("log/20240305.txt"), "b");
  testing::WriteFile(dir_.File("log/notes.txt"), "c");
  nlohmann::json files = Run("GET", "/api/options/logfiles").body["files"];
  ASSERT_GE(files.size(), 2u);
  EXPECT_EQ(files[0], "20240305.txt");
  EXPECT_EQ(files.back(), "20240101.txt");
  for (const char* bad : {"../option.ini", "2024010.txt", "20240101.txt/", "2024010a.txt", ""}) {
    EXPECT_FALSE(IsDailyLogFileName(bad)) << bad;
  }
}

TEST_F(ConsolePagesTest, EveryPageRouteIsDocumentedAndUnknownRoutesAreRefused) {
  nlohmann::json routes = Run("GET", "/api/routes").body["routes"];
  for (const auto& route : routes) EXPECT_FALSE(route["summary"].get<std::string>().empty());
  EXPECT_EQ(Run("GET", "/api/nosuch").status, 404);
  EXPECT_EQ(Run("GET", "/api/servers/start").status, 405);
  nlohmann::json pages = Run("GET", "/api/pages").body["pages"];
  std::vector<std::string> navigation;
  for (const auto& page : pages) {
    if (page["navigation"].get<bool>()) navigation.push_back(page["title"]);
  }
  EXPECT_EQ(navigation,
            (std::vector<std::string>{"Server Logs", "Options", "Proxy Servers", "User Account",
                                      "Group", "Traffic", "Online Users"}));
}

TEST_F(ConsolePagesTest, UrlFileIsPrivateAndReadBack) {
  std::string error, url;
  ASSERT_TRUE(WriteConsoleUrlFile(dir_.path(), ConsoleLoginUrl("0.0.0.0", 8808, "t0k"), &error));
  ASSERT_TRUE(ReadConsoleUrlFile(dir_.path(), &url));
  EXPECT_EQ(url, "http://127.0.0.1:8808/login?token=t0k");
  struct stat st {};
  ASSERT_EQ(stat(dir_.File(kConsoleUrlFileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(NewConsoleSecret().size(), 64u);
  EXPECT_NE(NewConsoleSecret(), NewConsoleSecret());
}

}  // namespace
}  // namespace tw
