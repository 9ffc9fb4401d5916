#include "engine/core/relay_pools.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include "platform/mutex.h"

namespace tw {

namespace {

// Returned items kept for reuse; beyond these they are freed. Enough for the pairs that move
// bytes at one moment on a few workers, small against the memory of many idle connections.
// A kept pipe still counts against the user's pipe allowance (see kLargeRelayPipes), so few
// are kept.
constexpr size_t kKeptBuffers = 64;
constexpr size_t kKeptPipes = 8;

template <class T>
class FreeList {
 public:
  bool Take(T* out) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (items_.empty()) return false;
    *out = items_.back();
    items_.pop_back();
    return true;
  }
  std::vector<T> TakeAll() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    std::vector<T> all;
    all.swap(items_);
    return all;
  }
  // False when full: the caller frees the item.
  bool Keep(T item, size_t limit) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (items_.size() >= limit) return false;
    if (items_.capacity() < limit) items_.reserve(limit);
    items_.push_back(item);
    return true;
  }

 private:
  Mutex mu_;
  std::vector<T> items_ GUARDED_BY(mu_);
};

// Never destroyed: contexts of a static server may give their items back at exit.
FreeList<char*>& Buffers() {
  static FreeList<char*>* list = new FreeList<char*>();
  return *list;
}
FreeList<RelayPipe>& Pipes() {
  static FreeList<RelayPipe>* list = new FreeList<RelayPipe>();
  return *list;
}

std::atomic<int64_t> g_buffers_lent{0};
std::atomic<int64_t> g_pipes_lent{0};
std::atomic<int64_t> g_large_pipes{0};

void ClosePipe(RelayPipe p) {
  if (p.large) g_large_pipes.fetch_sub(1, std::memory_order_relaxed);
  close(p.out);
  close(p.in);
}

}  // namespace

char* AcquireIoBuffer() {
  char* b = nullptr;
  if (!Buffers().Take(&b)) {
    b = new (std::nothrow) char[kIoBufferSize];
    if (b == nullptr) return nullptr;
  }
  g_buffers_lent.fetch_add(1, std::memory_order_relaxed);
  return b;
}

void ReleaseIoBuffer(char* b) {
  if (b == nullptr) return;
  g_buffers_lent.fetch_sub(1, std::memory_order_relaxed);
  if (!Buffers().Keep(b, kKeptBuffers)) delete[] b;
}

int64_t IoBuffersInUse() {
  return g_buffers_lent.load(std::memory_order_relaxed);
}

RelayPipe AcquireRelayPipe() {
  RelayPipe p;
  if (!Pipes().Take(&p)) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == -1) return RelayPipe{};
    p = RelayPipe{fds[0], fds[1]};
    // Room for what a socket has queued at once, so one wake-up moves it in one splice, while
    // few enough are that big. A system that refuses the size keeps the default, which works
    // too.
    if (g_large_pipes.fetch_add(1, std::memory_order_relaxed) < kLargeRelayPipes &&
        fcntl(p.in, F_SETPIPE_SZ, static_cast<int>(kRelayPipeBytes)) != -1) {
      p.large = true;
    } else {
      g_large_pipes.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  g_pipes_lent.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void ReleaseRelayPipe(RelayPipe p, bool empty) {
  if (!p.valid()) return;
  g_pipes_lent.fetch_sub(1, std::memory_order_relaxed);
  if (empty && Pipes().Keep(p, kKeptPipes)) return;
  ClosePipe(p);
}

int64_t RelayPipesInUse() {
  return g_pipes_lent.load(std::memory_order_relaxed);
}

int64_t LargeRelayPipes() {
  return g_large_pipes.load(std::memory_order_relaxed);
}

void TrimRelayPools() {
  for (char* b : Buffers().TakeAll()) delete[] b;
  for (RelayPipe p : Pipes().TakeAll()) ClosePipe(p);
}

}  // namespace tw
