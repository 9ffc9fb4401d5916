#include "engine/http/http_body_framing.h"

#include <algorithm>

#include "platform/ascii_text.h"

namespace tw {

namespace {

// Where in the chunked framing the next byte falls.
enum ChunkStep : uint8_t {
  kChunkSize,         // hex digits of the size
  kChunkExtension,    // after the digits, up to the line end
  kChunkSizeLf,       // CR seen at the end of the size line
  kChunkData,         // `remaining` data bytes
  kChunkDataEnd,      // the CRLF after the data
  kChunkDataLf,       // CR seen after the data
  kTrailerLineStart,  // start of a trailer line, or of the blank line that ends the body
  kTrailerLine,       // inside a trailer line
  kTrailerLf,         // CR seen at the end of a trailer line
  kTrailerEndLf,      // CR seen on the blank line
  kChunkedEnded,
};

constexpr uint64_t kMaxChunkSize = uint64_t{1} << 60;
constexpr uint64_t kMaxContentLength = uint64_t{1} << 62;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The end of the size line: a chunk's data follows, or the trailer section after the last one.
void SizeLineEnded(HttpBodyState* s) {
  s->lineBytes = 0;
  s->step = s->remaining == 0 ? kTrailerLineStart : kChunkData;
}

// One byte of the chunked framing outside chunk data. False when it is malformed.
bool ChunkFramingByte(HttpBodyState* s, char c) {
  switch (s->step) {
    case kChunkSize: {
      int v = HexValue(c);
      if (v >= 0) {
        if (s->remaining > kMaxChunkSize / 16) return false;
        s->remaining = s->remaining * 16 + static_cast<uint64_t>(v);
        s->sizeDigits = true;
        return ++s->lineBytes <= kMaxChunkLine;
      }
      if (!s->sizeDigits) return false;
      s->step = kChunkExtension;
      [[fallthrough]];
    }
    case kChunkExtension:
      if (c == '\n') {
        SizeLineEnded(s);
      } else if (c == '\r') {
        s->step = kChunkSizeLf;
      } else if (c == '\0') {
        return false;
      }
      return ++s->lineBytes <= kMaxChunkLine;
    case kChunkSizeLf:
      if (c != '\n') return false;
      SizeLineEnded(s);
      return true;
    case kChunkDataEnd:
      if (c == '\r') {
        s->step = kChunkDataLf;
        return true;
      }
      [[fallthrough]];
    case kChunkDataLf:
      if (c != '\n') return false;
      s->step = kChunkSize;
      s->sizeDigits = false;
      s->lineBytes = 0;
      return true;
    case kTrailerLineStart:
      if (c == '\n') {
        s->step = kChunkedEnded;
        return true;
      }
      s->step = c == '\r' ? kTrailerEndLf : kTrailerLine;
      return ++s->lineBytes <= kMaxTrailer;
    case kTrailerLine:
      if (c == '\n') {
        s->step = kTrailerLineStart;
      } else if (c == '\r') {
        s->step = kTrailerLf;
      } else if (c == '\0') {
        return false;
      }
      return ++s->lineBytes <= kMaxTrailer;
    case kTrailerLf:
      if (c != '\n') return false;
      s->step = kTrailerLineStart;
      return true;
    case kTrailerEndLf:
      if (c != '\n') return false;
      s->step = kChunkedEnded;
      return true;
    default:
      return false;
  }
}

BodyProgress TakeChunked(HttpBodyState* s, std::string_view data, size_t* used) {
  size_t i = 0;
  while (i < data.size() && s->step != kChunkedEnded) {
    if (s->step == kChunkData) {
      // Chunk data is counted, never looked at.
      uint64_t n = std::min<uint64_t>(s->remaining, data.size() - i);
      i += n;
      s->remaining -= n;
      if (s->remaining == 0) s->step = kChunkDataEnd;
      continue;
    }
    if (!ChunkFramingByte(s, data[i])) return BodyProgress::kBad;
    ++i;
  }
  *used = i;
  if (s->step != kChunkedEnded) return BodyProgress::kMore;
  s->kind = kBodyNone;
  return BodyProgress::kDone;
}

}  // namespace

void StartBody(HttpBodyState* s, HttpBodyKind kind, uint64_t length) {
  *s = HttpBodyState{};
  s->kind = kind;
  if (kind == kBodyLength) {
    s->remaining = length;
    if (length == 0) s->kind = kBodyNone;
  }
}

bool BodyEnded(const HttpBodyState& s) {
  return s.kind == kBodyNone;
}

BodyProgress TakeBody(HttpBodyState* s, std::string_view data, size_t* used) {
  *used = 0;
  switch (s->kind) {
    case kBodyNone:
      return BodyProgress::kDone;
    case kBodyLength: {
      uint64_t n = std::min<uint64_t>(s->remaining, data.size());
      *used = static_cast<size_t>(n);
      s->remaining -= n;
      if (s->remaining != 0) return BodyProgress::kMore;
      s->kind = kBodyNone;
      return BodyProgress::kDone;
    }
    case kBodyChunked:
      return TakeChunked(s, data, used);
    case kBodyUntilClose:
      *used = data.size();
      return BodyProgress::kMore;
    default:
      return BodyProgress::kBad;
  }
}

bool ParseContentLength(std::string_view value, uint64_t* length) {
  bool seen = false;
  for (;;) {
    size_t comma = value.find(',');
    std::string_view item = TrimBlanks(value.substr(0, comma));
    if (item.empty()) return false;
    uint64_t n = 0;
    for (char c : item) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<uint64_t>(c - '0');
      if (n > kMaxContentLength) return false;
    }
    if (seen && n != *length) return false;
    seen = true;
    *length = n;
    if (comma == std::string_view::npos) return true;
    value.remove_prefix(comma + 1);
  }
}

bool LastCodingIsChunked(std::string_view value) {
  size_t comma = value.rfind(',');
  std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
  last = TrimBlanks(last.substr(0, last.find(';')));
  return EqualsNoCase(last, "chunked");
}

bool ListHasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (EqualsNoCase(TrimBlanks(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace tw
