#pragma once
// An I/O completion port over epoll.
//
// Sockets are registered with Associate() and from then on addressed by a SocketHandle. Every
// posted operation (read, send, connect, timed post, plain post) yields exactly one Completion,
// taken by exactly one caller of Wait(): the byte count, the key (for socket operations the
// handle the operation ran on) and the Overlapped block given with the post, in which the port
// records which operation completed and its error. Guarantees:
//   - a send completes only when all its bytes are written, or it failed (bytes 0, error set);
//     sends posted on one socket while another is under way wait their turn and complete in
//     the order posted (the two contexts of a pair may both send to one socket);
//   - a read completes with the bytes read, or 0 bytes on end of stream or failure;
//   - a readiness wait (PostReadable, PostWritable) holds no buffer: it completes with 0 bytes
//     once the socket may be read (data, end of stream or an error) or written; the caller then
//     moves the bytes itself with Receive or the splice calls, which find it out when the
//     readiness was stale (EAGAIN) and re-arm the wait;
//   - closing or shutting down a socket completes its pending operations with 0 bytes;
//   - a handle whose socket was closed is stale: operations on it fail at once (Post* returns
//     false and no completion follows), and no completion or event of the old socket is ever
//     delivered as one of a later socket that got the same descriptor number;
//   - posts never block the caller beyond a short lock; reads and sends are tried at once and
//     only wait for readiness when the socket is not ready.
// There is no poller thread: a caller of Wait() with nothing to do waits in epoll itself and
// handles the events it takes, so a socket's readiness becomes a completion on the thread that
// will run it, without a hand-off. One caller at a time waits in epoll; the others idle until
// the shared queue has work, the poller takes a full batch of events (more are waiting), or
// the poller stays away from epoll for 100-200 ms (a handler held up); while the port is idle
// they watch for that only from the poller's next return from epoll. So a load that one
// worker keeps up with costs no thread wake-ups, an idle port none at all, and handlers
// should not block. A worker that stays busy with completions of its own (a bulk relay whose
// sockets stay ready) looks at epoll every millisecond once it has been at it for 4 ms, and
// hands what it finds to the shared queue. A read that came back short counts as having
// drained the socket: the next read or readiness wait waits for a new edge rather than trying
// at once. Completions of operations that a worker of this port starts (or finds ready) are
// queued on that worker first and handled by it next; the rest go to a shared queue that
// wakes one sleeping worker. At most `concurrency` callers of Wait() take completions at a
// time (as many as the machine has processors, unless told otherwise); the others park until
// one of those leaves, so a pool larger than the machine does not run more threads than it has
// processors, each contending for the others' locks. A worker leaves when Wait() hands it a
// PostEmpty wake-up or returns false. Thread-safe throughout.
#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/mutex.h"

namespace tw {

// A registered socket: descriptor in the low 32 bits, a generation above. Never 0.
using SocketHandle = int64_t;
constexpr SocketHandle kNoSocket = -1;    // no socket
constexpr SocketHandle kClosedPeer = -2;  // the partner's socket was closed

enum class IoOp : uint8_t {
  kNone,
  kRead,     // PostRead
  kSend,     // PostSend
  kConnect,  // PostConnect
  kTimer,    // PostTimed
  kResolve,  // a name lookup (bytes = IPv4 address in network order)
  kPosted,   // Post
  kReadable,  // PostReadable
  kWritable,  // PostWritable
};

// Passed with every operation. The port fills op and error when the completion is taken from
// the port by Wait(), so its owner reads them in the handler of that completion.
struct Overlapped {
  IoOp op = IoOp::kNone;
  int error = 0;  // errno of a failed operation; ETIMEDOUT for a connect past its time limit
};

struct Completion {
  uint32_t bytes = 0;
  uint64_t key = 0;
  Overlapped* overlapped = nullptr;
  IoOp op = IoOp::kNone;
  int error = 0;
};

class CompletionPort {
 public:
  // nullptr when the operating system refuses the epoll or event descriptors. concurrency:
  // how many callers of Wait() take completions at once; 0: the processors this process may
  // run on.
  static std::shared_ptr<CompletionPort> Create(int concurrency = 0);
  ~CompletionPort();
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // Takes ownership of a socket descriptor (made non-blocking) and registers it. Returns the
  // handle, or kNoSocket after closing fd when it cannot be registered. nonblocking: the
  // caller made it so already (SOCK_NONBLOCK), which spares a look at its flags.
  SocketHandle Associate(int fd, bool nonblocking = false);

