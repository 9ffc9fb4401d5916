#include "platform/completion_port.h"

#include <errno.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "platform/tick.h"

namespace tw {

namespace {

constexpr size_t kChunkSlots = 1024;
constexpr size_t kMaxDescriptors = size_t{1} << 24;
// Events one epoll_wait takes. A full batch means more are waiting: the poller then wakes an
// idle worker to poll beside it.
constexpr int kEpollBatch = 32;
// How long the poller may stay out of epoll (busy in handlers) before an idle worker polls
// beside it.
constexpr int kStallMs = 100;
// epoll data of the two descriptors that are not sockets (handles are never below 2^32).
constexpr uint64_t kWakeEvent = 0;
constexpr uint64_t kTimerEvent = 1;
// Completions a worker keeps for itself, and how many it handles in a row before it looks at
// the shared queue again (so one busy connection cannot starve the others).
constexpr size_t kLocalCapacity = 64;
constexpr int kLocalBudget = 32;
// A busy connection (a bulk relay whose sockets stay ready) never needs epoll itself, so the
// worker serving it would not look there again. Once a worker has gone kBusyUs without waiting
// in epoll, it takes in what has arrived every kPollEveryUs without waiting, and hands it to an
// idle worker. (Shorter stretches are left alone: polling there only splits the batches that
// one epoll_wait would take.)
constexpr uint64_t kBusyUs = 4000;
constexpr uint64_t kPollEveryUs = 1000;

int HandleFd(SocketHandle s) {
  return static_cast<int>(static_cast<uint64_t>(s) & 0xffffffffu);
}
uint32_t HandleGeneration(SocketHandle s) {
  return static_cast<uint32_t>(static_cast<uint64_t>(s) >> 32);
}

struct LocalQueue {
  uint64_t serial = 0;
  Completion ring[kLocalCapacity];
  size_t head = 0;
  size_t count = 0;
  int budget = kLocalBudget;
  bool running = false;  // one of the port's `concurrency_` takers
  uint64_t polled_us = 0;  // when this worker last looked at epoll
  uint64_t busy_since_us = 0;  // when it last started on work with none of its own left

  void Reset(uint64_t s) {
    serial = s;
    head = 0;
    count = 0;
    budget = kLocalBudget;
    running = false;
  }
  bool Push(const Completion& c) {
    if (count == kLocalCapacity) return false;
    ring[(head + count) % kLocalCapacity] = c;
    ++count;
    return true;
  }
  Completion Pop() {
    Completion c = ring[head];
    head = (head + 1) % kLocalCapacity;
    --count;
    return c;
  }
};

thread_local LocalQueue tls_local;

void Apply(const Completion& c, Completion* out) {
  *out = c;
  if (c.overlapped != nullptr) {
    c.overlapped->op = c.op;
    c.overlapped->error = c.error;
  }
}

}  // namespace

std::atomic<uint64_t> CompletionPort::next_serial_{0};

struct CompletionPort::Slot {
  Mutex mu;
  uint32_t generation GUARDED_BY(mu) = 0;
  bool open GUARDED_BY(mu) = false;
  Overlapped* read_ov GUARDED_BY(mu) = nullptr;
  char* read_buf GUARDED_BY(mu) = nullptr;
  uint32_t read_len GUARDED_BY(mu) = 0;
  Overlapped* send_ov GUARDED_BY(mu) = nullptr;
  const char* send_buf GUARDED_BY(mu) = nullptr;
  uint32_t send_len GUARDED_BY(mu) = 0;
  uint32_t send_done GUARDED_BY(mu) = 0;
  struct QueuedSend {
    Overlapped* ov;
    const char* buf;
    uint32_t len;
  };
  // Behind send_ov; never used while send_ov is null.
  std::vector<QueuedSend> queued_sends GUARDED_BY(mu);
  // The time limits armed for the pending read and connect (0: none), cleared when the
  // operation ends. Written under mu; read without it when the port drops the timers of
  // operations that have ended.
  std::atomic<uint64_t> read_seq{0};
  bool read_wait GUARDED_BY(mu) = false;  // read_ov is a PostReadable, not a read
  // Edge-triggered readiness as last seen: set by an event, cleared when a move found the
  // socket empty (or full). A wait posted while it is set completes at once.
  bool read_ready GUARDED_BY(mu) = false;
  bool write_ready GUARDED_BY(mu) = false;
  // The peer's end of stream, a hang-up or an error has been seen: from then on a short read
  // no longer means the socket is drained (TCP stops a read short at the end of stream, and
  // its edge has already been raised).
  bool hup_seen GUARDED_BY(mu) = false;
  // The peer's end of stream was seen with no error. TCP reports it only once every byte
  // before it has arrived, so after that a short read has taken the last byte and the socket
  // holds only the end.
  bool fin_seen GUARDED_BY(mu) = false;
  // Reads end at once with 0 bytes, without a call: the end was reached (see fin_seen) or
  // Shutdown was called. read_ready stays set from then on.
  bool at_end GUARDED_BY(mu) = false;
  // Shutdown was called: every send ends with EPIPE and every accept with EINVAL, whether or
  // not the kernel's socket was shut down too.
  bool cut GUARDED_BY(mu) = false;
  Overlapped* writable_ov GUARDED_BY(mu) = nullptr;
  Overlapped* connect_ov GUARDED_BY(mu) = nullptr;
  std::atomic<uint64_t> connect_seq{0};

