#include "engine/http/http_messages.h"

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

// The position of the first line (after the request line) that starts with prefix, or npos.
size_t FindHeaderLine(std::string_view header, std::string_view prefix) {
  size_t pos = 0;
  for (;;) {
    size_t eol = header.find("\r\n", pos);
    if (eol == std::string_view::npos) return std::string_view::npos;
    pos = eol + 2;
    if (header.substr(pos, prefix.size()) == prefix) return pos;
  }
}

}  // namespace

bool StartsWithMethod(std::string_view data) {
  for (std::string_view word : {"GET ", "PUT ", "POST ", "HEAD ", "CONNECT "}) {
    if (StartsWithNoCase(data, word)) return true;
  }
  return false;
}

size_t HeaderBlockLength(std::string_view data) {
  size_t end = data.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end + 4;
}

std::string_view RequestLine(std::string_view header) {
  return header.substr(0, header.find("\r\n"));
}

bool FindHeader(std::string_view header, std::string_view prefix, std::string_view* value) {
  size_t start = FindHeaderLine(header, prefix);
  if (start == std::string_view::npos) return false;
  start += prefix.size();
  size_t end = header.find("\r\n", start);
  *value =
      header.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  return true;
}

bool ParseDestination(std::string_view header, HttpDestination* out) {
  if (!StartsWithNoCase(header, "CONNECT ")) {
    std::string_view host;
    if (!FindHeader(header, "Host: ", &host)) return false;
    out->scheme = HttpDestination::kHttp;
    uint16_t port = 80;
    if (StartsWithNoCase(header, "GET ftp://")) {
      out->scheme = HttpDestination::kFtp;
      port = 21;
    }
    return SplitHostPort(Trim(host), port, out);
  }
  out->scheme = HttpDestination::kConnect;
  std::string_view line = RequestLine(header).substr(8);
  return SplitHostPort(line.substr(0, line.find(' ')), 443, out);
}

bool ParseBasicCredentials(std::string_view header, std::string* user, std::string* password) {
  std::string_view encoded;
  if (!FindHeader(header, "Proxy-Authorization: Basic ", &encoded)) return false;
  std::string decoded;
  if (!Base64Decode(Trim(encoded), &decoded)) return false;
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

std::string RewriteRequestHeader(std::string_view header, std::string_view host_value) {
  std::string out;
  out.reserve(header.size());
  std::string_view line = RequestLine(header);
  // The absolute target "http://host/..." right after the method becomes "/...".
  size_t blank = line.find(' ');
  if (!host_value.empty() && blank != std::string_view::npos) {
    std::string prefix = "http://";
    prefix.append(host_value);
    std::string_view target = line.substr(blank + 1);
    if (target.substr(0, prefix.size()) == prefix && target.size() > prefix.size() &&
        target[prefix.size()] == '/') {
      out.append(line.substr(0, blank + 1));
      out.append(target.substr(prefix.size()));
      line = {};
    }
  }
  out.append(line);
  bool connection_done = false;
  size_t pos = RequestLine(header).size();
  while (pos < header.size()) {
    size_t eol = header.find("\r\n", pos + 2);
    size_t next = eol == std::string_view::npos ? header.size() : eol;
    std::string_view piece = header.substr(pos, next - pos);  // "\r\n" + one header line
    std::string_view text = piece.substr(std::min<size_t>(2, piece.size()));
    if (text.substr(0, 20) == "Proxy-Authorization:") {
      // Dropped: it carries the client's proxy password.
    } else if (!connection_done && text.substr(0, 17) == "Proxy-Connection:") {
      out.append("\r\nConnection:");
      out.append(text.substr(17));
      connection_done = true;
    } else {
      out.append(piece);
    }
    pos = next;
  }
  return out;
}

std::string FilterUrlText(std::string_view request_line) {
  std::string_view url = request_line;
  size_t scheme = request_line.find("http://");
  if (scheme != std::string_view::npos && scheme > 0) {
    size_t start = scheme + 7;
    size_t version = request_line.find(" HTTP/1", start);
    if (version != std::string_view::npos) url = request_line.substr(start, version - start);
  }
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return std::string(url);
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
