// Feeds arbitrary bytes to the HTTP request parsers as a client would send them. Checks the
// promises the handler relies on: the header block lies inside the input, a destination has a
// clean host and a port in range, the rewrite grows the request by one Host line at most and
// never lets a Proxy-Authorization line through in any spelling, the logged request line never
// grows, and Base64 decoding never grows the text. The same bytes go through the strict head
// scanner (its head lies inside the input and is read the same in any cut), and through the
// body and response framing, whole and in pieces: the bytes taken never exceed those given,
// and cutting the input never changes where a message ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/http/http_body_framing.h"
#include "engine/http/http_messages.h"
#include "engine/http/http_request_head.h"
#include "engine/http/http_response_framing.h"
#include "engine/policy/web_filter_list.h"
#include "platform/base64.h"

namespace {

// The strict head: scanning whole and line by line (as reads of one byte) agree.
size_t CheckHeadScan(std::string_view input) {
  uint32_t checked = 0;
  tw::HeadScan whole = tw::ScanRequestHead(input, &checked);
  if (checked > input.size()) abort();
  uint32_t stepped_checked = 0;
  tw::HeadScan stepped = tw::HeadScan::kIncomplete;
  for (size_t end = 1; end <= input.size() && stepped == tw::HeadScan::kIncomplete; ++end) {
    stepped = tw::ScanRequestHead(input.substr(0, end), &stepped_checked);
  }
  if (!input.empty() && stepped != whole) abort();
  if (whole != tw::HeadScan::kComplete) return 0;
  if (stepped_checked != checked) abort();
  tw::RequestHead head;
  if (tw::ReadRequestHead(input.substr(0, checked), &head)) {
    // The text passed on ends lines in CRLF only, and the scanner takes it as it is.
    uint32_t again = 0;
    if (tw::ScanRequestHead(head.text, &again) != tw::HeadScan::kComplete) abort();
    if (again != head.text.size()) abort();
  }
  return checked;
}

// Takes data in pieces of `step` bytes: how much was taken and the last progress.
template <class State, class Progress, class Take>
Progress Feed(State* s, std::string_view data, size_t step, size_t* taken, Take take) {
  *taken = 0;
  Progress p{};
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min(step, data.size() - at);
    size_t used = 0;
    p = take(s, data.substr(at, n), &used);
    if (used > n) abort();
    *taken += used;
    if (p != Progress{} || used < n) return p;
    at += n;
  }
  return p;
}

void CheckFraming(std::string_view input) {
  size_t step = input.empty() ? 1 : static_cast<unsigned char>(input[0]) % 16 + 1;
  for (tw::HttpBodyKind kind : {tw::kBodyLength, tw::kBodyChunked}) {
    tw::HttpBodyState whole, cut;
    tw::StartBody(&whole, kind, input.size() / 2);
    tw::StartBody(&cut, kind, input.size() / 2);
    size_t a = 0, b = 0;
    tw::BodyProgress pa =
        Feed<tw::HttpBodyState, tw::BodyProgress>(&whole, input, input.size(), &a, tw::TakeBody);
    tw::BodyProgress pb =
        Feed<tw::HttpBodyState, tw::BodyProgress>(&cut, input, step, &b, tw::TakeBody);
    if (pa != pb || (pa != tw::BodyProgress::kBad && a != b)) abort();
  }
  for (bool head_request : {false, true}) {
    tw::HttpResponseState whole, cut;
    tw::StartResponse(&whole, head_request);
    tw::StartResponse(&cut, head_request);
    size_t a = 0, b = 0;
    tw::ResponseProgress pa = Feed<tw::HttpResponseState, tw::ResponseProgress>(
        &whole, input, input.size(), &a, tw::TakeResponse);
    tw::ResponseProgress pb =
        Feed<tw::HttpResponseState, tw::ResponseProgress>(&cut, input, step, &b, tw::TakeResponse);
    if (pa != pb || (pa != tw::ResponseProgress::kBad && a != b)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.size() > 4096) return 0;  // the one-byte steps are quadratic
  size_t header_length = CheckHeadScan(input);
  CheckFraming(input);
  std::string_view header = header_length > 0 ? input.substr(0, header_length) : input;

  std::string_view line = tw::RequestLine(header);
  if (line.size() > header.size()) abort();
  std::string_view value;
  if (tw::FindHeader(header, "Host", &value) && value.size() > header.size()) abort();

  tw::HttpDestination destination;
  if (tw::ParseDestination(header, &destination)) {
    if (destination.host.empty() || destination.port == 0) abort();
    for (char c : destination.host) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
      if (!ok) abort();
    }
  }
  std::string user, password;
  tw::ParseBasicCredentials(header, &user, &password);
  std::string decoded;
  if (tw::Base64Decode(input, &decoded) && decoded.size() > input.size()) abort();

  std::string rewritten = tw::RewriteRequestHeader(header, destination);
  if (rewritten.size() > header.size() + 8 + destination.authority.size()) abort();
  std::string_view no_password;
  if (tw::FindHeader(rewritten, "Proxy-Authorization", &no_password)) abort();
  if (tw::LoggedRequestLine(line).size() > line.size()) abort();

  std::string url = tw::FilterUrlText(line, destination);
  tw::WebFilter filter;
  filter.type = 2;
  filter.patterns = std::string(input.substr(0, input.size() < 64 ? input.size() : 64));
  tw::WebFilterBlocks(filter, url);
  return 0;
}
