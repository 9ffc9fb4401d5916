#include "tests/support/relay_test_handler.h"

#include <cstring>
#include <string_view>

#include "engine/core/destination.h"
#include "engine/core/dialogue.h"
#include "engine/core/proxy_server.h"
#include "platform/mutex.h"

namespace tw::test {

namespace {

Mutex g_last_pair_mu;
RelayTestPair g_last_pair GUARDED_BY(g_last_pair_mu);

void OnRequest(IoContext* x, uint32_t bytes) {
  std::string_view data(x->buffer, bytes);
  size_t nl = data.find('\n');
  size_t colon = data.rfind(':', nl);
  if (nl == std::string_view::npos || colon == std::string_view::npos || colon > nl) {
    CloseContext(x);
    return;
  }
  std::string_view host = data.substr(0, colon);
  unsigned port = 0;
  for (char ch : data.substr(colon + 1, nl - colon - 1)) {
    if (ch == '\r') break;
    if (ch < '0' || ch > '9' || port > 65535) {
      CloseContext(x);
      return;
    }
    port = port * 10 + static_cast<unsigned>(ch - '0');
  }
  if (port == 0 || port > 65535) {
    CloseContext(x);
    return;
  }
  // Keep what followed the line at the start of the buffer; held is its length.
  size_t rest = bytes - (nl + 1);
  std::string hostText(host);
  std::memmove(x->buffer, x->buffer + nl + 1, rest);
  x->held = static_cast<uint32_t>(rest);
  x->state = kConnecting;
  if (!ConnectDestination(x, hostText, static_cast<uint16_t>(port))) CloseContext(x);
}

void OnConnected(IoContext* x) {
  IoContext* d = PairConnected(x, kRelaying, kRelaying);
  if (d == nullptr) return;
  {
    MutexLock lock(g_last_pair_mu);
    g_last_pair = RelayTestPair{x, d};
  }
  uint32_t pending = x->held;
  x->held = 0;
  RelayReadStep(d);
  if (pending > 0) {
    x->wsaBuf.len = pending;
    RelaySendStep(x);
  } else {
    RelayReadStep(x);
  }
}

}  // namespace

void RelayTestHandler(IoContext* x, uint64_t key, uint32_t bytes) {
  switch (x->state) {
    case kAwaitRequest:
      if (x->overlapped.op == IoOp::kSend && bytes > 0) {
        RelayReadStep(x);  // greeting sent
      } else if (x->overlapped.op == IoOp::kRead && bytes > 0) {
        OnRequest(x, bytes);
      } else {
        CloseContext(x);
      }
      return;
    case kConnecting:
      // The test protocol has no failure reply: the client sees the close.
      if (ConnectStep(x, bytes, nullptr, [](IoContext* c, ConnectFailure) { CloseContext(c); })) {
        OnConnected(x);
      }
      return;
    default:
      RelayRaw(x, key, bytes);
  }
}

RelayTestPair LastRelayTestPair() {
  MutexLock lock(g_last_pair_mu);
  return g_last_pair;
}

}  // namespace tw::test
