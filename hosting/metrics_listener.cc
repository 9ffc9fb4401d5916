#include "hosting/metrics_listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/http/http_messages.h"
#include "hosting/metrics_access.h"
#include "hosting/metrics_text.h"
#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

constexpr uint64_t kAcceptPauseMs = 100;

std::string Reply(std::string_view status, std::string_view type, std::string_view extra,
                  std::string_view body) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: ";
  out += type;
  out += "\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nCache-Control: no-store\r\nConnection: close\r\n";
  out += extra;
  out += "\r\n";
  out += body;
  return out;
}

std::string Empty(std::string_view status, std::string_view extra = {}) {
  return Reply(status, "text/plain; charset=utf-8", extra, {});
}

// Where the head ends (its blank line included), or 0 while it has not ended. Lines end in
// CRLF, as every HTTP client writes them.
std::size_t HeadEnd(std::string_view data) {
  std::size_t end = data.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end + 4;
}

// One connection: the head arriving, the answer leaving, then what the client still sends
// read and dropped until it closes. Closing with unread bytes would reset the connection and
// could cost the client the answer it has not read yet.
struct Client {
  int fd = -1;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  uint64_t deadlineMs = 0;
  bool draining = false;
  bool done = false;
};

// Reads what has arrived; once the head is whole (or too long), the answer is made.
void ReadStep(Client& c, std::string_view bound, const MetricsSources& sources) {
  char buf[4096];
  std::size_t room = kMetricsHeadMax + 1 - c.in.size();
  ssize_t n = recv(c.fd, buf, std::min(room, sizeof buf), 0);
  if (n == -1 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    c.done = true;  // gone before its request was whole
    return;
  }
  c.in.append(buf, static_cast<std::size_t>(n));
  std::size_t end = HeadEnd(c.in);
  if (end != 0 && end <= kMetricsHeadMax) {
    c.out = MetricsReply(std::string_view(c.in).substr(0, end), bound, sources);
  } else if (c.in.size() > kMetricsHeadMax) {
    c.out = Empty("431 Request Header Fields Too Large");
  }
}

void SendStep(Client& c) {
  ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
  if (n == -1 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    c.done = true;
    return;
  }
  c.sent += static_cast<std::size_t>(n);
  if (c.sent == c.out.size()) {
    shutdown(c.fd, SHUT_WR);
    c.draining = true;
  }
}

void DrainStep(Client& c) {
  char buf[4096];
  ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n == 0 || (n == -1 && errno != EAGAIN && errno != EINTR)) c.done = true;
}

}  // namespace

std::string MetricsReply(std::string_view head, std::string_view boundAddress,
                         const MetricsSources& sources) {
  std::string_view line = RequestLine(head);
  std::size_t first = line.find(' ');
  std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.substr(second + 1).rfind("HTTP/1.", 0) != 0) {
    return Empty("400 Bad Request");
  }
  std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, second - first - 1);
  std::string_view path = target.substr(0, target.find('?'));
  if (method != "GET" || path != "/metrics") return Empty("404 Not Found");
  std::string_view host, authorization;
  FindHeader(head, "Host", &host);
  FindHeader(head, "Authorization", &authorization);
  if (!MetricsAccessAllowed(boundAddress, host, authorization, sources.token())) {
    return Empty("401 Unauthorized", "WWW-Authenticate: Bearer\r\n");
  }
  return Reply("200 OK", kMetricsContentType, {}, sources.render());
}

MetricsListener::MetricsListener(MetricsSources sources) : sources_(std::move(sources)) {}

MetricsListener::~MetricsListener() {
  Stop();
}

bool MetricsListener::Start(std::string_view endpoint, std::string* error) {
  uint32_t address = 0;
  uint16_t port = 0;
  if (thread_.joinable()) {
    *error = "the metrics listener already runs";
    return false;
  }
  if (!ParseIPv4Endpoint(endpoint, &address, &port)) {
    *error = "metrics_address \"" + std::string(endpoint) +
             "\" is not an IPv4 address and port (ADDR:PORT)";
    return false;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int one = 1;
  sockaddr_in addr = MakeSockAddr(address, port);
  socklen_t len = sizeof addr;
  bool ok = listenFd_ != -1 && wakeFd_ != -1 &&
            setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(listenFd_, 16) == 0 &&
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (ok) {
    boundAddress_ = AddressText(address);
    endpoint_ = ListenEndpoint{address, ntohs(addr.sin_port)};
    try {
      thread_ = std::thread(&MetricsListener::Serve, this);
      pthread_setname_np(thread_.native_handle(), "tw-metrics");
      return true;
    } catch (const std::system_error&) {
      errno = EAGAIN;
    }
  }
  *error = "metrics_address " + std::string(endpoint) + ": " + std::strerror(errno);
  Stop();
  return false;
}

void MetricsListener::Stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t rc = write(wakeFd_, &one, sizeof one);
    (void)rc;
    thread_.join();
  }
  if (listenFd_ != -1) close(listenFd_);
  if (wakeFd_ != -1) close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
}

void MetricsListener::Serve() {
  std::vector<Client> clients;
  std::vector<pollfd> fds;
  uint64_t acceptPausedUntil = 0;  // after an accept failed for lack of descriptors
  for (;;) {
    fds.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    uint64_t now = MonotonicMs();
    // A full house leaves new clients in the listen queue until a slot frees.
    bool accepting =
        clients.size() < static_cast<std::size_t>(kMetricsClients) && acceptPausedUntil <= now;
    fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    int timeout = acceptPausedUntil > now ? static_cast<int>(acceptPausedUntil - now) : -1;
    for (const Client& c : clients) {
      bool sending = !c.out.empty() && !c.draining;
      fds.push_back({c.fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0});
      int left = c.deadlineMs > now ? static_cast<int>(c.deadlineMs - now) : 0;
      timeout = timeout == -1 ? left : std::min(timeout, left);
    }
    if (poll(fds.data(), fds.size(), timeout) == -1 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    now = MonotonicMs();
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& c = clients[i];
      if (fds[i + 2].revents != 0) {
        if (c.draining) {
          DrainStep(c);
        } else {
          if (c.out.empty()) ReadStep(c, boundAddress_, sources_);
          if (!c.out.empty() && !c.done) SendStep(c);
        }
      }
      if (c.deadlineMs <= now) c.done = true;
    }
    std::erase_if(clients, [](const Client& c) {
      if (c.done) close(c.fd);
      return c.done;
    });
    while (accepting && fds[1].revents != 0 &&
           clients.size() < static_cast<std::size_t>(kMetricsClients)) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd == -1) {
        // Drained; or out of descriptors, when the listener stays readable: wait a moment.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          acceptPausedUntil = now + kAcceptPauseMs;
        }
        break;
      }
      clients.push_back(Client{fd, {}, {}, 0, now + kMetricsTimeoutMs, false, false});
    }
  }
  for (const Client& c : clients) close(c.fd);
}

}  // namespace tw
