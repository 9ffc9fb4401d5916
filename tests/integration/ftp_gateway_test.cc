// ftp:// URLs through the HTTP proxy, with curl as the browser and pyftpdlib as the FTP server:
// logins written in the URL, files with and without a reported size, directory pages, and
// servers that fail or never answer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "engine/http/http_request_head.h"
#include "http_fixture.h"

namespace tw::test {
namespace {

class FtpGatewayTest : public HttpFixture {
 protected:
  void SetUp() override {
    HttpFixture::SetUp();
    ftp_ = std::make_unique<GatewayFtpServer>(data_dir_ + "/ftp");
    ASSERT_NE(ftp_->port(), 0) << "pyftpdlib did not start";
  }
  void TearDown() override {
    HttpFixture::TearDown();
    ftp_.reset();
  }

  // curl -i: the status line and headers, then the body.
  std::string Fetch(const std::string& userinfo, const std::string& path, int* status = nullptr) {
    return Curl("-i '" + ftp_->Url(userinfo, path) + "'", status);
  }

  std::unique_ptr<GatewayFtpServer> ftp_;
};

std::string Body(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

TEST_F(FtpGatewayTest, FileComesWithTheSizeTheServerReports) {
  ftp_->WriteFile("anon/hello.txt", "hello over ftp\n");
  std::string big(1048576, 'b');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + (i / 4096) % 26);
  ftp_->WriteFile("anon/pub/big.bin", big);
  StartProxy();
  int status = 0;
  std::string small = Fetch("", "/hello.txt", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(small, "HTTP/1.0 200 OK\r\nContent-Length: 15\r\n\r\nhello over ftp\n");
  std::string large = Fetch("", "/pub/big.bin", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(large.substr(0, 44), "HTTP/1.0 200 OK\r\nContent-Length: 1048576\r\n\r\n");
  EXPECT_TRUE(Body(large) == big) << "body of " << Body(large).size() << " bytes differs";
  std::vector<std::string> logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].rfind("GET " + ftp_->Url("", "/hello.txt") + " HTTP/1.1:127.0.0.1", 0), 0u)
      << logged[0];
}

TEST_F(FtpGatewayTest, LoginFormsInTheUrl) {
  ftp_->WriteFile("anon/who.txt", "anonymous\n");
  ftp_->WriteFile("bob/who.txt", "bob\n");
  ftp_->WriteFile("carol/who.txt", "carol\n");
  ftp_->WriteFile("ab/who.txt", "a@b\n");
  StartProxy();
  struct Case {
    const char* userinfo;
    const char* expected;  // "" = refused by the server: the proxy answers 502
  } cases[] = {
      {"", "anonymous\n"},       // anonymous / WebUsr@
      {"bob:secret@", "bob\n"},  // user and password
      {"carol@", "carol\n"},     // user only: password WebUsr@
      {"bob@", ""},              // bob's password is not WebUsr@
      {"bob:wrong@", ""},
      {"a%40b:p%3Aw@", "a@b\n"},  // "@" and ":" written encoded
  };
  for (const Case& c : cases) {
    int status = 0;
    std::string out = Curl("'" + ftp_->Url(c.userinfo, "/who.txt") + "'", &status);
    if (*c.expected == '\0') {
      EXPECT_NE(out.find("<h1>502 Bad Gateway</h1>"), std::string::npos) << c.userinfo << out;
    } else {
      EXPECT_EQ(out, c.expected) << c.userinfo;
    }
  }
  // The activity log shows who logged in, never with what password.
  std::vector<std::string> logged = Logged();
  ASSERT_FALSE(logged.empty());
  for (const std::string& line : logged) {
    for (const char* password : {"secret", "wrong", "p%3Aw"}) {
      EXPECT_EQ(line.find(password), std::string::npos) << line;
    }
  }
  EXPECT_EQ(logged[1].rfind("GET " + ftp_->Url("bob@", "/who.txt") + " HTTP/1.1:127.0.0.1", 0), 0u)
      << logged[1];
}

TEST_F(FtpGatewayTest, DirectoryPageHasHeadingUpLinkAndEncodedLinks) {
  ftp_->WriteFile("anon/with blank.txt", "blank\n");
  ftp_->WriteFile("anon/sub dir/inner.txt", "inner\n");
  ftp_->WriteFile("anon/<b>x.txt", "markup\n");
  ftp_->MakeDir("anon/pub");
  StartProxy();
  std::string root = Fetch("", "/");
  ASSERT_EQ(root.rfind("HTTP/1.0 200 OK\r\nContent-Length: ", 0), 0u) << root;
  std::string page = Body(root);
  EXPECT_EQ(root.find("Content-Length: " + std::to_string(page.size()) + "\r\n"), 17u);
  EXPECT_EQ(
      page.rfind("<html><head><base href=\"/\"></head><body><h2>Directory of /</h2><hr><pre>", 0),
      0u)
      << page;
  EXPECT_EQ(page.find("Up</A>"), std::string::npos) << "no Up link at the root";
  EXPECT_NE(page.find("  <a href=./with%20blank.txt>with blank.txt</a>\r\n"), std::string::npos)
      << page;
  EXPECT_NE(page.find("    DIR  <a href=./sub%20dir><b>sub dir</b></a>\r\n"), std::string::npos)
      << page;
  EXPECT_NE(page.find("<a href=./%3Cb%3Ex.txt>&lt;b&gt;x.txt</a>"), std::string::npos) << page;
  EXPECT_EQ(page.find("<b>x"), std::string::npos) << "server names cannot add markup";
  EXPECT_NE(page.find(" 6  <a href"), std::string::npos) << "the size column: " << page;
  EXPECT_EQ(page.substr(page.size() - 20), "</pre></body></html>");

  // The page's own links work: the blank is decoded before it reaches the FTP server.
  EXPECT_EQ(Curl("'" + ftp_->Url("", "/with%20blank.txt") + "'"), "blank\n");
  std::string sub = Body(Fetch("", "/sub%20dir"));
  EXPECT_EQ(sub.rfind("<html><head><base href=\"/sub%20dir/\"></head><body>"
                      "<h2>Directory of /sub dir/</h2><hr><A HREF=\"../\">Up</A><BR><BR><pre>",
                      0),
            0u)
      << sub;
  EXPECT_NE(sub.find("<a href=./inner.txt>inner.txt</a>"), std::string::npos) << sub;
  for (const char* path : {"/pub", "/pub/"}) {
    std::string pub = Body(Fetch("", path));
    EXPECT_EQ(pub,
              "<html><head><base href=\"/pub/\"></head><body><h2>Directory of /pub/</h2><hr>"
              "<A HREF=\"../\">Up</A><BR><BR><pre></pre></body></html>")
        << path;
  }
}

TEST_F(FtpGatewayTest, MissingFileGivesAnEmptyDirectoryPage) {
  StartProxy();
  EXPECT_EQ(Body(Fetch("", "/nothing/here.txt")),
            "<html><head><base href=\"/nothing/here.txt/\"></head><body>"
            "<h2>Directory of /nothing/here.txt/</h2><hr><A HREF=\"../\">Up</A><BR><BR><pre>"
            "</pre></body></html>");
}

// A fetch that fails is answered with 502, never a bare close.
TEST_F(FtpGatewayTest, UnreachableOrSilentServerGets502) {
  ftp_timeout_ms_ = 300;
  StartProxy();
  TestServer silent(TestServer::kSink);  // accepts and never greets
  UnreachableListener unreachable;
  for (uint16_t port : {silent.port(), unreachable.port()}) {
    std::string reply = Curl("-i ftp://127.0.0.1:" + std::to_string(port) + "/");
    EXPECT_EQ(reply.rfind("HTTP/1.0 502 Bad Gateway\r\n", 0), 0u) << port << ": " << reply;
  }
}

// A URL the gateway cannot carry is answered, never met with silence, and never reaches the
// FTP server.
TEST_F(FtpGatewayTest, BadOrOverlongUrlsAreRefusedAndNeverReachTheServer) {
  ftp_->WriteFile("anon/a.txt", "a\n");
  StartProxy();
  std::string host = "127.0.0.1:" + std::to_string(ftp_->port());
  const struct {
    std::string path;
    std::string reply;
  } cases[] = {
      {"/a.txt%0d%0aDELE%20a.txt", std::string(kBadRequestReply)},
      {"/" + std::string(300, 'p'), "HTTP/1.0 414 URI Too Long\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    int fd = Connect();
    ASSERT_TRUE(
        SendAll(fd, "GET ftp://" + host + c.path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
    EXPECT_EQ(ReadUntilClose(fd), c.reply) << c.path.substr(0, 30);
    close(fd);
  }
  EXPECT_EQ(Curl("'" + ftp_->Url("", "/a.txt") + "'"), "a\n") << "the file is still there";
}

}  // namespace
}  // namespace tw::test