  // False for a stale handle: the socket it named was closed (the number may be reused).
  bool Holds(SocketHandle s) const REQUIRES(mu) {
    return open && generation == HandleGeneration(s);
  }
  // After a recv of n bytes out of len: a short read of a stream socket took everything there
  // was, so the next read waits for the next edge instead of trying the socket first (which
  // would cost a call that finds nothing).
  void NoteReceived(ssize_t n, uint32_t len) REQUIRES(mu) {
    if (n <= 0 || static_cast<uint64_t>(n) >= len) return;
    if (!hup_seen) read_ready = false;
    if (fin_seen) at_end = true;
  }
  // Return true and fill *c when the operation finished.
  bool TryRead(int fd, SocketHandle s, Completion* c) REQUIRES(mu);
  bool TrySend(int fd, SocketHandle s, Completion* c) REQUIRES(mu);
  // Completes a writable wait once the socket can take bytes and no send is under way.
  bool TryWritable(SocketHandle s, Completion* c) REQUIRES(mu);
  IoOp ReadOp() const REQUIRES(mu) { return read_wait ? IoOp::kReadable : IoOp::kRead; }
  // Sends what the socket's queue holds until it would block; completions go to *out.
  void PumpSends(int fd, SocketHandle s, std::vector<Completion>* out) REQUIRES(mu);
};

struct CompletionPort::SlotChunk {
  Slot slots[kChunkSlots];
};

std::shared_ptr<CompletionPort> CompletionPort::Create(int concurrency) {
  std::shared_ptr<CompletionPort> port(new CompletionPort());
  if (concurrency <= 0) {
    cpu_set_t cpus;
    concurrency = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
    if (concurrency <= 0) concurrency = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  }
  port->concurrency_ = std::max(concurrency, 1);
  port->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (port->epoll_fd_ == -1) return nullptr;
  port->wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (port->wake_fd_ == -1) return nullptr;
  port->timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (port->timer_fd_ == -1) return nullptr;
  // Edge-triggered: one write or one expiry wakes one waiter.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kWakeEvent;
  if (epoll_ctl(port->epoll_fd_, EPOLL_CTL_ADD, port->wake_fd_, &ev) == -1) return nullptr;
  ev.data.u64 = kTimerEvent;
  if (epoll_ctl(port->epoll_fd_, EPOLL_CTL_ADD, port->timer_fd_, &ev) == -1) return nullptr;

  rlimit rl{};
  size_t max_fd = 65536;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    max_fd = rl.rlim_max == RLIM_INFINITY ? kMaxDescriptors
                                          : std::min<size_t>(rl.rlim_max, kMaxDescriptors);
  }
  port->chunk_count_ = max_fd / kChunkSlots + 1;
  port->chunks_ = std::make_unique<std::atomic<SlotChunk*>[]>(port->chunk_count_);
  return port;
}

CompletionPort::~CompletionPort() {
  CloseQueue();
  if (chunks_) {
    for (size_t i = 0; i < chunk_count_; ++i) {
      SlotChunk* chunk = chunks_[i].load(std::memory_order_acquire);
      if (chunk == nullptr) continue;
      for (size_t j = 0; j < kChunkSlots; ++j) {
        if (chunk->slots[j].open) ::close(static_cast<int>(i * kChunkSlots + j));
      }
      delete chunk;
    }
  }
  if (timer_fd_ != -1) ::close(timer_fd_);
  if (wake_fd_ != -1) ::close(wake_fd_);
  if (epoll_fd_ != -1) ::close(epoll_fd_);
}

