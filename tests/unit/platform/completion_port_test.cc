#include "platform/completion_port.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/address_text.h"
#include "platform/resolver.h"
#include "platform/tick.h"
#include "tests/support/test_sockets.h"

namespace tw {
namespace {

// A connected pair: `a` registered with the port, `b` a plain blocking descriptor.
void PairOn(CompletionPort* port, SocketHandle* a, int* b) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  *a = port->Associate(sv[0]);
  ASSERT_GT(*a, 0);
  *b = sv[1];
}

class CompletionPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = CompletionPort::Create();
    ASSERT_NE(port_, nullptr);
  }

  void MakePair(SocketHandle* a, int* b) { PairOn(port_.get(), a, b); }

  Completion Next() {
    Completion c;
    EXPECT_TRUE(port_->Wait(&c));
    return c;
  }

  std::shared_ptr<CompletionPort> port_;
};

TEST_F(CompletionPortTest, ReadCompletesOnceWithBytesKeyAndOperation) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  char buf[64] = {};
  Overlapped ov;
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
  EXPECT_FALSE(port_->PostRead(a, &ov, buf, sizeof buf)) << "one read at a time per socket";
  ASSERT_EQ(write(b, "hello", 5), 5);
  Completion c = Next();
  EXPECT_EQ(c.bytes, 5u);
  EXPECT_EQ(c.key, static_cast<uint64_t>(a));
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(ov.op, IoOp::kRead);
  EXPECT_EQ(std::string(buf, 5), "hello");
  // Data already waiting completes at once, without waiting in epoll.
  ASSERT_EQ(write(b, "x", 1), 1);
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
  EXPECT_EQ(Next().bytes, 1u);
  close(b);
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
  c = Next();
  EXPECT_EQ(c.bytes, 0u) << "end of stream reads as 0 bytes";
  port_->Close(a);
}

// A short read took all there was, so the next read waits for the socket's next edge: later
// bytes complete it, and so does an end of stream that arrived together with the last bytes
// (whose edge was raised before that short read).
TEST_F(CompletionPortTest, ReadAfterAShortReadCompletesOnLaterBytesAndOnEndOfStream) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  Overlapped ov, guard;
  port_->PostTimed(5000, 99, &guard);  // a hang shows as this completion instead
  char buf[64];
  auto read = [&](const char* sent, bool close_after) {
    size_t n = std::strlen(sent);
    if (n > 0) {
      EXPECT_EQ(write(b, sent, n), static_cast<ssize_t>(n));
    }
    if (close_after) shutdown(b, SHUT_WR);
    EXPECT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
    Completion c = Next();
    EXPECT_EQ(c.overlapped, &ov) << "the read after \"" << sent << "\" never completed";
    return std::string(buf, c.bytes);
  };
  EXPECT_EQ(read("abc", false), "abc");
  EXPECT_EQ(read("defg", false), "defg");
  EXPECT_EQ(read("xyz", true), "xyz");
  EXPECT_EQ(read("", false), "") << "end of stream";
  port_->Close(a);
  close(b);
}

