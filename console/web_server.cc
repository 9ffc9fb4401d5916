#include "console/web_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <httplib.h>

#include "config/data_dir.h"
#include "config/settings.h"
#include "console/api_router.h"
#include "console/console_owner.h"
#include "console/console_token.h"
#include "console/main_window.h"
#include "console/options_page.h"
#include "console/server_logs_page.h"
#include "console/web_assets.h"
#include "hosting/metrics_access.h"
#include "hosting/metrics_text.h"
#include "platform/interfaces.h"

namespace tw {

namespace {

constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
constexpr int kMaxJsonDepth = 64;
constexpr auto kHeartbeat = std::chrono::seconds(15);

std::string Dump(const nlohmann::json& j) {
  // Texts from the network may hold bytes that are not UTF-8: they are replaced, never fatal.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void SendJson(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(Dump(body), "application/json");
}

void SendText(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(text, "text/plain; charset=utf-8");
}

std::vector<std::string> MachineAddresses() {
  return ServerIpAddresses();
}

// One event of the stream: "event: NAME\ndata: JSON\n\n".
bool WriteEvent(httplib::DataSink& sink, const char* name, const nlohmann::json& data) {
  std::string text = std::string("event: ") + name + "\ndata: " + Dump(data) + "\n\n";
  return sink.write(text.data(), text.size());
}

// What one open stream has sent so far.
struct StreamState {
  std::uint64_t version = 0;
  std::uint64_t lastSeq = 0;
  std::string lastStatus;
};

bool SendChanges(ConsoleOwner& owner, StreamState& state, httplib::DataSink& sink) {
  std::string status = Dump(StatusJson(owner.Status()));
  if (status != state.lastStatus) {
    std::string text = "event: status\ndata: " + status + "\n\n";
    if (!sink.write(text.data(), text.size())) return false;
    state.lastStatus = std::move(status);
  }
  std::vector<ActivityRow> rows = owner.activity().RowsAfter(state.lastSeq);
  for (std::size_t first = 0; first < rows.size(); first += kLogRowsPerBatch) {
    if (!WriteEvent(sink, "logs", {{"rows", RowsJson(rows, first)}})) return false;
  }
  if (!rows.empty()) state.lastSeq = rows.back().seq;
  return true;
}

// GET /metrics for scrapers, which carry neither the session cookie nor the CSRF token: its own
// rule (metrics_access.h) decides, and nothing else is reached this way.
void ServeMetrics(ConsoleOwner& owner, const ConsoleIdentity& identity, const httplib::Request& req,
                  httplib::Response& res) {
  if (req.method != "GET") {
    SendText(res, 404, "Not found.\n");
    return;
  }
  std::string token = Settings::InDataDir(owner.dataDir()).Text(setting::kMetricsToken);
  if (!MetricsAccessAllowed(identity.boundAddress, req.get_header_value("Host"),
                            req.get_header_value("Authorization"), token)) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    return;
  }
  res.set_header("Cache-Control", "no-store");
  // The manager was made before the server started; its totals and counters are read from
  // any thread.
  res.set_content(ManagerMetricsText(owner.manager()), kMetricsContentType);
}

}  // namespace