CompletionPort::Slot* CompletionPort::FindSlot(int fd, bool create) {
  if (fd < 0) return nullptr;
  size_t index = static_cast<size_t>(fd) / kChunkSlots;
  if (index >= chunk_count_) return nullptr;
  SlotChunk* chunk = chunks_[index].load(std::memory_order_acquire);
  if (chunk == nullptr) {
    if (!create) return nullptr;
    MutexLock lock(chunk_mu_);
    chunk = chunks_[index].load(std::memory_order_acquire);
    if (chunk == nullptr) {
      chunk = new (std::nothrow) SlotChunk();
      if (chunk == nullptr) return nullptr;
      chunks_[index].store(chunk, std::memory_order_release);
    }
  }
  return &chunk->slots[static_cast<size_t>(fd) % kChunkSlots];
}

CompletionPort::Slot* CompletionPort::SlotOf(SocketHandle s) {
  if (s <= 0) return nullptr;
  return FindSlot(HandleFd(s), false);
}

SocketHandle CompletionPort::Associate(int fd, bool nonblocking) {
  if (fd < 0) return kNoSocket;
  int flags = nonblocking ? O_NONBLOCK : fcntl(fd, F_GETFL);
  if (flags == -1 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)) {
    ::close(fd);
    return kNoSocket;
  }
  Slot* slot = FindSlot(fd, true);
  if (slot == nullptr) {
    ::close(fd);
    return kNoSocket;
  }
  std::vector<Completion> orphans;
  MutexLock lock(slot->mu);
  if (slot->open) {
    // The number was closed behind the port's back and reused: end what the old socket had
    // pending, so every post still gets its one completion.
    SocketHandle old = (static_cast<int64_t>(slot->generation) << 32) | fd;
    if (slot->read_ov)
      orphans.push_back({0, static_cast<uint64_t>(old), slot->read_ov, slot->ReadOp(), EBADF});
    if (slot->writable_ov) {
      orphans.push_back(
          {0, static_cast<uint64_t>(old), slot->writable_ov, IoOp::kWritable, EBADF});
    }
    if (slot->send_ov)
      orphans.push_back({0, static_cast<uint64_t>(old), slot->send_ov, IoOp::kSend, EBADF});
    for (const Slot::QueuedSend& q : slot->queued_sends) {
      orphans.push_back({0, static_cast<uint64_t>(old), q.ov, IoOp::kSend, EBADF});
    }
    if (slot->connect_ov)
      orphans.push_back({0, static_cast<uint64_t>(old), slot->connect_ov, IoOp::kConnect, EBADF});
    open_sockets_.fetch_sub(1, std::memory_order_relaxed);
  }
  slot->generation = slot->generation >= 0x7fffffffu ? 1 : slot->generation + 1;
  SocketHandle handle = (static_cast<int64_t>(slot->generation) << 32) | static_cast<uint32_t>(fd);
  slot->read_ov = slot->send_ov = slot->connect_ov = slot->writable_ov = nullptr;
  slot->read_seq = slot->connect_seq = 0;
  slot->read_wait = false;
  // Registration reports what the socket already has as an event of its own, so a readiness
  // wait posted now need not try the socket first.
  slot->read_ready = slot->write_ready = false;
  slot->hup_seen = slot->fin_seen = slot->at_end = slot->cut = false;
  slot->queued_sends.clear();
  slot->open = true;
  open_sockets_.fetch_add(1, std::memory_order_relaxed);
  lock.Unlock();
  for (const Completion& c : orphans) Deliver(c, true);
  // Registered outside the lock (no one else knows the handle yet): an event the registration
  // raises at once is handled by another worker without waiting for this one.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = static_cast<uint64_t>(handle);
  int rc = epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  if (rc == -1 && errno == EEXIST) rc = epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
  if (rc == -1) {
    Close(handle);
    return kNoSocket;
  }
  return handle;
}

bool CompletionPort::Slot::TryRead(int fd, SocketHandle s, Completion* c) {
  if (read_wait) {
    if (!read_ready) return false;
    *c = Completion{0, static_cast<uint64_t>(s), read_ov, IoOp::kReadable, 0};
    read_ov = nullptr;
    read_seq = 0;
    return true;
  }
  ssize_t n = 0;
  while (!at_end) {
    n = ::recv(fd, read_buf, read_len, 0);
    if (n != -1 || errno != EINTR) break;
  }
  if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    read_ready = false;
    return false;
  }
  NoteReceived(n, read_len);
  *c = Completion{n > 0 ? static_cast<uint32_t>(n) : 0u, static_cast<uint64_t>(s), read_ov,
                  IoOp::kRead, n == -1 ? errno : 0};
  read_ov = nullptr;
  read_seq = 0;
  return true;
}