  // Start an operation. False when the handle is stale, or (reads, connects) the socket already
  // has an operation of that kind outstanding; then no completion will follow.
  // A read with timeout_ms > 0 that is still pending after that long completes with 0 bytes
  // and error ETIMEDOUT.
  bool PostRead(SocketHandle s, Overlapped* ov, char* buffer, uint32_t length,
                uint32_t timeout_ms = 0);
  bool PostSend(SocketHandle s, Overlapped* ov, const char* buffer, uint32_t length);
  // Waits, holding no buffer, until the socket has something to read (bytes, end of stream or
  // an error). Counts as the socket's read: a socket has one read or readable wait at a time.
  // timeout_ms as for PostRead.
  bool PostReadable(SocketHandle s, Overlapped* ov, uint32_t timeout_ms = 0);
  // Waits until the socket can take more bytes and no PostSend of it is under way. One writable
  // wait per socket at a time.
  bool PostWritable(SocketHandle s, Overlapped* ov);

  // Moves bytes now, without waiting: recv into buffer; splice from the socket into a pipe's
  // write end; splice from a pipe's read end to the socket. The count moved, 0 at end of
  // stream (Receive, SpliceFromSocket), or -1 with errno (EAGAIN: not ready, wait again;
  // EBADF: stale handle). Never raises SIGPIPE through Receive; a splice to a reset socket
  // raises it in the calling thread, which must block or ignore it.
  ssize_t Receive(SocketHandle s, char* buffer, uint32_t length);
  ssize_t SpliceFromSocket(SocketHandle s, int pipe_in, uint32_t length);
  ssize_t SpliceToSocket(SocketHandle s, int pipe_out, uint32_t length);
  // Sends what the socket takes now, without SIGPIPE: the count sent, or -1 with errno.
  // SendNow and SpliceToSocket move nothing (EAGAIN) while a PostSend of the socket is under
  // way, so bytes never overtake those posted before them.
  ssize_t SendNow(SocketHandle s, const char* buffer, uint32_t length);
  // Takes one client from a listening socket now (accept4, non-blocking and close-on-exec):
  // its descriptor, or -1 with errno (EAGAIN: none queued, wait for readability again).
  int AcceptNow(SocketHandle s, sockaddr_in* peer);
  // Completes with error 0 once connected, or with the failure (ETIMEDOUT after timeout_ms).
  bool PostConnect(SocketHandle s, const sockaddr_in& to, uint32_t timeout_ms, Overlapped* ov);

  // Delivers (0 bytes, key, ov) as a kTimer completion after delay_ms milliseconds.
  void PostTimed(uint32_t delay_ms, uint64_t key, Overlapped* ov);
  // Queues a completion now, to any waiting worker.
  void Post(uint32_t bytes, uint64_t key, Overlapped* ov, IoOp op = IoOp::kPosted, int error = 0);
  // Wakes one worker with key 0 and no Overlapped.
  void PostEmpty() { Post(0, 0, nullptr); }

  // Closes the socket; its pending operations complete with 0 bytes. False when stale.
  bool Close(SocketHandle s);
  // Ends the socket's traffic both ways: pending and later reads complete with 0 bytes, sends
  // with EPIPE. The peer learns of it at once, or at Close when the owner was waiting on a read
  // (it closes as soon as that read ends). The socket stays registered until Close. False when
  // stale.
  bool Shutdown(SocketHandle s);
  // The descriptor behind a handle, or -1 when stale. Only valid until the handle is closed.
  int Descriptor(SocketHandle s);

  // Wakes an idle worker, if there is one, to poll beside the caller: for a handler that has
  // found more work than one worker gets through at once (a burst of clients to accept).
  void AskForHelp();

  // Blocks until a completion is there. False once the port is closed (CloseQueue).
  bool Wait(Completion* out);

  // Drops every queued and pending completion and makes Wait() return false, in every waiter.
  // Sockets stay open (Close them, or let the destructor close them).
  void CloseQueue();

  // Timers held: the time limits of pending reads and connects, timed posts, and the limits
  // of operations that ended since the last clean-up (never more than about as many again).
  size_t TimerCount();

  // Number of sockets registered and not closed.
  size_t OpenSockets() const { return open_sockets_.load(std::memory_order_relaxed); }

 private:
  struct Slot;
  struct SlotChunk;
  struct Timer {
    uint64_t due_ms;
    uint64_t seq;
    uint64_t key;        // kTimer: the key to deliver; a time limit: the socket handle
    Overlapped* ov;      // kTimer only
    uint64_t guard_seq;  // a time limit: which read or connect it guards; 0 = kTimer
    IoOp guarded;        // a time limit: kRead or kConnect
  };
  struct TimerLater {
    bool operator()(const Timer& a, const Timer& b) const {
      return a.due_ms != b.due_ms ? a.due_ms > b.due_ms : a.seq > b.seq;
    }
  };

