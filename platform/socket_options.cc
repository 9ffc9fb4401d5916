#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

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

}  // namespace tw
