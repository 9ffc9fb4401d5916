#include "engine/mail/mail_messages.h"

#include <utility>

namespace tw {

LineScan NextLine(std::string_view held, std::string_view* line, size_t* consumed) {
  size_t lf = held.find('\n');
  if (lf == std::string_view::npos || lf >= kMailMaxLine) {
    return held.size() >= kMailMaxLine ? LineScan::kTooLong : LineScan::kNeedMore;
  }
  size_t end = lf;
  if (end > 0 && held[end - 1] == '\r') --end;
  *line = held.substr(0, end);
  *consumed = lf + 1;
  return LineScan::kComplete;
}

MailCommand SplitCommand(std::string_view line) {
  MailCommand c;
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) {
    c.verb = line;
    return c;
  }
  c.verb = line.substr(0, blank);
  std::string_view arg = line.substr(blank + 1);
  while (!arg.empty() && (arg.back() == ' ' || arg.back() == '\t')) arg.remove_suffix(1);
  c.argument = arg;
  return c;
}

TargetParse ParseMailTarget(std::string_view user, uint16_t default_port, MailTarget* out) {
  size_t hash = user.find('#');
  if (hash == std::string_view::npos || hash + 1 == user.size()) return TargetParse::kNoServer;
  if (hash == 0) return TargetParse::kNoAccount;
  // A CR or LF in the account would end the command line we send to the server early.
  for (char c : user) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return TargetParse::kBadCharacter;
  }
  std::string_view account = user.substr(0, hash);
  std::string_view server = user.substr(hash + 1);
  std::string_view host = server;
  uint16_t port = default_port;
  size_t colon = server.rfind(':');
  if (colon != std::string_view::npos && colon > 0) {
    if (!ParsePortText(server.substr(colon + 1), &port)) return TargetParse::kBadPort;
    host = server.substr(0, colon);
  }
  if (account.size() > kMailMaxAccount || host.size() > kMailMaxHost) return TargetParse::kTooLong;
  out->account.assign(account);
  out->server.assign(server);
  out->host.assign(host);
  out->port = port;
  return TargetParse::kOk;
}

bool ParseReplyLine(std::string_view line, ReplyLine* out) {
  if (line.size() < 3) return false;
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return false;
  out->code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  out->last = line.size() == 3 || line[3] == ' ';
  return true;
}

}  // namespace tw
