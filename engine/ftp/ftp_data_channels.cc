#include "engine/ftp/ftp_data_channels.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "config/activity_log.h"
#include "engine/core/destination.h"
#include "engine/ftp/ftp_proxy.h"
#include "platform/address_text.h"
#include "platform/socket_options.h"
#include "platform/tick.h"

namespace tw {

namespace {

constexpr int kDataBacklog = 5;
// How often the thread looks whether the control connections of its listeners still exist.
constexpr uint64_t kControlCheckMs = 200;

int BoundListener(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  sockaddr_in addr = MakeSockAddr(htonl(INADDR_ANY), port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1 ||
      listen(fd, kDataBacklog) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == -1) return 0;
  return ntohs(addr.sin_port);
}

}  // namespace

int OpenDataListener(const ProxyServer& server, uint16_t preferred, uint16_t* port) {
  if (server.ftp().dataPortRangeOn) {
    int low = std::max(server.ftp().dataPortLow, 1);
    int high = std::min(server.ftp().dataPortHigh, 65535);
    for (int p = low; p <= high; ++p) {
      int fd = BoundListener(static_cast<uint16_t>(p));
      if (fd != -1) {
        *port = static_cast<uint16_t>(p);
        return fd;
      }
    }
    return -1;
  }
  // The announced port mirrors the peer's when it is free; the rewrite announces whichever
  // port was bound, so any other works as well.
  int fd = preferred != 0 ? BoundListener(preferred) : -1;
  if (fd == -1) fd = BoundListener(0);
  if (fd == -1) return -1;
  *port = BoundPort(fd);
  if (*port == 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool AddDataListener(ProxyServer* server, const DataListenerSpec& spec) {
  bool made = true;
  bool added = false;
  FtpDataListeners* listeners = nullptr;
  bool running = server->UseService(
      [&]() -> std::unique_ptr<ProtocolService> {
        auto fresh = std::make_unique<FtpDataListeners>(server, kDataListenerLifetimeMs);
        if (fresh->Running()) return fresh;
        made = false;
        return nullptr;
      },
      [&](ProtocolService& service) {
        listeners = dynamic_cast<FtpDataListeners*>(&service);
        if (listeners != nullptr) added = listeners->Add(spec);
      });
  if (!running || !made || listeners == nullptr) {
    close(spec.fd);
    return false;
  }
  return added;
}

void DataConnectStep(IoContext* x) {
  if (x->overlapped.op != IoOp::kConnect || x->overlapped.error != 0) {
    CloseContext(x);
    return;
  }
  IoContext* d = PairConnected(x, kFtpData, kFtpData);
  if (d == nullptr) return;
  d->downstream = x->downstream == 1 ? 0 : 1;
  RelayReadStep(d);
  RelayReadStep(x);
}

FtpDataListeners::FtpDataListeners(ProxyServer* server, uint32_t lifetimeMs)
    : server_(server), lifetimeMs_(lifetimeMs) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ == -1) return;
  try {
    thread_ = std::thread(&FtpDataListeners::Loop, this);
    // Named from here so the name is there as soon as the constructor returns.
    pthread_setname_np(thread_.native_handle(), "tw-ftpdata");
  } catch (const std::system_error&) {
  }
}

FtpDataListeners::~FtpDataListeners() {
  {
    MutexLock lock(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) {
    uint64_t one = 1;
    ssize_t rc = write(wakeFd_, &one, sizeof one);
    (void)rc;
    thread_.join();
  }
  for (Entry& e : entries_) CloseEntry(e);
  entries_.clear();
  if (wakeFd_ != -1) close(wakeFd_);
}

bool FtpDataListeners::Add(const DataListenerSpec& spec) {
  {
    MutexLock lock(mu_);
    if (stop_) {
      close(spec.fd);
      return false;
    }
    auto replaced = entries_.end();
    size_t ofClient = 0;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->spec.controlSocket == spec.controlSocket) {
        replaced = it;
      } else if (it->spec.clientAddress == spec.clientAddress) {
        ++ofClient;
      }
    }
    if (ofClient >= kDataListenersPerClient) {
      close(spec.fd);
      lock.Unlock();
      server_->PostRefusal(ActivityText{"FTP data listener refused: too many waiting",
                                        AddressText(spec.clientAddress), ""});
      return false;
    }
    if (replaced != entries_.end()) {
      CloseEntry(*replaced);
      entries_.erase(replaced);
    }
    // Listed, so no client can have the proxy connect to it as a destination.
    uint16_t port = BoundPort(spec.fd);
    if (port != 0) server_->ownEndpoints().Add(ListenEndpoint{0, port});
    entries_.push_back(Entry{spec, MonotonicMs() + lifetimeMs_, port});
  }
  uint64_t one = 1;
  ssize_t rc = write(wakeFd_, &one, sizeof one);
  (void)rc;
  return true;
}

