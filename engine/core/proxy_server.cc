#include "engine/core/proxy_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "engine/core/io_context.h"
#include "platform/socket_options.h"
#include "platform/tick.h"

namespace tw {

namespace {

constexpr char kFtpGreeting[] = "220 welcome to Tarnwick Proxy Server\r\n";
constexpr char kPop3Greeting[] = "+OK welcome to Tarnwick Proxy Server\r\n";
constexpr char kSmtpGreeting[] = "220 welcome to Tarnwick Proxy Server\r\n";
// After an accept fails for lack of descriptors or memory, wait this long before the next one
// instead of spinning on a listener that stays readable.
constexpr int kAcceptBackoffMs = 100;

int WorkersFor(int32_t protocolId) {
  return protocolId == kProtocolHttp ? 10 : 4;
}

const char* GreetingFor(int32_t protocolId) {
  switch (protocolId) {
    case kProtocolFtp:
      return kFtpGreeting;
    case kProtocolPop3:
      return kPop3Greeting;
    case kProtocolSmtp:
      return kSmtpGreeting;
    default:
      return nullptr;
  }
}

bool ResourceExhausted(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

ProxyServer::ProxyServer(int32_t id)
    : protocolId(id),
      workerCount(WorkersFor(id)),
      greeting(GreetingFor(id)),
      handler(HandlerForProtocol(id)) {}

ProxyServer::~ProxyServer() {
  Stop();
}

void WorkerLoop(std::shared_ptr<CompletionPort> port) {
  Completion c;
  while (port->Wait(&c)) {
    if (c.key == 0 || c.overlapped == nullptr) return;  // Stop's wake-up
    IoContext* context = reinterpret_cast<IoContext*>(c.overlapped);
    context->server->handler(context, c.key, c.bytes);
  }
}

bool ProxyServer::Start() {
  if (stopped.load() == 0 || handler == nullptr) return false;
  access.protocolId = protocolId;
  access.authMode = authMode;
  access.downloadRate = downloadRate;
  access.uploadRate = uploadRate;
  access.guestIpRange = guestIpRange;
  access.dataDir = dataDir;
  access.schedules = schedules;
  completionPort = CompletionPort::Create();
  if (!completionPort) return false;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (wakeFd_ == -1 || listenSocket == -1) {
    ReleaseAll();
    return false;
  }
  // Lets a restarted proxy bind while connections of its previous run linger in TIME_WAIT;
  // a port that another listener holds still fails.
  int one = 1;
  setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xffff));
  if (bind(listenSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
      listen(listenSocket, listenBacklog) == -1) {
    ReleaseAll();
    return false;
  }
  socklen_t len = sizeof addr;
  if (getsockname(listenSocket, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  access.port = port;
  try {
    for (int i = 0; i < workerCount; ++i) {
      workers_.emplace_back(WorkerLoop, completionPort);
      pthread_setname_np(workers_.back().native_handle(), "tw-work");
    }
    stopped.store(0);
    acceptThread = std::thread(&ProxyServer::AcceptLoop, this);
    pthread_setname_np(acceptThread.native_handle(), "tw-accept");
  } catch (const std::system_error&) {
    stopped.store(1);
    ReleaseAll();
    return false;
  }
  return true;
}

void ProxyServer::Stop() {
  stopped.store(1);
  if (acceptThread.joinable()) {
    uint64_t one = 1;
    ssize_t rc = write(wakeFd_, &one, sizeof one);
    (void)rc;
    acceptThread.join();
  }
  ReleaseAll();
}

// Ends the workers, closes the port and frees every context still alive. Also the clean-up
// of a failed Start.
void ProxyServer::ReleaseAll() {
  // The protocol's own threads go first: they may still hand new contexts to the workers.
  std::unique_ptr<ProtocolService> ending;
  {
    std::lock_guard<std::mutex> lock(serviceMutex);
    ending = std::move(service);
  }
  ending.reset();
  if (listenSocket != -1) {
    shutdown(listenSocket, SHUT_RDWR);
    close(listenSocket);
    listenSocket = -1;
  }
  if (wakeFd_ != -1) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
  if (completionPort) {
    for (size_t i = 0; i < workers_.size(); ++i) completionPort->PostEmpty();
  }
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  if (!completionPort) return;
  completionPort->CloseQueue();
  // No worker runs any more: what is left in the list belongs to nobody else.
  IoContext* left;
  {
    std::lock_guard<std::mutex> lock(liveMutex);
    left = liveHead;
    liveHead = nullptr;
    liveCount = 0;
  }
  while (left != nullptr) {
    IoContext* next = left->liveNext;
    DiscardContext(left);
    left = next;
  }
  completionPort.reset();
}

size_t ProxyServer::LiveContexts() {
  std::lock_guard<std::mutex> lock(liveMutex);
  return liveCount;
}

void ProxyServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenSocket, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int rc = poll(fds, 2, -1);
    if (stopped.load() != 0) return;
    if (rc == -1) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd == -1) {
      if (ResourceExhausted(errno)) {
        pollfd wake = {wakeFd_, POLLIN, 0};
        poll(&wake, 1, kAcceptBackoffMs);
      }
      continue;
    }
    if (stopped.load() != 0) {
      close(fd);
      return;
    }
    AcceptClient(fd);
  }
}

void ProxyServer::AcceptClient(int fd) {
  SetNoDelay(fd);
  SocketHandle s = completionPort->Associate(fd);
  if (s == kNoSocket) return;
  IoContext* x = NewClientContext(this, s);
  if (x == nullptr) {
    completionPort->Close(s);
    return;
  }
  if (dialogueTimeoutMs != 0) x->deadlineMs = MonotonicMs() + dialogueTimeoutMs;
  bool posted;
  if (greeting != nullptr) {
    uint32_t n = static_cast<uint32_t>(std::strlen(greeting));
    std::memcpy(x->buffer, greeting, n);
    x->wsaBuf.len = n;
    posted = completionPort->PostSend(s, &x->overlapped, x->buffer, n);
  } else {
    posted =
        completionPort->PostRead(s, &x->overlapped, x->buffer, kIoBufferSize, dialogueTimeoutMs);
  }
  if (!posted) CloseContext(x);
}

}  // namespace tw
