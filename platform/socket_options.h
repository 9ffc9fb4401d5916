#pragma once
// Options every relayed TCP socket gets, and the checks made on one before it is used again.
namespace tw {

// Turns off the Nagle delay: the relay forwards each chunk as it arrives, and holding back a
// short last chunk until the peer's (delayed) acknowledgement costs up to 40 ms per exchange.
void SetNoDelay(int fd);

// True when a connected socket kept between uses is still open and quiet: its peer has not
// closed it and no byte waits to be read. Never blocks and takes nothing from the socket.
bool SocketOpenAndQuiet(int fd);

}  // namespace tw
