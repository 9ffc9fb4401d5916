#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace tw {

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // not TCP: nothing to do
}

bool SocketOpenAndQuiet(int fd) {
  char c;
  if (fd == -1 || recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) != -1) return false;
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

void AcceptOnFirstBytes(int listen_fd) {
  // The kernel counts the wait in handshake retransmissions; one second is the shortest, so a
  // silent client is still accepted (and falls to the dialogue's own time limit) soon after.
  int seconds = 1;
  setsockopt(listen_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

int ListenBacklog() {
  long value = 0;
  if (FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
    if (std::fscanf(f, "%ld", &value) != 1) value = 0;
    std::fclose(f);
  }
  // The kernel caps the backlog at somaxconn itself; a larger value here costs nothing.
  if (value <= 0 || value > INT_MAX) return SOMAXCONN;
  return static_cast<int>(value);
}

}  // namespace tw
