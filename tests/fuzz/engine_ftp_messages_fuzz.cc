// Feeds arbitrary bytes to the FTP control-line parsers, from either side. Checks what the
// proxy relies on: a line end lies inside the input, destinations and ports are in range, and
// a parsed PASV reply or PORT command formats back to a line that parses to the same address.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/ftp/ftp_messages.h"
#include "platform/address_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t end = tw::FtpLineEnd(input.data(), input.size());
  if (end > input.size()) abort();

  tw::FtpCommand command = tw::ParseFtpCommand(input);
  if (command.verb.size() + command.argument.size() > input.size()) abort();
  std::string user, destination, host;
  if (tw::SplitUserAtHost(input, &user, &destination) &&
      user.size() + destination.size() >= input.size() + 1) {
    abort();
  }
  uint16_t port = 0;
  if (tw::ParseFtpDestination(input, &host, &port) == tw::FtpDestinationParse::kOk &&
      (host.empty() || port == 0)) {
    abort();
  }

  uint32_t address = 0;
  if (tw::ParsePassiveReply(input, &address, &port)) {
    std::string again = tw::FormatPassiveReply(tw::AddressText(address), port);
    uint32_t a2 = 0;
    uint16_t p2 = 0;
    if (!tw::ParsePassiveReply(again, &a2, &p2) || a2 != address || p2 != port) abort();
  }
  if (tw::ParsePortCommand(input, &address, &port)) {
    std::string again = tw::FormatPortCommand(tw::AddressText(address), port);
    uint32_t a2 = 0;
    uint16_t p2 = 0;
    if (!tw::ParsePortCommand(again, &a2, &p2) || a2 != address || p2 != port) abort();
  }
  for (bool from_server : {false, true}) {
    tw::ClassifyFtpLine(input, from_server);
    tw::FtpLineMayNeedRewrite(input, from_server);
  }
  std::string echoed;
  uint32_t parsed;
  if (tw::ParseEchoedAddress(input, &echoed) && !tw::ParseIPv4(echoed, &parsed)) abort();
  return 0;
}
