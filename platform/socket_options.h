#pragma once
// Options every relayed TCP socket gets.
namespace tw {

// Turns off the Nagle delay: the relay forwards each chunk as it arrives, and holding back a
// short last chunk until the peer's (delayed) acknowledgement costs up to 40 ms per exchange.
void SetNoDelay(int fd);

}  // namespace tw
