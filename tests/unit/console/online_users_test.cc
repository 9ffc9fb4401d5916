// The Online Users routes without a web server: the list's JSON, and the cuts that refuse a
// bad request, a guest as a "user", and say so when there is nothing live to cut.
#include "console/online_users_page.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tests/unit/console/console_routes_fixture.h"

namespace tw {
namespace {

TEST(OnlineUsersJsonTest, RowsNameTheProxyClientAndGuest) {
  ConnectionView guest;
  guest.id = 7;
  guest.proxy = kProtocolSocks;
  guest.clientAddr = htonl(0xC0A80107);
  guest.clientPort = 50123;
  guest.destination = "example.org:443";
  guest.startedUnixMs = 1700000000123;
  guest.up = 10;
  guest.down = 20;
  guest.rateDown = 5;
  ConnectionView ann = guest;
  ann.id = 8;
  ann.proxy = kProtocolHttp;
  ann.user = "ann";
  ann.destination = "";

  nlohmann::json rows = OnlineConnectionsJson({guest, ann})["connections"];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], nlohmann::json::parse(R"({"proxy": 5, "proxyName": "SOCKS", "id": 7,
      "client": "192.168.1.7:50123", "user": "", "destination": "example.org:443",
      "since": 1700000000123, "up": 10, "down": 20, "rateUp": 0, "rateDown": 5})"));
  EXPECT_EQ(rows[1]["proxyName"], "HTTP");
  EXPECT_EQ(rows[1]["user"], "ann");
}

class OnlineUsersRoutesTest : public testing::ConsoleRoutesTest {
 protected:
  ApiReply Post(const char* path, nlohmann::json body) {
    return router_.Dispatch({"POST", path, std::move(body), {}});
  }
};

TEST_F(OnlineUsersRoutesTest, CutsRefuseBadRequestsAndSayWhenNothingIsLive) {
  ApiReply list = router_.Dispatch({"GET", "/api/online", nullptr, {}});
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body["connections"], nlohmann::json::array());

  struct Case {
    const char* path;
    const char* body;
    int status;
    const char* error;  // part of the text the page shows
  } cases[] = {
      {"/api/online/disconnect", R"({"proxy": 5, "id": 99})", 404, "already ended"},
      {"/api/online/disconnect", R"({"proxy": 0, "id": 1})", 400, "proxy"},
      {"/api/online/disconnect", R"({"proxy": 6, "id": 1})", 400, "proxy"},
      {"/api/online/disconnect", R"({"proxy": -1, "id": 1})", 400, "proxy"},
      {"/api/online/disconnect", R"({"proxy": 5, "id": 0})", 400, "id"},
      {"/api/online/disconnect", R"({"proxy": 5, "id": 1.5})", 400, "id"},
      {"/api/online/disconnect", R"({"proxy": "5", "id": 1})", 400, "proxy"},
      {"/api/online/disconnect", R"({"proxy": 5})", 400, "id"},
      {"/api/online/disconnect", R"([5, 1])", 400, "proxy"},
      {"/api/online/disconnect-user", R"({"user": "ann"})", 404, "No connection of ann"},
      {"/api/online/disconnect-user", R"({"user": ""})", 400, "Guests"},
      {"/api/online/disconnect-user", R"({"user": 3})", 400, "user"},
      {"/api/online/disconnect-user", R"({})", 400, "user"},
  };
  for (const Case& c : cases) {
    ApiReply reply = Post(c.path, nlohmann::json::parse(c.body));
    EXPECT_EQ(reply.status, c.status) << c.path << " " << c.body;
    EXPECT_NE(reply.body.value("error", "").find(c.error), std::string::npos)
        << c.path << " " << c.body << ": " << reply.body.dump();
  }
}

}  // namespace
}  // namespace tw
