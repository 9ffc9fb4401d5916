#pragma once
// The buffers and pipes that contexts borrow while bytes are in flight, shared by every proxy
// of the process. A relayed pair that waits for data holds neither: it takes a buffer (copy
// path) or a pipe (kernel path) when its socket is readable and gives it back once the bytes
// are passed on. A few returned ones are kept for the next borrower; the rest are freed, so
// the memory held tracks the connections that move bytes, not those that are open.
// Thread-safe throughout.
#include <cstdint>

namespace tw {

constexpr uint32_t kIoBufferSize = 8192;  // one buffer: a read of the copy path, a dialogue

// A buffer of kIoBufferSize bytes (its contents are left from an earlier borrower), or nullptr
// when memory is exhausted.
char* AcquireIoBuffer();
// Gives b back (nullptr: nothing). Its bytes are no longer anyone's.
void ReleaseIoBuffer(char* b);
// Buffers lent and not given back (for leak checks).
int64_t IoBuffersInUse();

// A pipe that carries one direction of a pair through the kernel: bytes spliced into `in`
// come out of `out`. Both ends are non-blocking.
struct RelayPipe {
  int out = -1;  // read end
  int in = -1;   // write end
  bool large = false;  // made kRelayPipeBytes big (else the kernel's default, 64 KiB)
  bool valid() const { return in != -1; }
};

// The bytes one pipe is asked to hold: a splice into it takes at most this many. A socket in
// bulk has about this much queued at each wake-up; a pipe this size takes it in one splice
// and costs about a fifth less CPU per GiB than one a quarter its size. Its pages are only
// held while bytes are in it.
constexpr uint32_t kRelayPipeBytes = 1048576;
// At most this many pipes, lent or kept, are made that big. The kernel counts a pipe's
// capacity, full or not, against its user's allowance for all of that user's processes
// (64 MiB by default); past it, every new pipe of the user gets two pages. So the pairs
// beyond these move bytes through pipes of the default size, which costs CPU, not memory.
constexpr int64_t kLargeRelayPipes = 16;

// A pipe, or an invalid one when the system has no descriptors or pipes to spare (the caller
// then takes the copy path).
RelayPipe AcquireRelayPipe();
// Gives p back. A pipe that may still hold bytes (empty false) is closed instead of kept, so
// no stale byte ever reaches another pair.
void ReleaseRelayPipe(RelayPipe p, bool empty);
// Pipes lent and not given back (for leak checks).
int64_t RelayPipesInUse();
// Pipes of kRelayPipeBytes open now, lent or kept.
int64_t LargeRelayPipes();

// Frees the buffers and pipes kept for reuse (a proxy's Stop: a stopped program holds no
// descriptor it does not use). What is lent stays lent.
void TrimRelayPools();

}  // namespace tw
