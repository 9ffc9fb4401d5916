#include "engine/core/throttle.h"

#include "platform/tick.h"

namespace tw {

bool ThrottleSendAt(uint32_t now, uint32_t lastSendTick, int32_t byteCount, int32_t rate,
                    uint32_t* pauseMs) {
  *pauseMs = 0;
  if (lastSendTick == 0) return false;
  if (rate < 1) return false;
  uint32_t elapsed = now - lastSendTick;  // unsigned: right across the counter's wrap
  double allowed = static_cast<double>(elapsed) * 0.001 * static_cast<double>(rate);
  if (static_cast<double>(byteCount) > allowed) {
    double pause = static_cast<double>(byteCount) / static_cast<double>(rate) * 1000.0 -
                   static_cast<double>(elapsed);
    if (pause > 0) *pauseMs = static_cast<uint32_t>(pause);  // truncated toward zero
  }
  return true;
}

bool ThrottleSend(uint32_t lastSendTick, int32_t byteCount, int32_t rate, uint32_t* pauseMs) {
  return ThrottleSendAt(TickCount(), lastSendTick, byteCount, rate, pauseMs);
}

}  // namespace tw