bool CompletionPort::Slot::TrySend(int fd, SocketHandle s, Completion* c) {
  if (cut) {
    *c = Completion{0, static_cast<uint64_t>(s), send_ov, IoOp::kSend, EPIPE};
    send_ov = nullptr;
    return true;
  }
  while (send_done < send_len) {
    ssize_t n = ::send(fd, send_buf + send_done, send_len - send_done, MSG_NOSIGNAL);
    if (n > 0) {
      send_done += static_cast<uint32_t>(n);
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      write_ready = false;
      return false;
    }
    *c = Completion{0, static_cast<uint64_t>(s), send_ov, IoOp::kSend, n == -1 ? errno : EPIPE};
    send_ov = nullptr;
    return true;
  }
  *c = Completion{send_len, static_cast<uint64_t>(s), send_ov, IoOp::kSend, 0};
  send_ov = nullptr;
  return true;
}

bool CompletionPort::Slot::TryWritable(SocketHandle s, Completion* c) {
  if (writable_ov == nullptr || send_ov != nullptr || !write_ready) return false;
  *c = Completion{0, static_cast<uint64_t>(s), writable_ov, IoOp::kWritable, 0};
  writable_ov = nullptr;
  return true;
}

void CompletionPort::Slot::PumpSends(int fd, SocketHandle s, std::vector<Completion>* out) {
  for (;;) {
    if (send_ov == nullptr) {
      if (queued_sends.empty()) return;
      QueuedSend next = queued_sends.front();
      queued_sends.erase(queued_sends.begin());
      send_ov = next.ov;
      send_buf = next.buf;
      send_len = next.len;
      send_done = 0;
    }
    Completion c;
    if (!TrySend(fd, s, &c)) return;
    out->push_back(c);
  }
}

bool CompletionPort::PostRead(SocketHandle s, Overlapped* ov, char* buffer, uint32_t length,
                              uint32_t timeout_ms) {
  if (length == 0) return false;
  return StartRead(s, ov, buffer, length, timeout_ms, false);
}

bool CompletionPort::PostReadable(SocketHandle s, Overlapped* ov, uint32_t timeout_ms) {
  return StartRead(s, ov, nullptr, 0, timeout_ms, true);
}

bool CompletionPort::StartRead(SocketHandle s, Overlapped* ov, char* buffer, uint32_t length,
                               uint32_t timeout_ms, bool wait_only) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s) || slot->read_ov != nullptr) return false;
  slot->read_ov = ov;
  slot->read_seq = 0;
  slot->read_wait = wait_only;
  slot->read_buf = buffer;
  slot->read_len = length;
  Completion c;
  // Tried at once only while the socket may hold bytes; otherwise its next edge completes it.
  if (slot->read_ready && slot->TryRead(HandleFd(s), s, &c)) {
    lock.Unlock();
    Deliver(c, true);
  } else if (timeout_ms > 0) {
    slot->read_seq = guard_seq_.fetch_add(1) + 1;
    Timer t{MonotonicMs() + timeout_ms,
            0,
            static_cast<uint64_t>(s),
            nullptr,
            slot->read_seq,
            IoOp::kRead};
    lock.Unlock();
    AddTimer(t);
  }
  return true;
}

bool CompletionPort::PostWritable(SocketHandle s, Overlapped* ov) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s) || slot->writable_ov != nullptr) return false;
  slot->writable_ov = ov;
  Completion c;
  if (slot->TryWritable(s, &c)) {
    lock.Unlock();
    Deliver(c, true);
  }
  return true;
}

template <class Move>
ssize_t CompletionPort::MoveNow(SocketHandle s, MoveWay way, Move move, uint32_t received_of) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) {
    errno = EBADF;
    return -1;
  }
  MutexLock lock(slot->mu);
  if (!slot->Holds(s)) {
    errno = EBADF;
    return -1;
  }
  bool reading = way != MoveWay::kSend;
  if (!reading && slot->send_ov != nullptr) {
    errno = EAGAIN;
    return -1;
  }
  if (way == MoveWay::kRead && slot->at_end) return 0;
  if (slot->cut) {
    errno = reading ? EINVAL : EPIPE;
    return -1;
  }
  ssize_t n;
  do {
    n = move(HandleFd(s));
  } while (n == -1 && errno == EINTR);
  if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    (reading ? slot->read_ready : slot->write_ready) = false;
  } else if (received_of != 0) {
    slot->NoteReceived(n, received_of);
  }
  return n;
}

ssize_t CompletionPort::Receive(SocketHandle s, char* buffer, uint32_t length) {
  return MoveNow(
      s, MoveWay::kRead, [&](int fd) { return ::recv(fd, buffer, length, 0); }, length);
}

