#pragma once
// Where an HTTP message body ends, found while its bytes stream past: a Content-Length body is
// counted, a chunked one is followed through its size lines, data, last chunk and trailer
// section; a body read until the connection closes never ends. Bytes are never copied or kept,
// so the state (HttpBodyState, in the context's record) stays a few words whatever the size.
// Pure functions; one state per message, advanced by whoever owns the context.
//
// Refused (kBad): a chunk size without hex digits or beyond 2^60, a size line or trailer
// section longer than kMaxChunkLine / kMaxTrailer, a CR not followed by LF, a chunk's data
// not followed by its line end. Lines may end in CRLF or a bare LF.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/core/protocol_state.h"

namespace tw {

enum HttpBodyKind : uint8_t {
  kBodyNone = 0,        // no body (or it has ended)
  kBodyLength = 1,      // Content-Length bytes
  kBodyChunked = 2,     // chunked transfer coding
  kBodyUntilClose = 3,  // everything up to the connection's end
};

// Longest chunk size line (with its extensions) and trailer section accepted.
constexpr uint32_t kMaxChunkLine = 4096;
constexpr uint32_t kMaxTrailer = 8192;

enum class BodyProgress { kMore, kDone, kBad };

// Starts a body of the given kind; length counts for kBodyLength only.
void StartBody(HttpBodyState* s, HttpBodyKind kind, uint64_t length = 0);

// True once the body has ended (at once for kBodyNone and a zero Content-Length).
bool BodyEnded(const HttpBodyState& s);

// Takes the bytes of data that belong to the body: *used is their count (all of data unless
// the body ends inside it; the bytes after it are the next message's). kDone once the body has
// ended, kMore while more belongs to it, kBad for a malformed chunked framing (*used is then
// meaningless and the message cannot go on).
BodyProgress TakeBody(HttpBodyState* s, std::string_view data, size_t* used);

// A Content-Length value: decimal digits, or a comma-separated list of equal such values,
// blanks around them allowed, at most 2^62. False otherwise.
bool ParseContentLength(std::string_view value, uint64_t* length);

// True when the last coding of a Transfer-Encoding value is "chunked" (any letter case).
bool LastCodingIsChunked(std::string_view value);

// True when a comma-separated header value (Connection) lists token, in any letter case.
bool ListHasToken(std::string_view value, std::string_view token);

}  // namespace tw
