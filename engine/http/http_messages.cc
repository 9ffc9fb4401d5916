#include "engine/http/http_messages.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/ascii_text.h"
#include "platform/base64.h"
#include "platform/wildcard.h"

namespace tw {

namespace {

// The product's page named in the last line of the 407 body: the web console's About page at
// its default address (the About text names the same place).
constexpr std::string_view kProductPage = "http://127.0.0.1:8808/about";

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// "name" or "name:port" into host and port; the port replaces default_port when present.
bool SplitHostPort(std::string_view text, uint16_t default_port, HttpDestination* out) {
  uint16_t port = default_port;
  size_t colon = text.size() > 1 ? text.find(':', 1) : std::string_view::npos;
  std::string_view host = text;
  if (colon != std::string_view::npos) {
    host = text.substr(0, colon);
    if (!ParsePortText(text.substr(colon + 1), &port)) return false;
  }
  if (host.empty() || host.size() > kHttpMaxHost) return false;
  for (char c : host) {
    if (!IsHostChar(c)) return false;
  }
  out->host.assign(host);
  out->port = port;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Patterns may come from a file, one per line: any white space around them goes.
std::string_view TrimWhite(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// True when line is a header field called name, in any letter case and with or without blanks
// before the colon; *value is what follows the colon, trimmed.
bool IsHeaderLine(std::string_view line, std::string_view name, std::string_view* value) {
  if (!StartsWithNoCase(line, name)) return false;
  std::string_view rest = line.substr(name.size());
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  if (rest.empty() || rest.front() != ':') return false;
  *value = Trim(rest.substr(1));
  return true;
}

// The header lines after the request line, one by one, without their line ends.
class HeaderLines {
 public:
  explicit HeaderLines(std::string_view header)
      : rest_(header.substr(RequestLine(header).size())) {}
  bool Next(std::string_view* line) {
    if (rest_.substr(0, 2) != "\r\n") return false;
    rest_.remove_prefix(2);
    size_t eol = rest_.find("\r\n");
    *line = rest_.substr(0, eol);
    rest_.remove_prefix(line->size());
    return true;
  }

 private:
  std::string_view rest_;
};

// An absolute target "scheme://[userinfo@]authority[path]" taken apart.
struct AbsoluteTarget {
  std::string_view scheme;
  std::string_view userinfo;  // without its "@"; empty when none
  bool hasUserinfo = false;
  std::string_view authority;  // "host[:port]"
  std::string_view path;       // from the first "/", "?" or "#"; may be empty
};

// The target of a request line: the text between its first and second blank.
std::string_view TargetOf(std::string_view line) {
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  std::string_view target = line.substr(blank + 1);
  return target.substr(0, target.find(' '));
}

bool SplitAbsoluteTarget(std::string_view target, AbsoluteTarget* out) {
  size_t sep = target.find("://");
  if (sep == std::string_view::npos || sep == 0) return false;
  for (char c : target.substr(0, sep)) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  out->scheme = target.substr(0, sep);
  std::string_view rest = target.substr(sep + 3);
  size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  out->path = rest.substr(std::min(end, rest.size()));
  // The last "@" ends the user info, as the FTP gateway reads it: "a@b:pw@h" logs in as "a@b".
  size_t at = authority.rfind('@');
  out->hasUserinfo = at != std::string_view::npos;
  out->userinfo = out->hasUserinfo ? authority.substr(0, at) : std::string_view();
  out->authority = out->hasUserinfo ? authority.substr(at + 1) : authority;
  return true;
}

std::string_view StripTrailingSlashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

// True when the header's only Host line names dest's host and port; *value is its value.
bool HostLineFits(std::string_view header, const HttpDestination& dest, std::string_view* value) {
  HeaderLines lines(header);
  std::string_view line;
  int count = 0;
  while (lines.Next(&line)) {
    std::string_view v;
    if (IsHeaderLine(line, "Host", &v) && ++count == 1) *value = v;
  }
  if (count != 1) return false;
  if (!dest.fromTarget) return true;
  HttpDestination named;
  return SplitHostPort(*value, dest.scheme == HttpDestination::kFtp ? 21 : 80, &named) &&
         EqualsNoCase(named.host, dest.host) && named.port == dest.port;
}

// Appends the request line with its absolute target "http://<host_value>/..." in origin form;
// false (nothing appended) when the target is not written so.
bool AppendOriginForm(std::string_view line, std::string_view host_value, std::string* out) {
  size_t blank = line.find(' ');
  if (host_value.empty() || blank == std::string_view::npos) return false;
  std::string prefix = "http://";
  prefix.append(host_value);
  std::string_view target = line.substr(blank + 1);
  if (target.substr(0, prefix.size()) != prefix || target.size() <= prefix.size() ||
      target[prefix.size()] != '/') {
    return false;
  }
  out->append(line.substr(0, blank + 1));
  out->append(target.substr(prefix.size()));
  return true;
}

}  // namespace

std::string_view RequestLine(std::string_view header) {
  return header.substr(0, header.find("\r\n"));
}

bool FindHeader(std::string_view header, std::string_view name, std::string_view* value) {
  HeaderLines lines(header);
  std::string_view line;
  while (lines.Next(&line)) {
    if (IsHeaderLine(line, name, value)) return true;
  }
  return false;
}

bool ParseDestination(std::string_view header, HttpDestination* out) {
  std::string_view line = RequestLine(header);
  if (StartsWithNoCase(header, "CONNECT ")) {
    out->scheme = HttpDestination::kConnect;
    out->fromTarget = false;
    std::string_view target = line.substr(8);
    target = target.substr(0, target.find(' '));
    if (!SplitHostPort(target, 443, out)) return false;
    out->authority.assign(target);
    return true;
  }
  out->scheme = HttpDestination::kHttp;
  uint16_t port = 80;
  if (StartsWithNoCase(header, "GET ftp://")) {
    out->scheme = HttpDestination::kFtp;
    port = 21;
  }
  AbsoluteTarget uri;
  std::string_view authority;
  out->fromTarget = SplitAbsoluteTarget(TargetOf(line), &uri);
  if (out->fromTarget) {
    authority = uri.authority;
  } else if (!FindHeader(header, "Host", &authority)) {
    return false;
  }
  if (!SplitHostPort(authority, port, out)) return false;
  out->authority.assign(authority);
  return true;
}

bool ParseBasicCredentials(std::string_view header, std::string* user, std::string* password) {
  std::string_view value;
  if (!FindHeader(header, "Proxy-Authorization", &value)) return false;
  if (!StartsWithNoCase(value, "Basic") || value.size() < 6 || !IsBlank(value[5])) return false;
  std::string decoded;
  if (!Base64Decode(Trim(value.substr(6)), &decoded)) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) {
    user->clear();
    *password = decoded;
  } else {
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
  }
  return true;
}

std::string RewriteRequestHeader(std::string_view header, const HttpDestination& dest) {
  std::string_view host_value;
  bool host_kept = HostLineFits(header, dest, &host_value);
  if (!host_kept) host_value = dest.authority;
  std::string out;
  out.reserve(header.size() + 8 + dest.authority.size());
  std::string_view request_line = RequestLine(header);
  if (!AppendOriginForm(request_line, host_value, &out)) out.append(request_line);
  // The destination's Host line replaces the first Host line, or follows the request line.
  std::string host_line = "\r\nHost: " + dest.authority;
  std::string_view value;
  if (!host_kept && !FindHeader(header, "Host", &value)) {
    out.append(host_line);
    host_line.clear();
  }
  bool connection_done = false;
  bool dropping = false;
  HeaderLines lines(header);
  std::string_view line;
  while (lines.Next(&line)) {
    // A folded continuation belongs to the line before it, and goes with it.
    if (dropping && !line.empty() && IsBlank(line.front())) continue;
    dropping = false;
    if (IsHeaderLine(line, "Proxy-Authorization", &value)) {
      dropping = true;  // it carries the client's proxy password
    } else if (!host_kept && IsHeaderLine(line, "Host", &value)) {
      dropping = true;
      out.append(host_line);
      host_line.clear();
    } else if (!connection_done && IsHeaderLine(line, "Proxy-Connection", &value)) {
      out.append("\r\nConnection:");
      out.append(line.substr(line.find(':') + 1));
      connection_done = true;
    } else {
      out.append("\r\n");
      out.append(line);
    }
  }
  return out;
}

bool IdempotentMethod(std::string_view request_line) {
  std::string_view method = request_line.substr(0, request_line.find(' '));
  for (std::string_view m : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
    if (method == m) return true;
  }
  return false;
}

std::string FilterUrlText(std::string_view request_line, const HttpDestination& dest) {
  if (dest.scheme == HttpDestination::kConnect) return std::string(request_line);
  std::string_view target = TargetOf(request_line);
  AbsoluteTarget uri;
  if (!SplitAbsoluteTarget(target, &uri)) {
    return dest.authority + std::string(StripTrailingSlashes(target));
  }
  if (EqualsNoCase(uri.scheme, "http")) {
    return std::string(uri.authority) + std::string(StripTrailingSlashes(uri.path));
  }
  // Another scheme: the whole line, but without user info that could pass for the host.
  std::string text(
      request_line.substr(0, uri.scheme.data() + uri.scheme.size() + 3 - request_line.data()));
  text.append(uri.authority);
  text.append(request_line.substr(uri.path.data() - request_line.data()));
  return text;
}

std::string LoggedRequestLine(std::string_view request_line) {
  AbsoluteTarget uri;
  if (!SplitAbsoluteTarget(TargetOf(request_line), &uri) || !uri.hasUserinfo) {
    return std::string(request_line);
  }
  size_t colon = uri.userinfo.find(':');
  if (colon == std::string_view::npos) return std::string(request_line);
  std::string text(request_line.substr(0, uri.userinfo.data() + colon - request_line.data()));
  text.append(request_line.substr(uri.authority.data() - 1 - request_line.data()));
  return text;
}

bool WebFilterBlocks(const WebFilter& filter, std::string_view url_text) {
  std::string_view rest = filter.patterns;
  bool seen = false;
  for (;;) {
    size_t semi = rest.find(';');
    std::string_view pattern = rest.substr(0, semi);
    pattern = TrimWhite(pattern);
    if (!pattern.empty()) {
      bool match = WildcardMatch(pattern, url_text);
      if (filter.type == 1) {
        seen = true;
        if (match) return false;
      } else if (filter.type == 2 && match) {
        return true;
      }
    }
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  return filter.type == 1 && seen;
}

std::string ProxyAuthRequiredReply() {
  std::string reply =
      "HTTP/1.0 407 Proxy authorization required\r\n"
      "Proxy-agent: TarnwickProxyServer\r\n"
      "Proxy-Authenticate: Basic realm=\"TarnwickProxyServer Authorization\"\r\n"
      "Cache-Control: no-cache\r\n"
      "\r\n"
      "Username/password error \r\n"
      "powered by Tarnwick Proxy Server (";
  reply.append(kProductPage);
  reply.append(")\r\n");
  return reply;
}

}  // namespace tw
