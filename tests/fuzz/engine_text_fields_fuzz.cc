// Feeds arbitrary bytes to the small parsers of texts that come from the network or from files
// others may write: the ftp:// gateway's request line, FTP replies and the directory page made
// from a server's listing, the address-echo server's answer, address texts and address rules,
// schedule day texts and wildcard patterns. The first byte picks the parser; the rest is its
// text (two texts are split at the first zero byte). Checks what callers rely on besides "no
// crash": addresses round-trip, decoded fields stay free of line ends, and a listing page holds
// no markup but its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/ftp/ftp_public_address.h"
#include "engine/http/ftp_gateway.h"
#include "engine/http/ftp_listing_page.h"
#include "engine/policy/address_rules.h"
#include "engine/policy/schedule_list.h"
#include "platform/address_text.h"
#include "platform/ascii_text.h"
#include "platform/wildcard.h"

namespace {

// Splits at the first zero byte (the second part empty when there is none).
void Split(std::string_view in, std::string_view* a, std::string_view* b) {
  size_t zero = in.find('\0');
  *a = in.substr(0, zero);
  *b = zero == std::string_view::npos ? std::string_view() : in.substr(zero + 1);
}

bool HasLineEndOrZero(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void GatewayRequest(std::string_view in) {
  tw::FtpRequest request;
  if (tw::ParseFtpRequest(in, &request)) {
    for (const std::string* field : {&request.user, &request.password, &request.path}) {
      if (field->size() > tw::kFtpMaxField || HasLineEndOrZero(*field)) abort();
    }
  }
  std::string decoded;
  if (tw::PercentDecode(in, &decoded) && decoded.size() > in.size()) abort();
  uint16_t port = 0;
  if (tw::ParseGatewayPassivePort(in, &port) && port == 0) abort();
  if (tw::ParseSizeReply(in) < 0) abort();
}

// Every "<" of the page starts one of the page's own tags, and a link is one unquoted token.
void ListingPage(std::string_view in) {
  std::string_view listing, path;
  Split(in, &listing, &path);
  std::string page = tw::ListingToHtml(listing, path);
  static constexpr std::string_view kTags[] = {
      "<html>", "</html>", "<head>", "</head>", "<body>",     "</body>",   "<h2>",
      "</h2>",  "<hr>",    "<pre>",  "</pre>",  "<BR>",       "<b>",       "</b>",
      "</a>",   "</A>",    "<A HREF=\"../\">",  "<base href=\"", "<a href="};
  for (size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1)) {
    std::string_view rest = std::string_view(page).substr(at);
    bool known = false;
    for (std::string_view tag : kTags) known = known || rest.substr(0, tag.size()) == tag;
    if (!known) abort();
    if (rest.substr(0, 12) == "<base href=\"") {  // the quoted base holds no quote or markup
      std::string_view base = rest.substr(12, rest.find("\">") - 12);
      if (base.find_first_of("\"'<>") != std::string_view::npos) abort();
    }
    if (rest.substr(0, 8) == "<a href=") {
      std::string_view link = rest.substr(8, rest.find('>') - 8);
      if (link.find_first_of("\"' <") != std::string_view::npos) abort();
    }
  }
}

void EchoServer(std::string_view in) {
  std::string host;
  uint16_t port = 0;
  if (tw::ParseEchoServer(in, &host, &port) && (host.empty() || port == 0)) abort();
  std::string address = tw::AddressFromEchoResponse(in);
  uint32_t parsed = 0;
  if (!address.empty() && !tw::ParseIPv4(address, &parsed)) abort();
}

void Addresses(std::string_view in) {
  uint32_t address = 0;
  uint32_t again = 0;
  if (tw::ParseIPv4(in, &address) &&
      (!tw::ParseIPv4(tw::AddressText(address), &again) || again != address)) {
    abort();
  }
  uint32_t host_order = 0;
  tw::ParseDottedAddress(in, &host_order);
  std::string_view rule, client;
  Split(in, &rule, &client);
  tw::AddressRulePasses(rule, client);
  std::string_view low = rule.substr(0, rule.find('-'));
  tw::IpInRange(low, rule.substr(low.size() < rule.size() ? low.size() + 1 : rule.size()),
                client);
  uint16_t port = 0;
  if (tw::ParsePortText(in, &port) && port == 0) abort();
}

void Schedule(std::string_view in) {
  if (in.size() < 2) return;
  tw::LocalTime now;
  now.hour = static_cast<unsigned char>(in[0]) % 24;
  now.minute = static_cast<unsigned char>(in[1]) % 60;
  tw::DayTextAllows(in.substr(2), now);
}

void Wildcard(std::string_view in) {
  std::string_view pattern, text;
  Split(in, &pattern, &text);
  if (tw::WildcardMatch(pattern, text) != tw::WildcardMatch(pattern, text)) abort();
  if (pattern.find_first_of("*?") == std::string_view::npos &&
      tw::WildcardMatch(pattern, pattern) != true) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: GatewayRequest(in); break;
    case 1: ListingPage(in); break;
    case 2: EchoServer(in); break;
    case 3: Addresses(in); break;
    case 4: Schedule(in); break;
    case 5: Wildcard(in); break;
  }
  return 0;
}