// After the peer's end of stream the last bytes and the end arrive in order; a reset after
// bytes still ends in its error, never in a clean end that would hide it.
TEST_F(CompletionPortTest, AResetAfterBytesEndsInItsErrorAndAnEndStaysAnEnd) {
  uint16_t port = 0;
  int listener = test::ListenLoopback(4, &port);
  ASSERT_GE(listener, 0);
  for (bool reset : {false, true}) {
    int peer = test::ConnectLoopback(port);
    ASSERT_GE(peer, 0);
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    SocketHandle a = port_->Associate(fd);
    ASSERT_GT(a, 0);
    ASSERT_TRUE(test::SendAll(peer, "abc"));
    if (reset) {
      linger abort{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(peer);
    std::string got;
    Completion c;
    Overlapped ov;
    char buf[64];
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
      c = Next();
      if (c.bytes == 0) break;
      got.append(buf, c.bytes);
    }
    EXPECT_EQ(c.error, reset ? ECONNRESET : 0);
    if (!reset) {
      EXPECT_EQ(got, "abc");
      EXPECT_EQ(port_->Receive(a, buf, sizeof buf), 0) << "the end stays an end";
    }
    port_->Close(a);
  }
  close(listener);
}

// A readiness wait holds no buffer: it completes when bytes arrive, Receive takes them, and a
// Receive that finds the socket empty re-arms the wait so the next bytes complete it again.
TEST_F(CompletionPortTest, ReadableWaitCompletesOnBytesAndRearmsAfterAnEmptyReceive) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  Overlapped ov;
  char buf[16];
  for (const char* text : {"one", "two"}) {
    ASSERT_TRUE(port_->PostReadable(a, &ov));
    EXPECT_FALSE(port_->PostRead(a, &ov, buf, sizeof buf)) << "the wait is the socket's read";
    ASSERT_EQ(write(b, text, 3), 3);
    Completion c = Next();
    EXPECT_EQ(c.op, IoOp::kReadable);
    EXPECT_EQ(c.bytes, 0u);
    EXPECT_EQ(c.error, 0);
    ASSERT_EQ(port_->Receive(a, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), text);
    EXPECT_EQ(port_->Receive(a, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
  }
  // Bytes that arrived before the socket was registered complete the first wait too.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  ASSERT_EQ(write(sv[1], "early", 5), 5);
  SocketHandle late = port_->Associate(sv[0]);
  ASSERT_TRUE(port_->PostReadable(late, &ov));
  EXPECT_EQ(Next().op, IoOp::kReadable);
  EXPECT_EQ(port_->Receive(late, buf, sizeof buf), 5);
  close(sv[1]);
  close(b);
}

// Every wait of a socket ends when the socket does: closing completes a readable and a
// writable wait with ECANCELED, and a stale handle moves nothing.
TEST_F(CompletionPortTest, CloseEndsReadinessWaitsAndStaleHandlesMoveNothing) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  char buf[8];
  // Fill the socket through a pipe until it takes no more: the port now knows it is full.
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
  std::string block(4096, 'x');
  ssize_t moved = 0;
  do {
    ASSERT_EQ(write(pipe_fds[1], block.data(), block.size()), 4096);
    while ((moved = port_->SpliceToSocket(a, pipe_fds[0], 4096)) > 0 && moved < 4096) {
    }
  } while (moved > 0);
  EXPECT_EQ(errno, EAGAIN);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  Overlapped readable, writable;
  ASSERT_TRUE(port_->PostReadable(a, &readable));
  ASSERT_TRUE(port_->PostWritable(a, &writable));
  ASSERT_TRUE(port_->Close(a));
  int ended = 0;
  for (int i = 0; i < 2; ++i) {
    Completion c = Next();
    EXPECT_EQ(c.error, ECANCELED);
    EXPECT_EQ(c.bytes, 0u);
    if (c.overlapped == &readable && c.op == IoOp::kReadable) ++ended;
    if (c.overlapped == &writable && c.op == IoOp::kWritable) ++ended;
  }
  EXPECT_EQ(ended, 2);
  EXPECT_EQ(port_->Receive(a, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(port_->PostReadable(a, &readable));
  close(b);
}

TEST_F(CompletionPortTest, LargeSendCompletesOnlyWhenEveryByteIsWritten) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  Overlapped ov;
  ASSERT_TRUE(port_->PostSend(a, &ov, data.data(), static_cast<uint32_t>(data.size())));
  std::string received;
  std::thread reader([&] { received = test::ReadExactly(b, data.size()); });
  Completion c = Next();
  reader.join();
  EXPECT_EQ(c.bytes, data.size());
  EXPECT_EQ(ov.op, IoOp::kSend);
  EXPECT_EQ(ov.error, 0);
  EXPECT_TRUE(received == data) << "bytes arrive complete and in order";
  port_->Close(a);
  close(b);
}

TEST_F(CompletionPortTest, SendsOnOneSocketWaitTheirTurnAndCompleteInOrder) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  const std::string first(3 << 20, 'x');  // larger than the socket buffer: it must wait
  const std::string second = "and then this";
  Overlapped ov1, ov2;
  ASSERT_TRUE(port_->PostSend(a, &ov1, first.data(), static_cast<uint32_t>(first.size())));
  ASSERT_TRUE(port_->PostSend(a, &ov2, second.data(), static_cast<uint32_t>(second.size())));
  std::string received;
  std::thread reader([&] { received = test::ReadExactly(b, first.size() + second.size()); });
  Completion c1 = Next();
  Completion c2 = Next();
  reader.join();
  EXPECT_EQ(c1.overlapped, &ov1);
  EXPECT_EQ(c1.bytes, first.size());
  EXPECT_EQ(c2.overlapped, &ov2);
  EXPECT_EQ(c2.bytes, second.size());
  EXPECT_TRUE(received == first + second) << "the second send's bytes follow the first's";

  // A queued send still ends when the socket closes.
  ASSERT_TRUE(port_->PostSend(a, &ov1, first.data(), static_cast<uint32_t>(first.size())));
  ASSERT_TRUE(port_->PostSend(a, &ov2, second.data(), static_cast<uint32_t>(second.size())));
  ASSERT_TRUE(port_->Close(a));
  Completion e1 = Next();
  Completion e2 = Next();
  EXPECT_EQ(e1.overlapped, &ov1);
  EXPECT_EQ(e2.overlapped, &ov2);
  EXPECT_EQ(e1.bytes + e2.bytes, 0u);
  close(b);
}

// A send made at once (SendNow, or a splice to the socket) waits while a posted one is under
// way, so its bytes never overtake the posted bytes.
TEST_F(CompletionPortTest, SendNowNeverOvertakesAPostedSend) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  const std::string posted(3 << 20, 'p');  // larger than the socket buffer: it must wait
  Overlapped ov;
  ASSERT_TRUE(port_->PostSend(a, &ov, posted.data(), static_cast<uint32_t>(posted.size())));
  errno = 0;
  EXPECT_EQ(port_->SendNow(a, "now", 3), -1);
  EXPECT_EQ(errno, EAGAIN) << "refused while the posted send is under way";
  std::string received;
  std::thread reader([&] { received = test::ReadExactly(b, posted.size() + 3); });
  Completion c = Next();
  EXPECT_EQ(c.bytes, posted.size());
  EXPECT_EQ(port_->SendNow(a, "now", 3), 3) << "taken once the posted send is done";
  reader.join();
  EXPECT_TRUE(received == posted + "now") << "bytes in the order they were handed over";
  port_->Close(a);
  errno = 0;
  EXPECT_EQ(port_->SendNow(a, "x", 1), -1);
  EXPECT_EQ(errno, EBADF) << "stale handle";
  close(b);
}

