#pragma once
// Where an HTTP response ends, found while its bytes stream to the client: the head is read
// line by line (only the start of each line is kept, so a head costs no memory beyond the
// state), then the body is framed by http_body_framing.h. Nothing is copied or changed.
//
//   - a response to HEAD, and every 204 and 304, ends with its head;
//   - a 1xx other than 101 is interim: another head follows, and that one is framed;
//   - 101 switches protocols: the response ends with its head and the connection becomes a
//     tunnel (kSwitched);
//   - Transfer-Encoding whose last coding is chunked: chunked; with another last coding the
//     body runs to the close (Transfer-Encoding wins over Content-Length);
//   - Content-Length (equal values if repeated): that many bytes;
//   - otherwise the body runs until the server closes.
// `close` tells whether the response ends its connection (HTTP/1.0 or "Connection: close"): the
// proxy then ends the client's connection after it too, as the client was told.
// Refused (kBad): a status line that is not "HTTP/1.x NNN", differing or malformed
// Content-Length values, a NUL in the head, a head over kMaxResponseHead bytes, a malformed
// chunked body. Pure functions over the state kept in the destination context's record.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/core/protocol_state.h"

namespace tw {

constexpr uint32_t kMaxResponseHead = 65536;

enum class ResponseProgress { kMore, kDone, kSwitched, kBad };

// Starts the framing of the response to a request; head_request: the request was HEAD.
void StartResponse(HttpResponseState* s, bool head_request);

// Takes the bytes of data that belong to the response: *used is their count (all of data
// unless the response ends inside it). kDone / kSwitched once it has ended (further calls
// take nothing), kMore while more belongs to it, kBad when it is malformed.
ResponseProgress TakeResponse(HttpResponseState* s, std::string_view data, size_t* used);

// Bytes of the response body that may pass on without being looked at: what is left of a
// Content-Length body, kBodyRunsToClose for a body that runs until the server closes, 0 while
// the bytes must be read (head, chunked body, ended response).
constexpr uint64_t kBodyRunsToClose = UINT64_MAX;
uint64_t UnframedBodyLeft(const HttpResponseState& s);

// Counts n bytes (at most UnframedBodyLeft) of the body as passed on unread; the response has
// ended once a Content-Length body has had all its bytes.
void SkipResponseBody(HttpResponseState* s, uint64_t n);

}  // namespace tw
