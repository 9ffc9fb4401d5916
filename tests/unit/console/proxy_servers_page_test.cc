#include "console/proxy_servers_page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "config/account_tables.h"
#include "config/installation.h"
#include "console/server_dialog.h"
#include "hosting/server_manager.h"
#include "tests/support/test_sockets.h"
#include "tests/unit/platform/test_dir.h"

namespace tw {
namespace {

class ProxyServersPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(InstallMissingDataFiles(dir_.path(), &error)) << error;
    manager_ = std::make_unique<ServerManager>(ManagerHost::kConsole, dir_.path(),
                                               [](const std::string&) {});
    manager_->events.messageBox = [this](const std::string& text, bool) { boxes_.push_back(text); };
  }

  // Saves the server dialog of `id` with a free port and the enable box.
  uint16_t Configure(int32_t id, bool enabled) {
    ServerDialogValues v;
    EXPECT_TRUE(LoadServerDialog(dir_.path(), id, &v).ok);
    v.port = test::FreeLoopbackPort();
    v.enabled = enabled;
    PageResult r = SaveServerDialog(dir_.path(), v);
    EXPECT_TRUE(r.ok) << r.message;
    return static_cast<uint16_t>(v.port);
  }

  ServerRow Row(int32_t id) {
    for (ServerRow& r : ListServerRows(dir_.path(), StatusOf(*manager_))) {
      if (r.id == id) return r;
    }
    ADD_FAILURE() << "no row " << id;
    return {};
  }

  testing::TestDir dir_;
  std::unique_ptr<ServerManager> manager_;
  std::vector<std::string> boxes_;
};

TEST_F(ProxyServersPageTest, ListsTheServerTableWithTheManagersState) {
  std::vector<ServerRow> rows = ListServerRows(dir_.path(), StatusOf(*manager_));
  ASSERT_EQ(rows.size(), 5u);
  const int32_t default_ports[] = {808, 21, 110, 25, 1080};
  for (int32_t id = 1; id <= 5; ++id) {
    EXPECT_EQ(rows[id - 1].id, id);
    EXPECT_FALSE(rows[id - 1].name.empty());
    EXPECT_FALSE(rows[id - 1].on);
    EXPECT_EQ(rows[id - 1].port, default_ports[id - 1]);
  }
  nlohmann::json j = rows[0];
  EXPECT_EQ(j["status"], "Off");

  ASSERT_EQ(unlink(dir_.File(kServerTableFile).c_str()), 0);
  std::string error;
  EXPECT_TRUE(ListServerRows(dir_.path(), StatusOf(*manager_), &error).empty());
  EXPECT_FALSE(error.empty());
}

TEST_F(ProxyServersPageTest, StartUsesTheSavedSettingsAndStopTurnsTheRowOff) {
  uint16_t port = Configure(kProtocolSocks, true);
  PageResult r = StartProxy(*manager_, kProtocolSocks);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_TRUE(r.message.empty());
  ServerRow on = Row(kProtocolSocks);
  EXPECT_TRUE(on.on);
  EXPECT_EQ(on.port, port);
  int fd = test::ConnectLoopback(port);
  EXPECT_NE(fd, -1) << "the proxy listens on the port the dialog saved";
  if (fd != -1) close(fd);

  EXPECT_TRUE(StartProxy(*manager_, kProtocolSocks).ok) << "already running: nothing to say";
  r = StopProxy(*manager_, kProtocolSocks);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(Row(kProtocolSocks).on);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(ProxyServersPageTest, RefusalsComeBackAsTheTextToShow) {
  Configure(kProtocolHttp, false);
  PageResult r = StartProxy(*manager_, kProtocolHttp);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "The Server is disabled!");
  EXPECT_FALSE(r.error) << "a plain box";

  // A port another socket holds.
  uint16_t port = 0;
  int holder = test::ListenLoopback(1, &port);
  ASSERT_NE(holder, -1);
  ServerDialogValues v;
  ASSERT_TRUE(LoadServerDialog(dir_.path(), kProtocolFtp, &v).ok);
  v.port = port;
  ASSERT_TRUE(SaveServerDialog(dir_.path(), v).ok);
  r = StartProxy(*manager_, kProtocolFtp);
  close(holder);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.message.find("Error starting the FTP proxy server"), std::string::npos) << r.message;

  EXPECT_FALSE(StartProxy(*manager_, 9).ok);
  EXPECT_FALSE(StopProxy(*manager_, 0).ok);
  EXPECT_TRUE(boxes_.empty()) << "the page's own box is not used for the page's results";
  manager_->events.messageBox("later", false);
  EXPECT_EQ(boxes_.size(), 1u) << "and is put back afterwards";
}

}  // namespace
}  // namespace tw