ssize_t CompletionPort::SpliceFromSocket(SocketHandle s, int pipe_in, uint32_t length) {
  return MoveNow(s, MoveWay::kRead, [&](int fd) {
    return ::splice(fd, nullptr, pipe_in, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  });
}

ssize_t CompletionPort::SpliceToSocket(SocketHandle s, int pipe_out, uint32_t length) {
  return MoveNow(s, MoveWay::kSend, [&](int fd) {
    // No SPLICE_F_MORE: like MSG_MORE it would hold a short last segment back.
    return ::splice(pipe_out, nullptr, fd, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  });
}

ssize_t CompletionPort::SendNow(SocketHandle s, const char* buffer, uint32_t length) {
  return MoveNow(s, MoveWay::kSend,
                 [&](int fd) { return ::send(fd, buffer, length, MSG_NOSIGNAL); });
}

int CompletionPort::AcceptNow(SocketHandle s, sockaddr_in* peer) {
  return static_cast<int>(MoveNow(s, MoveWay::kAccept, [&](int fd) {
    socklen_t len = sizeof *peer;
    return static_cast<ssize_t>(::accept4(fd, reinterpret_cast<sockaddr*>(peer), &len,
                                          SOCK_NONBLOCK | SOCK_CLOEXEC));
  }));
}

bool CompletionPort::PostSend(SocketHandle s, Overlapped* ov, const char* buffer, uint32_t length) {
  if (length == 0) return false;
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s)) return false;
  if (slot->send_ov != nullptr) {
    slot->queued_sends.push_back({ov, buffer, length});
    return true;
  }
  slot->send_ov = ov;
  slot->send_buf = buffer;
  slot->send_len = length;
  slot->send_done = 0;
  Completion c;
  if (slot->TrySend(HandleFd(s), s, &c)) {
    lock.Unlock();
    Deliver(c, true);
  }
  return true;
}

bool CompletionPort::PostConnect(SocketHandle s, const sockaddr_in& to, uint32_t timeout_ms,
                                 Overlapped* ov) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  uint64_t seq = guard_seq_.fetch_add(1) + 1;
  {
    MutexLock lock(slot->mu);
    if (!slot->Holds(s) || slot->connect_ov != nullptr) return false;
    slot->connect_ov = ov;
    slot->connect_seq = seq;
  }
  // connect runs outside the slot lock: on loopback the handshake finishes inside the call,
  // and the worker that takes its event must not wait for this one. That event may complete
  // the connect before the call returns; an event from before the call is told apart by
  // HandleEvent (no peer yet).
  int rc;
  do {
    rc = ::connect(HandleFd(s), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (rc == -1 && errno == EINTR);
  int error = rc == -1 ? errno : 0;
  if (error == EINPROGRESS) {
    AddTimer(Timer{MonotonicMs() + timeout_ms, 0, static_cast<uint64_t>(s), nullptr, seq,
                   IoOp::kConnect});
    return true;
  }
  MutexLock lock(slot->mu);
  // Unless an event or a close has completed it meanwhile.
  if (!slot->Holds(s) || slot->connect_ov != ov || slot->connect_seq != seq) return true;
  slot->connect_ov = nullptr;
  slot->connect_seq = 0;
  lock.Unlock();
  Deliver(Completion{0, static_cast<uint64_t>(s), ov, IoOp::kConnect, error}, true);
  return true;
}

void CompletionPort::PostTimed(uint32_t delay_ms, uint64_t key, Overlapped* ov) {
  AddTimer(Timer{MonotonicMs() + delay_ms, 0, key, ov, 0, IoOp::kTimer});
}

void CompletionPort::Post(uint32_t bytes, uint64_t key, Overlapped* ov, IoOp op, int error) {
  // An empty post is a wake-up for another thread: never keep it for the caller.
  Deliver(Completion{bytes, key, ov, op, error}, ov != nullptr);
}

bool CompletionPort::Close(SocketHandle s) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s)) return false;
  Completion ended[4];
  int n = 0;
  uint64_t key = static_cast<uint64_t>(s);
  if (slot->read_ov) ended[n++] = {0, key, slot->read_ov, slot->ReadOp(), ECANCELED};
  if (slot->writable_ov) ended[n++] = {0, key, slot->writable_ov, IoOp::kWritable, ECANCELED};
  if (slot->send_ov) ended[n++] = {0, key, slot->send_ov, IoOp::kSend, ECANCELED};
  if (slot->connect_ov) ended[n++] = {0, key, slot->connect_ov, IoOp::kConnect, ECANCELED};
  std::vector<Slot::QueuedSend> queued;
  queued.swap(slot->queued_sends);
  slot->read_ov = slot->send_ov = slot->connect_ov = slot->writable_ov = nullptr;
  slot->read_seq = slot->connect_seq = 0;
  slot->open = false;
  // The close also ends the registration (the port never duplicates a socket); should another
  // process still hold the socket for a moment, its events carry this handle, now stale.
  ::close(HandleFd(s));
  open_sockets_.fetch_sub(1, std::memory_order_relaxed);
  lock.Unlock();
  for (int i = 0; i < n; ++i) Deliver(ended[i], true);
  for (const Slot::QueuedSend& q : queued) Deliver({0, key, q.ov, IoOp::kSend, ECANCELED}, true);
  return true;
}

