#pragma once
// Per-direction pacing of relayed sends. A context's consecutive sends are kept at least
// (bytes of the later send / rate) seconds apart. The pause is returned, never slept: the relay
// delays the send with a timed post so no worker ever waits.
#include <cstdint>

namespace tw {

// lastSendTick: tick of the previous send of this context (0 = none yet); byteCount: the bytes
// about to be sent; rate: bytes per second (< 1 = unlimited). Returns false when nothing is
// paced (first send, or no limit); true otherwise. *pauseMs receives the pause to keep before
// the send (0 when the rate already allows it).
bool ThrottleSend(uint32_t lastSendTick, int32_t byteCount, int32_t rate, uint32_t* pauseMs);

// The same against a given current tick, for callers that already hold one and for tests.
bool ThrottleSendAt(uint32_t now, uint32_t lastSendTick, int32_t byteCount, int32_t rate,
                    uint32_t* pauseMs);

}  // namespace tw
