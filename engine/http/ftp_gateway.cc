#include "engine/http/ftp_gateway.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/address_text.h"
#include "platform/ascii_text.h"
#include "platform/resolver.h"
#include "platform/tick.h"

namespace tw {

namespace {

constexpr size_t kMaxReply = 64 * 1024;  // a longer reply (endless banner) ends the dialogue

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one field of the URL for use in an FTP command.
bool DecodeField(std::string_view in, std::string* out) {
  if (!PercentDecode(in, out) || out->size() > kFtpMaxField) return false;
  return out->find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// Waits until fd is ready for events or the time is up; false on time-out or error.
bool WaitReady(int fd, short events, uint64_t deadline) {
  for (;;) {
    uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    pollfd p = {fd, events, 0};
    int rc = poll(&p, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 1u << 30)));
    if (rc > 0) return true;
    if (rc == -1 && errno != EINTR) return false;
  }
}

// A TCP connection to address:port (network order), made by deadline; -1 on failure.
int ConnectBy(uint32_t address, uint16_t port, uint64_t deadline) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in to = MakeSockAddr(address, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
  int err = 0;
  socklen_t len = sizeof err;
  if (errno != EINPROGRESS || !WaitReady(fd, POLLOUT, deadline) ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1 || err != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAllBy(int fd, std::string_view text, uint64_t deadline) {
  while (!text.empty()) {
    ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT, deadline)) {
      continue;
    }
    return false;
  }
  return true;
}

// The control connection: commands out, whole replies (one or more lines) in. Each wait is
// bounded by the per-read limit and by the deadline of the whole dialogue, so a server that
// keeps the dialogue going without end (preliminary replies forever) is given up too.
class FtpControl {
 public:
  FtpControl(int fd, uint32_t timeout_ms, uint64_t dialogue_deadline)
      : fd_(fd), timeout_ms_(timeout_ms), dialogue_deadline_(dialogue_deadline) {}
  ~FtpControl() { close(fd_); }
  FtpControl(const FtpControl&) = delete;
  FtpControl& operator=(const FtpControl&) = delete;

  // The end of a wait that starts now.
  uint64_t WaitEnd() const { return std::min(MonotonicMs() + timeout_ms_, dialogue_deadline_); }

  bool Send(std::string_view command) { return SendAllBy(fd_, command, WaitEnd()); }

  // The next complete reply: its three-digit code and its text. A reply must arrive whole
  // within the time limit; false on time-out, close, or a line that is not a reply.
  bool Read(int* code, std::string* text) {
    uint64_t deadline = WaitEnd();
    text->clear();
    int first = -1;
    for (;;) {
      std::string line;
      if (!ReadLine(deadline, &line)) return false;
      text->append(line);
      text->push_back('\n');
      if (text->size() > kMaxReply) return false;
      bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                   std::isdigit(static_cast<unsigned char>(line[1])) &&
                   std::isdigit(static_cast<unsigned char>(line[2]));
      int value = coded ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : -1;
      if (first == -1) {
        if (!coded) return false;
        first = value;
        if (line.size() > 3 && line[3] == '-') continue;  // a multi-line reply begins
        *code = value;
        return true;
      }
      if (value == first && (line.size() == 3 || line[3] == ' ')) {
        *code = value;
        return true;
      }
    }
  }

  int fd() const { return fd_; }