bool CompletionPort::Shutdown(SocketHandle s) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return false;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s)) return false;
  int fd = HandleFd(s);
  // An owner waiting only for a read closes the socket as soon as that read ends, and the
  // close tells the peer; anyone else may hold the socket for a while yet, so the peer is
  // told now. (Saves a shutdown and a recv for each relay that ends.)
  if (slot->read_ov == nullptr || slot->connect_ov != nullptr) ::shutdown(fd, SHUT_RDWR);
  slot->cut = slot->at_end = true;
  // Finish what is pending now rather than trusting a fresh edge from the poller.
  std::vector<Completion> ended;
  Completion c;
  slot->read_ready = slot->write_ready = true;
  slot->hup_seen = true;
  if (slot->read_ov && slot->TryRead(fd, s, &c)) ended.push_back(c);
  if (slot->send_ov) slot->PumpSends(fd, s, &ended);
  if (slot->TryWritable(s, &c)) ended.push_back(c);
  lock.Unlock();
  for (const Completion& e : ended) Deliver(e, true);
  return true;
}

int CompletionPort::Descriptor(SocketHandle s) {
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return -1;
  MutexLock lock(slot->mu);
  return slot->Holds(s) ? HandleFd(s) : -1;
}

void CompletionPort::Deliver(const Completion& c, bool allow_local) {
  LocalQueue& local = tls_local;
  if (allow_local && local.serial == serial_ && local.Push(c)) return;
  {
    MutexLock lock(queue_mu_);
    if (queue_closed_) return;
    queue_.push_back(c);
    queued_.fetch_add(1);
  }
  WakeForQueue();
}

void CompletionPort::WakeForQueue() {
  // Pairs with PollOnce: a waiter counts itself before it looks at queued_, so either it sees
  // this completion or it is counted here.
  if (sleepers_.load() > 0) {
    WakeWaiter();
  } else {
    AskForHelp();
  }
}

void CompletionPort::AskForHelp() {
  if (idle_.load() > 0) WakeIdle();
}

void CompletionPort::WakeIdle() {
  {
    MutexLock lock(idle_mu_);
    help_ = true;
  }
  idle_cv_.NotifyOne();
}

void CompletionPort::EnterRunning() {
  MutexLock lock(running_mu_);
  while (running_ >= concurrency_ && !closing_.load()) running_cv_.Wait(running_mu_);
  ++running_;
}

void CompletionPort::LeaveRunning() {
  {
    MutexLock lock(running_mu_);
    --running_;
  }
  running_cv_.NotifyOne();
}

bool CompletionPort::Wait(Completion* out) {
  LocalQueue& local = tls_local;
  if (local.serial != serial_) local.Reset(serial_);
  if (!local.running) {
    EnterRunning();
    local.running = true;
  }
  for (;;) {
    if (local.count > 0) {
      uint64_t now = MonotonicUs();
      if (now - local.busy_since_us >= kBusyUs && now - local.polled_us >= kPollEveryUs) {
        PollOnce(false);
      }
    }
    if (local.count > 0 && (local.budget > 0 || queued_.load(std::memory_order_relaxed) == 0)) {
      --local.budget;
      Apply(local.Pop(), out);
      return true;
    }
    local.budget = kLocalBudget;
    if (queued_.load(std::memory_order_relaxed) > 0 || closing_.load()) {
      MutexLock lock(queue_mu_);
      if (queue_closed_) {
        lock.Unlock();
        WakeWaiter();  // passes the end on to the next waiter
        local.running = false;
        LeaveRunning();
        return false;
      }
      if (!queue_.empty()) {
        Completion c = queue_.front();
        queue_.pop_front();
        queued_.fetch_sub(1);
        bool more = !queue_.empty();
        lock.Unlock();
        if (local.count == 0) local.busy_since_us = MonotonicUs();  // starts on work afresh
        // One wake-up may stand for several posts: pass the rest on to another worker.
        if (more) WakeForQueue();
        if (c.overlapped == nullptr) {
          // A wake-up to leave: a parked worker takes this one's place.
          local.running = false;
          LeaveRunning();
        }
        Apply(c, out);
        return true;
      }
    }
    if (local.count > 0) continue;
    PollOnce(true);
  }
}

