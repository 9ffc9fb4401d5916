#include "engine/mail/pop3_proxy.h"

#include <string>

#include "config/activity_log.h"
#include "engine/core/proxy_server.h"
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
  // In parts: the host comes from the client's user name and may hold anything.
  x->server->activity().Post(ActivityText{"Pop3 " + target.host, ClientAddress(x), ""});
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
  if (NextClientLine(x, &line, kPop3LineTooLong, kPop3Closing)) OnCommand(x, line);
}

void ProcessServer(IoContext* x) {
  std::string line;
  if (!NextServerLine(x, &line)) return;
  // The greeting itself stays with the proxy: the server's answer to USER answers the
  // client's USER.
  if (StartsWithNoCase(line, "+OK")) {
    MailStartRelay(x, "USER " + std::string(RecordOf<MailRecord>(x).account.c_str()) + "\r\n",
                   kPop3Relay);
  } else {
    MailPassRefusal(x, line, kPop3Closing);
  }
}

void OnSent(IoContext* x) {
  if (x->state != kPop3Reply) {  // kPop3Closing, or no send of ours
    CloseContext(x);
    return;
  }
  x->state = kPop3AwaitCommand;
  ProcessClient(x);
}

void OnRead(IoContext* x) {
  if (x->state == kPop3AwaitCommand) {
    ProcessClient(x);
  } else if (x->state == kPop3AwaitGreeting) {
    ProcessServer(x);
  } else {
    CloseContext(x);
  }
}

constexpr MailProtocol kPop3 = {
    kPop3Connecting,         kPop3AwaitGreeting,          kPop3Relay,  &OnSent, &OnRead,
    kPop3DestinationRefused, kPop3DestinationUnreachable, kPop3Closing};

}  // namespace

void Pop3Handler(IoContext* x, uint64_t key, uint32_t bytes) {
  MailHandler(x, key, bytes, kPop3);
}

}  // namespace tw