 private:
  bool ReadLine(uint64_t deadline, std::string* line) {
    for (;;) {
      size_t eol = pending_.find('\n');
      if (eol != std::string::npos) {
        line->assign(pending_, 0, eol);
        if (!line->empty() && line->back() == '\r') line->pop_back();
        pending_.erase(0, eol + 1);
        return true;
      }
      if (pending_.size() > kMaxReply || !WaitReady(fd_, POLLIN, deadline)) return false;
      char buf[2048];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n == -1 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return false;
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  int fd_;
  uint32_t timeout_ms_;
  uint64_t dialogue_deadline_;
  std::string pending_;
};

bool Preliminary(int code) {
  return code >= 100 && code < 200;
}

// Greeting, USER, PASS. True once logged in.
bool LogIn(FtpControl* ftp, const FtpRequest& request) {
  int code = 0;
  std::string reply;
  do {
    if (!ftp->Read(&code, &reply)) return false;
  } while (Preliminary(code));
  if (code != 220) return false;
  if (!ftp->Send("USER " + request.user + "\r\n") || !ftp->Read(&code, &reply)) return false;
  if (code == 331) {
    if (!ftp->Send("PASS " + request.password + "\r\n") || !ftp->Read(&code, &reply)) {
      return false;
    }
  }
  while (Preliminary(code)) {
    if (!ftp->Read(&code, &reply)) return false;
  }
  return code == 230 || code == 202;
}

// Reads the listing from the data connection until the server closes it, each read within
// the control connection's limits.
void ReadListing(const FtpControl& ftp, int data, std::string* listing) {
  char buf[2047];
  for (;;) {
    if (!WaitReady(data, POLLIN, ftp.WaitEnd())) return;
    ssize_t n = recv(data, buf, sizeof buf, 0);
    if (n == -1 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    size_t room = kFtpMaxListing - listing->size();
    listing->append(buf, std::min(room, static_cast<size_t>(n)));
    if (listing->size() >= kFtpMaxListing) return;
  }
}

// The directory case: LIST over the data connection. False when a command cannot be sent.
bool FetchListing(FtpControl* ftp, int* data, FtpFetchResult* result) {
  int code = 0;
  std::string reply;
  if (!ftp->Send("LIST\r\n")) return false;
  if (!ftp->Read(&code, &reply)) return true;
  // Only a preliminary reply promises data; anything else would leave us waiting on a
  // connection the server never writes to.
  if (!Preliminary(code) || *data == -1) return true;
  ReadListing(*ftp, *data, &result->listing);
  close(*data);
  *data = -1;
  ftp->Read(&code, &reply);  // the transfer's final reply
  return true;
}

// The file case: path names a file; CWD to its directory, SIZE and RETR.
bool FetchFile(FtpControl* ftp, const std::string& path, int* data, FtpFetchResult* result) {
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  int code = 0;
  std::string reply;
  if (!ftp->Send("CWD " + dir + "\r\n")) return false;
  do {
    if (!ftp->Read(&code, &reply)) return true;
  } while (Preliminary(code));
  if (code != 250) return true;
  if (!ftp->Send("SIZE " + name + "\r\n")) return false;
  if (ftp->Read(&code, &reply) && code != 550) result->fileSize = ParseSizeReply(reply);
  if (!ftp->Send("RETR " + name + "\r\n")) return false;
  if (!ftp->Read(&code, &reply)) return true;
  if (Preliminary(code) && *data != -1) {
    result->dataFd = *data;
    *data = -1;
  }
  return true;
}

// The destination policy before each connect; a refusal is noted in the result.
bool Allowed(const DestinationRules& rules, uint32_t address, uint16_t port,
             FtpFetchResult* result) {
  if (rules.Allows(address, port)) return true;
  result->refused = AddressText(address) + ":" + std::to_string(port);
  return false;
}

}  // namespace

bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = HexValue(in[i + 1]);
    int lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

bool ParseFtpRequest(std::string_view line, FtpRequest* out) {
  if (!StartsWithNoCase(line, "get ftp://")) return false;
  std::string_view rest = line.substr(10);
  size_t slash = rest.find('/');
  size_t blank = rest.find(' ');
  std::string_view authority = rest.substr(0, std::min(slash, blank));
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userinfo = authority.substr(0, at);
    size_t colon = userinfo.find(':');
    if (!DecodeField(userinfo.substr(0, colon), &out->user)) return false;
    if (colon != std::string_view::npos &&
        !DecodeField(userinfo.substr(colon + 1), &out->password)) {
      return false;
    }
  }
  if (slash != std::string_view::npos && (blank == std::string_view::npos || slash < blank)) {
    size_t end = rest.find(' ', slash);
    if (end != std::string_view::npos &&
        !DecodeField(rest.substr(slash, end - slash), &out->path)) {
      return false;
    }
  }
  return true;
}

bool ParseGatewayPassivePort(std::string_view reply, uint16_t* port) {
  size_t open = reply.find('(');
  size_t close_paren = reply.find(')', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || close_paren == std::string_view::npos) return false;
  std::string_view numbers = reply.substr(open + 1, close_paren - open - 1);
  int values[6];
  int count = 0;
  size_t pos = 0;
  while (count < 6) {
    size_t comma = numbers.find(',', pos);
    std::string_view part =
        numbers.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    if (part.empty() || part.size() > 3) return false;
    int v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    if (v > 255) return false;
    values[count++] = v;
    if (comma == std::string_view::npos) break;
    if (count == 6) return false;  // more than six numbers
    pos = comma + 1;
  }
  if (count != 6) return false;
  int p = values[4] * 256 + values[5];
  if (p == 0) return false;
  *port = static_cast<uint16_t>(p);
  return true;
}

int64_t ParseSizeReply(std::string_view reply) {
  size_t blank = reply.find(' ');
  if (blank == std::string_view::npos) return 0;
  int64_t size = 0;
  for (size_t i = blank + 1; i < reply.size(); ++i) {
    char c = reply[i];
    if (c < '0' || c > '9') break;
    if (size > (INT64_MAX - 9) / 10) return 0;
    size = size * 10 + (c - '0');
  }
  return size;
}

bool FtpGatewayFetch(const std::string& host, uint16_t port, const FtpRequest& request,
                     const DestinationRules& rules, const FtpGatewayLimits& limits,
                     ResolverPool* resolver, FtpFetchResult* result) {
  uint64_t dialogue_deadline = MonotonicMs() + limits.dialogueMs;
  uint32_t address = 0;
  if (!resolver->ResolveWithin(host, limits.lookupMs, &address)) return false;
  if (!Allowed(rules, address, port, result)) return false;
  int fd = ConnectBy(address, port, std::min(MonotonicMs() + limits.readMs, dialogue_deadline));
  if (fd == -1) return false;
  FtpControl ftp(fd, limits.readMs, dialogue_deadline);
  if (!LogIn(&ftp, request)) return false;
  int code = 0;
  std::string reply;
  if (!ftp.Send("SYST\r\n") || !ftp.Read(&code, &reply)) return false;
  if (!ftp.Send("TYPE I\r\n") || !ftp.Read(&code, &reply)) return false;
  if (!ftp.Send("PASV\r\n") || !ftp.Read(&code, &reply)) return false;
  int data = -1;
  uint16_t data_port = 0;
  if (code == 227 && ParseGatewayPassivePort(reply, &data_port)) {
    // The data connection goes to the server the control connection reached: the address in
    // the reply is not trusted (it would let a server point the proxy at any host).
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    if (getpeername(ftp.fd(), reinterpret_cast<sockaddr*>(&peer), &len) == -1) return false;
    if (!Allowed(rules, peer.sin_addr.s_addr, data_port, result)) return false;
    data = ConnectBy(peer.sin_addr.s_addr, data_port, ftp.WaitEnd());
    if (data == -1) return false;
  }
  bool sent = ftp.Send("CWD " + request.path + "\r\n") && ftp.Read(&code, &reply);
  if (sent) {
    sent = code != 550 ? FetchListing(&ftp, &data, result)
                       : FetchFile(&ftp, request.path, &data, result);
  }
  if (data != -1) close(data);
  if (!sent) {
    if (result->dataFd != -1) close(result->dataFd);
    result->dataFd = -1;
    return false;
  }
  if (ftp.Send("QUIT\r\n")) ftp.Read(&code, &reply);
  return true;
}

}  // namespace tw