TEST_F(CompletionPortTest, CloseAndShutdownEndPendingOperationsWithZeroBytes) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  char buf[16];
  Overlapped ov;
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
  ASSERT_TRUE(port_->Shutdown(a));
  Completion c = Next();
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.key, static_cast<uint64_t>(a));
  // Shut down stays shut down: bytes the peer sends later are not read, nothing is sent.
  ASSERT_EQ(send(b, "late", 4, 0), 4);
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf));
  c = Next();
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(ov.error, 0);
  EXPECT_EQ(port_->Receive(a, buf, sizeof buf), 0);
  errno = 0;
  EXPECT_EQ(port_->SendNow(a, "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  ASSERT_TRUE(port_->PostSend(a, &ov, "x", 1));
  c = Next();
  EXPECT_EQ(c.op, IoOp::kSend);
  EXPECT_EQ(ov.error, EPIPE);

  SocketHandle a2;
  int b2;
  MakePair(&a2, &b2);
  ASSERT_TRUE(port_->PostRead(a2, &ov, buf, sizeof buf));
  ASSERT_TRUE(port_->Close(a2));
  c = Next();
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(c.key, static_cast<uint64_t>(a2));
  EXPECT_EQ(ov.error, ECANCELED);
  port_->Close(a);
  close(b);
  close(b2);

  // With no read pending the owner may keep the socket a while: the peer is told at once.
  MakePair(&a, &b);
  ASSERT_TRUE(port_->Shutdown(a));
  EXPECT_FALSE(test::NothingReadable(b)) << "the end of stream is there";
  port_->Close(a);
  close(b);
}

TEST_F(CompletionPortTest, HandleOfAClosedSocketNeverReachesTheReusedNumber) {
  SocketHandle old_handle;
  int b;
  MakePair(&old_handle, &b);
  int old_fd = port_->Descriptor(old_handle);
  ASSERT_TRUE(port_->Close(old_handle));
  close(b);

  SocketHandle fresh;
  int b2;
  MakePair(&fresh, &b2);
  ASSERT_EQ(port_->Descriptor(fresh), old_fd) << "the kernel reuses the lowest number";
  EXPECT_NE(fresh, old_handle);
  char buf[8];
  Overlapped ov;
  EXPECT_FALSE(port_->PostRead(old_handle, &ov, buf, sizeof buf));
  EXPECT_FALSE(port_->PostSend(old_handle, &ov, "x", 1));
  EXPECT_FALSE(port_->Shutdown(old_handle));
  EXPECT_FALSE(port_->Close(old_handle));
  EXPECT_EQ(port_->Descriptor(old_handle), -1);
  // The new socket is untouched by the stale calls.
  ASSERT_TRUE(port_->PostSend(fresh, &ov, "ok", 2));
  EXPECT_EQ(Next().bytes, 2u);
  EXPECT_EQ(test::ReadExactly(b2, 2), "ok");
  port_->Close(fresh);
  close(b2);
}

TEST_F(CompletionPortTest, EmptyPostWakesExactlyOneWaiterWithKeyZero) {
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      Completion c;
      if (port_->Wait(&c) && c.key == 0 && c.overlapped == nullptr) ++woken;
    });
  }
  port_->PostEmpty();
  port_->PostEmpty();
  while (woken.load() < 2) std::this_thread::yield();
  EXPECT_EQ(woken.load(), 2);
  port_->PostEmpty();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

