#include "engine/mail/mail_dialogue.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "engine/core/destination.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "engine/policy/authorization.h"
#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

// Copies the first line of the region [start, start + *held) out and removes it.
LineScan TakeLine(IoContext* x, uint32_t start, std::string* line) {
  std::string_view region(x->buffer + start, x->held);
  std::string_view found;
  size_t consumed = 0;
  LineScan r = NextLine(region, &found, &consumed);
  if (r != LineScan::kComplete) return r;
  line->assign(found);
  std::memmove(x->buffer + start, x->buffer + start + consumed, x->held - consumed);
  x->held -= static_cast<uint32_t>(consumed);
  return r;
}

void KeepText(char* field, size_t size, std::string_view text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

void MailSend(IoContext* x, std::string_view text, int32_t next_state, bool to_server) {
  SendCopyThenState(x, to_server ? x->connectSocket : x->socket, kMailSendOffset, text, next_state);
}

void MailReadClient(IoContext* x) {
  ReadMore(x, x->socket, x->held, kMailClientHeld);
}

void MailReadServer(IoContext* x) {
  ReadMore(x, x->connectSocket, static_cast<uint32_t>(x->aux) + x->held, kMailSendOffset);
}

LineScan TakeClientLine(IoContext* x, std::string* line) {
  return TakeLine(x, 0, line);
}

LineScan TakeServerLine(IoContext* x, std::string* line) {
  return TakeLine(x, static_cast<uint32_t>(x->aux), line);
}

void MailConnect(IoContext* x, const MailTarget& target, int32_t connecting_state) {
  KeepText(x->text, sizeof x->text, target.account);
  KeepText(x->host, sizeof x->host, target.host);
  // The client bytes still held now wait at the start of the buffer for the server; server
  // bytes gather behind them.
  x->aux = x->held;
  x->held = 0;
  x->state = connecting_state;
  if (!ConnectDestination(x, target.host, target.port)) CloseContext(x);
}

void MailOnConnecting(IoContext* x, uint32_t bytes, int32_t server_state) {
  if (!ConnectStep(x, bytes)) return;
  x->state = server_state;
  MailReadServer(x);
}

void MailStartRelay(IoContext* x, std::string_view first_line, int32_t relay_state) {
  uint32_t kept = static_cast<uint32_t>(x->aux);
  size_t total = first_line.size() + kept;
  if (total > kIoBufferSize) {
    CloseContext(x);
    return;
  }
  std::memmove(x->buffer + first_line.size(), x->buffer, kept);
  std::memcpy(x->buffer, first_line.data(), first_line.size());
  IoContext* d = PairConnected(x, relay_state, relay_state);
  if (d == nullptr) return;
  x->deadlineMs = 0;
  x->held = 0;
  x->aux = 0;
  // The server answers only once it has the line, so its reads may start first.
  RelayReadStep(d);
  x->wsaBuf.len = static_cast<uint32_t>(total);
  RelaySendStep(x);
}

void MailPassRefusal(IoContext* x, std::string_view line, int32_t closing_state) {
  std::string reply(line.substr(0, kMailMaxLine));
  reply += "\r\n";
  MailSend(x, reply, closing_state);
}

}  // namespace tw