  CompletionPort() = default;
  Slot* FindSlot(int fd, bool create);
  // The slot of the handle's descriptor, unlocked; the handle may be stale until the slot,
  // locked, Holds it. nullptr when the descriptor never had a slot.
  Slot* SlotOf(SocketHandle s);
  void Deliver(const Completion& c, bool allow_local);
  void AddTimer(const Timer& t);
  // Drops the time limits of reads and connects that have ended, so that the heap holds about
  // what is pending rather than every limit armed in the last minute.
  void DropEndedGuards() REQUIRES(timer_mu_);
  // Arms the timer descriptor for the earliest timer.
  void ArmTimer() REQUIRES(timer_mu_);
  // Waits in epoll for events (none while completions are queued or the port closes) and
  // turns them into completions, kept by the calling worker as far as its queue takes them.
  // While another worker polls, idles instead (IdleBesidePoller). With wait false it only
  // takes the events that are there, for the other workers, and nothing while another worker
  // polls.
  void PollOnce(bool wait);
  // Idles while another worker polls, until there is work that worker does not take itself
  // (queued completions, a call for help, closing), or until the poller has stayed out of
  // epoll for a whole stall period. True when the caller should poll now.
  bool IdleBesidePoller() REQUIRES(idle_mu_);
  void HandleEvent(uint64_t data, uint32_t events, std::vector<Completion>* out);
  void FireTimers(std::vector<Completion>* out);
  // Wakes one thread that waits in epoll (if any): it looks at the shared queue.
  void WakeWaiter();
  // After work reached the shared queue: wakes the epoll waiter, else an idle worker.
  void WakeForQueue();
  // Wakes one idle worker (if any) to poll beside the busy one.
  void WakeIdle();
  // Makes the calling thread one of the `concurrency_` that take completions, parking it until
  // one leaves (or the port closes).
  void EnterRunning();
  void LeaveRunning();
  bool StartRead(SocketHandle s, Overlapped* ov, char* buffer, uint32_t length,
                 uint32_t timeout_ms, bool wait_only);
  // Runs a move under the slot lock and clears the readiness it found stale (received_of: the
  // length a recv asked for, whose short result also means drained; 0 for the other moves).
  // On a socket that was shut down it moves nothing: a read finds the end of stream, a send
  // EPIPE and an accept EINVAL.
  enum class MoveWay { kRead, kSend, kAccept };
  template <class Move>
  ssize_t MoveNow(SocketHandle s, MoveWay way, Move move, uint32_t received_of = 0);

  const uint64_t serial_ = next_serial_.fetch_add(1) + 1;  // identifies the port to its workers
  static std::atomic<uint64_t> next_serial_;

  int epoll_fd_ = -1;
  int wake_fd_ = -1;   // eventfd that interrupts one epoll_wait (edge-triggered)
  int timer_fd_ = -1;  // timerfd set to the earliest timer
  std::atomic<bool> closing_{false};
  // Threads in (or about to enter) epoll_wait: a post to the shared queue wakes one of them.
  std::atomic<int> sleepers_{0};
  // One worker at a time waits in epoll; the others idle on idle_cv_ until the shared queue has
  // work, the port closes or the poller asks for help (it took a full batch of events). A
  // worker busy with what it took is not woken by events that arrive meanwhile: it finds them
  // at its next poll, so a load one worker keeps up with costs no thread wake-ups.
  Mutex idle_mu_;
  CondVar idle_cv_;
  bool polling_ GUARDED_BY(idle_mu_) = false;
  bool help_ GUARDED_BY(idle_mu_) = false;
  uint64_t poll_seq_ GUARDED_BY(idle_mu_) = 0;  // the poller's returns from epoll
  int quiet_idlers_ GUARDED_BY(idle_mu_) = 0;   // idle without a period: the port is idle
  std::atomic<int> idle_{0};

  // Slots by descriptor, in chunks that never move once made.
  std::unique_ptr<std::atomic<SlotChunk*>[]> chunks_;
  size_t chunk_count_ = 0;
  Mutex chunk_mu_;  // serialises making chunks; lookups go by the atomic pointers alone
  std::atomic<size_t> open_sockets_{0};

  int concurrency_ = 1;
  Mutex running_mu_;
  CondVar running_cv_;
  int running_ GUARDED_BY(running_mu_) = 0;

  Mutex queue_mu_;
  std::deque<Completion> queue_ GUARDED_BY(queue_mu_);
  bool queue_closed_ GUARDED_BY(queue_mu_) = false;
  std::atomic<size_t> queued_{0};

  Mutex timer_mu_;
  std::vector<Timer> timers_ GUARDED_BY(timer_mu_);  // min-heap by due time
  uint64_t timer_seq_ GUARDED_BY(timer_mu_) = 0;
  // Timers held before those guarding operations that have ended are dropped (then twice as
  // many as remain).
  static constexpr size_t kTimersBeforeCompaction = 1024;
  size_t compact_at_ GUARDED_BY(timer_mu_) = kTimersBeforeCompaction;
  std::atomic<uint64_t> guard_seq_{0};  // numbers reads and connects for their time limits
};

}  // namespace tw