bool JsonDepthWithin(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

ConsoleWebServer::ConsoleWebServer(ConsoleOwner& owner, const ApiRouter& router)
    : owner_(owner), router_(router), server_(std::make_unique<httplib::Server>()) {
  identity_.token = NewConsoleSecret();
  identity_.csrf = NewConsoleSecret();
  server_->new_task_queue = [] {
    return new httplib::ThreadPool(kRequestWorkers + kMaxEventStreams);
  };
  server_->set_payload_max_length(kMaxRequestBody);
  server_->set_keep_alive_timeout(2);
  server_->set_read_timeout(10, 0);
  server_->set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"}});
  InstallRoutes();
}

ConsoleWebServer::~ConsoleWebServer() = default;

bool ConsoleWebServer::Bind(const std::string& address, int port, std::string* error) {
  identity_.boundAddress = address;
  identity_.machineAddresses = MachineAddresses();
  int bound = port;
  if (port == 0) {
    bound = server_->bind_to_any_port(address);
    if (bound <= 0) bound = -1;
  } else if (!server_->bind_to_port(address, port)) {
    bound = -1;
  }
  if (bound == -1) {
    *error = "cannot listen on " + address + ":" + std::to_string(port) +
             " (the port is in use, or this user may not bind it)";
    return false;
  }
  identity_.port = bound;
  return true;
}

void ConsoleWebServer::Serve() {
  serving_ = true;
  if (!stopRequested_) server_->listen_after_bind();
  serving_ = false;
}

void ConsoleWebServer::Stop() {
  stopRequested_ = true;
  // The server can only be stopped once its loop runs; Serve may be just about to start it.
  while (serving_ && !server_->is_running()) std::this_thread::yield();
  server_->stop();
}

void ConsoleWebServer::InstallRoutes() {
  httplib::Server& s = *server_;

  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string host = req.get_header_value("Host");
    const std::string authorization = req.get_header_value("Authorization");
    const std::string cookie = req.get_header_value("Cookie");
    const std::string csrf = req.get_header_value(kCsrfHeader);
    RequestFacts facts{req.method, host, authorization, cookie, csrf};
    if (req.path == "/metrics") {
      ServeMetrics(owner_, identity_, req, res);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.path == "/login") {
      if (HostAllowed(facts.host, identity_)) return httplib::Server::HandlerResponse::Unhandled;
      SendText(res, 403, "This address does not name the console.\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    switch (CheckAccess(facts, identity_)) {
      case Access::kAllowed:
        return httplib::Server::HandlerResponse::Unhandled;
      case Access::kBadHost:
        SendText(res, 403, "This address does not name the console.\n");
        break;
      case Access::kNoCredentials:
        SendText(res, 401,
                 "Open the console with the URL that tarnwick printed when it started "
                 "(\"tarnwick --url\" prints it again).\n");
        break;
      case Access::kBadCsrf:
        SendText(res, 403, "The request lacks the console's CSRF token.\n");
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  });

  s.Get("/login", [this](const httplib::Request& req, httplib::Response& res) {
    if (!LoginTokenValid(req.get_param_value("token"), identity_)) {
      SendText(res, 403, "This login link is not valid (tarnwick makes a new one at each start).\n");
      return;
    }
    res.set_header("Set-Cookie", SessionCookie(identity_));
    res.set_header("Cache-Control", "no-store");
    res.set_redirect("/", 303);
  });

  s.Get("/api/session", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, 200, {{"csrf", identity_.csrf}, {"port", identity_.port}});
  });

  s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    if (streams_.fetch_add(1) >= kMaxEventStreams) {
      streams_.fetch_sub(1);
      SendText(res, 503, "Too many open console pages.\n");
      return;
    }
    auto state = std::make_shared<StreamState>();
    std::string after = req.get_param_value("after");
    std::from_chars(after.data(), after.data() + after.size(), state->lastSeq);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, state](size_t, httplib::DataSink& sink) {
          LiveUpdates& live = owner_.live();
          if (state->version != 0) {
            std::uint64_t now = live.WaitBeyond(state->version, kHeartbeat);
            if (live.Closed()) {
              sink.done();
              return true;
            }
            if (now == state->version) {
              static const char kBeat[] = ": still here\n\n";
              return sink.write(kBeat, sizeof kBeat - 1);
            }
          }
          state->version = live.Version();
          return SendChanges(owner_, *state, sink);
        },
        [this](bool) { streams_.fetch_sub(1); });
  });

  s.Get(R"(/logs/([0-9]{8}\.txt))", [this](const httplib::Request& req, httplib::Response& res) {
    std::string name = req.matches[1];
    if (!IsDailyLogFileName(name)) {
      SendText(res, 404, "No such log file.\n");
      return;
    }
    std::string path = DataFilePath(DataFilePath(owner_.dataDir(), "log"), name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd == -1 || fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
      if (fd != -1) close(fd);
      SendText(res, 404, "No such log file.\n");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content_provider(
        static_cast<size_t>(st.st_size), "text/plain; charset=utf-8",
        [fd](size_t offset, size_t length, httplib::DataSink& sink) {
          char buf[65536];
          ssize_t n = pread(fd, buf, std::min(length, sizeof buf), static_cast<off_t>(offset));
          return n > 0 && sink.write(buf, static_cast<size_t>(n));
        },
        [fd](bool) { close(fd); });
  });

  auto api = [this](const httplib::Request& req, httplib::Response& res) {
    ApiRequest request;
    request.method = req.method;
    request.path = req.path;
    for (const auto& [name, value] : req.params) request.query.emplace(name, value);
    if (!req.body.empty()) {
      if (!JsonDepthWithin(req.body, kMaxJsonDepth)) {
        SendJson(res, 400, {{"error", "the JSON body nests too deep"}});
        return;
      }
      request.body = nlohmann::json::parse(req.body, nullptr, false);
      if (request.body.is_discarded()) {
        SendJson(res, 400, {{"error", "the body is not JSON"}});
        return;
      }
    }
    ApiReply reply = router_.Dispatch(request);
    if (!reply.textType.empty()) {
      res.status = reply.status;
      res.set_header("Cache-Control", "no-store");
      res.set_content(reply.text, reply.textType.c_str());
      return;
    }
    SendJson(res, reply.status, reply.body);
  };
  s.Get(R"(/api/.*)", api);
  s.Post(R"(/api/.*)", api);

  s.Get(R"(/.*)", [](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* asset = FindWebAsset(req.path == "/" ? "/index.html" : req.path);
    if (asset == nullptr) {
      SendText(res, 404, "Not found.\n");
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(asset->body.data(), asset->body.size(), asset->content_type);
  });
}

}  // namespace tw
