#include "engine/mail/mail_dialogue.h"

#include <cstring>

#include "engine/core/destination.h"
#include "engine/core/dialogue.h"

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

}  // namespace

void MailSend(IoContext* x, std::string_view text, int32_t next_state, bool to_server) {
  SendCopyThenState(x, to_server ? x->connectSocket : x->socket, kMailSendOffset, text, next_state);
}

void MailReadClient(IoContext* x) {
  ReadMore(x, x->socket, x->held, kMailClientHeld);
}

void MailReadServer(IoContext* x) {
  ReadMore(x, x->connectSocket, RecordOf<MailRecord>(x).kept + x->held, kMailSendOffset);
}

bool NextClientLine(IoContext* x, std::string* line, std::string_view too_long,
                    int32_t closing_state) {
  switch (TakeLine(x, 0, line)) {
    case LineScan::kNeedMore:
      MailReadClient(x);
      return false;
    case LineScan::kTooLong:
      MailSend(x, too_long, closing_state);
      return false;
    case LineScan::kComplete:
      break;
  }
  return true;
}

bool NextServerLine(IoContext* x, std::string* line) {
  switch (TakeLine(x, RecordOf<MailRecord>(x).kept, line)) {
    case LineScan::kNeedMore:
      MailReadServer(x);
      return false;
    case LineScan::kTooLong:
      CloseContext(x);
      return false;
    case LineScan::kComplete:
      break;
  }
  return true;
}

void MailConnect(IoContext* x, const MailTarget& target, int32_t connecting_state) {
  MailRecord& r = RecordOf<MailRecord>(x);
  r.account.Set(target.account);
  // The client bytes still held now wait at the start of the buffer for the server; server
  // bytes gather behind them.
  r.kept = x->held;
  x->held = 0;
  StartDestinationConnect(x, target.host, target.port, connecting_state, ConnectBuffer::kKeep);
}

void MailHandler(IoContext* x, uint64_t key, uint32_t bytes, const MailProtocol& protocol) {
  if (x->state == protocol.relay) {
    RelayRaw(x, key, bytes);
    return;
  }
  if (x->state == protocol.connecting) {
    switch (ContinueConnect(x, bytes)) {
      case ConnectProgress::kPending:
      case ConnectProgress::kClosed:
        return;
      case ConnectProgress::kRefused:
        MailSend(x, protocol.destinationRefused, protocol.closing);
        return;
      case ConnectProgress::kUnresolved:
      case ConnectProgress::kUnreachable:
        MailSend(x, protocol.destinationUnreachable, protocol.closing);
        return;
      case ConnectProgress::kConnected:
        break;
    }
    x->state = protocol.awaitGreeting;
    MailReadServer(x);
    return;
  }
  IoOp op = x->overlapped.op;
  if ((op != IoOp::kSend && op != IoOp::kRead) || bytes == 0) {
    CloseContext(x);
    return;
  }
  if (op == IoOp::kSend) {
    protocol.onSent(x);
    return;
  }
  x->held += bytes;
  protocol.onRead(x);
}

void MailStartRelay(IoContext* x, std::string_view first_line, int32_t relay_state) {
  uint32_t kept = RecordOf<MailRecord>(x).kept;
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
  RecordOf<MailRecord>(x).kept = 0;
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
