// Feeds arbitrary bytes to the mail dialogue parsers: line framing, the account#server[:port]
// user name, SMTP reply lines and Base64. Checks the promises the handlers rely on: a line and
// what it consumes stay inside the input, accepted names fit the fields they are copied to,
// and Base64 decoding undoes encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/mail/mail_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string_view line;
  size_t consumed = 0;
  if (tw::NextLine(input, &line, &consumed) == tw::LineScan::kComplete) {
    if (consumed > input.size() || consumed > tw::kMailMaxLine || line.size() >= consumed) abort();
  }
  tw::MailCommand command = tw::SplitCommand(input);
  if (command.verb.size() + command.argument.size() > input.size()) abort();

  tw::MailTarget target;
  if (tw::ParseMailTarget(input, 25, &target) == tw::TargetParse::kOk) {
    if (target.account.empty() || target.host.empty() || target.port == 0) abort();
    if (target.account.size() > tw::kMailMaxAccount || target.host.size() > tw::kMailMaxHost)
      abort();
  }

  tw::ReplyLine reply;
  if (tw::ParseReplyLine(input, &reply) && (reply.code < 0 || reply.code > 999)) abort();

  std::string decoded;
  if (tw::Base64Decode(input, &decoded) && decoded.size() > input.size()) abort();
  std::string round;
  if (!tw::Base64Decode(tw::Base64Encode(input), &round) || round != input) abort();
  return 0;
}
