#include "engine/http/http_response_framing.h"

#include <algorithm>

#include "engine/http/http_body_framing.h"
#include "platform/ascii_text.h"

namespace tw {

namespace {

enum ResponsePhase : uint8_t {
  kStatusLine,
  kHeaderLines,
  kResponseBody,
  kResponseEnded,
  kResponseSwitched,
};

void StartHead(HttpResponseState* s) {
  bool head_request = s->headRequest;
  *s = HttpResponseState{};
  s->headRequest = head_request;
}

bool TakeStatusLine(HttpResponseState* s, std::string_view line) {
  // "HTTP/1.x NNN" then a blank and a reason, or nothing.
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[7] < '0' || line[7] > '9' ||
      line[8] != ' ') {
    return false;
  }
  uint16_t status = 0;
  for (char c : line.substr(9, 3)) {
    if (c < '0' || c > '9') return false;
    status = static_cast<uint16_t>(status * 10 + (c - '0'));
  }
  if (line.size() > 12 && line[12] != ' ') return false;
  s->status = status;
  s->close = line[7] == '0';
  s->phase = kHeaderLines;
  return true;
}

// A header line that decides the framing; other lines pass unread.
bool TakeHeaderLine(HttpResponseState* s, std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return true;
  std::string_view name = line.substr(0, colon);
  bool is_length = EqualsNoCase(name, "Content-Length");
  bool is_coding = EqualsNoCase(name, "Transfer-Encoding");
  if (EqualsNoCase(name, "Connection") && ListHasToken(line.substr(colon + 1), "close")) {
    s->close = true;
  }
  if (!is_length && !is_coding) return true;
  // The value of a framing line must be seen whole.
  if (s->lineCut) return false;
  std::string_view value = line.substr(colon + 1);
  if (is_coding) {
    s->codingSeen = true;
    s->chunkedLast = LastCodingIsChunked(value);
    return true;
  }
  uint64_t length = 0;
  if (!ParseContentLength(value, &length)) return false;
  if (s->lengthSeen && length != s->length) return false;
  s->lengthSeen = true;
  s->length = length;
  return true;
}

// The blank line after a head: decides what follows.
ResponseProgress HeadEnded(HttpResponseState* s) {
  if (s->status == 101) {
    s->phase = kResponseSwitched;
    return ResponseProgress::kSwitched;
  }
  if (s->status >= 100 && s->status < 200) {
    StartHead(s);
    return ResponseProgress::kMore;
  }
  HttpBodyKind kind = kBodyUntilClose;
  if (s->headRequest || s->status == 204 || s->status == 304) {
    kind = kBodyNone;
  } else if (s->codingSeen) {
    kind = s->chunkedLast ? kBodyChunked : kBodyUntilClose;
  } else if (s->lengthSeen) {
    kind = kBodyLength;
  }
  StartBody(&s->body, kind, s->length);
  if (BodyEnded(s->body)) {
    s->phase = kResponseEnded;
    return ResponseProgress::kDone;
  }
  s->phase = kResponseBody;
  return ResponseProgress::kMore;
}

// A head line without its line end.
ResponseProgress TakeHeadLine(HttpResponseState* s) {
  std::string_view line(s->line, s->lineLength);
  if (!line.empty() && line.back() == '\r' && !s->lineCut) line.remove_suffix(1);
  bool ok = true;
  if (s->phase == kStatusLine) {
    ok = TakeStatusLine(s, line);
  } else if (line.empty() && !s->lineCut) {
    return HeadEnded(s);
  } else {
    ok = TakeHeaderLine(s, line);
  }
  s->lineLength = 0;
  s->lineCut = false;
  return ok ? ResponseProgress::kMore : ResponseProgress::kBad;
}

// Reads head bytes up to the end of the head; *i advances past what was taken.
ResponseProgress TakeHead(HttpResponseState* s, std::string_view data, size_t* i) {
  while (*i < data.size()) {
    char c = data[(*i)++];
    if (c == '\0' || ++s->headBytes > kMaxResponseHead) return ResponseProgress::kBad;
    if (c != '\n') {
      if (s->lineLength < sizeof s->line) {
        s->line[s->lineLength++] = c;
      } else {
        s->lineCut = true;
      }
      continue;
    }
    ResponseProgress p = TakeHeadLine(s);
    if (p != ResponseProgress::kMore || s->phase == kResponseBody) return p;
  }
  return ResponseProgress::kMore;
}

}  // namespace

void StartResponse(HttpResponseState* s, bool head_request) {
  *s = HttpResponseState{};
  s->headRequest = head_request;
}

ResponseProgress TakeResponse(HttpResponseState* s, std::string_view data, size_t* used) {
  size_t i = 0;
  *used = 0;
  for (;;) {
    switch (s->phase) {
      case kResponseEnded:
        return ResponseProgress::kDone;
      case kResponseSwitched:
        return ResponseProgress::kSwitched;
      case kStatusLine:
      case kHeaderLines: {
        ResponseProgress p = TakeHead(s, data, &i);
        *used = i;
        if (p != ResponseProgress::kMore || s->phase != kResponseBody) return p;
        break;
      }
      default: {
        size_t n = 0;
        BodyProgress p = TakeBody(&s->body, data.substr(i), &n);
        *used = i + n;
        if (p == BodyProgress::kBad) return ResponseProgress::kBad;
        if (p == BodyProgress::kMore) return ResponseProgress::kMore;
        s->phase = kResponseEnded;
        return ResponseProgress::kDone;
      }
    }
  }
}

uint64_t UnframedBodyLeft(const HttpResponseState& s) {
  if (s.phase != kResponseBody) return 0;
  if (s.body.kind == kBodyLength) return s.body.remaining;
  return s.body.kind == kBodyUntilClose ? kBodyRunsToClose : 0;
}

void SkipResponseBody(HttpResponseState* s, uint64_t n) {
  if (s->phase != kResponseBody || s->body.kind != kBodyLength) return;
  s->body.remaining -= std::min(n, s->body.remaining);
  if (s->body.remaining > 0) return;
  s->body.kind = kBodyNone;
  s->phase = kResponseEnded;
}

}  // namespace tw
