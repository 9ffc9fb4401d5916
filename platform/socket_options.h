#pragma once
// Options every relayed TCP socket gets, the checks made on one before it is used again,
// and how a listening socket queues and hands over its clients.
namespace tw {

// Turns off the Nagle delay: the relay forwards each chunk as it arrives, and holding back a
// short last chunk until the peer's (delayed) acknowledgement costs up to 40 ms per exchange.
void SetNoDelay(int fd);

// True when a connected socket kept between uses is still open and quiet: its peer has not
// closed it and no byte waits to be read. Never blocks and takes nothing from the socket.
bool SocketOpenAndQuiet(int fd);

// For a listener whose clients speak first (HTTP, SOCKS): the kernel completes the handshake
// itself and hands a client to accept only once its first bytes (or its end) arrive, or after
// about a second of silence. The accepting worker is then woken once per client, with the request
// waiting, rather than once for the connection and again for its first bytes, and a client
// that connects and says nothing holds no proxy connection meanwhile. Not for listeners that
// greet first: their clients wait for the greeting.
void AcceptOnFirstBytes(int listen_fd);

// The accept queue length a listener asks for: the system's maximum (net.core.somaxconn), so a
// burst of clients is queued rather than left to retransmit its SYN a second later. SOMAXCONN
// when the setting cannot be read or makes no sense. Reads a file: call it before listening,
// never on a worker.
int ListenBacklog();

}  // namespace tw