bool CompletionPort::IdleBesidePoller() {
  // Should the poller stay out of epoll for a whole period (a handler that waits on a lock),
  // this worker polls beside it so that the events arriving meanwhile are not held up.
  idle_.fetch_add(1);
  uint64_t seen = poll_seq_;
  bool quiet = false;  // the poller slept in epoll through a whole period: the port is idle
  while (!help_ && queued_.load() == 0 && !closing_.load()) {
    if (quiet) {
      // No period while the port is idle: the poller's next return from epoll wakes this
      // worker, which then watches it again.
      ++quiet_idlers_;
      idle_cv_.Wait(idle_mu_);
      --quiet_idlers_;
      quiet = false;
      seen = poll_seq_;
      continue;
    }
    bool woken = idle_cv_.WaitUntil(
        idle_mu_, std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallMs));
    if (!woken && poll_seq_ == seen) {
      if (!polling_) break;  // out of epoll a whole period: poll beside it
      quiet = true;
    }
    seen = poll_seq_;
  }
  idle_.fetch_sub(1);
  help_ = false;
  // Still polled by the other: to the shared queue first, and poll later if it is still out.
  return !polling_;
}

void CompletionPort::PollOnce(bool wait) {
  LocalQueue& local = tls_local;
  local.polled_us = MonotonicUs();  // or another worker polls: as good
  {
    MutexLock lock(idle_mu_);
    if (polling_ && (!wait || !IdleBesidePoller())) return;
    polling_ = true;
  }
  if (wait) sleepers_.fetch_add(1);
  int n = 0;
  epoll_event events[kEpollBatch];
  if (!wait) {
    n = epoll_wait(epoll_fd_, events, kEpollBatch, 0);
  } else if (queued_.load() == 0 && !closing_.load()) {
    n = epoll_wait(epoll_fd_, events, kEpollBatch, -1);
  }
  if (wait) sleepers_.fetch_sub(1);
  local.polled_us = MonotonicUs();
  if (wait) local.busy_since_us = local.polled_us;
  bool wake_quiet;
  {
    MutexLock lock(idle_mu_);
    polling_ = false;
    ++poll_seq_;
    wake_quiet = quiet_idlers_ > 0;
  }
  if (wake_quiet) idle_cv_.NotifyAll();
  if (n <= 0) return;  // EINTR: look again
  // A full batch means more events are waiting: another worker polls while this one works.
  if (n == kEpollBatch) AskForHelp();
  thread_local std::vector<Completion> batch;
  batch.clear();
  for (int i = 0; i < n; ++i) {
    uint64_t data = events[i].data.u64;
    if (data == kWakeEvent) {
      uint64_t drained;
      while (::read(wake_fd_, &drained, sizeof drained) > 0) {
      }
    } else if (data == kTimerEvent) {
      uint64_t expiries;
      while (::read(timer_fd_, &expiries, sizeof expiries) > 0) {
      }
      FireTimers(&batch);
    } else {
      HandleEvent(data, events[i].events, &batch);
    }
  }
  for (const Completion& c : batch) Deliver(c, wait);
}

void CompletionPort::CloseQueue() {
  closing_.store(true);
  {
    MutexLock lock(running_mu_);
  }
  running_cv_.NotifyAll();  // parked workers come through and find the queue closed
  {
    MutexLock lock(queue_mu_);
    queue_closed_ = true;
    queue_.clear();
    queued_.store(0);
  }
  WakeWaiter();
  {
    MutexLock lock(idle_mu_);
  }
  idle_cv_.NotifyAll();
  MutexLock lock(timer_mu_);
  timers_.clear();
}

void CompletionPort::AddTimer(const Timer& timer) {
  MutexLock lock(timer_mu_);
  if (closing_.load()) return;
  if (timers_.size() >= compact_at_) DropEndedGuards();
  Timer t = timer;
  t.seq = ++timer_seq_;
  timers_.push_back(t);
  std::push_heap(timers_.begin(), timers_.end(), TimerLater());
  if (timers_.front().seq == t.seq) ArmTimer();
}

void CompletionPort::DropEndedGuards() {
  auto ended = [this](const Timer& t) {
    if (t.guarded == IoOp::kTimer) return false;
    Slot* slot = SlotOf(static_cast<SocketHandle>(t.key));
    if (slot == nullptr) return true;
    const std::atomic<uint64_t>& armed =
        t.guarded == IoOp::kConnect ? slot->connect_seq : slot->read_seq;
    return armed.load() != t.guard_seq;
  };
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), ended), timers_.end());
  std::make_heap(timers_.begin(), timers_.end(), TimerLater());
  compact_at_ = std::max(kTimersBeforeCompaction, 2 * timers_.size());  // amortised O(1)
}

