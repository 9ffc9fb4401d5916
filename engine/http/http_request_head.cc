#include "engine/http/http_request_head.h"

#include "platform/ascii_text.h"

namespace tw {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A token character: the letters of method and header names.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  for (char t : std::string_view("!#$%&'*+-.^_`|~")) {
    if (c == t) return true;
  }
  return false;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "host:port" with a non-empty host and a decimal port; no path, user info or blank.
bool IsAuthorityForm(std::string_view target) {
  if (target.find_first_of("/?#@") != std::string_view::npos) return false;
  size_t colon = target.rfind(':');
  return colon != std::string_view::npos && colon > 0 && colon + 6 >= target.size() &&
         IsDigits(target.substr(colon + 1));
}

// "scheme://..." with a scheme of a letter then letters, digits, "+", "-", ".".
bool IsAbsoluteForm(std::string_view target) {
  size_t sep = target.find("://");
  if (sep == std::string_view::npos || sep == 0) return false;
  std::string_view scheme = target.substr(0, sep);
  if (!((scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z'))) {
    return false;
  }
  for (char c : scheme) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsRequestLine(std::string_view line) {
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || !IsToken(line.substr(0, sp1))) return false;
  std::string_view method = line.substr(0, sp1);
  std::string_view rest = line.substr(sp1 + 1);
  size_t sp2 = rest.find(' ');
  if (sp2 == std::string_view::npos) return false;
  std::string_view target = rest.substr(0, sp2);
  std::string_view version = rest.substr(sp2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
  if (target.empty()) return false;
  for (char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  if (method == "CONNECT") return IsAuthorityForm(target);
  if (target == "*") return method == "OPTIONS";
  return IsAbsoluteForm(target);
}

bool IsHeaderFieldLine(std::string_view line) {
  if (IsBlank(line.front())) return false;  // obsolete folding
  size_t colon = line.find(':');
  return colon != std::string_view::npos && IsToken(line.substr(0, colon));
}

// The content of a line without its CR, if it has one; false when a CR or NUL is inside.
bool LineContent(std::string_view line, std::string_view* content) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) return false;
  *content = line;
  return true;
}

}  // namespace

HeadScan ScanRequestHead(std::string_view data, uint32_t* checked) {
  size_t start = *checked;
  while (start < data.size()) {
    size_t lf = data.find('\n', start);
    if (lf == std::string_view::npos) break;
    std::string_view line;
    if (!LineContent(data.substr(start, lf - start), &line)) return HeadScan::kBad;
    bool first = start == 0;
    start = lf + 1;
    *checked = static_cast<uint32_t>(start);
    if (first) {
      if (!IsRequestLine(line)) return HeadScan::kBad;
    } else if (line.empty()) {
      return HeadScan::kComplete;
    } else if (!IsHeaderFieldLine(line)) {
      return HeadScan::kBad;
    }
  }
  // The line still arriving: a NUL, or a CR with a byte after it other than LF, is final.
  std::string_view partial = data.substr(start);
  if (partial.find('\0') != std::string_view::npos) return HeadScan::kBad;
  size_t cr = partial.find('\r');
  if (cr != std::string_view::npos && cr + 1 < partial.size()) return HeadScan::kBad;
  return HeadScan::kIncomplete;
}

bool ReadRequestHead(std::string_view head, RequestHead* out) {
  *out = RequestHead{};
  out->text.reserve(head.size() + 64);
  bool length_seen = false;
  bool coding_seen = false;
  bool chunked_last = false;
  bool first = true;
  while (!head.empty()) {
    size_t lf = head.find('\n');
    std::string_view line;
    if (lf == std::string_view::npos || !LineContent(head.substr(0, lf), &line)) return false;
    head.remove_prefix(lf + 1);
    out->text.append(line);
    out->text.append("\r\n");
    if (first) {
      if (!IsRequestLine(line)) return false;
      out->connect = line.substr(0, 8) == "CONNECT ";
      out->head = line.substr(0, 5) == "HEAD ";
      out->close = line.substr(line.size() - 8) == "HTTP/1.0";
      first = false;
      continue;
    }
    if (line.empty()) break;
    if (!IsHeaderFieldLine(line)) return false;
    size_t colon = line.find(':');
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (EqualsNoCase(name, "Content-Length")) {
      uint64_t length = 0;
      if (!ParseContentLength(value, &length)) return false;
      if (length_seen && length != out->length) return false;
      length_seen = true;
      out->length = length;
    } else if (EqualsNoCase(name, "Connection") || EqualsNoCase(name, "Proxy-Connection")) {
      if (ListHasToken(value, "close")) out->close = true;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      // Several lines make one list: the last line's last coding is the one that frames.
      coding_seen = true;
      chunked_last = LastCodingIsChunked(value);
    }
  }
  if (first || (length_seen && coding_seen) || (coding_seen && !chunked_last)) return false;
  if (out->connect) {
    out->body = kBodyNone;
  } else if (coding_seen) {
    out->body = kBodyChunked;
  } else if (length_seen) {
    out->body = kBodyLength;
  }
  return true;
}

}  // namespace tw
