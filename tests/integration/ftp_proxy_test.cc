// The FTP proxy as real clients see it: curl and lftp listing and transferring files through it
// in passive and active mode, with and without proxy login, against a real FTP server.
#include <gtest/gtest.h>

#include <string>

#include "ftp_fixture.h"

namespace tw::test {
namespace {

class FtpProxyTest : public FtpFixture {
 protected:
  // curl through the proxy: the destination travels in the percent-encoded user name.
  std::string Curl(const std::string& mode, const std::string& user, const std::string& path,
                   const std::string& extra, int* status) {
    std::string encoded = user + "%40127.0.0.1%3A" + std::to_string(server_->port());
    return RunCommand("curl -s -S --max-time 30 " + mode + " " + extra + " 'ftp://" + encoded +
                          ":wonder@" + ProxyAddress() + "/" + path + "' 2>&1",
                      status);
  }
};

TEST_F(FtpProxyTest, CurlListsAndTransfersBothWaysInBothModes) {
  RecordingTrafficSink sink;
  traffic_sink_ = &sink;
  StartServer();
  StartProxy();
  std::string down = MakeFile(root_ + "/down.bin", 3 * 1024 * 1024 + 17, 1);
  std::string up = MakeFile(work_ + "/up.bin", 2 * 1024 * 1024 + 5, 2);
  const std::pair<const char*, const char*> modes[] = {{"passive", "--disable-epsv"},
                                                       {"active", "-P 127.0.0.1 --disable-eprt"}};
  for (const auto& [name, flags] : modes) {
    SCOPED_TRACE(name);
    int status = -1;
    std::string listing = Curl(flags, "alice", "", "", &status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("down.bin"), std::string::npos) << listing;

    std::string copy = work_ + "/copy-" + name;
    std::string out = Curl(flags, "alice", "down.bin", "-o '" + copy + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(ReadFile(copy) == down) << "downloaded bytes differ";

    std::string target = std::string("up-") + name + ".bin";
    out = Curl(flags, "alice", target, "-T '" + work_ + "/up.bin'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(ReadFile(root_ + "/" + target) == up) << "uploaded bytes differ";
  }
  std::vector<std::string> logged = Logged();
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged[0], "FTP " + ServerAddress() + ":127.0.0.1");
  // The data channels' bytes count toward their control connections, each way.
  ASSERT_TRUE(WaitUntil([this] { return proxy_->LiveContexts() == 0; }));
  proxy_->Stop();
  RecordingTrafficSink::Sum guest = sink.Sums()["guest"];
  EXPECT_GE(guest.down, 2 * down.size());
  EXPECT_LT(guest.down, 2 * down.size() + 64 * 1024);
  EXPECT_GE(guest.up, 2 * up.size());
  EXPECT_LT(guest.up, 2 * up.size() + 64 * 1024);
}

}  // namespace
}  // namespace tw::test

namespace tw::test {
namespace {

class FtpLftpTest : public FtpFixture {
 protected:
  std::string Lftp(const std::string& proxyUrl, const std::string& settings,
                   const std::string& commands, int* status) {
    return RunCommand("lftp -d -c \"set ftp:proxy " + proxyUrl +
                          "; set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 15; " +
                          settings + "; open -u alice,wonder ftp://" + ServerAddress() + "; " +
                          commands + "\" 2>&1",
                      status);
  }
};

// lftp's usual proxy dialogue: USER/PASS for the proxy, then USER alice@host:port; in passive
// and in active mode, and with OPEN instead of the user name.
TEST_F(FtpLftpTest, ProxyLoginThenTransfersInEveryMode) {
  AddUser("bob", "s3cret", 1);
  StartServer();
  StartProxy(/*authMode=*/1);
  std::string down = MakeFile(root_ + "/down.bin", 1024 * 1024 + 3, 3);
  std::string up = MakeFile(work_ + "/up.bin", 700 * 1024 + 1, 4);
  struct Case {
    const char* name;
    const char* settings;
  } cases[] = {
      {"passive", "set ftp:passive-mode on"},
      {"active", "set ftp:passive-mode off"},
      {"open", "set ftp:passive-mode on; set ftp:proxy-auth-type open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string copy = work_ + "/copy-" + c.name;
    std::string target = std::string("up-") + c.name + ".bin";
    int status = -1;
    std::string out =
        Lftp("ftp://bob:s3cret@" + ProxyAddress(), c.settings,
             "ls; get down.bin -o " + copy + "; put " + work_ + "/up.bin -o " + target, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("down.bin"), std::string::npos) << "the listing arrived";
    EXPECT_TRUE(ReadFile(copy) == down) << "downloaded bytes differ";
    EXPECT_TRUE(ReadFile(root_ + "/" + target) == up) << "uploaded bytes differ";
    if (std::string(c.name) == "active") {
      EXPECT_NE(out.find("---> PORT 127,0,0,1,"), std::string::npos) << out;
    }
  }
  int status = -1;
  std::string out = Lftp("ftp://bob:wrong@" + ProxyAddress(), "", "ls", &status);
  EXPECT_NE(status, 0) << "a wrong proxy password gets nowhere";
  EXPECT_NE(out.find("530 username/password or ip/schedule incorrect."), std::string::npos);
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0], "FTP " + ServerAddress() + ":127.0.0.1,bob");
}

}  // namespace
}  // namespace tw::test