size_t CompletionPort::TimerCount() {
  MutexLock lock(timer_mu_);
  return timers_.size();
}

void CompletionPort::ArmTimer() {
  itimerspec spec{};
  if (!timers_.empty()) {
    uint64_t now = MonotonicMs();
    uint64_t due = timers_.front().due_ms;
    uint64_t ms = due > now ? due - now : 0;
    spec.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    // A zero value would disarm: a timer already due fires after a nanosecond.
    spec.it_value.tv_nsec = ms == 0 ? 1 : static_cast<long>((ms % 1000) * 1000000);
  }
  timerfd_settime(timer_fd_, 0, &spec, nullptr);
}

void CompletionPort::WakeWaiter() {
  uint64_t one = 1;
  ssize_t rc = ::write(wake_fd_, &one, sizeof one);
  (void)rc;  // a full counter already means a pending wake-up
}

void CompletionPort::HandleEvent(uint64_t data, uint32_t events, std::vector<Completion>* out) {
  SocketHandle s = static_cast<SocketHandle>(data);
  Slot* slot = SlotOf(s);
  if (slot == nullptr) return;
  MutexLock lock(slot->mu);
  if (!slot->Holds(s)) return;  // closed since the event was raised
  int fd = HandleFd(s);
  Completion c;
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) slot->read_ready = true;
  if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) slot->hup_seen = true;
  // A reset raises EPOLLRDHUP too, but with EPOLLERR; its error must still be read.
  if ((events & EPOLLRDHUP) && !(events & EPOLLERR)) slot->fin_seen = true;
  if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) slot->write_ready = true;
  if (slot->read_ov && (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) &&
      slot->TryRead(fd, s, &c)) {
    out->push_back(c);
  }
  if (slot->send_ov && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) slot->PumpSends(fd, s, out);
  if (slot->TryWritable(s, &c)) out->push_back(c);
  if (slot->connect_ov && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
    // A pending socket error always raises EPOLLERR, so a plain writable edge is a connect
    // that succeeded and needs no look at SO_ERROR.
    int err = 0;
    socklen_t len = sizeof err;
    if ((events & (EPOLLERR | EPOLLHUP)) &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1) {
      err = errno;
    }
    if (err == 0 && (events & EPOLLHUP)) {
      // An edge raised before the connect began (a fresh socket reports HUP) must not pass
      // for a connection: only a socket with a peer is connected. Without HUP the edge is
      // the connect's own.
      sockaddr_storage peer;
      socklen_t plen = sizeof peer;
      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == -1) {
        if (errno == ENOTCONN) return;
        err = errno;
      }
    }
    out->push_back(Completion{0, data, slot->connect_ov, IoOp::kConnect, err});
    slot->connect_ov = nullptr;
    slot->connect_seq = 0;
  }
}

void CompletionPort::FireTimers(std::vector<Completion>* out) {
  std::vector<Timer> due;
  {
    MutexLock lock(timer_mu_);
    uint64_t now = MonotonicMs();
    while (!timers_.empty() && timers_.front().due_ms <= now) {
      std::pop_heap(timers_.begin(), timers_.end(), TimerLater());
      due.push_back(timers_.back());
      timers_.pop_back();
    }
    ArmTimer();
  }
  for (const Timer& t : due) {
    if (t.guarded == IoOp::kTimer) {
      out->push_back(Completion{0, t.key, t.ov, IoOp::kTimer, 0});
      continue;
    }
    Slot* slot = SlotOf(static_cast<SocketHandle>(t.key));
    if (slot == nullptr) continue;
    MutexLock lock(slot->mu);
    if (!slot->Holds(static_cast<SocketHandle>(t.key))) continue;
    // A guard whose operation has finished (or been replaced by a newer one) does nothing.
    if (t.guarded == IoOp::kConnect && slot->connect_ov != nullptr &&
        slot->connect_seq == t.guard_seq) {
      out->push_back(Completion{0, t.key, slot->connect_ov, IoOp::kConnect, ETIMEDOUT});
      slot->connect_ov = nullptr;
      slot->connect_seq = 0;
    } else if (t.guarded == IoOp::kRead && slot->read_ov != nullptr &&
               slot->read_seq == t.guard_seq) {
      out->push_back(Completion{0, t.key, slot->read_ov, slot->ReadOp(), ETIMEDOUT});
      slot->read_ov = nullptr;
      slot->read_seq = 0;
    }
  }
}

}  // namespace tw
