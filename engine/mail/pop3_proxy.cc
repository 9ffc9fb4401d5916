#include "engine/mail/pop3_proxy.h"

#include <string>

#include "config/activity_log.h"
#include "engine/mail/mail_dialogue.h"
#include "engine/mail/mail_messages.h"

namespace tw {

namespace {

constexpr uint16_t kPop3DefaultPort = 110;

void OnUser(IoContext* x, std::string_view argument) {
  MailTarget target;
  if (ParseMailTarget(argument, kPop3DefaultPort, &target) != TargetParse::kOk) {
    MailSend(x, kPop3UserForm, kPop3Reply);
    return;
  }
  PostActivityText(FormatText("Pop3 %s:%s", target.host.c_str(), ClientAddress(x).c_str()));
  MailConnect(x, target, kPop3Connecting);
}

void OnCommand(IoContext* x, std::string_view line) {
  MailCommand c = SplitCommand(line);
  // A refused client may still leave politely.
  if (EqualsNoCase(c.verb, "QUIT")) {
    MailSend(x, kPop3Bye, kPop3Closing);
    return;
  }
  if (!GuestAdmitted(x)) {
    MailSend(x, kPop3IpNotAllowed, kPop3Reply);
    return;
  }
  if (EqualsNoCase(c.verb, "USER")) {
    OnUser(x, c.argument);
  } else if (EqualsNoCase(c.verb, "CAPA")) {
    MailSend(x, kPop3Capabilities, kPop3Reply);
  } else {
    MailSend(x, kPop3LogInFirst, kPop3Reply);
  }
}

// Handles the next whole client line, or reads on when there is none yet.
void ProcessClient(IoContext* x) {
  std::string line;
  switch (TakeClientLine(x, &line)) {
    case LineScan::kNeedMore:
      MailReadClient(x);
      return;
    case LineScan::kTooLong:
      MailSend(x, kPop3LineTooLong, kPop3Closing);
      return;
    case LineScan::kComplete:
      OnCommand(x, line);
      return;
  }
}

void ProcessServer(IoContext* x) {
  std::string line;
  switch (TakeServerLine(x, &line)) {
    case LineScan::kNeedMore:
      MailReadServer(x);
      return;
    case LineScan::kTooLong:
      CloseContext(x);
      return;
    case LineScan::kComplete:
      break;
  }
  // The greeting itself stays with the proxy: the server's answer to USER answers the
  // client's USER.
  if (StartsWithNoCase(line, "+OK")) {
    MailStartRelay(x, "USER " + std::string(RecordOf<MailRecord>(x).account.c_str()) + "\r\n",
                   kPop3Relay);
  } else {
    MailPassRefusal(x, line, kPop3Closing);
  }
}

void OnSent(IoContext* x, uint32_t bytes) {
  if (bytes == 0 || x->state == kPop3Closing) {
    CloseContext(x);
    return;
  }
  if (x->state != kPop3Reply) {
    CloseContext(x);
    return;
  }
  x->state = kPop3AwaitCommand;
  ProcessClient(x);
}

void OnRead(IoContext* x, uint32_t bytes) {
  if (bytes == 0) {  // end of stream, a failed read, or the dialogue's time is up
    CloseContext(x);
    return;
  }
  x->held += bytes;
  if (x->state == kPop3AwaitCommand) {
    ProcessClient(x);
  } else if (x->state == kPop3AwaitGreeting) {
    ProcessServer(x);
  } else {
    CloseContext(x);
  }
}

}  // namespace

void Pop3Handler(IoContext* x, uint64_t key, uint32_t bytes) {
  if (x->state == kPop3Relay) {
    Relay(x, key, bytes);
    return;
  }
  if (x->state == kPop3Connecting) {
    MailOnConnecting(x, bytes, kPop3AwaitGreeting);
    return;
  }
  switch (x->overlapped.op) {
    case IoOp::kSend:
      OnSent(x, bytes);
      return;
    case IoOp::kRead:
      OnRead(x, bytes);
      return;
    default:
      CloseContext(x);
  }
}

}  // namespace tw
