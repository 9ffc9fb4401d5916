#include "engine/mail/smtp_proxy.h"

#include <string>

#include "config/activity_log.h"
#include "engine/core/proxy_server.h"
#include "engine/mail/mail_dialogue.h"
#include "engine/mail/mail_messages.h"

namespace tw {

namespace {

constexpr uint16_t kSmtpDefaultPort = 25;

bool IsHello(std::string_view line) {
  return StartsWithNoCase(line, "EHLO") || StartsWithNoCase(line, "HELO");
}

// The Base64 user name, from its own line or from AUTH LOGIN's initial response. Refusals
// send the client back to choosing AUTH.
void OnUserName(IoContext* x, std::string_view encoded) {
  if (encoded == "*") {
    MailSend(x, kSmtpCancelled, kSmtpAuthReply);
    return;
  }
  std::string user;
  // "=" is an empty initial response (RFC 4954).
  if (encoded != "=" && !Base64Decode(encoded, &user)) {
    MailSend(x, kSmtpNotBase64, kSmtpAuthReply);
    return;
  }
  if (user.empty()) {
    MailSend(x, kSmtpUserForm, kSmtpAuthReply);
    return;
  }
  MailTarget target;
  TargetParse parsed = ParseMailTarget(user, kSmtpDefaultPort, &target);
  if (parsed == TargetParse::kOk || parsed == TargetParse::kNoServer) {
    // The attempt is logged even without a server, so the log shows who tried what.
    // In parts: the server comes from the client's user name and may hold anything.
    x->server->activity().Post(
        ActivityText{"SMTP " + (parsed == TargetParse::kOk ? target.server : std::string()),
                     ClientAddress(x), ""});
  }
  if (parsed != TargetParse::kOk) {
    MailSend(x, kSmtpUserForm, kSmtpAuthReply);
    return;
  }
  MailConnect(x, target, kSmtpConnecting);
}

void OnAuth(IoContext* x, std::string_view argument) {
  MailCommand mechanism = SplitCommand(argument);
  if (!EqualsNoCase(mechanism.verb, "LOGIN")) {
    MailSend(x, kSmtpUnknownMechanism, kSmtpAuthReply);
    return;
  }
  if (!mechanism.argument.empty()) {
    OnUserName(x, mechanism.argument);
    return;
  }
  MailSend(x, kSmtpUserPrompt, kSmtpPromptSent);
}

// A command before the user name; `reply_state` leads back to the state the client is in.
void OnCommand(IoContext* x, std::string_view line, int32_t reply_state) {
  MailCommand c = SplitCommand(line);
  if (IsHello(line)) {
    MailSend(x, kSmtpAuthOffer, kSmtpAuthReply);
  } else if (EqualsNoCase(c.verb, "AUTH")) {
    OnAuth(x, c.argument);
  } else if (EqualsNoCase(c.verb, "RSET") || EqualsNoCase(c.verb, "NOOP")) {
    MailSend(x, kSmtpOk, reply_state);
  } else if (EqualsNoCase(c.verb, "QUIT")) {
    MailSend(x, kSmtpBye, kSmtpClosing);
  } else {
    MailSend(x, kSmtpAuthFirst, reply_state);
  }
}

void OnClientLine(IoContext* x, std::string_view line) {
  switch (x->state) {
    case kSmtpAwaitHello:
      // A refused client may still leave politely.
      if (!EqualsNoCase(SplitCommand(line).verb, "QUIT") && !GuestAdmitted(x)) {
        MailSend(x, kSmtpIpNotAllowed, kSmtpReply);
        return;
      }
      OnCommand(x, line, kSmtpReply);
      return;
    case kSmtpAwaitAuth:
      OnCommand(x, line, kSmtpAuthReply);
      return;
    case kSmtpAwaitUser:
      OnUserName(x, line);
      return;
    default:
      CloseContext(x);
  }
}

void ProcessClient(IoContext* x) {
  std::string line;
  if (NextClientLine(x, &line, kSmtpLineTooLong, kSmtpClosing)) OnClientLine(x, line);
}

// The last line of a server reply: what the proxy expected, or a refusal for the client.
void OnServerReply(IoContext* x, const ReplyLine& reply, std::string_view line) {
  if (x->state == kSmtpAwaitGreeting && reply.code == 220) {
    MailSend(x, kSmtpEhlo, kSmtpEhloSent, /*to_server=*/true);
  } else if (x->state == kSmtpAwaitEhlo && reply.code == 250) {
    MailSend(x, kSmtpAuthLogin, kSmtpAuthSent, /*to_server=*/true);
  } else if (x->state == kSmtpAwaitPrompt && reply.code == 334) {
    MailStartRelay(x, Base64Encode(RecordOf<MailRecord>(x).account.c_str()) + "\r\n", kSmtpRelay);
  } else {
    MailPassRefusal(x, line, kSmtpClosing);
  }
}

// Reads the server's reply line by line up to its last line.
void ProcessServer(IoContext* x) {
  for (;;) {
    std::string line;
    if (!NextServerLine(x, &line)) return;
    ReplyLine reply;
    if (!ParseReplyLine(line, &reply)) {
      CloseContext(x);  // not speaking SMTP
      return;
    }
    if (reply.last) {
      OnServerReply(x, reply, line);
      return;
    }
  }
}

void OnSent(IoContext* x) {
  switch (x->state) {
    case kSmtpReply:
      x->state = kSmtpAwaitHello;
      ProcessClient(x);
      return;
    case kSmtpAuthReply:
      x->state = kSmtpAwaitAuth;
      ProcessClient(x);
      return;
    case kSmtpPromptSent:
      x->state = kSmtpAwaitUser;
      ProcessClient(x);
      return;
    case kSmtpEhloSent:
      x->state = kSmtpAwaitEhlo;
      ProcessServer(x);
      return;
    case kSmtpAuthSent:
      x->state = kSmtpAwaitPrompt;
      ProcessServer(x);
      return;
    default:  // kSmtpClosing
      CloseContext(x);
  }
}

void OnRead(IoContext* x) {
  switch (x->state) {
    case kSmtpAwaitHello:
    case kSmtpAwaitAuth:
    case kSmtpAwaitUser:
      ProcessClient(x);
      return;
    case kSmtpAwaitGreeting:
    case kSmtpAwaitEhlo:
    case kSmtpAwaitPrompt:
      ProcessServer(x);
      return;
    default:
      CloseContext(x);
  }
}

constexpr MailProtocol kSmtp = {
    kSmtpConnecting,         kSmtpAwaitGreeting,          kSmtpRelay,  &OnSent, &OnRead,
    kSmtpDestinationRefused, kSmtpDestinationUnreachable, kSmtpClosing};

}  // namespace

void SmtpHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  MailHandler(x, key, bytes, kSmtp);
}

}  // namespace tw
