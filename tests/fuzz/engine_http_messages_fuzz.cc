// Feeds arbitrary bytes to the HTTP request parsers as a client would send them. Checks the
// promises the handler relies on: the header block lies inside the input, a destination has a
// clean host and a port in range, the rewrite grows the request by one Host line at most and
// never lets a Proxy-Authorization line through in any spelling, the logged request line never
// grows, and Base64 decoding never grows the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/http/http_messages.h"
#include "engine/policy/web_filter_list.h"
#include "platform/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  tw::StartsWithMethod(input);
  size_t header_length = tw::HeaderBlockLength(input);
  if (header_length > input.size()) abort();
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