// A pool larger than the port's concurrency: no more workers handle completions at once than
// it allows, and every parked worker still leaves on its wake-up.
TEST(CompletionPortConcurrency, WorkersBeyondTheConcurrencyParkAndStillLeave) {
  std::shared_ptr<CompletionPort> port = CompletionPort::Create(2);
  ASSERT_NE(port, nullptr);
  std::atomic<int> inside{0}, most{0}, handled{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 6; ++i) {
    workers.emplace_back([&] {
      Completion c;
      while (port->Wait(&c) && c.overlapped != nullptr) {
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --inside;
        ++handled;
      }
    });
  }
  Overlapped ov[60];
  for (int i = 0; i < 60; ++i) port->Post(1, static_cast<uint64_t>(i + 1), &ov[i]);
  while (handled.load() < 60) std::this_thread::yield();
  EXPECT_LE(most.load(), 2);
  for (int i = 0; i < 6; ++i) port->PostEmpty();
  for (std::thread& t : workers) t.join();
}

// One worker polls while the other idles. A worker held inside a handler must not hold up the
// rest: a socket's event and a post that arrive meanwhile are taken by the other worker (the
// event after the port notices that the poller stays away), also when the port had been idle
// long enough for the idle worker to stop watching.
TEST(CompletionPortConcurrency, AWorkerHeldInAHandlerDoesNotHoldUpOtherCompletions) {
  for (int settle_ms : {20, 350}) {
    SCOPED_TRACE(settle_ms);
    std::shared_ptr<CompletionPort> port = CompletionPort::Create(2);
    ASSERT_NE(port, nullptr);
    SocketHandle s;
    int peer;
    PairOn(port.get(), &s, &peer);
    char buf[8];
    Overlapped hold, post, read;
    std::atomic<bool> held{false}, posted_seen{false}, read_seen{false};
    auto worker = [&] {
      Completion c;
      while (port->Wait(&c) && c.overlapped != nullptr) {
        if (c.overlapped == &hold) {
          held = true;
          auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
          while (!(posted_seen && read_seen) && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }
        if (c.overlapped == &post) posted_seen = true;
        if (c.overlapped == &read) read_seen = true;
      }
    };
    std::thread a(worker), b(worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));  // one polls, one idles
    port->Post(1, 1, &hold);
    while (!held) std::this_thread::yield();
    ASSERT_TRUE(port->PostRead(s, &read, buf, sizeof buf));
    ASSERT_EQ(write(peer, "x", 1), 1);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!read_seen && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    port->Post(1, 2, &post);
    while (!posted_seen && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(read_seen) << "the socket's event waited for the held worker";
    EXPECT_TRUE(posted_seen) << "the post waited for the held worker";
    port->PostEmpty();
    port->PostEmpty();
    a.join();
    b.join();
    port->Close(s);
    close(peer);
  }
}

// A worker whose own completions keep coming (a bulk relay whose sockets stay ready) never
// needs epoll for them; it must still take in the events of other sockets.
TEST(CompletionPortConcurrency, AWorkerBusyWithItsOwnCompletionsStillTakesInOtherEvents) {
  std::shared_ptr<CompletionPort> port = CompletionPort::Create(1);
  ASSERT_NE(port, nullptr);
  SocketHandle s;
  int peer;
  PairOn(port.get(), &s, &peer);
  char buf[8];
  Overlapped busy, read;
  std::atomic<bool> started{false}, stopped{false}, read_seen{false};
  bool read_while_busy = false;
  std::thread worker([&] {
    Completion c;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (port->Wait(&c) && c.overlapped != nullptr) {
      if (c.overlapped == &read) {
        read_while_busy = !stopped;
        read_seen = true;
      } else if (c.overlapped == &busy) {
        started = true;
        if (read_seen || std::chrono::steady_clock::now() >= give_up) {
          stopped = true;
          continue;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        port->Post(0, 1, &busy);  // kept by this worker: ready again at once
      }
    }
  });
  port->Post(0, 1, &busy);
  while (!started) std::this_thread::yield();
  ASSERT_TRUE(port->PostRead(s, &read, buf, sizeof buf));
  ASSERT_EQ(write(peer, "x", 1), 1);
  while (!stopped || !read_seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  port->PostEmpty();
  worker.join();
  EXPECT_TRUE(read_while_busy) << "the socket's event waited until the busy worker ran out";
  port->Close(s);
  close(peer);
}

TEST_F(CompletionPortTest, TimedPostArrivesNoEarlierThanItsDelay) {
  Overlapped ov;
  uint64_t start = MonotonicMs();
  port_->PostTimed(120, 77, &ov);
  port_->PostTimed(10, 78, &ov);
  Completion first = Next();
  Completion second = Next();
  EXPECT_EQ(first.key, 78u) << "the earlier timer fires first";
  EXPECT_EQ(second.key, 77u);
  EXPECT_EQ(ov.op, IoOp::kTimer);
  EXPECT_GE(MonotonicMs() - start, 120u);
}

// Reads with a long time limit that complete early must not leave their limits behind: the
// port holds about as many timers as operations are pending, not every limit of the last
// minute. The pending one still fires.
TEST_F(CompletionPortTest, TimeLimitsOfCompletedReadsDoNotPileUp) {
  SocketHandle a;
  int b;
  MakePair(&a, &b);
  char buf[8];
  Overlapped ov;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf, 60000));
    ASSERT_EQ(write(b, "x", 1), 1);
    Completion c = Next();
    ASSERT_EQ(c.bytes, 1u);
  }
  EXPECT_LE(port_->TimerCount(), 2048u);
  ASSERT_TRUE(port_->PostRead(a, &ov, buf, sizeof buf, 50));
  Completion c = Next();
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_EQ(ov.error, ETIMEDOUT);
  port_->Close(a);
  close(b);
}

