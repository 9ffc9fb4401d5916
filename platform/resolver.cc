#include "platform/resolver.h"

#include <ares.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/address_text.h"
#include "platform/tick.h"

namespace tw {

namespace {

// Per DNS query: the first try waits this long, the DNS client doubles it per retry. The
// lookup's own deadline is what a caller sees; these only bound how long a query that
// outlived its lookup still occupies the DNS client.
constexpr int kQueryTimeoutMs = 1000;
constexpr int kQueryTries = 2;

// One lookup handed to the DNS client. It stays alive until the client's callback, which
// always comes (with a failure when the channel is destroyed); `done` is emptied once the
// caller has its answer, by the reply or by the deadline, whichever is first.
struct Lookup {
  std::function<void(bool, uint32_t)> done;
  std::multimap<uint64_t, Lookup*>* deadlines = nullptr;
  std::multimap<uint64_t, Lookup*>::iterator listed;
};

void Answer(Lookup* lookup, bool ok, uint32_t address) {
  if (!lookup->done) return;
  lookup->deadlines->erase(lookup->listed);
  auto done = std::move(lookup->done);
  lookup->done = nullptr;
  done(ok, address);
}

void OnAddrInfo(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
  Lookup* lookup = static_cast<Lookup*>(arg);
  uint32_t address = 0;
  bool found = false;
  if (status == ARES_SUCCESS && result != nullptr) {
    for (ares_addrinfo_node* n = result->nodes; n != nullptr; n = n->ai_next) {
      if (n->ai_family == AF_INET && n->ai_addrlen >= sizeof(sockaddr_in)) {
        address = reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr.s_addr;
        found = true;
        break;
      }
    }
  }
  if (result != nullptr) ares_freeaddrinfo(result);
  Answer(lookup, found, address);
  delete lookup;
}

// The DNS client's channel, owned by the resolver thread.
class Channel {
 public:
  explicit Channel(const std::string& servers) {
    static std::once_flag library;
    std::call_once(library, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    ares_options options;
    std::memset(&options, 0, sizeof options);
    options.timeout = kQueryTimeoutMs;
    options.tries = kQueryTries;
    if (ares_init_options(&channel_, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) !=
        ARES_SUCCESS) {
      channel_ = nullptr;
      return;
    }
    if (!servers.empty() && ares_set_servers_ports_csv(channel_, servers.c_str()) != ARES_SUCCESS) {
      ares_destroy(channel_);
      channel_ = nullptr;
    }
  }
  ~Channel() {
    if (channel_ != nullptr) ares_destroy(channel_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool ok() const { return channel_ != nullptr; }
  ares_channel get() const { return channel_; }

 private:
  ares_channel channel_ = nullptr;
};

// The descriptors to wait on: the wake-up eventfd first, then the DNS client's sockets.
void PollSet(ares_channel channel, int wake_fd, std::vector<pollfd>* fds) {
  fds->clear();
  fds->push_back(pollfd{wake_fd, POLLIN, 0});
  if (channel == nullptr) return;
  ares_socket_t socks[ARES_GETSOCK_MAXNUM];
  int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short events = 0;
    if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
    if (events != 0) fds->push_back(pollfd{socks[i], events, 0});
  }
}

// Milliseconds until the DNS client or the nearest lookup deadline needs the thread; -1: none.
int WaitMs(ares_channel channel, const std::multimap<uint64_t, Lookup*>& deadlines) {
  int64_t wait = -1;
  if (!deadlines.empty()) {
    uint64_t now = MonotonicMs();
    uint64_t due = deadlines.begin()->first;
    wait = due > now ? static_cast<int64_t>(due - now) : 0;
  }
  timeval tv;
  if (channel != nullptr && ares_timeout(channel, nullptr, &tv) != nullptr) {
    int64_t ares_ms = static_cast<int64_t>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
    wait = wait == -1 ? ares_ms : std::min(wait, ares_ms);
  }
  return static_cast<int>(std::min<int64_t>(wait, 1 << 30));
}

}  // namespace

ResolverPool::~ResolverPool() {
  int wake = -1;
  {
    MutexLock lock(mu_);
    stopping_ = true;
    wake = wake_fd_;
  }
  if (wake != -1) {
    uint64_t one = 1;
    ssize_t rc = write(wake, &one, sizeof one);
    (void)rc;
  }
  if (thread_.joinable()) thread_.join();
  std::deque<Request> left;
  {
    MutexLock lock(mu_);
    left.swap(queue_);
    if (wake_fd_ != -1) close(wake_fd_);
    wake_fd_ = -1;
  }
  for (Request& r : left) r.done(false, 0);
}

void ResolverPool::Resolve(const std::shared_ptr<CompletionPort>& port, std::string host,
                           uint64_t key, Overlapped* ov, uint32_t timeout_ms) {
  std::weak_ptr<CompletionPort> weak = port;
  Submit(Request{std::move(host), timeout_ms, [weak, key, ov](bool ok, uint32_t address) {
                   if (std::shared_ptr<CompletionPort> p = weak.lock()) {
                     p->Post(ok ? address : 0, key, ov, IoOp::kResolve, ok ? 0 : EHOSTUNREACH);
                   }
                 }});
}

bool ResolverPool::ResolveWithin(const std::string& host, uint32_t timeout_ms, uint32_t* out) {
  struct Waiter {
    Mutex mu;
    CondVar cv;
    bool answered GUARDED_BY(mu) = false;
    bool ok GUARDED_BY(mu) = false;
    uint32_t address GUARDED_BY(mu) = 0;
  };
  auto waiter = std::make_shared<Waiter>();
  Submit(Request{host, timeout_ms, [waiter](bool ok, uint32_t address) {
                   MutexLock lock(waiter->mu);
                   waiter->answered = true;
                   waiter->ok = ok;
                   waiter->address = address;
                   waiter->cv.NotifyAll();
                 }});
  // The resolver answers every request by its deadline, or at its destruction.
  MutexLock lock(waiter->mu);
  while (!waiter->answered) waiter->cv.Wait(waiter->mu);
  if (waiter->ok) *out = waiter->address;
  return waiter->ok;
}

void ResolverPool::Submit(Request request) {
  if (request.timeout_ms == 0) request.timeout_ms = kDefaultLookupTimeoutMs;
  uint32_t address = 0;
  if (request.host.empty() || request.host.size() > 255 ||
      request.host.find('\0') != std::string::npos) {
    request.done(false, 0);
    return;
  }
  if (ParseIPv4(request.host, &address)) {
    request.done(true, address);
    return;
  }
  MutexLock lock(mu_);
  bool refused = stopping_ || under_way_ >= kMaxLookups;
  if (!refused && !thread_.joinable()) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ != -1) {
      try {
        thread_ = std::thread(&ResolverPool::Run, this);
      } catch (const std::system_error&) {
      }
    }
    refused = !thread_.joinable();
  }
  if (refused) {
    lock.Unlock();
    request.done(false, 0);
    return;
  }
  ++under_way_;
  queue_.push_back(std::move(request));
  uint64_t one = 1;
  ssize_t rc = write(wake_fd_, &one, sizeof one);
  (void)rc;
}

bool ResolverPool::TakeRequests(std::deque<Request>* out) {
  MutexLock lock(mu_);
  if (stopping_) return false;
  out->swap(queue_);
  return true;
}

void ResolverPool::Run() {
  pthread_setname_np(pthread_self(), "tw-resolve");
  int wake_fd;
  {
    MutexLock lock(mu_);
    wake_fd = wake_fd_;
  }
  std::multimap<uint64_t, Lookup*> deadlines;
  std::deque<Request> fresh;
  std::vector<pollfd> fds;
  // Every answer leaves the count of lookups under way.
  auto counted = [this](Done done) {
    return [this, done = std::move(done)](bool ok, uint32_t address) {
      {
        MutexLock lock(mu_);
        --under_way_;
      }
      done(ok, address);
    };
  };
  {
    Channel channel(options_.servers);
    ares_channel ch = channel.ok() ? channel.get() : nullptr;
    while (TakeRequests(&fresh)) {
      uint64_t now = MonotonicMs();
      for (Request& r : fresh) {
        Done done = counted(std::move(r.done));
        if (ch == nullptr) {
          done(false, 0);
          continue;
        }
        Lookup* lookup = new Lookup{std::move(done), &deadlines, {}};
        lookup->listed = deadlines.emplace(now + r.timeout_ms, lookup);
        ares_addrinfo_hints hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        // May answer at once (hosts file): the callback then runs before this returns.
        ares_getaddrinfo(ch, r.host.c_str(), nullptr, &hints, OnAddrInfo, lookup);
      }
      fresh.clear();

      PollSet(ch, wake_fd, &fds);
      int rc = poll(fds.data(), fds.size(), WaitMs(ch, deadlines));
      if (rc == -1 && errno != EINTR) break;
      if (rc > 0 && fds[0].revents != 0) {
        uint64_t drained;
        while (read(wake_fd, &drained, sizeof drained) > 0) {
        }
      }
      if (ch != nullptr) {
        for (size_t i = 1; i < fds.size(); ++i) {
          if (rc <= 0 || fds[i].revents == 0) continue;
          bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
          bool writable = (fds[i].revents & POLLOUT) != 0;
          ares_process_fd(ch, readable ? fds[i].fd : ARES_SOCKET_BAD,
                          writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        ares_process_fd(ch, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the DNS client's own timers
      }
      now = MonotonicMs();
      while (!deadlines.empty() && deadlines.begin()->first <= now) {
        Answer(deadlines.begin()->second, false, 0);
      }
    }
    // Leaving: the channel's destruction fails what is still pending (each callback runs).
  }
  for (Request& r : fresh) counted(std::move(r.done))(false, 0);
}

bool ResolveIPv4(const std::string& host, uint32_t* out) {
  if (host.empty() || host.size() > 255) return false;
  if (ParseIPv4(host, out)) return true;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
  bool found = false;
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      *out = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

}  // namespace tw