void FtpDataListeners::CloseEntry(const Entry& e) {
  close(e.spec.fd);
  if (e.port != 0) server_->ownEndpoints().Remove(ListenEndpoint{0, e.port});
}

size_t FtpDataListeners::Count() {
  MutexLock lock(mu_);
  return entries_.size();
}

bool FtpDataListeners::Expired(const Entry& e, uint64_t now) {
  return now >= e.deadlineMs || server_->completionPort()->Descriptor(e.spec.controlSocket) == -1;
}

bool FtpDataListeners::AcceptFrom(Entry* e) {
  for (;;) {
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    int fd =
        accept4(e->spec.fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd == -1) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
        return false;
      }
      CloseEntry(*e);  // out of descriptors or worse: this listener gives up
      return true;
    }
    if (peer.sin_family != AF_INET || peer.sin_addr.s_addr != e->spec.allowedPeer) {
      close(fd);
      server_->PostRefusal(
          ActivityText{"FTP data connection refused", AddressText(peer.sin_addr.s_addr), ""});
      continue;
    }
    // The one connection this listener was opened for: nobody else may come in after it.
    CloseEntry(*e);
    SetNoDelay(fd);
    SocketHandle s = server_->completionPort()->Associate(fd);
    if (s == kNoSocket) return true;
    IoContext* x = NewClientContext(server_, s);
    if (x == nullptr) {
      server_->completionPort()->Close(s);
      return true;
    }
    x->state = kFtpDataConnecting;
    x->activityOwner.store(e->spec.controlSocket);
    x->downstream = e->spec.fromServer ? 1 : 0;
    x->tallyDown = e->spec.fromServer;  // the server's socket: what it sends goes down
    server_->ShareTally(x, e->spec.controlSocket);
    x->downloadRate = e->spec.downloadRate;
    x->uploadRate = e->spec.uploadRate;
    // Passive: the target is the server, a destination like any other. Active: the target is
    // the client's own data port, which may well be on this machine.
    bool started = e->spec.fromServer
                       ? ConnectAddress(x, e->spec.targetAddress, e->spec.targetPort)
                       : ConnectAllowed(x, e->spec.targetAddress, e->spec.targetPort);
    if (!started) CloseContext(x);
    return true;
  }
}

void FtpDataListeners::Loop() {
  std::vector<pollfd> fds;
  for (;;) {
    int timeout = -1;
    {
      MutexLock lock(mu_);
      if (stop_) return;
      fds.clear();
      fds.push_back(pollfd{wakeFd_, POLLIN, 0});
      uint64_t now = MonotonicMs();
      uint64_t wait = kControlCheckMs;
      for (const Entry& e : entries_) {
        fds.push_back(pollfd{e.spec.fd, POLLIN, 0});
        wait = std::min(wait, e.deadlineMs > now ? e.deadlineMs - now : 0);
      }
      if (!entries_.empty()) timeout = static_cast<int>(wait);
    }
    int rc = poll(fds.data(), fds.size(), timeout);
    if (rc == -1 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      uint64_t drained;
      while (read(wakeFd_, &drained, sizeof drained) > 0) {
      }
    }
    MutexLock lock(mu_);
    if (stop_) return;
    uint64_t now = MonotonicMs();
    for (size_t i = 0; i < entries_.size();) {
      Entry& e = entries_[i];
      bool ready = false;
      for (size_t k = 1; k < fds.size(); ++k) {
        if (fds[k].fd == e.spec.fd && fds[k].revents != 0) ready = true;
      }
      bool done = ready && AcceptFrom(&e);
      if (!done && Expired(e, now)) {
        CloseEntry(e);
        done = true;
      }
      if (done) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
}

}  // namespace tw