TEST_F(CompletionPortTest, ConnectSucceedsIsRefusedOrTimesOut) {
  test::TestServer live(test::TestServer::kEcho);
  test::UnreachableListener unreachable;
  uint16_t closed_port;
  {
    test::TestServer gone(test::TestServer::kSink);
    closed_port = gone.port();
  }
  struct Case {
    uint16_t port;
    int expected_error;
  } cases[] = {{live.port(), 0}, {closed_port, ECONNREFUSED}, {unreachable.port(), ETIMEDOUT}};
  for (const Case& k : cases) {
    SocketHandle s = port_->Associate(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GT(s, 0);
    Overlapped ov;
    uint32_t loopback;
    ASSERT_TRUE(ParseIPv4("127.0.0.1", &loopback));
    ASSERT_TRUE(port_->PostConnect(s, MakeSockAddr(loopback, k.port), 300, &ov));
    Completion c = Next();
    EXPECT_EQ(c.key, static_cast<uint64_t>(s));
    EXPECT_EQ(ov.op, IoOp::kConnect);
    EXPECT_EQ(ov.error, k.expected_error) << "port " << k.port;
    port_->Close(s);
  }
}

TEST_F(CompletionPortTest, ResolverPostsTheAddressOrAFailure) {
  ResolverPool resolver;
  Overlapped ov;
  resolver.Resolve(port_, "localhost", 5, &ov);
  Completion c = Next();
  EXPECT_EQ(ov.op, IoOp::kResolve);
  EXPECT_EQ(ov.error, 0);
  EXPECT_EQ(AddressText(c.bytes), "127.0.0.1");
  resolver.Resolve(port_, "no-such-host.invalid", 6, &ov);
  c = Next();
  EXPECT_EQ(c.key, 6u);
  EXPECT_NE(ov.error, 0);
}

TEST_F(CompletionPortTest, ClosedQueueReleasesWaitersAndDropsLatePosts) {
  std::thread waiter([&] {
    Completion c;
    EXPECT_FALSE(port_->Wait(&c));
  });
  port_->CloseQueue();
  waiter.join();
  Overlapped ov;
  port_->Post(1, 9, &ov);  // must not crash or deliver
  Completion c;
  EXPECT_FALSE(port_->Wait(&c));
}

TEST(AddressText, ParsesOnlyWholeDottedAddresses) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {{"127.0.0.1", true},  {"255.255.255.255", true}, {"0.0.0.0", true},
               {"256.0.0.1", false}, {"1.2.3", false},          {"1.2.3.4.5", false},
               {"1.2.3.4 ", false},  {" 1.2.3.4", false},       {"1..3.4", false},
               {"01.2.3.4", true},   {"1.2.3.0004", false},     {"", false},
               {"a.b.c.d", false},   {"1.2.3.-4", false}};
  for (const Case& k : cases) {
    uint32_t a = 0;
    EXPECT_EQ(ParseIPv4(k.text, &a), k.ok) << k.text;
  }
  uint32_t a;
  ASSERT_TRUE(ParseIPv4("10.0.0.15", &a));
  EXPECT_EQ(AddressText(a), "10.0.0.15");
  // An address to bind to is taken only in the form AddressText writes.
  for (std::string_view text : {std::string_view("01.2.3.4"), std::string_view("1.2.3.00"),
                                std::string_view("1.2.3.4\0x", 9), std::string_view("1.2.3")}) {
    EXPECT_FALSE(ParseCanonicalIPv4(text, &a)) << text;
  }
  ASSERT_TRUE(ParseCanonicalIPv4("10.0.0.0", &a));
  EXPECT_EQ(a, htonl(0x0a000000u));
}

TEST(AddressText, WritesWhatTheCLibraryWrites) {
  // Every part length (0, 9, 10, 99, 100, 255) in every position, then a spread of others.
  const uint32_t parts[] = {0, 1, 9, 10, 99, 100, 199, 255};
  std::vector<uint32_t> addresses;
  for (uint32_t p : parts) {
    for (int shift = 0; shift < 32; shift += 8) addresses.push_back(0x01020304u ^ (p << shift));
    addresses.push_back(p * 0x01010101u);
  }
  for (uint32_t i = 0; i < 20000; ++i) addresses.push_back(i * 2654435761u);
  for (uint32_t host : addresses) {
    in_addr in{};
    in.s_addr = htonl(host);
    char expected[INET_ADDRSTRLEN] = {};
    ASSERT_NE(inet_ntop(AF_INET, &in, expected, sizeof expected), nullptr);
    ASSERT_EQ(AddressText(in.s_addr), expected);
  }
}

}  // namespace
}  // namespace tw
